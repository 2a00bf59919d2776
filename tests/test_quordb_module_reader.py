"""_QuorReader: opening and its errors, every query, text form, context use and threads."""

import errno
import os
import tempfile
import threading
import zlib
from pathlib import Path

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from quordb._quordb import _QuorReader, _QuorWriter

OBJECTS = [b"obj-a", b"obj-ab", b"obj-b", b"", b"orphan"]
KEYS = {"b": 2, "ab": 1, "a": 0, "alias": 0, "e": 3}
ITEMS = [("a", b"obj-a"), ("ab", b"obj-ab"), ("alias", b"obj-a"), ("b", b"obj-b"), ("e", b"")]


@pytest.fixture
def sample(build_db):
    return build_db(OBJECTS, KEYS)


@pytest.fixture
def reader(sample):
    return _QuorReader(sample)


# --- open ---------------------------------------------------------------------------


def _os_text(code):
    return f"{os.strerror(code)} (os error {code})"


@pytest.mark.parametrize(
    "name, detail",
    [
        ("missing.qrdb", "cannot open {path}: " + _os_text(errno.ENOENT)),
        ("a\0b.qrdb", "cannot open {path}: file name contained an unexpected NUL byte"),
        ("", "cannot open {path}: " + _os_text(errno.ENOENT)),
        (".", "mmap failed: "),  # a directory opens but cannot be mapped
    ],
)
def test_open_io_errors_are_plain_oserror(tmp_path, monkeypatch, name, detail):
    monkeypatch.chdir(tmp_path)
    with pytest.raises(OSError) as exc:
        _QuorReader(name)
    assert exc.type is OSError
    assert (exc.value.errno, exc.value.strerror, exc.value.filename) == (None, None, None)
    assert exc.value.__cause__ is None and exc.value.__context__ is None
    expected = "QuorIOError: " + detail.format(path=name)
    if detail.endswith(": "):
        assert str(exc.value).startswith(expected) and str(exc.value).endswith(")")
    else:
        assert exc.value.args == (expected,)


def _header(raw, **fields):
    values = {"magic": b"QRDB", "version": 2, "num_keys": 0, "num_objects": 0,
              "index_offset": 40, "data_offset": 40, "crc": 0}  # fmt: skip
    values.update(fields)
    return raw.header.pack(*values.values())


CORRUPT = "QuorCorruptError: "
TOO_SMALL = CORRUPT + "file too small for header"
KEY_LEN = CORRUPT + "index section truncated (key_len)"
KEY_OFFSET = CORRUPT + "index section truncated (key + offset)"
VERSION = "QuorVersionError: unsupported version "
CRC = "the stored against the computed checksum"
MISMATCH = CORRUPT + "file CRC32 mismatch  stored=0x{:08x}  computed=0x{:08x}"

BAD_MAGIC = CORRUPT + "bad magic "

# name: (file maker, message with verify[, message without it; None: the file opens])
# fmt: off
OPEN_ERRORS = {
    "empty": (lambda raw: b"", TOO_SMALL),
    "39-bytes": (lambda raw: _header(raw)[:39], TOO_SMALL),
    "short-bad-magic": (lambda raw: b"PK\3\4" + bytes(30), TOO_SMALL),
    "zip-magic": (lambda raw: _header(raw, magic=b"PK\3\4"), BAD_MAGIC + "[80, 75, 3, 4]"),
    "magic-and-version": (lambda raw: _header(raw, magic=b"\0\xff\x10\7", version=9),
                          BAD_MAGIC + "[0, 255, 16, 7]"),
    "version-3": (lambda raw: _header(raw, version=3), VERSION + "3"),
    "version-255": (lambda raw: _header(raw, version=255), VERSION + "255"),
    "version-0": (lambda raw: _header(raw, version=0), VERSION + "0"),
    "version-before-crc": (lambda raw: _header(raw, version=3, crc=1) + b"x", VERSION + "3"),
    "crc-of-nothing": (lambda raw: _header(raw, crc=1), MISMATCH.format(1, 0), None),
    "crc-leading-zeros": (lambda raw: _header(raw, crc=0xFF) + b"\0\xe2\x8d",
                          MISMATCH.format(0xFF, 0xB7E1), None),
    "crc-before-index": (lambda raw: _header(raw, num_keys=1, crc=5) + b"\0", CRC, KEY_LEN),
    "key-len-past-end": (lambda raw: raw.with_crc(_header(raw, num_keys=1) + b"\0"), KEY_LEN),
    "index-offset-huge": (lambda raw: raw.with_crc(
        _header(raw, num_keys=1, index_offset=2**64 - 1)), KEY_LEN),
    "index-offset-wraps": (lambda raw: raw.with_crc(
        _header(raw, num_keys=1, index_offset=2**64 - 2) + bytes(2)), KEY_LEN),
    "key-past-end": (lambda raw: raw.craft([], [(b"abc", 40)])[:-9], CRC, KEY_OFFSET),
    "location-cut-short": (lambda raw: raw.with_crc(raw.craft([b"v"], [(b"k", 40)])[:-1]),
                           KEY_OFFSET),
    "second-entry-cut": (lambda raw: raw.with_crc(raw.craft([], [(b"a", 40), (b"b", 40)])[:-11]),
                         KEY_LEN),
}
# fmt: on


@pytest.mark.parametrize("verify", [True, False])
@pytest.mark.parametrize("case", OPEN_ERRORS, ids=OPEN_ERRORS.keys())
def test_open_errors_in_check_order(raw, write_db, case, verify):
    make, *messages = OPEN_ERRORS[case]
    expected = messages[-1] if not verify else messages[0]
    blob = make(raw)
    if expected == CRC:
        expected = MISMATCH.format(int(blob[32:36].hex(), 16), zlib.crc32(blob[40:]))
    path = write_db(blob)
    if expected is None:
        assert _QuorReader(path, verify).keys() == []
        return
    with pytest.raises(RuntimeError) as exc:
        _QuorReader(path, verify=verify)
    assert exc.type is RuntimeError and exc.value.args == (expected,)


@pytest.mark.parametrize("index_offset", [40, 10**6, 2**64 - 1])
def test_keyless_file_ignores_index_offset(raw, write_db, index_offset):
    r = _QuorReader(write_db(_header(raw, index_offset=index_offset)))
    assert r.keys() == [] and r.verify() is True
    assert r.stats()["index_offset"] == index_offset


# --- queries ------------------------------------------------------------------------


def test_queries_on_a_real_database(reader, sample):
    assert reader.keys() == [k for k, _ in ITEMS]
    assert reader.items_raw() == ITEMS
    assert reader.objects_raw() == [b"obj-a", b"obj-ab", b"obj-b", b""]
    for key, payload in ITEMS:
        assert reader.get_raw(key) == reader.get_raw(key=key) == payload
        assert reader.exists(key) is True
    for absent in ("", "c", "A", "a\0", b"obj-a", "orphan"):
        assert reader.get_raw(absent) is None
        assert reader.exists(absent) is False
    assert reader.verify() is True
    assert repr(reader) == str(reader) == f"_QuorReader('{sample}', keys=5, objects=5)"


@pytest.mark.parametrize(
    "prefix", ["", "a", "ab", "al", "alias", "aliases", "abc", "b", "c", "\0", "\xff"]
)
def test_prefix_scan(reader, prefix):
    expected = [(k, v) for k, v in ITEMS if k.startswith(prefix)]
    assert reader.prefix_raw(prefix) == expected
    assert reader.prefix_raw(prefix=prefix.encode()) == expected


def test_results_are_fresh_objects(reader):
    items = reader.items_raw()
    assert items[0][1] == items[2][1] and items[0][1] is not items[2][1]
    keys = reader.keys()
    keys.append("mutated")
    stats = reader.stats()
    stats["num_keys"] = -1
    assert reader.keys() == [k for k, _ in ITEMS] and reader.stats()["num_keys"] == 5


STATS_TYPES = [str, int, int, int, int, int, float, str]


def test_stats(reader, sample):
    blob = Path(sample).read_bytes()
    stats = reader.stats()
    assert list(stats.items()) == [
        ("path", sample), ("version", 2), ("num_keys", 5), ("num_objects", 5),
        ("index_offset", 40 + sum(8 + len(o) for o in OBJECTS)), ("data_offset", 40),
        ("file_size_kb", len(blob) / 1024), ("file_crc32", "0x" + blob[32:36].hex()),
    ]  # fmt: skip
    assert [type(v) for v in stats.values()] == STATS_TYPES


def test_empty_database(build_db):
    path = build_db()
    r = _QuorReader(path)
    assert r.keys() == r.items_raw() == r.objects_raw() == r.prefix_raw("") == []
    assert r.get_raw("") is None and r.exists(b"") is False
    assert r.verify() is True
    stats = r.stats()
    assert list(stats.items()) == [
        ("path", path), ("version", 2), ("num_keys", 0), ("num_objects", 0),
        ("index_offset", 40), ("data_offset", 40), ("file_size_kb", 0.0390625),
        ("file_crc32", "0x00000000"),
    ]  # fmt: skip
    assert [type(v) for v in stats.values()] == STATS_TYPES


def test_text_and_byte_keys(build_db):
    r = _QuorReader(build_db([b"E", b"F"], {"é": 0, b"\xffa": 1, "éa": 1}))
    assert r.keys() == ["é", "éa", "\ufffda"]
    assert r.prefix_raw("é") == r.prefix_raw(b"\xc3\xa9") == [("é", b"E"), ("éa", b"F")]
    assert r.prefix_raw(b"\xc3") == r.prefix_raw("é")
    assert r.get_raw(b"\xffa") == b"F" and r.exists(bytearray(b"\xffa"))
    assert r.get_raw("\ufffda") is None and not r.exists("\ufffda")
    assert r.prefix_raw(b"\xff") == [("\ufffda", b"F")]


@settings(max_examples=60, deadline=None)
@given(st.dictionaries(st.binary(max_size=12), st.binary(max_size=6), max_size=12))
def test_byte_keys_round_trip(mapping):
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "h.qrdb")
        w = _QuorWriter()
        for key, payload in mapping.items():
            w.add_key(key, w.add_object_raw(payload))
        w.build(path)
        r = _QuorReader(path)
        ordered = sorted(mapping)
        assert r.keys() == [k.decode("utf-8", "replace") for k in ordered]
        assert [v for _, v in r.items_raw()] == [mapping[k] for k in ordered]
        for key in ordered:
            assert r.get_raw(key) == r.get_raw(list(key)) == mapping[key]
            assert [v for _, v in r.prefix_raw(key)] == [
                mapping[k] for k in ordered if k.startswith(key)
            ]


@pytest.mark.parametrize("name", ["it's.qrdb", 'q"uote.qrdb', "sp ace\\.qrdb", "ünï.qrdb"])
def test_repr_shows_path_unescaped(build_db, name):
    path = build_db([b"x"], {"a": 0, "b": 0}, name=name)
    r = _QuorReader(path)
    assert repr(r) == str(r) == f"_QuorReader('{path}', keys=2, objects=1)"
    assert r.stats()["path"] == path


# --- close and context management ----------------------------------------------------


def test_close_releases_nothing(reader):
    before = (reader.get_raw("a"), reader.keys(), reader.stats())
    assert reader.close() is None
    assert reader.close() is None
    assert (reader.get_raw("a"), reader.keys(), reader.stats()) == before
    assert reader.verify() is True


def test_context_manager(sample):
    with _QuorReader(sample) as r:
        entered = r
        assert r.get_raw("a") == b"obj-a"
    assert isinstance(entered, _QuorReader)
    assert r.__enter__() is r
    assert r.keys() == [k for k, _ in ITEMS]
    assert r.__exit__(None, None, None) is False
    assert r.__exit__(_exc_type=ValueError, _exc_val=ValueError("x"), _exc_tb=object()) is False
    error = KeyError("inside")
    with pytest.raises(KeyError) as exc, r:
        raise error
    assert exc.value is error
    assert r.items_raw() == ITEMS


DOCS = {
    "get_raw": ("O(1) exact-match lookup. Returns raw msgpack bytes or `None`.", "($self, key)"),
    "exists": ("Key presence check — no I/O beyond the in-memory hash index.", "($self, key)"),
    "prefix_raw": ("Sorted prefix scan. Returns `list[tuple[str, bytes]]`.", "($self, prefix)"),
    "keys": ("All keys in sorted order.", "($self)"),
    "items_raw": ("All `(key, raw_bytes)` pairs in sorted key order.", "($self)"),
    "objects_raw": ("Unique objects only (deduplicated by file offset).", "($self)"),
    "stats": ("Return file metadata as a `dict`.", "($self)"),
    "verify": ("Deep CRC32 integrity check (whole-file + per-object).", "($self)"),
    "close": (None, "($self)"),
    "__enter__": (None, "($self)"),
    "__exit__": (None, "($self, _exc_type, _exc_val, _exc_tb)"),
}


@pytest.mark.parametrize("name", DOCS)
def test_method_docstrings(name):
    method = getattr(_QuorReader, name)
    assert (method.__doc__, method.__text_signature__) == DOCS[name]


def test_class_docstring():
    assert _QuorReader.__name__ == "_QuorReader"
    assert _QuorReader.__text_signature__ == "(path, verify=True)"
    assert _QuorReader.__doc__ == (
        "Low-level reader — returns raw msgpack bytes.\n"
        "**Use `quordb.QuorReader` (Python wrapper) instead of this directly.**\n\n"
        "Thread-safe for reads: the index is immutable after construction and the\n"
        "mmap is read-only.  Share one instance freely across threads."
    )


# --- sharing ------------------------------------------------------------------------


def test_one_reader_shared_by_threads(reader):
    calls = [reader.keys, reader.items_raw, reader.objects_raw, reader.stats, reader.verify,
             lambda: reader.prefix_raw("a"), lambda: reader.get_raw(b"alias")]  # fmt: skip
    expected = [call() for call in calls]
    failures = []
    start = threading.Barrier(8)

    def work(seed):
        start.wait()
        for i in range(300):
            n = (seed + i) % len(calls)
            try:
                result = calls[n]()
            except Exception as exc:  # noqa: BLE001 - reported by the main thread
                result = exc
            if result != expected[n]:
                failures.append((n, result))

    threads = [threading.Thread(target=work, args=(n,)) for n in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert failures == []


def test_open_reader_keeps_the_replaced_file(build_db):
    path = build_db([b"old"], {"k": 0, "old-only": 0})
    old = _QuorReader(path)
    build_db([b"new", b"newer"], {"k": 0, "n": 1})
    assert old.get_raw("k") == b"old" and old.keys() == ["k", "old-only"]
    assert old.verify() is True and old.objects_raw() == [b"old"]
    assert repr(old) == f"_QuorReader('{path}', keys=2, objects=1)"
    fresh = _QuorReader(path)
    assert fresh.items_raw() == [("k", b"new"), ("n", b"newer")]
