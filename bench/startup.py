#!/usr/bin/env python3
"""Start-up costs: `import quordb` against peers, and one `quordb get` against the sqlite3 CLI.

    python bench/startup.py [--n N] [--runs R] [--dir DIR]

Every figure is the median of R fresh processes (default 20):

- import: the time `-X importtime` gives the module itself (its cumulative line), for quordb
  and for each peer that is installed (sqlite3, lmdb, cdbx);
- `quordb get`: the wall time of `quordb get --no-verify DB KEY` (and without --no-verify,
  and with 100 keys on standard input) on run.py's *unique* set of N keys (default 1 000 000),
  next to `python -c "import quordb"`, a bare `python -c pass`, and the `sqlite3` command-line
  shell answering the same key from a table of the same pairs.
"""

from __future__ import annotations

import argparse
import os
import shutil
import sqlite3
import statistics
import subprocess
import sys
import tempfile
from time import perf_counter_ns

import data
from verify import build

PEERS = ("quordb", "sqlite3", "lmdb", "cdbx")


def import_ms(module: str, runs: int) -> float | None:
    """Median cumulative import time of *module* in a fresh interpreter, or None if absent."""
    times = []
    for _ in range(runs):
        result = subprocess.run(
            [sys.executable, "-X", "importtime", "-c", f"import {module}"],
            capture_output=True,
            text=True,
            check=False,
        )
        if result.returncode != 0:
            return None
        last = [line for line in result.stderr.splitlines() if line.endswith(f"| {module}")]
        times.append(int(last[-1].split("|")[1]) / 1000)
    return statistics.median(times)


def wall_ms(command: list[str], runs: int, stdin: bytes | None = None) -> float | None:
    """Median wall time of *command* run to completion, its output discarded; None if it fails
    (as an older quordb does for a command it lacks)."""
    times = []
    for _ in range(runs):
        start = perf_counter_ns()
        result = subprocess.run(
            command, input=stdin, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=False
        )
        if result.returncode != 0:
            return None
        times.append((perf_counter_ns() - start) / 1e6)
    return statistics.median(times)


def sqlite_copy(path: str, dataset: data.DataSet) -> None:
    with sqlite3.connect(path) as db:
        db.execute("CREATE TABLE kv (k TEXT PRIMARY KEY, v BLOB) WITHOUT ROWID")
        values = dataset.values()
        db.executemany("INSERT INTO kv VALUES (?, ?)", zip(dataset.keys, values, strict=True))
    db.close()


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--n", type=int, default=1_000_000)
    parser.add_argument("--runs", type=int, default=20)
    parser.add_argument("--dir", default="/dev/shm" if os.path.isdir("/dev/shm") else None)
    args = parser.parse_args()

    print(f"import, median of {args.runs} fresh processes (-X importtime, cumulative):")
    for module in PEERS:
        ms = import_ms(module, args.runs)
        print(f"  {module:<10}" + ("not installed" if ms is None else f"{ms:6.1f} ms"))

    dataset = data.make_dataset(args.n)
    key = dataset.hits[0]
    keys = "".join(f"{k}\n" for k in dataset.hits[:100]).encode()
    python = sys.executable
    cli = [python, "-m", "quordb"]
    with tempfile.TemporaryDirectory(dir=args.dir) as where:
        path = os.path.join(where, "startup.qrdb")
        build(path, dataset)
        sqlite_path = os.path.join(where, "startup.sqlite")
        sqlite_copy(sqlite_path, dataset)
        rows = [
            ("python -c pass", [python, "-c", "pass"], None),
            ("python -c 'import quordb'", [python, "-c", "import quordb"], None),
            ("quordb get --no-verify DB KEY", [*cli, "get", "--no-verify", path, key], None),
            ("quordb get DB KEY", [*cli, "get", path, key], None),
            (
                "quordb get --no-verify DB - (100 keys)",
                [*cli, "get", "--no-verify", path, "-"],
                keys,
            ),
        ]
        shell = shutil.which("sqlite3")
        if shell is not None:
            query = f"SELECT v FROM kv WHERE k = '{key}'"
            rows.append(("sqlite3 DB 'SELECT ...'", [shell, sqlite_path, query], None))
        print(f"wall time, median of {args.runs} runs, {args.n} keys in {where}:")
        for name, command, stdin in rows:
            ms = wall_ms(command, args.runs, stdin)
            print(f"  {name:<40}" + ("fails" if ms is None else f"{ms:7.1f} ms"))
    return 0


if __name__ == "__main__":
    sys.exit(main())
