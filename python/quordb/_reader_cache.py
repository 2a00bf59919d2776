"""Readers shared by every task of a process: one per database, opened on first use.

A Dask worker runs many lookup tasks against the same file or shard set. Opening maps the
file and loads its index, which costs far more than a partition's lookups, so each process
keeps one reader per resolved path and hands it to every task, on any thread (lookups on a
reader are thread-safe). Before handing it out, the path's identity (device, inode and
modification time of the file, or of a shard set's manifest) is compared with the one the
reader was opened or last refreshed on; when a rebuild has replaced it, the reader is
refreshed, so a task never reads a file older than the one its path names when it starts.
"""

from __future__ import annotations

import os
import threading
from dataclasses import dataclass
from typing import Any

from quordb._manifest import MANIFEST_NAME
from quordb._open import open as open_database
from quordb._reader import PathArg, QuorReader, path_text
from quordb._sharded_reader import ShardedReader

__all__ = ["close_readers", "readers_opened", "shared_reader"]

type Reader = QuorReader[Any] | ShardedReader[Any]
type Identity = tuple[int, int, int] | None


@dataclass(slots=True)
class _Shared:
    reader: Reader
    identity: Identity


_lock = threading.Lock()
_shared: dict[str, _Shared] = {}
_opened = 0


def _identity(path: str) -> Identity:
    """What a rebuild changes: the file itself, or the manifest a shard set's publish replaces."""
    watched = os.path.join(path, MANIFEST_NAME) if os.path.isdir(path) else path
    try:
        status = os.stat(watched)
    except OSError:
        return None
    return status.st_dev, status.st_ino, status.st_mtime_ns


def shared_reader(path: PathArg) -> Reader:
    """This process's reader of the file or shard set at *path*, refreshed if it was rebuilt.

    Opened without the whole-file checksum pass, which would cost every worker a read of the
    whole database; the shards of a set are still checked against their manifest entries.
    """
    global _opened
    resolved = os.path.realpath(path_text(path))
    identity = _identity(resolved)
    with _lock:
        shared = _shared.get(resolved)
        if shared is None or shared.reader.closed:
            shared = _shared[resolved] = _Shared(open_database(resolved, verify=False), identity)
            _opened += 1
        elif shared.identity != identity:
            shared.reader.refresh()
            shared.identity = identity
        return shared.reader


def readers_opened() -> int:
    """How many readers this process has opened through `shared_reader`: a count for tests
    and monitoring, which stays at one per database however many tasks ran."""
    return _opened


def close_readers() -> None:
    """Close and forget every shared reader of this process; the next use opens anew."""
    with _lock:
        for shared in _shared.values():
            shared.reader.close()
        _shared.clear()
