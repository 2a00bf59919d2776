"""`open`: the reader for a path, a file's or a shard set's."""

from __future__ import annotations

import os

from quordb._reader import PathArg, QuorReader, path_text

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Callable
    from typing import Any

    from quordb._sharded_reader import ShardedReader

__all__ = ["open"]


def open(
    path: PathArg,
    verify: bool = True,
    *,
    ext_hook: Callable[[int, bytes], Any] | None = None,
    object_hook: Callable[[dict[Any, Any]], Any] | None = None,
) -> QuorReader | ShardedReader:
    """A `ShardedReader` for a directory, a `QuorReader` for anything else."""
    if os.path.isdir(path_text(path)):
        # Only shard sets pay for importing their reader.
        from quordb._sharded_reader import ShardedReader

        return ShardedReader(path, verify, ext_hook=ext_hook, object_hook=object_hook)
    return QuorReader(path, verify, ext_hook=ext_hook, object_hook=object_hook)
