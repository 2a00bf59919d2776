"""quordb.dask.to_quordb on a real two-process LocalCluster."""

import filecmp
import os
import signal
import sys

import pytest

distributed = pytest.importorskip("distributed")
dask_bag = pytest.importorskip("dask.bag")
pd = pytest.importorskip("pandas")
dd = pytest.importorskip("dask.dataframe")
cloudpickle = pytest.importorskip("cloudpickle")
pyarrow = pytest.importorskip("pyarrow")

import msgpack

from quordb import QuorWriter, ShardedReader, ShardedWriter
from quordb import open as quordb_open
from quordb.dask import lookup, readers_opened, to_quordb

# The workers cannot import this file; ship its functions by value.
cloudpickle.register_pickle_by_value(sys.modules[__name__])

RECORDS = 200_000
SHARDS = 5


def record(i):
    # Every 7th record also has an alias key, which often routes to another shard.
    keys = [f"user:{i}", f"alias:{i}"] if i % 7 == 0 else [f"user:{i}"]
    return {"id": i, "keys": keys, "name": f"n{i % 1000}", "blob": bytes([i % 256])}


def keys_of(rec):
    return rec["keys"]


@pytest.fixture(scope="module")
def client():
    with (
        distributed.LocalCluster(
            n_workers=2,
            threads_per_worker=1,
            processes=True,
            dashboard_address=None,
            silence_logs=40,
        ) as cluster,
        distributed.Client(cluster) as client,
    ):
        yield client


def records_bag(count, partitions):
    return dask_bag.range(count, npartitions=partitions).map(record)


def test_dask_build_equals_a_dict_and_the_local_build_byte_for_byte(client, tmp_path):
    on_dask, local = tmp_path / "dask", tmp_path / "local"
    manifest = to_quordb(records_bag(RECORDS, 8), on_dask, key=keys_of, shards=SHARDS)
    # The same records in the same order (partition by partition) through the local writer.
    with ShardedWriter(local, shards=SHARDS) as writer:
        for i in range(RECORDS):
            rec = record(i)
            writer.add(rec, rec["keys"])
    assert sorted(os.listdir(on_dask)) == [".lock", "gen-00000001", "manifest.json"]
    names = ["manifest.json"] + [f"gen-00000001/part-0000{i}.qrdb" for i in range(SHARDS)]
    _same, mismatch, errors = filecmp.cmpfiles(on_dask, local, names, shallow=False)
    assert (mismatch, errors) == ([], [])
    model = {}
    for i in range(RECORDS):
        rec = record(i)
        model.update(dict.fromkeys(rec["keys"], rec))
    with ShardedReader(on_dask) as reader:
        assert len(reader) == len(model) == sum(e.num_keys for e in manifest.shards)
        previous = None
        for key, value in reader.items():
            assert previous is None or previous < key.encode()
            previous = key.encode()
            assert model[key] == value
        assert reader.verify() is True


def test_dataframe_rows_with_field_keys(client, tmp_path):
    frame = pd.DataFrame({"id": [1, 2, 3, 4], "code": ["a", None, "c", "d"], "x": [0.5] * 4})
    to_quordb(dd.from_pandas(frame, npartitions=2), tmp_path, key=["id", "code"], shards=3)
    with ShardedReader(tmp_path) as reader:
        assert dict(reader) == {
            "1": {"id": 1, "code": "a", "x": 0.5},
            "a": {"id": 1, "code": "a", "x": 0.5},
            "2": {"id": 2, "code": None, "x": 0.5},
            "3": {"id": 3, "code": "c", "x": 0.5},
            "c": {"id": 3, "code": "c", "x": 0.5},
            "4": {"id": 4, "code": "d", "x": 0.5},
            "d": {"id": 4, "code": "d", "x": 0.5},
        }


def test_fsspec_url_builds_locally_and_uploads(client, tmp_path):
    pytest.importorskip("fsspec")
    to_quordb(records_bag(500, 3), f"file://{tmp_path}/set", key=keys_of, shards=2)
    with ShardedReader(tmp_path / "set") as reader:
        assert reader["user:42"] == record(42)
        assert len(reader) == 500 + 72
        assert reader.verify() is True


def test_failed_job_publishes_nothing(client, tmp_path):
    old = {"user:1": "old"}
    with ShardedWriter(tmp_path, shards=2) as writer:
        writer.add("old", "user:1")
    bad = records_bag(1000, 4).map(
        lambda rec: {**rec, "keys": [] if rec["id"] == 500 else rec["keys"]}
    )
    with pytest.raises(ValueError, match="has no key"):
        to_quordb(bad, tmp_path, key=keys_of, shards=3)
    assert sorted(os.listdir(tmp_path)) == [".lock", "gen-00000001", "manifest.json"]
    with ShardedReader(tmp_path) as reader:
        assert dict(reader) == old


def test_worker_killed_mid_build(client, tmp_path):
    marker = tmp_path / "killed"

    def keys_or_die(rec):
        if rec["id"] == 700 and not marker.exists():
            marker.touch()
            os.kill(os.getpid(), signal.SIGKILL)
        return rec["keys"]

    try:
        to_quordb(records_bag(2000, 4), tmp_path / "set", key=keys_or_die, shards=3)
    except distributed.scheduler.KilledWorker:
        # Dask may give up on the task; then nothing is published, and the directory made
        # for the set is gone with what was staged in it.
        assert not (tmp_path / "set").exists()
    else:
        with ShardedReader(tmp_path / "set") as reader:
            assert len(reader) == 2000 + 286
            assert reader["alias:700"] == record(700)
            assert reader.verify() is True
    assert marker.exists()


@pytest.mark.parametrize(
    ("collection", "key", "message"),
    [
        (lambda: [{"id": "a"}], "id", "takes a dask.bag.Bag or a dask.dataframe.DataFrame"),
        (lambda: dask_bag.from_sequence([{"id": "a"}]), [], "key must be a field name"),
        (lambda: dask_bag.from_sequence([{"id": "a"}]), 5, "key must be a field name"),
        (lambda: dask_bag.from_sequence([{"id": 1.5}]), "id", "key field must be .*, not 1.5"),
        (lambda: dask_bag.from_sequence([{"id": True}]), "id", "key field must be .*, not true"),
    ],
)
def test_bad_collection_or_key_is_refused(client, tmp_path, collection, key, message):
    with pytest.raises(TypeError, match=message):
        to_quordb(collection(), tmp_path, key=key, shards=2)
    assert not (tmp_path / "manifest.json").exists()


# --- lookup joins ---------------------------------------------------------------------

JOINED = {f"user:{i}": {"id": i, "name": f"n{i}", "age": i % 90 or None} for i in range(300)}
JOINED |= {bytes([0xFF, i]): {"id": -i, "name": "not UTF-8", "age": 1} for i in range(50)}


@pytest.fixture(params=["file", "shard set"])
def joined_db(request, tmp_path):
    path = tmp_path / request.param.replace(" ", "-")
    if request.param == "file":
        writer = QuorWriter()
        for key, obj in JOINED.items():
            writer.add(obj, key)
        writer.build(str(path))
    else:
        with ShardedWriter(path, shards=4) as writer:
            for key, obj in JOINED.items():
                writer.add(obj, key)
    return path


def readers_per_worker(client):
    return client.run(readers_opened)


@pytest.mark.parametrize(
    ("keys", "dtype"),
    [
        ([f"user:{i}" for i in range(0, 600, 3)] + [None], pyarrow.string()),
        ([bytes([0xFF, i]) for i in range(0, 100, 2)] + [b"\xfe", None], pyarrow.binary()),
    ],
    ids=["text", "bytes not UTF-8"],
)
@pytest.mark.parametrize("options", [{"columns": ["name", "age"]}, {}, {"raw": True}])
def test_lookup_joins_every_partition_as_lookup_frame_with_one_reader_a_worker(
    client, joined_db, keys, dtype, options
):
    # Dask holds keys in Arrow columns: it would decode an object column of bytes as text.
    left = pd.DataFrame({"key": pd.Series(keys, dtype=pd.ArrowDtype(dtype)), "n": range(len(keys))})
    client.wait_for_workers(2)  # a test before may have killed one
    before = readers_per_worker(client)
    joined = lookup(dd.from_pandas(left, npartitions=6), "key", joined_db, **options)
    result = joined.compute()
    with quordb_open(joined_db) as reader:
        expected = reader.lookup_frame(left, "key", **options)
    pd.testing.assert_frame_equal(result.sort_index(), expected)
    assert dict(joined.dtypes) == dict(result.dtypes)
    opened = {w: n - before.get(w, 0) for w, n in readers_per_worker(client).items()}
    assert set(opened.values()) <= {0, 1} and 1 in opened.values()


@pytest.mark.parametrize(
    ("dtypes", "failure"),
    [(None, "Float value 1.5.* was truncated"), ({"age": "double"}, None)],
)
def test_lookup_types_sampled_on_the_client_hold_in_every_partition(
    client, tmp_path, dtypes, failure
):
    # The first objects in key order hold integers, the last one a float.
    with ShardedWriter(tmp_path, shards=2) as writer:
        for i in range(20):
            writer.add({"age": i}, f"a{i:02d}")
        writer.add({"age": 1.5}, "z")
    left = dd.from_pandas(pd.DataFrame({"k": ["a01", "a02", "z"]}), npartitions=3)
    joined = lookup(left, "k", tmp_path, columns=["age"], dtypes=dtypes, sample=10)
    if failure is not None:
        assert joined.dtypes["age"] == pd.ArrowDtype(pyarrow.int64())
        with pytest.raises(TypeError, match=failure):
            joined.compute()
    else:
        assert joined.compute()["age"].tolist() == [1.0, 2.0, 1.5]


@pytest.mark.parametrize(
    ("options", "values"),
    [
        ({}, lambda key: JOINED.get(key)),
        ({"default": {}}, lambda key: JOINED.get(key, {})),
        ({"raw": True}, lambda key: None if key not in JOINED else msgpack.packb(JOINED[key])),
    ],
)
def test_lookup_on_a_bag_pairs_each_item_with_its_object(client, joined_db, options, values):
    items = [{"ref": i} for i in range(0, 400, 7)]
    pairs = lookup(
        dask_bag.from_sequence(items, npartitions=4), key_of_item, joined_db, **options
    ).compute()
    assert pairs == [(item, values(key_of_item(item))) for item in items]


def key_of_item(item):
    return f"user:{item['ref']}"


def test_worker_killed_mid_join(client, joined_db, tmp_path):
    marker = tmp_path / "killed"

    def key_or_die(item):
        if item == 150 and not marker.exists():
            marker.touch()
            os.kill(os.getpid(), signal.SIGKILL)
        return f"user:{item}"

    items = dask_bag.range(300, npartitions=4)
    try:
        pairs = lookup(items, key_or_die, joined_db, columns=None).compute()
    except distributed.scheduler.KilledWorker:
        pass  # Dask gave up on the task: the join fails as a whole
    else:
        assert pairs == [(i, JOINED[f"user:{i}"]) for i in range(300)]
    assert marker.exists()


@pytest.mark.parametrize(
    ("collection", "on", "options", "error"),
    [
        (lambda: pd.DataFrame({"k": ["a"]}), "k", {}, TypeError),
        (lambda: dd.from_pandas(pd.DataFrame({"k": ["a"]}), npartitions=1), "x", {}, KeyError),
        (lambda: dask_bag.from_sequence(["a"]), "k", {}, TypeError),
        (lambda: dask_bag.from_sequence(["a"]), str, {"columns": ["a"]}, TypeError),
    ],
)
def test_lookup_refuses_what_it_cannot_join(joined_db, collection, on, options, error):
    with pytest.raises(error):
        lookup(collection(), on, joined_db, **options)
