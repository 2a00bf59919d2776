"""quordb._native's own surface: the rules its functions and classes apply, one table each."""

import itertools
import os
import pickle
import struct
import subprocess
import sys
import tempfile
import textwrap
from array import array

import msgpack
import msgspec
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from quordb import CorruptError, DuplicateKeyError, StoreIOError, VersionError, _native
from quordb._quordb import _QuorReader, _QuorWriter


class Index:
    """An integer only through __index__, as numpy's integers are."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


SCANS = {
    "Reader.scan": lambda path, chunk: _native.Reader(path).scan("keys", chunk=chunk),
    "Reader.scan_prefix": lambda path, chunk: _native.Reader(path).scan_prefix("keys", "", chunk),
    "RecordScan": lambda path, chunk: _native.RecordScan(path, chunk=chunk),
}


@pytest.mark.parametrize("scan", SCANS.values(), ids=SCANS)
@pytest.mark.parametrize(
    ("chunk", "error"),
    [
        (2, None),
        (Index(2), None),
        (0, ValueError),
        (Index(-1), ValueError),
        (2**64, OverflowError),
        ("2", TypeError),
        (2.0, TypeError),
    ],
)
def test_every_scan_takes_the_same_chunks(build_db, scan, chunk, error):
    path = build_db([b"\x01", b"\x02", b"\x03"], {"a": 0, "b": 1, "c": 2})
    if error is None:
        assert [len(part) for part in scan(path, chunk)] == [2, 1]
    else:
        with pytest.raises(error):
            list(scan(path, chunk))


@pytest.mark.parametrize(
    ("keys", "checked"),
    [
        ("a", ["a"]),
        (b"a", [b"a"]),
        (bytearray(b"a"), [b"a"]),
        (memoryview(b"xay")[1:2], [b"a"]),
        (["a", b"b", bytearray(b"c")], ["a", b"b", b"c"]),
        (("a", "a"), ["a", "a"]),
        (iter(["a", "b"]), ["a", "b"]),
        ({"a": 1}, ["a"]),
        ("", [""]),
        ("é" * 32767, ["é" * 32767]),
        (b"k" * 65535, [b"k" * 65535]),
    ],
)
def test_check_keys_accepts(keys, checked):
    assert _native.check_keys(keys) == checked
    assert all(type(key) in (str, bytes) for key in checked)


@pytest.mark.parametrize(
    ("keys", "error", "message"),
    [
        ([], ValueError, "^add\\(\\) needs at least one key for the object$"),
        (iter(()), ValueError, "at least one key"),
        (5, TypeError, "^keys must be a str or bytes key or an iterable of them, not 'int'$"),
        (None, TypeError, "not 'NoneType'$"),
        (["ok", 5], TypeError, "^each key must be str or bytes, not 'int'$"),
        ([["a"]], TypeError, "not 'list'$"),
        ([memoryview(b"abcd")[::2]], TypeError, "not 'memoryview'$"),
        ("a\ud800", ValueError, "it holds a lone surrogate, which has no UTF-8 form$"),
        (["ok", "é" * 32768], ValueError, "^QuorError: key of 65536 exceeds the format's limit"),
        (b"k" * 65536, ValueError, "^QuorError: key of 65536 exceeds"),
    ],
)
def test_check_keys_refuses(keys, error, message):
    with pytest.raises(error, match=message):
        _native.check_keys(keys)


def test_shard_of_many_routes_as_shard_of_and_gives_non_keys_no_shard():
    keys = ["a", b"a", bytearray(b"b"), "é", b"", [104, 105], *(f"k{i}" for i in range(200))]
    non_keys = [None, 5, 1.5, "\ud800", object()]
    for shards in (1, 7, 2**64 - 1):
        expected = [_native.shard_of(key, shards) for key in keys]
        assert _native.shard_of_many(iter(keys + non_keys), shards) == expected + [-1] * 5
    for shards in (0, -1, 2**64):
        with pytest.raises(ValueError, match="^shards must be between 1 and 2\\*\\*64 - 1$"):
            _native.shard_of_many(keys, shards)
    with pytest.raises(TypeError):
        _native.shard_of_many(5, 3)


def _crafted(**fields):
    def write(tmp_path, raw):
        path = tmp_path / "crafted.qrdb"
        path.write_bytes(raw.craft([b"x"], [(b"k", 40)], **fields))
        return str(path)

    return write


def _named(tmp_path, raw):
    return str(tmp_path / "named.qrdb")


def _add_key_to_no_object(path):
    _native.StreamWriter(path).add_key("k", 0)


# kind: (the path given, the calls of _native and of _quordb that fail on it, the class each
# raises); both raise the same message
FAILURE_KINDS = {
    "corrupt": (_crafted(crc=0), _native.Reader, _QuorReader, CorruptError, RuntimeError),
    "version": (_crafted(version=3), _native.Reader, _QuorReader, VersionError, RuntimeError),
    "io": (_named, _native.Reader, _QuorReader, StoreIOError, OSError),
    "general": (
        _named,
        _add_key_to_no_object,
        lambda path: _QuorWriter().add_key("k", 0),
        ValueError,
        ValueError,
    ),
}


@pytest.mark.parametrize(
    ("make_path", "native_call", "quordb_call", "native_class", "quordb_class"),
    FAILURE_KINDS.values(),
    ids=FAILURE_KINDS,
)
def test_each_kind_of_failure_arrives_as_its_class(
    tmp_path, raw, make_path, native_call, quordb_call, native_class, quordb_class
):
    path = make_path(tmp_path, raw)
    with pytest.raises(native_class) as native:
        native_call(path)
    with pytest.raises(quordb_class) as quordb:
        quordb_call(path)
    assert type(native.value) is native_class and type(quordb.value) is quordb_class
    assert native.value.args == quordb.value.args
    assert native.value.args[0].startswith(
        ("QuorCorruptError: ", "QuorVersionError: ", "QuorIOError: ", "QuorError: ")
    )
    if quordb_class is OSError:
        assert native.value.errno is None and native.value.strerror is None
    # Caught in another process (a Dask worker's failure reaches its client pickled).
    copied = pickle.loads(pickle.dumps(native.value))
    assert (type(copied), copied.args) == (native_class, native.value.args)


def test_running_out_of_memory_without_the_lock_raises_memory_error(tmp_path):
    """A full buffer is handed over without the interpreter lock; the spare buffer it needs
    then cannot be had, and the failure must come back as MemoryError with the lock held."""
    script = textwrap.dedent(
        f"""
        import resource
        from quordb._native import StreamWriter

        writer = StreamWriter({str(tmp_path / "oom.qrdb")!r})
        writer.add(b"\\x01", "small")
        big = b"\\xc6" + (5 << 20).to_bytes(4, "big") + bytes(5 << 20)
        pairs = [(big, "big")]
        status = open("/proc/self/status").read().split("VmSize:")[1]
        in_use = int(status.split()[0]) * 1024
        soft, hard = resource.getrlimit(resource.RLIMIT_AS)
        resource.setrlimit(resource.RLIMIT_AS, (in_use + (1 << 20), hard))
        try:
            writer.add_many(pairs)
        except MemoryError:
            resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
            print("MemoryError")
        """
    )
    done = subprocess.run(
        [sys.executable, "-c", script], check=False, capture_output=True, text=True
    )
    assert (done.returncode, done.stdout) == (0, "MemoryError\n"), done.stderr


def _encode(obj):
    if obj == "unencodable":
        raise TypeError("cannot encode it")
    return obj


# Each native writer, made with on_duplicate="error".
WRITERS = {
    "StreamWriter": lambda tmp_path: _native.StreamWriter(str(tmp_path / "w.qrdb"), "error"),
    "MemoryWriter": lambda tmp_path: _native.MemoryWriter(on_duplicate="error"),
}


def _text_column(*cells, offsets=None):
    """A column as Arrow lays out a string array: 32-bit offsets into the cells' text."""
    ends = [0]
    for cell in cells:
        ends.append(ends[-1] + len(cell.encode()))
    offsets = ends if offsets is None else offsets
    return (struct.pack(f"<{len(offsets)}i", *offsets), "".join(cells).encode(), 0)


@pytest.mark.parametrize("fields", [1, 15, 16])
@pytest.mark.parametrize("length", [0, 31, 32, 255, 256, 65535, 65536])
def test_text_columns_store_the_maps_msgspec_writes(tmp_path, fields, length):
    cells = ["k", "é" * (length // 2) + "x" * (length % 2)]
    columns = [_text_column(cell) for cell in cells]
    names = [(f"f{i}", i % 2) for i in range(fields)]
    writer = _native.MemoryWriter()
    assert writer.add_text_columns(columns, 1, names, [0]) == 1
    writer.build(str(tmp_path / "t.qrdb"))
    with _QuorReader(str(tmp_path / "t.qrdb")) as reader:
        stored = reader.get_raw("k")
    assert stored == msgspec.msgpack.encode({name: cells[i] for name, i in names})


@pytest.mark.parametrize(
    ("packed", "keys", "stored"),
    [
        (msgpack.packb([1, 2]), ["a"], 0),
        (msgpack.packb([1]) + b"\x01", ["a"], 1),
        (msgpack.packb({"a": 1}), ["a"], 0),
        (msgpack.packb([1, 2])[:-1], ["a", "b"], 1),
        (msgpack.packb([1]), ("a",), 0),
    ],
    ids=["fewer keys", "bytes after", "no array", "cut short", "keys no list"],
)
def test_add_packed_refuses_what_is_no_array_of_as_many_values(packed, keys, stored):
    writer = _native.MemoryWriter()
    with pytest.raises(ValueError):
        writer.add_packed(packed, keys)
    assert writer.object_count == stored


@pytest.mark.parametrize(
    "chunk",
    [
        b"",
        b'a,b\n"x",y\n',
        b'"a","b"\r\n"c\r\nd",e\r\n"f"',
        b'"a"x,"",""\n"\r"b\r\n',
        b'"a";"b"\n"c";d;"e"',
    ],
)
@pytest.mark.parametrize("delimiter", [b",", b";", "é".encode()])
def test_csv_marks_count_what_searches_for_each_pattern_count(chunk, delimiter):
    ends = [b'"' + end for end in (delimiter, b"\n", b"\r")]
    closing = sum(chunk.count(end) for end in ends) + chunk.endswith(b'"')
    expected = (chunk.count(b"\n"), chunk.count(b"\r"), chunk.count(b"\r\n"), closing)
    assert _native.csv_marks(memoryview(chunk), delimiter) == expected


@pytest.mark.parametrize(
    "columns",
    [
        [["a", ",b", ""], ["", "", ""]],
        [["é,", ",,"], ["x" * 300, ","]],
        [[","]],
    ],
)
def test_text_column_stats_agree_with_the_cells(columns):
    cells = [cell.encode() for column in columns for cell in column]
    assert _native.text_column_stats(
        [_text_column(*column) for column in columns], len(columns[0]), b","
    ) == (
        sum(map(len, cells)),
        max(map(len, cells)),
        sum(cell.startswith(b",") for cell in cells),
        tuple("" in column for column in columns),
    )


@pytest.mark.parametrize(
    ("block", "lines"),
    [
        (b"", 0),
        (b'{"a": 1}\n{}', 2),
        (b' \t{"a": 1} \r\n{"b": [2]}\r\n', 2),
        (b'{"a": 1}\n\n', -1),
        (b'{"a": 1}\n \n', -1),
        (b'[{"a": 1}]\n', -1),
        (b'{"a": 1}\n{"a": [1\n', -1),
        (b'\x0c{"a": 1}\n', -1),
        (b'{"a": 1} x\n', -1),
    ],
)
def test_jsonl_framed_counts_lines_each_framed_as_an_object(block, lines):
    assert _native.jsonl_framed(block) == lines


@pytest.mark.parametrize(
    ("columns", "rows", "error"),
    [
        ([_text_column("a", "b")], 3, ValueError),
        ([_text_column("a", "b", offsets=[0, 2, 1])], 2, ValueError),
        ([_text_column("a", "b", offsets=[0, 1, 3])], 2, ValueError),
        ([_text_column("a", "b", offsets=[-1, 1, 2])], 2, ValueError),
        ([(b"\0" * 12, b"ab", 1)], 2, ValueError),
        ([_text_column("a", "b")[:2]], 2, TypeError),
        ([_text_column("", "b")], 2, ValueError),
    ],
    ids=["few rows", "falling", "past data", "negative", "offset", "pair", "empty key"],
)
def test_text_columns_out_of_bounds_store_nothing(columns, rows, error):
    writer = _native.MemoryWriter()
    with pytest.raises(error):
        writer.add_text_columns(columns, rows, [("k", 0)], [0])
    assert writer.object_count == 0


@pytest.mark.parametrize("make_writer", WRITERS.values(), ids=WRITERS)
@pytest.mark.parametrize(
    ("refused", "error"),
    [
        ((b"\x01", 5), TypeError),
        ((b"\xc1", "k"), ValueError),
        ((b"\x01", "k" * 70000), ValueError),
        ((b"\x01", "k", "extra"), ValueError),
        (5, TypeError),
        (("unencodable", "k"), TypeError),
        ((b"\x01", ["new", "k2"]), DuplicateKeyError),
    ],
    ids=["keys", "payload", "long key", "three values", "not a pair", "encode raises", "taken"],
)
def test_add_many_names_the_position_of_the_refused_pair(tmp_path, make_writer, refused, error):
    pairs = [(b"\x01", f"k{i}") for i in range(6)]
    pairs.insert(4, refused)
    writer = make_writer(tmp_path)
    with pytest.raises(error) as failure:
        writer.add_many(iter(pairs), _encode)
    assert failure.value.pair_index == 4
    assert (writer.object_count, writer.key_count) == (4, 4)


@pytest.mark.parametrize("make_writer", WRITERS.values(), ids=WRITERS)
@pytest.mark.parametrize(
    ("key", "named", "shown"),
    [
        ("k", "k", "'k'"),
        (b"caf\xc3\xa9", "café", "'café'"),
        (b"\xff'", b"\xff'", 'b"\\xff\'"'),
        (memoryview(b"\x00"), "\x00", "'\\x00'"),
    ],
    ids=["str", "utf-8 bytes", "other bytes", "memoryview"],
)
def test_a_refused_duplicate_names_its_key_as_python_shows_it(
    tmp_path, make_writer, key, named, shown
):
    writer = make_writer(tmp_path)
    writer.add(b"\x01", key)
    writer.add_object_raw(b"\x02")
    with pytest.raises(DuplicateKeyError) as refused:
        writer.add_key(key, 1)
    assert (refused.value.key, refused.value.first, refused.value.second) == (named, 0, 1)
    assert refused.value.args == (
        f"QuorError: key {shown} already names object 0; object 1 cannot take it",
    )
    writer.add_key(key, 0)  # the object it names: no duplicate
    assert (writer.object_count, writer.key_count, writer.replaced_count) == (2, 1, 0)


@pytest.mark.parametrize(
    ("on_duplicate", "error", "message"),
    [
        ("later", ValueError, "^on_duplicate must be 'last', 'first' or 'error', not 'later'$"),
        ("LAST", ValueError, "not 'LAST'$"),
        (None, TypeError, "^argument 'on_duplicate': 'None' is not an instance of 'str'$"),
        (b"last", TypeError, "not an instance of 'str'$"),
    ],
)
def test_writers_refuse_a_policy_they_do_not_know(tmp_path, on_duplicate, error, message):
    with pytest.raises(error, match=message):
        _native.MemoryWriter(on_duplicate)
    with pytest.raises(error, match=message):
        _native.StreamWriter(str(tmp_path / "w.qrdb"), on_duplicate=on_duplicate)
    assert list(tmp_path.iterdir()) == []


def test_memory_writer_builds_what_the_quordb_module_builds_and_builds_again(tmp_path, capfd):
    """The same bytes and summary line from the same adds, repeated keys included, twice."""
    memory, reference = _native.MemoryWriter(), _QuorWriter()
    for step in range(2):
        for i in range(300):
            payload = msgpack.packb({"n": i, "step": step})
            memory.add(payload, [f"k{i}", f"alias{i % 7}"])
            obj_id = reference.add_object_raw(payload)
            reference.add_key(f"k{i}", obj_id)
            reference.add_key(f"alias{i % 7}", obj_id)
        memory.build(str(tmp_path / "memory.qrdb"), print_summary=True, table=False)
        memory_line = capfd.readouterr().out.replace("memory.qrdb", "db")
        reference.build(str(tmp_path / "reference.qrdb"))
        reference_line = capfd.readouterr().out.replace("reference.qrdb", "db")
        assert memory_line == reference_line
        assert f" {300 * (step + 1)} objects" in memory_line
        assert (tmp_path / "memory.qrdb").read_bytes() == (tmp_path / "reference.qrdb").read_bytes()
    memory.build(str(tmp_path / "quiet.qrdb"))
    assert capfd.readouterr().out == ""
    # k0... are new each time but the aliases pass from object to object.
    assert memory.replaced_count == 300 + 300 + 300 - 7


def test_a_failing_iterable_names_no_pair(tmp_path):
    def pairs():
        yield b"\x01", "a"
        raise LookupError("the input broke")

    writer = _native.StreamWriter(str(tmp_path / "pairs.qrdb"))
    with pytest.raises(LookupError) as failure:
        writer.add_many(pairs())
    assert not hasattr(failure.value, "pair_index") and writer.object_count == 1


@pytest.mark.parametrize(
    ("content", "shown"),
    [
        (b'{"PackageName": "anacron"}\n', "'{\"Pa'"),
        (b"PK\x03\x04" + bytes(60), "'PK\\x03\\x04'"),
        ("日本".encode(), "'日\\xe6'"),
        (b"a\\\xff", "'a\\\\\\xff'"),
        (b"it's", '"it\'s"'),
        (b"", None),
        (b"QR", None),
        (b"QRDB\x03" + bytes(35), None),
    ],
    ids=["json", "zip", "cut utf-8", "backslash", "quote", "empty", "cut magic", "version"],
)
def test_a_file_that_is_no_quordb_file_is_named_so(tmp_path, content, shown):
    """What the file starts with is shown as repr() shows text, bytes not UTF-8 as \\xNN;
    a file that may be a damaged quordb file keeps the message of the check that refused it,
    and quordb._quordb keeps its messages throughout."""
    path = tmp_path / "input.data"
    path.write_bytes(content)
    with pytest.raises(RuntimeError) as native:
        _native.Reader(str(path))
    with pytest.raises(RuntimeError) as quordb:
        _QuorReader(str(path))
    assert "is not a quordb file" not in quordb.value.args[0]
    if shown is None:
        assert native.value.args == quordb.value.args
    else:
        expected = f"QuorCorruptError: {path} is not a quordb file (it starts with {shown})"
        assert native.value.args == (expected,)


def test_a_directory_is_named_so(tmp_path):
    with pytest.raises(StoreIOError) as native:
        _native.Reader(str(tmp_path))
    assert native.value.args == (
        (
            f"QuorIOError: {tmp_path} is a directory, not a quordb file "
            "(quordb.open and ShardedReader open a shard set)"
        ),
    )
    with pytest.raises(OSError, match="^QuorIOError: mmap failed"):
        _QuorReader(str(tmp_path))


@pytest.mark.parametrize(
    ("target", "message"),
    [
        (
            "missing/deeper/db.qrdb",
            (
                "QuorIOError: cannot create a file in {tmp}/missing/deeper: "
                "the folder does not exist (os error 2)"
            ),
        ),
        ("folder", "QuorIOError: cannot build {tmp}/folder: Is a directory (os error 21)"),
    ],
)
def test_a_streaming_build_names_a_target_it_cannot_write(tmp_path, target, message):
    (tmp_path / "folder").mkdir()
    with pytest.raises(StoreIOError) as refused:
        _native.StreamWriter(str(tmp_path / target))
    assert refused.value.args == (message.format(tmp=tmp_path),)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["folder"]
    assert list((tmp_path / "folder").iterdir()) == []


@pytest.mark.parametrize(
    ("readers", "error", "message"),
    [
        ([], ValueError, "^readers must hold at least one Reader$"),
        (5, TypeError, "^readers must be a sequence of Reader$"),
        (
            ["reader", "db.qrdb"],
            TypeError,
            "^'str' object is not an instance of 'quordb._native.Re",
        ),
    ],
)
@pytest.mark.parametrize(
    "lookup",
    [
        _native.get_many_sharded,
        _native.exists_many_sharded,
        _native.get_many_packed,
        lambda readers, keys: _native.get_many_decoded_sharded(readers, keys, bytes),
        lambda readers, keys: _native.get_many_fields(readers, keys, ["f"]),
    ],
)
def test_sharded_lookups_refuse_what_is_no_list_of_readers(
    build_db, readers, error, message, lookup
):
    if isinstance(readers, tuple):
        readers = [_native.Reader(build_db()) if item == "reader" else item for item in readers]
    with pytest.raises(error, match=message):
        lookup(readers, ["k"])


@pytest.mark.parametrize(
    ("length", "offset", "validity", "offsets", "data", "problem"),
    [
        (2, 0, None, array("q", [0, 1]), b"ab", "fewer offsets than values"),
        (1, 2, None, array("q", [0, 1, 2]), b"ab", "fewer offsets than values"),
        (9, 0, b"\xff", array("q", range(10)), b"x" * 9, "a validity bitmap shorter than the"),
        (2, 0, None, array("q", [0, 2, 1]), b"ab", "offsets that go back or past the data"),
        (1, 0, None, array("q", [0, 3]), b"ab", "offsets that go back or past the data"),
        (1, 0, None, array("q", [-1, 0]), b"ab", "offsets that go back or past the data"),
    ],
)
@pytest.mark.parametrize(
    "lookup",
    [_native.get_column_packed, lambda *column: _native.get_column_fields(*column, ["f"])],
)
def test_a_malformed_key_column_is_refused(
    build_db, length, offset, validity, offsets, data, problem, lookup
):
    reader = _native.Reader(build_db([b"x"], {"ab": 0}))
    with pytest.raises(ValueError, match=f"^malformed key column: {problem}"):
        lookup([reader], length, offset, validity, offsets, data)


def test_native_layer_exposes_its_reader_and_scans_only_through_it(build_db):
    assert "Reader" in vars(_native) and "ReaderScan" not in vars(_native)
    reader = _native.Reader(build_db([b"x"], {"k": 0}))
    scan = reader.scan("keys")
    assert iter(scan) is scan and type(scan).__name__ == "ReaderScan"
    with pytest.raises(TypeError):
        type(scan)()
    with pytest.raises(TypeError):
        type("Sub", (_native.Reader,), {})
    assert list(scan) == [["k"]] and list(scan) == []
    # A decoder is named, never given by position.
    with pytest.raises(TypeError, match=r"^Reader.scan\(\) takes from 1 to 4 positional arg"):
        reader.scan("values", None, None, 9, bytes)
    assert list(reader.scan("values", None, None, 9, decode=bytes)) == [[b"x"]]


def _built(directory, entries):
    """A database of `entries`, each key naming its value's bytes; its path."""
    writer = _QuorWriter()
    for obj_id, (key, value) in enumerate(entries.items()):
        writer.add_object_raw(value)
        writer.add_key(key, obj_id)
    path = os.path.join(directory, "built.qrdb")
    writer.build(path)
    return path


def _stored(key):
    return key.encode() if isinstance(key, str) else key


@settings(max_examples=60, deadline=None)
@given(
    st.dictionaries(st.binary(max_size=4) | st.text("aéb\x00", max_size=4), st.binary(max_size=3)),
    st.none() | st.binary(max_size=3) | st.text("aéb", max_size=3),
    st.none() | st.binary(max_size=3) | st.text("aéb", max_size=3),
    st.integers(1, 5),
)
def test_scans_agree_with_a_sorted_model(entries, start, stop, chunk):
    """Chunks of every small size, so that walks cross their boundaries anywhere."""
    model = sorted({_stored(k): v for k, v in entries.items()}.items())
    low = b"" if start is None else _stored(start)
    in_range = [kv for kv in model if kv[0] >= low and (stop is None or kv[0] < _stored(stop))]
    with_prefix = [kv for kv in model if kv[0].startswith(low)]
    with tempfile.TemporaryDirectory() as tmp:
        reader = _native.Reader(_built(tmp, dict(model)))
        # Decoded by bytes(), a value is its stored bytes again, copied from the view.
        for (what, pick), decode in itertools.product(
            (("keys", 0), ("values", 1), ("items", slice(None))), (None, bytes)
        ):
            for chunks, expected in (
                (reader.scan(what, start, stop, chunk=chunk, decode=decode), in_range),
                (reader.scan_prefix(what, start or b"", chunk, decode=decode), with_prefix),
            ):
                chunks = list(chunks)
                assert all(0 < len(c) <= chunk for c in chunks)
                listed = [e for c in chunks for e in c]
                if what != "values":  # keys come back as str when they are UTF-8
                    listed = [
                        _stored(e) if what == "keys" else (_stored(e[0]), e[1]) for e in listed
                    ]
                assert listed == [kv[pick] for kv in expected]


@settings(max_examples=40, deadline=None)
@given(
    st.dictionaries(st.text("ab", max_size=3), st.binary(max_size=3), max_size=10),
    st.lists(st.text("abc", max_size=3) | st.binary(max_size=2) | st.integers(0, 3), max_size=80),
)
def test_batched_lookups_agree_with_single_ones(entries, asked):
    with tempfile.TemporaryDirectory() as tmp:
        reader = _native.Reader(_built(tmp, entries))
        assert reader.get_many_raw(iter(asked)) == [reader.get_raw(k) for k in asked]
        assert reader.exists_many(tuple(asked)) == [reader.exists(k) for k in asked]
        # Decoded in place, each from its own record: bytes() copies what the view shows.
        assert reader.get_many(asked, bytes) == [reader.get(k, bytes, None) for k in asked]
        assert reader.get_many(asked, bytes) == reader.get_many_raw(asked)


class ClosingKey:
    """Bytes of "ada" that close `native` while they are read."""

    def __init__(self, native):
        self.native = native

    def __len__(self):
        return 3

    def __getitem__(self, i):
        return b"ada"[i]

    def __iter__(self):
        self.native.close()
        return iter(b"ada")


@pytest.mark.parametrize(
    "lookup",
    [_native.Reader.get_raw, _native.Reader.exists, lambda native, key: native.get(key, bytes)],
    ids=["get_raw", "exists", "get"],
)
def test_single_lookup_survives_a_close_run_by_its_own_key(build_db, lookup):
    native = _native.Reader(build_db([b"\xa3Ada"], {"ada": 0}))
    expected = lookup(native, "ada")
    assert lookup(native, ClosingKey(native)) == expected
    for key in ("ada", b"ada", bytearray(b"ada"), ClosingKey(native)):
        with pytest.raises(ValueError, match="closed reader"):
            lookup(native, key)


readable_or_not = st.recursive(
    st.none() | st.integers(-(2**63), 2**64 - 1) | st.text(max_size=4) | st.binary(max_size=300),
    lambda inner: (
        st.lists(inner, max_size=3)
        | st.tuples(inner, inner)
        | st.dictionaries(
            st.integers(-5, 5) | st.text(max_size=2) | st.tuples(st.integers(-5, 5)),
            inner,
            max_size=3,
        )
    ),
    max_leaves=10,
)


@settings(max_examples=200, deadline=None)
@given(readable_or_not)
def test_payload_check_refuses_exactly_what_fails_to_decode(value):
    payload = msgpack.packb(value, use_bin_type=True)
    try:
        msgpack.unpackb(payload, raw=False, strict_map_key=False)
    except TypeError:
        with pytest.raises(TypeError):
            _native.check_payload(payload)
    else:
        _native.check_payload(payload)


# Stored records for picking fields: maps of varied heads, a field twice, records that are no
# map, and a record the walk cannot vouch for (a map key that is an array).
FIELD_RECORDS = {
    "map": msgpack.packb({"a": 1, "b": "x", "c": [1, {"a": 2}]}),
    "twice": b"\x82\xa1a\x01\xa1a\x02",
    "map16": b"\xde\x00\x01\xa1b\xc3",
    "int keys": msgpack.packb({1: "one", "a": None}),
    "list": msgpack.packb([1, 2]),
    "empty": b"\x80",
    "array key": b"\x81\x91\x01\x02",
}


@pytest.mark.parametrize(
    "keys",
    [
        ["map", "nobody", None, "twice", "map16", "int keys", "list", "empty", "map"],
        ["nobody", None],
        [],
        ["map", "array key"],
    ],
)
def test_fields_picked_in_place_are_those_of_the_decoded_records(build_db, keys):
    pa = pytest.importorskip("pyarrow")
    objects = list(FIELD_RECORDS.values())
    reader = _native.Reader(build_db(objects, {k: i for i, k in enumerate(FIELD_RECORDS)}))
    names = ["a", "b", "nothing"]
    picked = _native.get_many_fields([reader], keys, names)
    if picked is not None:
        records = [
            msgpack.unpackb(FIELD_RECORDS[key], strict_map_key=False)
            if key in FIELD_RECORDS
            else None
            for key in keys
        ]
        expected = [
            [record.get(name) if isinstance(record, dict) else None for record in records]
            for name in names
        ]
        assert [msgpack.unpackb(array, strict_map_key=False) for array in picked] == expected
    column = pa.array(keys, pa.large_binary())
    validity, key_offsets, data = column.buffers()
    by_column = _native.get_column_fields(
        [reader], len(keys), 0, validity, key_offsets, data, names
    )
    assert by_column == picked
    assert (picked is None) == ("array key" in keys)


@pytest.mark.parametrize(
    ("array", "kind", "values"),
    [
        (msgpack.packb([5, None, -3, 200, 60000, 2**31, -100, -1000]), "int64", None),
        (msgpack.packb([-(2**20), -(2**40), 2**63 - 1, -(2**63), None]), "int64", None),
        (msgpack.packb([None, "x", "é" * 40, "x" * 300, ""]), "string", None),
        (b"\xdc\x00\x02\xdb\x00\x00\x00\x02hi\xc0", "string", ["hi", None]),  # array16, str32
        (msgpack.packb([None, None]), "null", None),
        (msgpack.packb([]), "null", None),
        (msgpack.packb([2**63]), None, None),  # past int64
        (msgpack.packb([1, "x"]), None, None),
        (msgpack.packb(["x", 1]), None, None),
        (msgpack.packb([1.5]), None, None),
        (msgpack.packb([True]), None, None),
        (msgpack.packb([b"x"], use_bin_type=True), None, None),
        (msgpack.packb([[1]]), None, None),
        (b"\x92\x01", None, None),  # cut short
        (b"\x91\x01\x01", None, None),  # a value after the array
        (b"\x91\xa3ab", None, None),  # text cut short
        (b"\x01", None, None),  # no array
    ],
)
def test_arrow_values_convert_only_what_an_arrow_column_holds_exactly(array, kind, values):
    pa = pytest.importorskip("pyarrow")
    found = _native.arrow_values(array)
    if kind is None:
        assert found is None
        return
    expected = msgpack.unpackb(array) if values is None else values
    found_kind, count, validity, offsets, data = found
    assert (found_kind, count) == (kind, len(expected))
    if kind == "null":
        assert not any(validity)
        return
    arrow_type = pa.string() if kind == "string" else pa.int64()
    layout = [validity, *([offsets] if kind == "string" else []), data]
    column = pa.Array.from_buffers(arrow_type, count, [pa.py_buffer(b) for b in layout])
    assert column.to_pylist() == expected
