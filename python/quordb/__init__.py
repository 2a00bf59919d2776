"""quordb: a read-optimised, write-once key-to-object database in one memory-mapped file.

Build a database with `QuorWriter`, read it with `QuorReader`::

    from quordb import QuorReader, QuorWriter

    w = QuorWriter()
    w.add({"name": "Ada", "langs": ["en"]}, ["user:1", "ada@example.org"])
    w.build("users.qrdb")

    with QuorReader("users.qrdb") as db:
        db["user:1"]["name"]                  # 'Ada'
        [k for k, _ in db.prefix("user:")]    # ['user:1']

Objects are stored as msgpack, encoded and decoded by msgspec; ``QuorReader(path, type=T)``
decodes each as *T* (a `msgspec.Struct`, a dataclass...). `QuorReader` rests on the package's own native reader
(`quordb._native`), whose listings are lazy and exact and whose batched lookups release the
interpreter lock; its ``*_raw`` methods hand out the stored bytes.
"""

from quordb._codec import Ext
from quordb._errors import (
    CorruptError,
    DecodeError,
    DuplicateKeyError,
    StoreError,
    StoreIOError,
    VersionError,
)
from quordb._open import open
from quordb._reader import Key, PathArg, QuorReader

TYPE_CHECKING = False
if TYPE_CHECKING:
    from quordb._quordb import __version__
    from quordb._sharded_reader import ShardedReader
    from quordb._sharded_writer import ShardedWriter
    from quordb._writer import OnDuplicate, QuorWriter

# What a reader does not need is imported on first use, so that `import quordb`
# stays as cheap as opening a file: name -> the module that defines it.
_LAZY = {
    "OnDuplicate": "quordb._writer",
    "QuorWriter": "quordb._writer",
    "ShardedReader": "quordb._sharded_reader",
    "ShardedWriter": "quordb._sharded_writer",
    "__version__": "quordb._quordb",
}


def __getattr__(name: str) -> object:
    module = _LAZY.get(name)
    if module is None:
        raise AttributeError(f"module 'quordb' has no attribute {name!r}")
    value = getattr(__import__(module, fromlist=[name]), name)
    globals()[name] = value
    return value


def __dir__() -> list[str]:
    return sorted({*globals(), *_LAZY})


__all__ = [
    "CorruptError",
    "DecodeError",
    "DuplicateKeyError",
    "Ext",
    "Key",
    "OnDuplicate",
    "PathArg",
    "QuorReader",
    "QuorWriter",
    "ShardedReader",
    "ShardedWriter",
    "StoreError",
    "StoreIOError",
    "VersionError",
    "__version__",
    "open",
]
