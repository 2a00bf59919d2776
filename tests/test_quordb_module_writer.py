"""_QuorWriter: object IDs, key registration, the build's output, summary line and failures."""

import errno
import fcntl
import io
import json
import os
import stat
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

from quordb._quordb import _QuorReader, _QuorWriter


def test_ids_are_dense_and_payloads_not_deduplicated():
    w = _QuorWriter()
    assert repr(w) == "_QuorWriter(objects=0, keys=0)"
    assert [w.add_object_raw(b"same") for _ in range(3)] == [0, 1, 2]
    assert w.add_object_raw(b"") == 3
    w.add_key("k", 1)
    assert w.add_key("j", 2) is None
    assert repr(w) == "_QuorWriter(objects=4, keys=2)"


@pytest.mark.parametrize("count, obj_id", [(5, 5), (0, 0), (3, 3), (3, 2**40), (1, 2**64 - 1)])
def test_add_key_range_check(count, obj_id):
    w = _QuorWriter()
    for i in range(count):
        w.add_object_raw(b"%d" % i)
    with pytest.raises(ValueError) as exc:
        w.add_key("k", obj_id)
    assert exc.type is ValueError
    assert exc.value.args == (f"QuorError: obj_id {obj_id} out of range (have {count} objects)",)
    assert repr(w) == f"_QuorWriter(objects={count}, keys=0)"
    if count:
        w.add_key("k", count - 1)
        assert repr(w) == f"_QuorWriter(objects={count}, keys=1)"


def test_repeated_key_keeps_the_last_id(build_db):
    w = _QuorWriter()
    w.add_object_raw(b"first")
    w.add_object_raw(b"second")
    w.add_key("k", 0)
    w.add_key(b"k", 1)
    assert repr(w) == "_QuorWriter(objects=2, keys=1)"
    path = build_db(name="repeat.qrdb")
    w.build(path)
    r = _QuorReader(path)
    assert r.items_raw() == [("k", b"second")]
    assert r.stats()["num_objects"] == 2  # the unreferenced object is still written


EXAMPLE = bytes.fromhex(
    "51524442 02000000 00000002 00000001 0000000000000033 0000000000000028 10377751 00000000"
    "00000003 352441c2 616263"
    "0001 6b 0000000000000028"
    "0001 6d 0000000000000028"
)


def test_worked_example_layout(build_db):
    assert Path(build_db([b"abc"], [("m", 0), ("k", 0)])).read_bytes() == EXAMPLE


def test_keyword_calls(tmp_path):
    w = _QuorWriter()
    w.add_key(key="m", obj_id=w.add_object_raw(raw_bytes=b"abc"))
    w.add_key(obj_id=0, key="k")
    w.build(path=str(tmp_path / "kw.qrdb"))
    assert (tmp_path / "kw.qrdb").read_bytes() == EXAMPLE


DOCS = {
    None: ("()", ("Low-level writer — accepts pre-serialised msgpack bytes per object.\n"
                  "**Use `quordb.QuorWriter` (Python wrapper) instead of this directly.**")),
    "add_object_raw": ("($self, raw_bytes)",
                       "Store pre-encoded *raw_bytes* (msgpack). Returns the object ID."),
    "add_key": ("($self, key, obj_id)", "Map *key* (str or bytes) to *obj_id*."),
    "build": ("($self, path)", "Atomically write the `.qrdb` file: tmp → fsync → rename."),
}  # fmt: skip


@pytest.mark.parametrize("member", DOCS)
def test_docstrings(member):
    obj = getattr(_QuorWriter, member) if member else _QuorWriter
    assert (obj.__text_signature__, obj.__doc__) == DOCS[member]


# --- build output --------------------------------------------------------------------


@pytest.mark.parametrize(
    "payloads, keys, size, kb",
    [
        ([], [], 40, "0.0"),
        ([b"x" * 208], [], 256, "0.2"),  # 0.25 ties to even
        ([b"x" * 712], [], 760, "0.7"),
        ([b"x" * 720], [], 768, "0.8"),  # 0.75 ties to even
        ([b"x" * 1232], [], 1280, "1.2"),  # 1.25 ties to even
        ([b"x" * 500, b"y" * 1000], ["a", "bb"], 1579, "1.5"),
        ([b"x" * 2000], [], 2048, "2.0"),
    ],
)
def test_summary_line_on_fd1(tmp_path, capfd, monkeypatch, payloads, keys, size, kb):
    monkeypatch.chdir(tmp_path)
    fake_stdout = io.StringIO()  # the line goes to descriptor 1, not through sys.stdout
    monkeypatch.setattr(sys, "stdout", fake_stdout)
    w = _QuorWriter()
    for p in payloads:
        w.add_object_raw(p)
    for k in keys:
        w.add_key(k, 0)
    capfd.readouterr()
    w.build("out db.qrdb")
    assert os.path.getsize("out db.qrdb") == size
    n, k = len(payloads), len(keys)
    assert capfd.readouterr().out == f"✅  out db.qrdb  —  {n} objects · {k} keys · {kb} KB\n"
    assert fake_stdout.getvalue() == ""
    assert repr(w) == f"_QuorWriter(objects={n}, keys={k})"  # build changes nothing


def test_empty_writer_builds_the_empty_file(build_db, raw):
    assert Path(build_db()).read_bytes() == raw.header.pack(b"QRDB", 2, 0, 0, 40, 40, 0)


@pytest.mark.parametrize("payloads", [[b"x"], [b""], [b"", b"abc", b""]])
def test_objects_without_keys_round_trip_verified(build_db, raw, payloads):
    path = build_db(payloads)
    assert Path(path).read_bytes() == raw.craft(payloads)
    r = _QuorReader(path)  # verify=True: the file CRC must cover the data section alone
    assert r.verify() is True
    assert (r.keys(), r.stats()["num_objects"]) == ([], len(payloads))


def test_writer_is_reusable_across_builds(tmp_path):
    w = _QuorWriter()
    w.add_object_raw(b"v")
    w.add_key("b", 0)
    first, second, third = (str(tmp_path / n) for n in ("1.qrdb", "2.qrdb", "3.qrdb"))
    w.build(first)
    w.build(second)
    assert Path(first).read_bytes() == Path(second).read_bytes()
    w.add_key("a", w.add_object_raw(b"later"))
    w.build(third)
    assert _QuorReader(first).keys() == ["b"]
    assert _QuorReader(third).items_raw() == [("a", b"later"), ("b", b"v")]


def test_longest_key_is_kept_and_longer_is_refused(tmp_path):
    w = _QuorWriter()
    w.add_object_raw(b"v")
    w.add_key(b"k" * 65535, 0)
    for key in ("k" * 65536, b"\0" * 65536, "é" * 40000):
        with pytest.raises(ValueError) as exc:
            w.add_key(key, 0)
        assert str(exc.value).startswith("QuorError: ")
    assert repr(w) == "_QuorWriter(objects=1, keys=1)"
    path = str(tmp_path / "long.qrdb")
    w.build(path)
    assert _QuorReader(path).get_raw(b"k" * 65535) == b"v"


# Longest keys, alike but for their last byte, built on a thread with a 1 MiB stack; in a
# child, since a stack overflow ends the whole process.
LONG_KEYS_ON_A_SMALL_STACK = textwrap.dedent(
    """
    import sys, threading
    from quordb._quordb import _QuorReader, _QuorWriter
    keys = [b"p" * 65534 + bytes([i]) for i in range(64)]
    w = _QuorWriter()
    for key in reversed(keys):
        w.add_key(key, w.add_object_raw(key[-1:]))
    threading.stack_size(1 << 20)
    builder = threading.Thread(target=w.build, args=(sys.argv[1],))
    builder.start()
    builder.join()
    assert _QuorReader(sys.argv[1]).keys() == [k.decode() for k in keys]
    """
)


def test_longest_shared_keys_build_on_a_small_thread_stack(tmp_path):
    path = str(tmp_path / "long.qrdb")
    proc = subprocess.run(
        [sys.executable, "-c", LONG_KEYS_ON_A_SMALL_STACK, path],
        capture_output=True,
        check=False,
        timeout=120,
    )
    assert proc.returncode == 0, proc.stderr.decode(errors="replace")


def test_existing_target_is_replaced_atomically(tmp_path):
    path = str(tmp_path / "db.qrdb")
    with open(path, "wb") as f:
        f.write(b"old content")
    os.chmod(path, 0o600)
    w = _QuorWriter()
    w.add_key("k", w.add_object_raw(b"new"))
    w.build(path)
    assert _QuorReader(path).get_raw("k") == b"new"
    umask = os.umask(0)
    os.umask(umask)
    assert stat.S_IMODE(os.stat(path).st_mode) == 0o666 & ~umask
    assert sorted(os.listdir(tmp_path)) == ["db.qrdb"]


@pytest.mark.parametrize(
    "target, tmp_name",
    [
        ("db.qrdb", "db.qrdb.tmp"),
        ("db", "db.qrdb.tmp"),
        ("db.bin", "db.qrdb.tmp"),
        ("a.b.c", "a.b.qrdb.tmp"),
        (".hidden", ".hidden.qrdb.tmp"),
    ],
)
def test_failed_rename_leaves_complete_temporary_file(tmp_path, capfd, target, tmp_name):
    # A non-empty directory as target lets the rename fail after the temporary file is written.
    (tmp_path / target).mkdir()
    (tmp_path / target / "keep").write_bytes(b"untouched")
    w = _QuorWriter()
    w.add_key("k", w.add_object_raw(b"v"))
    capfd.readouterr()
    with pytest.raises(OSError) as exc:
        w.build(str(tmp_path / target))
    assert exc.type is OSError and exc.value.errno is None
    assert str(exc.value) == f"QuorIOError: rename: {os.strerror(errno.EISDIR)} (os error 21)"
    assert capfd.readouterr().out == ""
    assert sorted(os.listdir(tmp_path)) == sorted([target, tmp_name])
    assert (tmp_path / target / "keep").read_bytes() == b"untouched"
    left = _QuorReader(str(tmp_path / tmp_name))
    assert left.verify() and left.items_raw() == [("k", b"v")]


def _os_text(code):
    return f"{os.strerror(code)} (os error {code})"


@pytest.mark.parametrize(
    "setup, target, message",
    [
        (None, "missing/db.qrdb", f"QuorIOError: open tmp: {_os_text(errno.ENOENT)}"),
        ("file", "regular/db.qrdb", f"QuorIOError: open tmp: {_os_text(errno.ENOTDIR)}"),
        ("tmpdir", "db.qrdb", f"QuorIOError: open tmp: {_os_text(errno.EISDIR)}"),
        (
            None,
            "nul\0byte.qrdb",
            "QuorIOError: open tmp: file name contained an unexpected NUL byte",
        ),
        (None, "", f"QuorIOError: open tmp: {_os_text(errno.ENOENT)}"),
        ("readonly", "ro/db.qrdb", f"QuorIOError: open tmp: {_os_text(errno.EACCES)}"),
        # A symlink planted at the temporary name is not followed to overwrite its target.
        ("symlink", "db.qrdb", f"QuorIOError: open tmp: {_os_text(errno.ELOOP)}"),
        (
            "locked",
            "db.qrdb",
            "QuorIOError: open tmp: another build of this target is writing db.qrdb.tmp: "
            + _os_text(errno.EAGAIN),
        ),
    ],
)
def test_failed_build_leaves_target_untouched(tmp_path, capfd, monkeypatch, setup, target, message):
    monkeypatch.chdir(tmp_path)
    if setup == "file":
        (tmp_path / "regular").write_bytes(b"not a directory")
    elif setup == "tmpdir":
        (tmp_path / "db.qrdb.tmp").mkdir()
    elif setup == "readonly":
        if os.geteuid() == 0:
            pytest.skip("permission bits do not bind root")
        (tmp_path / "ro").mkdir(mode=0o500)
    elif setup == "symlink":
        (tmp_path / "victim").write_bytes(b"precious")
        (tmp_path / "db.qrdb.tmp").symlink_to(tmp_path / "victim")
    elif setup == "locked":  # held as another build would hold it
        held = open(tmp_path / "db.qrdb.tmp", "wb")  # noqa: SIM115 - held to the end
        fcntl.flock(held, fcntl.LOCK_EX)
        held.write(b"being written")
        held.flush()
    before = {p.name: p.read_bytes() for p in tmp_path.iterdir() if p.is_file()}
    before_times = {p.name: p.stat().st_mtime_ns for p in tmp_path.iterdir()}
    w = _QuorWriter()
    w.add_key("k", w.add_object_raw(b"v"))
    capfd.readouterr()
    with pytest.raises(OSError) as exc:
        w.build(target)
    assert exc.type is OSError
    assert (exc.value.errno, exc.value.strerror, exc.value.filename) == (None, None, None)
    assert str(exc.value) == message
    assert capfd.readouterr().out == ""
    assert {p.name: p.stat().st_mtime_ns for p in tmp_path.iterdir()} == before_times
    assert {p.name: p.read_bytes() for p in tmp_path.iterdir() if p.is_file()} == before
    assert repr(w) == "_QuorWriter(objects=1, keys=1)"
    w.build("fine.qrdb")  # the writer is still usable
    assert _QuorReader("fine.qrdb").get_raw("k") == b"v"


# --- standard output failures, in child processes ---------------------------------------

CHILD = textwrap.dedent(
    """
    import json, os, sys
    from quordb._quordb import _QuorReader, _QuorWriter
    w = _QuorWriter()
    w.add_key("k", w.add_object_raw(b"v"))
    try:
        w.build(sys.argv[1])
        outcome = {"raised": None}
    except BaseException as exc:
        outcome = {"raised": type(exc).__name__, "message": str(exc),
                   "bases": [b.__name__ for b in type(exc).__bases__]}
    outcome["items"] = [list(map(str, p)) for p in _QuorReader(sys.argv[1]).items_raw()]
    os.write(2, json.dumps(outcome).encode())
    """
)


def _run_child(tmp_path, **popen):
    target = str(tmp_path / "child.qrdb")
    proc = subprocess.run(
        [sys.executable, "-c", CHILD, target], stderr=subprocess.PIPE, check=False, **popen
    )
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stderr)


def test_closed_stdout_drops_the_line_silently(tmp_path):
    outcome = _run_child(tmp_path, preexec_fn=lambda: os.close(1))
    assert outcome == {"raised": None, "items": [["k", "b'v'"]]}


@pytest.mark.parametrize("sink, code", [("full", errno.ENOSPC), ("pipe", errno.EPIPE)])
def test_stdout_write_failure_raises_base_exception(tmp_path, sink, code):
    if sink == "full":
        if not os.path.exists("/dev/full"):
            pytest.skip("no /dev/full")
        with open("/dev/full", "wb") as full:
            outcome = _run_child(tmp_path, stdout=full)
    else:
        read_end, write_end = os.pipe()
        os.close(read_end)  # the interpreter ignores SIGPIPE, so the write fails with EPIPE
        try:
            outcome = _run_child(tmp_path, stdout=write_end)
        finally:
            os.close(write_end)
    assert outcome["bases"] == ["BaseException"]
    assert outcome["message"] == f"failed printing to stdout: {_os_text(code)}"
    assert outcome["items"] == [["k", "b'v'"]]  # the file is already in place
