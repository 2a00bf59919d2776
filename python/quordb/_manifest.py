"""The manifest of a shard set: which files hold its keys, read strictly and written canonically.

A set built by this release lives in ``gen-NNNNNNNN/part-NNNNN.qrdb`` files, one directory
per build (its generation), listed by a version-2 ``manifest.json``. Sets of the previous
layout, ``part-NNNNN.qrdb`` files beside a version-1 manifest, are still read. docs/format.md
states every rule applied here, for readers in other languages.
"""

from __future__ import annotations

import codecs
import json
import os
import zlib
from collections.abc import Mapping
from dataclasses import asdict, dataclass
from typing import Any

from quordb._errors import CorruptError, StoreIOError, VersionError
from quordb._reader import QuorReader

__all__ = [
    "FORMAT_NAME",
    "FORMAT_VERSION",
    "MANIFEST_NAME",
    "MAX_SHARDS",
    "Manifest",
    "ShardEntry",
    "check_shard_count",
    "describe_shard",
    "generation_directory",
    "shard_error",
    "shard_file",
    "shard_file_name",
]

MANIFEST_NAME = "manifest.json"
FORMAT_NAME = "quordb-shards"
#: The version this release writes; version 1 (the layout before generations) is read too.
FORMAT_VERSION = 2
#: File names carry five digits.
MAX_SHARDS = 100_000
#: The largest integer that every JSON parser holds exactly.
MAX_GENERATION = 2**53 - 1
ROUTING = {"hash": "xxh3-64", "seed": 0}

_U32 = 2**32 - 1
_TOP_FIELDS = {
    1: frozenset({"format", "version", "routing", "shard_count", "shards"}),
    2: frozenset(
        {"format", "version", "generation", "routing", "shard_count", "shards", "shards_crc32"}
    ),
}
_ENTRY_FIELDS = ("file", "num_keys", "num_objects", "size", "file_crc32")
# Each counted field of an entry, with the range its file field can hold.
_ENTRY_RANGES = {
    "num_keys": (0, _U32),
    "num_objects": (0, _U32),
    "size": (40, 2**63 - 1),
    "file_crc32": (0, _U32),
}
# No field needs more digits than 2**64 has; longer numbers are not read as numbers at all.
_MAX_DIGITS = 20


def shard_file_name(index: int) -> str:
    return f"part-{index:05d}.qrdb"


def generation_directory(generation: int) -> str:
    return f"gen-{generation:08d}"


def shard_file(generation: int, index: int) -> str:
    """Shard *index*'s file as a manifest names it; generation 0 is the layout of version 1."""
    if generation == 0:
        return shard_file_name(index)
    return f"{generation_directory(generation)}/{shard_file_name(index)}"


def check_shard_count(shards: object) -> int:
    if not isinstance(shards, int) or isinstance(shards, bool):
        raise TypeError(f"shards must be an int, not {type(shards).__name__!r}")
    if not 1 <= shards <= MAX_SHARDS:
        raise ValueError(f"shards must be between 1 and {MAX_SHARDS}, not {shards}")
    return shards


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


def shard_error[E: Exception](error: E, path: str) -> E:
    """The store's *error* about the shard file *path*, of its class, its message naming *path*."""
    prefix, _, rest = str(error).partition(": ")
    return type(error)(f"{prefix}: {path}: {rest}")


def describe_shard(path: str, name: str) -> ShardEntry:
    """The manifest entry for the built shard at *path*, to be listed as *name*."""
    with QuorReader(path, verify=False) as reader:
        return ShardEntry.of(name, reader.stats(), os.stat(path).st_size)


def shards_crc32(shards: tuple[ShardEntry, ...]) -> int:
    """The CRC-32 that a version-2 manifest holds over its shard list, one line per shard."""
    lines = "".join(
        f"{e.file} {e.num_keys} {e.num_objects} {e.size} {e.file_crc32}\n" for e in shards
    )
    return zlib.crc32(lines.encode())


@dataclass(frozen=True, slots=True)
class Manifest:
    """A shard set's list of shards, and the generation (build) whose files they are.

    Generation 0 stands for a set of the version-1 layout, which has none.
    """

    shards: tuple[ShardEntry, ...]
    generation: int = 1

    @property
    def shard_count(self) -> int:
        return len(self.shards)

    @property
    def version(self) -> int:
        return 1 if self.generation == 0 else FORMAT_VERSION

    def to_json(self) -> dict[str, Any]:
        if self.generation == 0:
            return {
                "format": FORMAT_NAME,
                "version": 1,
                "routing": ROUTING,
                "shard_count": self.shard_count,
                "shards": [asdict(entry) for entry in self.shards],
            }
        return {
            "format": FORMAT_NAME,
            "version": FORMAT_VERSION,
            "generation": self.generation,
            "routing": ROUTING,
            "shard_count": self.shard_count,
            "shards": [asdict(entry) for entry in self.shards],
            "shards_crc32": shards_crc32(self.shards),
        }

    def to_bytes(self) -> bytes:
        return (json.dumps(self.to_json(), indent=2) + "\n").encode()

    @classmethod
    def from_bytes(cls, data: bytes, where: str) -> Manifest:
        """Parse and check a manifest; damage raises `CorruptError` naming *where*."""
        try:
            return _parse(_json_document(data))
        except _Refused as refused:
            raise CorruptError.about(where, str(refused)) from None
        except _Unsupported as unsupported:
            raise VersionError.unsupported(unsupported.args[0], where) from None

    @classmethod
    def load(cls, directory: str) -> Manifest:
        """The manifest of the set in *directory*.

        A directory without one raises `StoreIOError`: it is neither a set nor a file.
        """
        path = os.path.join(directory, MANIFEST_NAME)
        try:
            with open(path, "rb") as file:
                data = file.read()
        except FileNotFoundError as error:
            if os.path.isdir(directory):
                raise StoreIOError.about(
                    directory,
                    f"neither a quordb file nor a shard set (a directory without {MANIFEST_NAME})",
                ) from None
            raise StoreIOError.cannot("open", path, error) from None
        except OSError as error:
            raise StoreIOError.cannot("open", path, error) from None
        return cls.from_bytes(data, path)


# Parsing


class _Refused(Exception):
    """What is wrong with a manifest, in words."""


class _Unsupported(Exception):
    """A manifest of a version this release does not read; args[0] is the version."""


class _Number(str):
    """A JSON number that is not an integer any field can hold, kept as its text."""

    __slots__ = ()


def _refuse_constant(name: str) -> Any:
    raise _Refused(f"{name} is not JSON")


def _integer(text: str) -> int | _Number:
    # Python's own conversion refuses more than 4300 digits with a message naming neither
    # the file nor the field: longer numbers stay text and fail the field's type check.
    return _Number(text) if len(text) > _MAX_DIGITS else int(text)


def _object(pairs: list[tuple[str, Any]]) -> dict[str, Any]:
    found = dict(pairs)
    if len(found) != len(pairs):
        seen: set[str] = set()
        for name, _value in pairs:
            if name in seen:
                raise _Refused(f"the name {name!r} appears twice in one object")
            seen.add(name)
    return found


def _json_document(data: bytes) -> Any:
    """*data* as JSON, under the manifest's rules of encoding, names and numbers."""
    if data.startswith(codecs.BOM_UTF8):
        raise _Refused("starts with a byte-order mark; a manifest is UTF-8 without one")
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError as error:
        raise _Refused(f"not UTF-8 ({error})") from None
    try:
        return json.loads(
            text,
            object_pairs_hook=_object,
            parse_constant=_refuse_constant,
            parse_int=_integer,
            parse_float=_Number,
        )
    except json.JSONDecodeError as error:
        raise _Refused(f"not JSON ({error})") from None
    except RecursionError:
        raise _Refused("not JSON that a manifest can be: nested too deeply") from None


def _shown(value: object) -> str:
    """*value* as its JSON text, cut short."""
    if isinstance(value, _Number):
        return value if len(value) <= _MAX_DIGITS else f"a number of {len(value)} characters"
    text = json.dumps(value, ensure_ascii=False)
    return text if len(text) <= 60 else text[:57] + "..."


def _integer_field(value: object, name: str, low: int, high: int) -> int:
    if type(value) is not int:
        raise _Refused(f"{name} must be an integer, not {_shown(value)}")
    if not low <= value <= high:
        raise _Refused(f"{name} {value} is out of range")
    return value


def _check_fields(found: Mapping[str, Any], expected: frozenset[str], what: str) -> None:
    for name in sorted(found.keys() - expected):
        raise _Refused(f"{what} has an unknown field {name!r}")
    for name in sorted(expected - found.keys()):
        raise _Refused(f"{what} lacks the field {name!r}")


def _parse(doc: Any) -> Manifest:
    if not isinstance(doc, dict) or doc.get("format") != FORMAT_NAME:
        raise _Refused(f"not a {FORMAT_NAME} manifest")
    version = doc.get("version")
    if type(version) is not int:
        raise _Refused(f"version must be an integer, not {_shown(version)}")
    if version not in _TOP_FIELDS:
        raise _Unsupported(version)
    _check_fields(doc, _TOP_FIELDS[version], "the manifest")
    if doc["routing"] != ROUTING or type(doc["routing"]["seed"]) is not int:
        raise _Refused(f"unknown routing {_shown(doc['routing'])}")
    generation = 0
    if version > 1:
        generation = _integer_field(doc["generation"], "generation", 1, MAX_GENERATION)
    count = _integer_field(doc["shard_count"], "shard_count", 1, MAX_SHARDS)
    listed = doc["shards"]
    if not isinstance(listed, list) or count != len(listed):
        raise _Refused("shard_count does not match the shards listed")
    shards = tuple(_entry(item, index, generation) for index, item in enumerate(listed))
    if version > 1:
        crc = _integer_field(doc["shards_crc32"], "shards_crc32", 0, _U32)
        if crc != shards_crc32(shards):
            raise _Refused(
                f"shards_crc32 is {crc} where the shards listed give {shards_crc32(shards)}"
            )
    return Manifest(shards, generation)


def _entry(item: object, index: int, generation: int) -> ShardEntry:
    what = f"bad entry for shard {index}"
    if not isinstance(item, dict):
        raise _Refused(f"{what}: {_shown(item)}")
    _check_fields(item, frozenset(_ENTRY_FIELDS), what)
    # Exactly the expected name: no path a manifest lists can lead out of the set.
    expected = shard_file(generation, index)
    if item["file"] != expected or type(item["file"]) is not str:
        raise _Refused(f"{what}: file is {_shown(item['file'])}, not {_shown(expected)}")
    for name, (low, high) in _ENTRY_RANGES.items():
        _integer_field(item[name], f"{what}: {name}", low, high)
    return ShardEntry(**item)
