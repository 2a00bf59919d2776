"""Lookup joins in one process: `lookup_frame` over pandas, `quordb.arrow.lookup`, and the
readers a process shares between its joins."""

import gc
import struct
from concurrent.futures import ThreadPoolExecutor

import pytest

pd = pytest.importorskip("pandas")
pa = pytest.importorskip("pyarrow")
msgspec = pytest.importorskip("msgspec")
msgpack = pytest.importorskip("msgpack")

from quordb import QuorWriter, ShardedWriter
from quordb import open as quordb_open
from quordb._quordb import _QuorWriter
from quordb._reader_cache import close_readers, readers_opened, shared_reader
from quordb.arrow import lookup as arrow_lookup

# Stored objects, by key: records of varied shape, and objects that are no records.
TABLE = {
    "u1": {"name": "Ada", "age": 36, "tags": ["a"]},
    "u2": {"name": "Bob", "age": None},
    "u3": {"name": "Cy"},
    "7": {"name": "Seven", "age": 7},
    b"\xff\xfe": {"name": "not UTF-8", "age": 1},
    "list": [1, 2, 3],
    "intmap": {1: "one", "name": "int keys"},
    "ext": {"name": "ext", "age": 2},
}


def build(path, kind, table=TABLE):
    if kind == "file":
        writer = QuorWriter()
        for key, obj in table.items():
            writer.add(obj, key)
        writer.build(str(path))
    else:
        with ShardedWriter(path, shards=3) as writer:
            for key, obj in table.items():
                writer.add(obj, key)
    return path


@pytest.fixture(params=["file", "shard set"])
def db(request, tmp_path):
    path = build(tmp_path / "db", request.param)
    with quordb_open(path) as reader:
        yield reader


def field_of(obj, name):
    return obj.get(name) if isinstance(obj, dict) else None


def cells(series):
    """The values of a column, None for each null, whatever the dtype marks it with."""
    return [None if value is None or value is pd.NA else value for value in series.tolist()]


def stored_keys(keys, as_stored):
    return [None if pd.isna(v) else as_stored(v) for v in keys.astype(object)]


def same(value):
    return value


@pytest.mark.parametrize(
    ("keys", "as_stored"),
    [
        (pd.Series(["u1", "nobody", None, "u3", "list", "intmap"], dtype=object), same),
        (pd.Series(["u1", None, "u2"], dtype="str"), same),
        (pd.Series(["u1", None, "u2"], dtype=pd.ArrowDtype(pa.string())), same),
        (pd.Series([7, None, 8], dtype="Int64"), str),
        (pd.Series([7, 8], dtype="uint8"), str),
        (pd.Series([b"\xff\xfe", b"\xff", "u1", None], dtype=object), same),
        (pd.Series([b"\xff\xfe", None], dtype=pd.ArrowDtype(pa.binary())), same),
        (pd.Series(["7", 7, None], dtype=object), str),
        (pd.Series(["u1", "u2"], dtype="category"), same),
    ],
    ids=[
        "object",
        "str",
        "arrow str",
        "Int64",
        "uint8",
        "bytes",
        "arrow bytes",
        "mixed",
        "category",
    ],
)
@pytest.mark.parametrize("part_keys", [65536, 2])  # the batch in one part, or in several
def test_each_row_gets_its_keys_fields_typed(db, keys, as_stored, part_keys, monkeypatch):
    monkeypatch.setattr("quordb._packed.PART_KEYS", part_keys)
    # An index of its own, which the added columns must follow.
    frame = pd.DataFrame({"k": keys, "other": range(len(keys))}).set_axis(range(10, 10 + len(keys)))
    joined = db.lookup_frame(frame, "k", columns=["name", "age"], prefix="r_")
    pd.testing.assert_frame_equal(joined[["k", "other"]], frame)
    found = [TABLE.get(key) for key in stored_keys(keys, as_stored)]
    assert cells(joined["r_name"]) == [field_of(obj, "name") for obj in found]
    assert cells(joined["r_age"]) == [field_of(obj, "age") for obj in found]
    # Integers with missing values stay integers.
    assert joined["r_age"].dtype == pd.ArrowDtype(pa.int64())
    assert joined["r_name"].dtype == pd.ArrowDtype(pa.string())


@pytest.mark.parametrize(
    ("options", "column", "expected"),
    [
        ({}, "object", [TABLE["u1"], None, TABLE["list"], TABLE["intmap"]]),
        ({"default": {}}, "object", [TABLE["u1"], {}, TABLE["list"], TABLE["intmap"]]),
        ({"prefix": "db_"}, "db_object", [TABLE["u1"], None, TABLE["list"], TABLE["intmap"]]),
        ({"columns": ["name"], "default": "?"}, "name", ["Ada", "?", "?", "int keys"]),
        ({"columns": ["tags"]}, "tags", [["a"], None, None, None]),
    ],
)
def test_whole_objects_defaults_and_prefixes(db, options, column, expected):
    frame = pd.DataFrame({"k": ["u1", "nobody", "list", "intmap"]})
    assert cells(db.lookup_frame(frame, "k", **options)[column]) == expected


def test_raw_gives_the_stored_bytes(db):
    frame = pd.DataFrame({"k": ["u2", "nobody", "list"]})
    joined = db.lookup_frame(frame, "k", raw=True)
    assert joined["object"].dtype == pd.ArrowDtype(pa.binary())
    assert cells(joined["object"]) == [db.get_raw(k) for k in frame["k"]]


@pytest.mark.parametrize(
    ("ages", "dtypes", "dtype"),
    [
        ([1, None, 3], None, pd.ArrowDtype(pa.int64())),
        ([1, 2.5], None, pd.ArrowDtype(pa.float64())),
        ([1, "one"], None, object),
        ([None, None], None, object),
        ([-(2**63), 2**63 - 1, -1, None, 200], None, pd.ArrowDtype(pa.int64())),
        ([2**63, 1], None, object),
        (["a", None, "é"], None, pd.ArrowDtype(pa.string())),
        (["a", 1], None, object),
        (["a", "b"], {"age": "large_string"}, pd.ArrowDtype(pa.large_string())),
        ([1, 2], {"age": "int32"}, pd.ArrowDtype(pa.int32())),
        ([1, 2], {"age": pa.float64()}, pd.ArrowDtype(pa.float64())),
        ([1, "one"], {"age": "object"}, object),
        ([None, None], {"age": pd.ArrowDtype(pa.string())}, pd.ArrowDtype(pa.string())),
        ([1, 2.5], {"age": "int64"}, "truncated"),
        ([1, "2"], {"age": "int64"}, "do not fit|convert"),
        (["1", "2"], {"age": "int64"}, "do not fit|convert"),
        ([1, 300], {"age": "int8"}, "not in range"),
        ([1, "2"], {"age": "string"}, "Expected bytes"),
        ([True, False], {"age": "int64"}, "bool"),
        ([1, 2], {"age": "no such type"}, "must be a pyarrow type"),
    ],
)
def test_column_types_are_declared_or_inferred_and_never_widened(tmp_path, ages, dtypes, dtype):
    table = {f"k{i}": {"age": age} for i, age in enumerate(ages)}
    frame = pd.DataFrame({"k": list(table)})
    with quordb_open(build(tmp_path / "db", "file", table)) as reader:
        if isinstance(dtype, str):
            with pytest.raises(TypeError, match=dtype):
                reader.lookup_frame(frame, "k", columns=["age"], dtypes=dtypes)
            return
        column = reader.lookup_frame(frame, "k", columns=["age"], dtypes=dtypes)["age"]
    assert column.dtype == dtype
    assert cells(column) == ages


@pytest.mark.parametrize(
    ("keys", "options", "error", "message"),
    [
        ([1.0, 2.0], {}, TypeError, "holds double.*nullable dtype such as Int64"),
        ([True], {}, TypeError, "holds bool"),
        ([["u1"]], {}, TypeError, "holds list.*join keys are text, bytes or integers"),
        (["u1"], {"columns": "name"}, TypeError, "columns must be a list"),
        (["u1"], {"columns": []}, ValueError, "at least one field"),
        (["u1"], {"columns": ["a", "a"]}, ValueError, "names a field twice"),
        (["u1"], {"columns": ["a"], "raw": True}, ValueError, "drop columns"),
        (["u1"], {"columns": ["a"], "dtypes": {"b": "int64"}}, ValueError, r"\['b'\]"),
        (["u1"], {"columns": ["k"]}, ValueError, "already has columns \\['k'\\]"),
    ],
)
def test_bad_keys_and_arguments_are_refused(db, keys, options, error, message):
    with pytest.raises(error, match=message):
        db.lookup_frame(pd.DataFrame({"k": keys}), "k", **options)


def _in_two_chunks(columns):
    return pa.concat_tables([pa.table(columns).slice(0, 2), pa.table(columns).slice(2)])


def _a_slice(columns):
    """A batch whose buffers start before its rows: the rows twice, the second time kept."""
    doubled = pa.concat_tables([pa.table(columns)] * 2).combine_chunks().to_batches()[0]
    return doubled.slice(len(doubled) // 2)


def _unaligned(columns):
    """A batch whose key offsets start off an 8-byte boundary, as unpickled buffers may."""
    keys = pa.array(columns["k"], pa.large_string())
    validity, offsets, data = keys.buffers()
    shifted = pa.py_buffer(b"\0" + offsets.to_pybytes()).slice(1)
    keys = pa.Array.from_buffers(pa.large_string(), len(keys), [validity, shifted, data])
    return pa.record_batch({**columns, "k": keys})


@pytest.mark.parametrize("kind", [pa.table, pa.record_batch, _in_two_chunks, _a_slice, _unaligned])
@pytest.mark.parametrize(
    "options",
    [{"columns": ["name", "age"]}, {}, {"raw": True}, {"columns": ["name"], "default": "-"}],
)
def test_arrow_lookup_gives_the_columns_of_the_pandas_join(db, kind, options):
    keys = ["u1", None, "nobody", "u2", "7"]
    data = kind({"k": pa.array(keys), "n": pa.array(range(5))})
    joined = arrow_lookup(data, "k", db, **options)
    assert type(joined) is type(data)
    expected = db.lookup_frame(pd.DataFrame({"k": keys, "n": range(5)}), "k", **options)
    assert joined.schema.names == list(expected.columns)
    for name in expected.columns[2:]:
        column = joined.column(name)
        if options:
            assert column.to_pylist() == cells(expected[name])
            assert column.type == expected[name].dtype.pyarrow_dtype
        else:  # whole objects: a struct of every field found, which pandas keeps as objects
            fields = [column.type.field(i).name for i in range(column.type.num_fields)]
            assert column.to_pylist() == [
                None if obj is None else {f: obj.get(f) for f in fields} for obj in expected[name]
            ]


def _packed(value):
    return msgpack.packb(value, use_bin_type=True)


# Every kind of msgpack value, each head a field's value may start with, as stored bytes.
VALUE_BYTES = [
    *map(_packed, [5, -3, 200, 60000, 2**31, 2**63, -100, -1000, -(2**20), -(2**40), 2.5]),
    b"\xca" + struct.pack(">f", 1.5),
    *map(_packed, [None, True, False, "x", "x" * 40, "x" * 300, b"ab", b"a" * 300]),
    b"\xdb\x00\x00\x00\x02hi",  # str32
    b"\xc6\x00\x00\x00\x01z",  # bin32
    *map(_packed, [[1, [2]], list(range(20)), {"a": 1}, {str(i): i for i in range(20)}]),
    b"\xdd\x00\x00\x00\x01\x01",  # array32
    b"\xdf\x00\x00\x00\x01\xa1a\x01",  # map32
    *(_packed(msgpack.ExtType(5, b"x" * n)) for n in [1, 2, 4, 8, 16, 3, 300]),
    b"\xc9\x00\x00\x00\x01\x05z",  # ext32
    _packed(msgpack.Timestamp(1, 0)),
]
MAP_HEADS = {"fixmap": b"\x83", "map16": b"\xde\x00\x03", "map32": b"\xdf\x00\x00\x00\x03"}


@pytest.mark.parametrize("head", MAP_HEADS.values(), ids=MAP_HEADS)
def test_a_field_of_every_kind_of_value_is_as_a_read_gives_it(tmp_path, head):
    # Each value as the field, after a field that is skipped and holds it too, and alone.
    records = [head + b"\xa1w" + v + b"\xa1v" + v + b"\xa1z\x01" for v in VALUE_BYTES]
    records += VALUE_BYTES
    writer = _QuorWriter()
    for obj_id, stored in enumerate(records):
        writer.add_object_raw(stored)
        writer.add_key(f"k{obj_id}", obj_id)
    writer.build(str(tmp_path / "db.qrdb"))
    frame = pd.DataFrame({"k": [f"k{i}" for i in range(len(records))]})
    with quordb_open(tmp_path / "db.qrdb") as reader:
        joined = reader.lookup_frame(frame, "k", columns=["v", "z"], dtypes={"v": "object"})
        found = [reader[key] for key in frame["k"]]
    assert joined["v"].tolist() == [field_of(obj, "v") for obj in found]
    assert cells(joined["z"]) == [field_of(obj, "z") for obj in found]


@pytest.mark.parametrize(
    ("payload", "name"),
    [
        (b"\x82\xa4name\x01\xa4name\x02", 2),  # a key twice: the last
        (b"\x82\xa4name\x01\x91\x01\x02", 1),  # a key that is an array
        (b"\x81\xa4name", msgspec.DecodeError),  # cut short
        (b"\x81\xa4name\xa2\xff\xfe", msgspec.DecodeError),  # text that is not UTF-8
        (b"\x80\x80", msgspec.DecodeError),  # a second value after the record
        (b"\xc1", msgspec.DecodeError),  # no value at all
    ],
)
def test_a_field_of_an_odd_or_damaged_record_is_as_a_read_decodes_it(tmp_path, payload, name):
    writer = _QuorWriter()
    for obj_id, stored in enumerate([payload, msgpack.packb({"name": "ok"})]):
        writer.add_object_raw(stored)
        writer.add_key(f"k{obj_id}", obj_id)
    writer.build(str(tmp_path / "db.qrdb"))
    frame = pd.DataFrame({"k": ["k1", "k0"]})
    with quordb_open(tmp_path / "db.qrdb", verify=False) as reader:
        if isinstance(name, type):
            with pytest.raises(name):
                reader.lookup_frame(frame, "k", columns=["name"])
        else:
            assert cells(reader.lookup_frame(frame, "k", columns=["name"])["name"]) == ["ok", name]


@pytest.mark.parametrize("options", [{"columns": ["name"]}, {}, {"raw": True}])
def test_a_closed_reader_refuses_a_join(db, options):
    db.close()
    with pytest.raises(ValueError, match="closed"):
        db.lookup_frame(pd.DataFrame({"k": ["u1"]}), "k", **options)


@pytest.mark.parametrize("threads", [1, 4])  # joins overlapping on threads pause it once
@pytest.mark.parametrize("enabled", [True, False])
def test_a_join_leaves_the_collector_as_it_found_it(db, enabled, threads):
    frame = pd.DataFrame({"k": ["u1", "list"] * 5000})
    (gc.enable if enabled else gc.disable)()
    try:
        with ThreadPoolExecutor(threads) as pool:
            list(pool.map(lambda _: db.lookup_frame(frame, "k"), range(2 * threads)))
        db.lookup_frame(frame, "k", columns=["name"])
        assert gc.isenabled() is enabled
    finally:
        gc.enable()


def test_arrow_lookup_refuses_objects_that_share_no_type(db):
    with pytest.raises(TypeError, match="share no Arrow type"):
        arrow_lookup(pa.table({"k": ["u1", "list"]}), "k", db)


@pytest.mark.parametrize("kind", ["file", "shard set"])
def test_a_process_shares_one_reader_per_database_and_refreshes_it(tmp_path, kind):
    close_readers()
    path = build(tmp_path / "db", kind)
    before = readers_opened()
    first = shared_reader(path)
    assert shared_reader(tmp_path / "." / "db") is first
    assert readers_opened() == before + 1
    assert first["u1"] == TABLE["u1"]
    build(path, kind, {"u1": "rebuilt"})
    assert shared_reader(path) is first
    assert first["u1"] == "rebuilt"
    assert readers_opened() == before + 1
    close_readers()
    assert first.closed
    assert shared_reader(path) is not first
    assert readers_opened() == before + 2
    close_readers()
