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

from quordb import ShardedReader, ShardedWriter
from quordb.dask import to_quordb

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
