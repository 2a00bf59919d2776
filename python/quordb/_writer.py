"""`QuorWriter`: encodes objects as msgpack and builds one `.qrdb` file of them and their keys."""

from __future__ import annotations

import sys
from collections.abc import Callable, Iterable, Sequence
from types import TracebackType
from typing import Any, Literal, Self

from quordb._codec import encoder
from quordb._native import MemoryWriter, StreamWriter, check_payload
from quordb._reader import Key, PathArg, path_text

__all__ = ["OnDuplicate", "QuorWriter"]

#: What a build does with a key added again for another object: the later object takes it
#: ("last"), the first keeps it ("first"), or the add raises `DuplicateKeyError` ("error").
type OnDuplicate = Literal["last", "first", "error"]


class QuorWriter:
    """Builds a `.qrdb` database: objects encoded as msgpack, each under one or more keys.

    msgspec encodes the objects: `str` as msgpack text, `bytes` as binary,
    `quordb.Ext` as an extension value, and besides what msgpack holds,
    `msgspec.Struct`s and dataclasses as maps, aware datetimes as timestamps,
    and the other types msgspec knows (dates, UUIDs, enums, sets...).
    *default* is called for any other object and returns something that can
    be encoded.  An object that would not read back (a map with a tuple as a
    key) is refused with `TypeError`.

    Given a *path*, the writer streams: each object goes to the target's
    temporary file as it is added, and only the keys and each object's place
    stay in memory, so a build of any size needs memory for its keys alone.
    `build()` (or the end of a ``with`` block) writes the index, syncs and
    renames the file over *path*; the writer then takes nothing more.  A
    streaming writer that is closed, dropped, left by an exception or
    interrupted (Ctrl-C, also during `build`) before it finished removes its
    temporary file and leaves *path* untouched::

        with QuorWriter("users.qrdb") as w:
            w.add({"name": "Ada"}, ["user:1", "ada@example.org"])

    Without a path, everything is held in memory until `build(path)`, which
    may be called any number of times, to any path, with more adds between.

    A key added again for another object is settled by *on_duplicate*:
    ``"last"`` (the default) lets the later object take it, ``"first"`` keeps
    it with the earlier one (the later object is stored all the same), and
    ``"error"`` refuses the add, all or nothing, with `DuplicateKeyError`
    (whose ``key``, ``first`` and ``second`` name the key and both object IDs).
    Adding a key again for the object it names already is never refused.
    `replaced_count` tells how many keys changed hands (under ``"first"``:
    how many claims were dropped); a streaming writer knows it once built.

    A finished build prints one summary line on standard output (file
    descriptor 1) unless *quiet* (the default).

    With *table* (the default) a lookup table follows the index, so that a
    reader opens the file without reading its index, whatever its size; the
    format's own reader (`quordb._quordb`) skips it.  ``table=False`` writes
    the bytes `quordb._quordb._QuorWriter` writes.

    Errors of the store arrive as raised by the native module: `ValueError`
    ``"QuorError: ..."`` for a key, an object or an object ID the format
    cannot hold, `OSError` ``"QuorIOError: ..."`` (`StoreIOError`) for a
    failed build, and `TypeError` or `ValueError` for a key that is not `str`
    or bytes-like or has no UTF-8 form.
    """

    __slots__ = ("_encode", "_on_duplicate", "_path", "_quiet", "_raw", "_table")

    _raw: StreamWriter | MemoryWriter

    def __init__(
        self,
        path: PathArg | None = None,
        *,
        default: Callable[[Any], Any] | None = None,
        quiet: bool = True,
        on_duplicate: OnDuplicate = "last",
        table: bool = True,
    ) -> None:
        self._path = None if path is None else path_text(path)
        self._table = table
        self._encode = encoder(default)
        self._quiet = quiet
        self._on_duplicate = on_duplicate
        self._raw = (
            MemoryWriter(on_duplicate)
            if self._path is None
            else StreamWriter(self._path, on_duplicate)
        )

    @property
    def path(self) -> str | None:
        """The target given at construction, or None."""
        return self._path

    @property
    def raw(self) -> StreamWriter | MemoryWriter:
        """The native writer (`StreamWriter` given a path, else `MemoryWriter`)."""
        return self._raw

    @property
    def streaming(self) -> bool:
        """True for a writer given its path up front, which writes objects as they come."""
        return isinstance(self._raw, StreamWriter)

    @property
    def on_duplicate(self) -> OnDuplicate:
        """What the writer does with a key added again for another object."""
        return self._on_duplicate

    @property
    def object_count(self) -> int:
        """Objects added so far."""
        return self._raw.object_count

    @property
    def key_count(self) -> int:
        """Keys added so far.

        An in-memory writer counts distinct keys. A streaming writer finds a key added again
        only when it sorts the keys at `build`, so until then it counts such a key again
        (except under ``on_duplicate="error"``, which finds each key as it is added).
        """
        return self._raw.key_count

    @property
    def replaced_count(self) -> int:
        """Keys that a later object took over (under ``on_duplicate="first"``: the claims
        dropped); 0 under ``"error"``. A streaming writer counts them at `build`."""
        return self._raw.replaced_count

    def add_object(self, obj: Any) -> int:
        """Encode and store *obj*; return its object ID (0, 1, 2... in order added)."""
        payload = self._encode(obj)
        check_payload(payload)
        return self._raw.add_object_raw(payload)

    def add_object_raw(self, payload: bytes) -> int:
        """Store the bytes *payload* as they are, unchecked; return the object's ID.

        For bytes taken from another database (``quordb load`` rebuilds files byte for
        byte, whatever their objects hold); a reader decodes them with msgpack, so bytes
        that are not msgpack fail there, not here.
        """
        return self._raw.add_object_raw(payload)

    def add_key(self, key: Key, obj_id: int) -> None:
        """Map *key* to the object *obj_id*; a key that names another object already is
        settled by *on_duplicate*."""
        self._raw.add_key(key, obj_id)

    def add(self, obj: Any, keys: Key | Iterable[Key]) -> int:
        """Store *obj* under one key or under each key of an iterable; return its ID.

        All or nothing: the keys (their types, UTF-8 form and length, and under
        ``on_duplicate="error"`` whether another object has them) and the object are
        checked before anything is stored, so a failing call leaves the writer unchanged.
        """
        return self._raw.add(self._encode(obj), keys)

    def add_many(self, items: Iterable[tuple[Any, Key | Iterable[Key]]]) -> int:
        """`add` each ``(obj, keys)`` pair of *items*, in order; return how many were added.

        Each pair is added all or nothing. A pair that fails raises, with the
        pairs before it stored and none after it. The whole iterable goes to the
        native writer in one call, which encodes each object as it comes.
        """
        return self._raw.add_many(items, self._encode)

    def add_batch(self, objects: Sequence[Any], keys: Sequence[Key | Iterable[Key]]) -> int:
        """`add` each object of *objects* under the item of *keys* at its position, in order;
        return how many were added.

        As `add_many` (each pair all or nothing; a pair that fails raises, with its
        ``pair_index``, after the pairs before it), with the objects encoded in one call and
        handed to the native writer as one buffer: for a build that reads records in batches.
        """
        try:
            packed = self._encode(objects if type(objects) is list else list(objects))
        except (TypeError, ValueError, OverflowError, RecursionError):
            # Some object cannot be encoded: adding one at a time finds which.
            return self.add_many(zip(objects, keys, strict=True))
        return self._raw.add_packed(packed, keys if type(keys) is list else list(keys))

    def add_many_raw(self, items: Iterable[tuple[Any, Key | Iterable[Key]]]) -> int:
        """As `add_many`, with each object already encoded: ``(msgpack bytes, keys)`` pairs.

        The bytes are stored as they are, after the same check as every object
        gets (they must decode again), so this skips only the encoding.
        """
        return self._raw.add_many(items)

    def build(self, path: PathArg | None = None) -> None:
        """Write the database to *path* (default: the path given at construction).

        A streaming writer finishes its one build: *path*, if given, must be
        the path it was made with, and it can be built only once.  An
        in-memory writer keeps its content: it may be built again or added to.
        """
        target = None if path is None else path_text(path)
        if not self._quiet and sys.stdout is not None:
            # The summary line goes straight to fd 1; flush what Python buffered
            # so that it lands after anything printed before the build.
            sys.stdout.flush()
        raw = self._raw
        if isinstance(raw, StreamWriter):
            if target is not None and target != self._path:
                raise ValueError(
                    f"this writer streams to {self._path!r} and cannot build {target!r}; "
                    "use QuorWriter() without a path to build one content to several paths"
                )
            if raw.finished:
                raise ValueError(f"{self._path!r} is already built: a streaming writer builds once")
            raw.finish(print_summary=not self._quiet, table=self._table)
            return
        if target is None:
            if self._path is None:
                raise TypeError("build() needs a path: none was given to QuorWriter()")
            target = self._path
        raw.build(target, print_summary=not self._quiet, table=self._table)

    def close(self) -> None:
        """Give up an unfinished streaming build: remove its temporary file.

        Does nothing once the build finished, and nothing for an in-memory writer.
        """
        if isinstance(self._raw, StreamWriter):
            self._raw.abort()

    def __enter__(self) -> Self:
        if self._path is None:
            raise TypeError("QuorWriter needs a path to be used in a with block")
        return self

    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc_val: BaseException | None,
        exc_tb: TracebackType | None,
    ) -> None:
        try:
            streamed = isinstance(self._raw, StreamWriter) and self._raw.finished
            if exc_type is None and not streamed:
                self.build()
        finally:
            self.close()

    def __repr__(self) -> str:
        return f"QuorWriter(path={self._path!r}, {self._raw!r})"
