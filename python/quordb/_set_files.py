"""The file operations that building a shard set needs, and the local file system's version.

`SetBuild` works through a `Files`; ``quordb.dask`` supplies one for fsspec URLs. Every
failure of the local operations that a build cannot go on from is a `StoreIOError` naming
the file.
"""

from __future__ import annotations

import contextlib
import fcntl
import os
import shutil
import stat
import uuid
from typing import Protocol

from quordb._errors import StoreIOError

__all__ = ["LOCK_NAME", "Files", "LocalFiles", "SetLock", "temporary_name"]

#: The file in a set's directory that a build holds locked from start to publish.
LOCK_NAME = ".lock"

# How often a lock file that went away between open and lock is opened afresh: each retry
# needs a build that made the directory to give it up meanwhile, so a few suffice.
_LOCK_ATTEMPTS = 8


def temporary_name(path: str) -> str:
    """A name beside *path* that no other build picks: *path* plus a random part and ``.tmp``."""
    return f"{path}.{uuid.uuid4().hex}.tmp"


class SetLock(Protocol):
    def release(self) -> None: ...


class Files(Protocol):
    """What `SetBuild` needs of a file system; `LocalFiles` is the local one.

    Removing is best effort: what stays behind is a leftover that the next build removes.
    """

    def join(self, directory: str, name: str) -> str: ...
    def make_set_directory(self, path: str) -> bool:
        """Make *path* with its parents unless it is a directory; return whether it was made."""
        ...

    def lock(self, directory: str) -> SetLock:
        """Hold the set in *directory* against other builds, or fail at once."""
        ...

    def make_directory(self, path: str) -> None: ...
    def names(self, directory: str) -> list[str]: ...
    def read(self, path: str) -> bytes | None:
        """The content of *path*, or None when there is no such file."""
        ...

    def write_atomically(self, path: str, data: bytes) -> None:
        """Replace *path* by a file of *data* in one rename, from a temporary name."""
        ...

    def sync_directory(self, directory: str) -> None: ...
    def remove(self, path: str) -> None:
        """Remove the file, link or directory tree at *path*, if there is one."""
        ...

    def remove_set_directory(self, path: str) -> None:
        """Remove *path*, made by `make_set_directory` for a set that never came, if empty."""
        ...


class _FileLock:
    __slots__ = ("_fd",)

    def __init__(self, fd: int) -> None:
        self._fd = fd

    def release(self) -> None:
        if self._fd >= 0:
            os.close(self._fd)
            self._fd = -1


class LocalFiles:
    """The operations on a local or mounted file system."""

    join = staticmethod(os.path.join)

    def make_set_directory(self, path: str) -> bool:
        try:
            os.makedirs(path)
            return True
        except FileExistsError:
            # Also another build's makedirs of the same new directory, a moment earlier.
            if os.path.isdir(path):
                return False
            raise StoreIOError.about(
                path, "is not a directory, so it cannot hold a shard set"
            ) from None
        except OSError as error:
            raise StoreIOError.cannot("make the directory", path, error) from None

    def lock(self, directory: str) -> SetLock:
        path = os.path.join(directory, LOCK_NAME)
        for _attempt in range(_LOCK_ATTEMPTS):
            try:
                fd = os.open(path, os.O_RDWR | os.O_CREAT | os.O_NOFOLLOW | os.O_CLOEXEC, 0o644)
            except OSError as error:
                raise StoreIOError.cannot("open the lock file", path, error) from None
            lock = _FileLock(fd)
            try:
                fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
                # A build that made the directory removes the lock file when it gives up: only
                # the file still under the name is the set's lock.
                if os.path.samestat(os.fstat(fd), os.lstat(path)):
                    return lock
            except BlockingIOError:
                lock.release()
                raise StoreIOError.about(
                    directory, f"another build of this shard set is under way: it holds {path}"
                ) from None
            except FileNotFoundError:
                pass
            except OSError as error:
                lock.release()
                raise StoreIOError.cannot("lock", path, error) from None
            lock.release()
        raise StoreIOError.about(
            directory, f"{path} was replaced each time it was locked, by other builds of the set"
        )

    def make_directory(self, path: str) -> None:
        try:
            os.mkdir(path)
        except OSError as error:
            raise StoreIOError.cannot("make the directory", path, error) from None

    def names(self, directory: str) -> list[str]:
        try:
            return os.listdir(directory)
        except OSError as error:
            raise StoreIOError.cannot("list", directory, error) from None

    def read(self, path: str) -> bytes | None:
        try:
            with open(path, "rb") as file:
                return file.read()
        except FileNotFoundError:
            return None
        except OSError as error:
            raise StoreIOError.cannot("open", path, error) from None

    def write_atomically(self, path: str, data: bytes) -> None:
        temporary = temporary_name(path)
        try:
            # Never through a link planted under the name, and never another build's file.
            flags = os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW | os.O_CLOEXEC
            fd = os.open(temporary, flags, 0o644)
        except OSError as error:
            raise StoreIOError.cannot("create", temporary, error) from None
        try:
            try:
                view = memoryview(data)
                while view:
                    view = view[os.write(fd, view) :]
                os.fsync(fd)
            finally:
                os.close(fd)
            os.replace(temporary, path)
        except BaseException as error:
            with contextlib.suppress(OSError):
                os.unlink(temporary)
            if isinstance(error, OSError):
                raise StoreIOError.cannot("write", path, error) from None
            raise

    def sync_directory(self, directory: str) -> None:
        try:
            fd = os.open(directory, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
            try:
                os.fsync(fd)
            finally:
                os.close(fd)
        except OSError as error:
            raise StoreIOError.cannot("sync", directory, error) from None

    def remove(self, path: str) -> None:
        try:
            is_tree = stat.S_ISDIR(os.lstat(path).st_mode)
        except OSError:
            return
        if is_tree:
            shutil.rmtree(path, ignore_errors=True)
        else:
            with contextlib.suppress(OSError):
                os.unlink(path)

    def remove_set_directory(self, path: str) -> None:
        with contextlib.suppress(OSError):
            os.unlink(os.path.join(path, LOCK_NAME))
            os.rmdir(path)
