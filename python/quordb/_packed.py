"""`PackedAnswer`: the objects a join's keys name, fetched in one batch into one buffer.

A join of a million keys through `get_many_raw` makes a bytes object of every object found,
only to hand each to a decoder or copy it into an Arrow column. The native packed lookups
copy them into one msgpack array instead, with each key's offsets and a bitmap of the keys
found: a decoder reads the array in one call, and Arrow takes the buffers as a binary column
without a copy. A join that wants a few fields skips even that copy: `picked_fields` walks the
records where they lie and copies out only those fields, one msgpack array a field. The keys
come as a list, or as an Arrow column (`key_column`) whose buffers the lookups read without a
Python object per key.
"""

from __future__ import annotations

from collections.abc import Callable, Iterator, Sequence
from dataclasses import dataclass
from itertools import pairwise
from typing import Any, cast

import pyarrow  # type: ignore[import-untyped]  # ships no type information

from quordb._mapping import Key, ReaderMapping
from quordb._native import (
    get_column_fields,
    get_column_packed,
    get_many_fields,
    get_many_packed,
)

__all__ = ["JoinKeys", "PackedAnswer", "key_column", "key_parts", "picked_fields"]

#: A join's keys: Python keys (None or anything else that is no key names none), or an
#: Arrow array of text, bytes or nulls (a null names none), as `key_column` makes it.
type JoinKeys = Sequence[Key | None] | pyarrow.Array

# Keys looked up in one packed answer when a batch is taken a part at a time: a part's
# buffers are freed once it is decoded, so a batch holds a few megabytes of them, not a
# hundred for a million keys, and the allocator hands the same pages out again rather than
# have the kernel zero fresh ones (the lookups alone: 0.36 s for a million keys at once,
# 0.28 s in parts of this size).
PART_KEYS = 65536

# Arrow's binary type takes 32-bit offsets: past them the stored bytes are a large_binary
# column cast down, which Arrow splits or refuses as it does any list of bytes.
_BINARY_LIMIT = 2**31 - 1


def key_column(array: pyarrow.Array | pyarrow.ChunkedArray) -> pyarrow.Array:
    """*array*, of text, bytes or nulls, as one array (a chunked one's chunks joined)."""
    if isinstance(array, pyarrow.ChunkedArray):
        return array.chunk(0) if array.num_chunks == 1 else array.combine_chunks()
    return array


def listed_keys(keys: JoinKeys) -> Sequence[Key | None]:
    """*keys* as Python keys, for the lookups that take no column."""
    if isinstance(keys, pyarrow.Array):
        listed: list[Key | None] = keys.to_pylist()
        return listed
    return keys


def key_parts(keys: JoinKeys) -> Iterator[JoinKeys]:
    """*keys* `PART_KEYS` at a time (one empty part for no keys)."""
    size = PART_KEYS
    for start in range(0, max(len(keys), 1), size):
        yield keys[start : start + size]


def _looked_up(
    reader: ReaderMapping[Any],
    keys: JoinKeys,
    by_list: Callable[..., Any],
    by_column: Callable[..., Any],
    *extra: Any,
) -> tuple[Any, int]:
    """What the native lookup *by_list* (Python keys) or *by_column* (an Arrow column's
    buffers) gives for *keys* on *reader*'s natives, and how many keys there were."""
    if isinstance(keys, pyarrow.Array):
        # Text as its UTF-8: the values are not copied, only 32-bit offsets widened.
        keys = keys.cast(pyarrow.large_binary())
        validity, offsets, data = keys.buffers()
        column = (len(keys), keys.offset, validity, offsets or b"", data or b"")
        return reader._on_natives(lambda natives: by_column(natives, *column, *extra)), len(keys)
    listed = keys if isinstance(keys, list | tuple) else list(keys)
    return reader._on_natives(lambda natives: by_list(natives, listed, *extra)), len(listed)


def picked_fields(
    reader: ReaderMapping[Any], keys: JoinKeys, names: Sequence[str]
) -> list[bytes] | None:
    """The fields *names* of the objects *keys* name on *reader*: one msgpack array a field,
    a value per key (nil where the key found nothing or its object has no such field); None
    when some object cannot be walked (see `get_many_fields`)."""
    picked, _count = _looked_up(reader, keys, get_many_fields, get_column_fields, names)
    return cast("list[bytes] | None", picked)


@dataclass(frozen=True, slots=True)
class PackedAnswer:
    """What a batch of keys names: *payloads*, one msgpack array of a value per key, the
    object found or, where none was, an empty map; key i's value spans ``offsets[i]`` to
    ``offsets[i + 1]`` of it (*count* + 1 native int64s); bit i of *found* (Arrow's validity
    layout) is set when key i's object was found."""

    payloads: bytes
    offsets: bytes
    found: bytes
    count: int

    @classmethod
    def of(cls, reader: ReaderMapping[Any], keys: JoinKeys) -> PackedAnswer:
        """The packed answer of *reader* (a file or a shard set) for *keys*."""
        (payloads, offsets, found), count = _looked_up(
            reader, keys, get_many_packed, get_column_packed
        )
        return cls(payloads, offsets, found, count)

    def values(self) -> list[bytes]:
        """Each key's value (an empty map where none was found)."""
        ends = memoryview(self.offsets).cast("q")
        return [self.payloads[start:end] for start, end in pairwise(ends)]

    def stored(self) -> pyarrow.Array:
        """The stored bytes of each key's object as a ``binary`` column, null where none was
        found."""
        ends = memoryview(self.offsets).cast("q")
        buffers = [pyarrow.py_buffer(self.found), pyarrow.py_buffer(self.offsets)]
        stored = pyarrow.Array.from_buffers(
            pyarrow.large_binary(), self.count, [*buffers, pyarrow.py_buffer(self.payloads)]
        )
        if ends[-1] > _BINARY_LIMIT:
            return pyarrow.array(stored.to_pylist(), type=pyarrow.binary())
        return stored.cast(pyarrow.binary())
