"""Shared fixtures: databases built by the native writer and files crafted byte by byte."""

from __future__ import annotations

import math
import struct
import types
import zlib
from collections.abc import Iterable, Mapping

import msgpack
import pytest
from msgpack import Timestamp

from quordb._quordb import _QuorWriter

NAN_WITH_PAYLOAD = struct.unpack(">d", bytes.fromhex("fff8000000000abc"))[0]


def packb(value):
    return msgpack.packb(value, use_bin_type=True)


# magic, version, num_keys, num_objects, index_offset, data_offset, file_crc32
HEADER = struct.Struct(">4sB3xIIQQI4x")


def with_crc(blob: bytes) -> bytes:
    """Return `blob` with its header checksum recomputed over bytes 40 to the end."""
    return blob[:32] + struct.pack(">I", zlib.crc32(blob[40:])) + blob[36:]


def flip(blob: bytes, offset: int, mask: int = 0x01) -> bytes:
    return blob[:offset] + bytes([blob[offset] ^ mask]) + blob[offset + 1 :]


def craft(
    records: Iterable[bytes | tuple[int, int, bytes]] = (),
    entries: Iterable[tuple[bytes, int]] = (),
    *,
    magic: bytes = b"QRDB",
    version: int = 2,
    num_keys: int | None = None,
    num_objects: int | None = None,
    index_offset: int | None = None,
    data_offset: int = 40,
    crc: int | None = None,
    trailer: bytes = b"",
) -> bytes:
    """Lay out a file by hand; counts, offsets and the checksum default to the honest values.

    A record is its payload, or (length field, crc field, payload) to lie about it.
    An entry is (key bytes, absolute record location).
    """
    records = [r if isinstance(r, tuple) else (len(r), zlib.crc32(r), r) for r in records]
    entries = list(entries)
    data = b"".join(struct.pack(">II", n, c) + p for n, c, p in records)
    index = b"".join(struct.pack(">H", len(k)) + k + struct.pack(">Q", loc) for k, loc in entries)
    body = data + index + trailer
    header = HEADER.pack(
        magic,
        version,
        len(entries) if num_keys is None else num_keys,
        len(records) if num_objects is None else num_objects,
        40 + len(data) if index_offset is None else index_offset,
        data_offset,
        zlib.crc32(body) if crc is None else crc,
    )
    return header + body


@pytest.fixture
def build_db(tmp_path):
    """Build a database with the native writer; `keys` maps each key to an object index."""

    def build(objects=(), keys: Mapping | Iterable = (), name: str = "db.qrdb") -> str:
        w = _QuorWriter()
        for payload in objects:
            w.add_object_raw(payload)
        for key, obj in keys.items() if isinstance(keys, Mapping) else keys:
            w.add_key(key, obj)
        path = str(tmp_path / name)
        w.build(path)
        return path

    return build


@pytest.fixture
def write_db(tmp_path):
    """Write raw bytes to a file under tmp_path and return its path as str."""

    def write(blob: bytes, name: str = "raw.qrdb") -> str:
        path = tmp_path / name
        path.write_bytes(blob)
        return str(path)

    return write


@pytest.fixture
def raw():
    """Byte-level helpers for crafting and damaging files."""
    return types.SimpleNamespace(header=HEADER, craft=craft, with_crc=with_crc, flip=flip)


# Damage that every CRC lets through, or that only the file CRC would catch were it not
# recomputed: records at 40, 50 (named by no key), 70 and 80, whose payload opens with an
# empty record at 88; index entries at 98, 109, 120 and 131; the file ends at 142.
_RECORDS = [b"p0", b"unreferenced", b"p2", bytes(8) + b"p3"]
_ENTRIES = [(b"a", 40), (b"b", 70), (b"c", 70), (b"d", 80)]
_SOUND = craft(_RECORDS, _ENTRIES)

# id: (file, message, where it is first caught: "native open" by both readers' open, "open" by
# QuorReader's verified open, "verify" by QuorReader.verify() alone)
STRUCTURE_DAMAGE = {
    "num_keys lowered": (
        craft(_RECORDS, _ENTRIES, num_keys=3),
        "index of num_keys=3 entries ends at 131, not at the end of the file (142)",
        "open",
    ),
    "num_keys raised": (
        craft(_RECORDS, _ENTRIES, num_keys=5),
        "index section truncated (key_len)",
        "native open",
    ),
    "bytes after the index": (
        craft(_RECORDS, _ENTRIES, trailer=b"xyz"),
        "index of num_keys=4 entries ends at 142, not at the end of the file (145)",
        "open",
    ),
    "num_objects lowered": (
        craft(_RECORDS, _ENTRIES, num_objects=3),
        "data section holds 4 records, num_objects is 3",
        "verify",
    ),
    "num_objects raised": (
        craft(_RECORDS, _ENTRIES, num_objects=5),
        "data section holds 4 records, num_objects is 5",
        "verify",
    ),
    "data_offset": (
        craft(_RECORDS, _ENTRIES, data_offset=41),
        "data_offset is 41, not 40",
        "verify",
    ),
    "reserved byte": (
        _SOUND[:6] + b"\x80" + _SOUND[7:],
        "reserved header byte 6 is 128, not 0",
        "verify",
    ),
    "unreferenced record": (
        craft(
            [_RECORDS[0], (12, zlib.crc32(b"unreferenced") ^ 1, b"unreferenced"), *_RECORDS[2:]],
            _ENTRIES,
        ),
        "object CRC32 mismatch at offset 50",
        "verify",
    ),
    "location inside a record": (
        craft(_RECORDS, [*_ENTRIES[:3], (b"d", 88)]),
        "index entry at offset 131 names location 88, not the start of an object record",
        "verify",
    ),
    "keys out of order": (
        craft(_RECORDS, [(b"a", 40), (b"c", 70), (b"b", 70), (b"d", 80)]),
        "index entry at offset 120 is out of key order",
        "verify",
    ),
    "key repeated": (
        craft(_RECORDS, [(b"a", 40), (b"b", 70), (b"b", 70), (b"d", 80)]),
        "index entry at offset 120 repeats the key before it",
        "verify",
    ),
}


@pytest.fixture(params=list(STRUCTURE_DAMAGE.values()), ids=list(STRUCTURE_DAMAGE))
def structure_damage(request):
    """(damaged file, its QuorCorruptError message, where it is first caught)."""
    blob, detail, where = request.param
    return blob, "QuorCorruptError: " + detail, where


# Every kind of value msgpack holds, and payloads other encoders write, each given as bytes
# (msgpack's, not the package's own encoder's): (payload, keys naming it); an object with no
# key is stored all the same.
RICH_OBJECTS: list[tuple[bytes, list[bytes]]] = [
    (
        packb({"name": "Ada", "tags": ["x", "y"], "age": 36, "active": True, "none": None}),
        [b"user:1", b"ada"],
    ),
    (
        packb({1: "one", -5: b"\x00\xff", b"raw": 1.5, None: [], 2.5: "f", False: "t"}),
        [b"non-str keys"],
    ),
    (
        packb([0.0, -0.0, 1e308, 5e-324, math.inf, -math.inf, math.nan, NAN_WITH_PAYLOAD]),
        [b"floats"],
    ),
    (
        packb([127, 128, 255, 256, 65535, 65536, 2**64 - 1, -32, -33, -129, -(2**63), 2**63]),
        [b"ints"],
    ),
    (packb(msgpack.ExtType(5, b"ext data")), [b"ext"]),
    (b"\xc7\x03\x80\x00\x00\x00", [b"ext of odd length"]),  # code -128, which msgpack reserves
    (
        packb(
            [
                Timestamp(1_700_000_000),
                Timestamp(1_700_000_000, 123_456_000),
                Timestamp(-1, 500_000_000),
            ]
        ),
        [b"timestamps"],
    ),
    (packb("ü text 用户 \x00 end"), [b"\xff\xfe not utf-8", "é".encode()]),
    (packb({"$bytes": "looks like a tag"}), [b"tag-like"]),
    (packb(b""), [b"empty bin"]),
    (packb({}), []),  # no key names it
    # payloads that decoding and encoding again would not give back
    (b"\xca\x3f\x80\x00\x00", [b"float32"]),
    (b"\xd9\x01a", [b"str8 of one byte"]),
    (b"\xc1", [b"not msgpack"]),
    (b"\x91" * 1100 + b"\xc0", [b"too deep"]),
    (b"\x81\xa1a\x01\xa1a\x02", [b"key repeated"]),
]


@pytest.fixture
def rich_db(build_db):
    """The database of RICH_OBJECTS, built by the module the format is defined by."""
    objects = [payload for payload, _keys in RICH_OBJECTS]
    keys = [(key, obj_id) for obj_id, (_payload, named) in enumerate(RICH_OBJECTS) for key in named]
    return build_db(objects, keys, name="rich.qrdb")
