"""Batched lookups on a shard set: `ShardedReader.get_many_raw` and `exists_many` against the
same batch on one file holding every record.

Builds N user records (bench/data.py, keyed `user:0000000042`) into one file and into a set of
S shards in one process, then looks up batches of B keys in shuffled order, one in ten naming
no record, and prints the best of --reps runs in nanoseconds a key. The one-file figure is the
floor a set can reach: the same lookups, without the routing.

    python bench/sharded_batch.py --n 1000000 --shards 16 --batch 100000
"""

from __future__ import annotations

import argparse
import os
import random
import shutil
import sys
import tempfile
import time

import data

import quordb

MISS_SHARE = 0.1


def log(message: str) -> None:
    print(message, file=sys.stderr, flush=True)


def best_ns_per_key(run, keys: list[str], reps: int) -> float:
    times = []
    for _ in range(reps):
        start = time.perf_counter()
        run(keys)
        times.append(time.perf_counter() - start)
    return min(times) / len(keys) * 1e9


def build(n: int, root: str, shards: int) -> tuple[str, str]:
    single, sharded = os.path.join(root, "one.qrdb"), os.path.join(root, "set")
    writer = quordb.QuorWriter(single)
    with quordb.ShardedWriter(sharded, shards=shards) as sharded_writer:
        for i in range(n):
            record = data.user_record(i)
            writer.add(record, data.ascii_key(i))
            sharded_writer.add(record, data.ascii_key(i))
    writer.build()
    return single, sharded


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--n", type=int, default=1_000_000, help="records stored")
    parser.add_argument("--shards", type=int, default=16)
    parser.add_argument("--batch", type=int, default=100_000, help="keys per call")
    parser.add_argument("--reps", type=int, default=7)
    parser.add_argument("--dir", help="where the files go (default: a temporary directory)")
    args = parser.parse_args()
    root = tempfile.mkdtemp(prefix="quordb-sharded-batch-", dir=args.dir)
    try:
        log(f"load average {os.getloadavg()[0]:.1f} on {os.cpu_count()} cores")
        start = time.perf_counter()
        single, sharded = build(args.n, root, args.shards)
        log(
            f"{args.n:,} records, one file and {args.shards} shards, in "
            f"{time.perf_counter() - start:.1f} s"
        )
        rng = random.Random(1)
        top = int(args.n * (1 + MISS_SHARE))
        keys = [data.ascii_key(rng.randrange(top)) for _ in range(args.batch)]
        with quordb.QuorReader(single) as one, quordb.ShardedReader(sharded) as many:
            assert one.get_many_raw(keys) == many.get_many_raw(keys)
            log(f"{args.batch:,} keys a call, ns a key (best of {args.reps})")
            for name in ("get_many_raw", "exists_many"):
                alone = best_ns_per_key(getattr(one, name), keys, args.reps)
                spread = best_ns_per_key(getattr(many, name), keys, args.reps)
                log(f"  {name:<13} one file {alone:7.0f}   {args.shards} shards {spread:7.0f}")
    finally:
        shutil.rmtree(root, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
