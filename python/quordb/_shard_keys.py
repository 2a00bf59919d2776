"""Keys in shard sets: which keys an add takes, the bytes they sort by, and the shard of each.

A key lives in shard ``key_hash64(key) % shard_count`` (XXH3-64, seed 0, over the key's
bytes); docs/format.md gives the rule for readers in other languages.
"""

from __future__ import annotations

from collections.abc import Iterable, Sequence

from quordb._native import check_add, check_keys, shard_of, shard_of_many

__all__ = [
    "KeyLike",
    "key_list",
    "key_list_of_add",
    "order_key",
    "route",
    "shard_for",
    "split_keys",
]

#: A key as adds take it: text (stored as UTF-8) or any bytes-like object.
type KeyLike = str | bytes | bytearray | memoryview

# Taken as one key, never iterated as a sequence of byte values.
_SINGLE_KEY_TYPES = (str, bytes, bytearray, memoryview)


def key_list(keys: KeyLike | Iterable[KeyLike]) -> Sequence[KeyLike]:
    """One key or an iterable of keys as a non-empty list, each refused as an add refuses it.

    `TypeError` for a key that is not `str` or bytes-like, `ValueError` for no key at all,
    a text key without a UTF-8 form or a key longer than the format holds.
    """
    return check_keys(keys)


def key_list_of_add(payload: bytes, keys: KeyLike | Iterable[KeyLike]) -> Sequence[KeyLike]:
    """`key_list` of *keys*, for an add of *payload*, which is refused as an add refuses it."""
    checked = check_add(payload, keys)
    return [checked] if isinstance(checked, _SINGLE_KEY_TYPES) else checked


def order_key(key: KeyLike) -> bytes:
    """The bytes a key is stored as, which give the order of listings; a copy if mutable."""
    return key.encode() if isinstance(key, str) else bytes(key)


def shard_for(key: object, count: int) -> int:
    """The shard *key* routes to in a set of *count*, or -1 for what cannot be a key."""
    try:  # one key is routed most often: no batch made for it
        return shard_of(key, count)  # type: ignore[arg-type]
    except (TypeError, ValueError):
        return -1


def route(keys: Sequence[object], count: int) -> list[int]:
    """The shard of each of *keys* in a set of *count*, -1 for each that cannot be a key."""
    return shard_of_many(keys, count)


def split_keys(keys: Sequence[KeyLike], shards: int) -> dict[int, list[KeyLike]]:
    """Group one object's keys by the shard each routes to, keeping their order.

    The object is stored once in every shard of the result; builds that must give the
    same files all split this way.
    """
    if len(keys) == 1:  # the common case, without the grouping
        return {shard_of(keys[0], shards): list(keys)}
    groups: dict[int, list[KeyLike]] = {}
    for key, shard in zip(keys, route(keys, shards), strict=True):
        groups.setdefault(shard, []).append(key)
    return groups
