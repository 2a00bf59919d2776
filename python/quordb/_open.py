"""`open`: the reader for a path, a file's or a shard set's."""

from __future__ import annotations

import builtins
import os
from typing import Any, overload

from quordb._reader import PathArg, QuorReader, path_text

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Callable

    from quordb._sharded_reader import ShardedReader

__all__ = ["open"]


@overload
def open(
    path: PathArg,
    verify: bool = True,
    *,
    ext_hook: Callable[[int, bytes], Any] | None = None,
    object_hook: Callable[[dict[Any, Any]], Any] | None = None,
) -> QuorReader[Any] | ShardedReader[Any]: ...
@overload
def open[T](
    path: PathArg,
    verify: bool = True,
    *,
    type: builtins.type[T],
    ext_hook: Callable[[int, bytes], Any] | None = None,
) -> QuorReader[T] | ShardedReader[T]: ...
def open(
    path: PathArg,
    verify: bool = True,
    *,
    type: Any = Any,
    ext_hook: Callable[[int, bytes], Any] | None = None,
    object_hook: Callable[[dict[Any, Any]], Any] | None = None,
) -> QuorReader[Any] | ShardedReader[Any]:
    """A `ShardedReader` for a directory, a `QuorReader` for anything else; the arguments
    are theirs."""
    options: dict[str, Any] = {"type": type, "ext_hook": ext_hook, "object_hook": object_hook}
    if os.path.isdir(path_text(path)):
        # Only shard sets pay for importing their reader.
        from quordb._sharded_reader import ShardedReader

        return ShardedReader(path, verify, **options)
    return QuorReader(path, verify, **options)
