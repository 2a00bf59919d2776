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
starts with ``$``, ``{"$ext": CODE, "data": BASE64}`` and ``{"$timestamp":
[SECONDS, NANOSECONDS]}``.  A key that is not valid UTF-8 is ``{"$bytes":
BASE64}``.
"""

from __future__ import annotations

import base64
import binascii
import json
import math
import struct
from collections.abc import Iterable, Iterator
from dataclasses import dataclass
from typing import Any

import msgpack  # type: ignore[import-untyped]  # ships no type information

from quordb._inputs import BadRow
from quordb._native import RecordScan
from quordb._writer import QuorWriter

__all__ = [
    "LoadCount",
    "dump_lines",
    "from_json",
    "key_from_json",
    "key_to_json",
    "load_lines",
    "payload_from_json",
    "payload_to_json",
    "to_json",
]

_NAN = struct.pack(">d", math.nan)
# Values that are JSON as they are; exact types, as a subclass may render otherwise.
_JSON_SCALARS = frozenset({str, int, bool, type(None)})
# One encoder for every line: json.dumps with options makes a new one per call.
_encode = json.JSONEncoder(ensure_ascii=False).encode


class _NotJson(Exception):
    """A value whose JSON form would not decode back to the same bytes."""


def _b64(data: bytes) -> str:
    return base64.b64encode(data).decode("ascii")


def to_json(value: Any) -> Any:
    """Turn a decoded msgpack value into something `json.dumps` renders and `from_json` undoes.

    `bytes` become ``{"$bytes": base64}``, msgpack extension types
    ``{"$ext": code, "data": base64}``, timestamps ``{"$timestamp": [s, ns]}``
    and a map with a key that is not a `str`, or starts with ``$``,
    ``{"$map": [[key, value], ...]}``; everything else is JSON already.
    """
    kind = type(value)
    if kind in _JSON_SCALARS:
        return value
    if kind is float:
        if math.isnan(value) and struct.pack(">d", value) != _NAN:
            raise _NotJson("a NaN with a payload")  # JSON's NaN reads back as the plain one
        return value
    if isinstance(value, dict):
        shown = {}
        for k, v in value.items():
            if type(k) is not str or k.startswith("$"):
                return {"$map": [[to_json(k), to_json(v)] for k, v in value.items()]}
            shown[k] = to_json(v)
        return shown
    if isinstance(value, msgpack.ExtType):  # a namedtuple: before the tuples
        return {"$ext": value.code, "data": _b64(value.data)}
    if isinstance(value, list | tuple):
        return [to_json(v) for v in value]
    if isinstance(value, bytes | bytearray | memoryview):
        return {"$bytes": _b64(bytes(value))}
    if isinstance(value, msgpack.Timestamp):
        return {"$timestamp": [value.seconds, value.nanoseconds]}
    return value


def _unb64(text: Any) -> bytes:
    if not isinstance(text, str):
        raise ValueError(f"expected base64 text, not {json.dumps(text)}")
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
            return msgpack.ExtType(code, _unb64(data))
        case {"$timestamp": [int(seconds), int(nanoseconds)]} if len(value) == 1:
            return msgpack.Timestamp(seconds, nanoseconds)
    raise ValueError(f"unknown tagged value {json.dumps(value)[:80]}")


def _pack(value: Any) -> bytes:
    packed: bytes = msgpack.packb(value, use_bin_type=True)  # what QuorWriter stores
    return packed


def _unpack(payload: bytes) -> Any:
    return msgpack.unpackb(payload, raw=False, strict_map_key=False)  # what QuorReader reads


def payload_to_json(payload: bytes) -> Any:
    """A stored object as JSON: its decoded value, or ``{"$msgpack": BASE64}`` when loading the
    value would not store the same bytes (a payload from another encoder, or no msgpack)."""
    try:
        value = _unpack(payload)
        rendered = to_json(value)
        if _pack(value) == payload:
            return rendered
    except (ValueError, TypeError, OverflowError, _NotJson):
        pass  # msgpack's unpack errors derive from ValueError
    return {"$msgpack": _b64(payload)}


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


def dump_lines(path: str, *, verify: bool = True, first_object: int = 0) -> Iterator[str]:
    """The dump of the database at *path*, one line (without its newline) at a time.

    Objects are numbered from *first_object*, so that the dumps of a shard set's
    shards, one after the other, number every stored object once.
    """
    number = first_object
    for chunk in RecordScan(path, verify):
        for payload, keys in chunk:
            tail = f', "value": {_encode(payload_to_json(payload))}, "object": {number}}}'
            if not keys:
                yield "{" + tail[2:]
            for key in keys:
                yield '{"key": ' + _encode(key_to_json(key)) + tail
            number += 1


@dataclass
class LoadCount:
    objects: int = 0
    keys: int = 0


_LINE_FIELDS = frozenset({"key", "value", "object"})


def load_lines(lines: Iterable[bytes], source: str, writer: QuorWriter) -> LoadCount:
    """Add the dump *lines* (from *source*, for messages) to *writer*.

    A line's object is the one of the earlier line with the same ``"object"``
    number, if any, else a new one made from its value; a line without a
    number always makes a new object.  A bad line raises `BadRow`.
    """
    objects: dict[int, int] = {}  # dumped number -> writer's object ID
    count = LoadCount()
    raw = writer.raw
    for line_no, line in enumerate(lines, start=1):
        if not line.strip():
            continue
        where = f"{source}:{line_no}"
        try:
            entry = json.loads(line)
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
                obj_id = raw.add_object_raw(payload_from_json(entry["value"]))
                count.objects += 1
                if number is not None:
                    objects[number] = obj_id
            if "key" in entry:
                raw.add_key(key_from_json(entry["key"]), obj_id)
                count.keys += 1
        except (ValueError, OverflowError) as exc:
            raise BadRow(where, str(exc)) from None
    return count
