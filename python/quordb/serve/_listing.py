"""Ordered key listings: a page of keys within a prefix and a range, after a cursor, streamed.

A page is one half-open range of key bytes, ``[lower, upper)``: the tightest that the prefix,
``start``, ``stop`` and the cursor allow. The reader walks it lazily, a chunk at a time, so a
page of any size takes the memory of a chunk.
"""

from __future__ import annotations

import json
from collections.abc import Iterator
from dataclasses import dataclass
from itertools import islice

from quordb import QuorReader, ShardedReader
from quordb._json_form import key_to_json
from quordb.serve._keys import cursor_of

__all__ = ["KeyRange", "listing_chunks"]

# Keys sent in one piece of the streamed body.
_KEYS_A_PIECE = 512
_encode = json.JSONEncoder(ensure_ascii=False).encode


def _as_bytes(key: str | bytes) -> bytes:
    return key.encode() if isinstance(key, str) else key


def prefix_end(prefix: bytes) -> bytes | None:
    """The least key bytes above every key that starts with *prefix*; None when there is none."""
    trimmed = prefix.rstrip(b"\xff")
    if not trimmed:
        return None
    return trimmed[:-1] + bytes([trimmed[-1] + 1])


@dataclass(frozen=True, slots=True)
class KeyRange:
    """The keys ``lower <= key < upper`` (an open end where None)."""

    lower: bytes | None
    upper: bytes | None

    @classmethod
    def of(
        cls,
        prefix: str | bytes | None = None,
        start: str | bytes | None = None,
        stop: str | bytes | None = None,
        after: bytes | None = None,
    ) -> KeyRange:
        """The keys that start with *prefix*, from *start* on, below *stop*, and past *after*."""
        lowers = [_as_bytes(k) for k in (prefix, start) if k is not None]
        uppers = [_as_bytes(stop)] if stop is not None else []
        if after is not None:
            lowers.append(after + b"\x00")  # the least key above it
        if prefix is not None and (end := prefix_end(_as_bytes(prefix))) is not None:
            uppers.append(end)
        return cls(max(lowers, default=None), min(uppers, default=None))

    @property
    def empty(self) -> bool:
        return self.lower is not None and self.upper is not None and self.lower >= self.upper

    def keys(self, reader: QuorReader | ShardedReader) -> Iterator[str | bytes]:
        """The keys of *reader* in this range, in order; the walk starts on the file open now."""
        if self.empty:
            return iter(())
        return (key for key, _ in reader.range_raw(self.lower, self.upper))


def listing_chunks(keys: Iterator[str | bytes], limit: int) -> Iterator[str]:
    """The JSON body ``{"keys": [...], "next": CURSOR}`` of a page of at most *limit* of *keys*,
    in pieces; ``next`` continues the listing, null when the page holds the last key."""
    yield '{"keys": ['
    last = None
    separator = ""
    page = islice(keys, limit)
    while piece := list(islice(page, _KEYS_A_PIECE)):
        yield separator + ", ".join(_encode(key_to_json(key)) for key in piece)
        separator = ", "
        last = piece[-1]
    cursor = "null"
    if last is not None and next(keys, None) is not None:
        cursor = _encode(cursor_of(last))
    yield '], "next": ' + cursor + "}"
