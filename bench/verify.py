#!/usr/bin/env python3
"""Whole-file verification against a bare CRC-32 of the same bytes.

    python bench/verify.py [--n N] [--reps R] [--disk DIR]

Builds run.py's *unique* and *shared* sets (N keys, default 1 000 000) once each, on /dev/shm
and again in --disk (default: the system temp dir, page cache warm), and prints the best of R
runs of `_QuorReader.verify()`, the native reader's `verify()` and `verify_strict()`, and
`zlib.crc32` over the file's bytes already in memory, with each verify's ratio to the CRC.
"""

from __future__ import annotations

import argparse
import os
import shutil
import sys
import tempfile
import zlib
from functools import partial
from time import perf_counter_ns

import data

from quordb._native import Reader
from quordb._quordb import _QuorReader, _QuorWriter


def best_ms(call, reps: int) -> float:
    best = None
    for _ in range(reps):
        start = perf_counter_ns()
        call()
        elapsed = perf_counter_ns() - start
        best = elapsed if best is None else min(best, elapsed)
    return best / 1e6


def build(path: str, dataset: data.DataSet) -> None:
    writer = _QuorWriter()
    ids = [writer.add_object_raw(obj) for obj in dataset.objects]
    for key, obj_id in zip(dataset.keys, dataset.obj_ids, strict=True):
        writer.add_key(key, ids[obj_id])
    stdout = os.dup(1)
    with open(os.devnull, "w") as devnull:
        os.dup2(devnull.fileno(), 1)
        try:
            writer.build(path)
        finally:
            os.dup2(stdout, 1)
            os.close(stdout)


def measure(path: str, reps: int) -> dict[str, float]:
    with open(path, "rb") as file:
        blob = file.read()
    figures = {"zlib.crc32": best_ms(partial(zlib.crc32, blob), reps)}
    blob = b""
    with _QuorReader(path, False) as reader:
        figures["_QuorReader.verify"] = best_ms(reader.verify, reps)
    native = Reader(path, False)
    figures["Reader.verify"] = best_ms(native.verify, reps)
    figures["Reader.verify_strict"] = best_ms(native.verify_strict, reps)
    native.close()
    return figures


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--n", type=int, default=1_000_000)
    parser.add_argument("--reps", type=int, default=5)
    parser.add_argument("--disk", default=tempfile.gettempdir())
    args = parser.parse_args()
    places = {"/dev/shm": "/dev/shm", "disk": args.disk}
    for shared in (False, True):
        dataset = data.make_dataset(args.n, shared=shared)
        with tempfile.TemporaryDirectory(dir=places["/dev/shm"]) as shm:
            path = os.path.join(shm, "verify.qrdb")
            build(path, dataset)
            size = os.path.getsize(path) / 1e6
            for place, directory in places.items():
                with tempfile.TemporaryDirectory(dir=directory) as where:
                    copy = shutil.copy(path, os.path.join(where, "verify.qrdb"))
                    figures = measure(copy, args.reps)
                crc = figures["zlib.crc32"]
                print(f"{dataset.name} {args.n} keys, {size:.1f} MB, {place}:")
                for name, ms in figures.items():
                    ratio = "" if name == "zlib.crc32" else f"  {ms / crc:.2f}x zlib.crc32"
                    print(f"  {name:<22}{ms:8.1f} ms{ratio}")
        sys.stdout.flush()
    return 0


if __name__ == "__main__":
    sys.exit(main())
