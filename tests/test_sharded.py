"""Shard sets: key routing, ShardedWriter, ShardedReader, the manifest's publishing, quordb.open."""

import dataclasses
import json
import os
import pathlib
import re
import shutil
import subprocess
import sys
import tempfile
import threading

import msgpack
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import quordb
import quordb._sharded_reader
from quordb import (
    CorruptError,
    QuorReader,
    ShardedReader,
    ShardedWriter,
    StoreIOError,
    VersionError,
)
from quordb._manifest import Manifest, ShardEntry, shards_crc32
from quordb._native import RecordScan, key_hash64, shard_of

xxhash = pytest.importorskip("xxhash")


def key_bytes(key):
    return key.encode() if isinstance(key, str) else bytes(key)


def model_shard(key, shards):
    return xxhash.xxh3_64_intdigest(key_bytes(key), seed=0) % shards


def manifest_of(directory):
    with open(os.path.join(directory, "manifest.json"), encoding="utf-8") as file:
        return json.load(file)


def build_set(directory, entries, shards):
    """A shard set of *entries* ({key: object}), each object under its one key."""
    with ShardedWriter(directory, shards=shards) as writer:
        for key, value in entries.items():
            writer.add(value, key)
    return str(directory)


def sealed(manifest):
    """*manifest* with its shards_crc32 made to match, so that a check beyond it is reached."""
    entries = tuple(ShardEntry(**entry) for entry in manifest["shards"])
    return {**manifest, "shards_crc32": shards_crc32(entries)}


def write_manifest(directory, manifest):
    (pathlib.Path(directory) / "manifest.json").write_text(json.dumps(manifest), encoding="utf-8")


def to_version_1(directory):
    """Turn the set in *directory* into one of the layout before generations."""
    directory = pathlib.Path(directory)
    manifest = Manifest.load(str(directory))
    entries = []
    for index, entry in enumerate(manifest.shards):
        name = f"part-{index:05d}.qrdb"
        os.replace(directory / entry.file, directory / name)
        entries.append(ShardEntry(name, *dataclasses.astuple(entry)[1:]))
    shutil.rmtree(directory / f"gen-{manifest.generation:08d}")
    (directory / "manifest.json").write_bytes(Manifest(tuple(entries), 0).to_bytes())
    return str(directory)


def shard_file(directory, index, generation=1):
    return pathlib.Path(directory) / f"gen-{generation:08d}" / f"part-{index:05d}.qrdb"


#: The one-key lookup that each batched lookup answers as, key by key.
SINGLE_LOOKUP = {"get_many_raw": ShardedReader.get_raw, "exists_many": ShardedReader.__contains__}


# Routing


@settings(max_examples=300, deadline=None)
@given(
    st.text() | st.binary(),
    st.integers(min_value=1, max_value=2**64 - 1) | st.integers(min_value=1, max_value=64),
)
def test_routing_is_xxh3_64_seed_0_modulo_the_shard_count(key, shards):
    assert key_hash64(key) == xxhash.xxh3_64_intdigest(key_bytes(key), seed=0)
    assert shard_of(key, shards) == model_shard(key, shards)
    assert shard_of(bytearray(key_bytes(key)), shards) == shard_of(key, shards)


# The routing table of docs/format.md, for readers in other languages.
@pytest.mark.parametrize(
    ("key", "digest", "of_4", "of_10"),
    [
        (b"", 0x2D06800538D394C2, 2, 8),
        ("abc", 0x78AF5F94892F3950, 0, 4),
        ("user:1", 0x3B577AFD7FED9501, 1, 5),
        ("café", 0x4C83DBD5F29D367F, 3, 9),
    ],
)
def test_documented_routing_examples(key, digest, of_4, of_10):
    assert key_hash64(key) == digest
    assert (shard_of(key, 4), shard_of(key, 10)) == (of_4, of_10)


def test_documented_manifest_example(tmp_path):
    text = (pathlib.Path(__file__).parents[1] / "docs" / "format.md").read_text(encoding="utf-8")
    documented = json.loads(re.search(r"```json\n(.*?)```", text, re.DOTALL).group(1))
    with ShardedWriter(tmp_path, shards=2) as writer:
        writer.add({"name": "Ada"}, ["user:1", "ada@example.org"])
        writer.add({"name": "Bob"}, "user:2")
        writer.add({"name": "Cy"}, "user:3")
    assert manifest_of(tmp_path) == documented


@pytest.mark.parametrize(
    ("key", "shards", "error"),
    [
        ("k", 0, ValueError),
        ("k", -1, ValueError),
        ("k", 2**64, ValueError),
        ("k", 1.0, TypeError),
        ("k", "2", TypeError),
        (3, 2, ValueError),
        ("\ud800", 2, ValueError),
    ],
)
def test_routing_rejects_bad_arguments(key, shards, error):
    with pytest.raises(error):
        shard_of(key, shards)


# ShardedWriter and ShardedReader against a dict

set_keys = st.text(max_size=6) | st.binary(max_size=6)
small_ints = st.integers(min_value=-(2**63), max_value=2**63 - 1)
objects = small_ints | st.text(max_size=4) | st.lists(small_ints, max_size=3)


@settings(max_examples=40, deadline=None)
@given(
    st.lists(st.tuples(objects, st.lists(set_keys, min_size=1, max_size=4)), max_size=30),
    st.lists(st.tuples(set_keys, st.integers(min_value=0)), max_size=8),
    st.integers(min_value=1, max_value=5),
    st.binary(max_size=2),
)
def test_sharded_set_agrees_with_a_dict(adds, late_keys, shards, prefix):
    model = {}
    with tempfile.TemporaryDirectory() as tmp:
        with ShardedWriter(tmp, shards=shards) as writer:
            ids = []
            for obj, keys in adds:
                ids.append(writer.add(obj, keys))
                model.update(dict.fromkeys(map(key_bytes, keys), obj))
            loose = writer.add_object("loose")
            for key, pick in late_keys:
                obj_id = (ids + [loose])[pick % (len(ids) + 1)]
                writer.add_key(key, obj_id)
                model[key_bytes(key)] = "loose" if obj_id == loose else adds[obj_id][0]
        with ShardedReader(tmp) as reader:
            got = {key_bytes(key): value for key, value in reader.items()}
            assert got == model
            assert [key_bytes(k) for k in reader] == sorted(model)
            assert len(reader) == len(model)
            assert list(reader.values()) == [model[k] for k in sorted(model)]
            probes = [*model, b"\xff-absent"]
            assert reader.get_many(probes, "none") == [model.get(k, "none") for k in probes]
            assert reader.exists_many(probes) == [k in model for k in probes]
            assert all(reader[k] == v and k in reader for k, v in model.items())
            assert [key_bytes(k) for k, _ in reader.prefix(prefix)] == [
                k for k in sorted(model) if k.startswith(prefix)
            ]
            assert [key_bytes(k) for k, _ in reader.range(prefix, b"\x80")] == [
                k for k in sorted(model) if prefix <= k < b"\x80"
            ]
            assert reader.verify() is True
            for index, shard in enumerate(reader.shards):
                assert all(model_shard(k, shards) == index for k in shard)


@pytest.mark.parametrize("shards", [1, 7])
@pytest.mark.parametrize("lookup", ["get_many_raw", "exists_many"])
def test_long_batch_agrees_with_single_lookups(tmp_path, shards, lookup):
    entries = {f"k{i}": i for i in range(300)}
    db = ShardedReader(build_set(tmp_path, entries, shards))
    keys = [*reversed(entries)] + ["absent", None, 3, b"k7", bytearray(b"k8"), "k7"] * 20
    assert getattr(db, lookup)(iter(keys)) == [SINGLE_LOOKUP[lookup](db, key) for key in keys]


def test_object_is_stored_in_each_shard_its_keys_route_to(tmp_path):
    keys = [f"k{i}" for i in range(40)]
    with ShardedWriter(tmp_path, shards=4) as writer:
        writer.add({"shared": True}, keys)
    manifest = manifest_of(tmp_path)
    used = {model_shard(k, 4) for k in keys}
    assert [entry["num_objects"] for entry in manifest["shards"]] == [
        int(i in used) for i in range(4)
    ]
    with ShardedReader(tmp_path) as reader:
        assert all(reader[k] == {"shared": True} for k in keys)
        assert reader.objects() == [{"shared": True}] * len(used)


def test_manifest_lists_every_shard_with_its_file_facts(tmp_path):
    build_set(tmp_path, {f"k{i}": i for i in range(100)}, 3)
    manifest = manifest_of(tmp_path)
    assert manifest["format"] == "quordb-shards" and manifest["version"] == 2
    assert manifest["routing"] == {"hash": "xxh3-64", "seed": 0}
    assert (manifest["generation"], manifest["shard_count"]) == (1, 3)
    assert sorted(os.listdir(tmp_path)) == [".lock", "gen-00000001", "manifest.json"]
    assert sorted(os.listdir(tmp_path / "gen-00000001")) == [f"part-0000{i}.qrdb" for i in range(3)]
    for index, entry in enumerate(manifest["shards"]):
        path = tmp_path / entry["file"]
        with QuorReader(path) as shard:
            stats = shard.stats()
            assert entry == {
                "file": f"gen-00000001/part-{index:05d}.qrdb",
                "num_keys": stats["num_keys"],
                "num_objects": stats["num_objects"],
                "size": path.stat().st_size,
                "file_crc32": int(stats["file_crc32"], 16),
            }
    assert sum(e["num_keys"] for e in manifest["shards"]) == 100


@pytest.mark.parametrize(
    ("call", "error"),
    [
        (lambda w: w.add("x", []), ValueError),
        (lambda w: w.add("x", [1]), TypeError),
        (lambda w: w.add("x", 5), TypeError),
        (lambda w: w.add_key("k", 0), ValueError),
        (lambda w: w.add_key("k", -1), OverflowError),
        (lambda w: w.add_key(7, 0), TypeError),
        (lambda w: w.add(object(), "k"), TypeError),
    ],
)
def test_writer_refuses_bad_input_and_stores_nothing(tmp_path, call, error):
    with ShardedWriter(tmp_path, shards=2) as writer, pytest.raises(error):
        call(writer)
    with ShardedReader(tmp_path) as reader:
        assert len(reader) == 0


@pytest.mark.parametrize("shards", [0, 100_001, True, 2.0])
def test_writer_refuses_a_bad_shard_count(tmp_path, shards):
    with pytest.raises((ValueError, TypeError)):
        ShardedWriter(tmp_path, shards=shards)


def test_writer_builds_once_and_a_failed_block_publishes_nothing(tmp_path):
    old = build_set(tmp_path, {"a": 1}, 2)
    with pytest.raises(RuntimeError, match="boom"), ShardedWriter(tmp_path, shards=2) as writer:
        writer.add(2, "a")
        raise RuntimeError("boom")
    assert sorted(os.listdir(tmp_path)) == [".lock", "gen-00000001", "manifest.json"]
    assert dict(ShardedReader(old)) == {"a": 1}
    writer = ShardedWriter(tmp_path, shards=1)
    writer.add(3, "a")
    writer.build()
    with pytest.raises(ValueError, match="built"):
        writer.add(4, "b")


# Rebuilds and readers


def test_rebuild_publishes_a_new_set_and_open_readers_keep_theirs(tmp_path):
    build_set(tmp_path, {f"k{i}": "old" for i in range(50)}, 4)
    reader = ShardedReader(tmp_path)
    build_set(tmp_path, {"k1": "new", "n": "new"}, 2)
    build_set(tmp_path, {"k1": "newer", "n": "newer"}, 2)
    # Generation 1 went with the third build; the second stays for readers opening it.
    assert sorted(os.listdir(tmp_path)) == [
        ".lock",
        "gen-00000002",
        "gen-00000003",
        "manifest.json",
    ]
    assert dict(reader) == {f"k{i}": "old" for i in range(50)}
    assert reader.verify() is True
    assert dict(ShardedReader(tmp_path)) == {"k1": "newer", "n": "newer"}
    assert reader.refresh() is True and reader.refresh() is False
    assert dict(reader) == {"k1": "newer", "n": "newer"}


def test_set_of_the_version_1_layout_is_read_and_kept_as_previous_by_a_rebuild(tmp_path):
    to_version_1(build_set(tmp_path, {f"k{i}": i for i in range(30)}, 3))
    with ShardedReader(tmp_path) as reader:
        assert dict(reader) == {f"k{i}": i for i in range(30)} and reader.verify() is True
        assert reader.stats()["version"] == 1
    old = [f"part-0000{i}.qrdb" for i in range(3)]
    build_set(tmp_path, {"k1": "new"}, 2)
    assert sorted(os.listdir(tmp_path)) == [".lock", "gen-00000001", "manifest.json", *old]
    build_set(tmp_path, {"k1": "newer"}, 2)
    assert sorted(os.listdir(tmp_path)) == [
        ".lock",
        "gen-00000001",
        "gen-00000002",
        "manifest.json",
    ]


def test_reader_opening_during_a_publish_waits_for_the_new_manifest(tmp_path, monkeypatch):
    # The new shards are in place but the old manifest still lists the old ones.
    monkeypatch.setattr(quordb._sharded_reader, "_PUBLISH_WAIT", 60.0)
    live, new = tmp_path / "live", tmp_path / "new"
    to_version_1(build_set(live, {f"k{i}": "old" for i in range(20)}, 2))
    to_version_1(build_set(new, {f"k{i}": "new" for i in range(30)}, 2))
    for name in ("part-00000.qrdb", "part-00001.qrdb"):
        shutil.copy(new / name, live / name)

    def publish():
        shutil.copy(new / "manifest.json", live / "manifest.json.tmp")
        os.replace(live / "manifest.json.tmp", live / "manifest.json")

    publisher = threading.Timer(0.2, publish)
    publisher.start()
    try:
        assert dict(ShardedReader(live)) == {f"k{i}": "new" for i in range(30)}
    finally:
        publisher.join()


def test_reader_whose_generation_goes_while_it_opens_opens_the_newer_set(tmp_path, monkeypatch):
    build_set(tmp_path, {"a": 1}, 2)
    open_shard, rebuilt = ShardedReader._open_shard, []

    def open_after_two_rebuilds(self, entry):
        if not rebuilt:  # the second rebuild removes the generation being opened
            rebuilt.append(build_set(tmp_path, {"a": 2}, 2))
            build_set(tmp_path, {"a": 3}, 3)
        return open_shard(self, entry)

    monkeypatch.setattr(ShardedReader, "_open_shard", open_after_two_rebuilds)
    assert dict(ShardedReader(tmp_path)) == {"a": 3}


# Damage


def flip_byte(path, offset):
    with open(path, "r+b") as file:
        file.seek(offset)
        byte = file.read(1)
        file.seek(offset)
        file.write(bytes([byte[0] ^ 0x40]))


def swap_in_other_shard(directory):
    shutil.copy(shard_file(directory, 0), shard_file(directory, 1))


def truncate(path):
    with open(path, "r+b") as file:
        file.truncate(os.path.getsize(path) - 3)


@pytest.fixture
def damaged_set(tmp_path, monkeypatch):
    monkeypatch.setattr(quordb._sharded_reader, "_PUBLISH_WAIT", 0.0)
    return build_set(tmp_path, {f"key{i}": {"n": i} for i in range(200)}, 3)


@pytest.mark.parametrize(
    "damage",
    [
        lambda d: flip_byte(shard_file(d, 1), 50),
        lambda d: truncate(shard_file(d, 1)),
        swap_in_other_shard,
    ],
    ids=["payload-byte", "truncated", "other-shard"],
)
def test_damaged_shard_is_named(damaged_set, tmp_path, damage):
    damage(tmp_path)
    with pytest.raises(RuntimeError, match=r"^QuorCorruptError: .*part-00001\.qrdb: "):
        ShardedReader(damaged_set)


def first_key_of_shard(shard, shards=3):
    """The first key of `damaged_set` routed to *shard*: its object is the shard's first."""
    return next(f"key{i}" for i in range(200) if model_shard(f"key{i}", shards) == shard)


@pytest.mark.parametrize(
    ("spoil", "asked_shards", "lookup", "error"),
    [
        (lambda db: None, [0, 1], "get_many_raw", None),
        (lambda db: db.shards[2].close(), [1, 0], "get_many_raw", None),
        (lambda db: db.shards[1].close(), [2, 0], "exists_many", None),  # reads no object
        (lambda db: db.shards[1].close(), [0, 1], "exists_many", "closed QuorReader"),
        (lambda db: db.close(), [0], "get_many_raw", "closed ShardedReader"),
        (lambda db: None, [0, 2], "get_many_raw", "QuorCorruptError"),
        # The shards answer in the order of their first key, and the first to fail raises.
        (lambda db: db.shards[1].close(), [1, 2], "get_many_raw", "closed QuorReader"),
        (lambda db: db.shards[1].close(), [2, 1], "get_many_raw", "QuorCorruptError"),
    ],
)
def test_batch_raises_for_the_first_of_its_shards_that_fails(
    damaged_set, tmp_path, spoil, asked_shards, lookup, error
):
    flip_byte(shard_file(tmp_path, 2), 50)  # the first object of shard 2
    db = ShardedReader(damaged_set, verify=False)
    keys = [first_key_of_shard(shard) for shard in asked_shards] + [None, "absent"]
    expected = None if error else [SINGLE_LOOKUP[lookup](db, key) for key in keys]
    spoil(db)
    if error is None:
        assert getattr(db, lookup)(keys) == expected
    else:
        with pytest.raises((ValueError, RuntimeError), match=error):
            getattr(db, lookup)(keys)


def test_verify_names_a_shard_damaged_after_publishing(damaged_set, tmp_path):
    flip_byte(shard_file(tmp_path, 2), 50)
    reader = ShardedReader(damaged_set, verify=False)
    with pytest.raises(RuntimeError, match=r"^QuorCorruptError: .*part-00002\.qrdb: "):
        reader.verify()


def test_missing_shard_is_named(damaged_set, tmp_path):
    os.unlink(shard_file(tmp_path, 0))
    with pytest.raises(OSError, match=r"^QuorIOError: cannot open .*part-00000\.qrdb: "):
        ShardedReader(damaged_set)


def first_entry(manifest, **fields):
    return {**manifest, "shards": [{**manifest["shards"][0], **fields}, *manifest["shards"][1:]]}


def text_of(manifest, old="", new=""):
    return json.dumps(manifest).replace(old, new)


DEEP = "[" * 10_000 + "]" * 10_000


def drop_last_shard(directory, manifest):
    """Drop the last shard of three, with shard_count and any checksum made to match."""
    dropped = {**manifest, "shard_count": 2, "shards": manifest["shards"][:2]}
    write_manifest(directory, sealed(dropped) if "shards_crc32" in manifest else dropped)


def swap_shards_0_and_1(directory, manifest):
    """Swap two shards' files, and their entries' figures with them."""
    first, second = shard_file(directory, 0), shard_file(directory, 1)
    os.replace(first, directory / "swap")
    os.replace(second, first)
    os.replace(directory / "swap", second)
    one, two, *rest = manifest["shards"]
    swapped = [{**two, "file": one["file"]}, {**one, "file": two["file"]}, *rest]
    write_manifest(directory, sealed({**manifest, "shards": swapped}))


@pytest.mark.parametrize(
    ("edit", "error", "message"),
    [
        (lambda m: "{", CorruptError, "not JSON"),
        (lambda m: {**m, "format": "other"}, CorruptError, "not a quordb-shards manifest"),
        (lambda m: {**m, "version": 3}, VersionError, "QuorVersionError: unsupported version 3"),
        (lambda m: {**m, "routing": {"hash": "crc32"}}, CorruptError, "unknown routing"),
        (lambda m: {**m, "shard_count": 2}, CorruptError, "shard_count does not match"),
        (lambda m: {**m, "shards": m["shards"][::-1]}, CorruptError, "bad entry for shard 0"),
        (lambda m: first_entry(m, num_keys=-1), CorruptError, "num_keys -1 is out of range"),
        (lambda m: sealed(first_entry(m, num_keys=0)), CorruptError, "num_keys is"),
        (lambda m: first_entry(m, num_keys=0), CorruptError, "shards_crc32 is"),
        # The last shard dropped, its count lowered to match: the checksum tells.
        (
            lambda m: {**m, "shard_count": 2, "shards": m["shards"][:2]},
            CorruptError,
            "shards_crc32",
        ),
        # Exact types: what Python compares equal to an integer is not one.
        (lambda m: {**m, "version": True}, CorruptError, "version must be an integer, not true"),
        (lambda m: text_of(m, '"version": 2', '"version": 2.0'), CorruptError, "not 2.0"),
        (lambda m: text_of(m, '"version": 2', '"version": 2e0'), CorruptError, "not 2e0"),
        (lambda m: {**m, "routing": {"hash": "xxh3-64", "seed": False}}, CorruptError, "routing"),
        (lambda m: sealed(first_entry(m, size=117.0)), CorruptError, "size must be an integer"),
        (
            lambda m: {**m, "generation": "1"},
            CorruptError,
            'generation must be an integer, not "1"',
        ),
        (lambda m: text_of(m, '"seed": 0', '"seed": NaN'), CorruptError, "NaN is not JSON"),
        (lambda m: text_of(m, '"seed": 0', '"seed": -Infinity'), CorruptError, "-Infinity is not"),
        # Encodings other than UTF-8.
        (lambda m: b"\xef\xbb\xbf" + text_of(m).encode(), CorruptError, "byte-order mark"),
        (lambda m: text_of(m).encode("utf-16"), CorruptError, "not UTF-8"),
        (lambda m: text_of(m).encode("utf-32-le"), CorruptError, "not JSON"),
        (lambda m: text_of(m).encode().replace(b"shards", b"shar\xffds", 1), CorruptError, "UTF-8"),
        # Duplicate and unknown names, the same at every level.
        (lambda m: text_of(m, '"version": 2', '"version": 2, "version": 2'), CorruptError, "twice"),
        (lambda m: text_of(m, '"seed": 0', '"seed": 0, "seed": 0'), CorruptError, "twice"),
        (lambda m: text_of(m, '"size": ', '"size": 1, "size": '), CorruptError, "'size' appears"),
        (lambda m: {**m, "extra": 1}, CorruptError, "manifest has an unknown field 'extra'"),
        (lambda m: first_entry(m, extra=1), CorruptError, "shard 0 has an unknown field 'extra'"),
        (lambda m: {k: v for k, v in m.items() if k != "generation"}, CorruptError, "lacks"),
        # Names that lead elsewhere.
        (lambda m: sealed(first_entry(m, file="../part-00000.qrdb")), CorruptError, "file is"),
        (lambda m: sealed(first_entry(m, file="/etc/passwd")), CorruptError, "file is"),
        (lambda m: {**m, "generation": 0}, CorruptError, "generation 0 is out of range"),
        # What Python's own parser fails on without naming the file.
        (lambda m: text_of(m)[:-1] + f', "deep": {DEEP}}}', CorruptError, "nested too deeply"),
        (
            lambda m: text_of(m, '"shard_count": 3', '"shard_count": 1' + "0" * 5000),
            CorruptError,
            "shard_count must be an integer, not a number of 5001 characters",
        ),
    ],
)
def test_bad_manifest_is_refused(damaged_set, tmp_path, edit, error, message):
    changed = edit(manifest_of(tmp_path))
    if isinstance(changed, dict):
        changed = json.dumps(changed)
    if isinstance(changed, str):
        changed = changed.encode()
    (tmp_path / "manifest.json").write_bytes(changed)
    with pytest.raises(error, match=re.escape(message)) as raised:
        ShardedReader(damaged_set)
    assert str(tmp_path) in str(raised.value)  # the file is named


@pytest.mark.parametrize(
    "damage",
    [
        swap_shards_0_and_1,
        drop_last_shard,
        lambda d, m: drop_last_shard(d, manifest_of(to_version_1(d))),
    ],
    ids=["swapped", "dropped", "dropped-version-1"],
)
def test_verify_finds_keys_outside_the_shard_they_route_to(damaged_set, tmp_path, damage):
    damage(tmp_path, manifest_of(tmp_path))
    reader = ShardedReader(damaged_set)
    with pytest.raises(CorruptError, match=r"part-0000[01]\.qrdb: key .* routes to shard"):
        reader.verify()


# quordb.open


def test_open_picks_the_reader_by_what_the_path_is(tmp_path):
    build_set(tmp_path / "set", {"a": 1}, 2)
    writer = quordb.QuorWriter()
    writer.add(2, "a")
    writer.build(tmp_path / "one.qrdb")
    with quordb.open(tmp_path / "set") as sharded, quordb.open(tmp_path / "one.qrdb") as single:
        assert type(sharded) is ShardedReader and type(single) is QuorReader
        assert (sharded["a"], single["a"]) == (1, 2)
    with pytest.raises(OSError, match="QuorIOError"):
        quordb.open(tmp_path / "absent")


@pytest.mark.parametrize("opener", [quordb.open, ShardedReader])
def test_directory_without_manifest_is_neither_a_file_nor_a_set(tmp_path, opener):
    with pytest.raises(StoreIOError, match="neither a quordb file nor a shard set"):
        opener(tmp_path)


def test_writer_refuses_a_path_that_is_a_file_before_any_add(tmp_path):
    (tmp_path / "file").write_text("x")
    with pytest.raises(StoreIOError, match="file: is not a directory"):
        ShardedWriter(tmp_path / "file", shards=2)


def raised(call):
    try:
        call()
    except Exception as error:  # noqa: BLE001  # the class is the answer
        return type(error)
    return None


@pytest.mark.parametrize(
    ("lookup", "expected"),
    [
        (lambda db: db.get(None, "default"), "default"),
        (lambda db: db.get("\ud800"), None),
        (lambda db: raised(lambda: db[None]), KeyError),
        (lambda db: None in db, False),
        (lambda db: 3 in db, False),
        (lambda db: db.get_many([None, "a", 3, "absent"], "-"), ["-", 1, "-", "-"]),
        (lambda db: db.exists_many([b"a", None]), [True, False]),
        (
            lambda db: db.get_many_raw([None, "a", 3, "\ud800", bytearray(b"a")]),
            [None, b"\x01", None, None, b"\x01"],
        ),
        (lambda db: [db.get_many_raw([]), db.exists_many(iter([]))], [[], []]),
        (lambda db: raised(lambda: db.exists_many(5)), TypeError),
        (lambda db: [db.get_raw("a"), db.get_raw(None), db.get_raw("b")], [b"\x01", None, None]),
        (
            lambda db: [db.get_raw("a", b"-"), db.get_raw(None, b"-"), db.get_raw("b", default=0)],
            [b"\x01", b"-", 0],
        ),
    ],
)
def test_lookups_of_what_cannot_be_a_key_find_nothing_as_in_a_file(tmp_path, lookup, expected):
    writer = quordb.QuorWriter()
    writer.add(1, "a")
    writer.build(tmp_path / "one.qrdb")
    db, one = (
        ShardedReader(build_set(tmp_path / "set", {"a": 1}, 3)),
        QuorReader(tmp_path / "one.qrdb"),
    )
    assert lookup(db) == lookup(one) == expected


def test_iterators_made_before_close_keep_working(tmp_path):
    entries = {f"k{i:02d}": i for i in range(40)}
    db = ShardedReader(build_set(tmp_path, entries, 3))
    made = [iter(db), iter(db.keys()), iter(db.items()), db.prefix("k1")]
    db.close()
    assert [list(it) for it in made] == [
        list(entries),
        list(entries),
        list(entries.items()),
        [(f"k1{i}", 10 + i) for i in range(10)],
    ]
    with pytest.raises(ValueError, match="closed"):
        iter(db)


def test_close_during_a_refresh_on_another_thread_stays_closed(tmp_path, monkeypatch):
    build_set(tmp_path, {"a": "old"}, 2)
    db = ShardedReader(tmp_path)
    build_set(tmp_path, {"a": "new"}, 3)
    opening, closed = threading.Event(), threading.Event()
    open_shards = ShardedReader._open_shards

    def slow_open_shards(self, manifest):
        opening.set()
        closed.wait()
        return open_shards(self, manifest)

    monkeypatch.setattr(ShardedReader, "_open_shards", slow_open_shards)
    outcome = []
    refresh = threading.Thread(target=lambda: outcome.append(pytest.raises(ValueError, db.refresh)))
    refresh.start()
    opening.wait()
    db.close()
    closed.set()
    refresh.join()
    assert db.closed and "closed" in str(outcome[0].value)
    with pytest.raises(ValueError, match="closed"):
        db.get("a")


def test_objects_of_a_shard_stand_in_the_order_they_were_added(tmp_path):
    shards = 3
    keys = [f"k{i}" for i in range(30)]
    with ShardedWriter(tmp_path, shards=shards) as writer:
        ids = [writer.add({"id": i}, key) for i, key in enumerate(keys)]
        writer.add_object({"id": "alone"})
        # Copies of early objects into shards that hold later ones.
        for key in ("x0", "x1", "x2", "x3", "x4"):
            writer.add_key(key, ids[0])
    in_shards = [
        [
            msgpack.unpackb(payload)["id"]
            for chunk in RecordScan(str(shard_file(tmp_path, i)))
            for payload, _keys in chunk
        ]
        for i in range(shards)
    ]
    for index, stored in enumerate(in_shards):
        routed = [i for i, key in enumerate(keys) if model_shard(key, shards) == index]
        copied = [0] if any(model_shard(f"x{n}", shards) == index for n in range(5)) else []
        expected = sorted(set(routed + copied)) + (["alone"] if index == 0 else [])
        assert stored == expected
    with ShardedReader(tmp_path) as reader:
        assert reader["x3"] == {"id": 0} and reader.verify() is True


def test_lookups_on_other_threads_see_one_set_or_the_other_across_refreshes(tmp_path):
    # The sets differ in shard count, so routing with one set's count into the
    # other's shards would miss keys or index past the end.
    keys = [f"k{i}" for i in range(300)]
    build_set(tmp_path, dict.fromkeys(keys, "four"), 4)
    reader = ShardedReader(tmp_path)
    errors, stop = [], threading.Event()

    def look_up():
        try:
            while not stop.is_set():
                assert {reader[key] for key in keys} <= {"four", "two"}
                assert set(reader.get_many(keys)) <= {"four", "two"}
        except Exception as error:  # noqa: BLE001  # reported below
            errors.append(error)

    threads = [threading.Thread(target=look_up) for _ in range(2)]
    for thread in threads:
        thread.start()
    try:
        for round_ in range(6):
            value, shards = ("two", 2) if round_ % 2 == 0 else ("four", 4)
            build_set(tmp_path, dict.fromkeys(keys, value), shards)
            assert reader.refresh() is True
            assert reader[keys[0]] == value
    finally:
        stop.set()
        for thread in threads:
            thread.join()
    assert errors == []


def test_add_many_stores_the_pairs_before_a_failing_one(tmp_path):
    pairs = [({"n": 1}, "a"), ({"n": 2}, ["b", "c"]), ({"n": 3}, 7), ({"n": 4}, "d")]
    with ShardedWriter(tmp_path, shards=3) as writer:
        with pytest.raises(TypeError):
            writer.add_many(pairs)
        assert writer.object_count == 2
        assert writer.add_many(iter(pairs[3:])) == 1
    with ShardedReader(tmp_path) as reader:
        assert dict(reader) == {"a": {"n": 1}, "b": {"n": 2}, "c": {"n": 2}, "d": {"n": 4}}


def test_importing_quordb_loads_no_dask():
    code = "import sys, quordb; print(sorted(m for m in ('dask', 'pandas', 'pyarrow') if m in sys.modules))"
    result = subprocess.run(
        [sys.executable, "-c", code], capture_output=True, text=True, check=True
    )
    assert result.stdout == "[]\n"
