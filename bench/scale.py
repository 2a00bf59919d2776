#!/usr/bin/env python3
"""quordb at scale: builds and opens of 1 M, 10 M and 100 M keys.

    python bench/scale.py [--n 1000000,10000000,100000000] [--dir DIR] [--png docs/scale.png]

Keys are 16 bytes (the hex digits of a 64-bit permutation of the key number, so they arrive in
no order); payloads are 100 bytes of msgpack. For each size, in fresh subprocesses: the build
through `QuorWriter(path)` (streaming) and through `QuorWriter()` + `build(path)` (in memory),
each with its time (Python adds + the finishing call) and its peak RSS; the file size; open
time per key with verify on and off; the time of a `get_raw` hit and the RSS after open.
A size whose file or build does not fit the disk or the memory is skipped, and the table says
why. The curves go to a PNG (matplotlib) and the table to stdout as Markdown. Build times are
given as wall-clock time and as the process's CPU time (user + system), which a busy machine
inflates less.
"""

from __future__ import annotations

import argparse
import gc
import json
import os
import random
import shutil
import subprocess
import sys
import tempfile
import time

from run import machine_facts, mem_available, proc_status, reset_peak_rss

KEY_BYTES = 16
PAYLOAD_BYTES = 100
DEFAULT_SIZES = (1_000_000, 10_000_000, 100_000_000)
# Measured bytes per key of a build, with some margin, for deciding what fits.
STREAM_BYTES_PER_KEY = 2 * KEY_BYTES + 48
MEMORY_BYTES_PER_KEY = 230
MEMORY_WRITER_LIMIT = 16 << 30  # the in-memory writer is skipped above this estimate
FILE_BYTES_PER_KEY = 8 + PAYLOAD_BYTES + 10 + KEY_BYTES
TARGET_SLACK = 64 << 20
HITS = 200_000
MIB = 1 << 20


def key(i: int) -> str:
    # An odd multiplier permutes 64-bit numbers: every key is distinct.
    return f"{i * 0x9E3779B97F4A7C15 & 0xFFFF_FFFF_FFFF_FFFF:016x}"


def payloads() -> list[bytes]:
    """1024 distinct values that msgpack encodes in exactly PAYLOAD_BYTES bytes."""
    rng = random.Random(1)
    return [rng.randbytes(PAYLOAD_BYTES - 2) for _ in range(1024)]  # bin 8: 2-byte head


# --- children: one measurement each, in a fresh interpreter --------------------------------


def child_build(mode: str, n: int, path: str) -> dict:
    from quordb import QuorWriter

    values = payloads()
    gc.collect()
    gc.disable()
    hwm_reset = reset_peak_rss()
    base = proc_status()["VmRSS"]
    t0, c0 = time.perf_counter(), time.process_time()
    writer = QuorWriter(path) if mode == "stream" else QuorWriter()
    add = writer.add
    for i in range(n):
        add(values[i & 1023], key(i))
    t1 = time.perf_counter()
    writer.build(None if mode == "stream" else path)
    t2, c2 = time.perf_counter(), time.process_time()
    peak = proc_status()["VmHWM"]
    return {
        "adds_s": t1 - t0,
        "finish_s": t2 - t1,
        "cpu_s": c2 - c0,
        "peak": peak,
        "peak_over_start": peak - base if hwm_reset else None,
        "size": os.path.getsize(path),
    }


def child_open(n: int, path: str, reps: int) -> dict:
    from quordb._quordb import _QuorReader

    out: dict[str, float] = {}
    for verify in (False, True):
        best = float("inf")
        for _ in range(reps):
            gc.collect()
            t0 = time.perf_counter_ns()
            reader = _QuorReader(path, verify)
            best = min(best, time.perf_counter_ns() - t0)
            del reader
        out[f"open_{'verify' if verify else 'no_verify'}_ns_per_key"] = best / n
    gc.collect()
    before = proc_status()["VmRSS"]
    reader = _QuorReader(path, False)
    out["rss_after_open"] = proc_status()["VmRSS"]
    out["rss_added_by_open"] = out["rss_after_open"] - before
    rng = random.Random(2)
    hits = [key(rng.randrange(n)) for _ in range(min(HITS, n))]
    get_raw = reader.get_raw
    best = float("inf")
    for _ in range(reps):
        t0 = time.perf_counter_ns()
        for k in hits:
            get_raw(k)
        best = min(best, time.perf_counter_ns() - t0)
    out["hit_ns"] = best / len(hits)
    return out


def run_child(*args: str) -> dict:
    cmd = [sys.executable, os.path.abspath(__file__), "--child", *args]
    out = subprocess.run(cmd, check=True, capture_output=True, text=True)
    return json.loads(out.stdout.strip().splitlines()[-1])


# --- the parent ------------------------------------------------------------------------------


def log(message: str) -> None:
    print(f"[{time.strftime('%H:%M:%S')}] {message}", file=sys.stderr, flush=True)


def target_bytes(n: int) -> int:
    """The memory target of a streaming build of n keys."""
    return 2 * KEY_BYTES * n + 48 * n + TARGET_SLACK


def run_size(n: int, directory: str, reps: int) -> dict:
    row: dict = {"n": n, "target": target_bytes(n), "notes": []}
    file_estimate = FILE_BYTES_PER_KEY * n + 40
    free_disk = shutil.disk_usage(directory).free
    if free_disk < 1.1 * file_estimate:
        row["skipped"] = (
            f"needs ~{file_estimate / 2**30:.1f} GiB of disk, {free_disk / 2**30:.1f} free"
        )
        return row
    if mem_available() < STREAM_BYTES_PER_KEY * n + (256 << 20):
        row["skipped"] = f"needs ~{STREAM_BYTES_PER_KEY * n / 2**30:.1f} GiB of memory to build"
        return row
    path = os.path.join(directory, f"scale-{n}.qrdb")
    try:
        for mode in ("memory", "stream"):
            need = MEMORY_BYTES_PER_KEY * n
            if mode == "memory" and (need > MEMORY_WRITER_LIMIT or need > mem_available()):
                row["notes"].append(
                    f"in-memory writer skipped: it would need ~{need / 2**30:.0f} GiB"
                )
                continue
            log(f"{n:,} keys: {mode} build")
            row[mode] = run_child("build", mode, str(n), path)
            log(f"  {row[mode]}")
        row["size"] = row["stream"]["size"]
        log(f"{n:,} keys: open and lookups")
        row.update(run_child("open", str(n), path, str(reps)))
        log(f"  {row}")
    finally:
        if os.path.exists(path):
            os.remove(path)
    return row


def fmt_s(seconds: float | None) -> str:
    return "—" if seconds is None else f"{seconds:,.1f} s"


def fmt_mib(size: float | None) -> str:
    return "—" if size is None else f"{size / MIB:,.0f} MiB"


def table(rows: list[dict]) -> str:
    header = [
        "keys",
        "build, streaming: wall (adds + finish), CPU",
        "build, in memory: wall (adds + build), CPU",
        "peak RSS, streaming",
        "target",
        "peak RSS, in memory",
        "file",
        "open, verify off",
        "open, verify on",
        "get_raw hit",
        "RSS after open",
    ]
    lines = ["| " + " | ".join(header) + " |", "|" + "---:|" * len(header)]
    for row in rows:
        if "skipped" in row:
            lines.append(f"| {row['n']:,} | skipped: {row['skipped']} |" + " |" * (len(header) - 2))
            continue
        stream, memory = row["stream"], row.get("memory")

        def build(m: dict | None) -> str:
            if m is None:
                return "skipped"
            adds, finish, cpu = m["adds_s"], m["finish_s"], m["cpu_s"]
            return f"{adds + finish:,.1f} s ({adds:,.1f} + {finish:,.1f}), CPU {cpu:,.1f} s"

        lines.append(
            "| "
            + " | ".join(
                [
                    f"{row['n']:,}",
                    build(stream),
                    build(memory),
                    fmt_mib(stream["peak"]),
                    fmt_mib(row["target"]),
                    fmt_mib(memory["peak"]) if memory else "skipped",
                    fmt_mib(row["size"]),
                    f"{row['open_no_verify_ns_per_key']:.0f} ns/key",
                    f"{row['open_verify_ns_per_key']:.0f} ns/key",
                    f"{row['hit_ns'] / 1000:.2f} µs",
                    fmt_mib(row["rss_after_open"]),
                ]
            )
            + " |"
        )
    notes = [note for row in rows for note in row.get("notes", [])]
    return "\n".join(lines + [""] + [f"- {row_note}" for row_note in notes])


def plot(rows: list[dict], png: str) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    done = [r for r in rows if "skipped" not in r]
    ns = [r["n"] for r in done]
    fig, axes = plt.subplots(2, 2, figsize=(11, 8))

    def curve(ax, pairs, label, **style):
        points = [(x, y) for x, y in pairs if y is not None]
        if points:
            ax.plot(*zip(*points, strict=True), marker="o", label=label, **style)

    ax = axes[0][0]
    for mode, label in (("stream", "streaming"), ("memory", "in memory")):
        runs = [(r["n"], r.get(mode)) for r in done]
        curve(ax, [(n, m and m["adds_s"] + m["finish_s"]) for n, m in runs], f"{label}, wall")
        curve(ax, [(n, m and m["cpu_s"]) for n, m in runs], f"{label}, CPU", linestyle=":")
    ax.set(title="build time (adds + finish)", ylabel="s", yscale="log")
    ax = axes[0][1]
    for mode, label in (("stream", "streaming"), ("memory", "in memory")):
        curve(ax, [(r["n"], r[mode]["peak"] / 2**30 if mode in r else None) for r in done], label)
    curve(ax, [(n, target_bytes(n) / 2**30) for n in ns], "streaming target", linestyle="--")
    ax.set(title="build peak RSS", ylabel="GiB")
    ax = axes[1][0]
    curve(ax, [(r["n"], r["open_no_verify_ns_per_key"]) for r in done], "verify off")
    curve(ax, [(r["n"], r["open_verify_ns_per_key"]) for r in done], "verify on")
    ax.set(title="open time per key", ylabel="ns/key")
    ax = axes[1][1]
    curve(ax, [(r["n"], r["hit_ns"] / 1000) for r in done], "get_raw hit")
    ax.set(title="get_raw hit", ylabel="µs")
    for ax in axes.flat:
        ax.set_xscale("log")
        ax.set_xlabel("keys")
        ax.grid(True, alpha=0.3)
        ax.legend()
    fig.suptitle("quordb at scale: 16-byte keys, 100-byte payloads")
    fig.tight_layout()
    fig.savefig(png, dpi=90)


def main() -> int:
    if len(sys.argv) > 1 and sys.argv[1] == "--child":
        kind, *rest = sys.argv[2:]
        if kind == "build":
            result = child_build(rest[0], int(rest[1]), rest[2])
        else:
            result = child_open(int(rest[0]), rest[1], int(rest[2]))
        print(json.dumps(result))
        return 0
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--n", help="comma-separated key counts (default 1 M, 10 M, 100 M)")
    parser.add_argument("--dir", default=tempfile.gettempdir(), help="where the files go")
    parser.add_argument("--reps", type=int, default=3, help="repetitions of opens and lookups")
    parser.add_argument("--png", help="write the curves to this PNG (matplotlib)")
    parser.add_argument("--json", help="also write the figures as JSON")
    parser.add_argument(
        "--include",
        action="append",
        default=[],
        metavar="JSON",
        help="rows of an earlier run (its --json) to show first in the table and the curves",
    )
    args = parser.parse_args()
    sizes = [int(s.replace("_", "")) for s in args.n.split(",")] if args.n else DEFAULT_SIZES
    print(machine_facts(), flush=True)
    rows = []
    for earlier in args.include:
        with open(earlier) as f:
            rows.extend(json.load(f))
    for n in sizes:
        rows.append(run_size(n, args.dir, args.reps))
        print(table(rows[-1:]), flush=True)
    print()
    print(table(rows))
    if args.json:
        with open(args.json, "w") as f:
            json.dump(rows, f, indent=1)
    if args.png:
        plot(rows, args.png)
    return 0


if __name__ == "__main__":
    sys.exit(main())
