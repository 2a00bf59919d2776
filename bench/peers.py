"""Store adapters: quordb and the peers it is measured against.

An adapter turns a `DataSet` into its build input (`prepare`, untimed), builds a file from it
(`build`, timed) and answers the timed queries. Point lookups all run the loops of `Store`:
`f = bound method; for k in keys: f(k)`, the method coming from the store's `getter` or
`container` hook, so Python's share of the time has the same shape for every store. A hook or
method left `None` means the store has no such operation.
"""

from __future__ import annotations

import os
import pickle
import shutil
import sqlite3
from contextlib import contextmanager
from time import perf_counter_ns

from data import DataSet


@contextmanager
def stdout_fd_silenced():
    """Sends fd 1 to /dev/null: quordb's `build()` writes its summary line there directly."""
    saved = os.dup(1)
    devnull = os.open(os.devnull, os.O_WRONLY)
    try:
        os.dup2(devnull, 1)
        yield
    finally:
        os.dup2(saved, 1)
        os.close(saved)
        os.close(devnull)


def path_size(path: str) -> int:
    if os.path.isdir(path):
        return sum(e.stat().st_size for e in os.scandir(path) if e.is_file())
    return os.path.getsize(path)


def remove_path(path: str) -> None:
    if os.path.isdir(path):
        shutil.rmtree(path)
    elif os.path.exists(path):
        os.remove(path)


class Store:
    name = "?"
    skipped: str | None = None  # why the store cannot run here
    in_memory = False  # no file: build, open, size and memory rows do not apply
    disk_lookups = False  # lookup rows repeated with the file on a regular filesystem
    bytes_keys = False  # takes UTF-8 bytes keys, encoded outside the timing
    # handle -> the bound method a lookup loop calls once per key
    getter = container = None
    build = open = prefix = keys = items = None

    def lookup_keys(self, keys: list[str]) -> list:
        return [k.encode() for k in keys] if self.bytes_keys else keys

    def prepare(self, ds: DataSet):
        return list(zip(self.lookup_keys(ds.keys), ds.values()))

    def close(self, handle) -> None:
        if hasattr(handle, "close"):
            handle.close()

    def get_hits(self, handle, keys) -> None:
        get = self.getter(handle)
        for k in keys:
            get(k)

    def get_misses(self, handle, keys) -> None:
        get = self.getter(handle)
        for k in keys:
            get(k)

    def exists(self, handle, keys) -> None:
        contains = self.container(handle)
        for k in keys:
            contains(k)


class Quordb(Store):
    name = "quordb"
    disk_lookups = True

    def __init__(self):
        from quordb import _quordb

        self.mod = _quordb
        self.build_call_ns = 0  # the last build() call alone, without the add calls

    def prepare(self, ds):
        return ds

    def build(self, path, ds):
        w = self.mod._QuorWriter()
        add = w.add_object_raw
        for obj in ds.objects:
            add(obj)
        add_key = w.add_key
        for k, i in zip(ds.keys, ds.obj_ids):
            add_key(k, i)
        with stdout_fd_silenced():
            t0 = perf_counter_ns()
            w.build(path)
            self.build_call_ns = perf_counter_ns() - t0

    def open(self, path, verify=False):
        return self.mod._QuorReader(path, verify)

    def getter(self, r):
        return r.get_raw

    def container(self, r):
        return r.exists

    def prefix(self, r, p):
        return r.prefix_raw(p)

    def keys(self, r):
        return r.keys()

    def items(self, r):
        return r.items_raw()


class Dict(Store):
    """The floor: a dict in memory. Its values are bytearrays, so that `bytes(v)` makes the
    copy every store's lookup hands back."""

    name = "dict"
    in_memory = True

    def build(self, path, pairs):
        return {k: bytearray(v) for k, v in pairs}

    def getter(self, d):
        return d.get

    def container(self, d):
        return d.__contains__

    def get_hits(self, d, keys):
        get = d.get
        for k in keys:
            bytes(get(k))

    @staticmethod
    def exists_in(d, keys):
        for k in keys:
            k in d  # noqa: B015 - the operator itself is what is measured

    def keys(self, d):
        return list(d)

    def items(self, d):
        return list(d.items())


class Pickle(Store):
    """The load-everything baseline: the dict with bytes values, pickled to one file."""

    name = "pickle"

    def prepare(self, ds):
        return dict(zip(ds.keys, ds.values()))

    def build(self, path, d):
        with open(path, "wb") as f:
            pickle.dump(d, f, protocol=pickle.HIGHEST_PROTOCOL)

    def open(self, path):
        with open(path, "rb") as f:
            return pickle.load(f)


class Sqlite(Store):
    name = "sqlite3"

    def build(self, path, pairs):
        con = sqlite3.connect(path)
        con.execute("CREATE TABLE kv (k TEXT PRIMARY KEY, v BLOB NOT NULL) WITHOUT ROWID")
        with con:
            con.executemany("INSERT INTO kv VALUES (?, ?)", pairs)
        con.close()

    def open(self, path):
        return sqlite3.connect(f"file:{path}?mode=ro", uri=True)

    @staticmethod
    def _query(con, sql):
        # The lambda's frame is well under 1% of a SELECT.
        execute = con.cursor().execute
        return lambda k: execute(sql, (k,)).fetchone()

    def getter(self, con):
        return self._query(con, "SELECT v FROM kv WHERE k = ?")

    def container(self, con):
        return self._query(con, "SELECT 1 FROM kv WHERE k = ?")

    def prefix(self, con, p):
        # A key byte after the prefix is below F4, U+10FFFF's lead byte: this bounds the range.
        sql = "SELECT k, v FROM kv WHERE k >= ? AND k < ?"
        return con.execute(sql, (p, p + "\U0010ffff")).fetchall()

    def keys(self, con):
        return con.execute("SELECT k FROM kv").fetchall()

    def items(self, con):
        return con.execute("SELECT k, v FROM kv").fetchall()


class Lmdb(Store):
    name = "lmdb"
    bytes_keys = True

    def __init__(self):
        import lmdb

        self.lmdb = lmdb

    def build(self, path, pairs):
        size = sum(len(k) + len(v) for k, v in pairs)
        env = self.lmdb.open(path, subdir=False, map_size=3 * size + (64 << 20), lock=False)
        with env.begin(write=True) as txn:
            txn.cursor().putmulti(sorted(pairs), append=True)  # the bulk path wants sorted keys
        env.close()

    def open(self, path):
        env = self.lmdb.open(path, subdir=False, readonly=True, lock=False)
        return env, env.begin()  # one read transaction, reused by every lookup

    def close(self, handle):
        handle[1].abort()
        handle[0].close()

    def getter(self, h):
        return h[1].get

    def container(self, h):
        return h[1].cursor().set_key

    def prefix(self, h, p):
        cursor, out = h[1].cursor(), []
        if cursor.set_range(p):
            for k, v in cursor:
                if not k.startswith(p):
                    break
                out.append((k, v))
        return out

    def keys(self, h):
        return list(h[1].cursor().iternext(values=False))

    def items(self, h):
        return list(h[1].cursor().iternext())


class Marisa(Store):
    name = "marisa-trie"

    def __init__(self):
        import marisa_trie

        self.marisa = marisa_trie

    def build(self, path, pairs):
        self.marisa.BytesTrie(pairs).save(path)

    def open(self, path):
        return self.marisa.BytesTrie().mmap(path)

    def close(self, handle):
        pass

    def getter(self, t):
        return t.get  # a list: a BytesTrie key may hold several values

    def container(self, t):
        return t.__contains__

    def prefix(self, t, p):
        return t.items(p)

    def keys(self, t):
        return t.keys()

    def items(self, t):
        return t.items()


class Cdbx(Store):
    name = "cdbx"
    disk_lookups = True
    bytes_keys = True  # it would encode str keys as latin-1

    def __init__(self):
        import cdbx

        self.cdbx = cdbx

    def build(self, path, pairs):
        maker = self.cdbx.CDB.make(path)
        add = maker.add
        for k, v in pairs:
            add(k, v)
        maker.commit().close()

    def open(self, path):
        return self.cdbx.CDB(path, mmap=True)

    def getter(self, db):
        return db.get

    def container(self, db):
        return db.__contains__

    def keys(self, db):
        return list(db.keys())

    def items(self, db):
        return list(db.items())


class Rocksdict(Store):
    """RocksDB bulk-loaded the recommended way: one sorted SST file, ingested."""

    name = "rocksdict"
    bytes_keys = True

    def __init__(self):
        import rocksdict

        self.rd = rocksdict
        self.options = rocksdict.Options(raw_mode=True)

    def build(self, path, pairs):
        sst = path + ".sst"
        writer = self.rd.SstFileWriter(self.options)
        writer.open(sst)
        for k, v in sorted(pairs):
            writer[k] = v
        writer.finish()
        db = self.rd.Rdict(path, self.options)
        db.ingest_external_file([sst])
        db.close()
        remove_path(sst)

    def open(self, path):
        return self.rd.Rdict(path, self.options, access_type=self.rd.AccessType.read_only())

    def getter(self, db):
        return db.get

    def container(self, db):
        return db.__contains__

    def prefix(self, db, p):
        it, out = db.iter(), []
        it.seek(p)
        while it.valid() and (k := it.key()).startswith(p):
            out.append((k, it.value()))
            it.next()
        return out

    def keys(self, db):
        return list(db.keys())

    def items(self, db):
        return list(db.items())


class Keyvi(Store):
    """keyvi stores JSON values (msgpack inside) and hands back that msgpack."""

    name = "keyvi"

    def __init__(self):
        import keyvi.compiler
        import keyvi.dictionary

        self.compiler = keyvi.compiler
        self.dictionary = keyvi.dictionary

    def prepare(self, ds):
        import json

        import msgpack

        as_json = [json.dumps(msgpack.unpackb(o)) for o in ds.objects]
        return [(k, as_json[i]) for k, i in zip(ds.keys, ds.obj_ids)]

    def build(self, path, pairs):
        compiler = self.compiler.JsonDictionaryCompiler()
        add = compiler.add
        for k, v in pairs:
            add(k, v)
        compiler.compile()
        compiler.write_to_file(path)

    def open(self, path):
        return self.dictionary.Dictionary(path)

    def close(self, handle):
        pass

    def getter(self, d):
        return d.get

    def container(self, d):
        return d.__contains__

    def get_hits(self, d, keys):
        get = d.get
        for k in keys:
            get(k).msgpacked_value_as_string()

    def prefix(self, d, p):
        return [(m.matched_string, m.msgpacked_value_as_string()) for m in d.complete_prefix(p)]

    def keys(self, d):
        return list(d.keys())

    def items(self, d):
        return self.prefix(d, "")


class PythonCdb(Store):
    name = "python-cdb"

    def __init__(self):
        import cdb  # noqa: F401


PEERS = (Dict, Pickle, Sqlite, Lmdb, Marisa, Cdbx, Rocksdict, Keyvi, PythonCdb)
SKIP_HINTS = {
    "python-cdb": "its C source uses the Python 2 C API (staticforward, PyStringObject) "
    "and does not build on Python 3",
}


def load_store(cls) -> Store:
    """An instance, or a stand-in whose `skipped` says why the store cannot run here."""
    try:
        return cls()
    except ImportError as e:
        stub = Store()
        stub.name = cls.name
        stub.skipped = f"not installed (no module {e.name!r})"
        if cls.name in SKIP_HINTS:
            stub.skipped += ": " + SKIP_HINTS[cls.name]
        return stub


def store_by_name(name: str) -> Store:
    return next(cls for cls in (Quordb, *PEERS) if cls.name == name)()
