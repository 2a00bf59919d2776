"""The quordb command and the demo, run as users run them: in a child interpreter."""

import base64
import contextlib
import csv
import gc
import io
import json
import math
import os
import subprocess
import sys

import msgpack
import pytest

from quordb import QuorReader, QuorWriter
from quordb import open as quordb_open
from quordb._native import table_info
from quordb._units import counted, human_size
from quordb.cli import main

RECORDS = [
    {"id": 1, "name": "Ada", "aliases": ["ada", "countess"], "born": 1815},
    {"id": 2, "name": "Bob", "aliases": []},
    {"id": 30, "name": "Cy", "aliases": None, "note": "é ✓"},
]


def quordb(*args, stdin=None):
    return subprocess.run(
        [sys.executable, "-m", "quordb", *args],
        input=stdin,
        capture_output=True,
        check=False,
    )


def text(result):
    return result.stdout.decode(), result.stderr.decode()


@pytest.fixture
def people(tmp_path):
    source = tmp_path / "people.jsonl"
    source.write_text("".join(json.dumps(r) + "\n" for r in RECORDS) + "\n")
    db = tmp_path / "people.qrdb"
    result = quordb("build", str(db), str(source), "--key", "id", "--key", "aliases")
    assert result.returncode == 0, result.stderr
    return db


def test_build_summary_and_lookups_by_every_key_field(people):
    expected = {
        "1": RECORDS[0],
        "ada": RECORDS[0],
        "countess": RECORDS[0],
        "2": RECORDS[1],
        "30": RECORDS[2],
    }
    for key, record in expected.items():
        result = quordb("get", str(people), key)
        assert result.returncode == 0
        assert json.loads(result.stdout) == record
    assert dict(QuorReader(people)) == expected
    assert QuorReader(people).stats()["num_objects"] == 3


def test_build_reads_standard_input_and_prints_the_summary(tmp_path):
    db = tmp_path / "in.qrdb"
    result = quordb("build", str(db), "-", "--key", "k", stdin=b'{"k": "a"}\n{"k": "b", "v": 2}\n')
    out, err = text(result)
    assert result.returncode == 0 and err == ""
    assert out == f"✅  {db}  —  2 objects · 2 keys · {db.stat().st_size} B\n"
    assert QuorReader(db)["b"] == {"k": "b", "v": 2}


def test_progress_is_shown_on_request(tmp_path):
    result = quordb(
        "build", str(tmp_path / "p.qrdb"), "-", "--key", "k", "--progress", stdin=b'{"k": "a"}\n'
    )
    assert "read 1 record, 1 object" in text(result)[1]
    source = tmp_path / "in.jsonl"
    source.write_text("".join(f'{{"k": "{i}"}}\n' for i in range(10_000)))
    result = quordb("build", str(tmp_path / "f.qrdb"), str(source), "--key", "k", "--progress")
    out, err = text(result)
    # Against the size of a regular file: a percentage of the bytes read.
    assert result.returncode == 0 and "100%" in err and "read 10,000 records" in err
    assert "100%" not in out


@pytest.mark.parametrize(
    ("line", "message"),
    [
        ("{not json", "in.jsonl:2: invalid JSON"),
        ("[1, 2]", "in.jsonl:2: expected a JSON object, got list"),
        ('{"other": 1}', "in.jsonl:2: none of the key fields 'k' is set"),
        (
            '{"k": 1.5}',
            "in.jsonl:2: field 'k' must be a string, bytes, an integer or a list of them, not 1.5",
        ),
        (
            '{"k": ["a", true]}',
            "field 'k' must be a string, bytes, an integer or a list of them, not true",
        ),
        ('{"k": "b", "big": 18446744073709551616}', "in.jsonl:2: "),
        (
            '{"k": ' + "[" * 10_000 + "]" * 10_000 + "}",
            "in.jsonl:2: invalid JSON: nested too deeply",
        ),
    ],
)
def test_bad_input_lines_fail_with_their_line_number(tmp_path, line, message):
    source = tmp_path / "in.jsonl"
    source.write_text('{"k": "a"}\n' + line + "\n")
    (tmp_path / "bad.qrdb").write_bytes(b"old contents")
    result = quordb("build", str(tmp_path / "bad.qrdb"), str(source), "--key", "k")
    assert result.returncode == 1
    assert message in text(result)[1]
    assert (tmp_path / "bad.qrdb").read_bytes() == b"old contents"
    assert not (tmp_path / "bad.qrdb.tmp").exists()


@pytest.mark.parametrize(
    ("bad_line", "message"),
    [
        ('{"k": "b", "big": 18446744073709551616}', "can't serialize ints < -2**63"),
        ('{"k": "' + "x" * 70000 + '"}', "QuorError: key of 70000 exceeds"),
    ],
)
def test_a_refused_record_far_into_the_input_is_named_by_its_line(tmp_path, bad_line, message):
    # The writer stores records a chunk at a time; the message still names the right line.
    source = tmp_path / "in.jsonl"
    good = "".join(f'{{"k": "g{i}"}}\n' for i in range(2999))
    source.write_text(good + bad_line + "\n" + good.replace('"g', '"h'))
    result = quordb("build", str(tmp_path / "bad.qrdb"), str(source), "--key", "k")
    assert result.returncode == 1
    assert text(result)[1].startswith(f"quordb: {source}:3000: ")
    assert message in text(result)[1]
    assert sorted(p.name for p in tmp_path.iterdir()) == ["in.jsonl"]


@pytest.mark.parametrize(
    ("out", "source", "stdin_from"),
    [
        ("data.jsonl", "data.jsonl", None),
        ("./sub/../data.jsonl", "data.jsonl", None),
        ("link.jsonl", "data.jsonl", None),
        ("data.qrdb", "data.qrdb.tmp", None),
        ("data.jsonl", "-", "data.jsonl"),
    ],
    ids=["same name", "other name", "hard link", "temporary file", "stdin"],
)
def test_build_refuses_to_write_over_its_input(tmp_path, monkeypatch, out, source, stdin_from):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "sub").mkdir()
    content = b'{"id": "a"}\n'
    for name in ("data.jsonl", "data.qrdb.tmp"):
        (tmp_path / name).write_bytes(content)
    (tmp_path / "link.jsonl").hardlink_to(tmp_path / "data.jsonl")
    with contextlib.ExitStack() as stack:
        stdin = stack.enter_context(open(stdin_from, "rb")) if stdin_from else subprocess.DEVNULL
        result = subprocess.run(
            [sys.executable, "-m", "quordb", "build", out, source, "--key", "id"],
            stdin=stdin,
            capture_output=True,
            check=False,
        )
    assert result.returncode == 2
    assert "building there would destroy it" in text(result)[1]
    for name in ("data.jsonl", "data.qrdb.tmp"):
        assert (tmp_path / name).read_bytes() == content


def test_writer_errors_name_the_target(tmp_path):
    source = tmp_path / "in.jsonl"
    source.write_text('{"k": "a"}\n')
    out = tmp_path / "missing-dir" / "x.qrdb"
    result = quordb("build", str(out), str(source), "--key", "k")
    assert result.returncode == 1
    assert text(result)[1] == (
        f"quordb: {out}: QuorIOError: cannot create a file in {out.parent}: "
        "the folder does not exist (os error 2)\n"
    )


def test_closed_pipe_ends_with_the_sigpipe_status_and_no_traceback(tmp_path):
    db = tmp_path / "many.qrdb"
    writer = QuorWriter()
    for i in range(20_000):
        writer.add({"n": i, "pad": "x" * 40}, f"key{i}")
    writer.build(db)
    dump = subprocess.Popen(
        [sys.executable, "-m", "quordb", "dump", str(db)],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
    )
    assert dump.stdout.readline().startswith(b'{"key": "key0"')
    dump.stdout.close()  # as `head -1` does: far more than a pipe's buffer is still to come
    assert dump.wait() == 141
    assert dump.stderr.read() == b""


def test_keys_with_prefix_and_limit(people):
    assert text(quordb("keys", str(people)))[0].split() == ["1", "2", "30", "ada", "countess"]
    assert text(quordb("keys", str(people), "--prefix", "3"))[0] == "30\n"
    assert text(quordb("keys", str(people), "--prefix", "", "--limit", "2"))[0] == "1\n2\n"
    assert text(quordb("keys", str(people), "--limit", "0"))[0] == ""


def test_keys_lists_keys_that_are_not_utf8_as_their_bytes(tmp_path):
    db = tmp_path / "latin1.qrdb"
    with QuorWriter(db) as writer:
        writer.add("v", [b"Jos\xe9", "Jos\u00e9", b"\xff", "\ufffd"])
    listed = quordb("keys", str(db)).stdout.splitlines()
    assert listed == [b"Jos\xc3\xa9", b"Jos\xe9", b"\xef\xbf\xbd", b"\xff"]
    assert quordb("keys", str(db), "--prefix", "Jos", "--limit", "1").stdout == b"Jos\xc3\xa9\n"
    # Each listed key finds its object again, as the shell would pass it back.
    for key in listed:
        assert quordb("get", str(db), os.fsdecode(key)).returncode == 0


def test_dump_renders_bytes_and_odd_maps_as_json(tmp_path):
    db = tmp_path / "odd.qrdb"
    writer = QuorWriter()
    writer.add({"blob": b"\x00\xff"}, "a")
    writer.add({1: "one"}, "b")
    writer.build(str(db))
    result = quordb("dump", str(db))
    assert result.returncode == 0
    assert [json.loads(line) for line in result.stdout.splitlines()] == [
        {
            "key": "a",
            "value": {"blob": {"$bytes": base64.b64encode(b"\x00\xff").decode()}},
            "object": 0,
        },
        {"key": "b", "value": {"$map": [[1, "one"]]}, "object": 1},
    ]


@pytest.mark.parametrize(
    ("payload", "status", "shown"),
    [
        (
            msgpack.packb([math.nan, -math.inf, b"\x01"]),
            0,
            '[{"$float": "NaN"}, {"$float": "-Infinity"}, {"$bytes": "AQ=="}]\n',
        ),
        (
            b"\xc1",
            1,
            (
                "quordb: the object of key 'k' cannot be decoded: "
                "MessagePack data is malformed: invalid opcode '\\xc1' (byte 0)\n"
            ),
        ),
        (
            b"\x91" * 100_000 + b"\xc0",
            1,
            "quordb: the object of key 'k' is nested too deeply to decode\n",
        ),
        (
            b"\x91" * 1200 + b"\xc0",
            1,
            "quordb: the object of key 'k' is nested too deeply to show\n",
        ),
    ],
    ids=["strict JSON", "not msgpack", "too deep to decode", "too deep to show"],
)
def test_get_prints_strict_json_or_why_it_cannot(tmp_path, payload, status, shown):
    db = tmp_path / "odd.qrdb"
    writer = QuorWriter()
    writer.add_key("k", writer.raw.add_object_raw(payload))
    writer.build(str(db))
    result = quordb("get", str(db), "k")
    assert (result.returncode, text(result)[status]) == (status, shown)


@pytest.fixture
def mixed(tmp_path):
    """Keys of good objects ("a", "b") and of objects that cannot be shown ("bad", "deep")."""
    db = tmp_path / "mixed.qrdb"
    writer = QuorWriter()
    writer.add({"n": 1}, "a")
    writer.add([1, 2], "b")
    writer.add_key("bad", writer.raw.add_object_raw(b"\xc1"))
    writer.add_key("deep", writer.raw.add_object_raw(b"\x91" * 1200 + b"\xc0"))
    writer.build(str(db))
    return db


A, B = '{"n": 1}\n', "[1, 2]\n"
NOBODY = "quordb: key not found: 'nobody'\n"


@pytest.mark.parametrize(
    ("keys", "stdin", "status", "out", "err"),
    [
        (["a", "b"], None, 0, A + B, ""),
        (["b", "nobody", "a"], None, 1, B + A, NOBODY),
        (
            ["a", "bad", "b"],
            None,
            1,
            A + B,
            (
                "quordb: the object of key 'bad' cannot be decoded: "
                "MessagePack data is malformed: invalid opcode '\\xc1' (byte 0)\n"
            ),
        ),
        (
            ["deep", "a"],
            None,
            1,
            A,
            "quordb: the object of key 'deep' is nested too deeply to show\n",
        ),
        (["-"], b"a\nb\n", 0, A + B, ""),
        (["b", "-", "a"], b"nobody\na", 1, B + A + A, NOBODY),
        (["-"], b"", 0, "", ""),
        (["-"], b"a\nnobody\n" * 1500, 1, A * 1500, NOBODY * 1500),
    ],
    ids=[
        "two",
        "a missing key",
        "an undecodable object",
        "a too deep object",
        "stdin",
        "stdin among arguments",
        "empty stdin",
        "several batches",
    ],
)
def test_get_several_keys_prints_each_found_object_in_order(mixed, keys, stdin, status, out, err):
    result = quordb("get", str(mixed), *keys, stdin=stdin)
    assert (result.returncode, *text(result)) == (status, out, err)


def test_stats_human_and_json(people):
    stats = QuorReader(people).stats()
    result = quordb("stats", str(people), "--json")
    table = table_info(str(people))
    table_fields = {
        "lookup_table": f"{table['slots']} slots",
        "lookup_table_bytes": table["table_bytes"],
    }
    assert result.returncode == 0 and json.loads(result.stdout) == stats | table_fields
    human = text(quordb("stats", str(people)))[0]
    assert f"lookup table    near slots, {table['table_bytes']} B" in human
    assert f"keys            {stats['num_keys']}" in human
    assert stats["file_crc32"] in human and str(people) in human


def test_key_given_as_undecodable_bytes_is_found(tmp_path):
    db = tmp_path / "bytes.qrdb"
    writer = QuorWriter()
    writer.add("found", b"\xffa")
    writer.build(str(db))
    result = subprocess.run(
        [sys.executable, "-m", "quordb", "get", str(db), b"\xffa"], capture_output=True, check=False
    )
    assert result.returncode == 0 and json.loads(result.stdout) == "found"


@pytest.mark.parametrize(
    "args",
    [
        [],
        ["frobnicate"],
        ["build", "out.qrdb", "in.jsonl"],
        ["keys", "db.qrdb", "--limit", "-1"],
        ["get", "db.qrdb"],
        ["verify", "db.qrdb", "--no-verify"],
        ["join", "db.qrdb", "in.jsonl", "--out", "out.jsonl"],
        ["join", "db.qrdb", "in.jsonl", "--on", "id", "--out", "o", "--columns", "a,,b"],
        ["serve", "db.qrdb", "--workers", "0"],
        ["serve", "db.qrdb", "--port", "65536"],
        ["serve", "db.qrdb", "--poll", "-1"],
        ["serve", "db.qrdb", "--poll", "nan"],
    ],
)
def test_usage_errors_exit_2(args):
    result = quordb(*args)
    assert result.returncode == 2
    assert "usage: quordb" in text(result)[1]


def test_missing_key_and_missing_file_exit_1(people, tmp_path):
    result = quordb("get", str(people), "nobody")
    assert (result.returncode, text(result)) == (1, ("", "quordb: key not found: 'nobody'\n"))
    result = quordb("stats", str(tmp_path / "absent.qrdb"))
    assert result.returncode == 1
    assert text(result)[1].startswith(
        f"quordb: QuorIOError: cannot open {tmp_path / 'absent.qrdb'}: "
    )


def test_damaged_file(people):
    data = bytearray(people.read_bytes())
    data[data.index(b"countess")] ^= 0x20  # an alias inside Ada's stored object
    people.write_bytes(bytes(data))
    for command in (["verify"], ["get"], ["dump"], ["stats"], ["keys"]):
        result = quordb(*command, str(people), *(["2"] if command == ["get"] else []))
        assert result.returncode == 1, command
        assert text(result)[1].startswith(
            "quordb: QuorCorruptError: file CRC32 mismatch  stored=0x"
        )
    skipped = quordb("get", "--no-verify", str(people), "2")
    assert skipped.returncode == 0 and json.loads(skipped.stdout) == RECORDS[1]


def test_verify_sound_file(people):
    result = quordb("verify", str(people))
    size = human_size(people.stat().st_size)
    assert (result.returncode, text(result)[0]) == (0, f"OK  {people}: 5 keys, 3 objects, {size}\n")


def test_verify_reports_structure_damage(structure_damage, tmp_path):
    blob, message, _ = structure_damage
    db = tmp_path / "damaged.qrdb"
    db.write_bytes(blob)
    result = quordb("verify", str(db))
    assert (result.returncode, text(result)) == (1, ("", f"quordb: {message}\n"))


def test_demo_builds_and_queries_the_unicode_database(tmp_path):
    db = tmp_path / "unicode.qrdb"
    result = subprocess.run(
        [sys.executable, "-m", "quordb.demo", "--out", str(db)], capture_output=True, check=False
    )
    out = result.stdout.decode()
    assert result.returncode == 0, result.stderr
    alpha = {
        "code": "U+03B1",
        "char": "α",
        "name": "GREEK SMALL LETTER ALPHA",
        "category": "Ll",
        "bidirectional": "L",
    }
    assert out.count(json.dumps(alpha, ensure_ascii=False)) == 2
    assert "GREEK SMALL LETTER ALPHA WITH DASIA\n" in out
    reader = QuorReader(db)
    assert reader["U+03B1"] == reader["GREEK SMALL LETTER ALPHA"] == alpha
    assert reader["U+00BD"]["numeric"] == 0.5
    assert reader["LATIN SMALL LETTER E WITH ACUTE"]["decomposition"] == "0065 0301"
    assert len(reader) == 2 * reader.stats()["num_objects"]


def test_build_from_csv_with_typed_columns(tmp_path):
    source = tmp_path / "people.csv"
    source.write_text('id,name,born,langs\n1,Ada,1815,"[""en""]"\n2,Bob,,[]\n')
    db = tmp_path / "csv.qrdb"
    result = quordb(
        "build", str(db), str(source), "--key", "id", "--type", "born=int", "--type", "langs=json"
    )
    assert result.returncode == 0, result.stderr
    assert dict(QuorReader(db)) == {
        "1": {"id": "1", "name": "Ada", "born": 1815, "langs": ["en"]},
        "2": {"id": "2", "name": "Bob", "born": None, "langs": []},
    }


@pytest.mark.parametrize(
    ("options", "stored"),
    [
        ([], RECORDS[0]),
        (["--fields", "name,born"], {"name": "Ada", "born": 1815}),
        (["--fields", "born", "--fields", "id,absent"], {"born": 1815, "id": 1}),
        (["--drop-fields", "id,aliases"], {"name": "Ada", "born": 1815}),
        (["--drop-fields", "absent"], RECORDS[0]),
    ],
)
def test_fields_choose_what_is_stored_and_keys_come_from_the_whole_record(
    tmp_path, people, options, stored
):
    source = tmp_path / "people.jsonl"
    db = tmp_path / "fields.qrdb"
    result = quordb("build", str(db), str(source), "--key", "id", "--key", "aliases", *options)
    assert result.returncode == 0, result.stderr
    assert QuorReader(db)["countess"] == QuorReader(db)["1"] == stored


@pytest.mark.parametrize(
    ("source", "options", "status", "message"),
    [
        ("in.jsonl", ["--fields", "a", "--drop-fields", "b"], 2, "not allowed with argument"),
        ("in.jsonl", ["--fields", ","], 2, "expected field names separated by commas"),
        ("in.csv", ["--fields", "k,x"], 1, "in.csv:1: --fields names columns not in the header"),
        ("in.csv", ["--drop-fields", "x"], 1, "--drop-fields names columns not in the header"),
    ],
)
def test_fields_options_are_checked(tmp_path, source, options, status, message):
    (tmp_path / "in.csv").write_text("k,v\na,1\n")
    (tmp_path / "in.jsonl").write_text('{"k": "a"}\n')
    result = quordb(
        "build", str(tmp_path / "o.qrdb"), str(tmp_path / source), "--key", "k", *options
    )
    assert result.returncode == status
    assert message in text(result)[1]


@pytest.mark.parametrize("line", ['{"k": "b"}', '{"k": 1.5}'], ids=["built", "failed"])
def test_a_build_leaves_the_garbage_collector_as_it_found_it(tmp_path, line):
    source = tmp_path / "in.jsonl"
    source.write_text('{"k": "a"}\n' + line + "\n")
    status = main(["build", str(tmp_path / "o.qrdb"), str(source), "--key", "k"])
    assert (status, gc.isenabled()) == (0 if "b" in line else 1, True)


def test_bad_records_are_reported_in_input_order_whoever_finds_them(tmp_path):
    # Line 2 the writer refuses (a key too long), line 3 has no key: line 2 comes first.
    source = tmp_path / "in.jsonl"
    lines = [{"k": "a"}, {"k": "x" * 70_000}, {"other": 1}, {"k": "b"}]
    source.write_text("".join(json.dumps(line) + "\n" for line in lines))
    result = quordb("build", str(tmp_path / "o.qrdb"), str(source), "--key", "k", "--skip-bad", "1")
    _out, err = text(result)
    assert result.returncode == 1
    assert err.startswith(f"skipped {source}:2: QuorError: key of 70000")
    assert err.endswith(f"quordb: {source}:3: none of the key fields 'k' is set\n")


def test_build_from_parquet(tmp_path):
    pa = pytest.importorskip("pyarrow")
    pq = pytest.importorskip("pyarrow.parquet")
    source = tmp_path / "t.data"
    pq.write_table(pa.table({"id": [1, 2], "tags": [["x"], ["y", "z"]]}), source)
    db = tmp_path / "pq.qrdb"
    result = quordb("build", str(db), str(source), "--format", "parquet", "--key", "tags")
    assert result.returncode == 0, result.stderr
    assert QuorReader(db)["z"] == {"id": 2, "tags": ["y", "z"]}


SKIPPABLE = '{"k": "a"}\n{bad\n{"k": 1.5}\n{"k": "b"}\n[]\n'


@pytest.mark.parametrize(
    ("limit", "status", "err"),
    [
        (
            "3",
            0,
            (
                "skipped {src}:2: invalid JSON: Expecting property name enclosed in double quotes: "
                "line 1 column 2 (char 1)\n"
                "skipped {src}:3: field 'k' must be a string, bytes, an integer or a list of them, "
                "not 1.5\n"
                "skipped {src}:5: expected a JSON object, got list\n"
                "quordb: skipped 3 bad rows (at most 3 allowed)\n"
            ),
        ),
        (
            "1",
            1,
            (
                "skipped {src}:2: invalid JSON: Expecting property name enclosed in double quotes: "
                "line 1 column 2 (char 1)\n"
                "quordb: {src}:3: field 'k' must be a string, bytes, an integer or a list of them, "
                "not 1.5\n"
            ),
        ),
    ],
)
def test_skip_bad_allows_up_to_n_bad_rows(tmp_path, limit, status, err):
    source = tmp_path / "in.jsonl"
    source.write_text(SKIPPABLE)
    db = tmp_path / "out.qrdb"
    result = quordb("build", str(db), str(source), "--key", "k", "--skip-bad", limit)
    assert (result.returncode, text(result)[1]) == (status, err.format(src=source))
    assert db.exists() == (status == 0)
    if status == 0:
        assert list(QuorReader(db)) == ["a", "b"]


REPEATED = '{"k": ["a", "b"], "v": 0}\n{"k": "c", "v": 1}\n{"k": ["b", "c"], "v": 2}\n{"k": "d"}\n'
REFUSED = "{src}:3: key 'b' is the key of the record at {src}:1 already (--on-duplicate error)"


@pytest.mark.parametrize("shards", [[], ["--shards", "3"]], ids=["file", "shard set"])
@pytest.mark.parametrize(
    ("policy", "status", "err", "named"),
    [
        (
            ["--on-duplicate", "last"],
            0,
            (
                "quordb: 2 keys taken over by later records (--on-duplicate first keeps the first, "
                "--on-duplicate error refuses the later)\n"
            ),
            {"a": 0, "b": 2, "c": 2, "d": None},
        ),
        (
            ["--on-duplicate", "first"],
            0,
            "quordb: 2 keys kept by earlier records from later ones\n",
            {"a": 0, "b": 0, "c": 1, "d": None},
        ),
        (["--on-duplicate", "error"], 1, f"quordb: {REFUSED}\n", None),
        (
            ["--on-duplicate", "error", "--skip-bad", "1"],
            0,
            f"skipped {REFUSED}\nquordb: skipped 1 bad row (at most 1 allowed)\n",
            {"a": 0, "b": 0, "c": 1, "d": None},
        ),
    ],
    ids=["last", "first", "error", "error, skipped"],
)
def test_keys_given_again_are_settled_and_reported(tmp_path, shards, policy, status, err, named):
    source = tmp_path / "in.jsonl"
    source.write_text(REPEATED)
    db = tmp_path / "out"
    result = quordb("build", *shards, str(db), str(source), "--key", "k", *policy)
    assert (result.returncode, text(result)[1]) == (status, err.format(src=source))
    if named is not None:
        assert {key: obj.get("v") for key, obj in quordb_open(db).items()} == named


@pytest.mark.parametrize("shards", [[], ["--shards", "3"]], ids=["file", "shard set"])
def test_skip_bad_resumes_after_a_record_the_writer_refuses_mid_batch(tmp_path, shards):
    # A key too long for the format is refused by the native batch add, a
    # number too large for msgpack while encoding: the records after each, in
    # the same batch, must still be stored.
    lines = [json.dumps({"k": str(i)}) for i in range(3000)]
    lines[1500] = json.dumps({"k": "x" * 70_000})
    lines[2100] = json.dumps({"k": "big", "n": 2**64})
    source = tmp_path / "in.jsonl"
    source.write_text("\n".join(lines) + "\n")
    db = tmp_path / "out.qrdb"
    result = quordb("build", *shards, str(db), str(source), "--key", "k", "--skip-bad", "2")
    _out, err = text(result)
    assert result.returncode == 0, err
    skipped = [line.split(": ")[0] for line in err.splitlines() if line.startswith("skipped ")]
    assert skipped == [f"skipped {source}:1501", f"skipped {source}:2101"]
    reader = quordb_open(db)
    assert len(reader) == 2998 and reader.stats()["num_objects"] == 2998
    assert reader["1501"] == {"k": "1501"} and reader["2999"] == {"k": "2999"}


@pytest.mark.parametrize(
    ("args", "message"),
    [
        (["in.jsonl", "--key", "k", "--type", "k=int"], "--type applies to CSV input only"),
        (["in.csv", "--key", "k", "--type", "k"], "invalid column type 'k'"),
        (["-", "--key", "k", "--format", "parquet"], "Parquet cannot be read from standard input"),
    ],
)
def test_build_input_options_are_checked(tmp_path, args, message):
    result = quordb("build", str(tmp_path / "o.qrdb"), *args)
    assert result.returncode == 1
    assert text(result)[1].startswith(f"quordb: {message}")


def test_dump_then_load_rebuilds_the_same_file(tmp_path):
    db = tmp_path / "shared.qrdb"
    writer = QuorWriter()
    writer.add({"name": "Ada", "photo": b""}, ["ada", b"\xffada", "user:1"])
    writer.add("", "empty")
    writer.add_object([1.5, None])
    writer.build(str(db))
    dumped = quordb("dump", str(db))
    assert dumped.returncode == 0
    copy = tmp_path / "copy.qrdb"
    loaded = quordb("load", str(copy), "-", stdin=dumped.stdout)
    assert loaded.returncode == 0, loaded.stderr
    assert copy.read_bytes() == db.read_bytes()
    assert QuorReader(copy).stats()["num_objects"] == 3


def test_load_refuses_plain_records(tmp_path, people):
    source = tmp_path / "people.jsonl"
    result = quordb("load", str(tmp_path / "o.qrdb"), str(source))
    assert result.returncode == 1
    assert text(result)[1].startswith(f"quordb: {source}:1: expected a dump line")


def test_stats_shows_the_size_in_decimal_units(people):
    human = text(quordb("stats", str(people)))[0]
    assert f"file size       {human_size(people.stat().st_size)}\n" in human


# --- sizes ----------------------------------------------------------------------------


@pytest.mark.parametrize(
    ("size", "shown"),
    [
        (0, "0 B"),
        (999, "999 B"),
        (1000, "1.0 kB"),
        (1049, "1.0 kB"),
        (1050, "1.1 kB"),
        (206_506_188, "206.5 MB"),
        (999_949, "999.9 kB"),
        (999_950, "1.0 MB"),
        (3 * 10**9, "3.0 GB"),
        (2 * 10**18, "2000.0 PB"),
    ],
)
def test_human_size(size, shown):
    assert human_size(size) == shown


@pytest.mark.parametrize(
    ("number", "noun", "shown"),
    [(1, "key", "1 key"), (0, "object", "0 objects"), (2500, "bad row", "2,500 bad rows")],
)
def test_counted(number, noun, shown):
    assert counted(number, noun) == shown


def test_human_size_refuses_negative():
    with pytest.raises(ValueError, match="cannot be negative"):
        human_size(-1)


@pytest.fixture
def people_set(people, tmp_path):
    """The records of `people`, built as a shard set of 3."""
    source = tmp_path / "people.jsonl"
    out = tmp_path / "set"
    result = quordb(
        "build", "--shards", "3", str(out), str(source), "--key", "id", "--key", "aliases"
    )
    assert result.returncode == 0, result.stderr
    assert text(result)[0].startswith(f"✅  {out}  —  3 shards · 4 objects · 5 keys · ")
    return out


@pytest.mark.parametrize(
    "command",
    [
        ["get", "DB", "countess"],
        ["keys", "DB"],
        ["keys", "DB", "--prefix", "c", "--limit", "1"],
        ["get", "DB", "nobody"],
        ["get", "DB", "2", "nobody", "countess"],
    ],
)
def test_read_commands_answer_alike_for_a_shard_set(people, people_set, command):
    single = quordb(*[str(people) if a == "DB" else a for a in command])
    sharded = quordb(*[str(people_set) if a == "DB" else a for a in command])
    assert sharded.returncode == single.returncode
    assert text(sharded) == tuple(t.replace(str(people), str(people_set)) for t in text(single))


def test_dump_stats_and_damage_of_a_shard_set(people, people_set):
    def by_key(db):
        lines = [json.loads(line) for line in quordb("dump", str(db)).stdout.splitlines()]
        return {line["key"]: line["value"] for line in lines}

    assert by_key(people_set) == by_key(people)
    dumped = quordb("dump", str(people_set)).stdout
    # Numbered from what is dumped: the object stored in two shards comes twice.
    assert sorted({json.loads(line)["object"] for line in dumped.splitlines()}) == [0, 1, 2, 3]
    copy = people_set.parent / "copy-set"
    loaded = quordb("load", "--shards", "2", str(copy), "-", stdin=dumped)
    assert text(loaded)[0].startswith(f"✅  {copy}  —  2 shards · ")
    assert dict(quordb_open(copy)) == dict(QuorReader(people))
    stats = json.loads(quordb("stats", str(people_set), "--json").stdout)
    assert (stats["shard_count"], stats["num_keys"], len(stats["shards"])) == (3, 5, 3)
    assert "shards          3" in text(quordb("stats", str(people_set)))[0]
    # One object's keys route to two shards, so it is stored twice.
    assert text(quordb("verify", str(people_set)))[0].startswith(
        f"OK  {people_set}: 5 keys, 4 objects, "
    )
    shard = people_set / "gen-00000001" / "part-00001.qrdb"
    blob = bytearray(shard.read_bytes())
    blob[45] ^= 0xFF
    shard.write_bytes(bytes(blob))
    result = quordb("verify", str(people_set))
    assert result.returncode == 1
    assert f"QuorCorruptError: {shard}: " in text(result)[1]


@pytest.mark.parametrize(
    ("command", "message"),
    [
        (["build", "SET", "-", "--key", "k"], "SET is a shard set: give --shards N"),
        (["load", "SET", "-"], "SET is a shard set: give --shards N"),
        (["build", "--shards", "2", "FILE", "-", "--key", "k"], "FILE is a file: a shard set is"),
        (["load", "--shards", "2", "FILE", "-"], "FILE is a file: a shard set is"),
    ],
)
def test_a_target_of_the_other_kind_is_refused_before_any_input_is_read(
    people, people_set, command, message
):
    before = people.read_bytes()
    names = {"SET": str(people_set), "FILE": str(people)}
    # Reading this input would fail on its first line.
    result = quordb(*[names.get(arg, arg) for arg in command], stdin=b"{not json\n")
    assert result.returncode == 2
    assert text(result)[1].startswith(
        "quordb: " + message.replace("SET", str(people_set)).replace("FILE", str(people))
    )
    assert people.read_bytes() == before


def test_failed_sharded_build_leaves_nothing(tmp_path):
    source = tmp_path / "in.jsonl"
    source.write_text('{"k": "a"}\n{"k": 1.5}\n')
    result = quordb("build", "--shards", "2", str(tmp_path / "set"), str(source), "--key", "k")
    assert result.returncode == 1 and "in.jsonl:2" in text(result)[1]
    assert sorted(p.name for p in tmp_path.iterdir()) == ["in.jsonl"]


# --- join ---------------------------------------------------------------------------

JOIN_REFS = [1, "countess", "nobody", None, 30]


def write_join_input(path, fmt):
    rows = [{"ref": ref, "n": n} for n, ref in enumerate(JOIN_REFS)]
    if fmt == "jsonl":
        path.write_text("".join(json.dumps(row) + "\n" for row in rows))
    elif fmt in ("csv", "tsv"):
        sep = "," if fmt == "csv" else "\t"
        path.write_text(f"ref{sep}n\n" + "".join(f"{r['ref'] or ''}{sep}{r['n']}\n" for r in rows))
    else:
        pa = pytest.importorskip("pyarrow")
        pq = pytest.importorskip("pyarrow.parquet")
        refs = [None if r is None else str(r) for r in JOIN_REFS]
        pq.write_table(pa.table({"ref": refs, "n": range(len(rows))}), path)


def read_join_output(path, fmt):
    if fmt == "jsonl":
        return [json.loads(line) for line in path.read_text().splitlines()]
    if fmt in ("csv", "tsv"):
        text = path.read_text()
        assert "\r" not in text
        return list(csv.DictReader(io.StringIO(text), delimiter="," if fmt == "csv" else "\t"))
    return pytest.importorskip("pyarrow.parquet").read_table(path).to_pylist()


def as_written(fmt, value):
    """A found value as the output format writes it (read back, JSON text parsed)."""
    if fmt in ("csv", "tsv"):
        return "" if value is None else value if isinstance(value, str) else json.dumps(value)
    return value


@pytest.mark.parametrize("fmt", ["jsonl", "csv", "tsv", "parquet"])
@pytest.mark.parametrize("columns", [["name", "born"], None], ids=["columns", "objects"])
@pytest.mark.parametrize("kind", ["file", "shard set"])
def test_join_adds_each_records_object_in_the_inputs_format(
    people, people_set, tmp_path, fmt, columns, kind
):
    source, out = tmp_path / f"in.{fmt}", tmp_path / f"out.{fmt}"
    write_join_input(source, fmt)
    db = people if kind == "file" else people_set
    options = [] if columns is None else ["--columns", ",".join(columns)]
    result = quordb("join", str(db), str(source), "--on", "ref", *options, "--out", str(out))
    assert result.returncode == 0, result.stderr
    assert text(result) == ("", "joined 5 records, 3 found\n")
    written = read_join_output(out, fmt)
    by_key = {str(r["id"]): r for r in RECORDS} | {"countess": RECORDS[0]}
    for row, ref in zip(written, JOIN_REFS, strict=True):
        found = by_key.get(str(ref), {}) if ref is not None else {}
        if columns is None:  # whole objects, as JSON text but in JSON Lines
            stored = (
                row["object"] if fmt == "jsonl" else row["object"] and json.loads(row["object"])
            )
            assert stored == (found or ("" if fmt in ("csv", "tsv") else None))
            assert row.keys() == {"ref", "n", "object"}
        else:
            added = {f: as_written(fmt, found.get(f)) for f in columns}
            assert {k: v for k, v in row.items() if k not in ("ref", "n")} == added


@pytest.mark.parametrize(
    ("lines", "args", "status", "message"),
    [
        (['{"ref": 1.5}', '{"ref": 1}'], [], 1, "in.jsonl:1: field 'ref': join keys are"),
        (['{"ref": 1.5}', '{"ref": 1}'], ["--skip-bad", "1"], 0, "skipped 1 bad row"),
        (["not json"], [], 1, "in.jsonl:1: invalid JSON"),
        (['{"ref": 1, "name": "x"}'], ["--columns", "name"], 2, "already has 'name'"),
        (['{"ref": 1}'], ["--out", "IN"], 2, "is the input"),
        (["id,n", "1,2"], ["--format", "csv"], 1, "--on names columns not in the header"),
    ],
)
def test_join_refuses_bad_records_and_outputs(people, tmp_path, lines, args, status, message):
    source = tmp_path / "in.jsonl"
    source.write_text("\n".join(lines) + "\n")
    out = [str(source) if a == "IN" else a for a in args]
    if "--out" not in out:
        out += ["--out", str(tmp_path / "out.jsonl")]
    result = quordb("join", str(people), str(source), "--on", "ref", *out)
    assert result.returncode == status
    assert message in text(result)[1]
    if status:
        assert not (tmp_path / "out.jsonl").exists()
