"""Damage sweep: byte flips and truncations of real databases, every read run in a child process.

A crash in the extension would take the interpreter down with it, so one child process opens
all the damaged variants of a file and reports each outcome as a JSON line; the parent sees a
crash as a missing line and a non-zero exit, and a hang as the timeout.
"""

import json
import os
import random
import struct
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

CHILD = textwrap.dedent(
    r"""
    import faulthandler, json, os, sys, zlib
    faulthandler.enable()
    from quordb._quordb import _QuorReader

    spec = json.load(sys.stdin)
    base = open(spec["base"], "rb").read()
    probes = [bytes.fromhex(k) for k in spec["probes"]]
    prefixes = [bytes.fromhex(k) for k in spec["prefixes"]]
    work = spec["work"]
    case_path = os.path.join(work, "case.qrdb")


    def damaged(kind, at, mask):
        if kind == "none":
            return base
        if kind == "cut":
            return base[:at]
        blob = base[:at] + bytes([base[at] ^ mask]) + base[at + 1 :]
        if kind == "flip+crc":
            blob = blob[:32] + zlib.crc32(blob[40:]).to_bytes(4, "big") + blob[36:]
        return blob


    def shape(value):
        if isinstance(value, list):
            inner = sorted({shape(v) for v in value})
            return "list[" + "|".join(inner) + "]" if inner else "list"
        if isinstance(value, tuple):
            return "tuple[" + ",".join(shape(v) for v in value) + "]"
        if isinstance(value, dict):
            return "dict[" + ",".join(f"{k}:{type(v).__name__}" for k, v in value.items()) + "]"
        return type(value).__name__


    def attempt(op, call):
        try:
            value = call()
        except BaseException as exc:  # everything is reported; the parent judges
            return [op, "raise", type(exc).__module__ + "." + type(exc).__qualname__, str(exc)]
        return [op, "ok", shape(value), zlib.crc32(repr(value).encode())]


    def read_everything(verify):
        outcome = []
        opened = attempt("open", lambda: _QuorReader(case_path, verify))
        outcome.append(opened)
        if opened[1] != "ok":
            return outcome
        r = _QuorReader(case_path, verify)
        keys = attempt("keys", r.keys)
        outcome.append(keys)
        listed = [k.encode() for k in r.keys()[:200]]
        for key in probes + listed[:: max(1, len(listed) // 40)]:
            outcome.append(attempt("get_raw", lambda: r.get_raw(key)))
            outcome.append(attempt("exists", lambda: r.exists(key)))
        for prefix in prefixes:
            outcome.append(attempt("prefix_raw", lambda: r.prefix_raw(prefix)))
        outcome.append(attempt("items_raw", r.items_raw))
        outcome.append(attempt("objects_raw", r.objects_raw))
        outcome.append(attempt("stats", r.stats))
        outcome.append(attempt("repr", lambda: repr(r)))
        outcome.append(attempt("verify", r.verify))
        outcome.append(attempt("close", r.close))
        outcome.append(attempt("with", lambda: r.__exit__(None, None, None)))
        return outcome


    for n, (kind, at, mask) in enumerate(spec["cases"]):
        staged = os.path.join(work, "staged.qrdb")
        with open(staged, "wb") as f:
            f.write(damaged(kind, at, mask))
        os.replace(staged, case_path)  # a reader still mapping the last case keeps its file
        for verify in (True, False):
            line = {"case": n, "verify": verify, "outcome": read_everything(verify)}
            sys.stdout.write(json.dumps(line) + "\n")
        sys.stdout.flush()
    """
)

CORRUPT = "QuorCorruptError: "
VERSION = "QuorVersionError: unsupported version "
IO = "QuorIOError: "
ALLOWED_RAISES = {
    "builtins.RuntimeError": (CORRUPT, VERSION),
    "builtins.OSError": (IO,),
}
# What a successful call may return: the shape the child reports.
SHAPES = {
    "open": {"_QuorReader"},
    "keys": {"list", "list[str]"},
    "get_raw": {"bytes", "NoneType"},
    "exists": {"bool"},
    "prefix_raw": {"list", "list[tuple[str,bytes]]"},
    "items_raw": {"list", "list[tuple[str,bytes]]"},
    "objects_raw": {"list", "list[bytes]"},
    "stats": {
        (
            "dict[path:str,version:int,num_keys:int,num_objects:int,index_offset:int,"
            "data_offset:int,file_size_kb:float,file_crc32:str]"
        )
    },
    "repr": {"str"},
    "verify": {"bool"},
    "close": {"NoneType"},
    "with": {"bool"},
}
# Operations that read no record and so cannot meet damage once the file is open.
NEVER_RAISE = {"keys", "exists", "stats", "repr", "close", "with"}

HEADER_UNREAD = [*range(5, 8), *range(24, 32), *range(36, 40)]  # reserved and data_offset
NUM_OBJECTS = range(12, 16)


def _objects_and_keys(count):
    """Objects of assorted sizes, several keys per object, keys of every kind of UTF-8."""
    rng = random.Random(count)
    objects = [
        bytes(rng.randrange(256) for _ in range(rng.choice([0, 1, 7, 40]))) for _ in range(count)
    ]
    scripts = ["user:", "é", "ключ", "日本", "🙂", ""]
    keys = {}
    for i in range(count * 2):
        key = f"{scripts[i % len(scripts)]}{i:03d}"
        keys[key] = i % count  # every object named at least twice: shared records
    keys[""] = 0
    keys[b"\xff\xfe raw"] = count - 1  # not UTF-8: listed with replacement characters
    keys[b"\x00"] = 1
    return objects, keys


def _key_bytes(key):
    return key.encode() if isinstance(key, str) else key


def _run_sweep(path, cases, keys, tmp_path):
    probes = sorted({_key_bytes(k) for k in keys})
    probes = probes[:: max(1, len(probes) // 24)] + [b"absent", b"user:0009999"]
    prefixes = [b"", b"user:", b"\xc3", "ключ".encode(), b"\xff", b"zzz"]
    spec = {
        "base": path,
        "work": str(tmp_path),
        "probes": [p.hex() for p in probes],
        "prefixes": [p.hex() for p in prefixes],
        "cases": cases,
    }
    proc = subprocess.run(
        [sys.executable, "-c", CHILD],
        input=json.dumps(spec),
        capture_output=True,
        text=True,
        timeout=120,
        check=False,
    )
    lines = [json.loads(line) for line in proc.stdout.splitlines()]
    if proc.returncode != 0:
        # Each case reports verify on, then verify off: the culprit follows the last report.
        verify = not lines[-1]["verify"] if lines else True
        at = lines[-1]["case"] + verify if lines else 0
        culprit = cases[at] if at < len(cases) else None
        pytest.fail(
            f"child exited with {proc.returncode} at case {culprit} (verify={verify})\n"
            f"{proc.stderr[-3000:]}"
        )
    assert len(lines) == 2 * len(cases)
    return lines


def _check_outcomes(lines, cases):
    """Every call returns a documented shape or raises a documented error; nothing else."""
    problems = []
    for line in lines:
        case = cases[line["case"]]
        for op, status, what, detail in line["outcome"]:
            if status == "ok":
                if what not in SHAPES[op]:
                    problems.append((case, line["verify"], op, "returned", what))
                continue
            prefixes = ALLOWED_RAISES.get(what, ())
            if op in NEVER_RAISE or not detail.startswith(prefixes):
                problems.append((case, line["verify"], op, what, detail))
    assert problems[:20] == []


def _by_case(lines):
    return {(line["case"], line["verify"]): line["outcome"] for line in lines}


def _check_header_semantics(lines, cases, base):
    """Header bytes the reader ignores change nothing; a changed file fails the checksum."""
    outcomes = _by_case(lines)
    baseline = {v: outcomes[(0, v)] for v in (True, False)}
    assert cases[0] == ["none", 0, 0]
    assert all(status == "ok" for _, status, *_ in baseline[True])
    for n, (kind, at, _mask) in enumerate(cases):
        for verify in (True, False):
            got = outcomes[(n, verify)]
            if kind == "flip" and at in HEADER_UNREAD:
                assert got == baseline[verify], (kind, at, verify)
            elif kind == "flip" and at in NUM_OBJECTS:
                ignore = {"open", "stats", "repr"}  # they show the count
                assert [o for o in got if o[0] not in ignore] == [
                    o for o in baseline[verify] if o[0] not in ignore
                ], (kind, at, verify)
            elif kind == "flip" and at >= 40 and verify:
                stored = base[32:36].hex()
                assert got[0][1:3] == ["raise", "builtins.RuntimeError"], (at, got[0])
                assert got[0][3].startswith(f"{CORRUPT}file CRC32 mismatch  stored=0x{stored}")


@pytest.fixture
def small_db(build_db):
    return build_db(*_objects_and_keys(6), name="small.qrdb")


@pytest.fixture
def large_db(build_db):
    return build_db(*_objects_and_keys(300), name="large.qrdb")


def test_every_byte_flip_of_a_small_file(small_db, tmp_path):
    base = Path(small_db).read_bytes()
    assert 250 < len(base) < 1000  # small enough to sweep every offset both ways
    cases = [["none", 0, 0]]
    cases += [["flip", at, mask] for at in range(len(base)) for mask in (0x01, 0xFF)]
    cases += [["flip+crc", at, 0x01] for at in range(40, len(base))]
    _, keys = _objects_and_keys(6)
    lines = _run_sweep(small_db, cases, keys, tmp_path)
    _check_outcomes(lines, cases)
    _check_header_semantics(lines, cases, base)


def test_sampled_byte_flips_of_a_larger_file(large_db, tmp_path):
    base = Path(large_db).read_bytes()
    (index_offset,) = struct.unpack_from(">Q", base, 16)
    rng = random.Random(20240611)
    # Every header byte, both sides of the data/index boundary, the last bytes, and a sample.
    offsets = set(range(40)) | set(range(index_offset - 16, index_offset + 32))
    offsets |= set(range(len(base) - 24, len(base)))
    offsets |= set(rng.sample(range(40, len(base)), 700))
    cases = [["none", 0, 0]]
    cases += [
        ["flip", at, rng.choice([0x01, 0x80, 0xFF, 1 << rng.randrange(8)])]
        for at in sorted(offsets)
    ]
    cases += [["flip+crc", at, 0xFF] for at in sorted(rng.sample(range(40, len(base)), 300))]
    _, keys = _objects_and_keys(300)
    lines = _run_sweep(large_db, cases, keys, tmp_path)
    _check_outcomes(lines, cases)
    _check_header_semantics(lines, cases, base)


def test_every_truncation_of_a_small_file(small_db, tmp_path):
    base = Path(small_db).read_bytes()
    cases = [["none", 0, 0]] + [["cut", size, 0] for size in range(len(base))]
    _, keys = _objects_and_keys(6)
    lines = _run_sweep(small_db, cases, keys, tmp_path)
    _check_outcomes(lines, cases)
    _check_header_semantics(lines, cases, base)
    # Cut inside the header there is nothing to read; past it only the index can fail.
    for line in lines:
        kind, size, _ = cases[line["case"]]
        if kind == "cut":
            detail = line["outcome"][0][3]
            assert detail.startswith(CORRUPT), (size, detail)
            assert (size < 40) == (detail == CORRUPT + "file too small for header"), (size, detail)


SPECIAL = textwrap.dedent(
    """
    import json, sys
    from quordb._quordb import _QuorReader
    for path in sys.argv[1:]:
        try:
            _QuorReader(path)
            outcome = ["opened", ""]
        except BaseException as exc:
            outcome = [f"{type(exc).__module__}.{type(exc).__qualname__}", str(exc)]
        print(json.dumps([path, *outcome]), flush=True)
    """
)


def test_paths_that_are_not_regular_files_fail_promptly(tmp_path):
    fifo = tmp_path / "fifo.qrdb"
    os.mkfifo(fifo)
    # A FIFO with no writer: opening it for reading must not wait for one.
    paths = [str(tmp_path), "/dev/null", "/dev/zero", "/proc/self/maps", str(fifo)]
    hung = None
    try:
        proc = subprocess.run(
            [sys.executable, "-c", SPECIAL, *paths],
            capture_output=True,
            text=True,
            timeout=10,
            stdin=subprocess.DEVNULL,
            check=False,
        )
    except subprocess.TimeoutExpired as exc:
        out = exc.stdout or b""
        hung = paths[len((out.decode() if isinstance(out, bytes) else out).splitlines())]
    if hung is not None:
        pytest.fail(f"opening {hung} did not return within 10 s", pytrace=False)
    assert proc.returncode == 0, proc.stderr
    lines = [json.loads(line) for line in proc.stdout.splitlines()]
    assert [path for path, *_ in lines] == paths
    for path, raised, message in lines:
        assert raised in ALLOWED_RAISES and message.startswith(ALLOWED_RAISES[raised]), path
