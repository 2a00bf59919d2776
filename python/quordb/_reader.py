"""`QuorReader`: a read-only mapping of key to decoded object over one `.qrdb` file."""

from __future__ import annotations

import builtins
import os
from collections.abc import Callable, Iterable, Iterator, Sequence
from itertools import chain, repeat
from typing import Any, Literal, NoReturn, overload

from quordb._mapping import Key, ReaderMapping
from quordb._native import Reader

TYPE_CHECKING = False
if TYPE_CHECKING:
    from quordb._quordb import _QuorReader

__all__ = ["Key", "PathArg", "QuorReader", "path_text"]

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


def _identity(path: str) -> tuple[int, int] | None:
    """The device and inode of the file at *path*: a rebuild renamed over it changes them."""
    try:
        status = os.stat(path)
    except OSError:
        return None
    return status.st_dev, status.st_ino


class _ClosedReader:
    """Stands in for the native reader after `close()`, so the hot paths need no check."""

    __slots__ = ()

    def __getattr__(self, name: str) -> NoReturn:
        raise ValueError(_CLOSED_MESSAGE)

    def __len__(self) -> NoReturn:
        raise ValueError(_CLOSED_MESSAGE)


def _closed(*args: object) -> NoReturn:
    """Stands in for the native reader's lookup after `close()`."""
    raise ValueError(_CLOSED_MESSAGE)


class QuorReader[T](ReaderMapping[T]):
    """Read-only mapping of key to object over one `.qrdb` database file.

    ``QuorReader(path, verify=True)`` opens and maps *path* (a `str` or any
    path-like object); with *verify* the whole-file CRC-32 is checked first,
    and that the index ends exactly at the end of the file.
    Values are msgpack, decoded by msgspec: strings become `str`, binary
    `bytes`, arrays `list`, extension values `quordb.Ext` and timestamps
    aware `datetime.datetime` objects.  ``type=T`` decodes every value as *T*
    (a `msgspec.Struct`, a dataclass, a `TypedDict`, or any type msgspec
    takes), skipping the fields *T* does not name; a value that does not
    match raises `DecodeError`, which names its key, and the reader stays
    usable.  *ext_hook(code, data)* makes what an extension value becomes;
    *object_hook(dict)* is called for every map, with msgpack (the ``msgpack``
    extra) decoding instead of msgspec.

    Keys are looked up by their bytes: a `str` key is its UTF-8 encoding, a
    `bytes` key is taken as it is.  Listings (iteration, `keys`, `items`,
    `prefix`, `range`) hand a key back as `str` when its bytes are valid UTF-8
    and as `bytes` otherwise, so every listed key finds its value and
    ``dict(reader)`` has ``len(reader)`` entries.  An object that cannot be a
    key (not `str` or bytes-like, or text with lone surrogates) is simply
    absent, as from a dict of str keys.

    Listings are lazy: the views and `prefix`/`range` fetch entries in chunks
    of a few thousand, so memory stays bounded by a chunk; ``len`` and ``in``
    are O(1).  An iteration reads the file that was open when it started, even
    if the reader is closed or refreshed meanwhile.

    Equality and hashing are by identity: comparing two readers never reads
    their files.  Use ``dict(a) == dict(b)`` to compare contents.

    `close()` (also run on leaving a ``with`` block) lets go of the file, which
    is unmapped once running iterations are done.  Any use after `close()`
    raises `ValueError`.

    Errors of the store arrive as raised by the native layer: `CorruptError`
    (a `RuntimeError` whose message starts ``"QuorCorruptError: "``) for a
    damaged file, `VersionError` (a `RuntimeError`, ``"QuorVersionError:
    unsupported version "``), and `StoreIOError` (an `OSError`,
    ``"QuorIOError: "``) when the file cannot be opened or mapped.

    One reader may be shared by many threads; opening, `verify`, batched
    lookups and long chunk fetches let other threads run meanwhile.
    """

    __slots__ = (
        "__weakref__",
        "_decode",
        "_decoding",
        "_get",
        "_identity",
        "_native",
        "_path",
        "_raw",
    )

    _CLOSED_MESSAGE = _CLOSED_MESSAGE

    _native: Reader
    _raw: _QuorReader | None

    @overload
    def __init__(
        self: QuorReader[Any],
        path: PathArg,
        verify: bool = True,
        *,
        ext_hook: Callable[[int, bytes], Any] | None = None,
        object_hook: Callable[[dict[Any, Any]], Any] | None = None,
    ) -> None: ...
    @overload
    def __init__(
        self,
        path: PathArg,
        verify: bool = True,
        *,
        type: builtins.type[T],
        ext_hook: Callable[[int, bytes], Any] | None = None,
    ) -> None: ...
    def __init__(
        self,
        path: PathArg,
        verify: bool = True,
        *,
        type: Any = Any,
        ext_hook: Callable[[int, bytes], Any] | None = None,
        object_hook: Callable[[dict[Any, Any]], Any] | None = None,
    ) -> None:
        self._take_decoding(type, ext_hook, object_hook)
        self._path = path_text(path)
        # Taken before the open, as the native reader takes its own: a rename
        # in between makes `raw` refuse once, never serve another file.
        self._identity = _identity(self._path)
        self._native = Reader(self._path, verify)
        # Bound once: a lookup is about a microsecond, and finding the method
        # again on every call is a noticeable part of that.
        self._get = self._native.get
        self._raw = None

    @property
    def path(self) -> str:
        """The path as passed to the native reader."""
        return self._path

    @property
    def raw(self) -> _QuorReader:
        """A `quordb._quordb._QuorReader` on this reader's file, for code written against that class.

        It is opened (without a second CRC pass) on first use and kept until
        `close` or a `refresh` that switches files. If another file has been
        renamed over the path since this reader opened its own, it raises
        `ValueError` rather than hand out a reader of the other file:
        `refresh` first. It loads the index a second time, and its listings
        are eager and decode keys with U+FFFD, so prefer the methods here,
        which give the stored bytes too (`get_raw`, `get_many_raw`,
        `prefix_raw`, `range_raw`).
        """
        self._require_open()
        if self._raw is None:
            from quordb._quordb import _QuorReader

            raw = _QuorReader(self._path, False)
            # Compared after the open too: a rename between the check and the
            # open would otherwise go unseen.
            if _identity(self._path) != self._identity:
                raise ValueError(
                    f"{self._path} has been replaced since this reader opened it; "
                    "call refresh() before using raw"
                )
            self._raw = raw
        return self._raw

    @property
    def closed(self) -> bool:
        return not isinstance(getattr(self, "_native", None), Reader)

    # Mapping protocol

    def __getitem__(self, key: Key) -> T:
        try:
            return self._get(key, self._decode)
        except self._decoding.failures as error:
            if self._get is _closed:  # its own ValueError, whatever the decoding fails with
                raise
            raise self._decoding.failure(key, error) from error

    def get(self, key: Key, default: Any = None) -> T | Any:
        try:
            return self._get(key, self._decode, default)
        except self._decoding.failures as error:
            if self._get is _closed:
                raise
            raise self._decoding.failure(key, error) from error

    def get_raw[D](self, key: Key, default: D | None = None) -> bytes | D | None:
        """The stored msgpack bytes of *key*'s object, or *default* when it is absent."""
        raw = self._native.get_raw(key)
        return default if raw is None else raw

    def __contains__(self, key: object) -> bool:
        return self._native.exists(key)

    def __len__(self) -> int:
        return len(self._native)

    def __iter__(self) -> Iterator[Key]:
        return chain.from_iterable(self._scan("keys"))

    # Ordered and bulk queries

    def prefix(self, prefix: Key) -> Iterator[tuple[Key, T]]:
        native, decode = self._native, self._decoder()
        return self._named_chunks(
            native.scan_prefix("items", prefix, decode=decode), native.scan_prefix("items", prefix)
        )

    def range(self, start: Key | None = None, stop: Key | None = None) -> Iterator[tuple[Key, T]]:
        native, decode = self._native, self._decoder()
        return self._named_chunks(
            native.scan("items", start, stop, decode=decode), native.scan("items", start, stop)
        )

    def prefix_raw(self, prefix: Key) -> Iterator[tuple[Key, bytes]]:
        """As `prefix`, with each object's stored msgpack bytes."""
        return chain.from_iterable(self._native.scan_prefix("items", prefix))

    def prefix_keys(self, prefix: Key) -> Iterator[Key]:
        """The keys whose bytes start with *prefix*, in key order; no object is read."""
        return chain.from_iterable(self._native.scan_prefix("keys", prefix))

    def range_raw(
        self, start: Key | None = None, stop: Key | None = None
    ) -> Iterator[tuple[Key, bytes]]:
        """As `range`, with each object's stored msgpack bytes."""
        return chain.from_iterable(self._native.scan("items", start, stop))

    def get_many_raw(self, keys: Iterable[Key]) -> list[bytes | None]:
        """The stored msgpack bytes of each key of *keys*, None for an absent one."""
        return self._native.get_many_raw(keys)

    def _decoded_many(self, keys: Sequence[Key], default: Any) -> list[T | Any]:
        return self._native.get_many(keys, self._decoder(), default)

    def exists_many(self, keys: Iterable[Key]) -> list[bool]:
        """Whether each key of *keys* is present, in order."""
        return self._native.exists_many(keys)

    def _on_natives[R](self, lookup: Callable[[Sequence[Reader]], R]) -> R:
        native = self._native
        if not isinstance(native, Reader):
            raise ValueError(_CLOSED_MESSAGE)  # noqa: TRY004  # closed, as every other method says
        return lookup((native,))

    def objects(self) -> list[T]:
        """Every stored object that some key names, once each, ordered by its first key.

        An object that no key names is stored and counted in ``stats()["num_objects"]``
        but not listed.
        """
        return self._decoded_batch(repeat(None), self._native.objects_raw())

    def stats(self) -> dict[str, Any]:
        """File metadata: path, version, num_keys, num_objects, index_offset,
        data_offset, file_size_kb, file_crc32."""
        return dict(self._native.stats())

    def verify(self) -> Literal[True]:
        """Check every byte of the file.

        The whole-file CRC-32; every object's CRC-32, whether a key names it or
        not; the header, which no CRC covers (``data_offset`` is 40, the reserved
        bytes are zero, the objects fill the data section exactly and number
        ``num_objects``, the ``num_keys`` index entries end exactly at the end of
        the file); keys in order, each once; every key naming the start of an
        object.  Returns True; a failure raises `RuntimeError`
        ``"QuorCorruptError: ..."`` naming the field or offset.
        """
        return self._native.verify_strict()

    def refresh(self) -> bool:
        """Reopen the path if a rebuild has renamed a new file over it.

        Returns whether it switched; later calls read the new file, while
        iterations already running finish on the old one, which stays mapped
        until they are done.  The old file stays in use if the new one cannot
        be opened, and the error is raised.
        """
        identity = _identity(self._path)
        switched = self._native.refresh()
        if switched:
            self._raw = None
            self._identity = identity
        return switched

    # Lifetime

    def close(self) -> None:
        """Let go of the file; closing twice is allowed."""
        native = getattr(self, "_native", None)
        if isinstance(native, Reader):
            native.close()
        self._native = _ClosedReader()  # type: ignore[assignment]
        self._get = _closed  # type: ignore[assignment]
        self._raw = None

    def __repr__(self) -> str:
        path = getattr(self, "_path", None)
        if self.closed:
            return f"<closed QuorReader {path!r}>"
        return f"QuorReader({path!r}, keys={len(self)})"

    # Helpers of the listings

    def _scan(self, what: Literal["keys", "values", "items"]) -> Iterator[list[Any]]:
        # Made at once, not on first next(): the iteration reads the file open now.
        return self._native.scan(what)

    def _decoded_items(self) -> Iterator[tuple[Key, T]]:
        native, decode = self._native, self._decoder()
        return self._named_chunks(native.scan("items", decode=decode), native.scan("items"))

    def _decoded_values(self) -> Iterator[T]:
        native, decode = self._native, self._decoder()
        return self._named_chunks(native.scan("values", decode=decode), native.scan("items"))
