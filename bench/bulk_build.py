"""Bulk builds against cdbx's make: `QuorWriter.add_many` (encoding included) and
`add_many_raw` (pre-encoded objects), both streaming to a path given up front.

    python bench/bulk_build.py [--n 1000000] [--reps 3] [--dir /dev/shm]

Each figure is the best of --reps full builds, from the first add to the file in place
(ours is synced; cdbx's commit does not sync). Keys are the benchmark's 16-byte keys, objects
its ~100-byte user records; cdbx gets the same records already encoded, as it stores bytes.
The keys come in index order, as a dump loaded again gives them, which spares our build its
sort; the last rows add them in random order, the very last two under the duplicate policies
that are not the default: "first" (repeats still found by the sort) and "error" (each key
looked up as it is added).
"""

from __future__ import annotations

import argparse
import os
import random
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import data

from quordb import OnDuplicate, QuorWriter


def best_s(build, reps: int) -> float:
    best = float("inf")
    for _ in range(reps):
        started = time.perf_counter()
        build()
        best = min(best, time.perf_counter() - started)
    return best


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--n", type=int, default=1_000_000)
    ap.add_argument("--reps", type=int, default=3)
    ap.add_argument("--dir", default="/dev/shm" if os.path.isdir("/dev/shm") else None)
    args = ap.parse_args()
    try:
        import cdbx
    except ImportError:
        print("cdbx is not installed (pip install cdbx): nothing to compare with")
        return 1

    keys = [data.ascii_key(i) for i in range(args.n)]
    records = [data.user_record(i) for i in range(args.n)]
    encoded = [data.encode_value(i) for i in range(args.n)]
    key_bytes = [k.encode() for k in keys]
    order = list(range(args.n))
    random.Random(5).shuffle(order)
    # New objects, made in the order they are added, as a reader of a file would make them:
    # the shuffled originals would cost a cache miss each that no store's build causes.
    shuffled = [(bytes(bytearray(encoded[i])), keys[i].encode().decode()) for i in order]
    with tempfile.TemporaryDirectory(dir=args.dir) as tmp:
        ours = os.path.join(tmp, "ours.qrdb")
        theirs = os.path.join(tmp, "theirs.cdb")

        def cdbx_make() -> None:
            maker = cdbx.CDB.make(theirs)
            add = maker.add
            for key, value in zip(key_bytes, encoded, strict=True):
                add(key, value)
            maker.commit().close()

        def add_many() -> None:
            with QuorWriter(ours) as writer:
                writer.add_many(zip(records, keys, strict=True))

        def add_many_raw() -> None:
            with QuorWriter(ours) as writer:
                writer.add_many_raw(zip(encoded, keys, strict=True))

        def add_many_raw_shuffled(on_duplicate: OnDuplicate = "last") -> None:
            with QuorWriter(ours, on_duplicate=on_duplicate) as writer:
                writer.add_many_raw(shuffled)

        def add_loop() -> None:
            with QuorWriter(ours) as writer:
                add = writer.add
                for record, key in zip(records, keys, strict=True):
                    add(record, key)

        figures = {
            "cdbx make": best_s(cdbx_make, args.reps),
            "QuorWriter.add loop": best_s(add_loop, args.reps),
            "QuorWriter.add_many": best_s(add_many, args.reps),
            "QuorWriter.add_many_raw": best_s(add_many_raw, args.reps),
            "add_many_raw, random order": best_s(add_many_raw_shuffled, args.reps),
            '  on_duplicate="first"': best_s(lambda: add_many_raw_shuffled("first"), args.reps),
            '  on_duplicate="error"': best_s(lambda: add_many_raw_shuffled("error"), args.reps),
        }
    base = figures["cdbx make"]
    print(f"{args.n:,} keys, best of {args.reps}, files in {args.dir or tempfile.gettempdir()}")
    for name, seconds in figures.items():
        print(f"{name:<28} {seconds * 1e3:9.1f} ms   {seconds / base:5.2f}x cdbx")
    return 0


if __name__ == "__main__":
    sys.exit(main())
