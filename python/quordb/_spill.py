"""`Spill`: encoded objects appended to a file as they come, and mapped to be read back."""

from __future__ import annotations

import contextlib
import mmap
import os
from collections.abc import Iterator

from quordb._errors import StoreIOError

__all__ = ["Spill"]


class Spill:
    """Payloads appended to the file *path* (made afresh), then read through `mapped`.

    Written a megabyte at a time. A failed write raises `StoreIOError`.
    """

    __slots__ = ("_buffer", "_fd", "_flushed", "path")

    _FLUSH_AT = 1 << 20

    def __init__(self, path: str) -> None:
        self.path = path
        flags = os.O_RDWR | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW | os.O_CLOEXEC
        try:
            self._fd = os.open(path, flags, 0o600)
        except OSError as error:
            raise StoreIOError.cannot("create", path, error) from None
        self._buffer = bytearray()
        self._flushed = 0

    def append(self, payload: bytes) -> None:
        """Keep *payload* after those before it."""
        self._buffer += payload
        if len(self._buffer) >= self._FLUSH_AT:
            self._flush()

    def _flush(self) -> None:
        view = memoryview(self._buffer)
        try:
            while view:
                view = view[os.write(self._fd, view) :]
        except OSError as error:
            raise StoreIOError.cannot("write", self.path, error) from None
        finally:
            view.release()  # else the buffer, still exported, cannot be cleared
        self._flushed += len(self._buffer)
        self._buffer.clear()

    @contextlib.contextmanager
    def mapped(self) -> Iterator[mmap.mmap | bytes]:
        """The file's bytes, every payload appended written out first, to slice in the block.

        A mapping, not reads: a slice of any length is one copy, where one read call
        moves at most about 2 GiB.
        """
        self._flush()
        if os.fstat(self._fd).st_size == 0:
            yield b""  # an empty file cannot be mapped
            return
        try:
            mapping = mmap.mmap(self._fd, 0, access=mmap.ACCESS_READ)
        except OSError as error:
            raise StoreIOError.cannot("map", self.path, error) from None
        with mapping:
            yield mapping

    def close(self) -> None:
        """Close the file; twice is allowed. The file stays where it is."""
        if self._fd >= 0:
            os.close(self._fd)
            self._fd = -1
