"""`quordb build` from the command line against sqlite3's `.import` and DuckDB, on a large
real list: Debian's Contents index (every file path of the archive, with its packages).

    python bench/build_inputs.py [--reps 3] [--dir /dev/shm] [--python PYTHON] [--before PYTHON]
                                 [--index FILE]

The index is the one apt fetches once apt-file is installed (`bash scripts/bench.sh --inputs`
installs it and sqlite3, and runs this). It is written once, untimed, as CSV (path,packages)
and as JSON Lines ({"path": ..., "packages": ...}); every command then builds a file keyed by
path from one of them, in a child process, as a user runs it. Each figure is the best of
--reps runs, taken in rounds of one run of every command, so that a load that comes and goes
weighs on all alike: wall time and the CPU time of the child (all its threads), which a busy
machine inflates less. --python runs `quordb` from another interpreter, e.g. another
checkout's venv; --before adds the JSON Lines and CSV builds of another one, to compare in the
same run; --index reads a Contents index kept elsewhere (compressed as apt keeps it, or plain).
"""

from __future__ import annotations

import argparse
import csv
import glob
import json
import os
import resource
import shutil
import subprocess
import sys
import tempfile
import time

APT_LISTS = "/var/lib/apt/lists"
APT_HELPER = "/usr/lib/apt/apt-helper"

# The strict reader alone, as a user without pyarrow has it.
STRICT_CSV = (
    "import sys; from quordb import _csv_rows; _csv_rows._arrow = lambda: None; "
    "from quordb.cli import main; sys.exit(main(sys.argv[1:]))"
)
DUCKDB = (
    "import sys, duckdb; duckdb.connect(sys.argv[1]).execute("
    "f'CREATE TABLE t AS SELECT * FROM {sys.argv[3]}(?)', [sys.argv[2]])"
)


def contents_index() -> str:
    """The largest Contents index for this machine's architecture among apt's lists."""
    arch = subprocess.run(
        ["dpkg", "--print-architecture"], capture_output=True, text=True, check=True
    ).stdout.strip()
    found = glob.glob(os.path.join(APT_LISTS, f"*_Contents-{arch}*"))
    if not found:
        sys.exit(
            f"no Contents-{arch} index in {APT_LISTS}: install apt-file and run apt-get update "
            "(bash scripts/bench.sh --inputs does both)"
        )
    return max(found, key=os.path.getsize)


def write_inputs(index: str, out_dir: str) -> tuple[str, str, int]:
    """The index as CSV and JSON Lines in *out_dir*; returns both paths and the row count."""
    text = subprocess.run([APT_HELPER, "cat-file", index], capture_output=True, check=True).stdout
    csv_path = os.path.join(out_dir, "contents.csv")
    jsonl_path = os.path.join(out_dir, "contents.jsonl")
    rows = 0
    with (
        open(csv_path, "w", newline="", encoding="utf-8", errors="surrogateescape") as c,
        open(jsonl_path, "w", encoding="utf-8", errors="surrogateescape") as j,
    ):
        writer = csv.writer(c, lineterminator="\n")
        writer.writerow(["path", "packages"])
        for line in text.decode("utf-8", "surrogateescape").splitlines():
            # "PATH   SECTION/PACKAGE[,SECTION/PACKAGE...]": a path may hold spaces.
            path, _, packages = line.rstrip().rpartition(" ")
            path = path.rstrip()
            if not path:
                continue
            writer.writerow([path, packages])
            j.write(json.dumps({"path": path, "packages": packages}, ensure_ascii=False) + "\n")
            rows += 1
    return csv_path, jsonl_path, rows


def run(command: list[str], output: str) -> tuple[float, float]:
    """Wall and CPU seconds of one run of *command*, which writes *output*."""
    remove(output)
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    started = time.perf_counter()
    subprocess.run(command, check=True, stdout=subprocess.DEVNULL)
    wall = time.perf_counter() - started
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    return wall, (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)


def path_size(path: str) -> int:
    if os.path.isdir(path):
        return sum(e.stat().st_size for e in os.scandir(path) if e.is_file())
    return os.path.getsize(path)


def remove(path: str) -> None:
    if os.path.isdir(path):
        shutil.rmtree(path)
    elif os.path.exists(path):
        os.remove(path)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--reps", type=int, default=3, help="runs per figure, best kept")
    parser.add_argument("--dir", default="/dev/shm", help="where inputs and outputs go")
    parser.add_argument("--python", default=sys.executable, help="interpreter that runs quordb")
    parser.add_argument("--before", help="an interpreter whose quordb to compare with")
    parser.add_argument("--index", help="a Contents index (default: the largest of apt's lists)")
    args = parser.parse_args()

    index = args.index or contents_index()
    work = tempfile.mkdtemp(prefix="quordb-inputs-", dir=args.dir)
    try:
        csv_path, jsonl_path, rows = write_inputs(index, work)
        out = os.path.join(work, "out")
        quordb = [args.python, "-m", "quordb", "build", out]
        cases: list[tuple[str, list[str], str]] = [
            ("quordb build, JSON Lines", [*quordb, jsonl_path, "--key", "path"], jsonl_path),
            ("quordb build, CSV", [*quordb, csv_path, "--key", "path"], csv_path),
            (
                "quordb build, CSV, --drop-fields path",
                [*quordb, csv_path, "--key", "path", "--drop-fields", "path"],
                csv_path,
            ),
            (
                "quordb build, CSV, csv module",
                [args.python, "-c", STRICT_CSV, "build", out, csv_path, "--key", "path"],
                csv_path,
            ),
        ]
        if args.before is not None:
            before = [args.before, "-m", "quordb", "build", out]
            cases += [
                ("before: JSON Lines", [*before, jsonl_path, "--key", "path"], jsonl_path),
                ("before: CSV", [*before, csv_path, "--key", "path"], csv_path),
            ]
        sqlite3 = shutil.which("sqlite3")
        if sqlite3 is not None:
            cases += [
                ("sqlite3 .import", [sqlite3, out, f".import --csv {csv_path} t"], csv_path),
                (
                    "sqlite3 .import, path primary key",
                    [
                        sqlite3,
                        out,
                        "CREATE TABLE t(path TEXT PRIMARY KEY, packages TEXT) WITHOUT ROWID",
                        f".import --csv --skip 1 {csv_path} t",
                    ],
                    csv_path,
                ),
            ]
        has_duckdb = subprocess.run([sys.executable, "-c", "import duckdb"], check=False)
        if has_duckdb.returncode == 0:
            cases += [
                (
                    "DuckDB read_csv",
                    [sys.executable, "-c", DUCKDB, out, csv_path, "read_csv"],
                    csv_path,
                ),
                (
                    "DuckDB read_json",
                    [sys.executable, "-c", DUCKDB, out, jsonl_path, "read_json"],
                    jsonl_path,
                ),
            ]
        print(
            f"{rows:,} rows of {os.path.basename(index)}; CSV {path_size(csv_path) / 1e6:.1f} MB, "
            f"JSON Lines {path_size(jsonl_path) / 1e6:.1f} MB; best of {args.reps}; "
            f"load average {os.getloadavg()[0]:.1f} on {os.cpu_count()} cores"
        )
        best: dict[str, tuple[float, float, int]] = {}
        skipped: set[str] = set()
        for round_no in range(args.reps):
            print(f"round {round_no + 1} of {args.reps}", file=sys.stderr)
            for name, command, _ in cases:
                if name in skipped:
                    continue
                try:
                    wall, cpu = run(command, out)
                except subprocess.CalledProcessError as exc:  # e.g. an older quordb
                    print(f"skipped {name}: exit status {exc.returncode}", file=sys.stderr)
                    skipped.add(name)
                    continue
                old_wall, old_cpu, _ = best.get(name, (wall, cpu, 0))
                best[name] = (min(wall, old_wall), min(cpu, old_cpu), path_size(out))
        remove(out)
        results = [
            (name, *best[name], path_size(source)) for name, _, source in cases if name in best
        ]
        print(f"load average after: {os.getloadavg()[0]:.1f}\n")
        reference = next((r[1] for r in results if r[0] == "sqlite3 .import"), None)
        header = f"{'command':<40} {'wall s':>7} {'CPU s':>7} {'rows/s':>11} {'MB/s':>7} "
        header += f"{'file MB':>8} {'x sqlite3':>9}"
        print(header)
        for name, wall, cpu, size, source_size in results:
            ratio = f"{wall / reference:9.2f}" if reference else f"{'-':>9}"
            print(
                f"{name:<40} {wall:7.2f} {cpu:7.2f} {rows / wall:11,.0f} "
                f"{source_size / wall / 1e6:7.1f} {size / 1e6:8.1f} {ratio}"
            )
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
