"""Shard sets: a build on a Dask LocalCluster against one process, and sharded reads.

Builds N user records (the records of bench/data.py, keyed `user:0000000042` or, for one key in
ten, with a multi-byte prefix) three ways and times each from the record numbers to the
published files:

- one process, one streaming `QuorWriter` (the baseline);
- `quordb.dask.to_quordb` on a `LocalCluster` of W worker processes, one thread each, into S
  shards (cluster start-up not counted; records are made on the workers);
- with `--local-sharded`, `quordb.ShardedWriter` in one process into the same S shards.

Then it opens the single file and the Dask-built set and times lookups of the same random hits:
`get` one key at a time and `get_many` in batches, best of --reps.

    python bench/sharded.py --n 10000000 --shards 16 --workers 2
"""

from __future__ import annotations

import argparse
import os
import random
import shutil
import sys
import tempfile
import time

import dask.bag
import data
import distributed

import quordb
from quordb.dask import to_quordb


def key_for(i: int) -> str:
    return data.multibyte_key(i) if i % 10 == 0 else data.ascii_key(i)


def record_key(record: dict) -> str:
    return key_for(record["id"])


def build_single(n: int, path: str) -> tuple[float, str]:
    start = time.perf_counter()
    writer = quordb.QuorWriter(path)
    how = "streaming" if getattr(writer, "streaming", False) else "in memory"
    for i in range(n):
        writer.add(data.user_record(i), key_for(i))
    writer.build()
    return time.perf_counter() - start, how


def build_local_sharded(n: int, directory: str, shards: int) -> float:
    start = time.perf_counter()
    with quordb.ShardedWriter(directory, shards=shards) as writer:
        for i in range(n):
            writer.add(data.user_record(i), key_for(i))
    return time.perf_counter() - start


def build_dask(n: int, directory: str, shards: int, partitions: int) -> float:
    records = dask.bag.range(n, npartitions=partitions).map(data.user_record)
    start = time.perf_counter()
    to_quordb(records, directory, key=record_key, shards=shards)
    return time.perf_counter() - start


def best_ns_per_key(run, keys: list[str], reps: int) -> float:
    best = float("inf")
    for _ in range(reps):
        start = time.perf_counter_ns()
        run(keys)
        best = min(best, time.perf_counter_ns() - start)
    return best / len(keys)


def get_loop(reader):
    def run(keys):
        get = reader.get
        for key in keys:
            get(key)

    return run


def get_many_batches(reader, batch: int):
    def run(keys):
        for at in range(0, len(keys), batch):
            reader.get_many(keys[at : at + batch])

    return run


def log(message: str) -> None:
    print(message, file=sys.stderr, flush=True)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--n", type=int, default=1_000_000, help="records (one key each)")
    parser.add_argument("--shards", type=int, default=16)
    parser.add_argument("--workers", type=int, default=2, help="Dask worker processes")
    parser.add_argument("--partitions", type=int, default=0, help="input partitions (4 x shards)")
    parser.add_argument("--lookups", type=int, default=200_000)
    parser.add_argument("--batch", type=int, default=1000, help="keys per get_many call")
    parser.add_argument("--reps", type=int, default=3)
    parser.add_argument("--local-sharded", action="store_true", help="also time ShardedWriter")
    parser.add_argument("--dir", help="where the files go (default: a temporary directory)")
    args = parser.parse_args()
    partitions = args.partitions or 4 * args.shards

    root = tempfile.mkdtemp(prefix="quordb-sharded-", dir=args.dir)
    single, on_dask, local = (os.path.join(root, name) for name in ("one.qrdb", "dask", "local"))
    try:
        log(f"files in {root}; load average {os.getloadavg()[0]:.1f} on {os.cpu_count()} cores")
        log(f"one process: {args.n:,} records")
        single_s, how = build_single(args.n, single)
        local_s = None
        if args.local_sharded:
            log("ShardedWriter")
            local_s = build_local_sharded(args.n, local, args.shards)
        with (
            distributed.LocalCluster(
                n_workers=args.workers,
                threads_per_worker=1,
                processes=True,
                dashboard_address=None,
                silence_logs=40,
                local_directory=root,
            ) as cluster,
            distributed.Client(cluster),
        ):
            log(f"Dask: {args.workers} workers, {partitions} partitions, {args.shards} shards")
            dask_s = build_dask(args.n, on_dask, args.shards, partitions)

        hits = random.Random(1).sample(range(args.n), min(args.lookups, args.n))
        keys = [key_for(i) for i in hits]
        with quordb.QuorReader(single) as one, quordb.ShardedReader(on_dask) as sharded:
            assert len(one) == len(sharded) == args.n
            assert one.get_many(keys[:1000]) == sharded.get_many(keys[:1000])
            reads = [
                (
                    "get, ns/key",
                    *(best_ns_per_key(get_loop(r), keys, args.reps) for r in (one, sharded)),
                ),
                (
                    f"get_many x{args.batch}, ns/key",
                    *(
                        best_ns_per_key(get_many_batches(r, args.batch), keys, args.reps)
                        for r in (one, sharded)
                    ),
                ),
            ]
            size = os.path.getsize(single)
            shard_size = round(sharded.stats()["file_size_kb"] * 1024)
    finally:
        shutil.rmtree(root, ignore_errors=True)

    print(
        f"N = {args.n:,} records, {args.shards} shards, {args.workers} Dask workers, "
        f"load average {os.getloadavg()[0]:.1f} on {os.cpu_count()} cores"
    )
    print(f"{'':34}{'one process':>14}{'sharded':>14}{'sharded/one':>14}")
    print(
        f"{'build (' + how + ' writer vs Dask), s':34}{single_s:14.1f}{dask_s:14.1f}"
        f"{dask_s / single_s:14.2f}"
    )
    if local_s is not None:
        print(
            f"{'build (ShardedWriter, 1 process), s':34}{single_s:14.1f}{local_s:14.1f}"
            f"{local_s / single_s:14.2f}"
        )
    print(f"{'size, MB':34}{size / 1e6:14.1f}{shard_size / 1e6:14.1f}{shard_size / size:14.2f}")
    for name, one_ns, sharded_ns in reads:
        print(f"{name:34}{one_ns:14.0f}{sharded_ns:14.0f}{sharded_ns / one_ns:14.2f}")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
