"""One build of a shard set, from its lock to its publishing: the steps every set writer takes.

A build never touches a file that a published manifest names. It holds the set's lock,
writes its shards into a directory of its own generation, then publishes a manifest naming
them with one rename; the previous generation stays for readers that are opening it, and
older ones go. `ShardedWriter` and ``quordb.dask.to_quordb`` both build this way, and both
write each shard with `write_shard`.
"""

from __future__ import annotations

import os
import re
from collections import deque
from collections.abc import Iterable, Sequence
from itertools import starmap
from typing import NamedTuple

from quordb._errors import CorruptError, VersionError
from quordb._manifest import (
    MANIFEST_NAME,
    Manifest,
    ShardEntry,
    describe_shard,
    generation_directory,
    shard_error,
    shard_file,
    shard_file_name,
)
from quordb._native import StreamWriter
from quordb._set_files import Files
from quordb._shard_keys import KeyLike
from quordb._writer import OnDuplicate

__all__ = ["SetBuild", "StagedShard", "stage_shard", "write_shard"]

_GENERATION_DIRECTORY = re.compile(r"gen-(\d{8,})")
_VERSION_1_SHARD = re.compile(r"part-\d{5}\.qrdb")
# What builds that never published leave: temporary manifests, and the staging directories
# of the layout before generations.
_UNPUBLISHED = re.compile(re.escape(MANIFEST_NAME) + r"(\.[0-9a-f]{32})?\.tmp|\.staging-.+")


def _generation_of(name: str) -> int | None:
    """The generation that *name* in a set's directory belongs to.

    0 for a shard of the version-1 layout, -1 for what an unpublished build left, None
    for a name that is not the set's own (the lock, the manifest, the user's files).
    """
    if match := _GENERATION_DIRECTORY.fullmatch(name):
        generation = int(match.group(1))
        return generation if generation_directory(generation) == name else None
    if _VERSION_1_SHARD.fullmatch(name):
        return 0
    if _UNPUBLISHED.fullmatch(name):
        return -1
    return None


def write_shard(
    path: str,
    payloads: Iterable[bytes],
    keys: Iterable[tuple[KeyLike, int]],
    on_duplicate: OnDuplicate = "last",
    table: bool = True,
) -> int:
    """Write the shard file *path*: each payload an object (IDs 0, 1, ... in order), then
    each ``(key, object ID)`` pair in order, a key given again for another object settled by
    *on_duplicate*, with a lookup table after the index unless not *table*. Returns how many
    keys changed hands (`StreamWriter.replaced_count`).

    Every shard of every set is written here, so that the same objects and keys give the
    same bytes whichever writer builds the set.
    """
    writer = StreamWriter(path, on_duplicate)
    try:
        # Consumed in C: no Python step per object or key.
        deque(map(writer.add_object_raw, payloads), maxlen=0)
        deque(starmap(writer.add_key, keys), maxlen=0)
        writer.finish(table=table)
        return writer.replaced_count
    finally:
        writer.abort()  # removes the temporary file of a build that did not finish


class StagedShard(NamedTuple):
    """A shard written into a generation's directory: its manifest entry, and how many of
    its keys changed hands while it was written."""

    entry: ShardEntry
    replaced: int


def stage_shard(
    directory: str,
    generation: int,
    index: int,
    payloads: Iterable[bytes],
    keys: Iterable[tuple[KeyLike, int]],
    on_duplicate: OnDuplicate = "last",
    table: bool = True,
) -> StagedShard:
    """`write_shard` shard *index* into the local *directory*; return its manifest entry,
    which names the file where generation *generation* keeps it, and its replaced keys."""
    path = os.path.join(directory, shard_file_name(index))
    try:
        replaced = write_shard(path, payloads, keys, on_duplicate, table)
    except OSError as error:
        if error.errno is not None:
            raise
        raise shard_error(error, path) from None  # the store's own, which may not name it
    return StagedShard(describe_shard(path, shard_file(generation, index)), replaced)


class SetBuild:
    """One build of the shard set in *directory*, through *files*.

    Made, it holds the set's lock (a second build of the set fails at once), has removed
    what failed or killed builds left behind, and has made the directory of its
    generation, `staging`, where the shards go. `publish` lists them in a new manifest;
    `abandon` gives up. A directory made for the set is removed again if nothing is
    published. Not thread-safe.
    """

    __slots__ = (
        "_created",
        "_creator",
        "_done",
        "_lock",
        "_previous",
        "_published",
        "directory",
        "files",
        "generation",
        "staging",
    )

    def __init__(self, directory: str, files: Files) -> None:
        self.directory = directory
        self.files = files
        self._creator = os.getpid()
        self._published = False
        self._done = False
        self._lock = None
        self._created = files.make_set_directory(directory)
        try:
            self._lock = files.lock(directory)
            known, self._previous = self._published_generation()
            found = {
                name: generation
                for name in files.names(directory)
                if (generation := _generation_of(name)) is not None
            }
            # A generation number is never used twice, so a name always means one build.
            self.generation = 1 + max([self._previous or 0, *found.values()])
            self.staging = files.join(directory, generation_directory(self.generation))
            for name, generation in found.items():
                # Unpublished: left by a build that failed or was killed. With no manifest
                # that can be read, what the shards on disk belong to is not known: kept.
                if generation < 0 or (
                    known and (self._previous is None or generation > self._previous)
                ):
                    files.remove(files.join(directory, name))
            files.make_directory(self.staging)
        except BaseException:
            self._done = True
            self._let_go(remove_directory=True)
            raise

    def _published_generation(self) -> tuple[bool, int | None]:
        """Whether the set's manifest can be read, and the generation it names (None: none)."""
        path = self.files.join(self.directory, MANIFEST_NAME)
        data = self.files.read(path)
        if data is None:
            return True, None
        try:
            return True, Manifest.from_bytes(data, path).generation
        except (CorruptError, VersionError):
            return False, None

    def publish(self, entries: Sequence[ShardEntry]) -> Manifest:
        """List *entries* (every shard, in order) in the manifest, replacing it in one rename.

        Then the generations before the one replaced are removed, and the lock released.
        """
        manifest = Manifest(tuple(entries), self.generation)
        files = self.files
        files.sync_directory(self.staging)
        files.sync_directory(self.directory)
        files.write_atomically(files.join(self.directory, MANIFEST_NAME), manifest.to_bytes())
        self._published = True
        self._done = True
        try:
            files.sync_directory(self.directory)
            keep = {self.generation, self._previous}
            for name in files.names(self.directory):
                generation = _generation_of(name)
                if generation is not None and generation not in keep:
                    files.remove(files.join(self.directory, name))
        finally:
            self._let_go(remove_directory=False)
        return manifest

    def abandon(self) -> None:
        """Give up: remove the generation's directory and release the lock; twice is allowed.

        In a process forked from the one that started the build, only lets go of its lock
        file: the build is the parent's.
        """
        if not self._done:
            self._done = True
            if os.getpid() == self._creator:
                self.files.remove(self.staging)
            self._let_go(remove_directory=os.getpid() == self._creator)

    def _let_go(self, *, remove_directory: bool) -> None:
        # Only while holding the lock: a build that made the directory and then lost the
        # race for the lock leaves both to the build that won.
        if remove_directory and self._created and not self._published and self._lock is not None:
            self.files.remove_set_directory(self.directory)
        if self._lock is not None:
            self._lock.release()
            self._lock = None
