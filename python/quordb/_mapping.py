"""`ReaderMapping`: the read-only mapping surface that `QuorReader` and `ShardedReader` share.

A subclass finds stored bytes (lookups, the ``*_raw`` listings) and decodes its listings; this
class decodes lookups and batches, names the key of an object that cannot be decoded, and
supplies the views, identity equality, the closed check and the ``with`` protocol.
"""

from __future__ import annotations

import weakref
from abc import abstractmethod
from collections.abc import (
    Buffer,
    Callable,
    ItemsView,
    Iterable,
    Iterator,
    KeysView,
    Mapping,
    Sequence,
    ValuesView,
)
from itertools import chain, count, islice
from operator import itemgetter
from types import TracebackType
from typing import Any, ClassVar, Self

from quordb._codec import Decoding, decoding, plain_decoding
from quordb._errors import DecodeError

TYPE_CHECKING = False
if TYPE_CHECKING:
    from quordb._native import Reader

__all__ = ["Key", "ReaderMapping"]

#: A key as the layer accepts it, and as listings hand it back: text (stored
#: as its UTF-8 bytes) or bytes.
type Key = str | bytes


class _KeysView(KeysView[Key]):
    """Keys in key order, fetched a chunk at a time."""

    __slots__ = ()

    _mapping: ReaderMapping[Any]

    def __iter__(self) -> Iterator[Key]:
        return iter(self._mapping)


class _ItemsView[T](ItemsView[Key, T]):
    """``(key, object)`` pairs in key order, fetched a chunk at a time."""

    __slots__ = ()

    _mapping: ReaderMapping[T]

    def __iter__(self) -> Iterator[tuple[Key, T]]:
        return self._mapping._decoded_items()


class _ValuesView[T](ValuesView[T]):
    """One object per key in key order (shared objects repeat), a chunk at a time."""

    __slots__ = ()

    _mapping: ReaderMapping[T]

    def __iter__(self) -> Iterator[T]:
        return self._mapping._decoded_values()


class _FirstDecode:
    """A reader's decoding until it first decodes: makes the decoder, hands it to the reader
    and decodes. It holds the reader weakly, so that a reader dropped is freed at once, with
    its mapping of the file."""

    __slots__ = ("reader",)

    def __init__(self, reader: weakref.ref[ReaderMapping[Any]]) -> None:
        self.reader = reader

    def __call__(self, payload: Buffer) -> Any:
        return self.made()(payload)

    def made(self) -> Callable[[Buffer], Any]:
        """The decoder, handed to the reader."""
        made = plain_decoding()
        reader = self.reader()
        if reader is not None:
            # _decoding is read only once a decode has raised, so it is set before decoding.
            reader._decoding = made
            reader._decode = made.decode
        return made.decode


class ReaderMapping[T](Mapping[Key, T]):
    """Read-only mapping of key to decoded object; equal and hashed by identity."""

    __slots__ = ()

    _CLOSED_MESSAGE: ClassVar[str]
    _decoding: Decoding[T]
    # The decoder's own method, kept apart from _decoding so that a lookup finds it at once.
    _decode: Callable[[Buffer], T]

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
    def get_raw[D](self, key: Key, default: D | None = None) -> bytes | D | None: ...

    @abstractmethod
    def get_many_raw(self, keys: Iterable[Key]) -> list[bytes | None]: ...

    @abstractmethod
    def _decoded_many(self, keys: Sequence[Key], default: Any) -> list[T | Any]:
        """The object of each key of *keys*, *default* for an absent one, decoded by
        `_decode`; a failure raises as the decoder raised it."""

    @abstractmethod
    def _on_natives[R](self, lookup: Callable[[Sequence[Reader]], R]) -> R:
        """*lookup*, a batched lookup of `quordb._native` that takes a shard set's readers,
        run on this reader's (a file's one); a closed reader raises `ValueError`."""

    @abstractmethod
    def prefix(self, prefix: Key) -> Iterator[tuple[Key, T]]:
        """The ``(key, object)`` pairs whose key bytes start with *prefix*, in key order.

        Lazy: entries are fetched and decoded a chunk at a time as the iterator is consumed.
        """

    @abstractmethod
    def range(self, start: Key | None = None, stop: Key | None = None) -> Iterator[tuple[Key, T]]:
        """The ``(key, object)`` pairs from *start* (inclusive) to *stop* (exclusive).

        Keys compare by their bytes; a missing bound is open.  A binary search
        finds *start*, then the walk fetches and decodes a chunk at a time.
        """

    @abstractmethod
    def _decoded_items(self) -> Iterator[tuple[Key, T]]:
        """Every ``(key, object)`` pair in key order; made at once, read lazily."""

    def _decoded_values(self) -> Iterator[T]:
        """Each key's object, in key order."""
        return map(itemgetter(1), self._decoded_items())

    def _take_decoding(
        self,
        type: Any,
        ext_hook: Callable[[int, bytes], Any] | None,
        object_hook: Callable[[dict[Any, Any]], Any] | None,
    ) -> None:
        """Decode as *type* with the hooks. A reader without them makes its decoder when it
        first decodes, so that one opened to list keys or check a file never imports msgspec;
        one with them makes it now, so that what cannot go together fails before any file is
        opened."""
        if type is Any and ext_hook is None and object_hook is None:
            # Fails with nothing until it has made the decoding that does.
            self._decoding = Decoding(_FirstDecode(weakref.ref(self)), (), None, None)
        else:
            self._decoding = decoding(type, ext_hook, object_hook)
        self._decode = self._decoding.decode

    def _decoder(self) -> Callable[[Buffer], T]:
        """The decoder itself, made now if it was not yet: for a call that decodes many."""
        decode = self._decode
        return decode.made() if isinstance(decode, _FirstDecode) else decode

    # Views and identity

    def keys(self) -> KeysView[Key]:
        """A view of the keys in sorted byte order, fetched a chunk at a time."""
        return _KeysView(self)

    def items(self) -> ItemsView[Key, T]:
        """A view of ``(key, object)`` pairs in key order, fetched a chunk at a time."""
        return _ItemsView(self)

    def values(self) -> ValuesView[T]:
        """A view of the objects in key order, one per key, fetched a chunk at a time."""
        return _ValuesView(self)

    __hash__ = object.__hash__

    def __eq__(self, other: object) -> bool:
        return self is other

    # Decoding

    def get_many(self, keys: Iterable[Key], default: Any = None) -> list[T | Any]:
        """The object of each key of *keys* (*default* for an absent one), in order.

        The lookups of the whole batch overlap their memory misses and run
        without the interpreter lock; the objects are decoded in one pass.
        """
        listed = keys if isinstance(keys, list | tuple) else list(keys)
        try:
            return self._decoded_many(listed, default)
        except self._decoding.failures as error:
            if self.closed:  # its own ValueError, whatever the decoding fails with
                raise
            # Found again from the stored bytes: only a failure pays for it.
            failure = self._first_failure(zip(listed, self.get_many_raw(listed)), error)
            raise failure from failure.__cause__

    def _decoded_batch(self, keys: Iterable[Key | None], payloads: Sequence[bytes]) -> list[T]:
        """*payloads* decoded, in one call with no Python step per object; a failure names
        the key of the first that fails, from *keys* (None: no key)."""
        try:
            return list(map(self._decode, payloads))
        except self._decoding.failures as error:
            failure = self._first_failure(zip(keys, payloads), error)
            raise failure from failure.__cause__

    # A scan decodes a chunk at a time in the native layer, and the chunks are flattened
    # without a Python step per object. They pass through a generator, which names the key of
    # an object that fails; the native scan ends there, as the generator does.

    def _named_chunks(
        self, chunks: Iterator[list[Any]], stored: Iterator[list[tuple[Key, bytes]]]
    ) -> Iterator[Any]:
        """The entries of a decoding scan, one at a time; *stored*, the same scan of stored
        ``(key, bytes)`` pairs, made on the same file, is read only to name the key of an
        object that fails."""
        return chain.from_iterable(self._each_chunk_named(chunks, stored))

    def _each_chunk_named(
        self, chunks: Iterator[list[Any]], stored: Iterator[list[tuple[Key, bytes]]]
    ) -> Iterator[list[Any]]:
        for index in count():
            try:
                chunk = next(chunks)
            except StopIteration:
                return
            except self._decoding.failures as error:
                failure = self._first_failure(next(islice(stored, index, None)), error)
                raise failure from failure.__cause__
            yield chunk

    def _first_failure(
        self, pairs: Iterable[tuple[Key | None, bytes | None]], error: BaseException
    ) -> DecodeError:
        """The failure of the first of the ``(key, payload)`` *pairs* that does not decode
        (*error*, with no key, if each does now)."""
        decoding = self._decoding
        for key, payload in pairs:
            if payload is None:
                continue
            try:
                decoding.decode(payload)
            except decoding.failures as own:
                return decoding.failure(key, own)
        return decoding.failure(None, error)

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
        Needs pandas and pyarrow.
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
