"""The manifest of a shard set: which files hold its keys, how keys route, how to publish it.

A shard set is a directory of ordinary `.qrdb` files, ``part-00000.qrdb`` onwards, and a
``manifest.json`` that lists them. A key lives in shard ``key_hash64(key) % shard_count``
(XXH3-64, seed 0, over the key's bytes). The manifest is written last and replaced by
rename, so a reader sees either the old set or the new one.
"""

from __future__ import annotations

import json
import os
import re
import shutil
from collections.abc import Mapping
from dataclasses import asdict, dataclass
from typing import Any, Protocol

from quordb._native import shard_of
from quordb._reader import Key, QuorReader

__all__ = [
    "FORMAT_NAME",
    "FORMAT_VERSION",
    "MANIFEST_NAME",
    "MAX_SHARDS",
    "Files",
    "LocalFiles",
    "Manifest",
    "ShardEntry",
    "check_shard_count",
    "describe_shard",
    "publish",
    "shard_file_name",
    "split_keys",
]

MANIFEST_NAME = "manifest.json"
FORMAT_NAME = "quordb-shards"
FORMAT_VERSION = 1
#: File names carry five digits.
MAX_SHARDS = 100_000
ROUTING = {"hash": "xxh3-64", "seed": 0}

_SHARD_FILE = re.compile(r"part-(\d{5})\.qrdb")
_ENTRY_FIELDS = ("file", "num_keys", "num_objects", "size", "file_crc32")


def shard_file_name(index: int) -> str:
    return f"part-{index:05d}.qrdb"


def check_shard_count(shards: object) -> int:
    if not isinstance(shards, int) or isinstance(shards, bool):
        raise TypeError(f"shards must be an int, not {type(shards).__name__!r}")
    if not 1 <= shards <= MAX_SHARDS:
        raise ValueError(f"shards must be between 1 and {MAX_SHARDS}, not {shards}")
    return shards


def split_keys(keys: list[Key], shards: int) -> dict[int, list[Key]]:
    """Group one object's keys by the shard each routes to, keeping their order.

    The object is stored once in every shard of the result, in the order of the
    shards' first keys; builds that must give the same files all split this way.
    """
    if len(keys) == 1:  # the common case, without the grouping
        return {shard_of(keys[0], shards): keys}
    groups: dict[int, list[Key]] = {}
    for key in keys:
        groups.setdefault(shard_of(key, shards), []).append(key)
    return groups


def _corrupt(where: str, problem: str) -> RuntimeError:
    return RuntimeError(f"QuorCorruptError: {where}: {problem}")


@dataclass(frozen=True, slots=True)
class ShardEntry:
    """One shard as the manifest lists it; the reader checks every field against the file."""

    file: str
    num_keys: int
    num_objects: int
    size: int
    file_crc32: int

    @classmethod
    def of(cls, file: str, stats: Mapping[str, Any], size: int) -> ShardEntry:
        """The entry of a shard whose reader gives *stats* and whose file has *size* bytes."""
        # stats() shows the CRC as hex text; the manifest holds it as a number.
        crc = int(stats["file_crc32"], 16)
        return cls(file, stats["num_keys"], stats["num_objects"], size, crc)

    def mismatch(self, other: ShardEntry) -> str | None:
        """What differs from *other* (the file as found), or None."""
        for field in _ENTRY_FIELDS[1:]:
            listed, found = getattr(self, field), getattr(other, field)
            if listed != found:
                return f"{field} is {found} where {MANIFEST_NAME} lists {listed}"
        return None


def describe_shard(path: str, name: str) -> ShardEntry:
    """The manifest entry for the built shard at *path*, to be published as *name*."""
    with QuorReader(path, verify=False) as reader:
        return ShardEntry.of(name, reader.stats(), os.stat(path).st_size)


@dataclass(frozen=True, slots=True)
class Manifest:
    shards: tuple[ShardEntry, ...]

    @property
    def shard_count(self) -> int:
        return len(self.shards)

    def to_json(self) -> dict[str, Any]:
        return {
            "format": FORMAT_NAME,
            "version": FORMAT_VERSION,
            "routing": ROUTING,
            "shard_count": self.shard_count,
            "shards": [asdict(entry) for entry in self.shards],
        }

    def to_bytes(self) -> bytes:
        return (json.dumps(self.to_json(), indent=2) + "\n").encode()

    @classmethod
    def from_bytes(cls, data: bytes, where: str) -> Manifest:
        """Parse and check a manifest; damage raises `RuntimeError` naming *where*."""
        try:
            doc = json.loads(data)
        except (UnicodeDecodeError, json.JSONDecodeError) as error:
            raise _corrupt(where, f"not JSON ({error})") from None
        if not isinstance(doc, dict) or doc.get("format") != FORMAT_NAME:
            raise _corrupt(where, f"not a {FORMAT_NAME} manifest")
        if doc.get("version") != FORMAT_VERSION:
            raise RuntimeError(
                f"QuorVersionError: unsupported version {doc.get('version')!r} of {where}"
            )
        if doc.get("routing") != ROUTING:
            raise _corrupt(where, f"unknown routing {doc.get('routing')!r}")
        listed = doc.get("shards")
        count = doc.get("shard_count")
        if not isinstance(listed, list) or type(count) is not int or count != len(listed):
            raise _corrupt(where, "shard_count does not match the shards listed")
        if not 1 <= count <= MAX_SHARDS:
            raise _corrupt(where, f"shard_count {count} is out of range")
        entries = []
        for index, item in enumerate(listed):
            if (
                not isinstance(item, dict)
                or set(item) != set(_ENTRY_FIELDS)
                or item["file"] != shard_file_name(index)
                or any(type(item[f]) is not int or item[f] < 0 for f in _ENTRY_FIELDS[1:])
            ):
                raise _corrupt(where, f"bad entry for shard {index}: {item!r}")
            entries.append(ShardEntry(**item))
        return cls(tuple(entries))

    @classmethod
    def load(cls, directory: str) -> Manifest:
        path = os.path.join(directory, MANIFEST_NAME)
        try:
            with open(path, "rb") as file:
                data = file.read()
        except OSError as error:
            raise OSError(
                f"QuorIOError: cannot open {path}: {error.strerror} (os error {error.errno})"
            ) from None
        return cls.from_bytes(data, path)


class LocalFiles:
    """The file operations of publishing, on a local or mounted file system."""

    join = staticmethod(os.path.join)

    def replace(self, source: str, target: str) -> None:
        os.replace(source, target)

    def sync_directory(self, directory: str) -> None:
        fd = os.open(directory, os.O_RDONLY | os.O_DIRECTORY)
        try:
            os.fsync(fd)
        finally:
            os.close(fd)

    def write_atomically(self, path: str, data: bytes) -> None:
        """Write *path* under a temporary name, sync it, rename it over *path*, sync the directory."""
        temporary = path + ".tmp"
        fd = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
        try:
            view = memoryview(data)
            while view:
                view = view[os.write(fd, view) :]
            os.fsync(fd)
        finally:
            os.close(fd)
        os.replace(temporary, path)
        self.sync_directory(os.path.dirname(path) or ".")

    def names(self, directory: str) -> list[str]:
        return os.listdir(directory)

    def remove(self, path: str) -> None:
        os.unlink(path)

    def remove_tree(self, path: str) -> None:
        shutil.rmtree(path, ignore_errors=True)


class Files(Protocol):
    """What `publish` needs of a file system; `LocalFiles` is the local one."""

    def join(self, directory: str, name: str) -> str: ...
    def replace(self, source: str, target: str) -> None: ...
    def sync_directory(self, directory: str) -> None: ...
    def write_atomically(self, path: str, data: bytes) -> None: ...
    def names(self, directory: str) -> list[str]: ...
    def remove(self, path: str) -> None: ...
    def remove_tree(self, path: str) -> None: ...


def publish(
    directory: str,
    staging: str,
    entries: Mapping[int, ShardEntry],
    files: Files | None = None,
) -> Manifest:
    """Move the shards built in *staging* into *directory*, then publish their manifest.

    *entries* maps every shard number to its entry. The shards are renamed into
    place first and the manifest last, so a manifest never lists a file that is
    not there. *files* defaults to `LocalFiles`. Shard files of an older, larger set are removed afterwards;
    readers that have them open keep them. The staging directory is removed.
    """
    files = files or LocalFiles()
    manifest = Manifest(tuple(entries[index] for index in range(len(entries))))
    for entry in manifest.shards:
        files.replace(files.join(staging, entry.file), files.join(directory, entry.file))
    files.sync_directory(directory)
    files.write_atomically(files.join(directory, MANIFEST_NAME), manifest.to_bytes())
    for name in files.names(directory):
        match = _SHARD_FILE.fullmatch(name)
        if match and int(match.group(1)) >= manifest.shard_count:
            files.remove(files.join(directory, name))
    files.remove_tree(staging)
    return manifest
