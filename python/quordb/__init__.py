"""quordb: a read-optimised, write-once key-to-object database in one memory-mapped file.

Build a database with `QuorWriter`, read it with `QuorReader`::

    from quordb import QuorReader, QuorWriter

    w = QuorWriter()
    w.add({"name": "Ada", "langs": ["en"]}, ["user:1", "ada@example.org"])
    w.build("users.qrdb")

    with QuorReader("users.qrdb") as db:
        db["user:1"]["name"]                  # 'Ada'
        [k for k, _ in db.prefix("user:")]    # ['user:1']

Objects are stored as msgpack; the native classes underneath (`quordb._quordb`)
deal in the encoded bytes and are reachable through the ``raw`` attribute.
"""

from quordb._quordb import __version__
from quordb._reader import Key, PathArg, QuorReader
from quordb._sharded import ShardedReader, ShardedWriter, open
from quordb._writer import QuorWriter

__all__ = [
    "Key",
    "PathArg",
    "QuorReader",
    "QuorWriter",
    "ShardedReader",
    "ShardedWriter",
    "__version__",
    "open",
]
