"""The quordb command and the demo, run as users run them: in a child interpreter."""

import base64
import json
import subprocess
import sys

import pytest
from quordb import QuorReader, QuorWriter

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
    assert out == f"✅  {db}  —  2 objects · 2 keys · 0.1 KB\n"
    assert QuorReader(db)["b"] == {"k": "b", "v": 2}


def test_progress_is_shown_on_request(tmp_path):
    result = quordb(
        "build", str(tmp_path / "p.qrdb"), "-", "--key", "k", "--progress", stdin=b'{"k": "a"}\n'
    )
    assert "read 1 lines, 1 objects" in text(result)[1]


@pytest.mark.parametrize(
    ("line", "message"),
    [
        ("{not json", "in.jsonl:2: invalid JSON"),
        ("[1, 2]", "in.jsonl:2: expected a JSON object, got list"),
        ('{"other": 1}', "in.jsonl:2: none of the key fields 'k' is set"),
        (
            '{"k": 1.5}',
            "in.jsonl:2: field 'k' must be a string, an integer or a list of them, not 1.5",
        ),
        (
            '{"k": ["a", true]}',
            "field 'k' must be a string, an integer or a list of them, not true",
        ),
        ('{"k": "b", "big": 18446744073709551616}', "in.jsonl:2: "),
    ],
)
def test_bad_input_lines_fail_with_their_line_number(tmp_path, line, message):
    source = tmp_path / "in.jsonl"
    source.write_text('{"k": "a"}\n' + line + "\n")
    result = quordb("build", str(tmp_path / "bad.qrdb"), str(source), "--key", "k")
    assert result.returncode == 1
    assert message in text(result)[1]
    assert not (tmp_path / "bad.qrdb").exists()


def test_keys_with_prefix_and_limit(people):
    assert text(quordb("keys", str(people)))[0].split() == ["1", "2", "30", "ada", "countess"]
    assert text(quordb("keys", str(people), "--prefix", "3"))[0] == "30\n"
    assert text(quordb("keys", str(people), "--prefix", "", "--limit", "2"))[0] == "1\n2\n"
    assert text(quordb("keys", str(people), "--limit", "0"))[0] == ""


def test_dump_renders_bytes_and_odd_maps_as_json(tmp_path):
    db = tmp_path / "odd.qrdb"
    writer = QuorWriter()
    writer.add({"blob": b"\x00\xff"}, "a")
    writer.add({1: "one"}, "b")
    writer.build(str(db))
    result = quordb("dump", str(db))
    assert result.returncode == 0
    assert [json.loads(line) for line in result.stdout.splitlines()] == [
        {"key": "a", "value": {"blob": {"$bytes": base64.b64encode(b"\x00\xff").decode()}}},
        {"key": "b", "value": {"$map": [[1, "one"]]}},
    ]


def test_stats_human_and_json(people):
    stats = QuorReader(people).stats()
    result = quordb("stats", str(people), "--json")
    assert result.returncode == 0 and json.loads(result.stdout) == stats
    human = text(quordb("stats", str(people)))[0]
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
    assert (result.returncode, text(result)[0]) == (0, f"OK  {people}: 5 keys, 3 objects\n")


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
