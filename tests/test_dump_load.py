"""The dump format and load: a database dumped and loaded is the same file, byte for byte."""

import datetime
import json
import math
import pathlib
import struct

import msgpack
import pytest
from conftest import without_table
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from quordb import Ext, QuorWriter, ShardedWriter, _dump
from quordb._dump import (
    dump_lines,
    from_json,
    load_lines,
    payload_from_json,
    payload_to_json,
    to_json,
)
from quordb._inputs import BadRow
from quordb._native import RecordScan

scalars = (
    st.none()
    | st.booleans()
    | st.integers(-(2**63), 2**64 - 1)
    | st.floats(allow_nan=True)
    | st.text()
    | st.binary(max_size=8)
)
# Map keys that look like the dump's own tags.
tag_names = st.sampled_from(["$bytes", "$map", "$msgpack", "$"])
values = st.recursive(
    scalars,
    lambda inner: (
        st.lists(inner, max_size=3)
        | st.dictionaries(st.text(max_size=4) | tag_names, inner, max_size=3)
        | st.dictionaries(st.integers(-5, 5) | st.binary(max_size=3), inner, max_size=2)
    ),
    max_leaves=8,
)
# Payloads as another encoder might store them, or no msgpack at all.
raw_payloads = st.sampled_from(
    [b"", b"\xc1", b"\xca\x3f\x80\x00\x00", b"\xd9\x01a", b"\x91", struct.pack(">Bd", 0xCB, 1.0)]
) | st.binary(max_size=6)
keys = st.text(max_size=6) | st.binary(max_size=6)
NAN_WITH_SIGN = struct.pack(">Bd", 0xCB, -math.nan)
# The dump of the rich_db fixture as quordb made it when it decoded with msgpack.
RICH_DUMP = pathlib.Path(__file__).parent / "data" / "rich.dump.jsonl"


def refuse_bare_constant(name):
    pytest.fail(f"a dump line holds a bare {name}, which strict JSON parsers refuse")


def rebuilt(source, tmp_path, name="copy.qrdb"):
    writer = QuorWriter()
    lines = [line.encode() for line in dump_lines(str(source))]
    count = load_lines(lines, "dump.jsonl", writer)
    target = tmp_path / name
    writer.build(str(target))
    return target, count, lines


@settings(
    max_examples=150, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture]
)
@given(
    objects=st.lists(st.tuples(st.booleans(), values, raw_payloads), min_size=0, max_size=6),
    naming=st.lists(st.tuples(keys, st.integers(0, 5)), max_size=12),
)
def test_round_trip_rebuilds_the_same_file(tmp_path, capfd, objects, naming):
    writer = QuorWriter()
    for is_raw, value, payload in objects:
        if is_raw:
            writer.raw.add_object_raw(payload)
        else:
            writer.add_object(value)
    for key, target in naming:
        if objects:
            writer.add_key(key, target % len(objects))
    source = tmp_path / "source.qrdb"
    writer.build(str(source))
    copy, count, lines = rebuilt(source, tmp_path)
    capfd.readouterr()
    assert copy.read_bytes() == source.read_bytes()
    assert count.objects == len(objects)
    for line in lines:  # every line is strict JSON on its own
        json.loads(line, parse_constant=refuse_bare_constant)


def test_the_dump_of_a_rich_file_keeps_its_bytes_and_loads_back_to_the_file(
    tmp_path, capfd, rich_db
):
    source = rich_db
    assert "".join(line + "\n" for line in dump_lines(source)) == RICH_DUMP.read_text()
    copy, _count, _lines = rebuilt(source, tmp_path)
    capfd.readouterr()
    assert without_table(copy.read_bytes()) == pathlib.Path(source).read_bytes()


def test_shared_and_unnamed_objects_are_dumped_once_each_in_stored_order(tmp_path, capfd):
    writer = QuorWriter()
    writer.add({"n": 1}, ["b", "a", b"\xff"])
    writer.add_object(b"kept")  # no key names it
    writer.add([], "c")
    source = tmp_path / "s.qrdb"
    writer.build(str(source))
    capfd.readouterr()
    assert [json.loads(line) for line in dump_lines(str(source))] == [
        {"key": "a", "value": {"n": 1}, "object": 0},
        {"key": "b", "value": {"n": 1}, "object": 0},
        {"key": {"$bytes": "/w=="}, "value": {"n": 1}, "object": 0},
        {"value": {"$bytes": "a2VwdA=="}, "object": 1},
        {"key": "c", "value": [], "object": 2},
    ]


@pytest.mark.parametrize(
    ("payload", "shown"),
    [
        (msgpack.packb({"$bytes": 1}), {"$map": [["$bytes", 1]]}),
        (msgpack.packb({1: [b"\x00"]}), {"$map": [[1, [{"$bytes": "AA=="}]]]}),
        (msgpack.packb(msgpack.ExtType(5, b"z")), {"$ext": 5, "data": "eg=="}),
        # float32 and a str8 holding one byte re-encode differently: kept verbatim.
        (b"\xca\x3f\x80\x00\x00", {"$msgpack": "yj+AAAA="}),
        (b"\xd9\x01a", {"$msgpack": "2QFh"}),
        (msgpack.packb([math.nan, -math.inf]), [{"$float": "NaN"}, {"$float": "-Infinity"}]),
        (NAN_WITH_SIGN, {"$float": "0xfff8000000000000"}),
        (b"", {"$msgpack": ""}),
    ],
)
def test_payloads_are_shown_so_that_loading_stores_the_same_bytes(payload, shown):
    assert payload_to_json(payload) == shown
    assert payload_from_json(json.loads(json.dumps(shown))) == payload


@pytest.mark.parametrize(
    "tagged",
    [
        {"$bytes": 5},
        {"$bytes": "!!"},
        {"$map": [[1]]},
        {"$map": [[[1], 2]]},
        {"$what": 1},
        {"$float": "nan"},
        {"$float": "0x3ff0000000000000"},  # the bits of 1.0, which JSON holds as it is
    ],
)
def test_bad_tagged_values_are_refused(tagged):
    with pytest.raises(ValueError):
        from_json(tagged)


@pytest.mark.parametrize(
    "tagged",
    [
        datetime.datetime(1970, 1, 1, 0, 0, 3, 4, tzinfo=datetime.UTC),
        Ext(7, b"\x00"),
    ],
    ids=["timestamp", "ext"],
)
def test_to_json_and_from_json_are_inverse_on_tags(tagged):
    value = {"a": [b"x", {2: tagged}], "$k": None}
    assert from_json(json.loads(json.dumps(to_json(value)))) == value


@pytest.mark.parametrize(
    ("seconds", "nanoseconds"),
    [(3, 0), (2**32, 0), (3, 4), (-1, 500_000_000), (2**40, 0), (-(2**63), 999_999_999)],
    ids=["32-bit", "64-bit", "nanoseconds", "before 1970", "far ahead", "first of 96 bits"],
)
def test_a_dumped_timestamp_loads_as_the_bytes_msgpack_made(seconds, nanoseconds):
    # Finer than a microsecond or outside the years 1 to 9999, a timestamp is no datetime:
    # older dumps show such timestamps all the same.
    expected = msgpack.packb(msgpack.Timestamp(seconds, nanoseconds))
    assert payload_from_json({"$timestamp": [seconds, nanoseconds]}) == expected


@pytest.mark.parametrize(
    ("line", "reason"),
    [
        (b"{nope", "invalid JSON"),
        (b'{"id": 1}', "expected a dump line"),
        (b'{"key": "a", "value": 1, "extra": 2}', "expected a dump line"),
        (b'{"key": "a", "value": 1, "object": "1"}', '"object" must be an integer'),
        (b'{"key": 5, "value": 1}', "a key is a string"),
        (b'{"key": "a", "value": {"$bytes": "%%"}}', "invalid base64"),
        (b'{"key": "a", "value": {"$msgpack": 1}}', "expected base64 text"),
        (b'{"key": "a", "value": ' + b"[" * 10_000 + b"]" * 10_000 + b"}", "nested too deeply"),
    ],
)
def test_bad_dump_lines_name_their_line(line, reason):
    with pytest.raises(BadRow) as raised:
        load_lines([b'{"key": "ok", "value": 0}\n', b"\n", line], "in.jsonl", QuorWriter())
    assert raised.value.where == "in.jsonl:3"
    assert reason in raised.value.reason


def test_lines_without_object_numbers_each_make_an_object():
    writer = QuorWriter()
    count = load_lines([b'{"key": "a", "value": 1}', b'{"key": "b", "value": 1}'], "-", writer)
    assert (count.objects, count.keys) == (2, 2)


def test_record_scan_chunks_and_arguments(tmp_path, capfd):
    writer = QuorWriter()
    for i in range(5):
        writer.add(i, str(i))
    db = tmp_path / "five.qrdb"
    writer.build(str(db))
    capfd.readouterr()
    chunks = list(RecordScan(str(db), chunk=2))
    assert [len(chunk) for chunk in chunks] == [2, 2, 1]
    assert [keys for chunk in chunks for _, keys in chunk] == [[str(i)] for i in range(5)]
    with pytest.raises(ValueError, match="chunk must be at least 1"):
        RecordScan(str(db), chunk=0)
    with pytest.raises(OSError, match="QuorIOError: cannot open"):
        RecordScan(str(tmp_path / "absent.qrdb"))


def test_a_shard_set_is_dumped_from_one_generation_when_a_publish_comes_between(
    tmp_path, monkeypatch
):
    directory = tmp_path / "set"

    def publish(generation, count):
        with ShardedWriter(directory, shards=3) as writer:
            for i in range(count):
                writer.add({"generation": generation}, f"k{i}")

    publish(0, 30)
    scanned = []

    def scan_after_a_publish(path, verify=True):
        if not scanned:
            publish(1, 31)  # between the reader's checks and the first shard's scan
        scanned.append(path)
        return RecordScan(path, verify)

    monkeypatch.setattr(_dump, "RecordScan", scan_after_a_publish)
    lines = [json.loads(line) for line in dump_lines(str(directory))]
    assert {line["value"]["generation"] for line in lines} == {1}
    assert sorted(line["object"] for line in lines) == list(range(31))
