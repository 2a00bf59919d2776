"""The JSON form of stored values, as `quordb get` prints them and `quordb dump` writes them.

JSON cannot show every msgpack value, so some take a tagged form (a dict
whose single key starts with ``$``): ``{"$bytes": BASE64}``, ``{"$map":
[[key, value], ...]}`` for a map with a key that is not a string or that
starts with ``$``, ``{"$ext": CODE, "data": BASE64}``, ``{"$timestamp":
[SECONDS, NANOSECONDS]}`` and ``{"$float": "NaN"}`` (or ``"Infinity"``,
``"-Infinity"``, or ``"0x"`` and the 16 hex digits of a NaN's bits when it has a
sign or payload).  A key that is not valid UTF-8 is ``{"$bytes": BASE64}``.
Every line is strict JSON: no bare ``NaN`` or ``Infinity``.
"""

from __future__ import annotations

import base64
import binascii
import datetime
import json
import math
import re
import struct
from functools import cache

from quordb._codec import Decoding, Ext, decoding, plain_encoder
from quordb._native import check_payload

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any

__all__ = [
    "encode",
    "from_json",
    "json_text",
    "key_from_json",
    "key_to_json",
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
encode = json.JSONEncoder(ensure_ascii=False, allow_nan=False).encode


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
    return encode(payload_to_json(payload))


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
    return encode(to_json(value))
