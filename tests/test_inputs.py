"""Inputs of quordb build: JSON Lines, CSV and Parquet rows with their positions, bad rows."""

import datetime
import decimal
import io
import math
import re
import sys

import pytest

from quordb import _csv_rows, _inputs
from quordb._inputs import (
    BadRow,
    BadRowPolicy,
    Input,
    InputError,
    Row,
    RowBatch,
    batch_keys,
    column_types,
    field_keys,
    format_of,
    record_keys,
    stored_fields,
)
from quordb._text_columns import TextColumnBatch
from quordb.cli import main


@pytest.fixture(params=["pyarrow", "csv module"])
def csv_reader(request, monkeypatch):
    """Each CSV test runs on both readers: pyarrow's, where installed, and the standard one."""
    if request.param == "pyarrow":
        pytest.importorskip("pyarrow")
    else:
        monkeypatch.setattr(_csv_rows, "_arrow", lambda: None)
    return request.param


KEY_RULE = "a string, bytes, an integer or a list of them"


def read_rows(path, fmt, **options):
    with Input(str(path), fmt, **options) as source:
        return list(source.rows())


def rows(path, fmt, **options):
    """The rows of *path*, each bad one as its message."""
    found = read_rows(path, fmt, **options)
    return [str(item) if isinstance(item, BadRow) else item for item in found]


@pytest.mark.parametrize(
    ("name", "given", "fmt"),
    [
        ("a.jsonl", None, "jsonl"),
        ("a.NDJSON", None, "jsonl"),
        ("a.json", None, "jsonl"),
        ("dir.d/a.csv", None, "csv"),
        ("a.parquet", None, "parquet"),
        ("a.pq", None, "parquet"),
        ("-", None, "jsonl"),
        ("a.txt", "csv", "csv"),
        ("a.csv", "jsonl", "jsonl"),
        ("a.tsv", None, "csv"),
        ("data", None, "jsonl"),
    ],
)
def test_format_from_extension_or_option(name, given, fmt):
    assert format_of(name, given) == fmt


def test_jsonl_reports_bad_lines_and_reads_on(tmp_path):
    path = tmp_path / "in.jsonl"
    path.write_bytes(b'{"a": 1}\n\n{bad\n[1]\n\xff\n{"a": 2}\n')
    assert rows(path, "jsonl") == [
        Row({"a": 1}, f"{path}:1"),
        (
            f"{path}:3: invalid JSON: Expecting property name enclosed in double quotes: "
            "line 1 column 2 (char 1)"
        ),
        f"{path}:4: expected a JSON object, got list",
        (
            f"{path}:5: invalid JSON: 'utf-8' codec can't decode byte 0xff in position 0: "
            "invalid start byte"
        ),
        Row({"a": 2}, f"{path}:6"),
    ]


@pytest.mark.parametrize("batch", [16, 1 << 18], ids=["line batches", "one batch"])
@pytest.mark.parametrize(
    "content",
    [
        b'{"a": 1}\n{"b": 2}\n',
        b'{"a": [1\n,2]}\n{"b": 1} {"c": 2}\n',
        b'{"a": {"b": 1}\n}\n{"c": 2}\n',
        b'{"a": "x}\n{"b": "y"}\n',
        b'{"a": 1}\n\n \t\n{"b": 2}}\n',
        b'{"a": 1}\r\n {} \r\n{"b": 2}',
        b'{"a": 1}\n{"b": "' + b"x" * 70_000 + b'"}\n{"c": NaN}\n',
    ],
)
def test_jsonl_read_a_block_at_a_time_as_a_line_at_a_time(tmp_path, monkeypatch, batch, content):
    """A block of lines decoded in one call gives each line's record, or bad row, as
    decoding line by line does, whatever the block holds: values that run past their
    line, lines that hold two, blank lines, carriage returns, a line longer than a block."""
    monkeypatch.setattr(_inputs, "JSONL_BATCH_BYTES", batch)
    path = tmp_path / "in.jsonl"
    path.write_bytes(content)
    by_blocks = rows(path, "jsonl")
    monkeypatch.setattr(_inputs, "jsonl_framed", lambda block: -1)
    assert by_blocks == rows(path, "jsonl")


@pytest.mark.parametrize(
    ("line", "value"),
    [
        (b'{"k": NaN}', math.nan),
        (b'{"k": -Infinity}', -math.inf),
        (b'{"k": 1e400}', math.inf),
        (b'{"k": "\\ud800"}', "\ud800"),
        (b'\xef\xbb\xbf{"k": 1}', 1),
        (b'{"k": 18446744073709551616}', 18446744073709551616),
        (b'{"k": 3}\r', 3),
        (b'  {"k": 3}  ', 3),
    ],
)
def test_jsonl_reads_what_the_json_module_reads(tmp_path, monkeypatch, line, value):
    # Batches of a few lines: the odd line falls in a later batch than the first.
    monkeypatch.setattr(_inputs, "JSONL_BATCH_BYTES", 16)
    path = tmp_path / "in.jsonl"
    path.write_bytes(b'{"k": 0}\n{"k": 1}\n{"k": 2}\n' + line + b'\n{"k": 4}\n')
    found = read_rows(path, "jsonl")
    assert [r.where for r in found] == [f"{path}:{n}" for n in range(1, 6)]
    assert [r.fields["k"] for r in found[:3] + found[4:]] == [0, 1, 2, 4]
    got = found[3].fields["k"]
    assert got == value or (math.isnan(got) and math.isnan(value))


def test_csv_types_nulls_and_quoted_line_breaks(tmp_path, csv_reader):
    path = tmp_path / "in.csv"
    path.write_text(
        'id,n,x,ok,tags,note\n1,2,2.5,yes,"[1, ""a""]",hi\n"2\nb",,,,,\n3,-4,1e3,0,{},\n',
        newline="",
    )
    types = column_types(["n=int", "x=float", "ok=bool", "tags=json", "note=str"])
    assert rows(path, "csv", types=types, key_columns=["id"]) == [
        Row(
            {"id": "1", "n": 2, "x": 2.5, "ok": True, "tags": [1, "a"], "note": "hi"},
            f"{path}:2",
        ),
        Row(
            {"id": "2\nb", "n": None, "x": None, "ok": None, "tags": None, "note": ""},
            f"{path}:3",
        ),
        Row({"id": "3", "n": -4, "x": 1000.0, "ok": False, "tags": {}, "note": ""}, f"{path}:5"),
    ]


def test_csv_empty_key_cell_gives_no_key(tmp_path, csv_reader):
    path = tmp_path / "in.csv"
    path.write_text("id,name\n,Ada\n")
    [row] = read_rows(path, "csv", key_columns=["id"])
    assert row.fields == {"id": None, "name": "Ada"}
    with pytest.raises(ValueError, match="none of the key fields 'id' is set"):
        record_keys(row.fields, ["id"])


@pytest.mark.parametrize(
    ("line", "reason"),
    [
        (b"1,2\n", "2 fields, the header has 3"),
        (b"1,2,3,4\n", "4 fields, the header has 3"),
        (b"1,x,true\n", "column 'n': not an integer: 'x'"),
        (b"1,2,maybe\n", "column 'ok': not a boolean: 'maybe' (use true/false, yes/no or 1/0)"),
        (b'1,"2"x,true\n', "bad CSV: ',' expected after '\"'"),
        (b"\xff,2,true\n", "column 'id' is not valid UTF-8"),
        (b"1,x,\xff\n", "column 'n': not an integer: 'x'"),
        (b"1,\xff,x\n", "column 'n' is not valid UTF-8"),
    ],
)
def test_csv_bad_rows_carry_their_line_and_reason(tmp_path, csv_reader, line, reason):
    path = tmp_path / "in.csv"
    path.write_bytes(b"id,n,ok\n0,1,no\n" + line + b"9,9,yes\n")
    result = rows(path, "csv", types=column_types(["n=int", "ok=bool"]))
    assert result[1] == f"{path}:3: {reason}"
    assert result[2] == Row({"id": "9", "n": 9, "ok": True}, f"{path}:4")


@pytest.mark.parametrize(
    ("header", "types", "keys", "message"),
    [
        (b"a,a\n", [], ["a"], "names a column twice"),
        (b"a,b\n", ["c=int"], ["a"], "--type names columns not in the header: ['c']"),
        (b"a,b\n", [], ["a", "id"], "--key names columns not in the header: ['id']"),
        (b"a\tb\n", [], ["a"], "header, split at ',', is ['a\\tb']"),
    ],
)
def test_csv_bad_header(tmp_path, csv_reader, header, types, keys, message):
    path = tmp_path / "in.csv"
    path.write_bytes(header)
    with pytest.raises(InputError, match=re.escape(message)):
        read_rows(path, "csv", types=column_types(types), key_columns=keys)


# Each case: the CSV, and whether pyarrow's reader takes all of it (else the strict reader
# takes over where pyarrow would read it by laxer rules or number its lines otherwise).
CSV_CASES = [
    (b"k,v\r\n1,a\r\n2,b\r\n", True),
    (b'k,v\n1,"a,b"\n2,"say ""hi"""\n3,""\n', True),
    (b'k,v\n1,",lead"\n2,"tail,"\n3,"""q"\n', True),
    (b'k,v\n"1\nx",a\n2,"b\n\nc"\n3,c\n', True),
    (b'k,v\r\n"1\r\nx",a\r\n2,b\r\n', True),
    (b"k,v\n1,\n,\n, \n", True),
    (b"k,v\n1,a", True),
    (b'"k","v"\n"1","a"\n', True),
    ("k,v\n1,é ✓\n".encode(), True),
    (b"k,v\n1,a\n\n2,b\n", False),
    (b'k,v\n1,"a"x\n2,b\n', False),
    (b'k,v\n1,""x\n2,b\n', False),
    (b'k,v\n1,"a"""x\n2,b\n', False),
    (b'k,v\n1,a"b\n2,b\n', False),
    (b"k,v\n1,a\r2,b\r", False),
    (b'k,v\n1,"a\rb"\n2,b\n', False),
    (b"k,v\n1,\xff\n2,b\n", False),
    (b"k,v\n1,a,b\n2\n3,c\n", False),
    (b'k,v\n1,a\n2,"open\n', False),
    (b"k,v\n1," + b"x" * 131_073 + b"\n2,b\n", False),
    (b"k,v\n1,a\n2,b\n1,c\n\xc3\xa9,d\n2,e\n", True),
    # Rows wider than the header of the row chunks test, or longer than its chunks: the
    # strict reader reads those there, pyarrow in one chunk.
    (b"k,a,b,c,d,e,f,g,h,i,j,l,m,n,o,p\n1,,,,,,,,,,,,,,,x\n2" + b",y" * 15 + b"\n", False),
    (b"k,v\n1," + b"x" * 31 + b"\n2," + b"x" * 255 + b"\n3," + b"x" * 70_000 + b"\n", False),
    (b"k,v\n" + b"y" * 65_536 + b",a\n2,b\n", False),
]


@pytest.mark.parametrize("chunk", [8, 1 << 20], ids=["row chunks", "one chunk"])
@pytest.mark.parametrize(("content", "by_pyarrow"), CSV_CASES)
def test_csv_readers_agree(tmp_path, monkeypatch, chunk, content, by_pyarrow):
    pytest.importorskip("pyarrow")
    monkeypatch.setattr(_csv_rows, "ARROW_CHUNK_BYTES", chunk)
    path = tmp_path / "in.csv"
    path.write_bytes(b"k,v\n0,first\n" + content.partition(b"\n")[2] if chunk == 8 else content)

    def read(use_arrow):
        with Input(str(path), "csv", key_columns=["k"]) as source:
            found = []
            for batch in _csv_rows.csv_batches(source, use_arrow=use_arrow):
                found += [
                    str(r) if isinstance(r, BadRow) else (source.where(n), r)
                    for r, n in zip(batch.records, batch.numbers, strict=True)
                ]
            return found

    strict = read(use_arrow=False)
    assert read(use_arrow=True) == strict
    if by_pyarrow:
        monkeypatch.setattr(_csv_rows, "_strict_batches", None)
        assert read(use_arrow=True) == strict


@pytest.mark.parametrize("chunk", [8, 1 << 20], ids=["row chunks", "one chunk"])
@pytest.mark.parametrize(
    "options",
    [
        ["--key", "k"],
        ["--key", "k", "--on-duplicate", "error"],
        ["--key", "v", "--key", "k", "--fields", "v,k"],
        ["--key", "k", "--drop-fields", "k"],
    ],
)
@pytest.mark.parametrize(("content", "by_pyarrow"), CSV_CASES)
def test_csv_builds_from_columns_and_records_agree(
    tmp_path, monkeypatch, capsys, chunk, options, content, by_pyarrow
):
    """A build from pyarrow's text columns writes the bytes and reports the bad rows that one
    from the strict reader's records does."""
    pytest.importorskip("pyarrow")
    monkeypatch.setattr(_csv_rows, "ARROW_CHUNK_BYTES", chunk)
    source = tmp_path / "in.csv"
    source.write_bytes(content)
    from_columns = []
    add_to = TextColumnBatch.add_to
    monkeypatch.setattr(
        TextColumnBatch, "add_to", lambda *args: from_columns.append(1) or add_to(*args)
    )

    def build(name):
        out = tmp_path / name
        status = main(["build", str(out), str(source), "--skip-bad", "9", *options])
        return status, capsys.readouterr().err, out.read_bytes() if status == 0 else None

    built = build("columns.qrdb")
    monkeypatch.setattr(_csv_rows, "_arrow", lambda: None)
    assert build("records.qrdb") == built
    if by_pyarrow and options == ["--key", "k"] and not re.search(rb"\n,", content):
        assert from_columns  # no key cell is empty: no record was made


@pytest.mark.parametrize("spec", ["n", "=int", "n=integer", "n:int"])
def test_column_type_syntax(spec):
    with pytest.raises(InputError, match="expected COLUMN=TYPE"):
        column_types([spec])


def test_closing_an_input_ends_its_half_read_rows(tmp_path, csv_reader):
    path = tmp_path / "in.csv"
    path.write_text("k\na\nb\n")
    source = Input(str(path), "csv")
    rows = source.rows()
    next(rows)
    source.close()
    assert source.stream.closed
    assert next(rows, None) is None


@pytest.mark.parametrize(
    ("content", "delimiter"),
    [
        (b"\xef\xbb\xbfid,name\n1,a\n", None),  # as spreadsheet programs save "CSV UTF-8"
        (b"id\tname\n1\ta\n", "\t"),
        (b"id;name\n1;a\n", ";"),
    ],
)
def test_csv_byte_order_mark_and_delimiters(tmp_path, csv_reader, content, delimiter):
    path = tmp_path / "in.csv"
    path.write_bytes(content)
    [row] = read_rows(path, "csv", key_columns=["id"], delimiter=delimiter)
    assert row.fields == {"id": "1", "name": "a"}


DEEP = "[" * 10_000 + "]" * 10_000


@pytest.mark.parametrize(
    ("fmt", "content", "types", "reason"),
    [
        ("jsonl", f'{{"v": {DEEP}}}\n', [], "invalid JSON: nested too deeply"),
        ("csv", f"v\n{DEEP}\n", ["v=json"], "column 'v': not JSON: nested too deeply"),
    ],
)
def test_json_nested_too_deeply_is_a_bad_row(tmp_path, fmt, content, types, reason):
    path = tmp_path / "in"
    path.write_text(content)
    assert rows(path, fmt, types=column_types(types)) == [f"{path}:{2 if types else 1}: {reason}"]


def test_csv_from_standard_input_leaves_it_open(monkeypatch, csv_reader):
    stdin = io.TextIOWrapper(io.BytesIO(b"k,v\na,1\n"))
    monkeypatch.setattr(sys, "stdin", stdin)
    assert [r.fields for r in read_rows("-", "csv")] == [{"k": "a", "v": "1"}]
    assert not stdin.buffer.closed


def test_types_are_for_csv_only():
    with pytest.raises(InputError, match="--type applies to CSV input only"):
        Input("a.jsonl", "jsonl", types=column_types(["a=int"]))


def test_missing_file(tmp_path):
    with pytest.raises(InputError, match=r"cannot read .*absent\.csv: No such file"):
        Input(str(tmp_path / "absent.csv"), "csv")


@pytest.mark.parametrize(
    ("fields", "records", "keys"),
    [
        (["id"], [{"id": "a"}, {"id": "b"}], ["a", "b"]),
        (["id"], [{"id": "a"}, {"id": 7}], ["a", ["7"]]),
        (
            ["id", "alt"],
            [{"id": 7, "alt": ["b", 8]}, {"id": None, "alt": "x"}],
            [["7", "b", "8"], ["x"]],
        ),
        (["id"], [{"other": 1}, {"id": "a"}], ["f:1: none of the key fields 'id' is set", "a"]),
        (["id"], [BadRow("f:1", "unreadable"), {"id": "a"}], ["f:1: unreadable", "a"]),
        (
            ["id"],
            [{"id": "a"}, {"id": True}],
            ["a", "f:2: field 'id' must be " + KEY_RULE + ", not true"],
        ),
    ],
)
def test_batch_keys(fields, records, keys):
    found = batch_keys(RowBatch(records, range(1, len(records) + 1)), fields, "f:{}".format)
    assert [str(k) if isinstance(k, BadRow) else k for k in found] == keys


@pytest.mark.parametrize(
    ("value", "keys"),
    [
        ("a", ["a"]),
        (b"\xff", [b"\xff"]),
        (-7, ["-7"]),
        (None, []),
        (["b", 8, None, b"c"], ["b", "8", b"c"]),
        (("t",), ["t"]),
        ([None], []),
        (1.5, "1.5"),
        (True, "true"),
        ({"a": 1}, '{"a": 1}'),
        (["a", ["nested"]], '["nested"]'),
    ],
)
def test_what_a_key_field_may_hold(value, keys):
    if isinstance(keys, list):
        assert field_keys(value, "id") == keys
        return
    refused = f"field 'id' must be a string, bytes, an integer or a list of them, not {keys}"
    with pytest.raises(TypeError, match=re.escape(refused)):
        field_keys(value, "id")


@pytest.mark.parametrize(
    ("keep", "drop", "stored"),
    [
        (["b", "a", "b"], [], [{"b": 2, "a": 1}, {"a": 3}]),
        ([], ["a", "x"], [{"b": 2, "c": 0}, {}]),
    ],
)
def test_stored_fields_cut_a_batch_in_place_past_its_bad_rows(keep, drop, stored):
    bad = BadRow("f:2", "unreadable")
    records = [{"a": 1, "b": 2, "c": 0}, bad, {"a": 3}]
    stored_fields(keep, drop)(records)
    assert records == [stored[0], bad, stored[1]]
    # What a record of the columns a, b, c keeps, named in advance for text columns.
    assert stored_fields(keep, drop).of(["a", "b", "c"]) == list(stored[0])


def test_bad_row_policy_skips_up_to_its_limit_then_raises():
    out = io.StringIO()
    policy = BadRowPolicy(2, out)
    assert policy.summary() is None
    policy.skip(BadRow("f:1", "one"))
    policy.skip(BadRow("f:4", "two"))
    with pytest.raises(BadRow, match="f:9: three"):
        policy.skip(BadRow("f:9", "three"))
    assert out.getvalue() == "skipped f:1: one\nskipped f:4: two\n"
    assert policy.summary() == "skipped 2 bad rows (at most 2 allowed)"


# --- Parquet --------------------------------------------------------------------------

pa = pytest.importorskip("pyarrow")
pq = pytest.importorskip("pyarrow.parquet")


def test_parquet_rows_across_batches_with_plain_values(tmp_path, monkeypatch):
    monkeypatch.setattr(_inputs, "PARQUET_BATCH_ROWS", 2)
    table = pa.table(
        {
            "id": [1, 2, None, 4, 5],
            "day": [datetime.date(2024, 1, d) for d in range(1, 6)],
            "price": [decimal.Decimal("1.50")] * 5,
            "tags": [["a"], [], None, ["b", "c"], ["d"]],
        }
    )
    path = tmp_path / "t.parquet"
    pq.write_table(table, path, row_group_size=3)
    result = read_rows(path, "parquet")
    assert [r.where for r in result] == [f"{path}:row {n}" for n in range(1, 6)]
    assert result[0].fields == {"id": 1, "day": "2024-01-01", "price": "1.50", "tags": ["a"]}
    assert result[2].fields["id"] is None
    with pytest.raises(ValueError, match=r"none of the key fields 'id' is set"):
        record_keys(result[2].fields, ["id"])


def test_parquet_without_pyarrow_names_the_extra(tmp_path, monkeypatch):
    monkeypatch.setitem(sys.modules, "pyarrow.parquet", None)
    path = tmp_path / "t.parquet"
    path.write_bytes(b"PAR1")
    with pytest.raises(InputError, match=r"pip install 'quordb\[parquet\]'"):
        read_rows(path, "parquet")


def test_parquet_values_python_cannot_hold_are_bad_rows_named_by_row(tmp_path, monkeypatch):
    monkeypatch.setattr(_inputs, "PARQUET_BATCH_ROWS", 2)
    micros = [0, 300_000_000_000_000_000, 5]  # the second is past year 9999
    table = pa.table({"id": ["a", "b", "c"], "ts": pa.array(micros, type=pa.timestamp("us"))})
    path = tmp_path / "t.parquet"
    pq.write_table(table, path)
    result = rows(path, "parquet")
    assert result[1].startswith(f"{path}:row 2: column 'ts' holds a value Python cannot hold")
    assert [r.fields["id"] for r in (result[0], result[2])] == ["a", "c"]


def test_parquet_columns_sharing_a_name_are_refused(tmp_path):
    path = tmp_path / "t.parquet"
    pq.write_table(pa.Table.from_arrays([pa.array([1]), pa.array([2])], names=["a", "a"]), path)
    with pytest.raises(InputError, match=re.escape("the schema names a column twice: ['a', 'a']")):
        read_rows(path, "parquet")


@pytest.mark.parametrize("option", ["--fields", "--drop-fields"])
def test_parquet_fields_options_name_columns_of_the_schema(tmp_path, option):
    path = tmp_path / "t.parquet"
    pq.write_table(pa.table({"id": [1], "v": [2]}), path)
    with pytest.raises(
        InputError, match=re.escape(f"{option} names columns not in the schema: ['x']")
    ):
        read_rows(path, "parquet", named_columns={option: ["id", "x"]})


def test_parquet_that_is_not_parquet(tmp_path):
    path = tmp_path / "t.parquet"
    path.write_text("id\n1\n")
    with pytest.raises(InputError, match="not a Parquet file"):
        read_rows(path, "parquet")


def test_progress_through_a_text_file_reaches_its_size(tmp_path, csv_reader):
    path = tmp_path / "in.csv"
    path.write_text("k\n" + "".join(f"{i}\n" for i in range(10_000)))
    with Input(str(path), "csv") as source:
        assert source.size == path.stat().st_size
        assert source.position() == 0
        assert sum(1 for _ in source.rows()) == 10_000
        assert source.position() == source.size
    assert source.stream.closed
