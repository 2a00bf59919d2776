"""Repeated calls, succeeding and failing, leave memory, descriptors and mappings flat.

Each workload runs a couple of warm-up rounds (free lists, interned strings and allocator
arenas settle), then many more rounds, between which the process's resident memory, open
descriptors and memory mappings are compared; a second, shorter pass under tracemalloc counts
Python-level objects that stay alive. Payloads and keys are large enough that one copy kept
per call would stand out well above the bounds.
"""

import gc
import os
import struct
import tracemalloc
import zlib

import msgpack
import pytest

from quordb import QuorReader
from quordb._native import (
    Reader,
    StreamWriter,
    exists_many_sharded,
    get_many_decoded_sharded,
    get_many_sharded,
)
from quordb._quordb import _QuorReader, _QuorWriter

PAGE = os.sysconf("SC_PAGE_SIZE")
# A sanitizer's allocator keeps freed blocks in quarantine, so resident memory and the
# number of mappings say nothing there; descriptors and live Python objects still count.
UNDER_SANITIZER = "libasan" in os.environ.get("LD_PRELOAD", "")
PAYLOAD = 2048
KEY_COUNT = 100


def _rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


def _fds():
    return len(os.listdir("/proc/self/fd"))


def _mappings():
    with open("/proc/self/maps") as f:
        return sum(1 for _ in f)


def _expect(exc_type, call, *args, **kwargs):
    try:
        call(*args, **kwargs)
    except exc_type:
        return
    raise AssertionError(f"{call} did not raise {exc_type.__name__}")


class CallsBack:
    """A sequence key whose iteration calls into `inner` (a re-entrant call)."""

    def __init__(self, inner):
        self.inner = inner

    def __len__(self):
        return 1

    def __getitem__(self, i):
        if i:
            raise IndexError
        try:
            self.inner()
        except RuntimeError:
            pass
        return 0x6B


@pytest.fixture
def files(build_db, raw, write_db, tmp_path):
    keys = {f"key:{i:03d}:" + "x" * 200: i % 40 for i in range(KEY_COUNT)}
    keys.update({"é" * 50: 0, b"\xff\xfe" * 20: 1})
    objects = [bytes([i]) * PAYLOAD for i in range(40)]
    good = build_db(objects, keys)
    blob = raw.craft([b"p" * PAYLOAD], [(b"k", 40), (b"z", 10**9)])
    broken = write_db(blob, "broken.qrdb")
    corrupt = {
        "small": write_db(blob[:39], "small.qrdb"),
        "magic": write_db(b"PK\3\4" + blob[4:], "magic.qrdb"),
        "version": write_db(blob[:4] + b"\3" + blob[5:], "version.qrdb"),
        "crc": write_db(raw.flip(blob, 50), "crc.qrdb"),
        "index": write_db(raw.with_crc(blob[:-3]), "index.qrdb"),
    }
    (tmp_path / "full_dir").mkdir()
    (tmp_path / "full_dir" / "keep").write_bytes(b"")
    return {"good": good, "keys": list(keys), "broken": broken, "corrupt": corrupt,
            "dir": str(tmp_path), "full_dir": str(tmp_path / "full_dir")}  # fmt: skip


def reads(f):
    r = _QuorReader(f["good"])
    for key in f["keys"]:
        assert r.get_raw(key) is not None and r.exists(key)
        r.get_raw(key.encode() if isinstance(key, str) else bytearray(key))
    r.get_raw([0x6B, 0x31]), r.get_raw("absent"), r.exists(b"absent")
    for prefix in ("key:0", "", "é", b"\xff", "zzz"):
        r.prefix_raw(prefix)
    r.keys(), r.items_raw(), r.objects_raw(), r.stats(), r.verify(), repr(r)
    with r as same:
        same.close()
    r.__exit__(None, None, None)


def read_failures(f):
    r = _QuorReader(f["broken"])
    for call in (lambda: r.get_raw("z"), r.items_raw, r.objects_raw, r.verify,
                 lambda: r.prefix_raw("")):  # fmt: skip
        for _ in range(10):
            _expect(RuntimeError, call)
    for bad in (None, 1.5, 42, object(), [256], ["k"], "\ud800"):
        _expect(ValueError, r.get_raw, bad)
        _expect(ValueError, r.exists, bad)
        _expect(ValueError, r.prefix_raw, bad)
    _expect(TypeError, r.get_raw)
    _expect(TypeError, r.get_raw, "a", "b")
    _expect(TypeError, r.get_raw, key="a", other=1)
    _expect(TypeError, r.keys, 1)
    _expect(TypeError, _QuorReader.keys, object())
    _expect(TypeError, r.__exit__, None)


def native_reads(f):
    r = Reader(f["good"])
    keys = f["keys"]
    r.get_many_raw(keys + ["absent", 42, "\ud800"]), r.exists_many(keys + [None])
    shards = [r, Reader(f["good"]), r]
    get_many_sharded(shards, keys + ["absent", 42]), exists_many_sharded(shards, keys + [None])
    # A memoryview holds the record's view, bytes lets it go back for the next record.
    r.get_many(keys + ["absent", 42], memoryview), r.get_many(keys, bytes, 0)
    get_many_decoded_sharded(shards, keys + ["absent"], memoryview)
    for key in keys[:20]:
        r.get_raw(key), r.exists(key), r.get(key, memoryview), r.get(key, bytes)
    _expect(KeyError, r.get, "absent", bytes)
    _expect(ZeroDivisionError, r.get, keys[0], lambda view: 1 / 0)
    _expect(ZeroDivisionError, r.get_many, keys, lambda view: 1 / 0)
    _expect(ZeroDivisionError, list, r.scan("values", decode=lambda view: 1 / 0))
    for what in ("keys", "values", "items"):
        list(r.scan(what, chunk=7)), list(r.scan(what, "key:1", "key:5"))
        list(r.scan_prefix(what, "key:1"))
        next(r.scan(what, chunk=3))  # dropped unfinished
        list(r.scan(what, chunk=7, decode=memoryview)), next(r.scan(what, decode=bytes))
    r.objects_raw(), r.stats(), r.verify(), r.refresh(), repr(r)
    broken = Reader(f["broken"])
    for call in (
        lambda: list(broken.scan("items")),
        lambda: broken.get_many_raw(["z"]),
        lambda: get_many_sharded([broken], keys + ["z"]),
        lambda: broken.get_many(["z"], bytes),
        lambda: broken.get("z", bytes),
    ):
        _expect(RuntimeError, call)
    _expect(ValueError, r.scan, "pairs")
    _expect(ValueError, r.scan, "keys", 5)
    _expect(ValueError, r.scan, "keys", chunk=0)
    _expect(TypeError, r.get_many_raw, 5)
    _expect(TypeError, exists_many_sharded, [r, 5], keys)
    scan = r.scan("items", chunk=10)
    with r:
        pass
    list(scan)  # outlives the close
    _expect(ValueError, r.get_raw, "k")
    _expect(ValueError, r.get, "k", bytes)
    _expect(ValueError, get_many_sharded, shards, keys)


def opens(f):
    for _ in range(5):
        _QuorReader(f["good"]).stats()
        _QuorReader(f["good"], verify=False).stats()
    for path in f["corrupt"].values():
        _expect(RuntimeError, _QuorReader, path)
    _expect(RuntimeError, _QuorReader, f["corrupt"]["index"], verify=False)
    _expect(OSError, _QuorReader, f["dir"] + "/missing.qrdb")
    _expect(OSError, _QuorReader, f["dir"])  # opens, cannot be mapped
    _expect(OSError, _QuorReader, f["dir"] + "/nul\0.qrdb")
    _expect(TypeError, _QuorReader, f["good"].encode())
    _expect(TypeError, _QuorReader, f["good"], verify=1)
    _expect(TypeError, _QuorReader, f["good"], True, 3)
    _expect(UnicodeEncodeError, _QuorReader, "\ud800")


def writes(f):
    w = _QuorWriter()
    for i in range(200):
        w.add_key(f"key:{i}:" + "y" * 200, w.add_object_raw(bytes([i % 256]) * PAYLOAD))
    w.add_key([0x6B], 0)
    w.add_key(CallsBack(lambda: w.add_object_raw(b"refused")), 1)  # "Already borrowed"
    repr(w)
    _expect(ValueError, w.add_key, "k", 10**6)
    _expect(OverflowError, w.add_key, "k", -1)
    _expect(TypeError, w.add_key, "k", "0")
    _expect(ValueError, w.add_key, None, 0)
    _expect(TypeError, w.add_object_raw, bytearray(b"x"))
    _expect(TypeError, w.add_object_raw)
    _expect(OSError, w.build, f["dir"] + "/missing/db.qrdb")
    _expect(OSError, w.build, f["full_dir"])  # the rename onto a non-empty directory fails
    _expect(TypeError, w.build, b"db.qrdb")
    _expect(TypeError, _QuorWriter, 1)


def builds(f):
    w = _QuorWriter()
    for i in range(50):
        w.add_key(f"k{i}", w.add_object_raw(bytes(PAYLOAD)))
    w.build(f["dir"] + "/built.qrdb")


def streams(f):
    payload = msgpack.packb({"v": "x" * PAYLOAD})
    finished = StreamWriter(f["dir"] + "/streamed.qrdb")
    for i in range(50):
        finished.add(payload, [f"k{i}", f"alias{i}"])
    finished.add_many([(payload, f"m{i}") for i in range(50)])
    finished.add_key("k0", finished.add_object_raw(payload))
    for bad in ([], [1], ["a\ud800"], ["x" * 70000], None):
        _expect((TypeError, ValueError), finished.add, payload, bad)
    _expect(TypeError, finished.add, msgpack.packb({(1,): 2}), "k")
    _expect(ValueError, finished.add_many, [(payload, "ok"), (payload, [])])
    repr(finished)
    finished.finish()
    _expect(ValueError, finished.add, payload, "late")
    aborted = StreamWriter(f["dir"] + "/aborted.qrdb")
    aborted.add(payload, "k")
    aborted.abort()
    dropped = StreamWriter(f["dir"] + "/dropped.qrdb")
    dropped.add(payload, "k")
    del dropped
    _expect(OSError, StreamWriter, f["dir"] + "/missing/db.qrdb")


# (workload, rounds measured): about 300k calls in all.
WORKLOADS = {"reads": (reads, 200), "read_failures": (read_failures, 1500),
             "native_reads": (native_reads, 200),
             "opens": (opens, 1500), "writes": (writes, 150), "builds": (builds, 40),
             "streams": (streams, 40)}  # fmt: skip


@pytest.mark.parametrize("name", WORKLOADS)
def test_repeated_calls_leave_memory_flat(files, name, capfd):
    workload, rounds = WORKLOADS[name]
    for _ in range(3):
        workload(files)
    gc.collect()
    rss, fds, maps = _rss(), _fds(), _mappings()
    for _ in range(rounds):
        workload(files)
    gc.collect()
    grown = _rss() - rss
    assert _fds() == fds
    if not UNDER_SANITIZER:
        # Flat in practice; a few dozen bytes kept per call would pass the bound.
        assert grown < 2**20, f"resident memory grew by {grown} bytes over {rounds} rounds"
        assert _mappings() - maps < 4  # the allocator may take or drop an arena

    tracemalloc.start()
    try:
        workload(files)
        gc.collect()
        before = tracemalloc.take_snapshot()
        for _ in range(max(2, rounds // 20)):
            workload(files)
        gc.collect()
        after = tracemalloc.take_snapshot()
    finally:
        tracemalloc.stop()
    growth = [s for s in after.compare_to(before, "lineno") if s.size_diff > 0]
    total = sum(s.size_diff for s in growth)
    assert total < 64 * 1024, "\n".join(map(str, growth[:10]))
    capfd.readouterr()  # the build summary lines


@pytest.fixture(scope="session")
def five_million_keys(tmp_path_factory):
    """5 000 000 seven-digit keys naming one tiny object, laid out by hand (fast to make)."""
    record = struct.pack(">II", 1, zlib.crc32(b"\xc0")) + b"\xc0"  # msgpack None
    index = b"".join([b"\x00\x07%07d" % i + struct.pack(">Q", 40) for i in range(5_000_000)])
    body = record + index
    header = struct.pack(">4sB3xIIQQI4x", b"QRDB", 2, 5_000_000, 1, 40 + len(record), 40,
                         zlib.crc32(body))  # fmt: skip
    path = tmp_path_factory.mktemp("lazy") / "five_million.qrdb"
    path.write_bytes(header + body)
    return str(path)


@pytest.mark.skipif(UNDER_SANITIZER, reason="resident memory says nothing under a sanitizer")
@pytest.mark.parametrize("listing", ["items", "range"])
def test_listings_stay_within_a_chunk_of_memory(five_million_keys, listing):
    # Verification reads the whole file in, so the mapping is resident before the baseline.
    reader = QuorReader(five_million_keys, verify=True)
    it = iter(reader.range("0000001") if listing == "range" else getattr(reader, listing)())
    gc.collect()
    baseline = peak = _rss()
    count = 0
    for count, _ in enumerate(it, 1):
        if count % 250_000 == 0:
            peak = max(peak, _rss())
    assert count == 5_000_000 - (listing == "range")
    # An eager listing of 5 M pairs would take hundreds of MB.
    assert peak - baseline < 40 * 2**20
