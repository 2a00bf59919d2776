"""Lookup joins: `quordb.dask.lookup` against Dask's own merge and a per-row `get`, and
`lookup_frame` in one process.

On a `LocalCluster` of W worker processes (one thread each) it builds a shard set of N user
records (bench/data.py, keyed `user:0000000042`) with `to_quordb`, then joins a frame of R
orders, in P partitions, whose `user` column names a record (one in ten names none), to the
records' `name`, `age` and `city`, three ways:

- `quordb.dask.lookup` against the shard set;
- `dask.dataframe.merge` (how="left") with the same records as a Dask DataFrame, both frames
  held in the workers' memory first, as the orders are for every way;
- `map_partitions` calling `ShardedReader.get` for each row (one reader per worker).

Each result is reduced on the workers (row count and sum of ages, which must agree), and each
way is timed from submission to the reduced answer. A thread in every worker samples its
resident memory; the peak above what it held when the way started is printed beside the size
of one joined partition (private memory: the mapped shards' pages are shared). The lookup
runs twice: first opening one reader per worker (the shards carry their lookup tables, so
opening maps them and loads nothing), then with the readers open. The reduce sums the ages as
each way gives them, nulls skipped without a copy: typed columns from the lookup and the
merge, Python objects from a `get` per row, as code written that way would hold them. Then,
in one process, `lookup_frame` over M rows of a file of M records against
``frame[on].map(db.get)``, with the three fields, whole objects and stored bytes.

    python bench/join.py --n 10000000 --rows 10000000 --workers 2
"""

from __future__ import annotations

import argparse
import os
import random
import shutil
import sys
import tempfile
import threading
import time
from collections import Counter

import dask.bag
import dask.dataframe as dd
import data
import distributed
import numpy as np
import pandas as pd
import psutil
import pyarrow as pa

import quordb
from quordb._reader_cache import shared_reader
from quordb.dask import lookup, to_quordb

FIELDS = ["name", "age", "city"]
MISS_SHARE = 0.1


def log(message: str) -> None:
    print(message, file=sys.stderr, flush=True)


def record_key(record: dict) -> str:
    return data.ascii_key(record["id"])


def key_column(numbers: np.ndarray) -> pd.Series:
    keys = [data.ascii_key(int(i)) for i in numbers]
    return pd.Series(keys, dtype=pd.ArrowDtype(pa.string()))


def orders_partition(part: int, rows: int, n: int) -> pd.DataFrame:
    """Orders of one partition: numbers past N name no record."""
    numbers = np.random.default_rng(part).integers(0, int(n * (1 + MISS_SHARE)), rows)
    return pd.DataFrame(
        {"order": np.arange(part * rows, (part + 1) * rows), "user": key_column(numbers)}
    )


def users_partition(bounds: tuple[int, int]) -> pd.DataFrame:
    """The records start..stop as a frame, for the merge."""
    start, stop = bounds
    records = [data.user_record(i) for i in range(start, stop)]
    return pd.DataFrame(
        {
            "user": key_column(np.arange(start, stop)),
            "name": pd.Series([r["name"] for r in records], dtype=pd.ArrowDtype(pa.string())),
            "age": pd.Series([r["age"] for r in records], dtype=pd.ArrowDtype(pa.int64())),
            "city": pd.Series([r["city"] for r in records], dtype=pd.ArrowDtype(pa.string())),
        }
    )


def per_row_get(part: pd.DataFrame, path: str) -> pd.DataFrame:
    get = shared_reader(path).get
    found = [get(key) for key in part["user"]]
    added = {field: [None if obj is None else obj[field] for obj in found] for field in FIELDS}
    return part.assign(**added)


def summary(part: pd.DataFrame) -> pd.DataFrame:
    return pd.DataFrame({"rows": [len(part)], "ages": [int(part["age"].sum())]})


# --- memory sampled on the workers ------------------------------------------------------

_peak = {"rss": 0, "running": False}


def private_memory(process: psutil.Process) -> int:
    """Resident memory that is the process's own: the pages of the mapped shards it reads
    are the page cache's, shared by every process, and not counted."""
    info = process.memory_info()
    return info.rss - info.shared


def start_sampler() -> None:
    if _peak["running"]:
        return
    _peak["running"] = True
    process = psutil.Process()

    def sample() -> None:
        while True:
            _peak["rss"] = max(_peak["rss"], private_memory(process))
            time.sleep(0.02)

    threading.Thread(target=sample, daemon=True).start()


def take_peak() -> tuple[int, int]:
    """(peak since the last take, now); the peak starts again from now."""
    now = private_memory(psutil.Process())
    peak, _peak["rss"] = max(_peak["rss"], now), now
    return peak, now


def timed(client, name: str, frame) -> tuple[float, tuple[int, int]]:
    reduced = frame.map_partitions(summary, meta={"rows": "int64", "ages": "int64"})
    before = {worker: now for worker, (_peak, now) in client.run(take_peak).items()}
    start = time.perf_counter()
    answer = reduced.compute()
    seconds = time.perf_counter() - start
    peaks = client.run(take_peak)
    growth = max(peak - before.get(worker, 0) for worker, (peak, _now) in peaks.items())
    result = (int(answer["rows"].sum()), int(answer["ages"].sum()))
    log(f"{name:<28} {seconds:8.2f} s   peak private memory growth {growth / 2**20:6.0f} MiB")
    return seconds, result


def best(run, reps: int) -> float:
    times = []
    for _ in range(reps):
        start = time.perf_counter()
        run()
        times.append(time.perf_counter() - start)
    return min(times)


def single_process(rows: int, directory: str, reps: int) -> None:
    path = os.path.join(directory, "single.qrdb")
    writer = quordb.QuorWriter(path)
    for i in range(rows):
        writer.add(data.user_record(i), data.ascii_key(i))
    writer.build()
    frame = orders_partition(0, rows, rows)
    frame["user"] = frame["user"].astype(object)  # as most pandas code holds text
    log(f"one process, {rows:,} rows against a file of {rows:,} records (best of {reps})")
    with quordb.QuorReader(path) as db:
        per_row = best(lambda: frame["user"].map(db.get), reps)
        fields = best(lambda: db.lookup_frame(frame, "user", columns=FIELDS), reps)
        whole = best(lambda: db.lookup_frame(frame, "user"), reps)
        stored = best(lambda: db.lookup_frame(frame, "user", raw=True), reps)
    log(f"  frame[on].map(db.get)           {per_row:7.2f} s")
    log(f"  lookup_frame, {len(FIELDS)} fields         {fields:7.2f} s   {per_row / fields:5.1f}x")
    log(f"  lookup_frame, whole objects     {whole:7.2f} s   {per_row / whole:5.1f}x")
    log(f"  lookup_frame, raw bytes         {stored:7.2f} s   {per_row / stored:5.1f}x")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--n", type=int, default=1_000_000, help="records in the shard set")
    parser.add_argument("--rows", type=int, default=1_000_000, help="orders joined")
    parser.add_argument("--shards", type=int, default=16)
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--partitions", type=int, default=20, help="partitions of each frame")
    parser.add_argument("--single-rows", type=int, default=1_000_000)
    parser.add_argument("--reps", type=int, default=3)
    parser.add_argument("--skip", default="", help="ways to leave out: merge,get")
    parser.add_argument("--dir", help="where the files go (default: a temporary directory)")
    args = parser.parse_args()
    skip = set(filter(None, args.skip.split(",")))
    if args.dir:
        os.makedirs(args.dir, exist_ok=True)
    root = tempfile.mkdtemp(prefix="quordb-join-", dir=args.dir)
    shard_set = os.path.join(root, "users")
    rows_each = args.rows // args.partitions
    try:
        log(f"files in {root}; load average {os.getloadavg()[0]:.1f} on {os.cpu_count()} cores")
        with (
            distributed.LocalCluster(
                n_workers=args.workers,
                threads_per_worker=1,
                processes=True,
                dashboard_address=None,
                silence_logs=40,
                local_directory=root,
            ) as cluster,
            distributed.Client(cluster) as client,
        ):
            start = time.perf_counter()
            records = dask.bag.range(args.n, npartitions=4 * args.shards).map(data.user_record)
            to_quordb(records, shard_set, key=record_key, shards=args.shards)
            log(f"shard set of {args.n:,} records built in {time.perf_counter() - start:.1f} s")

            # The orders first and alone: persisted beside the users, they went 9 or 10 of 12
            # partitions to one worker, which then ran most of every way's tasks.
            orders = dd.from_map(
                orders_partition, range(args.partitions), rows=rows_each, n=args.n
            ).persist()
            distributed.wait(orders)
            step = -(-args.n // args.partitions)
            bounds = [(s, min(s + step, args.n)) for s in range(0, args.n, step)]
            users = dd.from_map(users_partition, bounds).persist() if "merge" not in skip else None
            if users is not None:
                distributed.wait(users)
            placed = client.who_has(orders)
            counts = sorted(Counter(w for workers in placed.values() for w in workers).values())
            log(f"orders' partitions per worker: {counts}")
            client.run(start_sampler)
            part = orders.partitions[0].compute()
            joined_part = quordb.open(shard_set).lookup_frame(part, "user", columns=FIELDS)
            log(
                f"{args.rows:,} orders in {args.partitions} partitions; one joined partition "
                f"holds {joined_part.memory_usage(deep=True).sum() / 2**20:.0f} MiB"
            )

            joined = lookup(orders, "user", shard_set, columns=FIELDS)
            # The first join opens a reader per worker; the second finds them open.
            ways = {"quordb.dask.lookup": joined, "  again, readers open": joined}
            if users is not None:
                ways["dask merge"] = orders.merge(users, on="user", how="left")
            if "get" not in skip:
                meta = orders._meta.assign(**{f: pd.Series([], dtype=object) for f in FIELDS})
                ways["map_partitions + get"] = orders.map_partitions(
                    per_row_get, shard_set, meta=meta
                )
            results = {name: timed(client, name, frame) for name, frame in ways.items()}
            answers = {result for _seconds, result in results.values()}
            assert len(answers) == 1, f"the ways disagree: {results}"
            ours = results["quordb.dask.lookup"][0]
            for name, (seconds, _result) in results.items():
                if not name.startswith(("quordb", " ")):
                    log(f"  lookup is {seconds / ours:.1f}x faster than {name}")
        single_process(args.single_rows, root, args.reps)
    finally:
        shutil.rmtree(root, ignore_errors=True)
    return 0


if __name__ == "__main__":
    random.seed(1)
    sys.exit(main())
