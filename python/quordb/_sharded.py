"""Shard sets: `ShardedWriter` builds one, `ShardedReader` reads it as one mapping."""

from __future__ import annotations

import contextlib
import heapq
import os
import shutil
import time
import uuid
from array import array
from collections.abc import Callable, Iterable, Iterator, Sequence
from dataclasses import dataclass
from types import TracebackType
from typing import Any, Literal, Self

import msgpack  # type: ignore[import-untyped]  # ships no type information

from quordb._manifest import (
    FORMAT_NAME,
    FORMAT_VERSION,
    MANIFEST_NAME,
    MAX_SHARDS,
    Manifest,
    ShardEntry,
    check_shard_count,
    describe_shard,
    publish,
    shard_file_name,
    split_keys,
)
from quordb._mapping import ReaderMapping, decoder
from quordb._native import StreamWriter, check_add, shard_of
from quordb._reader import Key, PathArg, QuorReader, path_text
from quordb._writer import QuorWriter

__all__ = ["ShardedReader", "ShardedWriter", "key_list", "open", "order_key", "staging_directory"]

# Taken as one key, never iterated as a sequence of byte values.
_SINGLE_KEY_TYPES = (str, bytes, bytearray, memoryview)


def _as_key(key: object) -> Key:
    if isinstance(key, str | bytes):
        return key
    if isinstance(key, bytearray | memoryview):
        return bytes(key)
    raise TypeError(f"each key must be str or bytes, not {type(key).__name__!r}")


def key_list(keys: Key | Iterable[Key]) -> list[Key]:
    """One key or an iterable of keys as a non-empty list of `str` and `bytes` keys."""
    if isinstance(keys, _SINGLE_KEY_TYPES):
        return [_as_key(keys)]
    try:
        iterator = iter(keys)
    except TypeError:
        raise TypeError(
            f"keys must be a str or bytes key or an iterable of them, not {type(keys).__name__!r}"
        ) from None
    listed = [_as_key(key) for key in iterator]
    if not listed:
        raise ValueError("add() needs at least one key for the object")
    return listed


def order_key(key: Key) -> bytes:
    """The bytes a key is stored as, which give the order of listings."""
    return key.encode() if isinstance(key, str) else key


def staging_directory(directory: str) -> str:
    """A fresh directory inside *directory* where a build puts its shards before publishing."""
    return os.path.join(directory, f".staging-{uuid.uuid4().hex}")


# Packs an object's first shard and its ID there into one number.
_HOME_BASE = MAX_SHARDS


def add_to_shard(writer: QuorWriter, payload: bytes, keys: Sequence[Key]) -> int:
    """Store *payload* under *keys* in one shard's streaming writer; return its ID there.

    Every build of a shard adds through here, so builds of the same records give
    the same bytes.
    """
    raw = writer.raw
    assert isinstance(raw, StreamWriter)
    return raw.add(payload, keys) if keys else raw.add_object_raw(payload)


class _Spill:
    """Encoded objects appended to a file, read back by offset; written a megabyte at a time."""

    __slots__ = ("_buffer", "_fd", "_flushed")

    _FLUSH_AT = 1 << 20

    def __init__(self, path: str) -> None:
        self._fd = os.open(path, os.O_RDWR | os.O_CREAT | os.O_EXCL, 0o600)
        self._buffer = bytearray()
        self._flushed = 0

    def append(self, payload: bytes) -> int:
        """Keep *payload*; return its offset."""
        offset = self._flushed + len(self._buffer)
        self._buffer += payload
        if len(self._buffer) >= self._FLUSH_AT:
            view = memoryview(self._buffer)
            while view:
                view = view[os.write(self._fd, view) :]
            view.release()
            self._flushed += len(self._buffer)
            self._buffer.clear()
        return offset

    def read(self, offset: int, length: int) -> bytes:
        # The buffer is written whole, so no payload is split between file and buffer.
        if offset >= self._flushed:
            start = offset - self._flushed
            return bytes(self._buffer[start : start + length])
        return os.pread(self._fd, length, offset)

    def close(self) -> None:
        os.close(self._fd)


class ShardedWriter:
    """Builds a shard set in *directory*: *shards* `.qrdb` files and their manifest.

    The methods of `QuorWriter`. Each key goes to the shard its hash routes it
    to, and an object is stored in every shard that one of its keys routes to; an
    object that no key names is stored in no shard. The shards are written by
    streaming writers in a staging directory inside *directory*; `build` (also
    run on leaving a ``with`` block normally) moves them into place and then
    publishes the manifest, atomically. A writer builds once; `close` before a
    build discards everything written, as does a ``with`` block left by an
    exception.

    Each object's bytes also go to a spill file in the staging directory, from
    which a later `add_key` copies it into the key's shard. Memory holds 16 bytes
    per object, and each shard's streaming writer its keys and its buffer.
    """

    __slots__ = (
        "_created",
        "_directory",
        "_extra_ids",
        "_homes",
        "_manifest",
        "_offsets",
        "_packer",
        "_shards",
        "_spill",
        "_staging",
        "_state",
        "_writers",
    )

    def __init__(
        self,
        directory: PathArg,
        *,
        shards: int,
        default: Callable[[Any], Any] | None = None,
    ) -> None:
        self._shards = check_shard_count(shards)
        self._directory = path_text(directory)
        self._packer = msgpack.Packer(use_bin_type=True, default=default)
        self._writers: list[QuorWriter] = []
        self._staging: str | None = None
        self._spill: _Spill | None = None
        # Object i's bytes are spill[offsets[i]:offsets[i + 1]]; homes[i] is its ID in
        # the first shard that stored it, as id * _HOME_BASE + shard (-1: none yet).
        # Its IDs in further shards, which are rare, live in a dict.
        self._offsets = array("q", [0])
        self._homes = array("q")
        self._extra_ids: dict[tuple[int, int], int] = {}
        self._state: Literal["open", "built", "closed"] = "open"
        self._manifest: Manifest | None = None
        self._created = False

    @property
    def path(self) -> str:
        """The directory of the shard set."""
        return self._directory

    @property
    def shards(self) -> int:
        return self._shards

    @property
    def manifest(self) -> Manifest | None:
        """The manifest published by `build`, or None before."""
        return self._manifest

    def _require_open(self) -> None:
        if self._state != "open":
            raise ValueError(f"ShardedWriter for {self._directory!r} is {self._state}")

    def _stage(self) -> tuple[str, _Spill]:
        """The staging directory, spill and shard writers, made on first use."""
        if self._staging is None or self._spill is None:
            self._require_open()
            if not os.path.isdir(self._directory):
                os.makedirs(self._directory)
                self._created = True
            staging = staging_directory(self._directory)
            os.mkdir(staging)
            self._staging = staging
            self._spill = _Spill(os.path.join(staging, "objects.spill"))
            self._writers = [
                QuorWriter(os.path.join(staging, shard_file_name(shard)))
                for shard in range(self._shards)
            ]
        return self._staging, self._spill

    def _store(self, payload: bytes) -> int:
        """Spill *payload* as a new object, in no shard yet; return its ID."""
        _staging, spill = self._stage()
        spill.append(payload)
        self._offsets.append(self._offsets[-1] + len(payload))
        self._homes.append(-1)
        return len(self._homes) - 1

    def _place(self, obj_id: int, shard: int, payload: bytes, keys: list[Key] | None = None) -> int:
        """Store object *obj_id* in *shard*, under *keys* if given; return its ID there."""
        local = add_to_shard(self._writers[shard], payload, keys or [])
        if self._homes[obj_id] < 0:
            self._homes[obj_id] = local * _HOME_BASE + shard
        else:
            self._extra_ids[obj_id, shard] = local
        return local

    def add_object(self, obj: Any) -> int:
        """Encode *obj* and keep it for keys to come; return its ID (0, 1, 2... in order)."""
        self._require_open()
        return self._store(self._packer.pack(obj))

    def add_key(self, key: Key, obj_id: int) -> None:
        """Map *key* to the object *obj_id* in the key's shard."""
        self._require_open()
        (key,) = key_list(key)
        if not 0 <= obj_id < len(self._homes):
            raise ValueError(
                f"QuorError: obj_id {obj_id} out of range (have {len(self._homes)} objects)"
            )
        shard = shard_of(key, self._shards)
        home, home_shard = divmod(self._homes[obj_id], _HOME_BASE)
        if self._homes[obj_id] >= 0 and home_shard == shard:
            local = home
        elif (local := self._extra_ids.get((obj_id, shard), -1)) < 0:
            start, end = self._offsets[obj_id], self._offsets[obj_id + 1]
            local = self._place(obj_id, shard, self._stage()[1].read(start, end - start))
        self._writers[shard].raw.add_key(key, local)

    def add(self, obj: Any, keys: Key | Iterable[Key]) -> int:
        """Store *obj* under one key or each key of an iterable; return its ID.

        The keys are checked before anything is stored.
        """
        self._require_open()
        listed = key_list(keys)
        payload = self._packer.pack(obj)
        check_add(payload, listed)
        obj_id = self._store(payload)
        for shard, shard_keys in split_keys(listed, self._shards).items():
            self._place(obj_id, shard, payload, shard_keys)
        return obj_id

    def add_many(self, items: Iterable[tuple[Any, Key | Iterable[Key]]]) -> int:
        """`add` each ``(obj, keys)`` pair of *items*, in order; return how many were added.

        A pair that fails raises, with the pairs before it stored and none after it.
        """
        added = 0
        for obj, keys in items:
            self.add(obj, keys)
            added += 1
        return added

    @property
    def object_count(self) -> int:
        """Objects added so far, each counted once however many shards store it."""
        return len(self._homes)

    def build(self) -> Manifest:
        """Write every shard, move them into the directory, publish the manifest; return it."""
        staging, _spill = self._stage()
        try:
            entries: dict[int, ShardEntry] = {}
            for shard, writer in enumerate(self._writers):
                writer.build()
                name = shard_file_name(shard)
                entries[shard] = describe_shard(os.path.join(staging, name), name)
            self._release()
            manifest = publish(self._directory, staging, entries)
        except BaseException:
            self.close()
            raise
        self._state = "built"
        self._manifest = manifest
        return manifest

    def _release(self) -> None:
        if self._spill is not None:
            self._spill.close()
            self._spill = None
        for writer in self._writers:
            # A streaming writer that did not finish removes its temporary file.
            close = getattr(writer, "close", None)
            if close is not None:
                close()
        self._writers = []

    def close(self) -> None:
        """Discard an unbuilt set, with its staging directory; closing twice is allowed."""
        self._release()
        if self._state == "open":
            self._state = "closed"
            if self._staging is not None:
                shutil.rmtree(self._staging, ignore_errors=True)
            if self._created:
                # Made for this set, which never came: leave no empty directory behind.
                with contextlib.suppress(OSError):
                    os.rmdir(self._directory)

    def __enter__(self) -> Self:
        self._require_open()
        return self

    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc_val: BaseException | None,
        exc_tb: TracebackType | None,
    ) -> None:
        if exc_type is None and self._state == "open":
            self.build()
        else:
            self.close()

    def __repr__(self) -> str:
        return (
            f"ShardedWriter({self._directory!r}, shards={self._shards}, "
            f"objects={len(self._homes)}, {self._state})"
        )


# A publish moves the new shards in before it replaces the manifest; a reader that
# opens in between finds shards that the old manifest does not describe and waits
# for the new manifest this long in all.
_PUBLISH_WAIT = 1.0
_PUBLISH_POLL = 0.02


class _ShardMismatch(Exception):
    pass


@dataclass(frozen=True, slots=True)
class _OpenSet:
    """The shards a reader has open, swapped whole by `refresh` so that every call
    sees one set: routing takes the shard count from `readers` itself."""

    manifest: Manifest
    readers: tuple[QuorReader, ...]
    length: int


def _pair_order(pair: tuple[Key, Any]) -> bytes:
    return order_key(pair[0])


def _merged_pairs(scans: Iterable[Iterable[tuple[Key, Any]]]) -> Iterator[tuple[Key, Any]]:
    """One lazy scan in key order out of a scan of each shard; no key is in two shards."""
    return heapq.merge(*scans, key=_pair_order)


class ShardedReader(ReaderMapping):
    """Read-only mapping over a shard set, with the methods of `QuorReader`.

    Opens every shard the manifest lists, each as a `QuorReader` with the given
    *verify*, *ext_hook* and *object_hook*, and checks its key count, object
    count, size and CRC-32 against the manifest. A lookup goes to the one shard
    its key routes to; a batch goes to each shard once; listings merge the
    shards lazily in key order.

    A rebuild of the directory does not disturb an open reader: it keeps the
    shards it opened until `refresh`. Errors are those of `QuorReader`, and a
    damaged shard's message names its file.
    """

    __slots__ = (
        "__weakref__",
        "_decode",
        "_directory",
        "_ext_hook",
        "_object_hook",
        "_set",
        "_verify",
    )

    _CLOSED_MESSAGE = "I/O operation on a closed ShardedReader"

    def __init__(
        self,
        directory: PathArg,
        verify: bool = True,
        *,
        ext_hook: Callable[[int, bytes], Any] | None = None,
        object_hook: Callable[[dict[Any, Any]], Any] | None = None,
    ) -> None:
        self._directory = path_text(directory)
        self._verify = verify
        self._ext_hook = ext_hook
        self._object_hook = object_hook
        self._decode = decoder(ext_hook, object_hook)
        self._set = self._open()

    def _open(self) -> _OpenSet:
        deadline = time.monotonic() + _PUBLISH_WAIT
        while True:
            manifest = Manifest.load(self._directory)
            readers: list[QuorReader] = []
            try:
                for entry in manifest.shards:
                    readers.append(self._open_shard(entry))
                length = sum(entry.num_keys for entry in manifest.shards)
                return _OpenSet(manifest, tuple(readers), length)
            except _ShardMismatch as mismatch:
                for reader in readers:
                    reader.close()
                if Manifest.load(self._directory) == manifest and time.monotonic() > deadline:
                    raise mismatch.args[0] from None
                time.sleep(_PUBLISH_POLL)

    def _open_shard(self, entry: ShardEntry) -> QuorReader:
        path = os.path.join(self._directory, entry.file)
        try:
            size = os.stat(path).st_size
            reader = QuorReader(
                path, self._verify, ext_hook=self._ext_hook, object_hook=self._object_hook
            )
        except OSError as error:
            if error.errno is None:
                raise _ShardMismatch(error) from None
            raise _ShardMismatch(
                OSError(
                    f"QuorIOError: cannot open {path}: {error.strerror} (os error {error.errno})"
                )
            ) from None
        except RuntimeError as error:
            raise _ShardMismatch(_name_shard(error, path)) from None
        problem = entry.mismatch(ShardEntry.of(entry.file, reader.stats(), size))
        if problem is not None:
            reader.close()
            raise _ShardMismatch(RuntimeError(f"QuorCorruptError: {path}: {problem}"))
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
    def shards(self) -> tuple[QuorReader, ...]:
        """The reader of each shard, in shard order."""
        return self._set.readers

    @property
    def closed(self) -> bool:
        return self._set.readers[0].closed

    def shard_of(self, key: Key) -> int:
        """The shard that holds *key*, if any does."""
        return shard_of(key, len(self._set.readers))

    # Mapping protocol

    def __getitem__(self, key: Key) -> Any:
        readers = self._set.readers
        return readers[shard_of(key, len(readers))][key]

    def get(self, key: Key, default: Any = None) -> Any:
        readers = self._set.readers
        return readers[shard_of(key, len(readers))].get(key, default)

    def __contains__(self, key: object) -> bool:
        readers = self._set.readers
        try:
            shard = shard_of(key, len(readers))  # type: ignore[arg-type]
        except ValueError:
            return False
        return key in readers[shard]

    def __len__(self) -> int:
        self._require_open()
        return self._set.length

    def __iter__(self) -> Iterator[Key]:
        return heapq.merge(*self._set.readers, key=order_key)

    # Ordered and bulk queries

    def prefix_raw(self, prefix: Key) -> Iterator[tuple[Key, bytes]]:
        """As `prefix`, with each object's stored msgpack bytes."""
        return _merged_pairs(reader.prefix_raw(prefix) for reader in self._set.readers)

    def prefix_keys(self, prefix: Key) -> Iterator[Key]:
        """The keys whose bytes start with *prefix*, in key order; no object is read."""
        return heapq.merge(
            *(reader.prefix_keys(prefix) for reader in self._set.readers), key=order_key
        )

    def range_raw(
        self, start: Key | None = None, stop: Key | None = None
    ) -> Iterator[tuple[Key, bytes]]:
        """As `range`, with each object's stored msgpack bytes."""
        return _merged_pairs(reader.range_raw(start, stop) for reader in self._set.readers)

    def _batched(
        self, keys: Iterable[Key], lookup: Callable[[QuorReader, list[Key]], list[Any]]
    ) -> list[Any]:
        """*lookup* run once per shard on its share of *keys*; the answers in the keys' order."""
        listed = list(keys)
        positions: dict[int, list[int]] = {}
        readers = self._set.readers
        count = len(readers)
        for position, key in enumerate(listed):
            positions.setdefault(shard_of(key, count), []).append(position)
        found: list[Any] = [None] * len(listed)
        for shard, where in positions.items():
            answers = lookup(readers[shard], [listed[position] for position in where])
            for position, answer in zip(where, answers, strict=True):
                found[position] = answer
        return found

    def get_many_raw(self, keys: Iterable[Key]) -> list[bytes | None]:
        """The stored msgpack bytes of each key, None for an absent one; one batch per shard."""
        return self._batched(keys, QuorReader.get_many_raw)

    def exists_many(self, keys: Iterable[Key]) -> list[bool]:
        """Whether each key is present, in order."""
        return self._batched(keys, QuorReader.exists_many)

    def objects(self) -> list[Any]:
        """Each shard's `objects` in turn: one stored in several shards comes once per shard."""
        return [obj for reader in self._set.readers for obj in reader.objects()]

    def stats(self) -> dict[str, Any]:
        """The set's totals and each shard's own `QuorReader.stats`."""
        opened = self._set
        shards = [reader.stats() for reader in opened.readers]
        return {
            "path": self._directory,
            "format": FORMAT_NAME,
            "version": FORMAT_VERSION,
            "shard_count": len(opened.readers),
            "num_keys": sum(s["num_keys"] for s in shards),
            "num_objects": sum(s["num_objects"] for s in shards),
            "file_size_kb": sum(entry.size for entry in opened.manifest.shards) / 1024,
            "shards": shards,
        }

    def verify(self) -> Literal[True]:
        """Verify every shard and compare it with its manifest entry.

        Returns True; the first failure raises `RuntimeError`
        ``"QuorCorruptError: DIR/part-NNNNN.qrdb: ..."``.
        """
        opened = self._set
        for entry, reader in zip(opened.manifest.shards, opened.readers, strict=True):
            try:
                reader.verify()
            except RuntimeError as error:
                raise _name_shard(error, reader.path) from None
            problem = entry.mismatch(ShardEntry.of(entry.file, reader.stats(), entry.size))
            if problem is not None:
                raise RuntimeError(f"QuorCorruptError: {reader.path}: {problem}")
        return True

    def refresh(self) -> bool:
        """Switch to a newer manifest if one was published; return whether it switched.

        Calls and iterations already running finish on the old shards, which are
        let go when the last of them is done. If the new set cannot be opened the
        old one stays in use and the error is raised.
        """
        self._require_open()
        if Manifest.load(self._directory) == self._set.manifest:
            return False
        self._set = self._open()
        return True

    # Lifetime

    def close(self) -> None:
        """Close every shard; closing twice is allowed."""
        for reader in self._set.readers:
            reader.close()

    def _items_raw(self) -> Iterator[tuple[Key, bytes]]:
        return _merged_pairs(reader._items_raw() for reader in self._set.readers)

    def __repr__(self) -> str:
        if self.closed:
            return f"<closed ShardedReader {self._directory!r}>"
        return (
            f"ShardedReader({self._directory!r}, shards={len(self._set.readers)}, keys={len(self)})"
        )


def _name_shard(error: RuntimeError, path: str) -> RuntimeError:
    """*error* of a shard, its message naming the shard's file after the prefix."""
    prefix, _, rest = str(error).partition(": ")
    return RuntimeError(f"{prefix}: {path}: {rest}")


def open(
    path: PathArg,
    verify: bool = True,
    *,
    ext_hook: Callable[[int, bytes], Any] | None = None,
    object_hook: Callable[[dict[Any, Any]], Any] | None = None,
) -> QuorReader | ShardedReader:
    """A `ShardedReader` for a shard directory, a `QuorReader` for anything else."""
    if os.path.isfile(os.path.join(path_text(path), MANIFEST_NAME)):
        return ShardedReader(path, verify, ext_hook=ext_hook, object_hook=object_hook)
    return QuorReader(path, verify, ext_hook=ext_hook, object_hook=object_hook)
