"""Readers given ``type=``: every way of reading decodes as the type, and a stored object that
does not match it is named by its key while the reader goes on."""

import dataclasses
import pickle
from typing import TypedDict

import msgspec
import pytest

import quordb
from quordb import DecodeError, QuorWriter, ShardedWriter


class PersonStruct(msgspec.Struct):
    name: str
    age: int


@dataclasses.dataclass
class PersonClass:
    name: str
    age: int


class PersonDict(TypedDict):
    name: str
    age: int


class PersonRaw(msgspec.Struct):
    """Its name stays the stored bytes: a view into the file that must outlive the reader."""

    name: msgspec.Raw
    age: int


RECORDS = {
    f"p{i:03d}": {"name": f"n{i}", "age": i, "langs": ["en"], "notes": None} for i in range(300)
}
# Stored among them, and not a person: its age is text.
BAD_KEY = "p150"
BAD_RECORD = {"name": "Old", "age": "very"}

# (type, what a record decodes as)
TYPES = pytest.mark.parametrize(
    ("kind", "made"),
    [
        (PersonStruct, lambda r: PersonStruct(r["name"], r["age"])),
        (PersonClass, lambda r: PersonClass(r["name"], r["age"])),
        (PersonDict, lambda r: {"name": r["name"], "age": r["age"]}),
        (dict[str, object], lambda r: r),
        (PersonRaw, lambda r: PersonRaw(msgspec.Raw(msgspec.msgpack.encode(r["name"])), r["age"])),
    ],
    ids=["Struct", "dataclass", "TypedDict", "dict", "Raw"],
)

# Every way of reading that decodes, with what it gives for *keys* of a reader.
READS = {
    "getitem": lambda db, keys: [db[k] for k in keys],
    "get": lambda db, keys: [db.get(k) for k in keys],
    "get_many": lambda db, keys: db.get_many([*keys, "absent"])[:-1],
    "items": lambda db, keys: [v for k, v in db.items() if k in keys],
    "values": lambda db, keys: [v for k, v in zip(db, db.values(), strict=True) if k in keys],
    "prefix": lambda db, keys: [v for k, v in db.prefix("p") if k in keys],
    "range": lambda db, keys: [v for k, v in db.range("p", "q") if k in keys],
}


def store(records, path, shards):
    if shards is None:
        writer = QuorWriter()
        writer.add_many((record, key) for key, record in records.items())
        writer.build(path)
    else:
        with ShardedWriter(path, shards=shards) as writer:
            writer.add_many((record, key) for key, record in records.items())
    return path


@pytest.fixture(scope="module", params=[None, 3], ids=["file", "shard set"])
def stored(request, tmp_path_factory):
    """The records in a file or a shard set, and again with the bad one among them."""
    where = tmp_path_factory.mktemp("typed")
    return (
        store(RECORDS, where / "good", request.param),
        store({**RECORDS, BAD_KEY: BAD_RECORD}, where / "mixed", request.param),
    )


@TYPES
@pytest.mark.parametrize("read", READS.values(), ids=READS)
def test_every_read_decodes_as_the_type(stored, kind, made, read):
    db = quordb.open(stored[0], type=kind)
    keys = ["p000", "p007", "p299"]
    decoded = read(db, keys)
    db.close()  # what was decoded keeps no less than the bytes it was decoded from
    assert decoded == [made(RECORDS[k]) for k in keys]


@pytest.mark.parametrize(
    "read", [*READS.values(), lambda db, keys: db.objects()], ids=[*READS, "objects"]
)
def test_an_object_that_does_not_match_is_named_and_the_reader_goes_on(stored, read):
    db = quordb.open(stored[1], type=PersonStruct)
    with pytest.raises(DecodeError) as raised:
        read(db, [BAD_KEY])
    error = raised.value
    assert isinstance(error, ValueError) and isinstance(error.__cause__, msgspec.ValidationError)
    assert error.key in (BAD_KEY, None)  # objects() asks for no key
    assert error.reason == "does not match PersonStruct: Expected `int`, got `str` - at `$.age`"
    if error.key is not None:
        assert str(error) == f"QuorError: the object of key '{BAD_KEY}' {error.reason}"
    copied = pickle.loads(pickle.dumps(error))  # as a worker's failure reaches its client
    assert (type(copied), copied.args, copied.key, copied.reason) == (
        DecodeError,
        error.args,
        error.key,
        error.reason,
    )
    assert db["p001"] == PersonStruct("n1", 1)
    assert quordb.open(stored[1])[BAD_KEY] == BAD_RECORD


@pytest.mark.parametrize(
    "scan",
    [lambda db: iter(db.items()), lambda db: iter(db.values()), lambda db: db.range()],
    ids=["items", "values", "range"],
)
def test_a_scan_that_met_an_object_it_cannot_decode_ends_there(stored, scan):
    running = scan(quordb.open(stored[1], type=PersonStruct))
    with pytest.raises(DecodeError):
        list(running)
    assert list(running) == []
