"""The quordb command and the demo, run as users run them: in a child interpreter."""

import base64
import contextlib
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
    source = tmp_path / "in.jsonl"
    source.write_text("".join(f'{{"k": "{i}"}}\n' for i in range(10_000)))
    result = quordb("build", str(tmp_path / "f.qrdb"), str(source), "--key", "k", "--progress")
    out, err = text(result)
    # Against the size of a regular file: a percentage of the bytes read.
    assert result.returncode == 0 and "100%" in err and "read 10,000 lines" in err
    assert "100%" not in out


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
    (tmp_path / "bad.qrdb").write_bytes(b"old contents")
    result = quordb("build", str(tmp_path / "bad.qrdb"), str(source), "--key", "k")
    assert result.returncode == 1
    assert message in text(result)[1]
    assert (tmp_path / "bad.qrdb").read_bytes() == b"old contents"
    assert not (tmp_path / "bad.qrdb.tmp").exists()


@pytest.mark.parametrize(
    ("bad_line", "message"),
    [
        ('{"k": "b", "big": 18446744073709551616}', "Integer value out of range"),
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
        f"quordb: {out}: QuorIOError: open tmp: No such file or directory (os error 2)\n"
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


@pytest.fixture
def people_set(people, tmp_path):
    """The records of `people`, built as a shard set of 3."""
    source = tmp_path / "people.jsonl"
    result = quordb(
        "build",
        "--shards",
        "3",
        str(tmp_path / "set"),
        str(source),
        "--key",
        "id",
        "--key",
        "aliases",
    )
    assert result.returncode == 0, result.stderr
    assert text(result)[0] == f"✅  {tmp_path / 'set'}  —  3 shards · 4 objects · 5 keys · 0.4 KB\n"
    return tmp_path / "set"


@pytest.mark.parametrize(
    "command",
    [
        ["get", "DB", "countess"],
        ["keys", "DB"],
        ["keys", "DB", "--prefix", "c", "--limit", "1"],
        ["dump", "DB"],
        ["get", "DB", "nobody"],
    ],
)
def test_read_commands_answer_alike_for_a_shard_set(people, people_set, command):
    single = quordb(*[str(people) if a == "DB" else a for a in command])
    sharded = quordb(*[str(people_set) if a == "DB" else a for a in command])
    assert sharded.returncode == single.returncode
    assert text(sharded) == tuple(t.replace(str(people), str(people_set)) for t in text(single))


def test_stats_and_damage_of_a_shard_set(people_set):
    stats = json.loads(quordb("stats", str(people_set), "--json").stdout)
    assert (stats["shard_count"], stats["num_keys"], len(stats["shards"])) == (3, 5, 3)
    assert "shards          3" in text(quordb("stats", str(people_set)))[0]
    # One object's keys route to two shards, so it is stored twice.
    assert text(quordb("verify", str(people_set)))[0] == f"OK  {people_set}: 5 keys, 4 objects\n"
    shard = people_set / "part-00001.qrdb"
    blob = bytearray(shard.read_bytes())
    blob[45] ^= 0xFF
    shard.write_bytes(bytes(blob))
    result = quordb("verify", str(people_set))
    assert result.returncode == 1
    assert f"QuorCorruptError: {shard}: " in text(result)[1]


def test_failed_sharded_build_leaves_nothing(tmp_path):
    source = tmp_path / "in.jsonl"
    source.write_text('{"k": "a"}\n{"k": 1.5}\n')
    result = quordb("build", "--shards", "2", str(tmp_path / "set"), str(source), "--key", "k")
    assert result.returncode == 1 and "in.jsonl:2: " in text(result)[1]
    assert sorted(p.name for p in tmp_path.iterdir()) == ["in.jsonl"]
