"""`QuorWriter`: encodes objects with msgpack and builds one `.qrdb` file of them and their keys."""

from __future__ import annotations

import contextlib
import os
import sys
from collections.abc import Callable, Iterable, Iterator
from types import TracebackType
from typing import Any, Self

import msgpack  # type: ignore[import-untyped]  # ships no type information

from quordb._native import StreamWriter, check_add, check_payload
from quordb._quordb import _QuorWriter
from quordb._reader import Key, PathArg, path_text

__all__ = ["QuorWriter"]

@contextlib.contextmanager
def _stdout_silenced() -> Iterator[None]:
    """File descriptor 1 points at the null device inside the block.

    The specified native writer prints its summary line on descriptor 1 and
    holds the interpreter lock for the whole build, so no Python code writes
    there meanwhile. With descriptor 1 closed there is nothing to silence.
    """
    try:
        saved = os.dup(1)
    except OSError:
        yield
        return
    try:
        null = os.open(os.devnull, os.O_WRONLY)
        try:
            os.dup2(null, 1)
        finally:
            os.close(null)
        yield
    finally:
        os.dup2(saved, 1)
        os.close(saved)


class QuorWriter:
    """Builds a `.qrdb` database: objects encoded with msgpack, each under one or more keys.

    Objects are encoded with ``use_bin_type=True`` (`str` as msgpack text,
    `bytes` as msgpack binary); *default* is called for objects msgpack cannot
    encode itself and must return something it can.  An object that would not
    read back (a map with a tuple as a key) is refused with `TypeError`.

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

    A finished build prints one summary line on standard output (file
    descriptor 1) unless *quiet* (the default).

    Errors of the store arrive as raised by the native module: `ValueError`
    ``"QuorError: ..."`` for a key, an object or an object ID the format
    cannot hold, `OSError` ``"QuorIOError: ..."`` for a failed build, and
    `TypeError` or `ValueError` for a key that is not `str` or `bytes` or has
    no UTF-8 form.
    """

    __slots__ = ("_packer", "_path", "_quiet", "_raw")

    _raw: StreamWriter | _QuorWriter

    def __init__(
        self,
        path: PathArg | None = None,
        *,
        default: Callable[[Any], Any] | None = None,
        quiet: bool = True,
    ) -> None:
        self._path = None if path is None else path_text(path)
        self._packer = msgpack.Packer(use_bin_type=True, default=default)
        self._quiet = quiet
        self._raw = _QuorWriter() if self._path is None else StreamWriter(self._path)

    @property
    def path(self) -> str | None:
        """The target given at construction, or None."""
        return self._path

    @property
    def raw(self) -> StreamWriter | _QuorWriter:
        """The native writer (`StreamWriter` given a path, else `_QuorWriter`)."""
        return self._raw

    @property
    def streaming(self) -> bool:
        """True for a writer given its path up front, which writes objects as they come."""
        return isinstance(self._raw, StreamWriter)

    def add_object(self, obj: Any) -> int:
        """Encode and store *obj*; return its object ID (0, 1, 2... in order added)."""
        payload = self._packer.pack(obj)
        check_payload(payload)
        return self._raw.add_object_raw(payload)

    def add_key(self, key: Key, obj_id: int) -> None:
        """Map *key* to the object *obj_id*; a key added again names the newer object."""
        self._raw.add_key(key, obj_id)

    def add(self, obj: Any, keys: Key | Iterable[Key]) -> int:
        """Store *obj* under one key or under each key of an iterable; return its ID.

        All or nothing: the keys (their types, UTF-8 form and length) and the
        object are checked before anything is stored, so a failing call leaves
        the writer unchanged.
        """
        raw = self._raw
        if type(raw) is StreamWriter:
            return raw.add(self._packer.pack(obj), keys)
        return self._add_in_memory(self._packer.pack(obj), keys)

    def _add_in_memory(self, payload: bytes, keys: Key | Iterable[Key]) -> int:
        """`add` for the in-memory writer, which stores an object and its keys in steps."""
        raw = self._raw
        assert isinstance(raw, _QuorWriter)
        listed = check_add(payload, keys)
        obj_id = raw.add_object_raw(payload)
        if isinstance(listed, list | tuple):
            for key in listed:
                raw.add_key(key, obj_id)
        else:
            raw.add_key(listed, obj_id)
        return obj_id

    def add_many(self, items: Iterable[tuple[Any, Key | Iterable[Key]]]) -> int:
        """`add` each ``(obj, keys)`` pair of *items*, in order; return how many were added.

        Each pair is added all or nothing. A pair that fails raises, with the
        pairs before it stored and none after it. A streaming writer takes the
        whole iterable in one native call, which encodes each object as it comes.
        """
        return self._add_pairs(items, self._packer.pack)

    def add_many_raw(self, items: Iterable[tuple[Any, Key | Iterable[Key]]]) -> int:
        """As `add_many`, with each object already encoded: ``(msgpack bytes, keys)`` pairs.

        The bytes are stored as they are, after the same check as every object
        gets (they must decode again), so this skips only the encoding.
        """
        return self._add_pairs(items, None)

    def _add_pairs(
        self,
        items: Iterable[tuple[Any, Key | Iterable[Key]]],
        encode: Callable[[Any], bytes] | None,
    ) -> int:
        raw = self._raw
        if isinstance(raw, StreamWriter):
            return raw.add_many(items, encode)
        added = 0
        for obj, keys in items:
            self._add_in_memory(obj if encode is None else encode(obj), keys)
            added += 1
        return added

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
            raw.finish(print_summary=not self._quiet)
            return
        if target is None:
            if self._path is None:
                raise TypeError("build() needs a path: none was given to QuorWriter()")
            target = self._path
        if self._quiet:
            with _stdout_silenced():
                raw.build(target)
        else:
            raw.build(target)

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
