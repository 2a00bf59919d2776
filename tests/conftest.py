"""Shared fixtures: databases built by the native writer and files crafted byte by byte."""

from __future__ import annotations

import struct
import types
import zlib
from collections.abc import Iterable, Mapping

import pytest
from quordb._quordb import _QuorWriter

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
