"""The package's msgpack codec: msgspec encoders and decoders, made from writers' and readers'
hooks in this one place.

Stored objects are msgpack; msgspec encodes and decodes them, and gives the bytes and objects
that ``msgpack.packb(use_bin_type=True)`` and ``msgpack.unpackb(raw=False,
strict_map_key=False)`` give, with these differences, each deliberate:

- an extension value decodes as `Ext` (hashable, so it may be a map key) unless an
  ``ext_hook`` takes it, and `Ext` encodes as the extension value again;
- a timestamp (extension -1) decodes as an aware `datetime.datetime` in UTC, which holds
  microseconds: nanoseconds below them are rounded, and a time outside the years 1 to 9999
  cannot be decoded (``get_raw`` still gives its bytes);
- an array as a map key decodes as a tuple where msgpack could not decode it;
- the encoder also takes what msgspec knows: aware datetimes (as timestamps), dates, times,
  naive datetimes, UUIDs and decimals (as text), enums (as their values), sets (as arrays),
  dataclasses, attrs classes and `msgspec.Struct`s (as maps). A writer's ``default`` is called
  for anything else, and for its own result if that is still unknown.

A ``msgpack.ExtType`` is a tuple to msgspec, so only one that ``default`` returns is encoded
as an extension value; use `Ext` elsewhere. A reader given ``object_hook``, which msgspec has
no counterpart for, decodes with msgpack (the ``msgpack`` extra), to the same types as above.

msgspec is imported when the first encoder or decoder is made, not with the package.
"""

from __future__ import annotations

import builtins
import sys
from collections.abc import Buffer, Callable
from functools import cache, partial
from typing import Any

from quordb._errors import DecodeError

__all__ = ["Decoding", "Ext", "decoding", "encoder", "plain_decoding", "plain_encoder"]

# What object_hook= needs, and how to get it.
_MSGPACK_MISSING = (
    "object_hook= decodes with msgpack, which is not installed: pip install 'quordb[msgpack]'"
)


class Ext:
    """A msgpack extension value: its type *code* (-128 to 127) and its *data* bytes.

    Readers give one for each extension value that no ``ext_hook`` turns into something else;
    writers store one as that extension value. Equal by value and hashable.
    """

    __slots__ = ("code", "data")

    code: int
    data: bytes

    def __init__(self, code: int, data: bytes) -> None:
        if not -128 <= code <= 127:
            raise ValueError(f"an extension type code is -128 to 127, not {code}")
        object.__setattr__(self, "code", code)
        object.__setattr__(self, "data", bytes(data))

    def __setattr__(self, name: str, value: object) -> None:
        raise AttributeError(f"Ext is immutable: cannot set {name!r}")

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, Ext):
            return NotImplemented
        return self.code == other.code and self.data == other.data

    def __hash__(self) -> int:
        return hash((Ext, self.code, self.data))

    def __repr__(self) -> str:
        return f"Ext({self.code}, {self.data!r})"

    def __reduce__(self) -> tuple[object, ...]:
        return (Ext, (self.code, self.data))


def _as_ext(code: int, data: memoryview | bytes) -> Ext:
    return Ext(code, bytes(data))


def _ext_hook_of(hook: Callable[[int, bytes], Any]) -> Callable[[int, memoryview], Any]:
    """*hook* as msgspec calls it: with a view that lives only during the call, made bytes
    as msgpack handed them."""

    def ext_hook(code: int, data: memoryview) -> Any:
        return hook(code, bytes(data))

    return ext_hook


# Subclasses msgpack stores as their base class, and msgspec hands to the hook.
_BASES: tuple[tuple[type[Any], Callable[[Any], Any]], ...] = (
    (str, str.__str__),
    (int, int.__int__),
    (float, float.__float__),
    (bytes, bytes.__bytes__),
)


class _EncodeHook:
    """What msgspec calls for an object it cannot encode: the package's own types, what
    msgpack took as it is, then the writer's *default*."""

    __slots__ = ("default",)

    def __init__(self, default: Callable[[Any], Any] | None) -> None:
        self.default = default

    def __call__(self, obj: Any) -> Any:
        import msgspec

        if isinstance(obj, Ext):
            return msgspec.msgpack.Ext(obj.code, obj.data)
        for base, plain in _BASES:
            if isinstance(obj, base):
                return plain(obj)
        msgpack = sys.modules.get("msgpack")  # whoever made a msgpack type imported it
        if msgpack is not None and isinstance(obj, msgpack.Timestamp):
            return msgspec.msgpack.Ext(-1, obj.to_bytes())
        if self.default is None:
            raise TypeError(f"cannot encode an object of type {type(obj).__name__!r}")
        made = self.default(obj)
        if made is obj:  # default gave up on it: msgspec would ask again for ever
            raise TypeError(f"cannot encode an object of type {type(obj).__name__!r}")
        if msgpack is not None and isinstance(made, msgpack.ExtType):
            return msgspec.msgpack.Ext(made.code, made.data)
        return made


def encoder(default: Callable[[Any], Any] | None = None) -> Callable[[Any], bytes]:
    """The encoding of objects as writers store them, *default* called for unknown ones."""
    import msgspec

    return msgspec.msgpack.Encoder(enc_hook=_EncodeHook(default)).encode


class Decoding[T]:
    """How a reader turns stored bytes into objects of type *T*, and says why it could not.

    *decode* is the decoder's own method, called with no Python layer between; what it
    raises for bytes it cannot decode (or that do not match the type) is in *failures*, for
    `failure` to turn into the `DecodeError` that names the key.
    """

    __slots__ = ("decode", "failures", "type_name", "validation")

    def __init__(
        self,
        decode: Callable[[Buffer], T],
        failures: tuple[type[BaseException], ...],
        type_name: str | None,
        validation: type[BaseException] | None,
    ) -> None:
        self.decode = decode
        self.failures = failures
        self.type_name = type_name
        self.validation = validation

    def failure(self, key: str | bytes | None, error: BaseException) -> DecodeError:
        """The error that tells *error*, met decoding the object of *key*."""
        if isinstance(error, RecursionError):
            reason = "is nested too deeply to decode"
        elif self.validation is not None and isinstance(error, self.validation):
            reason = f"does not match {self.type_name}: {error}"
        else:
            reason = f"cannot be decoded: {error or type(error).__name__}"
        made = DecodeError.of(key, reason)
        made.__cause__ = error
        return made


def _type_name(kind: Any) -> str:
    return kind.__qualname__ if isinstance(kind, builtins.type) else repr(kind)


def decoding(
    type: Any = Any,
    ext_hook: Callable[[int, bytes], Any] | None = None,
    object_hook: Callable[[dict[Any, Any]], Any] | None = None,
) -> Decoding[Any]:
    """The decoding of stored objects as *type* (anything msgspec takes; `Any` for what the
    bytes hold), with the reader's hooks."""
    if object_hook is not None:
        if type is not Any:
            raise TypeError("a reader takes type= or object_hook=, not both")
        return _msgpack_decoding(ext_hook, object_hook)
    import msgspec

    decoder = msgspec.msgpack.Decoder(
        type, ext_hook=_as_ext if ext_hook is None else _ext_hook_of(ext_hook)
    )
    # Without a type, a ValidationError is the bytes' own fault (a timestamp out of range),
    # not a mismatch.
    if type is Any:
        return Decoding(decoder.decode, (msgspec.DecodeError, RecursionError), None, None)
    return Decoding(
        decoder.decode,
        (msgspec.DecodeError, RecursionError),
        _type_name(type),
        msgspec.ValidationError,
    )


def _msgpack_decoding(
    ext_hook: Callable[[int, bytes], Any] | None,
    object_hook: Callable[[dict[Any, Any]], Any],
) -> Decoding[Any]:
    try:
        import msgpack  # type: ignore[import-untyped, unused-ignore]  # ships no type information
    except ImportError:
        raise ImportError(_MSGPACK_MISSING) from None
    decode = partial(
        msgpack.unpackb,
        raw=False,
        strict_map_key=False,
        object_hook=object_hook,
        ext_hook=_as_ext if ext_hook is None else ext_hook,
        timestamp=3,  # datetime, as msgspec gives
    )
    # msgpack's own errors are ValueErrors; an unhashable map key is a TypeError, a
    # timestamp beyond datetime's years an OverflowError.
    return Decoding(decode, (ValueError, TypeError, OverflowError, RecursionError), None, None)


@cache
def plain_encoder() -> Callable[[Any], bytes]:
    """The encoding of a writer without ``default``, made once."""
    return encoder()


@cache
def plain_decoding() -> Decoding[Any]:
    """The decoding of a reader without a type or hooks, made once."""
    return decoding()
