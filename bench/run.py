#!/usr/bin/env python3
"""quordb against peer key-value stores: the same data, one process, one interpreter.

    python bench/run.py [--quick] [--n N[,N...]] [--json out.json]

--quick runs 100 000 keys; the default runs 1 000 000 and then 10 000 000 when the first pass
projects that it fits the time and memory budget; --n picks the sizes outright. For each size
it prints a table of absolute figures with the ratio quordb/peer (below 1: quordb is faster or
smaller), then a table of targets with PASS/FAIL. Memory figures come from fresh subprocesses
of this script (--child), so the parent's heap does not pollute them.
"""

from __future__ import annotations

import argparse
import gc
import json
import os
import platform
import resource
import shutil
import subprocess
import sys
import tempfile
import time
import zlib
from dataclasses import asdict, dataclass
from functools import partial
from time import perf_counter_ns

import data
import peers

QUICK_N = 100_000
FULL_N = 1_000_000
BIG_N = 10_000_000
BIG_BUDGET_S = 25 * 60  # full mode adds BIG_N only if the projected run fits this
MB = 1e6
DICT_NOTE = (
    "dict: get = dict.get + bytes() copy of a bytearray value; exists = dict.__contains__ "
    "(call shape), `key in dict` = the operator"
)
DISK_SUFFIX = " [disk]"  # lookup rows repeated with the file on a regular filesystem
SHARED_OPS = {"build", "size", "open", "get_hit", "items", "objects", "verify", "build_peak"}


@dataclass
class Result:
    set: str
    op: str
    unit: str
    store: str
    value: float


def best_ns(fn, reps: int, setup=None, teardown=None) -> int:
    """Best wall time of `reps` calls; a result is closed and freed only after its clock stops."""
    best = None
    for _ in range(reps):
        if setup:
            setup()
        t0 = perf_counter_ns()
        out = fn()
        elapsed = perf_counter_ns() - t0
        if teardown:
            teardown(out)
        del out
        best = elapsed if best is None else min(best, elapsed)
    return best


def best_loop_ns(loop, handle, keys: list, reps: int, chunk: int = 5000) -> int:
    """Time of `loop(handle, keys)`, taken chunk by chunk: the sum of each chunk's best of
    `reps`. On a busy machine a preemption spoils one chunk of one repetition, not the figure."""
    best = [None] * ((len(keys) + chunk - 1) // chunk)
    for _ in range(reps):
        for i in range(len(best)):
            part = keys[i * chunk : (i + 1) * chunk]
            t0 = perf_counter_ns()
            out = loop(handle, part)
            elapsed = perf_counter_ns() - t0
            del out
            best[i] = elapsed if best[i] is None else min(best[i], elapsed)
    return sum(best)


def prefix_loop(prefix, handle, prefixes: list) -> list:
    return [prefix(handle, p) for p in prefixes]


def proc_status() -> dict[str, int]:
    """VmRSS, VmHWM, RssAnon... from /proc/self/status, in bytes."""
    out = {}
    with open("/proc/self/status") as f:
        for line in f:
            name, _, rest = line.partition(":")
            if rest.strip().endswith("kB"):
                out[name] = int(rest.split()[0]) * 1024
    return out


def reset_peak_rss() -> bool:
    """Lowers VmHWM to the current RSS (Linux >= 4.0), so a later peak excludes data setup."""
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        return True
    except OSError:
        return False


# --- subprocess measurements ---------------------------------------------------------------


def child_open(store_name: str, path: str) -> dict:
    store = peers.store_by_name(store_name)
    gc.collect()
    before = proc_status()
    handle = store.open(path)
    after = proc_status()
    assert handle is not None
    return {"rss": after["VmRSS"] - before["VmRSS"], "anon": after["RssAnon"] - before["RssAnon"]}


def child_build(store_name: str, n: int, set_name: str, path: str) -> dict:
    store = peers.store_by_name(store_name)
    ds = data.make_dataset(n, shared=set_name == "shared", lookups=0)
    build_input = store.prepare(ds)
    gc.collect()
    hwm_reset = reset_peak_rss()
    base = proc_status()["VmRSS"]
    try:
        store.build(path, build_input)
    finally:
        peers.remove_path(path)
    peak = (
        proc_status()["VmHWM"]
        if hwm_reset
        else resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    )
    return {"peak": peak - base}


def run_child(*args: str) -> dict:
    cmd = [sys.executable, os.path.abspath(__file__), "--child", *args]
    out = subprocess.run(cmd, check=True, capture_output=True, text=True)
    return json.loads(out.stdout.strip().splitlines()[-1])


# --- the benchmark -------------------------------------------------------------------------


class Bench:
    def __init__(self, n: int, reps: int, tmpdir: str, disk_dir: str | None = None):
        self.n, self.reps, self.tmp = n, reps, tmpdir
        self.disk_dir = disk_dir  # where lookups run again with the file on a regular filesystem
        self.build_reps = min(reps, 3) if n <= FULL_N else 1
        self.results: list[Result] = []
        self.skipped: dict[str, dict[str, str]] = {}  # set name -> store name -> why
        self.sets: dict[str, dict] = {}  # set name -> its sizes, for the tables

    def rec(self, ds, op, unit, store, value) -> None:
        self.results.append(Result(ds.name, op, unit, store, value))

    def get(self, set_name, op, store) -> float | None:
        for r in self.results:
            if (r.set, r.op, r.store) == (set_name, op, store):
                return r.value
        return None

    def run_store(self, ds: data.DataSet, store: peers.Store, ops: set[str] | None) -> None:
        def want(op: str) -> bool:
            return ops is None or op in ops

        path = os.path.join(self.tmp, f"{ds.name}-{store.name}")
        if store.in_memory:
            handle = store.build(None, store.prepare(ds))
        else:
            self.time_build(ds, store, path)
            if isinstance(store, peers.Quordb):
                self.time_quordb_opens(ds, store, path)
            elif want("open"):
                t = best_ns(partial(store.open, path), self.reps, teardown=store.close)
                self.rec(ds, "open (verify=False)", "ms", store.name, t / 1e6)
            handle = store.open(path)
        if isinstance(store, peers.Quordb):
            self.time_quordb_only(ds, store, path, handle, want)
        self.time_queries(ds, store, handle, want)
        if store.in_memory:
            return
        store.close(handle)
        if self.disk_dir and store.disk_lookups and want("get_hit"):
            self.time_disk_lookups(ds, store, path)
        if want("memory"):
            mem = run_child("open", store.name, path)
            self.rec(ds, "RSS after open", "MB", store.name, mem["rss"] / MB)
            self.rec(ds, "anon RSS after open", "MB", store.name, mem["anon"] / MB)
        if want("build_peak"):
            peak = run_child("build", store.name, str(self.n), ds.name, path + ".peak")
            self.rec(ds, "build peak memory", "MB", store.name, peak["peak"] / MB)

    def time_build(self, ds, store, path) -> None:
        build_input = store.prepare(ds)
        call_ns = []  # quordb: the build() call alone, without the add calls

        def build():
            store.build(path, build_input)
            call_ns.append(getattr(store, "build_call_ns", 0))

        t = best_ns(build, self.build_reps, setup=partial(peers.remove_path, path))
        self.rec(ds, "build (total)", "ms", store.name, t / 1e6)
        if isinstance(store, peers.Quordb):
            self.rec(ds, "build() call only", "ms", store.name, min(call_ns) / 1e6)
        self.rec(ds, "file size", "MB", store.name, peers.path_size(path) / MB)

    def time_lookups(self, ds, store, handle, want, suffix: str = "") -> None:
        lookups = (
            ("get_hit", "get_raw hit", store.getter, store.get_hits, ds.hits),
            ("get_miss", "get_raw miss", store.getter, store.get_misses, ds.misses),
            ("exists", "exists (hit)", store.container, store.exists, ds.hits),
        )
        for key, op, hook, loop, keys in lookups:
            if want(key) and hook:
                keys = store.lookup_keys(keys)
                t = best_loop_ns(loop, handle, keys, self.reps)
                self.rec(ds, op + suffix, "ns/op", store.name, t / len(keys))

    def time_disk_lookups(self, ds, store, path) -> None:
        """The lookup rows again with the file on a regular filesystem, its pages cached."""
        copy = os.path.join(self.disk_dir, os.path.basename(path))
        shutil.copyfile(path, copy)
        try:
            with open(copy, "rb") as f:
                while f.read(1 << 24):
                    pass
            handle = store.open(copy)
            self.time_lookups(ds, store, handle, lambda op: True, DISK_SUFFIX)
            store.close(handle)
        finally:
            peers.remove_path(copy)

    def time_queries(self, ds, store, handle, want) -> None:
        name, reps = store.name, self.reps
        self.time_lookups(ds, store, handle, want)
        if want("exists") and isinstance(store, peers.Dict):
            t = best_loop_ns(store.exists_in, handle, ds.hits, reps)
            self.rec(ds, "exists (hit)", "ns/op", "key in dict", t / len(ds.hits))
        if want("prefix") and store.prefix:
            for op, prefixes, chunk in (
                ("prefix ~10 keys", ds.small_prefixes, 100),
                ("prefix 10 000 keys", ds.large_prefixes, 1),
            ):
                prefixes = store.lookup_keys(prefixes)
                t = best_loop_ns(partial(prefix_loop, store.prefix), handle, prefixes, reps, chunk)
                self.rec(ds, op, "us/op", name, t / len(prefixes) / 1e3)
        for key, op, listing in (
            ("keys", "keys()", store.keys),
            ("items", "items_raw()", store.items),
        ):
            if want(key) and listing:
                self.rec(ds, op, "ns/key", name, best_ns(partial(listing, handle), reps) / ds.n)

    def time_quordb_opens(self, ds, store, path) -> None:
        """Both opens, alternated and repeated more: their difference, the CRC pass, is small
        next to the index load and would drown in drift between two separate series."""
        times = {False: [], True: []}
        for _ in range(max(self.reps, 5)):
            for verify, series in times.items():
                opening = partial(store.open, path, verify=verify)
                series.append(best_ns(opening, 1, teardown=store.close))
        t_plain, t_verified = min(times[False]), min(times[True])
        self.rec(ds, "open (verify=False)", "ms", store.name, t_plain / 1e6)
        self.rec(ds, "open (verify=True)", "ms", store.name, t_verified / 1e6)
        crc_ms = (t_verified - t_plain) / 1e6
        self.rec(ds, "CRC pass (open True - False)", "ms", store.name, crc_ms)

    def time_quordb_only(self, ds, store, path, reader, want) -> None:
        name, reps = store.name, self.reps
        if want("verify"):
            self.rec(ds, "verify()", "ms", name, best_ns(reader.verify, reps) / 1e6)
            with open(path, "rb") as f:
                blob = f.read()
            t = best_ns(partial(zlib.crc32, blob), reps)
            for op in ("CRC pass (open True - False)", "verify()"):
                self.rec(ds, op, "ms", "zlib.crc32(file)", t / 1e6)
        if want("objects"):
            t = best_ns(reader.objects_raw, reps)
            self.rec(ds, "objects_raw()", "ns/obj", name, t / len(ds.objects))

    def run_set(self, ds: data.DataSet, stores: list[peers.Store], ops: set[str] | None) -> None:
        self.sets[ds.name] = {
            "keys": ds.n,
            "objects": len(ds.objects),
            "payload": ds.payload_bytes(),
            "key_bytes": ds.key_bytes(),
        }
        skipped = self.skipped.setdefault(ds.name, {})
        for store in stores:
            if store.skipped:
                skipped[store.name] = store.skipped
                continue
            t0 = time.monotonic()
            try:
                self.run_store(ds, store, ops)
            except Exception as e:  # a peer that breaks must not sink the run
                if isinstance(store, peers.Quordb):
                    raise
                skipped[store.name] = f"failed: {type(e).__name__}: {e}"
            finally:
                if not isinstance(store, peers.Quordb):
                    peers.remove_path(os.path.join(self.tmp, f"{ds.name}-{store.name}"))
                gc.collect()
            log(f"  {ds.name}/{store.name}: {time.monotonic() - t0:.1f} s")


# --- tables --------------------------------------------------------------------------------


def fmt(v: float) -> str:
    if v is None:
        return "n/a"
    return f"{v:,.0f}" if abs(v) >= 1000 else f"{v:.3g}" if abs(v) < 10 else f"{v:.1f}"


def results_table(bench: Bench, set_name: str) -> str:
    rows = [r for r in bench.results if r.set == set_name]
    ops = list(dict.fromkeys(r.op for r in rows))
    head = (
        f"{'operation':<30} {'unit':<7} {'quordb':>9}  "
        f"{'peer':<20} {'peer value':>11} {'quordb/peer':>11}"
    )
    lines = [head, "-" * len(head)]
    for op in ops:
        q = next((r for r in rows if r.op == op and r.store == "quordb"), None)
        others = [r for r in rows if r.op == op and r.store != "quordb"]
        first = f"{op:<30} {(q or others[0]).unit:<7} {fmt(q.value if q else None):>9}"
        if not others:
            lines.append(first)
        for i, r in enumerate(others):
            ratio = f"{q.value / r.value:.3f}" if q and r.value > 0 else "n/a"
            lead = first if i == 0 else " " * len(first)
            lines.append(f"{lead}  {r.store:<20} {fmt(r.value):>11} {ratio:>11}")
    if any(r.store == "dict" for r in rows):
        lines.append(DICT_NOTE)
    for name, why in bench.skipped.get(set_name, {}).items():
        lines.append(f"{name}: skipped: {why}")
    return "\n".join(lines)


def targets_table(bench: Bench, set_name: str) -> str:
    info = bench.sets[set_name]
    n = info["keys"]

    def g(op, store="quordb"):
        return bench.get(set_name, op, store)

    def ratio(op, peer):
        q, p = g(op), g(op, peer)
        return q / p if q is not None and p else None

    def per_key_ns(ms):
        return ms * 1e6 / n if ms is not None else None

    def million_per_s(ns_per_key):
        return 1e3 / ns_per_key if ns_per_key else None

    payload_gb = info["payload"] / 1e9
    call_ms = g("build() call only")
    key_mb = info["key_bytes"] / MB
    # (target, measured, limit, pass when measured <= limit (True) or >= limit (False))
    checks = [
        ("get_raw hit / (dict.get + bytes copy)", ratio("get_raw hit", "dict"), 2.0, True),
        ("get_raw hit / lmdb get", ratio("get_raw hit", "lmdb"), 1 / 5, True),
        ("get_raw hit / sqlite3 SELECT", ratio("get_raw hit", "sqlite3"), 1 / 50, True),
        ("get_raw hit / cdbx get", ratio("get_raw hit", "cdbx"), 0.75, True),
        (
            "get_raw hit / cdbx get, files on disk",
            ratio("get_raw hit" + DISK_SUFFIX, "cdbx"),
            0.75,
            True,
        ),
        ("exists / `key in dict`", ratio("exists (hit)", "key in dict"), 1.5, True),
        ("open verify=False, ns per key", per_key_ns(g("open (verify=False)")), 30.0, True),
        ("open verify=False / pickle.load", ratio("open (verify=False)", "pickle"), 1 / 15, True),
        (
            "CRC pass / zlib.crc32(file)",
            ratio("CRC pass (open True - False)", "zlib.crc32(file)"),
            1 / 2.5,
            True,
        ),
        ("verify() / zlib.crc32(file)", ratio("verify()", "zlib.crc32(file)"), 1 / 2.5, True),
        ("build total / sqlite3", ratio("build (total)", "sqlite3"), 1 / 3, True),
        ("build total / lmdb", ratio("build (total)", "lmdb"), 1 / 2, True),
        (
            "build() call, GB/s of payload",
            payload_gb / (call_ms / 1e3) if call_ms else None,
            1.0,
            False,
        ),
        ("keys(), M entries/s", million_per_s(g("keys()")), 5.0, False),
        ("items_raw(), M entries/s", million_per_s(g("items_raw()")), 5.0, False),
        ("prefix ~10 / marisa items(prefix)", ratio("prefix ~10 keys", "marisa-trie"), 1 / 2, True),
        (
            "prefix 10 000 / marisa items(prefix)",
            ratio("prefix 10 000 keys", "marisa-trie"),
            1 / 2,
            True,
        ),
        (
            "reader anon RSS, MB (key bytes + 24 B/key)",
            g("anon RSS after open"),
            key_mb + 24 * n / MB,
            True,
        ),
        (
            "build peak, MB (1.5 x (payload + keys) + 48 B/key)",
            g("build peak memory"),
            1.5 * (payload_gb * 1e3 + key_mb) + 48 * n / MB,
            True,
        ),
    ]
    head = f"{'target':<52} {'measured':>10} {'limit':>10}  result"
    lines = [head, "-" * len(head)]
    for what, got, limit, at_most in checks:
        verdict = (
            "n/a"
            if got is None
            else "PASS"
            if (got <= limit if at_most else got >= limit)
            else "FAIL"
        )
        bound = ("<= " if at_most else ">= ") + fmt(limit)
        lines.append(f"{what:<52} {fmt(got):>10} {bound:>10}  {verdict}")
    return "\n".join(lines)


# --- driver --------------------------------------------------------------------------------


def log(msg: str) -> None:
    print(msg, file=sys.stderr, flush=True)


def machine_facts() -> str:
    cpu = "?"
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    from quordb import _quordb

    tree = subprocess.run(
        [
            "git",
            "-C",
            os.path.dirname(os.path.abspath(__file__)),
            "describe",
            "--always",
            "--dirty",
        ],
        capture_output=True,
        text=True,
        check=False,
    ).stdout.strip()
    load = ", ".join(f"{x:.1f}" for x in os.getloadavg())
    return (
        f"date: {time.strftime('%Y-%m-%d %H:%M:%S %Z')}\n"
        f"cpu: {cpu}, {os.cpu_count()} cores; {platform.platform()}; load average {load}\n"
        f"python: {sys.version.replace(chr(10), ' ')}\n"
        f"quordb._quordb {_quordb.__version__}, source tree {tree or '?'}"
    )


def mem_available() -> int:
    with open("/proc/meminfo") as f:
        for line in f:
            if line.startswith("MemAvailable:"):
                return int(line.split()[1]) * 1024
    return 0


def pick_tmp_root(n: int) -> str:
    """tmpfs when it holds a few stores' files and RAM still fits the data; else /tmp."""
    need = 4 * 200 * n
    if os.path.isdir("/dev/shm"):
        st = os.statvfs("/dev/shm")
        if st.f_bavail * st.f_frsize >= need and mem_available() >= need + 1500 * n:
            return "/dev/shm"
    return tempfile.gettempdir()


def run_size(
    n: int, reps: int, lookups: int, only: set[str] | None, disk_root: str | None
) -> Bench:
    root = pick_tmp_root(n)
    peer_classes = [cls for cls in peers.PEERS if only is None or cls.name in only]
    stores = [peers.Quordb()] + [peers.load_store(cls) for cls in peer_classes]
    with (
        tempfile.TemporaryDirectory(prefix="quordb-bench-", dir=root) as tmp,
        tempfile.TemporaryDirectory(prefix="quordb-bench-disk-", dir=disk_root) as disk,
    ):
        log(f"N={n:,}: temp dir {tmp} ({'tmpfs' if root == '/dev/shm' else 'disk'})")
        # Lookups run again from a regular filesystem only when the files are on tmpfs.
        bench = Bench(n, reps, tmp, disk if disk_root and root == "/dev/shm" else None)
        unique = data.make_dataset(n, lookups=lookups)
        bench.run_set(unique, stores, None)
        del unique
        gc.collect()
        shared = data.make_dataset(n, shared=True, lookups=lookups)
        by_name = {s.name: s for s in stores}
        shared_stores = [by_name[s] for s in ("quordb", "sqlite3", "lmdb") if s in by_name]
        bench.run_set(shared, shared_stores, SHARED_OPS)
    return bench


def print_tables(bench: Bench, n: int, reps: int) -> None:
    for name, info in bench.sets.items():
        print(
            f"\n== {name} set: {info['keys']:,} keys "
            f"({data.MULTIBYTE_SHARE:.0%} multi-byte UTF-8), {info['objects']:,} objects, "
            f"payload {info['payload'] / MB:.1f} MB, key bytes {info['key_bytes'] / MB:.1f} MB; "
            f"best of {reps}"
        )
        print(results_table(bench, name))
    print(f"\n== targets, N={n:,} (unique set)")
    print(targets_table(bench, "unique"), flush=True)


def big_pass_fits(elapsed_s: float) -> bool:
    """Whether BIG_N fits the budget, projected from the FULL_N pass just finished."""
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    est_s, est_mem = elapsed_s * 12, peak * 10
    fits = est_s <= BIG_BUDGET_S and est_mem <= 0.8 * mem_available()
    print(
        f"\nN={BIG_N:,}: projected {est_s / 60:.0f} min and {est_mem / 2**30:.1f} GiB "
        f"(from {elapsed_s:.0f} s and {peak / 2**30:.1f} GiB at N={FULL_N:,}) -> "
        f"{'running it' if fits else 'skipped; run it with --n ' + str(BIG_N)}",
        flush=True,
    )
    return fits


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--quick", action="store_true", help=f"{QUICK_N:,} keys, under a minute")
    ap.add_argument("--n", help="comma-separated key counts to run (instead of the mode's)")
    ap.add_argument("--reps", type=int, default=3, help="repetitions per figure, best kept")
    ap.add_argument("--lookups", type=int, help="keys per lookup loop (200 000; quick 50 000)")
    ap.add_argument("--json", help="also write every figure to this JSON file")
    ap.add_argument("--stores", help="comma-separated peers to run (quordb always runs)")
    ap.add_argument(
        "--disk",
        default=tempfile.gettempdir(),
        help="a directory on a regular filesystem where the lookup rows of quordb and cdbx "
        "run again when the files are on tmpfs ('' to skip; default: the system temp dir)",
    )
    ap.add_argument("--child", nargs="+", help=argparse.SUPPRESS)
    args = ap.parse_args()

    if args.child:
        kind, *rest = args.child
        child = {"open": child_open, "build": child_build}[kind]
        print(json.dumps(child(*(int(a) if a.isdigit() else a for a in rest))))
        return 0

    gc.disable()  # collections inside timed loops would charge one store for another's garbage
    lookups = args.lookups or (50_000 if args.quick else 200_000)
    if args.n:
        sizes = [int(s.replace("_", "")) for s in args.n.split(",")]
    else:
        sizes = [QUICK_N if args.quick else FULL_N]
    facts = machine_facts()
    print(facts, flush=True)
    report = {"machine": facts, "runs": []}
    while sizes:
        n = sizes.pop(0)
        t0 = time.monotonic()
        only = set(args.stores.split(",")) if args.stores else None
        bench = run_size(n, args.reps, lookups, only, args.disk or None)
        print_tables(bench, n, args.reps)
        results = [asdict(r) for r in bench.results]
        report["runs"].append(
            {"n": n, "sets": bench.sets, "results": results, "skipped": bench.skipped}
        )
        full_mode = not args.n and not args.quick
        if full_mode and n == FULL_N and big_pass_fits(time.monotonic() - t0):
            sizes.append(BIG_N)
    if args.json:
        with open(args.json, "w") as f:
            json.dump(report, f, indent=1)
    return 0


if __name__ == "__main__":
    sys.exit(main())
