"""quordb._quordb over damaged or hand-made files: bounds, checksums, repeated keys, truncation."""

import struct
import zlib
from pathlib import Path

import pytest

from quordb._quordb import _QuorReader

CORRUPT = "QuorCorruptError: "


def _fails(call, message):
    with pytest.raises(RuntimeError) as exc:
        call()
    assert exc.type is RuntimeError and exc.value.args == (CORRUPT + message,)


def _file_len(raw, location):
    return len(raw.craft([b"abc"], [(b"k", 40), (b"z", location)]))


@pytest.mark.parametrize(
    "location",
    [
        "len-7",  # the 8-byte record head would end one byte past the file
        1000,
        2**64 - 8,  # location + 8 wraps to 0 in 64 bits
        2**64 - 1,
    ],
)
def test_location_past_the_end(raw, write_db, location):
    if location == "len-7":
        location = _file_len(raw, 0) - 7
    r = _QuorReader(write_db(raw.craft([b"abc"], [(b"k", 40), (b"z", location)])))
    fetch = f"offset {location} out of bounds"
    _fails(lambda: r.get_raw("z"), fetch)
    _fails(r.items_raw, fetch)
    _fails(r.objects_raw, fetch)
    _fails(lambda: r.prefix_raw("z"), fetch)
    _fails(lambda: r.prefix_raw(""), fetch)
    _fails(r.verify, f"object offset {location} out of bounds")
    assert r.exists("z") is True
    assert r.keys() == ["k", "z"]
    assert r.prefix_raw("k") == [("k", b"abc")] and r.get_raw("k") == b"abc"
    _fails(lambda: r.get_raw("z"), fetch)  # nothing is cached or marked bad


def test_record_head_ending_exactly_at_file_end_is_in_bounds(raw, write_db):
    # The final 8 bytes are the entry's own location field: length 0, crc = the location.
    size = _file_len(raw, 0)
    r = _QuorReader(write_db(raw.craft([b"abc"], [(b"k", 40), (b"z", size - 8)])))
    assert r.get_raw("z") == b""
    _fails(r.verify, f"object CRC32 mismatch at offset {size - 8}")


@pytest.mark.parametrize("length", [4, 14, 15, 1000, 0xFFFFFFFF])
def test_record_running_past_the_end(raw, write_db, length):
    # The index entry makes up 11 bytes after the 3 payload bytes; a length above 14 escapes.
    blob = raw.craft([(length, zlib.crc32(b"abc"), b"abc")], [(b"k", 40)])
    r = _QuorReader(write_db(blob))
    if length <= 3 + 11:
        assert r.get_raw("k") == blob[48 : 48 + length]
        _fails(r.verify, "object CRC32 mismatch at offset 40")
        return
    _fails(lambda: r.get_raw("k"), "object at 40 extends beyond file end")
    _fails(r.items_raw, "object at 40 extends beyond file end")
    _fails(r.verify, "object at 40 extends beyond file end")
    assert r.exists("k") and r.keys() == ["k"]


def test_flipped_payload_with_recomputed_file_crc(raw, write_db):
    blob = raw.craft([b"hello", b"world"], [(b"a", 53), (b"b", 40), (b"c", 40)])
    damaged = raw.with_crc(raw.flip(raw.flip(blob, 48), 61))  # one byte in each payload
    r = _QuorReader(write_db(damaged))
    # "a" names the second record and comes first in key order, so its record is reported.
    _fails(r.verify, "object CRC32 mismatch at offset 53")
    assert r.get_raw("b") == b"iello" and r.get_raw("a") == b"vorld"
    assert r.objects_raw() == [b"vorld", b"iello"]
    only_first = raw.with_crc(raw.flip(blob, 48))
    _fails(
        _QuorReader(write_db(only_first, "first.qrdb")).verify, "object CRC32 mismatch at offset 40"
    )


def test_unreferenced_record_is_checked_only_by_the_file_crc(raw, write_db):
    blob = raw.craft([b"orphan", b"kept"], [(b"k", 54)])
    r = _QuorReader(write_db(raw.with_crc(raw.flip(blob, 48))))
    assert r.verify() is True
    assert r.objects_raw() == [b"kept"]


def test_any_flipped_byte_with_stale_crc(raw, write_db):
    blob = raw.craft([b"hello", b""], [(b"a", 40), (b"b", 53)])
    for offset in range(40, len(blob)):
        damaged = raw.flip(blob, offset, 0x80)
        path = write_db(damaged)
        expected = (
            f"file CRC32 mismatch  stored=0x{blob[32:36].hex()}"
            f"  computed=0x{zlib.crc32(damaged[40:]):08x}"
        )
        _fails(lambda p=path: _QuorReader(p), expected)
        if offset < 53 + 8:  # in the data section the index still loads
            _fails(_QuorReader(path, verify=False).verify, expected)


def test_repeated_key_last_occurrence_wins(raw, write_db):
    blob = raw.craft([b"one", b"two"], [(b"k", 40), (b"k", 51), (b"m", 40)])
    r = _QuorReader(write_db(blob))
    assert r.get_raw("k") == b"two"
    assert r.keys() == ["k", "k", "m"]
    assert r.items_raw() == [("k", b"one"), ("k", b"two"), ("m", b"one")]
    assert r.prefix_raw("k") == [("k", b"one"), ("k", b"two")]
    assert r.objects_raw() == [b"one", b"two"]
    assert r.stats()["num_keys"] == 3 and r.verify() is True
    assert repr(r).endswith(", keys=3, objects=2)")


@pytest.mark.parametrize(
    "overrides",
    [
        {"num_objects": 999},
        {"data_offset": 7},
        {"trailer": b"garbage after the index"},
        {"num_keys": 1},  # the second entry is simply never read
    ],
)
def test_header_values_that_are_not_checked(raw, write_db, overrides):
    blob = raw.craft([b"v", b"w"], [(b"", 40), (b"k", 49)], **overrides)
    blob = blob[:5] + b"\1\2\3" + blob[8:36] + b"\4\5\6\7" + blob[40:]  # reserved bytes
    r = _QuorReader(write_db(blob))
    assert r.verify() is True
    assert r.get_raw(b"") == b"v" and r.keys()[0] == ""
    stats = r.stats()
    assert stats["data_offset"] == 40
    assert stats["num_objects"] == overrides.get("num_objects", 2)
    assert len(r.keys()) == overrides.get("num_keys", 2)


def test_keys_out_of_order_are_kept_in_file_order(raw, write_db):
    r = _QuorReader(write_db(raw.craft([b"v"], [(b"b", 40), (b"a", 40)])))
    assert r.keys() == ["b", "a"]
    assert r.get_raw("a") == r.get_raw("b") == b"v"
    assert r.verify() is True


def _index_error(blob, size):
    """Which truncation message the index walk meets when the file is cut to `size` bytes."""
    (count,), pos = struct.unpack_from(">I", blob, 8), struct.unpack_from(">Q", blob, 16)[0]
    for _ in range(count):
        if pos + 2 > size:
            return "index section truncated (key_len)"
        (klen,) = struct.unpack_from(">H", blob, pos)
        if pos + 2 + klen + 8 > size:
            return "index section truncated (key + offset)"
        pos += 2 + klen + 8
    return None


def test_every_truncation_is_rejected_cleanly(build_db, write_db):
    path = build_db([b"alpha", b"", b"gamma" * 3], {"a": 0, "bb": 1, "é": 2, "ccc": 0})
    blob = Path(path).read_bytes()
    for size in range(len(blob)):
        cut = write_db(blob[:size], "cut.qrdb")
        for verify in (True, False):
            if size < 40:
                expected = "file too small for header"
            elif verify:
                expected = (
                    f"file CRC32 mismatch  stored=0x{blob[32:36].hex()}"
                    f"  computed=0x{zlib.crc32(blob[40:size]):08x}"
                )
            else:
                expected = _index_error(blob, size)
            with pytest.raises(RuntimeError) as exc:
                _QuorReader(cut, verify)
            assert exc.value.args == (CORRUPT + expected,), (size, verify)
    assert _QuorReader(path).verify() is True
