"""`ReaderMapping`: the read-only mapping surface that `QuorReader` and `ShardedReader` share.

A subclass finds stored bytes (lookups, the ``*_raw`` listings); this class
decodes them and supplies the views, identity equality, the closed check and
the ``with`` protocol.
"""

from __future__ import annotations

from abc import abstractmethod
from collections.abc import (
    Callable,
    ItemsView,
    Iterable,
    Iterator,
    KeysView,
    Mapping,
    Sequence,
    ValuesView,
)
from functools import partial
from operator import itemgetter
from types import TracebackType
from typing import Any, ClassVar, Self

import msgpack  # type: ignore[import-untyped]  # ships no type information

__all__ = ["Key", "ReaderMapping", "decoder"]

#: A key as the layer accepts it, and as listings hand it back: text (stored
#: as its UTF-8 bytes) or bytes.
type Key = str | bytes


def decoder(
    ext_hook: Callable[[int, bytes], Any] | None,
    object_hook: Callable[[dict[Any, Any]], Any] | None,
) -> Callable[[bytes], Any]:
    """The msgpack decoding of stored objects, with the caller's hooks."""
    hooks: dict[str, Any] = {}
    if ext_hook is not None:
        hooks["ext_hook"] = ext_hook
    if object_hook is not None:
        hooks["object_hook"] = object_hook
    # Maps written by msgpack users may have int or bytes keys; the default
    # strict_map_key=True would refuse to read back what the writer accepted.
    return partial(msgpack.unpackb, raw=False, strict_map_key=False, **hooks)


class _KeysView(KeysView[Key]):
    """Keys in key order, fetched a chunk at a time."""

    __slots__ = ()

    _mapping: ReaderMapping

    def __iter__(self) -> Iterator[Key]:
        return iter(self._mapping)


class _ItemsView(ItemsView[Key, Any]):
    """``(key, object)`` pairs in key order, fetched a chunk at a time."""

    __slots__ = ()

    _mapping: ReaderMapping

    def __iter__(self) -> Iterator[tuple[Key, Any]]:
        return self._mapping._decoded_pairs(self._mapping._items_raw())


class _ValuesView(ValuesView[Any]):
    """One object per key in key order (shared objects repeat), a chunk at a time."""

    __slots__ = ()

    _mapping: ReaderMapping

    def __iter__(self) -> Iterator[Any]:
        return map(self._mapping._decode, self._mapping._values_raw())


class ReaderMapping(Mapping[Key, Any]):
    """Read-only mapping of key to msgpack-decoded object; equal and hashed by identity."""

    __slots__ = ()

    _CLOSED_MESSAGE: ClassVar[str]
    _decode: Callable[[bytes], Any]

    # What a subclass provides

    @property
    @abstractmethod
    def closed(self) -> bool: ...

    @abstractmethod
    def close(self) -> None: ...

    @abstractmethod
    def prefix_raw(self, prefix: Key) -> Iterator[tuple[Key, bytes]]: ...

    @abstractmethod
    def range_raw(
        self, start: Key | None = None, stop: Key | None = None
    ) -> Iterator[tuple[Key, bytes]]: ...

    @abstractmethod
    def get_raw(self, key: Key) -> bytes | None: ...

    @abstractmethod
    def get_many_raw(self, keys: Iterable[Key]) -> list[bytes | None]: ...

    @abstractmethod
    def _items_raw(self) -> Iterator[tuple[Key, bytes]]:
        """Every ``(key, stored bytes)`` pair in key order; made at once, read lazily."""

    def _values_raw(self) -> Iterator[bytes]:
        """The stored bytes of each key's object, in key order."""
        return map(itemgetter(1), self._items_raw())

    # Views and identity

    def keys(self) -> KeysView[Key]:
        """A view of the keys in sorted byte order, fetched a chunk at a time."""
        return _KeysView(self)

    def items(self) -> ItemsView[Key, Any]:
        """A view of ``(key, object)`` pairs in key order, fetched a chunk at a time."""
        return _ItemsView(self)

    def values(self) -> ValuesView[Any]:
        """A view of the objects in key order, one per key, fetched a chunk at a time."""
        return _ValuesView(self)

    __hash__ = object.__hash__

    def __eq__(self, other: object) -> bool:
        return self is other

    # Decoded forms of the raw queries

    def prefix(self, prefix: Key) -> Iterator[tuple[Key, Any]]:
        """The ``(key, object)`` pairs whose key bytes start with *prefix*, in key order.

        Lazy: entries are fetched a chunk at a time as the iterator is consumed.
        """
        return self._decoded_pairs(self.prefix_raw(prefix))

    def range(self, start: Key | None = None, stop: Key | None = None) -> Iterator[tuple[Key, Any]]:
        """The ``(key, object)`` pairs from *start* (inclusive) to *stop* (exclusive).

        Keys compare by their bytes; a missing bound is open.  A binary search
        finds *start*, then the walk fetches a chunk at a time.
        """
        return self._decoded_pairs(self.range_raw(start, stop))

    def get_many(self, keys: Iterable[Key], default: Any = None) -> list[Any]:
        """The object of each key of *keys* (*default* for an absent one), in order.

        The lookups of the whole batch overlap their memory misses and run
        without the interpreter lock.
        """
        decode = self._decode
        return [default if raw is None else decode(raw) for raw in self.get_many_raw(keys)]

    def _decoded_pairs(self, pairs: Iterable[tuple[Key, bytes]]) -> Iterator[tuple[Key, Any]]:
        decode = self._decode
        return ((key, decode(raw)) for key, raw in pairs)

    # Joins

    def lookup_frame(
        self,
        frame: Any,
        on: str,
        *,
        columns: Sequence[str] | None = None,
        prefix: str = "",
        default: Any = None,
        raw: bool = False,
        dtypes: Mapping[str, Any] | None = None,
    ) -> Any:
        """A pandas DataFrame *frame* with the objects that its column *on*'s keys name.

        One batched lookup for the whole column. With *columns*, each named field becomes
        a typed column ``prefix + field``; without, one column ``prefix + "object"`` holds
        the objects (or, with *raw*, their stored bytes). A missing key or field gives
        *default*. docs/usage.md ("Joins") has the rules for keys and column types.
        Needs pandas, pyarrow and msgspec.
        """
        from quordb._lookup import Lookup, lookup_frame  # pandas only when joining

        lookup = Lookup.of(columns, prefix, default, raw, dtypes)
        return lookup_frame(self, frame, on, lookup)

    # Lifetime

    def _require_open(self) -> None:
        if self.closed:
            raise ValueError(self._CLOSED_MESSAGE)

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
