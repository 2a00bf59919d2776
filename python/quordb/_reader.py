"""`QuorReader`: a read-only mapping of key to decoded object over one `.qrdb` file."""

from __future__ import annotations

import os
from collections.abc import Callable, ItemsView, Iterator, KeysView, Mapping, ValuesView
from functools import partial
from types import TracebackType
from typing import Any, Literal, NoReturn, Self

import msgpack  # type: ignore[import-untyped]  # ships no type information

from quordb._quordb import _QuorReader

__all__ = ["Key", "PathArg", "QuorReader", "path_text"]

#: A key as the layer accepts it: text (stored as its UTF-8 bytes) or bytes.
type Key = str | bytes
#: Anything `os.fspath` accepts.
type PathArg = str | bytes | os.PathLike[str] | os.PathLike[bytes]


def path_text(path: PathArg) -> str:
    """Turn a path argument into the `str` the native classes take.

    Bytes paths are decoded with the file-system encoding, so undecodable bytes
    become lone surrogates, which the native classes then refuse with
    `UnicodeEncodeError`.
    """
    return os.fsdecode(os.fspath(path))


_CLOSED_MESSAGE = "I/O operation on a closed QuorReader"


class _ClosedReader:
    """Stands in for the native reader after `close()`, so the hot paths need no check."""

    __slots__ = ()

    def __getattr__(self, name: str) -> NoReturn:
        raise ValueError(_CLOSED_MESSAGE)


class _ItemsView(ItemsView[str, Any]):
    """Iterates through one bulk `items_raw` call instead of one lookup per key."""

    __slots__ = ()

    _mapping: QuorReader

    def __iter__(self) -> Iterator[tuple[str, Any]]:
        decode = self._mapping._decode
        for key, raw in self._mapping._raw.items_raw():
            yield key, decode(raw)


class _ValuesView(ValuesView[Any]):
    """One value per key (shared objects repeat), through one `items_raw` call."""

    __slots__ = ()

    _mapping: QuorReader

    def __iter__(self) -> Iterator[Any]:
        decode = self._mapping._decode
        for _key, raw in self._mapping._raw.items_raw():
            yield decode(raw)


class QuorReader(Mapping[str, Any]):
    """Read-only mapping of key to object over one `.qrdb` database file.

    ``QuorReader(path, verify=True)`` opens and maps *path* (a `str` or any
    path-like object); with *verify* the whole-file CRC-32 is checked first.
    Values are msgpack-decoded with ``raw=False`` (msgpack strings become `str`,
    binary becomes `bytes`, arrays become `list`); *ext_hook* and *object_hook*
    are handed to `msgpack.unpackb` for custom types.

    Keys are looked up by their bytes: a `str` key is its UTF-8 encoding, a
    `bytes` key is taken as it is.  Listings (iteration, `keys`, `items`,
    `prefix`) hand keys back as `str` decoded from UTF-8 with U+FFFD for
    ill-formed bytes, so a key stored as non-UTF-8 bytes is listed in an
    altered form that ``reader[key]`` does not find; look such keys up by their
    original bytes.

    Equality and hashing are by identity: comparing two readers never reads
    their files.  Use ``dict(a) == dict(b)`` to compare contents.

    `close()` (also run on leaving a ``with`` block) drops this reader's hold on
    the native reader, whose mapping is released once nothing else (such as a
    reference taken from `raw`) keeps it.  Any use after `close()` raises
    `ValueError`.

    Errors of the store arrive as raised by the native module: `RuntimeError`
    with a message starting ``"QuorCorruptError: "`` (damaged file) or
    ``"QuorVersionError: unsupported version "``, and `OSError` starting
    ``"QuorIOError: "`` (the file cannot be opened or mapped).  A key that is
    neither `str` nor bytes-like gives `ValueError` ``"key must be str or bytes"``
    from ``reader[key]`` and `get`, while ``key in reader`` answers False.

    One reader may be shared by many threads.
    """

    __slots__ = ("_decode", "_len", "_path", "_raw")

    _raw: _QuorReader

    def __init__(
        self,
        path: PathArg,
        verify: bool = True,
        *,
        ext_hook: Callable[[int, bytes], Any] | None = None,
        object_hook: Callable[[dict[Any, Any]], Any] | None = None,
    ) -> None:
        self._path = path_text(path)
        self._raw = _QuorReader(self._path, verify)
        self._len = self._raw.stats()["num_keys"]
        hooks: dict[str, Any] = {}
        if ext_hook is not None:
            hooks["ext_hook"] = ext_hook
        if object_hook is not None:
            hooks["object_hook"] = object_hook
        # Maps written by msgpack users may have int or bytes keys; the default
        # strict_map_key=True would refuse to read back what the writer accepted.
        self._decode: Callable[[bytes], Any] = partial(
            msgpack.unpackb, raw=False, strict_map_key=False, **hooks
        )

    @property
    def path(self) -> str:
        """The path as passed to the native reader."""
        return self._path

    @property
    def raw(self) -> _QuorReader:
        """The native reader, for callers who want undecoded msgpack bytes."""
        self._require_open()
        return self._raw

    @property
    def closed(self) -> bool:
        return isinstance(self._raw, _ClosedReader)

    def _require_open(self) -> None:
        if self.closed:
            raise ValueError(_CLOSED_MESSAGE)

    # Mapping protocol

    def __getitem__(self, key: Key) -> Any:
        raw = self._raw.get_raw(key)
        if raw is None:
            raise KeyError(key)
        return self._decode(raw)

    def get(self, key: Key, default: Any = None) -> Any:
        raw = self._raw.get_raw(key)
        return default if raw is None else self._decode(raw)

    def __contains__(self, key: object) -> bool:
        exists = self._raw.exists
        try:
            return exists(key)  # type: ignore[arg-type]
        except ValueError:
            # Like a dict asked about a key of another type: simply absent.
            return False

    def __len__(self) -> int:
        self._require_open()
        return self._len

    def __iter__(self) -> Iterator[str]:
        return iter(self._raw.keys())

    def keys(self) -> KeysView[str]:
        """A view of the keys, in sorted byte order; iterating reads the key list once."""
        return KeysView(self)

    def items(self) -> ItemsView[str, Any]:
        """A view of ``(key, object)`` pairs in key order, read in one bulk call."""
        return _ItemsView(self)

    def values(self) -> ValuesView[Any]:
        """A view of the objects in key order, one per key, read in one bulk call."""
        return _ValuesView(self)

    __hash__ = object.__hash__

    def __eq__(self, other: object) -> bool:
        return self is other

    # Bulk queries

    def prefix(self, prefix: Key) -> list[tuple[str, Any]]:
        """All ``(key, object)`` pairs whose key bytes start with *prefix*, in key order."""
        decode = self._decode
        return [(key, decode(raw)) for key, raw in self._raw.prefix_raw(prefix)]

    def objects(self) -> list[Any]:
        """Every stored object that some key names, once each, ordered by its first key."""
        decode = self._decode
        return [decode(raw) for raw in self._raw.objects_raw()]

    def stats(self) -> dict[str, Any]:
        """File metadata: path, version, num_keys, num_objects, index_offset,
        data_offset, file_size_kb, file_crc32."""
        return dict(self._raw.stats())

    def verify(self) -> Literal[True]:
        """Check the whole-file CRC-32 and every named object's CRC-32.

        Returns True; a failure raises `RuntimeError` ``"QuorCorruptError: ..."``.
        """
        return self._raw.verify()

    # Lifetime

    def close(self) -> None:
        """Let go of the native reader; closing twice is allowed."""
        self._raw = _ClosedReader()  # type: ignore[assignment]

    def __enter__(self) -> Self:
        self._require_open()
        return self

    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc_val: BaseException | None,
        exc_tb: TracebackType | None,
    ) -> None:
        self.close()

    def __repr__(self) -> str:
        if self.closed:
            return f"<closed QuorReader {self._path!r}>"
        return f"QuorReader({self._path!r}, keys={self._len})"
