"""`QuorWriter`: collects msgpack-encoded objects and their keys, then builds one file."""

from __future__ import annotations

import sys
from collections.abc import Callable, Iterable
from types import TracebackType
from typing import Any, Self

import msgpack  # type: ignore[import-untyped]  # ships no type information

from quordb._quordb import _QuorWriter
from quordb._reader import Key, PathArg, path_text

__all__ = ["QuorWriter"]

# Taken as one key by `add`, never iterated as a sequence of byte values.
_SINGLE_KEY_TYPES = (str, bytes, bytearray, memoryview)


class QuorWriter:
    """Builds a `.qrdb` database: objects encoded with msgpack, each under one or more keys.

    Objects are encoded with ``use_bin_type=True`` (`str` as msgpack text,
    `bytes` as msgpack binary); *default* is called for objects msgpack cannot
    encode itself and must return something it can.  Everything is held in
    memory until `build` writes the file in one go: under a temporary name
    beside the target, synced, then renamed over it.  A successful build prints
    one summary line on standard output (file descriptor 1).

    With a *path*, the writer is a context manager that builds to *path* when
    the ``with`` block ends normally and writes nothing when it raises::

        with QuorWriter("users.qrdb") as w:
            w.add({"name": "Ada"}, ["user:1", "ada@example.org"])

    Errors of the store arrive as raised by the native module: `ValueError`
    ``"QuorError: obj_id ... out of range (have ... objects)"`` for a key given
    an unknown object ID, `OSError` ``"QuorIOError: ..."`` for a failed build,
    and `ValueError` ``"key must be str or bytes"`` for a key of another type.
    """

    __slots__ = ("_packer", "_path", "_raw")

    def __init__(
        self,
        path: PathArg | None = None,
        *,
        default: Callable[[Any], Any] | None = None,
    ) -> None:
        self._path = None if path is None else path_text(path)
        self._packer = msgpack.Packer(use_bin_type=True, default=default)
        self._raw = _QuorWriter()

    @property
    def path(self) -> str | None:
        """The target given at construction, or None."""
        return self._path

    @property
    def raw(self) -> _QuorWriter:
        """The native writer, for callers who add pre-encoded bytes themselves."""
        return self._raw

    def add_object(self, obj: Any) -> int:
        """Encode and store *obj*; return its object ID (0, 1, 2... in order added)."""
        return self._raw.add_object_raw(self._packer.pack(obj))

    def add_key(self, key: Key, obj_id: int) -> None:
        """Map *key* to the object *obj_id*; a key added again names the newer object."""
        self._raw.add_key(key, obj_id)

    def add(self, obj: Any, keys: Key | Iterable[Key]) -> int:
        """Store *obj* under one key or under each key of an iterable; return its ID.

        The key types are checked before the object is stored, so a key of the
        wrong type leaves the writer unchanged.
        """
        if isinstance(keys, _SINGLE_KEY_TYPES):
            key_list: list[Any] = [keys]
        else:
            try:
                key_list = list(keys)
            except TypeError:
                raise TypeError(
                    "keys must be a str or bytes key or an iterable of them, "
                    f"not {type(keys).__name__!r}"
                ) from None
            if not key_list:
                raise ValueError("add() needs at least one key for the object")
            for key in key_list:
                if not isinstance(key, _SINGLE_KEY_TYPES):
                    raise TypeError(f"each key must be str or bytes, not {type(key).__name__!r}")
        obj_id = self._raw.add_object_raw(self._packer.pack(obj))
        add_key = self._raw.add_key
        for key in key_list:
            add_key(key, obj_id)
        return obj_id

    def build(self, path: PathArg | None = None) -> None:
        """Write the database to *path* (default: the path given at construction).

        The writer keeps its content: it may be built again or added to afterwards.
        """
        if path is None:
            if self._path is None:
                raise TypeError("build() needs a path: none was given to QuorWriter()")
            target = self._path
        else:
            target = path_text(path)
        # The summary line goes straight to fd 1; flush what Python buffered so
        # it lands after anything printed before the build.
        if sys.stdout is not None:
            sys.stdout.flush()
        self._raw.build(target)

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
        if exc_type is None:
            self.build()

    def __repr__(self) -> str:
        return f"QuorWriter(path={self._path!r}, {self._raw!r})"
