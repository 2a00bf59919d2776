"""The dump format: a database as JSON Lines that `load` turns back into the same file.

One line per key, ``{"key": KEY, "value": VALUE, "object": N}``, where N
numbers the stored objects in file order from 0; the keys of one object
follow each other, in key order, and an object no key names has a line
without ``"key"``.  Loading adds the objects in order of their first line
and every key to its object, so a database dumped and loaded holds the same
keys and objects, each object stored once, and its file is byte for byte the
same when the objects' stored bytes are what `QuorWriter` makes of their
values (a payload that decoding and encoding again would change is dumped
verbatim, as ``{"$msgpack": BASE64}``).

Values and keys take the JSON form of `quordb._json_form`.

The dump of a shard set is the dump of each shard in turn, from the files of one
published generation, its objects numbered on from one shard to the next.
"""

from __future__ import annotations

import json
import os
import time
from collections.abc import Iterable, Iterator, Sequence
from dataclasses import dataclass
from typing import Any

from quordb import QuorWriter, ShardedReader, ShardedWriter
from quordb._errors import CorruptError
from quordb._inputs import BadRow, parse_json
from quordb._json_form import (
    encode,
    from_json,
    json_text,
    key_from_json,
    key_to_json,
    payload_from_json,
    payload_json_text,
    payload_to_json,
    to_json,
)
from quordb._manifest import MANIFEST_NAME
from quordb._native import RecordScan

__all__ = [
    "LoadCount",
    "dump_lines",
    "from_json",
    "json_text",
    "key_from_json",
    "key_to_json",
    "load_lines",
    "payload_from_json",
    "payload_json_text",
    "payload_to_json",
    "to_json",
]


def dump_lines(path: str, *, verify: bool = True) -> Iterator[str]:
    """The dump of the database at *path*, a file or a shard set, a line (without its newline)
    at a time. Every file to dump is open before the first line, so a failure to open one
    comes first, with no line printed.
    """
    if os.path.isfile(os.path.join(path, MANIFEST_NAME)):
        return _scan_lines(_set_scans(path, verify))
    return _scan_lines([_ShardScan(RecordScan(path, verify), path, None, None)])


@dataclass(frozen=True, slots=True)
class _ShardScan:
    """A file's records, and for a shard the counts its manifest entry lists."""

    records: RecordScan
    path: str
    objects: int | None
    keys: int | None


def _scan_lines(scans: Sequence[_ShardScan]) -> Iterator[str]:
    number = 0  # counted from what is dumped, so that a wrong manifest cannot skew it
    for scan in scans:
        first, keys_dumped = number, 0
        for chunk in scan.records:
            for payload, keys in chunk:
                tail = f', "value": {payload_json_text(payload)}, "object": {number}}}'
                if not keys:
                    yield "{" + tail[2:]
                for key in keys:
                    yield '{"key": ' + encode(key_to_json(key)) + tail
                keys_dumped += len(keys)
                number += 1
        listed = (scan.objects, scan.keys)
        if scan.objects is not None and (number - first, keys_dumped) != listed:
            raise CorruptError.about(
                scan.path,
                f"dumped {number - first} objects and {keys_dumped} keys where "
                f"{MANIFEST_NAME} lists {scan.objects} and {scan.keys}",
            )


# A publish can replace shards while the dump opens them: it tries again, for about a second.
_SET_OPEN_ATTEMPTS = 50
_SET_OPEN_PAUSE = 0.02


def _set_scans(directory: str, verify: bool) -> list[_ShardScan]:
    """A scan of each shard of the set in *directory*, all of one published generation.

    `ShardedReader` checks each shard it opens against its manifest entry; each scan must
    then open the very file the reader checked, and no newer manifest may have come since.
    """
    with ShardedReader(directory, verify=False) as reader:  # the scans check the CRCs
        for _attempt in range(_SET_OPEN_ATTEMPTS):
            scans = _open_scans(reader, verify)
            if reader.refresh():
                problem = "a new manifest was published"
            elif isinstance(scans, str):
                problem = scans
                time.sleep(_SET_OPEN_PAUSE)
            else:
                return scans
    raise CorruptError.about(directory, f"the shard set kept changing during the dump: {problem}")


def _open_scans(reader: ShardedReader[Any], verify: bool) -> list[_ShardScan] | str:
    """A scan of each shard *reader* has open, or what changed in the directory meanwhile."""
    scans = []
    for entry, shard in zip(reader.manifest.shards, reader.shards, strict=True):
        path = shard.path
        try:
            before = os.stat(path)
            records = RecordScan(path, verify)
            after = os.stat(path)
        except OSError as exc:
            return str(exc)
        # The name held one file (of the size listed) throughout: the scan has that file.
        if (before.st_dev, before.st_ino) != (after.st_dev, after.st_ino) or (
            after.st_size != entry.size
        ):
            return f"{path} was replaced"
        scans.append(_ShardScan(records, path, entry.num_objects, entry.num_keys))
    return scans


@dataclass
class LoadCount:
    objects: int = 0
    keys: int = 0


_LINE_FIELDS = frozenset({"key", "value", "object"})


def load_lines(
    lines: Iterable[bytes], source: str, writer: QuorWriter | ShardedWriter
) -> LoadCount:
    """Add the dump *lines* (from *source*, for messages) to *writer*.

    A line's object is the one of the earlier line with the same ``"object"``
    number, if any, else a new one made from its value; a line without a
    number always makes a new object.  A bad line raises `BadRow`.
    """
    objects: dict[int, int] = {}  # dumped number -> writer's object ID
    count = LoadCount()
    add_object_raw, add_key = writer.add_object_raw, writer.add_key
    for line_no, line in enumerate(lines, start=1):
        if not line.strip():
            continue
        where = f"{source}:{line_no}"
        try:
            entry = parse_json(line)
        except ValueError as exc:
            raise BadRow(where, f"invalid JSON: {exc}") from None
        if not isinstance(entry, dict) or "value" not in entry or not entry.keys() <= _LINE_FIELDS:
            raise BadRow(
                where,
                'expected a dump line {"key": ..., "value": ..., "object": N}; '
                "to make a database from plain records, use quordb build",
            )
        number = entry.get("object")
        if number is not None and (not isinstance(number, int) or isinstance(number, bool)):
            raise BadRow(where, f'"object" must be an integer, not {json.dumps(number)}')
        try:
            obj_id = objects.get(number) if number is not None else None
            if obj_id is None:
                obj_id = add_object_raw(payload_from_json(entry["value"]))
                count.objects += 1
                if number is not None:
                    objects[number] = obj_id
            if "key" in entry:
                add_key(key_from_json(entry["key"]), obj_id)
                count.keys += 1
        except (ValueError, OverflowError) as exc:
            raise BadRow(where, str(exc) or type(exc).__name__) from None
        except RecursionError:
            raise BadRow(where, "the value is nested too deeply to store") from None
    return count
