#!/usr/bin/env python3
"""The reader behind quordb.QuorReader (quordb._native.Reader): batches, lazy listings, ranges
and threads, against the single-call paths and peer stores.

    python bench/reader.py [--n N[,N...]] [--reps R] [--json out.json]

Rows (the data set of bench/run.py, unique objects, random lookup order):
- get_many_raw per key, in batches of 5 000, against a get_raw loop (ours and the specified
  reader's), an lmdb txn.get loop, dict.get with a bytes copy, and rocksdict's multi-get;
- a chunked items() walk against the eager items_raw() list, per entry and in peak memory
  (fresh subprocesses), and the cost of the first item;
- range() throughput over 100 000 keys;
- open (verify=True) and verify() of two different files on two threads against one thread.
"""

from __future__ import annotations

import argparse
import json
import os
import sys
import tempfile
import threading
import time
from functools import partial

import data
import peers
from run import MB, best_loop_ns, best_ns, fmt, log, machine_facts, pick_tmp_root, proc_status

BATCH = 5000


def batch_loop(get_many, keys):
    return get_many(keys)


def native_loop(handle, keys):
    get = handle.get_raw
    for k in keys:
        get(k)


def lookup_rows(ds, paths, reps):
    from quordb._native import Reader
    from quordb._quordb import _QuorReader

    rows = []
    native = Reader(paths[0], False)
    keys = ds.hits
    t = best_loop_ns(lambda h, ks: h.get_many_raw(ks), native, keys, reps, BATCH)
    batch_ns = t / len(keys)
    rows.append(("get_many_raw, batches of 5 000", "ns/key", batch_ns, None))
    peers_ns = {
        "Reader.get_raw loop": best_loop_ns(native_loop, native, keys, reps) / len(keys),
        "_QuorReader.get_raw loop": best_loop_ns(
            native_loop, _QuorReader(paths[0], False), keys, reps
        )
        / len(keys),
    }
    dict_store = peers.Dict()
    handle = dict_store.build(None, dict_store.prepare(ds))
    peers_ns["dict.get + bytes copy"] = best_loop_ns(dict_store.get_hits, handle, keys, reps) / len(
        keys
    )
    del handle
    bytes_keys = [k.encode() for k in keys]
    for cls, label, many in (
        (peers.Lmdb, "lmdb txn.get loop", None),
        (peers.Rocksdict, "rocksdict multi-get", lambda h, ks: h.get(ks)),
    ):
        store = peers.load_store(cls)
        if store.skipped:
            log(f"{cls.name}: {store.skipped}")
            continue
        path = paths[0] + "." + store.name
        store.build(path, store.prepare(ds))
        h = store.open(path)
        loop = store.get_hits if many is None else many
        peers_ns[label] = best_loop_ns(loop, h, bytes_keys, reps) / len(keys)
        store.close(h)
        peers.remove_path(path)
    for label, ns in peers_ns.items():
        rows.append(("", label, ns, batch_ns / ns))
    return rows


def listing_rows(n, paths, reps):
    from quordb import QuorReader
    from quordb._native import Reader
    from quordb._quordb import _QuorReader

    native = Reader(paths[0], False)
    eager = _QuorReader(paths[0], False)

    def walk_chunks():
        for _chunk in native.scan("items"):
            pass

    chunked = best_ns(walk_chunks, reps) / n
    full = best_ns(eager.items_raw, reps) / n
    reader = QuorReader(paths[0], False)
    first = best_ns(lambda: next(iter(reader.items())), reps)
    first_eager = best_ns(lambda: eager.items_raw()[0], 1)
    lo, hi = data.ascii_key(n // 3), data.ascii_key(n // 3 + 100_000)
    in_range = sum(map(len, native.scan("keys", lo, hi)))

    def walk_range():
        for _chunk in native.scan("items", lo, hi):
            pass

    def walk_range_decoded():
        for _item in reader.range(lo, hi):
            pass

    range_raw = best_ns(walk_range, reps) / in_range
    range_decoded = best_ns(walk_range_decoded, reps) / in_range
    # A list of decoded pairs takes about 800 bytes an entry: left out where it would not fit.
    kinds = ("lazy", "eager", "list") if n <= 2_000_000 else ("lazy", "eager")
    peaks = {kind: run_child("peak", kind, paths[0]) for kind in kinds}
    peaks.setdefault("list", float("nan"))
    return [
        ("items, chunked scan (raw)", "ns/entry", chunked, None),
        ("", "_QuorReader.items_raw()", full, chunked / full),
        ("first item: next(iter(items()))", "ms", (first) / 1e6, None),
        ("", "_QuorReader.items_raw()[0]", first_eager / 1e6, first / first_eager),
        ("range_raw over 100 000 keys", "M entries/s", 1e3 / range_raw, None),
        ("range() decoded, 100 000 keys", "M entries/s", 1e3 / range_decoded, None),
        ("peak RSS: iterate items()", "MB", peaks["lazy"] / MB, None),
        ("", "_QuorReader.items_raw()", peaks["eager"] / MB, peaks["lazy"] / peaks["eager"]),
        ("", "list(db.items())", peaks["list"] / MB, peaks["lazy"] / peaks["list"]),
    ]


def threaded(calls) -> int:
    threads = [threading.Thread(target=c) for c in calls]
    t0 = time.perf_counter_ns()
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return time.perf_counter_ns() - t0


def thread_rows(paths, reps):
    from quordb._native import Reader

    rows = []
    readers = [Reader(p, False) for p in paths]
    for label, calls in (
        ("open verify=True, 2 files", [partial(Reader, p, True) for p in paths]),
        ("verify(), 2 files", [r.verify for r in readers]),
    ):
        one = best_ns(lambda calls=calls: [c() for c in calls], reps) / 1e6
        two = min(threaded(calls) for _ in range(reps)) / 1e6
        rows.append((label + ", 2 threads", "ms", two, None))
        rows.append(("", "1 thread, one after the other", one, two / one))
    return rows


def child_peak(kind: str, path: str) -> dict:
    from quordb import QuorReader

    reader = QuorReader(path, True)  # the mapping is resident before the baseline
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")
    base = proc_status()["VmRSS"]
    if kind == "lazy":
        for _item in reader.items():
            pass
    elif kind == "eager":
        reader.raw  # the second index load is not the listing's  # noqa: B018
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        base = proc_status()["VmRSS"]
        reader.raw.items_raw()
    else:
        list(reader.items())
    return {"peak": proc_status()["VmHWM"] - base}


def run_child(*args: str) -> float:
    import subprocess

    cmd = [sys.executable, os.path.abspath(__file__), "--child", *args]
    out = subprocess.run(cmd, check=True, capture_output=True, text=True)
    return json.loads(out.stdout.strip().splitlines()[-1])["peak"]


def table(rows) -> str:
    head = f"{'operation':<34} {'peer / unit':<30} {'value':>10} {'ratio':>8}"
    lines = [head, "-" * len(head)]
    for op, unit, value, ratio in rows:
        r = "" if ratio is None else f"{ratio:.3f}"
        lines.append(f"{op:<34} {unit:<30} {fmt(value):>10} {r:>8}")
    return "\n".join(lines)


def run_size(n: int, reps: int) -> list:
    root = pick_tmp_root(n)
    with tempfile.TemporaryDirectory(prefix="quordb-reader-", dir=root) as tmp:
        ds = data.make_dataset(n, lookups=min(n, 200_000))
        paths = [os.path.join(tmp, f"{i}.qrdb") for i in (1, 2)]
        store = peers.Quordb()
        for p in paths:
            store.build(p, ds)
        log(f"N={n:,}: built in {tmp}")
        rows = lookup_rows(ds, paths, reps)
        log("  lookups done")
        rows += listing_rows(n, paths, reps)
        log("  listings done")
        rows += thread_rows(paths, reps)
    return rows


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--n", default="1000000", help="comma-separated key counts")
    ap.add_argument("--reps", type=int, default=3)
    ap.add_argument("--json")
    ap.add_argument("--child", nargs="+", help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.child:
        print(json.dumps(child_peak(*args.child[1:]) if args.child[0] == "peak" else {}))
        return 0
    print(machine_facts(), flush=True)
    report = {}
    for n in (int(s.replace("_", "")) for s in args.n.split(",")):
        rows = run_size(n, args.reps)
        print(f"\n== N={n:,}; ratio = first row of the group / this row; best of {args.reps}")
        print(table(rows), flush=True)
        report[n] = rows
    if args.json:
        with open(args.json, "w") as f:
            json.dump(report, f, indent=1)
    return 0


if __name__ == "__main__":
    sys.exit(main())
