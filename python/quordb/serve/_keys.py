"""Keys as requests name them: text in the path or a query, or base64 for any bytes."""

from __future__ import annotations

import base64
import binascii
from collections.abc import Mapping

from quordb import Key
from quordb.serve._errors import BadRequest
from quordb.serve._limits import MAX_KEY_BYTES

__all__ = ["checked_key", "cursor_of", "from_base64", "query_key"]

# UTF-8 takes at most 4 bytes a character: text this short cannot be too long.
_SURELY_SHORT = MAX_KEY_BYTES // 4


def checked_key(key: Key) -> Key:
    """*key*, or `BadRequest` when it is longer than a key can be."""
    if len(key) > _SURELY_SHORT and len(key if isinstance(key, bytes) else key.encode()) > (
        MAX_KEY_BYTES
    ):
        raise BadRequest(f"a key is at most {MAX_KEY_BYTES} bytes", "key_too_long")
    return key


def from_base64(text: str, name: str) -> bytes:
    """The bytes of *text*, in base64 or base64url, padded or not (*name* is the field's)."""
    standard = text.replace("-", "+").replace("_", "/")
    try:
        return base64.b64decode(standard + "=" * (-len(standard) % 4), validate=True)
    except binascii.Error:
        raise BadRequest(f"{name} is not base64: {text[:80]!r}", "bad_base64") from None


def cursor_of(key: Key) -> str:
    """The ``after`` cursor that continues a listing past *key*: its bytes in base64url."""
    data = key.encode() if isinstance(key, str) else key
    return base64.urlsafe_b64encode(data).rstrip(b"=").decode("ascii")


def query_key(query: Mapping[str, str], name: str) -> Key | None:
    """The key given as ``NAME=text`` or ``NAME_b64=base64`` in *query*; None for neither."""
    text, encoded = query.get(name), query.get(f"{name}_b64")
    if text is not None and encoded is not None:
        raise BadRequest(f"give {name} or {name}_b64, not both", "bad_key")
    if encoded is not None:
        return checked_key(from_base64(encoded, f"{name}_b64"))
    return None if text is None else checked_key(text)
