"""QuorWriter and QuorReader: msgpack round trips, the Mapping contract, paths, lifetime."""

import datetime as dt
import os
import pathlib
import tempfile
from collections.abc import Mapping

import msgpack
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from quordb import QuorReader, QuorWriter

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


def build(path, entries, **writer_options):
    writer = QuorWriter(**writer_options)
    for key, value in entries.items():
        writer.add(value, key)
    writer.build(path)
    return path


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
        assert dict(reader) == entries
        assert dict(reader.items()) == entries
        assert len(reader) == len(entries)
        assert list(reader) == sorted(entries, key=lambda k: k.encode())
        assert list(reader.values()) == [entries[k] for k in reader]
        assert reader.prefix(prefix) == [(k, v) for k, v in reader.items() if k.startswith(prefix)]


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
    assert 5 not in shared_db and None not in shared_db
    with pytest.raises(ValueError, match="^key must be str or bytes$"):
        shared_db[5]
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


class CountingNative:
    """Stands in for the native reader and counts the calls made through it."""

    def __init__(self, native):
        self._native, self.calls = native, []

    def __getattr__(self, name):
        self.calls.append(name)
        return getattr(self._native, name)


@pytest.mark.parametrize(
    ("use", "bulk_call"),
    [
        (lambda r: list(r.items()), "items_raw"),
        (lambda r: list(r.values()), "items_raw"),
        (lambda r: r.prefix("user:"), "prefix_raw"),
        (lambda r: r.objects(), "objects_raw"),
        (lambda r: list(r.keys()), "keys"),
    ],
)
def test_listings_use_one_bulk_native_call(shared_db, use, bulk_call):
    counting = CountingNative(shared_db._raw)
    shared_db._raw = counting
    use(shared_db)
    assert counting.calls == [bulk_call]


def test_non_utf8_byte_keys_are_found_by_their_bytes_only(tmp_path):
    reader = QuorReader(build(str(tmp_path / "b.qrdb"), {b"\xffa": 1, "é": 2}))
    assert reader[b"\xffa"] == 1
    assert list(reader) == ["é", "\ufffda"]
    assert "\ufffda" not in reader
    assert reader[b"\xc3\xa9"] == reader["é"] == 2


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


@pytest.mark.parametrize(
    ("bad_keys", "error", "message"),
    [
        ([], ValueError, "at least one key"),
        (["ok", 5], TypeError, "each key must be str or bytes, not 'int'"),
        (5, TypeError, "iterable"),
    ],
)
def test_add_rejects_bad_keys_before_storing_the_object(bad_keys, error, message):
    writer = QuorWriter()
    with pytest.raises(error, match=message):
        writer.add({"x": 1}, bad_keys)
    assert writer.add("first", ("a", b"b", bytearray(b"c"))) == 0


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
        if isinstance(obj, dt.date):
            return msgpack.ExtType(1, obj.isoformat().encode())
        if isinstance(obj, complex):
            return {"__complex__": [obj.real, obj.imag]}
        raise TypeError(f"cannot encode {obj!r}")

    def ext_hook(code, data):
        return dt.date.fromisoformat(data.decode()) if code == 1 else msgpack.ExtType(code, data)

    def object_hook(d):
        return complex(*d["__complex__"]) if "__complex__" in d else d

    path = build(
        str(tmp_path / "c.qrdb"), {"when": dt.date(2024, 2, 29), "z": 1 + 2j}, default=encode
    )
    assert dict(QuorReader(path, ext_hook=ext_hook, object_hook=object_hook)) == {
        "when": dt.date(2024, 2, 29),
        "z": 1 + 2j,
    }
    assert isinstance(QuorReader(path)["when"], msgpack.ExtType)
    with pytest.raises(TypeError):
        QuorWriter().add(object(), "k")


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
    assert reader["k"] == "qayload-to-damage"
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
