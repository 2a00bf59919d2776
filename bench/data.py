"""Deterministic data sets for the benchmark.

The main process and the memory-measuring subprocesses call `make_dataset` with the same
arguments and get identical data, so a subprocess never has to receive it.
"""

from __future__ import annotations

import random
from dataclasses import dataclass, field

import msgpack

SEED = 20240611
# One key in ten uses a multi-byte UTF-8 prefix; every prefix keeps keys at about 16 bytes.
MULTIBYTE_SHARE = 0.1
MULTIBYTE_PREFIXES = ("üser", "ñame", "用户")
SHARED_SHARE = 0.2  # the "shared" set: this share of keys names an object another key also names
CITIES = ("Oslo", "Lima", "Pune", "Kyiv")


def ascii_key(j: int) -> str:
    return f"user:{j:010d}"


def multibyte_key(j: int) -> str:
    return f"{MULTIBYTE_PREFIXES[j % len(MULTIBYTE_PREFIXES)]}:{j:010d}"


_pack = msgpack.Packer().pack


def user_record(i: int) -> dict:
    """The user record of number `i`; 93-107 bytes in msgpack."""
    return {
        "id": i,
        "name": f"User {i}",
        "email": f"user{i}@example.com",
        "age": 18 + i % 60,
        "score": (i * 7919 % 100000) / 100,
        "active": i % 3 == 0,
        "tags": [f"t{i % 17}", f"grp{i % 5}"],
        "city": CITIES[i % 4],
    }


def encode_value(i: int) -> bytes:
    """A msgpack-encoded user record of 93-107 bytes."""
    return _pack(user_record(i))


@dataclass
class DataSet:
    name: str
    keys: list[str]  # insertion order, shuffled
    obj_ids: list[int]  # object index of each key
    objects: list[bytes]  # distinct payloads, in object-ID order
    hits: list[str]  # present keys, shuffled
    misses: list[str]  # absent keys, shuffled
    small_prefixes: list[str]  # each matches exactly 10 keys
    large_prefixes: list[str]  # each matches exactly 10 000 keys
    _cache: dict = field(default_factory=dict, repr=False)

    @property
    def n(self) -> int:
        return len(self.keys)

    def values(self) -> list[bytes]:
        """The payload of every key, in key order (shared objects repeat)."""
        if "values" not in self._cache:
            objs = self.objects
            self._cache["values"] = [objs[i] for i in self.obj_ids]
        return self._cache["values"]

    def key_bytes(self) -> int:
        return sum(len(k.encode()) for k in self.keys)

    def payload_bytes(self) -> int:
        return sum(map(len, self.objects))


def make_dataset(n: int, shared: bool = False, lookups: int = 200_000) -> DataSet:
    """Builds the `n`-key set; with `shared`, about 20% of keys reuse an earlier key's object."""
    rng = random.Random(SEED)
    n_mb = int(n * MULTIBYTE_SHARE)
    n_ascii = n - n_mb
    if n_ascii < 20_000:
        raise ValueError("n must be at least 22 223 so that a prefix can match 10 000 keys")
    keys = [ascii_key(j) for j in range(n_ascii)] + [multibyte_key(j) for j in range(n_mb)]
    rng.shuffle(keys)

    if shared:
        obj_ids, objects = [], []
        for i in range(n):
            if objects and rng.random() < SHARED_SHARE:
                obj_ids.append(rng.randrange(len(objects)))
            else:
                obj_ids.append(len(objects))
                objects.append(encode_value(i))
    else:
        obj_ids = list(range(n))
        objects = [encode_value(i) for i in range(n)]

    lookups = min(lookups, n)
    hits = rng.sample(keys, lookups)
    misses = [ascii_key(j) for j in range(n_ascii, n_ascii + lookups - lookups // 10)]
    misses += [multibyte_key(j) for j in range(n_mb, n_mb + lookups // 10)]
    rng.shuffle(misses)
    # "user:" plus the first 9 (or 6) of 10 digits: exactly 10 (or 10 000) consecutive keys.
    small = [f"user:{j:09d}" for j in rng.sample(range(n_ascii // 10), min(2000, n_ascii // 10))]
    large = [f"user:{j:06d}" for j in range(n_ascii // 10_000)][:20]
    return DataSet(
        "shared" if shared else "unique", keys, obj_ids, objects, hits, misses, small, large
    )
