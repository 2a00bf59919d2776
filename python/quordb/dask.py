"""Shard sets and Dask: `to_quordb` builds one, `lookup` joins a collection against one.

Needs the ``dask`` extra (``pip install quordb[dask]``); the rest of quordb does not.
A local or shared directory is written in place by the workers; any other fsspec URL
(``s3://...``) gets shards built in a local temporary directory on each worker and then
uploaded.
"""

# Dask's functions carry no annotations.
# mypy: disable-error-code="no-untyped-call"
from __future__ import annotations

import os
import posixpath
import tempfile
from collections.abc import Callable, Iterable, Mapping, Sequence
from dataclasses import dataclass
from typing import Any

import dask.bag
import dask.dataframe
import pandas  # type: ignore[import-untyped]  # ships no type information
import pyarrow  # type: ignore[import-untyped]  # ships no type information
from dask.base import compute
from dask.delayed import delayed

from quordb._codec import encoder, plain_decoding, plain_encoder
from quordb._inputs import field_keys
from quordb._lookup import DTYPE_SAMPLE, DTypeSpec, Lookup, added_frame, empty_columns, join_key
from quordb._lookup import lookup_frame as _lookup_frame
from quordb._manifest import Manifest, ShardEntry, check_shard_count, shard_file_name
from quordb._open import open as open_database
from quordb._reader import Key, PathArg, path_text
from quordb._reader_cache import readers_opened, shared_reader
from quordb._set_build import SetBuild, stage_shard
from quordb._set_files import Files, LocalFiles, temporary_name
from quordb._shard_keys import KeyLike, key_list, split_keys

__all__ = ["lookup", "readers_opened", "to_quordb"]

#: What `key` may be: a field name, a list of field names, or a function of the record.
type KeySpec = str | Sequence[str] | Callable[[Any], Key | Iterable[Key]]

# A row of the shuffle is one record's copy for one shard: its msgpack bytes, its
# keys in that shard (a msgpack list) and its place in the input, partition and
# position packed in one int64 ("order"), which restores the input order inside
# the shard.
_POSITION_BITS = 32
_BINARY = pandas.ArrowDtype(pyarrow.large_binary())
_ROWS_META = pandas.DataFrame(
    {
        "shard": pandas.Series([], dtype="int64"),
        "order": pandas.Series([], dtype="int64"),
        "payload": pandas.Series([], dtype=_BINARY),
        "keys": pandas.Series([], dtype=_BINARY),
    }
)


def to_quordb(
    collection: Any,
    directory: PathArg,
    *,
    key: KeySpec,
    shards: int,
    default: Callable[[Any], Any] | None = None,
    table: bool = True,
) -> Manifest:
    """Build a shard set of *shards* shards in *directory* from a Dask collection.

    *collection* is a `dask.bag.Bag` of records or a `dask.dataframe.DataFrame`
    (each row a dict of column to value). *key* names the keys of a record: a
    field name, a list of field names (each gives a key), or a function returning
    one key or several. A field's value is a `str` or `bytes` key, an `int` (taken
    as its decimal text) or a list of those; an absent or null field gives no key,
    and every record needs one. Records are stored as msgpack, with *default* for
    what cannot be encoded otherwise, as `QuorWriter` does.

    Each record is encoded where it is read, then the encoded copies are shuffled
    by shard with Dask's DataFrame shuffle (peer-to-peer on a distributed cluster)
    and each shard is built in one task by a streaming writer, which adds the
    records in input order and holds only that shard's rows: a retried task
    writes the same file, and `ShardedWriter` given the same records
    in the same order writes the same files. The shards go into a directory of the
    build's own generation and the manifest is published once every shard is built,
    as `ShardedWriter` does; if the job fails, nothing is published and the staged
    shards are removed. A local *directory* is locked from the start: a second build
    of it fails at once. Runs on the current Dask scheduler (a `distributed.Client`,
    when one is active). Each shard carries a lookup table unless not *table* (see
    `QuorWriter`). Returns the published manifest.
    """
    shards = check_shard_count(shards)
    bag = _as_bag(collection)
    keys_of = _keys_function(key)
    build = _set_build(path_text(directory))
    try:
        target = _Target(build.staging, build.generation, build.files, table)
        count = bag.npartitions
        routed = dask.dataframe.from_delayed(
            bag.map_partitions(
                _route_partition, dask.bag.range(count, npartitions=count), keys_of, shards, default
            ).to_delayed(),
            meta=_ROWS_META,
            verify_meta=False,
        )
        # Divisions 0, 1, ..., shards - 1 put shard i alone in partition i.
        by_shard = routed.set_index("shard", divisions=[*range(shards), shards - 1])
        builds = [
            delayed(_build_shard)(part, shard, target)
            for shard, part in enumerate(by_shard.to_delayed())
        ]
        return build.publish(compute(*builds))
    except BaseException:
        build.abandon()
        raise


def _as_bag(collection: Any) -> Any:
    if isinstance(collection, dask.bag.Bag):
        return collection
    to_bag = getattr(collection, "to_bag", None)
    if to_bag is None:
        raise TypeError(
            f"to_quordb() takes a dask.bag.Bag or a dask.dataframe.DataFrame, "
            f"not {type(collection).__name__!r}"
        )
    return to_bag(index=False, format="dict")


def _field_keys(value: Any) -> list[Key]:
    return field_keys(value)  # the rule of quordb build's key fields, in one place


@dataclass(frozen=True, slots=True)
class _FieldKeys:
    """The keys found in a record's fields; picklable, unlike a closure."""

    fields: tuple[str, ...]

    def __call__(self, record: Any) -> list[Key]:
        return [key for field in self.fields for key in _field_keys(record.get(field))]


def _keys_function(key: KeySpec) -> Callable[[Any], Key | Iterable[Key]]:
    if isinstance(key, str):
        return _FieldKeys((key,))
    if callable(key):
        return key
    fields = tuple(key) if isinstance(key, list | tuple) else ()
    if not fields or not all(isinstance(field, str) for field in fields):
        raise TypeError("key must be a field name, a non-empty list of them, or a function")
    return _FieldKeys(fields)


def _route_partition(
    records: Iterable[Any],
    partition: Sequence[int],
    keys_of: Callable[[Any], Key | Iterable[Key]],
    shards: int,
    default: Callable[[Any], Any] | None,
) -> pandas.DataFrame:
    """Encode each record, and make a row for every shard its keys route to."""
    (index,) = partition
    pack = encoder(default)
    pack_keys = plain_encoder()
    shard_column: list[int] = []
    order_column: list[int] = []
    payloads: list[bytes] = []
    key_lists: list[bytes] = []
    for position, record in enumerate(records):
        keys = keys_of(record)
        if isinstance(keys, list | tuple) and not keys:
            raise ValueError(f"record {position} of partition {index} has no key")
        try:
            routed = split_keys(key_list(keys), shards)
        except ValueError as error:
            raise ValueError(f"record {position} of partition {index}: {error}") from None
        if position >> _POSITION_BITS:
            raise ValueError(f"partition {index} holds more than 2**{_POSITION_BITS} records")
        payload = pack(record)
        order = (index << _POSITION_BITS) | position
        for shard, shard_keys in routed.items():
            shard_column.append(shard)
            order_column.append(order)
            payloads.append(payload)
            key_lists.append(pack_keys(shard_keys))
    return pandas.DataFrame(
        {
            "shard": pandas.Series(shard_column, dtype="int64"),
            "order": pandas.Series(order_column, dtype="int64"),
            "payload": pandas.Series(payloads, dtype=_BINARY),
            "keys": pandas.Series(key_lists, dtype=_BINARY),
        }
    )


def _build_shard(rows: pandas.DataFrame, shard: int, target: _Target) -> ShardEntry:
    """Build shard *shard* from its rows, each record's copy an object, in input order."""
    rows = rows.sort_values("order")
    key_lists = map(plain_decoding().decode, rows["keys"].to_numpy())
    keys = ((key, obj_id) for obj_id, listed in enumerate(key_lists) for key in listed)
    # to_numpy hands out the bytes objects far faster than iterating the column.
    return target.build_shard(shard, rows["payload"].to_numpy(), keys)


class _NoLock:
    def release(self) -> None:
        pass


class FsspecFiles:
    """The file operations of a set's build on an fsspec file system.

    An object store has no locks, so two builds of one URL at once are the caller's to
    prevent, and its rename is a copy, so there the manifest's replacement is as atomic
    as the store's writes.
    """

    join = staticmethod(posixpath.join)

    def __init__(self, fs: Any) -> None:
        self.fs = fs

    def make_set_directory(self, path: str) -> bool:
        self.fs.makedirs(path, exist_ok=True)
        return False

    def lock(self, directory: str) -> _NoLock:
        return _NoLock()

    def make_directory(self, path: str) -> None:
        self.fs.makedirs(path, exist_ok=True)

    def names(self, directory: str) -> list[str]:
        try:
            listed = self.fs.ls(directory, detail=False)
        except FileNotFoundError:  # an object store holds no empty directory
            return []
        return [posixpath.basename(path.rstrip("/")) for path in listed]

    def read(self, path: str) -> bytes | None:
        try:
            return bytes(self.fs.cat_file(path))
        except FileNotFoundError:
            return None

    def write_atomically(self, path: str, data: bytes) -> None:
        temporary = temporary_name(path)
        self.fs.pipe_file(temporary, data)
        self.fs.mv(temporary, path)

    def sync_directory(self, directory: str) -> None:
        pass

    def remove(self, path: str) -> None:
        if self.fs.exists(path):
            self.fs.rm(path, recursive=True)

    def remove_set_directory(self, path: str) -> None:
        pass

    def put(self, local_path: str, path: str) -> None:
        self.fs.put_file(local_path, path)


def _set_build(directory: str) -> SetBuild:
    """The build of the set at *directory*: a local path, or any fsspec URL."""
    if "://" not in directory:
        return SetBuild(os.path.abspath(directory), LocalFiles())
    import fsspec  # type: ignore[import-untyped]  # optional, only for URLs

    fs, path = fsspec.core.url_to_fs(directory)
    return SetBuild(path, FsspecFiles(fs))


@dataclass(frozen=True)
class _Target:
    """Where a job's shards go, in the build's generation; sent to the workers."""

    staging: str
    generation: int
    files: Files
    table: bool = True

    def build_shard(
        self, shard: int, payloads: Iterable[bytes], keys: Iterable[tuple[KeyLike, int]]
    ) -> ShardEntry:
        """Write shard *shard* into the generation's directory; return its manifest entry."""
        if not isinstance(self.files, FsspecFiles):
            return stage_shard(
                self.staging, self.generation, shard, payloads, keys, table=self.table
            ).entry
        with tempfile.TemporaryDirectory(prefix="quordb-shard-") as scratch:
            entry = stage_shard(
                scratch, self.generation, shard, payloads, keys, table=self.table
            ).entry
            name = shard_file_name(shard)
            self.files.put(os.path.join(scratch, name), posixpath.join(self.staging, name))
        return entry


# --- lookup joins ---------------------------------------------------------------------


def lookup(
    collection: Any,
    on: str | Callable[[Any], Any],
    path: PathArg,
    *,
    columns: Sequence[str] | None = None,
    prefix: str = "",
    default: Any = None,
    raw: bool = False,
    dtypes: Mapping[str, DTypeSpec] | None = None,
    sample: int = DTYPE_SAMPLE,
) -> Any:
    """Join a Dask collection against the database at *path* by key, with no shuffle.

    *path* is a `.qrdb` file or a shard set's directory that every worker can read. Each
    worker process opens it once, on first use, and every task there reuses that reader
    (refreshed when a rebuild replaces the file or the set's manifest); each partition's
    keys go to it in one batch, which a shard set splits into one batch per shard.

    A `dask.dataframe.DataFrame` is joined on its column *on*: each partition gets the
    columns that `QuorReader.lookup_frame` adds (*columns*, *prefix*, *default*, *raw*).
    The type of each field's column is given in *dtypes*, or inferred on the client from
    the first *sample* objects of the database in key order and then held by every
    partition: a value that does not fit it raises `TypeError`, never widens it. A
    `dask.bag.Bag` is joined on ``on(item)``: it yields ``(item, object)`` pairs (the
    stored bytes with *raw*, *default* for a missing key).

    Keys are text, bytes or integers (as their decimal text); a null names no key.
    """
    directory = os.path.abspath(path_text(path))
    if isinstance(collection, dask.bag.Bag):
        if not callable(on) or columns is not None or dtypes is not None:
            raise TypeError("a Bag is joined on a function of the item, to whole objects")
        spec = Lookup.of(None, prefix, default, raw)
        return collection.map_partitions(_lookup_items, on, directory, spec)
    if not isinstance(collection, dask.dataframe.DataFrame):
        raise TypeError(
            f"lookup() takes a dask.bag.Bag or a dask.dataframe.DataFrame, "
            f"not {type(collection).__name__!r}"
        )
    if not isinstance(on, str) or on not in collection.columns:
        raise KeyError(on)
    spec = Lookup.of(columns, prefix, default, raw, dtypes)
    if spec.columns is not None and not all(name in spec.dtypes for name in spec.columns):
        with open_database(directory, verify=False) as reader:
            spec = spec.sampled(reader, sample)
    meta = added_frame(spec, collection._meta, empty_columns(spec))
    return collection.map_partitions(_lookup_partition, on, directory, spec, meta=meta)


def _lookup_partition(
    partition: pandas.DataFrame, on: str, path: str, spec: Lookup
) -> pandas.DataFrame:
    return _lookup_frame(shared_reader(path), partition, on, spec)


def _lookup_items(
    items: Iterable[Any], on: Callable[[Any], Any], path: str, spec: Lookup
) -> list[tuple[Any, Any]]:
    listed = list(items)
    (found,) = spec.values(shared_reader(path), [join_key(on(item)) for item in listed])
    return list(zip(listed, found, strict=True))
