"""`ShardedReader`: a shard set read as one mapping."""

from __future__ import annotations

import builtins
import heapq
import os
import threading
import time
from collections.abc import Callable, Iterable, Iterator, Sequence
from dataclasses import dataclass
from typing import Any, Literal, overload

from quordb._errors import CorruptError, StoreIOError
from quordb._manifest import FORMAT_NAME, Manifest, ShardEntry, shard_error
from quordb._mapping import Key, ReaderMapping
from quordb._native import (
    Reader,
    exists_many_sharded,
    get_many_decoded_sharded,
    get_many_sharded,
    shard_of,
)
from quordb._reader import PathArg, QuorReader, path_text
from quordb._shard_keys import order_key, route, shard_for

__all__ = ["ShardedReader"]

# A writer of the version-1 layout moves its shards in before it replaces the manifest:
# a reader that opens in between finds shards the old manifest does not describe and waits
# for the new manifest this long in all. Sets of later versions never change a listed file.
_PUBLISH_WAIT = 1.0
_PUBLISH_POLL = 0.02


class _ShardMismatch(Exception):
    """A listed shard that cannot be opened or does not match its entry; args[0] says how."""


@dataclass(frozen=True, slots=True)
class _OpenSet[T]:
    """The shards a reader has open, swapped whole by `refresh` so that every call
    sees one set: routing takes the shard count from `readers` itself. `natives` are the
    native readers under `readers`, which the batched lookups take."""

    manifest: Manifest
    readers: tuple[QuorReader[T], ...]
    natives: tuple[Reader, ...]
    length: int


def _pair_order(pair: tuple[Key, Any]) -> bytes:
    return order_key(pair[0])


def _merged(iterators: Iterable[Iterator[Any]], key: Callable[[Any], bytes]) -> Iterator[Any]:
    """One lazy iteration in key order out of one per shard; no key is in two shards.

    The shards' iterators are made here, not on the first step, so that the iteration
    reads the shards open now, as a `QuorReader`'s does.
    """
    return heapq.merge(*list(iterators), key=key)


class ShardedReader[T](ReaderMapping[T]):
    """Read-only mapping over a shard set, with the methods of `QuorReader`.

    Opens every shard the manifest lists, each as a `QuorReader` with the given
    *verify*, *type*, *ext_hook* and *object_hook*, and checks its key count, object
    count, size and CRC-32 against the manifest. A lookup goes to the one shard
    its key routes to; a batch goes to each shard once; listings merge the
    shards lazily in key order. What cannot be a key is absent, as from `QuorReader`.

    A rebuild of the directory does not disturb an open reader: it keeps the
    shards it opened until `refresh`. Errors are those of `QuorReader`, and a
    damaged shard's message names its file.
    """

    __slots__ = (
        "__weakref__",
        "_closed",
        "_decode",
        "_decoding",
        "_directory",
        "_ext_hook",
        "_object_hook",
        "_set",
        "_swap",
        "_type",
        "_verify",
    )

    _CLOSED_MESSAGE = "I/O operation on a closed ShardedReader"
    _set: _OpenSet[T]

    @overload
    def __init__(
        self: ShardedReader[Any],
        directory: PathArg,
        verify: bool = True,
        *,
        ext_hook: Callable[[int, bytes], Any] | None = None,
        object_hook: Callable[[dict[Any, Any]], Any] | None = None,
    ) -> None: ...
    @overload
    def __init__(
        self,
        directory: PathArg,
        verify: bool = True,
        *,
        type: builtins.type[T],
        ext_hook: Callable[[int, bytes], Any] | None = None,
    ) -> None: ...
    def __init__(
        self,
        directory: PathArg,
        verify: bool = True,
        *,
        type: Any = Any,
        ext_hook: Callable[[int, bytes], Any] | None = None,
        object_hook: Callable[[dict[Any, Any]], Any] | None = None,
    ) -> None:
        # Each shard makes its own decoding from the same arguments.
        self._take_decoding(type, ext_hook, object_hook)
        self._directory = path_text(directory)
        self._verify = verify
        self._type = type
        self._ext_hook = ext_hook
        self._object_hook = object_hook
        # Held while the open set is swapped or closed, so that a close wins over a
        # refresh running on another thread.
        self._swap = threading.Lock()
        self._closed = False
        self._set = self._open()

    def _open(self) -> _OpenSet[T]:
        deadline = time.monotonic() + _PUBLISH_WAIT
        while True:
            manifest = Manifest.load(self._directory)
            try:
                return self._open_shards(manifest)
            except _ShardMismatch as mismatch:
                if time.monotonic() > deadline:
                    raise mismatch.args[0] from None
                if Manifest.load(self._directory) == manifest:
                    if manifest.version > 1:
                        raise mismatch.args[0] from None
                    time.sleep(_PUBLISH_POLL)
                # else a publish came between: open the set it named

    def _open_shards(self, manifest: Manifest) -> _OpenSet[T]:
        readers: list[QuorReader[T]] = []
        try:
            for entry in manifest.shards:
                readers.append(self._open_shard(entry))
        except BaseException:
            for reader in readers:
                reader.close()
            raise
        length = sum(entry.num_keys for entry in manifest.shards)
        natives = tuple(reader._native for reader in readers)
        return _OpenSet(manifest, tuple(readers), natives, length)

    def _open_shard(self, entry: ShardEntry) -> QuorReader[T]:
        path = os.path.join(self._directory, entry.file)
        try:
            size = os.stat(path).st_size
            reader: QuorReader[T] = QuorReader(
                path,
                self._verify,
                type=self._type,
                ext_hook=self._ext_hook,
                object_hook=self._object_hook,
            )  # type: ignore[call-overload]  # the arguments this reader's own decoding took
        except OSError as error:
            if error.errno is None:  # the store's own, which names the file
                raise _ShardMismatch(error) from None
            raise _ShardMismatch(StoreIOError.cannot("open", path, error)) from None
        except RuntimeError as error:
            raise _ShardMismatch(shard_error(error, path)) from None
        problem = entry.mismatch(ShardEntry.of(entry.file, reader.stats(), size))
        if problem is not None:
            reader.close()
            raise _ShardMismatch(CorruptError.about(path, problem))
        return reader

    @property
    def path(self) -> str:
        """The directory of the shard set."""
        return self._directory

    @property
    def manifest(self) -> Manifest:
        """The manifest of the shards this reader has open."""
        return self._set.manifest

    @property
    def shards(self) -> tuple[QuorReader[T], ...]:
        """The reader of each shard, in shard order."""
        return self._set.readers

    @property
    def closed(self) -> bool:
        return self._closed

    def shard_of(self, key: Key) -> int:
        """The shard that holds *key*, if any does."""
        return shard_of(key, len(self._set.readers))

    # Mapping protocol

    def __getitem__(self, key: Key) -> T:
        readers = self._set.readers
        shard = shard_for(key, len(readers))
        if shard < 0:
            self._require_open()
            raise KeyError(key)
        return readers[shard][key]

    def get(self, key: Key, default: Any = None) -> T | Any:
        readers = self._set.readers
        shard = shard_for(key, len(readers))
        if shard < 0:
            self._require_open()
            return default
        return readers[shard].get(key, default)

    def get_raw[D](self, key: Key, default: D | None = None) -> bytes | D | None:
        """The stored msgpack bytes of *key*'s object, or *default* when it is absent."""
        readers = self._set.readers
        shard = shard_for(key, len(readers))
        if shard < 0:
            self._require_open()
            return default
        return readers[shard].get_raw(key, default)

    def __contains__(self, key: object) -> bool:
        readers = self._set.readers
        shard = shard_for(key, len(readers))
        if shard < 0:
            self._require_open()
            return False
        return key in readers[shard]

    def __len__(self) -> int:
        self._require_open()
        return self._set.length

    def __iter__(self) -> Iterator[Key]:
        return _merged(map(iter, self._set.readers), order_key)

    # Ordered and bulk queries

    def prefix(self, prefix: Key) -> Iterator[tuple[Key, T]]:
        return _merged((reader.prefix(prefix) for reader in self._set.readers), _pair_order)

    def range(self, start: Key | None = None, stop: Key | None = None) -> Iterator[tuple[Key, T]]:
        return _merged((reader.range(start, stop) for reader in self._set.readers), _pair_order)

    def prefix_raw(self, prefix: Key) -> Iterator[tuple[Key, bytes]]:
        """As `prefix`, with each object's stored msgpack bytes."""
        return _merged((reader.prefix_raw(prefix) for reader in self._set.readers), _pair_order)

    def prefix_keys(self, prefix: Key) -> Iterator[Key]:
        """The keys whose bytes start with *prefix*, in key order; no object is read."""
        return _merged((reader.prefix_keys(prefix) for reader in self._set.readers), order_key)

    def range_raw(
        self, start: Key | None = None, stop: Key | None = None
    ) -> Iterator[tuple[Key, bytes]]:
        """As `range`, with each object's stored msgpack bytes."""
        return _merged((reader.range_raw(start, stop) for reader in self._set.readers), _pair_order)

    def _on_natives[R](self, lookup: Callable[[Sequence[Reader]], R]) -> R:
        self._require_open()
        natives = self._set.natives
        try:
            return lookup(natives)
        except ValueError:
            # A closed shard raises it before anything is decoded, and a shard of its own
            # would name its class; a decoder's own passes as it is.
            if not any(native.closed for native in natives):
                raise
            raise ValueError(QuorReader._CLOSED_MESSAGE) from None

    def _batched(
        self, keys: Iterable[Key], lookup: Callable[[Sequence[Reader], list[Key]], list[Any]]
    ) -> list[Any]:
        """*lookup*, a batched lookup of `quordb._native` over a shard set, of *keys*."""
        self._require_open()
        listed = keys if isinstance(keys, list) else list(keys)
        return self._on_natives(lambda natives: lookup(natives, listed))

    def get_many_raw(self, keys: Iterable[Key]) -> list[bytes | None]:
        """The stored msgpack bytes of each key, None for an absent one; one batch per shard."""
        return self._batched(keys, get_many_sharded)

    def exists_many(self, keys: Iterable[Key]) -> list[bool]:
        """Whether each key is present, in order."""
        return self._batched(keys, exists_many_sharded)

    def _decoded_many(self, keys: Sequence[Key], default: Any) -> list[T | Any]:
        decode = self._decoder()
        return self._batched(
            keys, lambda natives, listed: get_many_decoded_sharded(natives, listed, decode, default)
        )

    def objects(self) -> list[T]:
        """Each shard's `objects` in turn: one stored in several shards comes once per shard."""
        return [obj for reader in self._set.readers for obj in reader.objects()]

    def stats(self) -> dict[str, Any]:
        """The set's totals and each shard's own `QuorReader.stats`."""
        opened = self._set
        shards = [reader.stats() for reader in opened.readers]
        return {
            "path": self._directory,
            "format": FORMAT_NAME,
            "version": opened.manifest.version,
            "shard_count": len(opened.readers),
            "num_keys": sum(s["num_keys"] for s in shards),
            "num_objects": sum(s["num_objects"] for s in shards),
            "file_size_kb": sum(entry.size for entry in opened.manifest.shards) / 1024,
            "shards": shards,
        }

    def verify(self) -> Literal[True]:
        """Verify every shard, compare it with its manifest entry, and check that each of
        its keys routes to it.

        Returns True; the first failure raises `CorruptError`
        ``"QuorCorruptError: DIR/gen-NNNNNNNN/part-NNNNN.qrdb: ..."``.
        """
        opened = self._set
        count = len(opened.readers)
        for index, (entry, reader) in enumerate(
            zip(opened.manifest.shards, opened.readers, strict=True)
        ):
            try:
                reader.verify()
            except RuntimeError as error:
                raise shard_error(error, reader.path) from None
            problem = entry.mismatch(ShardEntry.of(entry.file, reader.stats(), entry.size))
            if problem is not None:
                raise CorruptError.about(reader.path, problem)
            for chunk in reader._scan("keys"):
                for key, shard in zip(chunk, route(chunk, count), strict=True):
                    if shard != index:
                        raise CorruptError.about(
                            reader.path,
                            f"key {key!r} routes to shard {shard} of {count}, not to this one "
                            f"(shard {index})",
                        )
        return True

    def refresh(self) -> bool:
        """Switch to a newer manifest if one was published; return whether it switched.

        Calls and iterations already running finish on the old shards, which are
        let go when the last of them is done. If the new set cannot be opened the
        old one stays in use and the error is raised. A `close` meanwhile wins: the
        reader stays closed and this raises `ValueError`.
        """
        self._require_open()
        if Manifest.load(self._directory) == self._set.manifest:
            return False
        opened = self._open()
        with self._swap:
            if not self._closed:
                self._set = opened
                return True
        for reader in opened.readers:
            reader.close()
        raise ValueError(self._CLOSED_MESSAGE)

    # Lifetime

    def close(self) -> None:
        """Close every shard; closing twice is allowed."""
        with self._swap:
            self._closed = True
            for reader in self._set.readers:
                reader.close()

    def _decoded_items(self) -> Iterator[tuple[Key, T]]:
        return _merged((reader._decoded_items() for reader in self._set.readers), _pair_order)

    def __repr__(self) -> str:
        if self.closed:
            return f"<closed ShardedReader {self._directory!r}>"
        return (
            f"ShardedReader({self._directory!r}, shards={len(self._set.readers)}, keys={len(self)})"
        )
