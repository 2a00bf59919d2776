"""Shard sets: `ShardedWriter` builds one, `ShardedReader` reads it as one mapping.

The classes live in `quordb._sharded_writer` and `quordb._sharded_reader`, with the keys'
rules in `quordb._shard_keys` and the build's steps in `quordb._set_build`; this module
gathers the public names.
"""

from quordb._sharded_reader import ShardedReader, open
from quordb._sharded_writer import ShardedWriter

__all__ = ["ShardedReader", "ShardedWriter", "open"]
