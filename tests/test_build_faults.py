"""Builds that fail part-way: file size limits, full and read-only file systems, SIGKILL.

Whatever happens, the target is either the complete old file or the complete new one, and a
failure is reported as a plain OSError "QuorIOError: ...". Each fault runs in a child
process, since it changes process limits or mounts, or kills the process outright.
"""

import errno
import hashlib
import json
import os
import random
import shutil
import subprocess
import sys
import textwrap
import time
from pathlib import Path

import pytest

from quordb._quordb import _QuorReader

# Builds the writer that `spec` describes, then builds `spec["target"]` under the fault
# given, reporting each attempt as one JSON line on the descriptor `spec["report_fd"]`.
BUILD_CHILD = textwrap.dedent(
    r"""
    import hashlib, json, os, random, resource, signal, sys
    from quordb._quordb import _QuorReader, _QuorWriter

    spec = json.loads(sys.argv[1])
    target = spec["target"]
    rng = random.Random(spec["seed"])
    w = _QuorWriter()
    for i in range(spec["objects"]):
        obj = w.add_object_raw(rng.randbytes(spec["payload"]))
        w.add_key(f"key:{i:06d}", obj)
        w.add_key(f"alias:{i:06d}", obj)


    def report(**fields):
        os.write(spec["report_fd"], (json.dumps(fields) + "\n").encode())


    def build():
        try:
            w.build(target)
        except BaseException as exc:
            return {"raised": f"{type(exc).__module__}.{type(exc).__qualname__}",
                    "message": str(exc), "errno": getattr(exc, "errno", None)}
        return {"raised": None}


    def opens():
        try:
            r = _QuorReader(target)
            return r.verify() and len(r.keys())
        except BaseException as exc:
            return f"{type(exc).__qualname__}: {exc}"


    def digest(path):
        if not os.path.exists(path):
            return None
        with open(path, "rb") as f:
            return hashlib.blake2b(f.read()).hexdigest()


    tmp = target.rsplit(".", 1)[0] + ".qrdb.tmp"
    if spec.get("create_old"):  # made here when the target lives on the child's own mount
        with open(target, "wb") as f:
            f.write(bytes.fromhex(spec["old"]))
    if "fsize" in spec:
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)  # so that write fails with EFBIG
        soft, hard = resource.getrlimit(resource.RLIMIT_FSIZE)
        resource.setrlimit(resource.RLIMIT_FSIZE, (spec["fsize"], hard))
        fds = len(os.listdir("/proc/self/fd"))
        outcome = build()
        leaked = len(os.listdir("/proc/self/fd")) - fds  # the temporary file is closed
        report(**outcome, target=digest(target), tmp=digest(tmp), leaked_fds=leaked)
        resource.setrlimit(resource.RLIMIT_FSIZE, (soft, hard))
    if spec.get("inspect"):
        old = bytes.fromhex(spec["old"])
        with open(target, "rb") as f:
            unchanged = f.read() == old
        report(**build(), target_unchanged=unchanged, target_opens=opens(),
               tmp_size=os.path.getsize(tmp) if os.path.exists(tmp) else None)
    else:
        if spec.get("announce"):
            report(building=True)
        if spec.get("alarm"):  # a signal every so often, to interrupt blocked writes
            signal.signal(signal.SIGALRM, lambda *_: None)
            signal.setitimer(signal.ITIMER_REAL, spec["alarm"], spec["alarm"])
        outcome = build()
        signal.setitimer(signal.ITIMER_REAL, 0)
        report(**outcome)
    """
)

IO = "QuorIOError: "


def _os_text(code):
    return f"{os.strerror(code)} (os error {code})"


def _run_child(spec, *, wrap=(), timeout=120):
    """Runs BUILD_CHILD with `spec`; returns its JSON reports and the completed process."""
    read_end, write_end = os.pipe()
    try:
        proc = subprocess.run(
            [*wrap, sys.executable, "-c", BUILD_CHILD, json.dumps(dict(spec, report_fd=write_end))],
            pass_fds=(write_end,),
            capture_output=True,
            timeout=timeout,
            check=False,
        )
    finally:
        os.close(write_end)
    with os.fdopen(read_end, "rb") as reports:
        lines = [json.loads(line) for line in reports.read().splitlines()]
    return lines, proc


def _blake(blob):
    return hashlib.blake2b(blob).hexdigest()


def _old_database(build_db):
    """A small valid database: what the target holds before every faulty build."""
    return Path(build_db([b"old one", b"old two"], {"old": 0, "older": 1}, name="old.qrdb"))


def _assert_is(path, blob):
    assert path.read_bytes() == blob
    r = _QuorReader(str(path))
    assert r.verify() is True


# --- a write that fails part-way: EFBIG from RLIMIT_FSIZE ---------------------------------

# (objects, payload bytes): a file that fits the 8192-byte write buffer whole, and one whose
# data and index sections are each written directly, bypassing it.
LAYOUTS = {"buffered": (6, 100), "direct": (64, 300)}


EVERYWHERE = ["1", "39", "40", "41", "data/2", "index+5", "index/2", "last", "exact"]
BUFFER_EDGES = ["8191", "8192", "8193"]


@pytest.mark.parametrize(
    "layout, cut",
    [("buffered", cut) for cut in EVERYWHERE]
    + [("direct", cut) for cut in EVERYWHERE + BUFFER_EDGES],
)
def test_write_failing_part_way_leaves_target_whole(build_db, tmp_path, layout, cut):
    old = _old_database(build_db).read_bytes()
    target = tmp_path / "db.qrdb"
    target.write_bytes(old)
    objects, payload = LAYOUTS[layout]
    spec = {"target": str(target), "seed": 7, "objects": objects, "payload": payload}

    # The complete file, to place the limit within its layout: no limit and a scratch target.
    scratch = dict(spec, target=str(tmp_path / "complete.qrdb"))
    assert _run_child(scratch)[0][-1] == {"raised": None}
    complete = Path(scratch["target"]).read_bytes()
    index_offset = int.from_bytes(complete[16:24], "big")
    limits = {
        "data/2": (40 + index_offset) // 2,
        "index+5": index_offset + 5,
        "index/2": (index_offset + len(complete)) // 2,
        "last": len(complete) - 1,
        "exact": len(complete),  # fits exactly: no failure
    }
    limit = limits.get(cut) or int(cut)
    assert limit <= len(complete)

    (limited, retried), proc = _run_child(dict(spec, fsize=limit))
    assert proc.returncode == 0, proc.stderr
    if limit == len(complete):
        assert limited == {"raised": None, "target": _blake(complete), "tmp": None, "leaked_fds": 0}
    else:
        # The temporary file holds exactly what got written, a prefix of the complete file;
        # the target is the old file.
        assert limited == {
            "raised": "builtins.OSError",
            "message": IO + _os_text(errno.EFBIG),
            "errno": None,
            "target": _blake(old),
            "tmp": _blake(complete[:limit]),
            "leaked_fds": 0,
        }
    # The same writer builds the complete file once the limit is lifted.
    assert retried == {"raised": None}
    _assert_is(target, complete)


# --- interrupted and short writes, and a failing sync: the temporary file is a pipe ----------

# Drains a FIFO slowly in odd-sized reads, so that the writer's large writes block, end
# part-way and are interrupted by its signals; saves what arrives.
DRAIN = textwrap.dedent(
    """
    import os, sys, time
    fifo, out, size = sys.argv[1], sys.argv[2], int(sys.argv[3])
    fd = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)  # lets the writer's open succeed at once
    os.set_blocking(fd, True)
    print("ready", flush=True)
    got = bytearray()
    while len(got) < size:
        chunk = os.read(fd, 997)
        if not chunk:
            if got:
                break  # the writer closed early
            time.sleep(0.001)  # no writer yet
            continue
        got += chunk
        time.sleep(0.0002)
    with open(out, "wb") as f:
        f.write(got)
    """
)


def test_interrupted_and_short_writes_are_completed_and_sync_failure_reported(build_db, tmp_path):
    old = _old_database(build_db).read_bytes()
    target = tmp_path / "db.qrdb"
    target.write_bytes(old)
    spec = {"target": str(target), "seed": 5, "objects": 64, "payload": 3000}
    scratch = dict(spec, target=str(tmp_path / "complete.qrdb"))
    assert _run_child(scratch)[0] == [{"raised": None}]
    complete = Path(scratch["target"]).read_bytes()

    os.mkfifo(tmp_path / "db.qrdb.tmp")
    received = tmp_path / "received"
    drain = subprocess.Popen(
        [sys.executable, "-c", DRAIN, str(tmp_path / "db.qrdb.tmp"), str(received),
         str(len(complete))],
        stdout=subprocess.PIPE,
    )  # fmt: skip
    try:
        assert drain.stdout.readline() == b"ready\n"
        lines, proc = _run_child(dict(spec, alarm=0.0003))
        assert drain.wait(timeout=60) == 0
    finally:
        drain.kill()
        drain.stdout.close()
    assert proc.returncode == 0, proc.stderr
    # Every byte went through, in order, despite the signals; then the sync (impossible on
    # a pipe) failed, and the error is the system's text alone.
    assert received.read_bytes() == complete
    assert lines == [
        {"raised": "builtins.OSError", "message": IO + _os_text(errno.EINVAL), "errno": None}
    ]
    _assert_is(target, old)


# --- full and read-only file systems, in a private mount namespace --------------------------


def _in_mount_namespace(setup):
    """A command prefix running the child in a mount namespace after `setup` (shell)."""
    probe = (
        subprocess.run(
            ["unshare", "--mount", "--propagation", "private", "true"],
            capture_output=True,
            check=False,
        )
        if shutil.which("unshare")
        else None
    )
    if probe is None or probe.returncode != 0:
        pytest.skip("cannot create a mount namespace here (needs unshare and CAP_SYS_ADMIN)")
    script = f'{setup} && exec "$@"'
    return ["unshare", "--mount", "--propagation", "private", "sh", "-c", script, "sh"]


@pytest.mark.parametrize(
    "fault, setup, message",
    [
        (
            "full",
            "mount -t tmpfs -o size=64k tmpfs {dir}",
            IO + _os_text(errno.ENOSPC),
        ),
        (
            "read-only",
            "mount --bind {dir} {dir} && mount -o remount,bind,ro {dir}",
            IO + "open tmp: " + _os_text(errno.EROFS),
        ),
    ],
)
def test_full_or_read_only_file_system(build_db, tmp_path, fault, setup, message):
    old = _old_database(build_db).read_bytes()
    fs = tmp_path / "fs"
    fs.mkdir()
    target = fs / "db.qrdb"
    if fault == "read-only":
        target.write_bytes(old)  # placed before the directory turns read-only
    wrap = _in_mount_namespace(setup.format(dir=fs))
    spec = {"target": str(target), "seed": 3, "objects": 64, "payload": 4096, "inspect": True,
            "old": old.hex(), "create_old": fault == "full"}  # fmt: skip
    lines, proc = _run_child(spec, wrap=wrap)
    assert proc.returncode == 0, proc.stderr
    (outcome,) = lines
    assert outcome["raised"] == "builtins.OSError" and outcome["errno"] is None
    assert outcome["message"] == message
    assert outcome["target_unchanged"] is True
    assert outcome["target_opens"] == 2
    if fault == "full":
        assert 0 < outcome["tmp_size"] <= 64 * 1024  # left behind, part-written
    else:
        assert outcome["tmp_size"] is None


@pytest.mark.skipif(os.geteuid() == 0, reason="permission bits do not bind root; see read-only")
def test_unwritable_directory(build_db, tmp_path):
    old = _old_database(build_db).read_bytes()
    locked = tmp_path / "locked"
    locked.mkdir()
    (locked / "db.qrdb").write_bytes(old)
    locked.chmod(0o500)
    try:
        spec = {"target": str(locked / "db.qrdb"), "seed": 1, "objects": 2, "payload": 8,
                "inspect": True, "old": old.hex()}  # fmt: skip
        (outcome,) = _run_child(spec)[0]
    finally:
        locked.chmod(0o700)
    assert outcome["message"] == IO + "open tmp: " + _os_text(errno.EACCES)
    assert outcome["target_unchanged"] is True and outcome["tmp_size"] is None


# --- SIGKILL at random moments --------------------------------------------------------------


def _digest(path):
    h = hashlib.blake2b()
    with open(path, "rb") as f:
        while chunk := f.read(1 << 20):
            h.update(chunk)
    return h.hexdigest()


class _BuildingChild:
    """A child that has filled its writer and is about to build; `started` is that moment."""

    def __init__(self, spec):
        read_end, write_end = os.pipe()
        self.proc = subprocess.Popen(
            [sys.executable, "-c", BUILD_CHILD, json.dumps(dict(spec, report_fd=write_end))],
            pass_fds=(write_end,),
            stdout=subprocess.DEVNULL,
        )
        os.close(write_end)
        self.reports = os.fdopen(read_end, "rb")
        assert json.loads(self.reports.readline()) == {"building": True}
        self.started = time.monotonic()

    def finish(self):
        outcome = json.loads(self.reports.readline())
        self.reports.close()
        assert self.proc.wait(timeout=120) == 0
        return outcome

    def kill_after(self, delay):
        time.sleep(delay)
        self.proc.kill()
        self.proc.wait(timeout=120)
        self.reports.close()


def test_sigkill_during_build_leaves_old_or_new_target(build_db, tmp_path):
    old_path = _old_database(build_db)
    target = tmp_path / "db.qrdb"
    # 64 objects of 1 MiB: a 64 MiB file whose write and sync take a noticeable while.
    spec = {"target": str(target), "seed": 11, "objects": 64, "payload": 1 << 20, "announce": True}

    shutil.copyfile(old_path, target)
    child = _BuildingChild(spec)
    assert child.finish() == {"raised": None}
    build_time = time.monotonic() - child.started
    new_digest, old_digest = _digest(target), _digest(old_path)

    rng = random.Random(20240611)
    seen = []
    for _ in range(10):
        shutil.copyfile(old_path, target)
        # Kills spread over the build and a little past it: assembly, write, sync, rename.
        _BuildingChild(spec).kill_after(rng.uniform(0, 1.3 * build_time))
        digest = _digest(target)
        assert digest in (old_digest, new_digest)
        seen.append("new" if digest == new_digest else "old")
        r = _QuorReader(str(target))  # the checksum pass included
        assert r.verify() is True
        assert r.stats()["num_keys"] == (128 if digest == new_digest else 2)
        assert set(os.listdir(tmp_path)) <= {"db.qrdb", "db.qrdb.tmp", "old.qrdb"}
    print(f"build of 64 MiB: {build_time:.2f} s; targets after SIGKILL: {seen}")
