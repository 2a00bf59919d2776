"""QuorWriter and QuorReader: msgpack round trips, the Mapping contract, paths, lifetime."""

import os
import pathlib
import pickle
import signal
import tempfile
import threading
import tracemalloc
import weakref
from collections.abc import Mapping
from fractions import Fraction

import msgpack
import pytest
from conftest import without_table
from hypothesis import given, settings
from hypothesis import strategies as st

from quordb import (
    DuplicateKeyError,
    Ext,
    QuorReader,
    QuorWriter,
    ShardedReader,
    ShardedWriter,
)
from quordb._quordb import _QuorReader, _QuorWriter

msgpack_values = st.recursive(
    st.none()
    | st.booleans()
    | st.integers(min_value=-(2**63), max_value=2**64 - 1)
    | st.floats(allow_nan=False)
    | st.text()
    | st.binary(),
    lambda inner: (
        st.lists(inner, max_size=4) | st.dictionaries(st.text(max_size=8), inner, max_size=4)
    ),
    max_leaves=12,
)
keys = st.text(max_size=12)


def build_with_quordb_module(path, pairs):
    """The file quordb._quordb's writer builds from *pairs* of (obj, keys): the reference."""
    writer = _QuorWriter()
    for obj, keys in pairs:
        obj_id = writer.add_object_raw(msgpack.packb(obj, use_bin_type=True))
        for key in [keys] if isinstance(keys, str) else keys:
            writer.add_key(key, obj_id)
    writer.build(str(path))
    return pathlib.Path(path).read_bytes()


def build(path, entries, **writer_options):
    writer = QuorWriter(**writer_options)
    for key, value in entries.items():
        writer.add(value, key)
    writer.build(path)
    return path


def stream(path, entries, **writer_options):
    with QuorWriter(path, **writer_options) as writer:
        for key, value in entries.items():
            writer.add(value, key)
    return path


def new_writer(streaming, path):
    """A streaming writer of *path*, or an in-memory one."""
    return QuorWriter(path) if streaming else QuorWriter()


def finish(writer, path):
    writer.build(None if writer.streaming else path)
    return path


both_writers = pytest.mark.parametrize("streaming", [False, True], ids=["in-memory", "streaming"])


@pytest.fixture
def shared_db(tmp_path):
    """'ada' and 'user:1' name one object; 'user:2' its own."""
    writer = QuorWriter()
    writer.add({"name": "Ada", "tags": ["x"]}, ["user:1", "ada"])
    writer.add({"name": "Bob", "blob": b"\x00\xff"}, "user:2")
    writer.build(str(tmp_path / "shared.qrdb"))
    with QuorReader(tmp_path / "shared.qrdb") as reader:
        yield reader


@settings(max_examples=40, deadline=None)
@given(st.dictionaries(keys, msgpack_values, max_size=12), st.text(max_size=3))
def test_round_trip_and_prefix_agree_with_a_dict(entries, prefix):
    with tempfile.TemporaryDirectory() as tmp:
        reader = QuorReader(build(os.path.join(tmp, "db.qrdb"), entries))
        streamed = stream(os.path.join(tmp, "streamed.qrdb"), entries)
        assert pathlib.Path(streamed).read_bytes() == pathlib.Path(reader.path).read_bytes()
        reference = build_with_quordb_module(
            os.path.join(tmp, "ref.qrdb"), [(v, k) for k, v in entries.items()]
        )
        assert reference == without_table(pathlib.Path(reader.path).read_bytes())
        assert dict(reader) == entries
        assert dict(reader.items()) == entries
        assert len(reader) == len(entries)
        assert list(reader) == sorted(entries, key=lambda k: k.encode())
        assert list(reader.values()) == [entries[k] for k in reader]
        assert list(reader.prefix(prefix)) == [
            (k, v) for k, v in reader.items() if k.startswith(prefix)
        ]


def test_shared_object_is_stored_once_and_listed_per_key(shared_db):
    assert shared_db["ada"] == shared_db["user:1"] == {"name": "Ada", "tags": ["x"]}
    assert shared_db["user:2"]["blob"] == b"\x00\xff"
    assert [k for k, _ in shared_db.items()] == ["ada", "user:1", "user:2"]
    assert len(shared_db.objects()) == 2
    assert shared_db.stats()["num_objects"] == 2
    assert shared_db.verify() is True


def test_mapping_lookups(shared_db):
    with pytest.raises(KeyError) as missing:
        shared_db["nobody"]
    assert missing.value.args == ("nobody",)
    assert shared_db.get("nobody") is None
    assert shared_db.get("nobody", 7) == 7
    assert shared_db.get(b"ada") == shared_db["ada"]
    assert "ada" in shared_db and b"user:2" in shared_db and "nobody" not in shared_db
    assert isinstance(shared_db, Mapping)
    assert set(shared_db.keys()) == {"ada", "user:1", "user:2"}
    assert "ada" in shared_db.keys()  # noqa: SIM118 (the view's own containment)
    assert ("ada", shared_db["ada"]) in shared_db.items()


def test_equality_is_identity_and_never_reads_the_file(shared_db):
    again = QuorReader(shared_db.path)
    same = shared_db
    assert shared_db == same and shared_db != again
    assert shared_db != dict(shared_db)
    assert len({shared_db, again, shared_db}) == 2


@pytest.mark.parametrize("not_a_key", [5, None, 1.5, "\ud800", (1, 1), object()])
def test_objects_that_cannot_be_keys_are_absent_as_from_a_dict(shared_db, not_a_key):
    assert not_a_key not in shared_db
    assert shared_db.get(not_a_key, 7) == 7
    with pytest.raises(KeyError) as missing:
        shared_db[not_a_key]
    assert missing.value.args == (not_a_key,)
    assert (not_a_key, 1) not in shared_db.items()
    assert shared_db.get_many([not_a_key, "ada"], 7) == [7, shared_db["ada"]]
    assert shared_db.exists_many([not_a_key, "ada"]) == [False, True]


def test_reader_is_weakly_referenceable_and_half_built_repr_works(shared_db):
    ref = weakref.ref(shared_db)
    assert ref() is shared_db
    half = QuorReader.__new__(QuorReader)
    assert repr(half) == "<closed QuorReader None>" and half.closed
    half.close()


@pytest.fixture(scope="module")
def long_db(tmp_path_factory):
    """100 000 keys "k000000"... each naming its own 100-byte value."""
    path = tmp_path_factory.mktemp("long") / "long.qrdb"
    with QuorWriter(path) as writer:
        writer.add_many(("v" * 100, f"k{i:06d}") for i in range(100_000))
    with QuorReader(path) as reader:
        yield reader


@pytest.mark.parametrize(
    "listing",
    [
        iter,
        lambda r: r.keys(),
        lambda r: r.values(),
        lambda r: r.items(),
        lambda r: r.prefix("k"),
        lambda r: r.range("k0", None),
        lambda r: r.range_raw(),
    ],
    ids=["iter", "keys", "values", "items", "prefix", "range", "range_raw"],
)
def test_listings_hold_a_chunk_not_the_whole_file(long_db, listing):
    tracemalloc.start()
    try:
        first = next(iter(listing(long_db)))
        to_the_first = tracemalloc.get_traced_memory()[1]
        tracemalloc.reset_peak()
        everything = list(listing(long_db))
        to_the_end = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert everything[0] == first and len(everything) == 100_000
    assert to_the_first * 10 < to_the_end


def _by_bytes(key):
    return key.encode() if isinstance(key, str) else key


def test_listed_keys_are_exact_str_or_bytes(tmp_path):
    # b"\xed\xa0\x80" encodes a surrogate: not valid UTF-8, though decodable leniently.
    stored = {b"\xffa": 1, "é": 2, b"Jos\xe9": 3, b"\xff": 4, "\ufffd": 5, b"\xed\xa0\x80": 6}
    reader = QuorReader(build(str(tmp_path / "b.qrdb"), stored))
    expected = sorted(stored, key=_by_bytes)
    assert list(reader) == list(reader.keys()) == expected
    assert dict(reader) == stored and len(dict(reader)) == len(reader)
    assert [k for k, _ in reader.items()] == [k for k, _ in reader.range()] == expected
    assert [reader[k] for k in reader] == [v for _, v in reader.items()]
    assert list(reader.prefix(b"\xff")) == [(b"\xff", 4), (b"\xffa", 1)]
    assert reader[b"\xc3\xa9"] == reader["é"] == 2
    assert reader.raw.keys()[-1] == "\ufffda"  # the specified listing still replaces


@settings(max_examples=60, deadline=None)
@given(
    st.dictionaries(
        st.binary(max_size=4) | st.text("aéb\x00", max_size=4), st.integers(-99, 99), max_size=30
    ),
    st.none() | st.binary(max_size=3) | st.text("aéb", max_size=3),
    st.none() | st.binary(max_size=3) | st.text("aéb", max_size=3),
)
def test_range_and_prefix_agree_with_a_sorted_model(entries, start, stop):
    entries = {_by_bytes(k): v for k, v in entries.items()}
    with tempfile.TemporaryDirectory() as tmp:
        reader = QuorReader(build(os.path.join(tmp, "r.qrdb"), entries))
        model = sorted(entries.items())
        lo = b"" if start is None else _by_bytes(start)
        in_range = [(k, v) for k, v in model if k >= lo and (stop is None or k < _by_bytes(stop))]
        got = [(_by_bytes(k), v) for k, v in reader.range(start, stop)]
        assert got == in_range
        assert [(_by_bytes(k), msgpack.unpackb(v)) for k, v in reader.range_raw(start, stop)] == got
        with_prefix = [(k, v) for k, v in model if k.startswith(lo)]
        assert [(_by_bytes(k), v) for k, v in reader.prefix(start or b"")] == with_prefix


@settings(max_examples=40, deadline=None)
@given(
    st.dictionaries(st.text("ab", max_size=3), msgpack_values, max_size=10),
    st.lists(st.text("abc", max_size=3) | st.binary(max_size=2) | st.integers(0, 3), max_size=80),
)
def test_batched_lookups_agree_with_single_ones(entries, asked):
    with tempfile.TemporaryDirectory() as tmp:
        reader = QuorReader(build(os.path.join(tmp, "g.qrdb"), entries))
        assert reader.get_many(asked, "none") == [reader.get(k, "none") for k in asked]
        assert reader.exists_many(tuple(asked)) == [k in reader for k in asked]


@pytest.mark.parametrize(
    "as_path",
    [str, pathlib.Path, os.fsencode],
    ids=["str", "pathlib", "bytes"],
)
def test_every_path_form_is_accepted(tmp_path, as_path):
    target = as_path(str(tmp_path / "p.qrdb"))
    QuorWriter().build(target)
    with QuorWriter(target) as writer:
        writer.add("v", "k")
    assert QuorReader(target)["k"] == "v"
    assert QuorReader(target).path == str(tmp_path / "p.qrdb")


def test_context_manager_builds_only_on_clean_exit(tmp_path):
    target = tmp_path / "ctx.qrdb"
    with pytest.raises(ZeroDivisionError), QuorWriter(target) as writer:
        writer.add(1, "one")
        raise ZeroDivisionError
    assert not target.exists() and not (tmp_path / "ctx.qrdb.tmp").exists()
    with QuorWriter(target) as writer:
        writer.add(1, "one")
    assert dict(QuorReader(target)) == {"one": 1}
    with pytest.raises(TypeError, match="needs a path"), QuorWriter():
        pass
    with pytest.raises(TypeError, match="needs a path"):
        QuorWriter().build()


@both_writers
@pytest.mark.parametrize(
    ("bad_keys", "error", "message"),
    [
        ([], ValueError, "at least one key"),
        (["ok", 5], TypeError, "^each key must be str or bytes, not 'int'$"),
        (5, TypeError, "iterable"),
        (
            ["good", "x" * 65536],
            ValueError,
            "^QuorError: key of 65536 exceeds the format's limit of 65535 bytes$",
        ),
        (("good", b"y" * 70000), ValueError, "^QuorError: key of 70000 exceeds"),
        (
            ["good", "a\ud800b"],
            ValueError,
            r"^key 'a\\ud800b' cannot be stored: it holds a lone surrogate, which has no UTF-8",
        ),
        ({"good": 1, None: 2}, TypeError, "not 'NoneType'"),
    ],
)
def test_add_is_all_or_nothing(tmp_path, streaming, bad_keys, error, message):
    target = tmp_path / "db.qrdb"
    writer = new_writer(streaming, target)
    with pytest.raises(error, match=message):
        writer.add({"x": 1}, bad_keys)
    assert writer.add("first", ("a", b"b", bytearray(b"c"), memoryview(b"d"))) == 0
    assert dict(QuorReader(finish(writer, target))) == dict.fromkeys("abcd", "first")


# Each step adds an object under keys, or a key for an object: "k" changes hands three times
# and "j" once; "m" and the last "k" are added again for the object they name.
DUPLICATE_STEPS = [
    ("add", "zero", ["k", "k", "j"]),
    ("add", "one", "m"),
    ("add_key", "k", 1),
    ("add_key", "m", 1),
    ("add", "two", ("j", "k")),
    ("add_key", "k", 0),
]


DUPLICATE_CASES = pytest.mark.parametrize(
    ("on_duplicate", "named", "objects", "replaced", "refused"),
    [
        ("last", {"k": "zero", "j": "two", "m": "one"}, 3, 4, []),
        ("first", {"k": "zero", "j": "zero", "m": "one"}, 3, 3, []),
        # (step, key, first, second) of each refusal; a refused add stores nothing
        ("error", {"k": "zero", "j": "zero", "m": "one"}, 2, 0, [(2, "k", 0, 1), (4, "j", 0, 2)]),
    ],
)


@both_writers
@DUPLICATE_CASES
def test_keys_added_again_are_settled_by_the_policy_and_counted(
    tmp_path, streaming, on_duplicate, named, objects, replaced, refused
):
    target = tmp_path / "db.qrdb"
    writer = (
        QuorWriter(target, on_duplicate=on_duplicate)
        if streaming
        else QuorWriter(on_duplicate=on_duplicate)
    )
    seen = []
    for step, (call, first, second) in enumerate(DUPLICATE_STEPS):
        try:
            if call == "add":
                writer.add(first, second)
            else:
                writer.add_key(first, second)
        except DuplicateKeyError as error:
            copied = pickle.loads(pickle.dumps(error))  # its details survive a process boundary
            assert copied.args == error.args
            seen.append((step, copied.key, copied.first, copied.second))
    assert seen == refused
    assert writer.object_count == objects
    finish(writer, target)
    assert (writer.replaced_count, writer.key_count) == (replaced, len(named))
    assert dict(QuorReader(target)) == named


@DUPLICATE_CASES
def test_shard_sets_settle_keys_added_again_as_single_files_do(
    tmp_path, on_duplicate, named, objects, replaced, refused
):
    target = tmp_path / "set"
    writer = ShardedWriter(target, shards=3, on_duplicate=on_duplicate)
    seen = []
    for step, (call, first, second) in enumerate(DUPLICATE_STEPS):
        try:
            if call == "add":
                writer.add_many([(first, second)])
            else:
                writer.add_key(first, second)
        except DuplicateKeyError as error:
            assert getattr(error, "pair_index", 0) == 0
            seen.append((step, error.key, error.first, error.second))
    assert seen == refused
    assert writer.object_count == objects
    writer.build()
    assert writer.replaced_count == replaced
    assert dict(ShardedReader(target)) == named


@both_writers
@pytest.mark.parametrize(
    "value",
    [
        {(1, 2): "pair"},
        [0, {"deep": {("t",): 1}}],
        {frozenset({1}): "made a list by default"},
        {"inner": {1: {(): None}}},
    ],
    ids=["tuple key", "nested", "key made a list", "empty tuple"],
)
def test_values_that_could_not_be_read_back_are_refused(tmp_path, streaming, value):
    target = tmp_path / "db.qrdb"
    writer = QuorWriter(target, default=list) if streaming else QuorWriter(default=list)
    with pytest.raises(TypeError, match="map key that is a tuple, a list or a map"):
        writer.add(value, "k")
    with pytest.raises(TypeError, match="map key that is a tuple"):
        writer.add_object(value)
    fine = {1: "one", b"raw": [True, None], None: 0, 1.5: (1, 2), Ext(3, b"x"): {}}
    writer.add(fine, "k")
    assert QuorReader(finish(writer, target))["k"] == {**fine, 1.5: [1, 2]}


def test_add_key_and_native_errors_surface_unchanged(tmp_path):
    writer = QuorWriter()
    obj_id = writer.add_object([1, 2])
    writer.add_key("a", obj_id)
    writer.add_key(b"b", obj_id)
    with pytest.raises(ValueError, match=r"^QuorError: obj_id 1 out of range \(have 1 objects\)$"):
        writer.add_key("c", 1)
    with pytest.raises(OSError, match="^QuorIOError: open tmp: "):
        writer.build(tmp_path / "missing-dir" / "x.qrdb")
    with pytest.raises(OSError, match="^QuorIOError: cannot open "):
        QuorReader(tmp_path / "absent.qrdb")


def test_custom_types_through_default_and_hooks(tmp_path):
    def encode(obj):
        if isinstance(obj, Fraction):
            return msgpack.ExtType(1, str(obj).encode())
        if isinstance(obj, complex):
            return {"__complex__": [obj.real, obj.imag]}
        raise TypeError(f"cannot encode {obj!r}")

    def ext_hook(code, data):
        return Fraction(data.decode()) if code == 1 else Ext(code, data)

    def object_hook(d):
        return complex(*d["__complex__"]) if "__complex__" in d else d

    path = build(str(tmp_path / "c.qrdb"), {"q": Fraction(1, 3), "z": 1 + 2j}, default=encode)
    assert dict(QuorReader(path, ext_hook=ext_hook, object_hook=object_hook)) == {
        "q": Fraction(1, 3),
        "z": 1 + 2j,
    }
    assert QuorReader(path, ext_hook=ext_hook)["q"] == Fraction(1, 3)
    assert QuorReader(path)["q"] == Ext(1, b"1/3")
    with pytest.raises(TypeError):
        QuorWriter().add(object(), "k")


@pytest.mark.parametrize(
    "read",
    [
        lambda db: [db["k0"], db.get("k2")],
        lambda db: db.get_many(["k0", "k2"]),
        lambda db: [v for k, v in db.items() if k in ("k0", "k2")],
        lambda db: list(db.values())[::2],
    ],
    ids=["lookups", "get_many", "items", "values"],
)
def test_a_hook_may_read_the_reader_it_decodes_for(tmp_path, read):
    # The hook runs while a record is decoded in place; its own lookup must leave that
    # record's view alone.
    linked = {f"k{i}": {"n": i, "next": Ext(1, f"k{i + 1}".encode())} for i in (0, 2)}
    path = build(str(tmp_path / "h.qrdb"), linked | {"k1": {"n": 1}, "k3": {"n": 3}})
    db = QuorReader(path, ext_hook=lambda code, data: db[data.decode()])
    assert read(db) == [{"n": 0, "next": {"n": 1}}, {"n": 2, "next": {"n": 3}}]


def test_a_hook_failing_in_a_batch_of_a_shard_set_raises_its_own_error(tmp_path):
    def refuse(code, data):
        raise ValueError(f"refused {data!r}")  # no decoding failure: it passes unchanged

    with ShardedWriter(tmp_path / "set", shards=3) as writer:
        writer.add_many(({"n": i, "x": Ext(1, b"no")} if i == 7 else i, f"k{i}") for i in range(20))
    db = ShardedReader(tmp_path / "set", ext_hook=refuse)
    with pytest.raises(ValueError, match="^refused b'no'$"):
        db.get_many([f"k{i}" for i in range(20)])


def test_maps_with_non_str_keys_read_back(tmp_path):
    value = {1: "one", b"raw": [True, None]}
    assert QuorReader(build(str(tmp_path / "m.qrdb"), {"k": value}))["k"] == value


def test_close_releases_the_native_reader(shared_db):
    native = shared_db.raw
    shared_db.close()
    shared_db.close()
    assert shared_db.closed
    for use in (
        lambda r: r["ada"],
        len,
        list,
        lambda r: r.stats(),
        lambda r: r.raw,
        lambda r: "ada" in r,
    ):
        with pytest.raises(ValueError, match="closed"):
            use(shared_db)
    assert msgpack.unpackb(native.get_raw("ada"))["name"] == "Ada"


def test_damaged_file_is_refused_unless_verification_is_skipped(tmp_path):
    path = build(str(tmp_path / "d.qrdb"), {"k": "payload-to-damage"})
    data = bytearray(pathlib.Path(path).read_bytes())
    data[data.index(b"payload-to-damage")] ^= 0x01
    pathlib.Path(path).write_bytes(bytes(data))
    with pytest.raises(RuntimeError, match="^QuorCorruptError: file CRC32 mismatch"):
        QuorReader(path)
    reader = QuorReader(path, verify=False)
    # Unverified, the file opens, but each record's own CRC is checked as it is read.
    with pytest.raises(RuntimeError, match="^QuorCorruptError: object CRC32 mismatch at offset 40"):
        reader["k"]
    with pytest.raises(RuntimeError, match="^QuorCorruptError: file CRC32 mismatch"):
        reader.verify()


@pytest.mark.parametrize("streaming", [False, True], ids=["in-memory", "streaming"])
def test_summary_line_only_when_not_quiet_and_after_earlier_output(tmp_path, capfd, streaming):
    target = tmp_path / "s.qrdb"
    for quiet in (True, False):
        writer = QuorWriter(target, quiet=quiet) if streaming else QuorWriter(quiet=quiet)
        print("before the build")
        writer.build(None if streaming else target)
        out = capfd.readouterr().out
        line = f"{target}  —  0 objects · 0 keys"
        if quiet:
            assert out == "before the build\n"
        else:
            assert out.index("before the build") < out.index(line)


@both_writers
@pytest.mark.parametrize(
    ("bad", "error"),
    [
        (None, None),
        (["v", frozenset({"from a set"})], None),  # any pair and any iterable of keys
        (({(1,): 2}, "k"), TypeError),
        (("v", ["ok", "x" * 70000]), ValueError),
        ((object(), "k"), TypeError),  # msgpack cannot encode it
        (("v", 5), TypeError),
        (("v", "k", "extra"), ValueError),
        (5, TypeError),
    ],
    ids=[
        "all good",
        "iterables",
        "unreadable value",
        "long key",
        "unencodable",
        "bad keys",
        "three values",
        "not a pair",
    ],
)
@pytest.mark.parametrize("way", ["add_many", "add_batch"])
def test_add_many_adds_in_order_up_to_a_failing_pair(tmp_path, streaming, bad, error, way):
    pairs = [({"n": i}, [f"k{i}", f"alias{i % 7}"]) for i in range(2500)]
    if bad is not None:
        pairs.insert(1500, bad)
    if way == "add_batch" and any(not isinstance(p, tuple | list) or len(p) != 2 for p in pairs):
        pytest.skip("add_batch takes objects and keys apart: a pair cannot be malformed")
    target = tmp_path / "db.qrdb"
    writer = new_writer(streaming, target)
    writer.add("first", "first")

    def add():
        if way == "add_many":
            return writer.add_many(iter(pairs))
        return writer.add_batch([obj for obj, _ in pairs], [keys for _, keys in pairs])

    if error is None:
        assert add() == len(pairs)
    else:
        with pytest.raises(error) as failure:
            add()
        assert failure.value.pair_index == 1500
    stored = 1 + (len(pairs) if error is None else 1500)
    # The aliases name a later object each time: the bytes of the last one winning.
    reference = build_with_quordb_module(
        tmp_path / "ref.qrdb", [("first", "first"), *pairs[: stored - 1]]
    )
    assert without_table(finish(writer, target).read_bytes()) == reference


@both_writers
def test_add_many_raw_stores_encoded_pairs_as_add_many_stores_objects(tmp_path, streaming):
    pairs = [({"n": i, "b": b"\x00" * (i % 3)}, [f"k{i}", f"alias{i % 7}"]) for i in range(2500)]
    encoded = [(msgpack.packb(obj, use_bin_type=True), keys) for obj, keys in pairs]
    encoded.insert(2000, (b"\xc1", "not msgpack"))
    target = tmp_path / "raw.qrdb"
    writer = new_writer(streaming, target)
    with pytest.raises(ValueError, match="msgpack"):
        writer.add_many_raw(iter(encoded))
    reference = QuorWriter()
    reference.add_many(pairs[:2000])
    reference.build(tmp_path / "ref.qrdb")
    assert finish(writer, target).read_bytes() == (tmp_path / "ref.qrdb").read_bytes()


def test_streaming_writer_writes_objects_as_they_come_and_builds_once(tmp_path):
    target = tmp_path / "s.qrdb"
    temp = tmp_path / "s.qrdb.tmp"
    writer = QuorWriter(target)
    assert writer.streaming and temp.exists() and not target.exists()
    big = "v" * (5 << 20)  # larger than the write buffer: on disk at once
    writer.add(big, "big")
    assert temp.stat().st_size > len(big)
    writer.build(target)
    assert not temp.exists() and QuorReader(target)["big"] == big
    with pytest.raises(ValueError, match="already built: a streaming writer builds once"):
        writer.build()
    with pytest.raises(ValueError, match="^QuorError: the build is already finished$"):
        writer.add(1, "late")
    with pytest.raises(ValueError, match="cannot build .*other.qrdb"):
        QuorWriter(tmp_path / "third.qrdb").build(tmp_path / "other.qrdb")


@pytest.mark.parametrize(
    "end",
    [
        lambda writer: writer.close(),
        lambda writer: writer.raw.abort(),
        lambda writer: writer.__exit__(KeyboardInterrupt, KeyboardInterrupt(), None),
        lambda writer: None,
    ],
    ids=["close", "abort", "with block left by an exception", "dropped"],
)
def test_unfinished_streaming_build_leaves_the_target_and_no_temporary_file(tmp_path, end):
    target = tmp_path / "s.qrdb"
    target.write_bytes(b"old contents")
    writer = QuorWriter(target)
    writer.add({"x": 1}, ["a", "b"])
    end(writer)
    del writer
    assert target.read_bytes() == b"old contents"
    assert list(tmp_path.iterdir()) == [target]


def test_ctrl_c_during_a_streaming_build_cancels_it_before_the_rename(tmp_path):
    target = tmp_path / "s.qrdb"
    target.write_bytes(b"old contents")
    writer = QuorWriter(target)
    for i in range(300_000):
        writer.add(i, f"key:{i * 2654435761 % 2**32:010d}")

    def interrupt_only_inside_build(signum, frame):
        try:
            writer.raw.object_count  # noqa: B018  # refused while finish holds the writer
        except RuntimeError:
            raise KeyboardInterrupt from None

    # Signals keep arriving until the build ends; the handler interrupts only
    # while finish runs, so the cancellation must come from its own checks.
    done = threading.Event()

    def send_signals():
        while not done.is_set():
            signal.pthread_kill(threading.main_thread().ident, signal.SIGUSR1)
            done.wait(0.001)

    previous = signal.signal(signal.SIGUSR1, interrupt_only_inside_build)
    sender = threading.Thread(target=send_signals)
    sender.start()
    try:
        with pytest.raises(KeyboardInterrupt):
            writer.build()
    finally:
        done.set()
        sender.join()
        signal.signal(signal.SIGUSR1, previous)
    assert writer.raw.aborted and not writer.raw.finished
    assert target.read_bytes() == b"old contents"
    assert list(tmp_path.iterdir()) == [target]


def test_structure_damage_is_caught_by_verify_while_the_extension_module_keeps_its_rules(
    structure_damage, write_db
):
    blob, message, where = structure_damage
    path = write_db(blob)
    if where == "native open":
        for opening in (_QuorReader, QuorReader):
            for verify in (True, False):
                with pytest.raises(RuntimeError) as exc:
                    opening(path, verify)
                assert exc.value.args == (message,)
        return
    assert _QuorReader(path, True).verify() is True
    if where == "open":
        with pytest.raises(RuntimeError) as exc:
            QuorReader(path)
        assert exc.value.args == (message,)
    else:
        QuorReader(path).close()
    with QuorReader(path, verify=False) as reader:
        assert reader.raw.verify() is True
        with pytest.raises(RuntimeError) as exc:
            reader.verify()
    assert exc.value.args == (message,)


@pytest.mark.parametrize(
    ("table", "message", "unverified_sees"),
    [
        # Only the index walk at a verified open shows it.
        (False, "index of num_keys=1 entries", {"a": 1}),
        # The trailer repeats the count: every open refuses it.
        (True, "lookup table: trailer num_keys 2 differs from the header's 1", None),
    ],
    ids=["plain", "table"],
)
def test_refresh_of_a_reader_checks_a_lowered_key_count(tmp_path, table, message, unverified_sees):
    path = build(str(tmp_path / "n.qrdb"), {"a": 1, "b": 2}, table=table)
    lowered = bytearray(pathlib.Path(path).read_bytes())
    lowered[8:12] = (1).to_bytes(4, "big")
    pathlib.Path(path + ".tmp").write_bytes(lowered)
    verified, unverified = QuorReader(path), QuorReader(path, verify=False)
    os.replace(path + ".tmp", path)
    with pytest.raises(RuntimeError, match=f"^QuorCorruptError: {message}"):
        verified.refresh()
    assert dict(verified) == {"a": 1, "b": 2}
    if unverified_sees is None:
        with pytest.raises(RuntimeError, match=f"^QuorCorruptError: {message}"):
            unverified.refresh()
    else:
        assert unverified.refresh() is True and dict(unverified) == unverified_sees


def test_refresh_switches_to_a_file_renamed_over_the_path(tmp_path):
    path = build(str(tmp_path / "h.qrdb"), {f"k{i}": i for i in range(10)})
    reader, untouched = QuorReader(path), QuorReader(path)
    raw_before = reader.raw
    running = iter(reader.items())
    assert next(running) == ("k0", 0)
    assert reader.refresh() is False
    build(path, {"k0": "new", "z": 1})
    # raw never hands out a reader of a file other than the reader's own.
    assert raw_before.get_raw("k1") is not None
    with pytest.raises(ValueError, match="replaced since this reader opened it"):
        untouched.raw  # noqa: B018
    assert untouched.get_raw("k1") == msgpack.packb(1)
    assert untouched.refresh() is True and untouched.raw.keys() == ["k0", "z"]
    assert reader.refresh() is True
    assert reader.refresh() is False
    assert dict(reader) == {"k0": "new", "z": 1} and len(reader) == 2
    assert reader.raw is not raw_before and reader.raw.keys() == ["k0", "z"]
    # Started on the old file: finishes on it.
    assert list(running) == [(f"k{i}", i) for i in range(1, 10)]
    # A file that cannot be opened is refused; the reader stays on the one it has.
    pathlib.Path(path + ".tmp").write_bytes(b"not a database")
    os.replace(path + ".tmp", path)
    with pytest.raises(RuntimeError, match="^QuorCorruptError: "):
        reader.refresh()
    assert reader["z"] == 1
    reader.close()
    with pytest.raises(ValueError, match="closed"):
        reader.refresh()


@pytest.mark.parametrize("how", ["close", "refresh"])
def test_iterations_outlive_close_and_refresh(tmp_path, how):
    path = build(str(tmp_path / "o.qrdb"), {f"k{i}": i for i in range(10)})
    # Decoding with msgpack, whose failures are ValueErrors as the closed reader's error is.
    reader = QuorReader(path, object_hook=dict)
    started = [iter(reader), iter(reader.values()), reader.prefix("k"), reader.range("k3")]
    assert reader["k1"] == 1 and reader.get_many(["k2"]) == [2]
    inode = os.stat(path).st_ino
    if how == "close":
        reader.close()
    else:
        build(path, {"other": 0})
        assert reader.refresh()
    assert [list(it) for it in started] == [
        [f"k{i}" for i in range(10)],
        list(range(10)),
        [(f"k{i}", i) for i in range(10)],
        [(f"k{i}", i) for i in range(3, 10)],
    ]
    # Done, they let go of the old file; so do the lookups made before.
    with open("/proc/self/maps") as maps:
        assert all(int(line.split()[4]) != inode for line in maps)
    if how == "close":
        for use in (
            iter,
            lambda r: r.items(),
            lambda r: r.get_many(["k1"]),
            lambda r: r.prefix(""),
            lambda r: [r["k1"]],
            lambda r: [r.get("k1")],
        ):
            with pytest.raises(ValueError, match="^I/O operation on a closed QuorReader$"):
                list(use(reader))


def test_damaged_record_fails_the_scan_that_reaches_it(tmp_path, raw, write_db):
    good = msgpack.packb("fine")
    blob = raw.craft([good], [(b"a", 40), (b"b", 40), (b"c", 10_000)])
    reader = QuorReader(write_db(blob))
    scan = iter(reader.items())
    with pytest.raises(RuntimeError, match="^QuorCorruptError: offset 10000 out of bounds$"):
        next(scan)
    assert list(reader.range(stop="c")) == [("a", "fine"), ("b", "fine")]
    assert list(reader) == ["a", "b", "c"]  # keys need no record
    with pytest.raises(RuntimeError, match="out of bounds"):
        reader.get_many(["a", "c"])
