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

JSON cannot show every msgpack value, so some take a tagged form (a dict
whose single key starts with ``$``): ``{"$bytes": BASE64}``, ``{"$map":
[[key, value], ...]}`` for a map with a key that is not a string or that
starts with ``$``, ``{"$ext": CODE, "data": BASE64}``, ``{"$timestamp":
[SECONDS, NANOSECONDS]}`` and ``{"$float": "NaN"}`` (or ``"Infinity"``,
``"-Infinity"``, or ``"0x"`` and the 16 hex digits of a NaN's bits when it has a
sign or payload).  A key that is not valid UTF-8 is ``{"$bytes": BASE64}``.
Every line is strict JSON: no bare ``NaN`` or ``Infinity``.

The dump of a shard set is the dump of each shard in turn, from the files of one
published generation, its objects numbered on from one shard to the next.
"""

from __future__ import annotations

import base64
import binascii
import datetime
import json
import math
import os
import re
import struct
import time
from collections.abc import Iterable, Iterator, Sequence
from dataclasses import dataclass
from functools import cache
from typing import Any

from quordb import QuorWriter, ShardedReader, ShardedWriter
from quordb._codec import Decoding, Ext, decoding, plain_encoder
from quordb._errors import CorruptError
from quordb._inputs import BadRow, parse_json
from quordb._manifest import MANIFEST_NAME
from quordb._native import RecordScan, check_payload

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

_NAN = struct.pack(">d", math.nan)
_EPOCH = datetime.datetime(1970, 1, 1, tzinfo=datetime.UTC)
_NANOSECONDS = 1_000_000_000
_NAMED_FLOATS = {"NaN": math.nan, "Infinity": math.inf, "-Infinity": -math.inf}
_NAN_BITS = re.compile(r"0x[0-9a-f]{16}")
# Values that are JSON as they are; exact types, as a subclass may render otherwise.
_JSON_SCALARS = frozenset({str, int, bool, type(None)})
# One encoder for every line: json.dumps with options makes a new one per call. Strict:
# to_json leaves no float that JSON cannot hold.
_encode = json.JSONEncoder(ensure_ascii=False, allow_nan=False).encode


def _float_tag(value: float) -> str:
    """The ``$float`` text of an infinity or a NaN; a NaN's bits when they are not Python's."""
    if not math.isnan(value):
        return "Infinity" if value > 0 else "-Infinity"
    bits = struct.pack(">d", value)
    return "NaN" if bits == _NAN else "0x" + bits.hex()


def _float_from_tag(text: Any) -> float:
    if isinstance(text, str):
        if text in _NAMED_FLOATS:
            return _NAMED_FLOATS[text]
        if _NAN_BITS.fullmatch(text):
            value: float = struct.unpack(">d", bytes.fromhex(text[2:]))[0]
            if math.isnan(value):
                return value
    raise ValueError(
        f'"$float" takes "NaN", "Infinity", "-Infinity" or a NaN\'s bits, not {text!r}'
    )


def _b64(data: bytes) -> str:
    return base64.b64encode(data).decode("ascii")


def to_json(value: Any) -> Any:
    """Turn a decoded msgpack value into something `json.dumps` renders and `from_json` undoes.

    `bytes` become ``{"$bytes": base64}``, extension values (`Ext`)
    ``{"$ext": code, "data": base64}``, timestamps (aware datetimes)
    ``{"$timestamp": [s, ns]}``,
    infinities and NaNs ``{"$float": text}`` and a map with a key that is not a
    `str`, or starts with ``$``, ``{"$map": [[key, value], ...]}``; everything
    else is JSON already.
    """
    kind = type(value)
    if kind in _JSON_SCALARS:
        return value
    if kind is float:
        return value if math.isfinite(value) else {"$float": _float_tag(value)}
    if isinstance(value, dict):
        shown = {}
        for k, v in value.items():
            if type(k) is not str or k.startswith("$"):
                return {"$map": [[to_json(k), to_json(v)] for k, v in value.items()]}
            shown[k] = to_json(v)
        return shown
    if isinstance(value, list | tuple):
        return [to_json(v) for v in value]
    if isinstance(value, bytes | bytearray | memoryview):
        return {"$bytes": _b64(bytes(value))}
    if isinstance(value, Ext):
        return {"$ext": value.code, "data": _b64(value.data)}
    if isinstance(value, datetime.datetime) and value.tzinfo is not None:
        return {"$timestamp": list(_timestamp_parts(value))}
    return value


def _timestamp_parts(value: datetime.datetime) -> tuple[int, int]:
    """The seconds since the epoch and the nanoseconds after them of an aware datetime, in
    integers: float seconds would round."""
    since = value - _EPOCH
    return since.days * 86_400 + since.seconds, since.microseconds * 1000


def _timestamp(seconds: int, nanoseconds: int) -> datetime.datetime | Ext:
    """The timestamp of *seconds* and *nanoseconds*: a datetime where one holds it exactly,
    else msgpack's extension -1 in the smallest of its three forms, as encoders write it."""
    if nanoseconds % 1000 == 0 and 0 <= nanoseconds < _NANOSECONDS:
        try:
            return _EPOCH + datetime.timedelta(seconds=seconds, microseconds=nanoseconds // 1000)
        except OverflowError:
            pass  # beyond datetime's years
    if not 0 <= nanoseconds < _NANOSECONDS:
        raise ValueError(f"a timestamp's nanoseconds are 0 to 999999999, not {nanoseconds}")
    if not -(2**63) <= seconds < 2**63:
        raise ValueError(f"a timestamp's seconds are a signed 64-bit integer, not {seconds}")
    if seconds >> 34 == 0:
        if nanoseconds == 0 and seconds >> 32 == 0:
            return Ext(-1, struct.pack(">I", seconds))
        return Ext(-1, struct.pack(">Q", nanoseconds << 34 | seconds))
    return Ext(-1, struct.pack(">Iq", nanoseconds, seconds))


def _unb64(text: Any) -> bytes:
    if not isinstance(text, str):
        raise ValueError(f"expected base64 text, not {json.dumps(text)}")  # noqa: TRY004  # bad data, caught as such
    try:
        return base64.b64decode(text, validate=True)
    except binascii.Error as exc:
        raise ValueError(f"invalid base64: {exc}") from None


def from_json(value: Any) -> Any:
    """The value that `to_json` rendered as *value*; `ValueError` for an unknown or bad tag."""
    if isinstance(value, list):
        return [from_json(v) for v in value]
    if not isinstance(value, dict):
        return value
    if not any(k.startswith("$") for k in value):
        return {k: from_json(v) for k, v in value.items()}
    match value:
        case {"$bytes": data} if len(value) == 1:
            return _unb64(data)
        case {"$map": list(pairs)} if len(value) == 1:
            if not all(isinstance(p, list) and len(p) == 2 for p in pairs):
                raise ValueError('"$map" needs a list of [key, value] pairs')
            try:
                return {from_json(k): from_json(v) for k, v in pairs}
            except TypeError as exc:  # a key that cannot be one, such as a list
                raise ValueError(f'"$map": {exc}') from None
        case {"$ext": int(code), "data": data} if len(value) == 2:
            return Ext(code, _unb64(data))
        case {"$timestamp": [int(seconds), int(nanoseconds)]} if len(value) == 1:
            return _timestamp(seconds, nanoseconds)
        case {"$float": text} if len(value) == 1:
            return _float_from_tag(text)
    raise ValueError(f"unknown tagged value {json.dumps(value)[:80]}")


def _pack(value: Any) -> bytes:
    return plain_encoder()(value)  # what QuorWriter stores


def _ext_of_older_releases(code: int, data: bytes) -> Ext:
    # Releases that decoded with msgpack could not read an extension value with a negative
    # code, which msgpack reserves, so their dumps keep such payloads verbatim: so do ours,
    # and what they load, ours load.
    if code < 0:
        raise ValueError(f"extension code {code} is reserved")
    return Ext(code, data)


@cache
def _dump_decoding() -> Decoding[Any]:
    return decoding(ext_hook=_ext_of_older_releases)


def payload_to_json(payload: bytes) -> Any:
    """A stored object as JSON: its decoded value, or ``{"$msgpack": BASE64}`` when loading the
    value would not store the same bytes (a payload from another encoder, or no msgpack) or
    a writer would refuse it (a map with an array as a key)."""
    try:
        value = _dump_decoding().decode(payload)
        rendered = to_json(value)
        if _pack(value) == payload:
            check_payload(payload)
            return rendered
    except (ValueError, TypeError, OverflowError, RecursionError):
        pass  # the codec's decoding errors derive from ValueError
    return {"$msgpack": _b64(payload)}


def payload_json_text(payload: bytes) -> str:
    """A stored object as strict JSON text: the ``"value"`` of its dump lines."""
    return _encode(payload_to_json(payload))


def payload_from_json(value: Any) -> bytes:
    """The bytes to store for a dumped *value*."""
    if isinstance(value, dict) and len(value) == 1 and "$msgpack" in value:
        return _unb64(value["$msgpack"])
    try:
        return _pack(from_json(value))
    except (TypeError, OverflowError) as exc:
        raise ValueError(f"cannot store this value: {exc}") from None


def key_to_json(key: str | bytes) -> Any:
    """A listed key (text when its bytes are UTF-8, else the bytes) as JSON:
    its text, or ``{"$bytes": BASE64}``."""
    return key if isinstance(key, str) else {"$bytes": _b64(key)}


def key_from_json(key: Any) -> str | bytes:
    """The key that `key_to_json` rendered as *key*."""
    if isinstance(key, str):
        return key
    if isinstance(key, dict) and len(key) == 1 and "$bytes" in key:
        return _unb64(key["$bytes"])
    raise ValueError(f'a key is a string or {{"$bytes": BASE64}}, not {json.dumps(key)[:80]}')


def json_text(value: Any) -> str:
    """A decoded value as one line of strict JSON, in the dump's convention (see `to_json`)."""
    return _encode(to_json(value))


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
                    yield '{"key": ' + _encode(key_to_json(key)) + tail
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
