"""Shard set builds that fail, die, race or meet planted links leave a set that opens as before."""

import gc
import json
import os
import subprocess
import sys
import threading

import pytest

import quordb._set_files
from quordb import ShardedReader, ShardedWriter, StoreIOError
from quordb._spill import Spill

OLD = {f"k{i}": "old" for i in range(40)}
NEW = {f"k{i}": "new" for i in range(50)}


def build_set(directory, entries, shards=3):
    with ShardedWriter(directory, shards=shards) as writer:
        for key, value in entries.items():
            writer.add(value, key)


def contents(directory):
    with ShardedReader(directory) as reader:
        assert reader.verify() is True
        return dict(reader)


def run_child(code, *args):
    return subprocess.run(
        [sys.executable, "-c", code, *map(str, args)], capture_output=True, text=True, check=False
    )


# A rebuild of NEW into sys.argv[1] in 3 shards, after the lines given to run first.
REBUILD = """
import sys
import quordb
with quordb.ShardedWriter(sys.argv[1], shards=3) as writer:
    for i in range(50):
        writer.add("new", f"k{i}")
"""

FILE_SIZE_LIMITED = """
import json, resource, signal, sys
import quordb
resource.setrlimit(resource.RLIMIT_FSIZE, (int(sys.argv[2]),) * 2)
signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
try:
    with quordb.ShardedWriter(sys.argv[1], shards=1) as writer:
        for i in range(13):
            writer.add(b"x" * 100_000, f"big{i}")
except OSError as error:
    print(json.dumps([type(error).__name__, str(error)]))
"""


@pytest.mark.parametrize(
    ("limit", "failing"),
    # 13 objects of 100 005 bytes each: the spill writes its first megabyte at the 11th, and
    # the one shard holds them all and an index.
    [(500_000, "objects.spill"), (13 * 100_005 + 100, "part-00000.qrdb")],
    ids=["spilling", "writing-a-shard"],
)
def test_rebuild_failing_on_the_file_size_limit_leaves_the_old_set(tmp_path, limit, failing):
    build_set(tmp_path, OLD)
    before = sorted(os.listdir(tmp_path))
    child = run_child(FILE_SIZE_LIMITED, tmp_path, limit)
    assert child.returncode == 0, child.stderr
    name, message = json.loads(child.stdout)
    assert name in ("OSError", "StoreIOError") and message.startswith("QuorIOError: ")
    assert failing in message and "File too large" in message
    assert sorted(os.listdir(tmp_path)) == before
    assert contents(tmp_path) == OLD


KILLED_AT = (
    """
import importlib, os, signal, sys
module = importlib.import_module(sys.argv[2])
original = getattr(module, sys.argv[3])
calls = 0

def killing(*args, **kwargs):
    global calls
    calls += 1
    if calls == int(sys.argv[4]):
        os.kill(os.getpid(), signal.SIGKILL)
    return original(*args, **kwargs)

setattr(module, sys.argv[3], killing)
"""
    + REBUILD
)


@pytest.mark.parametrize(
    ("module", "name", "call", "published"),
    [
        ("quordb._set_build", "write_shard", 2, OLD),  # staging the second shard
        ("os", "fsync", 1, OLD),  # shards staged, syncing their directory
        ("os", "fsync", 3, OLD),  # the temporary manifest written, before its sync
        ("os", "replace", 1, OLD),  # the temporary manifest synced, before the rename
        ("os", "fsync", 4, NEW),  # renamed, before the directory's sync
        ("shutil", "rmtree", 1, NEW),  # removing generation 1, two publishes old
    ],
)
def test_rebuild_killed_at_each_step_leaves_a_set_that_opens(
    tmp_path, module, name, call, published
):
    build_set(tmp_path, {"gone": 1})
    build_set(tmp_path, OLD)
    child = run_child(KILLED_AT, tmp_path, module, name, call)
    assert child.returncode == -9, child.stderr
    assert contents(tmp_path) == published
    # The next build removes what the killed one left.
    build_set(tmp_path, {"next": 1})
    assert contents(tmp_path) == {"next": 1}
    # No generation number is used twice, so the killed build's 3 is never reused.
    kept = {2, 4} if published is OLD else {3, 4}
    assert sorted(os.listdir(tmp_path)) == [
        ".lock",
        *(f"gen-{generation:08d}" for generation in sorted(kept)),
        "manifest.json",
    ]


def test_second_build_of_a_set_fails_at_once_and_the_set_opens(tmp_path):
    build_set(tmp_path, OLD)
    first = ShardedWriter(tmp_path, shards=2)
    with pytest.raises(StoreIOError, match="another build of this shard set is under way"):
        ShardedWriter(tmp_path, shards=2)
    assert contents(tmp_path) == OLD
    first.add("new", "k1")
    first.build()
    assert contents(tmp_path) == {"k1": "new"}
    ShardedWriter(tmp_path, shards=2).close()  # the lock is free again


@pytest.mark.parametrize("attempt", range(40))
def test_two_builds_making_one_new_directory_at_once(tmp_path, attempt):
    # The loser of the lock may be the one that made the directory: it leaves it be.
    target = tmp_path / "a" / "b"
    start, outcomes = threading.Barrier(2), []

    def build():
        start.wait()
        try:
            outcomes.append(ShardedWriter(target, shards=2))
        except StoreIOError as error:
            outcomes.append(error)

    threads = [threading.Thread(target=build) for _ in range(2)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    (writer,) = [o for o in outcomes if isinstance(o, ShardedWriter)]
    (error,) = [o for o in outcomes if isinstance(o, StoreIOError)]
    assert "another build" in str(error)
    writer.add(1, "k")
    writer.build()
    assert contents(target) == {"k": 1}


def plant_lock(directory, victim):
    os.unlink(directory / ".lock")
    os.symlink(victim, directory / ".lock")


def plant_generation(directory, victim):
    os.symlink(victim.parent, directory / "gen-00000002")


def plant_manifest(directory, victim, monkeypatch):
    name = str(directory / "manifest.json.planted.tmp")
    monkeypatch.setattr(quordb._set_files, "temporary_name", lambda path: name)
    os.symlink(victim, name)


@pytest.mark.parametrize(
    ("plant", "fails"),
    [
        (lambda d, v, mp: plant_lock(d, v), "cannot open the lock file"),
        (lambda d, v, mp: plant_generation(d, v), None),
        (plant_manifest, "cannot create"),
    ],
    ids=["lock", "generation", "manifest"],
)
def test_links_planted_at_build_names_are_never_followed(tmp_path, monkeypatch, plant, fails):
    victim = tmp_path / "elsewhere" / "victim"
    victim.parent.mkdir()
    victim.write_text("untouched")
    build_set(tmp_path / "set", OLD)
    plant(tmp_path / "set", victim, monkeypatch)
    planted = sorted(os.listdir(tmp_path / "set"))
    if fails:
        with pytest.raises(StoreIOError, match=fails):
            build_set(tmp_path / "set", NEW)
        assert sorted(os.listdir(tmp_path / "set")) == planted  # nothing left behind
    else:
        build_set(tmp_path / "set", NEW)
    assert contents(tmp_path / "set") == (OLD if fails else NEW)
    assert os.listdir(victim.parent) == ["victim"] and victim.read_text() == "untouched"


def test_spill_hands_back_an_object_over_2_gib_whole(tmp_path):
    # More than one read call moves (2 147 479 552 bytes), in a sparse file: nothing is written.
    size = 2**31 + 4096
    available = os.sysconf("SC_AVPHYS_PAGES") * os.sysconf("SC_PAGE_SIZE")
    if available < 2 * size:
        pytest.skip("needs 4 GiB of free memory")
    spill = Spill(str(tmp_path / "objects.spill"))
    spill.append(b"head")
    os.truncate(tmp_path / "objects.spill", size)
    with spill.mapped() as spilled:
        data = spilled[:size]
    spill.close()
    assert len(data) == size and data[:4] == b"head" and data[-1] == 0


EXITING = """
import sys
import quordb
writer = quordb.ShardedWriter(sys.argv[1], shards=2)
writer.add("new", "k1")
sys.exit(0)
"""


def drop(directory):
    writer = ShardedWriter(directory, shards=2)
    writer.add("new", "k1")
    del writer
    gc.collect()


def raise_outside_with(directory):
    def build():
        writer = ShardedWriter(directory, shards=2)
        writer.add("new", "k1")
        raise RuntimeError("boom")

    try:
        build()
    except RuntimeError:
        pass


@pytest.mark.parametrize(
    "leave",
    [drop, raise_outside_with, lambda d: run_child(EXITING, d)],
    ids=["dropped", "exception", "process-exit"],
)
def test_unfinished_writer_removes_what_it_staged(tmp_path, leave):
    build_set(tmp_path, OLD)
    before = sorted(os.listdir(tmp_path))
    leave(tmp_path)
    assert sorted(os.listdir(tmp_path)) == before
    assert contents(tmp_path) == OLD
    ShardedWriter(tmp_path, shards=2).close()  # and its lock went with it


MANY_SHARDS = """
import resource, sys
import quordb
resource.setrlimit(resource.RLIMIT_NOFILE, (64, 64))
with quordb.ShardedWriter(sys.argv[1], shards=500) as writer:
    for i in range(2000):
        writer.add(i, f"k{i}")
"""


def test_many_shards_build_within_a_small_open_file_limit(tmp_path):
    child = run_child(MANY_SHARDS, tmp_path)
    assert child.returncode == 0, child.stderr
    assert contents(tmp_path) == {f"k{i}": i for i in range(2000)}
