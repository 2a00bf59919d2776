"""Readers and writers under threads with forced switching, across fork, and across rebuilds
made by another process while this one opens and reads."""

import errno
import itertools
import json
import os
import random
import subprocess
import sys
import textwrap
import threading

import pytest

from quordb._quordb import _QuorReader, _QuorWriter


@pytest.fixture
def switch_often():
    """Let the interpreter switch threads as often as it can, to interleave every call."""
    before = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(before)


def _outcome(call):
    try:
        return ("ok", call())
    except Exception as exc:  # noqa: BLE001 - compared with the single-threaded outcome
        return ("raise", type(exc), str(exc))


@pytest.fixture
def big_db(build_db):
    rng = random.Random(5)
    objects = [rng.randbytes(rng.randrange(0, 64)) for _ in range(300)]
    keys = {f"{'user:' if i % 2 else 'é:'}{i:04d}": i % 300 for i in range(1500)}
    keys.update({b"\xff\xfe%d" % i: i for i in range(20)})
    return build_db(objects, keys), sorted(
        keys, key=lambda k: k.encode() if isinstance(k, str) else k
    )


def test_mixed_reads_from_many_threads_under_forced_switching(big_db, raw, write_db, switch_often):
    path, keys = big_db
    shared = _QuorReader(path)
    # A second reader whose record "z" lies past the end: its calls fail, every time alike.
    damaged = _QuorReader(write_db(raw.craft([b"abc"], [(b"k", 40), (b"z", 10_000)])))
    calls = [
        shared.keys, shared.items_raw, shared.objects_raw, shared.stats, shared.verify,
        lambda: shared.prefix_raw("user:00"), lambda: shared.prefix_raw(b"\xff"),
        lambda: shared.prefix_raw("é:1"), lambda: repr(shared),
        lambda: _QuorReader(path).get_raw("user:0001"),  # open and drop while others read
        lambda: _QuorReader(path, verify=False).stats(),
        damaged.items_raw, damaged.verify, lambda: damaged.get_raw("z"), damaged.keys,
        lambda: damaged.prefix_raw(""), lambda: damaged.get_raw("k"),
        lambda: shared.get_raw(bytearray(b"absent")), lambda: shared.get_raw(42),
    ]  # fmt: skip
    calls += [lambda k=k: (shared.get_raw(k), shared.exists(k)) for k in keys[::37]]
    expected = [_outcome(call) for call in calls]
    assert ("raise", RuntimeError, "QuorCorruptError: offset 10000 out of bounds") in expected
    assert ("raise", ValueError, "key must be str or bytes") in expected

    start = threading.Barrier(8)
    mismatches = []

    def work(seed):
        rng = random.Random(seed)
        start.wait()
        for _ in range(3000):
            n = rng.randrange(len(calls))
            got = _outcome(calls[n])
            if got != expected[n]:
                mismatches.append((n, got))

    threads = [threading.Thread(target=work, args=(seed,)) for seed in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert mismatches == []


def test_one_writer_fed_by_many_threads(tmp_path, switch_often):
    w = _QuorWriter()
    given = {}  # key -> payload, per thread
    lock = threading.Lock()
    errors = []

    def feed(thread):
        mine = {}
        try:
            for i in range(300):
                payload = f"{thread}/{i}".encode()
                obj = w.add_object_raw(payload)
                w.add_key(f"t{thread}:{i}", obj)
                w.add_key(f"shared:{i}", obj)  # every thread overwrites these: last call wins
                repr(w)
                mine[f"t{thread}:{i}"] = (obj, payload)
        except Exception as exc:  # noqa: BLE001 - reported by the main thread
            errors.append(exc)
        with lock:
            given.update(mine)

    threads = [threading.Thread(target=feed, args=(n,)) for n in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    # Threads never see one another's borrow: every call holds the interpreter lock throughout.
    assert errors == []
    ids = sorted(obj for obj, _ in given.values())
    assert ids == list(range(8 * 300))
    assert repr(w) == f"_QuorWriter(objects={8 * 300}, keys={8 * 300 + 300})"

    path = str(tmp_path / "fed.qrdb")
    w.build(path)
    r = _QuorReader(path)
    assert all(r.get_raw(k) == payload for k, (_, payload) in given.items())
    assert all(r.get_raw(f"shared:{i}").endswith(f"/{i}".encode()) for i in range(300))


def test_reader_opened_before_fork_keeps_working_in_the_child(build_db, tmp_path):
    path = build_db([b"old-a", b"old-b"], {"a": 0, "b": 1, "ab": 0})
    r = _QuorReader(path)
    before = (r.items_raw(), r.objects_raw(), r.keys(), r.stats(), r.prefix_raw("a"))
    go_read, go_write = os.pipe()
    pid = os.fork()
    if pid == 0:  # the child: report through the exit status only
        status = 1
        try:
            os.close(go_write)
            os.read(go_read, 1)  # the parent has replaced the file by now
            same = (r.items_raw(), r.objects_raw(), r.keys(), r.stats(), r.prefix_raw("a"))
            fresh = _QuorReader(path)
            status = 0 if same == before and r.verify() and fresh.get_raw("a") == b"new" else 2
        finally:
            os._exit(status)
    os.close(go_read)
    # Replace the file under both processes, and keep reading in the parent meanwhile.
    w = _QuorWriter()
    w.add_key("a", w.add_object_raw(b"new"))
    w.build(path)
    os.write(go_write, b"x")
    os.close(go_write)
    assert (r.items_raw(), r.objects_raw(), r.keys(), r.stats(), r.prefix_raw("a")) == before
    _, status = os.waitpid(pid, 0)
    assert os.waitstatus_to_exitcode(status) == 0


REBUILDER = textwrap.dedent(
    """
    import sys
    from quordb._quordb import _QuorWriter
    path, versions = sys.argv[1], int(sys.argv[2])
    for v in range(1, versions + 1):
        w = _QuorWriter()
        obj = w.add_object_raw(b"version %d" % v)
        for i in range(v % 50 + 1):  # sizes differ from one version to the next
            w.add_key("k%03d" % i, obj)
        w.build(path)
    """
)


def test_rebuilds_in_another_process_under_open_readers(build_db):
    path = build_db([b"version 0"], {"k000": 0})
    child = subprocess.Popen(
        [sys.executable, "-c", REBUILDER, path, "300"], stdout=subprocess.DEVNULL
    )
    kept = []  # readers of earlier versions, still open while later ones replace the file
    seen = set()
    try:
        while True:
            done = child.poll() is not None
            r = _QuorReader(path)  # never a partial file: the checksum pass would fail
            (version,) = {int(p.split()[1]) for p in r.objects_raw()}
            assert r.keys() == [f"k{i:03d}" for i in range(version % 50 + 1)]
            assert r.verify() is True
            kept.append((r, version, r.items_raw()))
            seen.add(version)
            kept = kept[-20:]
            if done:
                break
    finally:
        child.wait(timeout=60)
    assert child.returncode == 0
    assert kept[-1][1] == 300
    print(f"versions seen while rebuilding: {len(seen)}")
    for r, _, items in kept:
        assert r.items_raw() == items


@pytest.mark.parametrize("closer", ["close", "refresh", "drop"])
def test_close_or_swap_during_scans_and_batches_on_other_threads(big_db, switch_often, closer):
    """Each call either completes on the file it started with or reports the reader closed."""
    from quordb import QuorReader, QuorWriter

    path, keys = big_db
    asked = keys[::3] + ["absent", 7]
    reference = QuorReader(path)
    want_batch = reference.get_many_raw(asked)
    want_items = list(reference.range_raw())
    # After a swap, a batch reads the new file, which holds none of the keys asked.
    allowed_batches = [want_batch] + ([[None] * len(asked)] if closer == "refresh" else [])
    for _round in range(20):
        reader = QuorReader(path)
        start = threading.Barrier(4)
        outcomes = []

        def batches(reader=reader, start=start, outcomes=outcomes):
            start.wait()
            for _ in range(20):
                outcomes.append(_outcome(lambda: reader.get_many_raw(asked) in allowed_batches))

        def scans(reader=reader, start=start, outcomes=outcomes):
            # Made before the close, in many chunks: must finish on its file.
            items = itertools.chain.from_iterable(reader._native.scan("items", chunk=50))
            start.wait()
            outcomes.append(("ok", list(items) == want_items))
            outcomes.append(_outcome(lambda: reader.verify()))

        def swap(reader=reader, start=start):
            start.wait()
            if closer == "close":
                reader.close()
            elif closer == "refresh":
                w = QuorWriter()
                w.add("v", "k")
                w.build(path + ".new")
                os.link(path, path + ".old")
                os.replace(path + ".new", path)
                reader.refresh()
                os.replace(path + ".old", path)  # back for the next round
            else:
                reader._native = None

        threads = [threading.Thread(target=f) for f in (batches, batches, scans, swap)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert {o for o in outcomes if o[0] == "ok"} <= {("ok", True)}
        failures = {o[1:] for o in outcomes if o[0] == "raise"}
        if closer == "close":
            # The native reader's words, or the Python layer's once it has let go.
            assert failures <= {(ValueError, "I/O operation on a closed reader"),
                                (ValueError, "I/O operation on a closed QuorReader")}  # fmt: skip
        elif closer == "refresh":
            assert failures == set()
        else:
            assert failures <= {(AttributeError, "'NoneType' object has no attribute 'get_many_raw'"),
                                (AttributeError,
                                 "'NoneType' object has no attribute 'verify_strict'")}  # fmt: skip


RACER = textwrap.dedent(
    """
    import json, sys
    from quordb._quordb import _QuorReader, _QuorWriter
    path, tag, builds = sys.argv[1], sys.argv[2].encode(), int(sys.argv[3])
    w = _QuorWriter()
    for i in range(300):  # large enough that two builds' writes overlap
        w.add_key("k%03d" % i, w.add_object_raw(tag * (1000 + i)))
    outcomes = []
    for _ in range(builds):
        try:
            w.build(path)
        except OSError as exc:
            outcomes.append(["refused", str(exc)])
            continue
        try:
            r = _QuorReader(path)  # either build's file, but always a whole one
            outcomes.append(["built", r.verify() and len(r.keys())])
        except Exception as exc:
            outcomes.append(["damaged", f"{type(exc).__name__}: {exc}"])
    print(json.dumps(outcomes))
    """
)


def test_two_processes_building_one_target_never_damage_it(tmp_path):
    target = tmp_path / "db.qrdb"
    racers = [
        subprocess.Popen(
            [sys.executable, "-c", RACER, str(target), tag, "25"],
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
        )
        for tag in ("A", "B")
    ]
    outcomes = []
    for racer in racers:
        out, err = racer.communicate(timeout=120)
        assert racer.returncode == 0, err
        outcomes += [tuple(o) for o in json.loads(out.splitlines()[-1])]
    busy = (
        "QuorIOError: open tmp: another build of this target is writing "
        f"{tmp_path / 'db.qrdb.tmp'}: {os.strerror(errno.EAGAIN)} (os error {errno.EAGAIN})"
    )
    assert set(outcomes) <= {("built", 300), ("refused", busy)}, sorted(set(outcomes))
    assert ("built", 300) in outcomes
    assert _QuorReader(str(target)).verify() is True
