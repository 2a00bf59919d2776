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
import json
import math
import re
import struct

import msgpack  # type: ignore[import-untyped]  # ships no type information

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
    "payload_to_json",
    "to_json",
    "unpack_failure",
]

_NAN = struct.pack(">d", math.nan)
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

    `bytes` become ``{"$bytes": base64}``, msgpack extension types
    ``{"$ext": code, "data": base64}``, timestamps ``{"$timestamp": [s, ns]}``,
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
            return msgpack.ExtType(code, _unb64(data))
        case {"$timestamp": [int(seconds), int(nanoseconds)]} if len(value) == 1:
            return msgpack.Timestamp(seconds, nanoseconds)
        case {"$float": text} if len(value) == 1:
            return _float_from_tag(text)
    raise ValueError(f"unknown tagged value {json.dumps(value)[:80]}")


def _pack(value: Any) -> bytes:
    packed: bytes = msgpack.packb(value, use_bin_type=True)  # what QuorWriter stores
    return packed


def _unpack(payload: bytes) -> Any:
    return msgpack.unpackb(payload, raw=False, strict_map_key=False)  # what QuorReader reads


# msgpack's unpack errors of these classes carry no message of their own.
_UNPACK_FAILURES = {
    msgpack.FormatError: "not msgpack data",
    msgpack.StackError: "msgpack data nested too deeply",
}


def unpack_failure(exc: Exception) -> str:
    """Why msgpack could not decode: *exc*'s message, or what its class means when it has none."""
    return str(exc) or _UNPACK_FAILURES.get(type(exc), type(exc).__name__)


def payload_to_json(payload: bytes) -> Any:
    """A stored object as JSON: its decoded value, or ``{"$msgpack": BASE64}`` when loading the
    value would not store the same bytes (a payload from another encoder, or no msgpack)."""
    try:
        value = _unpack(payload)
        rendered = to_json(value)
        if _pack(value) == payload:
            return rendered
    except (ValueError, TypeError, OverflowError, RecursionError):
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


def json_text(value: Any) -> str:
    """A decoded value as one line of strict JSON, in the dump's convention (see `to_json`)."""
    return encode(to_json(value))
