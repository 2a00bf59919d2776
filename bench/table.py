"""The lookup table stored in the file: open time, private memory, lookups, verified open,
build cost and size, each against the same content without a table.

    python bench/table.py --keys 1000000 10000000 [--dir /tmp]

Each open is measured in a fresh process, on files already in the page cache.
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import tempfile
import time

CHILD = r"""
import json, random, sys, time
from quordb._native import Reader

def private_kib():
    fields = {}
    with open("/proc/self/smaps_rollup") as f:
        for line in f:
            name, _, rest = line.partition(":")
            if name in ("Private_Clean", "Private_Dirty", "Anonymous"):
                fields[name] = int(rest.split()[0])
    return fields

path, verify, n = sys.argv[1], sys.argv[2] == "1", int(sys.argv[3])
before = private_kib()
t0 = time.perf_counter()
reader = Reader(path, verify)
opened = time.perf_counter() - t0
rng = random.Random(1)
probes = [f"key:{rng.randrange(n):010d}" for _ in range(1000)]
for key in probes:
    reader.get_raw(key)
after = private_kib()
t0 = time.perf_counter()
first = next(reader.scan_prefix("keys", "key:00000", chunk=1))
prefix_first = time.perf_counter() - t0
hits = [f"key:{rng.randrange(n):010d}" for _ in range(200000)]
get = reader.get_raw
t0 = time.perf_counter()
for key in hits:
    get(key)
per_hit = (time.perf_counter() - t0) / len(hits)
print(json.dumps({
    "open_ms": opened * 1e3,
    "private_delta_kib": {k: after[k] - before.get(k, 0) for k in after},
    "get_raw_hit_ns": per_hit * 1e9,
    "prefix_first_ms": prefix_first * 1e3,
}))
"""


def build(path: str, n: int, table: bool) -> float:
    from quordb._native import StreamWriter

    writer = StreamWriter(path)
    value = b"\xc4\x5a" + b"\x00" * 90  # msgpack bin of 90 bytes: a 100-byte record
    for i in range(n):
        writer.add(value, f"key:{i:010d}")
    t0 = time.perf_counter()
    writer.finish(table=table)
    return time.perf_counter() - t0


def measure(path: str, verify: bool, n: int, runs: int = 3) -> dict:
    results = [
        json.loads(
            subprocess.run(
                [sys.executable, "-c", CHILD, path, "1" if verify else "0", str(n)],
                capture_output=True,
                text=True,
                check=True,
            ).stdout
        )
        for _ in range(runs)
    ]
    return min(results, key=lambda r: r["open_ms"])


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--keys", type=int, nargs="+", default=[1_000_000])
    parser.add_argument("--dir", default=tempfile.gettempdir())
    args = parser.parse_args()
    from quordb._native import table_info

    for n in args.keys:
        row = {"keys": n}
        for table in (True, False):
            path = os.path.join(args.dir, f"bench-table-{n}-{int(table)}.qrdb")
            row[f"finish_s_{'table' if table else 'plain'}"] = build(path, n, table)
            row[f"{'table' if table else 'plain'}"] = measure(path, False, n)
            row[f"{'table' if table else 'plain'}_verified"] = measure(path, True, n, runs=1)
            if table:
                info = table_info(path)
                row["table_bytes_per_key"] = info["table_bytes"] / n
            os.remove(path)
        print(json.dumps(row, indent=1))


if __name__ == "__main__":
    main()
