"""The codec against msgpack with the options quordb used: the same bytes and the same objects,
except where a difference is deliberate (each listed here)."""

import dataclasses
import datetime
import enum
import struct
import subprocess
import sys

import msgpack
import msgspec
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from quordb import DecodeError, Ext, QuorReader, QuorWriter
from quordb._codec import decoding, encoder, plain_decoding, plain_encoder

EPOCH = datetime.datetime(1970, 1, 1, tzinfo=datetime.UTC)


def their_timestamp(moment):
    """msgpack's Timestamp of an aware datetime, computed exactly (from_datetime goes
    through a float)."""
    since = moment - EPOCH
    return msgpack.Timestamp(since.days * 86_400 + since.seconds, since.microseconds * 1000)


def packb(obj, **options):
    return msgpack.packb(obj, use_bin_type=True, **options)


def unpackb(payload):
    return msgpack.unpackb(payload, raw=False, strict_map_key=False)


def shape(value):
    """*value* in a form that compares exactly: floats by their bits, types kept apart,
    msgpack's ext and timestamp objects as the codec's."""
    if isinstance(value, msgpack.ExtType | Ext):
        return ("ext", value.code, value.data)
    if isinstance(value, msgpack.Timestamp):
        return ("time", value.seconds, value.nanoseconds)
    if isinstance(value, datetime.datetime):
        return shape(their_timestamp(value))
    if isinstance(value, float):
        return ("float", struct.pack(">d", value))
    if isinstance(value, list | tuple):
        return ("list", [shape(v) for v in value])
    if isinstance(value, dict):
        return ("map", [(shape(k), shape(v)) for k, v in value.items()])
    return (type(value).__name__, value)


# Each value twice: as the codec takes it, and as msgpack takes it.
nan_bits = st.integers(1, 2**52 - 1).map(
    lambda payload: struct.unpack(">d", struct.pack(">Q", 0x7FF << 52 | payload))[0]
)
scalars = (
    st.none()
    | st.booleans()
    | st.integers(-(2**63), 2**64 - 1)
    | st.floats()
    | nan_bits
    | st.text()
    | st.binary()
).map(lambda v: (v, v))
exts = st.tuples(st.integers(0, 127), st.binary(max_size=20)).map(
    lambda c: (Ext(*c), msgpack.ExtType(*c))
)
timestamps = st.datetimes(timezones=st.just(datetime.UTC)).map(lambda d: (d, their_timestamp(d)))
map_keys = (
    st.none()
    | st.booleans()
    | st.integers(-(2**63), 2**64 - 1)
    | st.floats(allow_nan=False)
    | st.text(max_size=6)
    | st.binary(max_size=6)
).map(lambda v: (v, v)) | exts
pairs = st.recursive(
    scalars | exts | timestamps,
    lambda inner: (
        st.lists(inner, max_size=4).map(
            lambda items: ([o for o, _ in items], [t for _, t in items])
        )
        | st.lists(inner, max_size=3).map(
            lambda items: (tuple(o for o, _ in items), tuple(t for _, t in items))
        )
        | st.lists(st.tuples(map_keys, inner), max_size=4).map(
            lambda items: ({k[0]: v[0] for k, v in items}, {k[1]: v[1] for k, v in items})
        )
    ),
    max_leaves=16,
)


@settings(max_examples=300, deadline=None)
@given(pairs)
def test_encoding_and_decoding_agree_with_msgpack(pair):
    ours, theirs = pair
    payload = packb(theirs)
    assert plain_encoder()(ours) == payload
    assert shape(plain_decoding().decode(payload)) == shape(unpackb(payload))


def subclass(base, value):
    return type(f"My{base.__name__}", (base,), {})(value)


@pytest.mark.parametrize(
    "obj",
    [
        subclass(int, 8080),
        {subclass(str, "host"): subclass(str, "example.org")},
        [subclass(float, 0.5), subclass(bytes, b"\x00")],
        msgpack.Timestamp(3, 4),
        [-(2**63), 2**64 - 1],
    ],
    ids=["int subclass", "str subclass", "float and bytes subclasses", "Timestamp", "ends"],
)
def test_what_msgpack_encoded_as_it_is_is_encoded_alike(obj):
    assert encoder()(obj) == packb(obj)


@pytest.mark.parametrize("number", [2**64, -(2**63) - 1], ids=["above", "below"])
def test_ints_beyond_64_bits_are_refused_by_both(number):
    with pytest.raises(OverflowError):
        packb(number)
    with pytest.raises(OverflowError):
        encoder()([number])


# Forms other encoders write, which no value encodes to here: decoded alike all the same.
@pytest.mark.parametrize(
    "payload",
    [
        b"\xca\x3f\xc0\x00\x00",  # float32 1.5
        b"\xca\x7f\xc0\x00\x01",  # float32 NaN with a payload
        b"\xca\x80\x00\x00\x00",  # float32 -0.0
        b"\xd9\x01a",  # str8 of one byte
        b"\xcf\x00\x00\x00\x00\x00\x00\x00\x01",  # uint64 of 1
        b"\x82\xa1a\x01\xa1a\x02",  # a key repeated: the last wins
    ],
    ids=["float32", "float32 NaN", "float32 -0.0", "str8", "uint64", "key repeated"],
)
def test_payloads_of_other_encoders_decode_alike(payload):
    assert shape(plain_decoding().decode(payload)) == shape(unpackb(payload))


def test_default_is_called_for_unknown_objects_and_its_ext_type_encoded_as_msgpack_did():
    def default(obj):
        if isinstance(obj, complex):
            return msgpack.ExtType(9, struct.pack(">dd", obj.real, obj.imag))
        raise TypeError("unknown")

    assert encoder(default)({"z": 1j}) == packb({"z": 1j}, default=default)
    with pytest.raises(TypeError, match="unknown"):
        encoder(default)(object())
    for hopeless in (None, lambda obj: obj):  # no default, or one that hands it back
        with pytest.raises(TypeError, match="cannot encode an object of type 'object'"):
            encoder(hopeless)(object())


class Colour(enum.Enum):
    RED = "red"


@dataclasses.dataclass
class Point:
    x: int
    y: int


class Pixel(msgspec.Struct):
    x: int
    colour: str


# Objects msgpack could not encode and the codec encodes, and msgpack.ExtType, a tuple to it.
@pytest.mark.parametrize(
    ("obj", "stored"),
    [
        (datetime.datetime(2024, 2, 29, tzinfo=datetime.UTC), packb(msgpack.Timestamp(1709164800))),
        (datetime.datetime(2024, 2, 29), packb("2024-02-29T00:00:00")),
        (datetime.date(2024, 2, 29), packb("2024-02-29")),
        (Colour.RED, packb("red")),
        ({1, 2}, packb([1, 2])),
        (Point(1, 2), packb({"x": 1, "y": 2})),
        (Pixel(3, "red"), packb({"x": 3, "colour": "red"})),
        (msgpack.ExtType(5, b"x"), packb([5, b"x"])),
    ],
    ids=[
        "aware datetime",
        "naive datetime",
        "date",
        "enum",
        "set",
        "dataclass",
        "Struct",
        "ExtType",
    ],
)
def test_deliberate_differences_in_encoding(obj, stored):
    assert encoder()(obj) == stored


# Payloads msgpack decoded otherwise (or not at all), with what the codec gives.
@pytest.mark.parametrize(
    ("payload", "theirs", "ours"),
    [
        (b"\xd4\x80\x00", ValueError, Ext(-128, b"\x00")),
        (packb(msgpack.Timestamp(3, 4)), msgpack.Timestamp(3, 4), EPOCH.replace(second=3)),
        (packb(msgpack.Timestamp(2**40)), msgpack.Timestamp(2**40), DecodeError),
        (b"\x81\x92\x01\x02\x03", TypeError, {(1, 2): 3}),
    ],
    ids=["negative ext code", "nanoseconds", "year beyond 9999", "array as map key"],
)
def test_deliberate_differences_in_decoding(tmp_path, payload, theirs, ours):
    if isinstance(theirs, type):
        with pytest.raises(theirs):
            unpackb(payload)
    else:
        assert unpackb(payload) == theirs
    writer = QuorWriter()
    writer.add_key("k", writer.add_object_raw(payload))
    writer.build(tmp_path / "d.qrdb")
    reader = QuorReader(tmp_path / "d.qrdb")
    if isinstance(ours, type):
        with pytest.raises(ours, match="^QuorError: the object of key 'k' cannot be decoded: "):
            reader["k"]
    else:
        assert reader["k"] == ours
    assert reader.get_raw("k") == payload


def test_ext_values_are_hashable_immutable_and_bounded():
    assert {Ext(1, b"a"): 1}[Ext(1, bytearray(b"a"))] == 1
    assert Ext(1, b"a") != Ext(2, b"a") and Ext(1, b"a") != (1, b"a")
    with pytest.raises(AttributeError, match="immutable"):
        Ext(1, b"a").code = 2
    with pytest.raises(ValueError, match="-128 to 127"):
        Ext(128, b"")


def test_object_hook_decodes_with_msgpack_to_the_codecs_types():
    made = decoding(object_hook=lambda d: {**d, "seen": True})
    payload = packb({"e": msgpack.ExtType(3, b"x"), "t": msgpack.Timestamp(5)})
    assert made.decode(payload) == {
        "e": Ext(3, b"x"),
        "t": EPOCH.replace(second=5),
        "seen": True,
    }
    with pytest.raises(TypeError, match="type= or object_hook=, not both"):
        decoding(int, object_hook=dict)


def test_object_hook_without_msgpack_says_what_to_install(monkeypatch):
    monkeypatch.setitem(sys.modules, "msgpack", None)
    with pytest.raises(ImportError, match=r"pip install 'quordb\[msgpack\]'"):
        decoding(object_hook=dict)


def test_msgspec_is_imported_by_the_first_decode_not_by_opening_or_listing(tmp_path):
    writer = QuorWriter()
    writer.add({"v": 1}, "k")
    writer.build(tmp_path / "db.qrdb")
    script = (
        "import sys, quordb\n"
        f"db = quordb.open({str(tmp_path / 'db.qrdb')!r})\n"
        "assert list(db) == ['k'] and db.verify() and db.stats()\n"
        "assert 'msgspec' not in sys.modules\n"
        "assert db['k'] == {'v': 1} and db.get_many(['k']) == [{'v': 1}]\n"
        "assert 'msgspec' in sys.modules\n"
    )
    done = subprocess.run(
        [sys.executable, "-c", script], check=False, capture_output=True, text=True
    )
    assert done.returncode == 0, done.stderr
