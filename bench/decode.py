"""What decoding costs a reader and encoding a writer: msgspec, as the package decodes now,
against msgpack, as it decoded before, in one run.

    python bench/decode.py                      # Debian's package index and 1 000 000 records
    python bench/decode.py --n 200000 --packages ''
    python bench/decode.py --before ../before/.venv-3.13/bin/python   # and another checkout's

Rows, each best of --reps, the garbage collector off while the clock runs:

- ``db[key]``: a lookup loop over shuffled present keys. "msgpack" is the reader as it was,
  ``get_raw`` then ``msgpack.unpackb(raw=False, strict_map_key=False)``; "msgspec" is
  `QuorReader`; "typed" is ``QuorReader(type=T)`` with a `msgspec.Struct` of two fields.
- ``get_many``: one call for 10 000 keys, the same three ways.
- ``items()``: every entry in key order, the same three ways ("msgpack" decodes the stored
  bytes of the native scan's chunks).
- batch decoding: the 10 000 payloads of that call decoded by a list comprehension of
  ``decode``, by ``list(map(decode, ...))`` (what `get_many` does) and as one msgpack array
  (the payloads joined behind an array header, decoded by ``Decoder(list[T])``).
- with ``--before PYTHON``, ``db[key]`` and ``get_many`` as the package of another checkout
  does them (way "before", run by bench/lookup_probe.py in that interpreter, on a copy of the
  file without a lookup table, which that package may not know, over the same keys), taking
  turns with this run's rows; the decoded rows then show their ratio to it too.
- ``add_many``: the synthetic records (bench/data.py) added with their encoding to an
  in-memory native writer, by ``msgpack.Packer(use_bin_type=True).pack`` and by the package's
  encoder, a chunk of records made before the clock starts each time.
"""

from __future__ import annotations

import argparse
import gc
import json
import os
import random
import subprocess
import sys
import tempfile
import time
from collections.abc import Callable, Sequence
from functools import partial
from typing import Any

import msgpack
import msgspec
from data import ascii_key, user_record  # bench/data.py

from quordb import QuorReader, QuorWriter
from quordb._codec import encoder
from quordb._native import MemoryWriter

TARGETS = {  # row: the highest ratio to the msgpack figure that meets the goal
    ("db[key]", "msgspec"): 0.5,
    ("db[key]", "typed"): 0.15,
    ("get_many", "msgspec"): 0.5,
    ("get_many", "typed"): 0.15,
    ("add_many", "msgspec"): 0.65,
}
BATCH = 10_000
CHUNK = 100_000


class Package(msgspec.Struct):
    Package: str
    Version: str


class User(msgspec.Struct):
    id: int
    name: str


def timed(run: Callable[[], Any]) -> float:
    """Seconds of one run of *run*; what it returns is freed after the clock stops."""
    gc.disable()
    start = time.perf_counter()
    made = run()
    took = time.perf_counter() - start
    gc.enable()
    del made
    return took


def best_of_each(runs: dict[str, Callable[[], Any]], reps: int) -> dict[str, float]:
    """The shortest of *reps* runs of each of *runs*, in seconds. The ways take turns within
    each repetition, so that a busy spell of the machine falls on all of them alike."""
    fastest = dict.fromkeys(runs, float("inf"))
    for _ in range(reps):
        for way, run in runs.items():
            fastest[way] = min(fastest[way], timed(run))
    return fastest


class MsgpackReader:
    """The reader's lookups as they were before msgspec: the native bytes, then msgpack."""

    def __init__(self, db: QuorReader[Any]) -> None:
        self._native = db._native
        self._decode = partial(msgpack.unpackb, raw=False, strict_map_key=False)

    def __getitem__(self, key: str) -> Any:
        raw = self._native.get_raw(key)
        if raw is None:
            raise KeyError(key)
        return self._decode(raw)

    def get_many(self, keys: Sequence[str], default: Any = None) -> list[Any]:
        decode = self._decode
        return [default if raw is None else decode(raw) for raw in self._native.get_many_raw(keys)]

    def items(self) -> list[tuple[str, Any]]:
        decode = self._decode
        return [(key, decode(raw)) for chunk in self._native.scan("items") for key, raw in chunk]


def lookups(db: Any, keys: Sequence[str]) -> None:
    for key in keys:
        db[key]


def lookups_raw(db: QuorReader[Any], keys: Sequence[str]) -> None:
    get_raw = db.get_raw
    for key in keys:
        get_raw(key)


def array_of(payloads: Sequence[bytes]) -> bytes:
    count = len(payloads)
    header = (
        b"\xdd" + count.to_bytes(4, "big")
        if count >= 1 << 16
        else b"\xdc" + count.to_bytes(2, "big")
    )
    return b"".join([header, *payloads])


def before_rows(
    before: str, plain: str, loop: list[str], batch: list[str], reps: int
) -> dict[str, float]:
    """Seconds per key of the lookup and batch rows of the package that *before* imports, on
    *plain*, a copy of the database without a lookup table, as bench/lookup_probe.py times
    them; one probe process a repetition, so that they take turns with this run's."""
    keys_path = f"{plain}.keys.json"
    with open(keys_path, "w") as file:
        json.dump({"loop": loop, "batch": batch}, file)
    probe = os.path.join(os.path.dirname(os.path.abspath(__file__)), "lookup_probe.py")
    answer = subprocess.run(
        [before, probe, plain, keys_path, str(reps)], check=True, capture_output=True, text=True
    )
    os.remove(keys_path)
    return json.loads(answer.stdout)


def read_rows(
    path: str, keys: list[str], typed: type, reps: int, before: tuple[str, str] | None = None
) -> list[tuple[str, str, float]]:
    """(row, way, seconds per key) of the lookup and batch rows on the database at *path*;
    *before* is another package's interpreter and the copy of *path* it reads."""
    rng = random.Random(7)
    plain, typed_db = QuorReader(path), QuorReader(path, type=typed)
    readers = {"msgpack": MsgpackReader(plain), "msgspec": plain, "typed": typed_db}
    loop = rng.sample(keys, min(len(keys), 50_000))
    batch = rng.sample(keys, min(len(keys), BATCH))
    rows = []
    if before is not None:
        probes = [before_rows(*before, loop, batch, 1) for _ in range(reps)]
        rows += [
            (row, "before", min(probe[row] for probe in probes)) for row in ("db[key]", "get_many")
        ]
    lookup_runs: dict[str, Callable[[], Any]] = {"native": lambda: lookups_raw(plain, loop)}
    lookup_runs |= {way: partial(lookups, db, loop) for way, db in readers.items()}
    for way, seconds in best_of_each(lookup_runs, reps).items():
        rows.append(("get_raw alone" if way == "native" else "db[key]", way, seconds / len(loop)))
    batch_runs: dict[str, Callable[[], Any]] = {"native": partial(plain.get_many_raw, batch)}
    batch_runs |= {way: partial(db.get_many, batch) for way, db in readers.items()}
    for way, seconds in best_of_each(batch_runs, reps).items():
        row = "get_many_raw alone" if way == "native" else "get_many"
        rows.append((row, way, seconds / len(batch)))
    item_runs = {way: partial(lambda db: list(db.items()), db) for way, db in readers.items()}
    for way, seconds in best_of_each(item_runs, reps).items():
        rows.append(("items()", way, seconds / len(keys)))
    payloads = plain.get_many_raw(batch)
    for way, kind in (("msgspec", Any), ("typed", typed)):
        decode = msgspec.msgpack.Decoder(kind).decode
        as_array = msgspec.msgpack.Decoder(list[kind]).decode  # type: ignore[valid-type]
        shapes: dict[str, Callable[[], Any]] = {
            "comprehension": lambda decode=decode: [decode(p) for p in payloads],
            "map": lambda decode=decode: list(map(decode, payloads)),
            "one array": lambda as_array=as_array: as_array(array_of(payloads)),
        }
        for shape, seconds in best_of_each(shapes, reps).items():
            rows.append((f"batch {way}: {shape}", way, seconds / len(batch)))
    plain.close()
    typed_db.close()
    return rows


def debian_database(source: str, directory: str, table: bool = True) -> tuple[str, list[str]]:
    """Debian's package index as a database keyed by each record's names (the package and
    what it provides); the path and its keys."""
    path = os.path.join(directory, "packages.qrdb" if table else "packages-plain.qrdb")
    with open(source, "rb") as lines:
        records = [json.loads(line) for line in lines if line.strip()]
    writer = QuorWriter(path, table=table)
    writer.add_many((record, record["names"]) for record in records)
    writer.build()
    with QuorReader(path) as db:
        return path, list(db)


def synthetic_database(n: int, directory: str, table: bool = True) -> tuple[str, list[str]]:
    path = os.path.join(directory, "users.qrdb" if table else "users-plain.qrdb")
    writer = QuorWriter(path, table=table)
    writer.add_many((user_record(i), ascii_key(i)) for i in range(n))
    writer.build()
    return path, [ascii_key(i) for i in range(n)]


def add_many_rows(n: int, reps: int) -> list[tuple[str, str, float]]:
    """Seconds per record of adding *n* records with their encoding, a chunk at a time."""
    encodings = {
        "msgpack": msgpack.Packer(use_bin_type=True).pack,
        "msgspec": encoder(),
    }
    totals = dict.fromkeys(encodings, 0.0)
    for start in range(0, n, CHUNK):
        chunk = [(user_record(i), ascii_key(i)) for i in range(start, min(n, start + CHUNK))]
        runs = {
            way: partial(
                lambda chunk, encode: MemoryWriter().add_many(chunk, encode), chunk, encode
            )
            for way, encode in encodings.items()
        }
        for way, seconds in best_of_each(runs, reps).items():
            totals[way] += seconds
    return [("add_many", way, total / n) for way, total in totals.items()]


# The native rows are the floor under each decoded row: the ratio no decoder can go below.
FLOOR_OF = {"get_raw alone": "db[key]", "get_many_raw alone": "get_many"}


def report(title: str, rows: list[tuple[str, str, float]]) -> list[str]:
    """Print *rows* with each row's ratio to its msgpack figure; return the missed targets."""
    before = {row: seconds for row, way, seconds in rows if way == "msgpack"}
    package_before = {row: seconds for row, way, seconds in rows if way == "before"}
    print(f"\n{title}")
    print(f"{'row':<34}{'way':<10}{'ns/record':>11}{'ratio':>8}  target")
    missed = []
    for row, way, seconds in rows:
        compared = FLOOR_OF.get(row, row)
        ratio = seconds / before[compared] if compared in before else None
        limit = TARGETS.get((row, way))
        verdict = ""
        if limit is not None and ratio is not None:
            verdict = f"<= {limit}  {'PASS' if ratio <= limit else 'FAIL'}"
            if ratio > limit:
                missed.append(f"{title}: {row} {way} {ratio:.2f} > {limit}")
        shown = "" if ratio is None else f"{ratio:.2f}"
        if row in package_before and way in ("msgspec", "typed"):
            verdict += f"  ({seconds / package_before[row]:.2f} of before)"
        print(f"{row:<34}{way:<10}{seconds * 1e9:>11.0f}{shown:>8}  {verdict}")
    return missed


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument(
        "--packages",
        default="/tmp/real/packages.jsonl",
        help="Debian's package index as JSON Lines ('' skips it)",
    )
    parser.add_argument("--n", type=int, default=1_000_000, help="synthetic records")
    parser.add_argument("--reps", type=int, default=5)
    parser.add_argument("--before", help="an interpreter whose quordb to compare with")
    args = parser.parse_args(argv)
    print(
        f"load average {os.getloadavg()[0]:.2f} on {os.cpu_count()} cores; "
        f"msgspec {msgspec.__version__}, msgpack {'.'.join(map(str, msgpack.version))}"
    )
    missed = []
    with tempfile.TemporaryDirectory(dir="/dev/shm" if os.path.isdir("/dev/shm") else None) as tmp:
        if args.packages:
            path, keys = debian_database(args.packages, tmp)
            before = None
            if args.before:
                before = (args.before, debian_database(args.packages, tmp, table=False)[0])
            missed += report(
                f"Debian packages ({len(keys):,} keys), typed: Package, Version",
                read_rows(path, keys, Package, args.reps, before),
            )
            os.remove(path)
            if before:
                os.remove(before[1])
        path, keys = synthetic_database(args.n, tmp)
        before = None
        if args.before:
            before = (args.before, synthetic_database(args.n, tmp, table=False)[0])
        missed += report(
            f"synthetic users ({args.n:,} keys), typed: id, name",
            read_rows(path, keys, User, args.reps, before) + add_many_rows(args.n, args.reps),
        )
    for line in missed:
        print(f"missed: {line}", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
