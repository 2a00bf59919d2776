"""The lookup table after the index: what readers make of it, whole or damaged, and a reader
written from docs/format.md alone."""

from __future__ import annotations

import os
import pathlib
import struct
import subprocess
import sys
import zlib

import msgpack
import pytest
import xxhash
from conftest import flip, with_crc, without_table

from quordb import QuorReader, QuorWriter, ShardedReader, ShardedWriter
from quordb._native import add_table, table_info
from quordb._quordb import _QuorReader

TRAILER = struct.Struct("<4sBBBBBBxxIQQQQQII")  # docs/format.md, "Lookup table" trailer


def build(path, entries, **options):
    writer = QuorWriter(**options)
    for key, value in entries.items():
        writer.add(value, key)
    writer.build(str(path))
    return pathlib.Path(path)


CONTENTS = {
    "empty": {},
    "one": {"k": 1},
    "shared and odd keys": {"": 0, "a": [1], "ab": {"x": b"\x00"}, "é": "x", "\x00": None},
    "a few groups": {f"user:{i:05d}": i for i in range(700)},
}


# --- a reader from the documentation alone ------------------------------------------------


class DocumentedTable:
    """The table of *blob*, found and probed as docs/format.md describes it."""

    def __init__(self, blob: bytes):
        assert blob[5] & 0x01
        fields = TRAILER.unpack_from(blob, len(blob) - 64)
        (magic, version, kind, self.member_bits, self.location_bits, hash_id, shift) = fields[:7]
        (self.num_keys, self.groups, self.seed, self.index_offset, self.index_end) = fields[7:12]
        (self.section_offset, section_crc, trailer_crc) = fields[12:]
        assert (magic, version, hash_id) == (b"QTBL", 1, 1)
        assert trailer_crc == zlib.crc32(blob[len(blob) - 64 : len(blob) - 4])
        self.blob, self.shift = blob, shift
        self.slot_size = {1: 8, 2: 12}[kind]
        self.slots_at = self.section_offset + 16 * self.groups
        sparse_at = self.slots_at + 15 * self.groups * self.slot_size
        self.sparse_at = (sparse_at + 15) // 16 * 16
        assert section_crc == zlib.crc32(blob[self.section_offset : len(blob) - 64])

    def slot(self, index: int) -> tuple[int, int, int]:
        """(entry offset from index_offset, location, check bits) of slot *index*."""
        at = self.slots_at + index * self.slot_size
        if self.slot_size == 12:
            member, check, high, low = struct.unpack_from("<IHHI", self.blob, at)
            return member, high << 32 | low, check
        (word,) = struct.unpack_from("<Q", self.blob, at)
        mw, lw = self.member_bits, self.location_bits
        check_bits = min(16, 64 - mw - lw)
        return word & ((1 << mw) - 1), word >> (64 - lw), (word >> mw) & ((1 << check_bits) - 1)

    def entry(self, offset: int) -> tuple[bytes, int]:
        at = self.index_offset + offset
        (length,) = struct.unpack_from(">H", self.blob, at)
        return self.blob[at + 2 : at + 2 + length], struct.unpack_from(
            ">Q", self.blob, at + 2 + length
        )[0]

    def find(self, key: bytes) -> int | None:
        h = xxhash.xxh3_64_intdigest(key, seed=self.seed)
        tag = (h & 0xFF) or 1
        check = (h >> 8) & 0xFFFF
        group = (h * self.groups) >> 64
        for _ in range(self.groups):
            metadata = self.blob[self.section_offset + 16 * group :][:16]
            for i in range(15):
                if metadata[i] != tag:
                    continue
                member, location, slot_check = self.slot(group * 15 + i)
                if slot_check != check & (
                    (
                        1
                        << (
                            16
                            if self.slot_size == 12
                            else min(16, 64 - self.member_bits - self.location_bits)
                        )
                    )
                    - 1
                ):
                    continue
                if self.entry(member) == (key, location):
                    return location
            if not metadata[15] & (1 << ((h >> 24) & 7)):
                return None
            group = (group + 1) % self.groups
        return None

    def nth_entry(self, n: int) -> bytes:
        (offset,) = struct.unpack_from("<I", self.blob, self.sparse_at + 4 * (n >> self.shift))
        for _ in range(n & ((1 << self.shift) - 1)):
            key, _ = self.entry(offset)
            offset += 10 + len(key)
        return self.entry(offset)[0]


@pytest.mark.parametrize("entries", CONTENTS.values(), ids=CONTENTS.keys())
def test_a_reader_written_from_the_documentation_finds_every_key(tmp_path, entries):
    blob = build(tmp_path / "t.qrdb", entries).read_bytes()
    table = DocumentedTable(blob)
    reader = QuorReader(tmp_path / "t.qrdb")
    keys = sorted(key.encode() for key in entries)
    for n, key in enumerate(keys):
        location = table.find(key)
        (length,) = struct.unpack_from(">I", blob, location)
        assert msgpack.unpackb(blob[location + 8 : location + 8 + length]) == reader[key.decode()]
        assert table.nth_entry(n) == key
    assert [table.find(key + b"?") for key in keys] == [None] * len(keys)
    assert without_table(blob) == without_table(
        build(tmp_path / "p.qrdb", entries, table=False).read_bytes()
    )


# --- the format's own reader, and the package's, on table files ------------------------------


@pytest.mark.parametrize("entries", CONTENTS.values(), ids=CONTENTS.keys())
def test_the_format_reader_gives_the_same_answers_on_a_table_file(tmp_path, entries):
    path = str(build(tmp_path / "t.qrdb", entries))
    specified, package = _QuorReader(path), QuorReader(path)
    assert specified.verify() is True and package.verify() is True
    assert specified.keys() == list(package.keys())
    for key in [*entries, "absent"]:
        assert specified.get_raw(key) == package.get_raw(key)
    assert specified.prefix_raw("user:0001") == [
        (k, msgpack.packb(v)) for k, v in package.prefix("user:0001")
    ]
    assert specified.items_raw() == [(k, msgpack.packb(v)) for k, v in package.items()]


def test_listings_and_ranges_walk_the_index_through_the_sparse_array(tmp_path):
    entries = {f"{i:04d}": i for i in range(1000)}
    reader = QuorReader(build(tmp_path / "t.qrdb", entries))
    assert list(reader.keys()) == sorted(entries)
    assert [k for k, _ in reader.prefix("012")] == [f"012{i}" for i in range(10)]
    assert list(reader.range("0995", "0999")) == [
        ("0995", 995),
        ("0996", 996),
        ("0997", 997),
        ("0998", 998),
    ]
    assert reader.get_many_raw(["0017", "x", "0999"]) == [
        msgpack.packb(17),
        None,
        msgpack.packb(999),
    ]


PREFIX_KEYS = [
    b"",
    b"a",
    b"a\xff",
    b"a\xff\xff",
    b"a\xff\x00",
    b"b",
    b"\xff",
    b"\xff\xff",
    b"\xffz",
]


@pytest.mark.parametrize(
    "prefix", [b"", b"a", b"a\xff", b"\xff", b"\xff\xff", b"c", b"a\xff\xff\xff"]
)
def test_a_prefix_ends_where_its_keys_end(tmp_path, prefix):
    writer = QuorWriter()
    for i, key in enumerate(PREFIX_KEYS):
        writer.add(i, key)
    writer.build(tmp_path / "p.qrdb")
    reader = QuorReader(tmp_path / "p.qrdb")
    expected = sorted(k for k in PREFIX_KEYS if k.startswith(prefix))
    got = [k if isinstance(k, bytes) else k.encode() for k, _ in reader.prefix(prefix)]
    assert got == expected


# --- damage ------------------------------------------------------------------------------------


def test_every_bit_flip_in_the_table_is_refused_or_harmless(tmp_path):
    entries = {f"k{i}": i for i in range(60)}
    path = build(tmp_path / "t.qrdb", entries)
    blob = path.read_bytes()
    (index_end,) = struct.unpack_from("<Q", blob, len(blob) - 24)
    damaged = tmp_path / "d.qrdb"
    for at in [5, *range(index_end, len(blob))]:
        damaged.write_bytes(flip(blob, at, 1 << (at % 8) if at > 5 else 0x01))
        with pytest.raises(RuntimeError, match="^QuorCorruptError"):
            QuorReader(damaged)
        try:
            reader = QuorReader(damaged, verify=False)
        except RuntimeError as error:
            assert str(error).startswith("QuorCorruptError: lookup table"), at
            continue
        for key, value in entries.items():
            try:
                got = reader.get(key)
            except RuntimeError as error:
                assert str(error).startswith("QuorCorruptError"), at
                continue
            assert got in (value, None), (at, key, got)


def test_a_key_that_imitates_a_trailer_is_just_a_key(tmp_path, raw):
    trailer = build(tmp_path / "t.qrdb", {"a": 1}).read_bytes()[-64:]
    payload = msgpack.packb("v")
    imitation = b"z" + trailer[:56]
    blob = raw.craft([payload], [(b"a", 40), (imitation, int.from_bytes(trailer[56:], "big"))])
    path = tmp_path / "imitating.qrdb"
    path.write_bytes(blob)
    assert blob[-64:-8] == trailer[:56] and table_info(str(path)) is None
    reader = QuorReader(path)
    assert reader["a"] == "v" and list(reader.keys()) == ["a", imitation]


# Damage that a CRC taken again hides: only the strict verify's walk of the table finds it.
def _resealed(blob: bytes, at: int, mask: int) -> bytes:
    damaged = bytearray(flip(blob, at, mask))
    fields = list(TRAILER.unpack_from(damaged, len(damaged) - 64))
    fields[-2] = zlib.crc32(damaged[fields[12] : len(damaged) - 64])
    TRAILER.pack_into(damaged, len(damaged) - 64, *fields)
    struct.pack_into("<I", damaged, len(damaged) - 4, zlib.crc32(damaged[-64:-4]))
    return with_crc(bytes(damaged))


@pytest.mark.parametrize(
    ("where", "message"),
    [
        ("slot member", "is not reachable through the table"),
        ("slot location", "holds location"),
        # Verify's walk of the records meets the entry the sparse array no longer leads to.
        ("sparse array", "object offset 18446744073709551615 out of bounds"),
        ("padding", "padding at"),
        ("extra tag", "slots taken for"),
    ],
)
def test_strict_verify_walks_the_table(tmp_path, where, message):
    entries = {f"k{i:03d}": i for i in range(40)}
    blob = build(tmp_path / "t.qrdb", entries).read_bytes()
    table = DocumentedTable(blob)
    taken = next(
        i for i in range(15 * table.groups) if blob[table.section_offset + 16 * (i // 15) + i % 15]
    )
    free = next(
        i
        for i in range(15 * table.groups)
        if not blob[table.section_offset + 16 * (i // 15) + i % 15]
    )
    at, mask = {
        "slot member": (table.slots_at + 8 * taken, 0x01),
        "slot location": (table.slots_at + 8 * taken + 7, 0x80),
        "sparse array": (table.sparse_at + 4, 0x01),
        "padding": (table.sparse_at + 12, 0x01),  # 3 kept offsets, then 4 bytes to the trailer
        "extra tag": (table.section_offset + 16 * (free // 15) + free % 15, 0x01),
    }[where]
    path = tmp_path / "d.qrdb"
    path.write_bytes(_resealed(blob, at, mask))
    reader = QuorReader(path, verify=False)
    with pytest.raises(RuntimeError, match=f"^QuorCorruptError: .*{message}"):
        reader.verify()
    assert _QuorReader(str(path)).verify() is True  # the format's reader never looks


# --- writers, refresh, shard sets, the command line ---------------------------------------------


@pytest.mark.parametrize("streaming", [False, True], ids=["in-memory", "streaming"])
@pytest.mark.parametrize("table", [True, False])
def test_every_writer_writes_a_table_unless_told_not_to(tmp_path, streaming, table):
    path = tmp_path / "w.qrdb"
    writer = QuorWriter(path if streaming else None, table=table)
    writer.add(1, ["a", "b"])
    writer.build(None if streaming else path)
    assert (table_info(str(path)) is not None) == table
    assert dict(QuorReader(path)) == {"a": 1, "b": 1}


def test_refresh_moves_between_files_with_and_without_a_table(tmp_path):
    path = tmp_path / "r.qrdb"
    build(path, {"a": 1}, table=False)
    reader = QuorReader(path)
    for table, value in [(True, 2), (False, 3), (True, 4)]:
        build(tmp_path / "next.qrdb", {"a": value, "b": value}, table=table)
        os.replace(tmp_path / "next.qrdb", path)
        assert reader.refresh() is True and dict(reader) == {"a": value, "b": value}


@pytest.mark.parametrize("table", [True, False])
def test_shard_sets_carry_tables_as_asked(tmp_path, table):
    with ShardedWriter(tmp_path / "set", shards=3, table=table) as writer:
        for i in range(50):
            writer.add(i, f"k{i}")
    files = sorted((tmp_path / "set").glob("gen-*/part-*.qrdb"))
    assert [table_info(str(f)) is not None for f in files] == [table] * 3
    with ShardedReader(tmp_path / "set") as reader:
        assert dict(reader) == {f"k{i}": i for i in range(50)} and reader.verify() is True


@pytest.mark.parametrize(
    "entries",
    [
        CONTENTS["a few groups"],
        {f"key:{i:010d}": i for i in range(80_000)},  # an index of 1.9 MB
        {c * 65_535: i for i, c in enumerate("abcdefghijklmnopqrstu")},  # the longest keys
    ],
    ids=["a few groups", "megabytes of index", "keys of the greatest length"],
)
def test_a_streaming_build_writes_the_table_an_in_memory_build_does(tmp_path, entries):
    streamed = QuorWriter(tmp_path / "streamed.qrdb")
    for key, value in entries.items():
        streamed.add(value, key)
    streamed.build()
    in_memory = build(tmp_path / "in-memory.qrdb", entries)
    assert (tmp_path / "streamed.qrdb").read_bytes() == in_memory.read_bytes()


def test_adding_a_table_gives_the_bytes_a_build_writes(tmp_path):
    entries = {f"k{i}": [i] for i in range(300)}
    plain = build(tmp_path / "plain.qrdb", entries, table=False)
    assert add_table(str(plain)) is True and add_table(str(plain)) is False
    assert plain.read_bytes() == build(tmp_path / "built.qrdb", entries).read_bytes()


@pytest.mark.parametrize(
    ("target", "status", "message"),
    [
        ("set", 2, "is a directory"),
        ("notes.txt", 1, "is not a quordb file"),
        ("missing.qrdb", 1, "No such file or directory"),
    ],
)
def test_quordb_index_refuses_what_it_cannot_index(tmp_path, target, status, message):
    (tmp_path / "set").mkdir()
    (tmp_path / "notes.txt").write_text("hello, world")
    result = subprocess.run(
        [sys.executable, "-m", "quordb", "index", str(tmp_path / target)],
        capture_output=True,
        text=True,
        check=False,
    )
    assert result.returncode == status and message in result.stderr
