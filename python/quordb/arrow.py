"""Lookup joins on Arrow data: `lookup` over a pyarrow Table or RecordBatch.

Needs pyarrow (``pip install 'quordb[join]'``); the rest of quordb does not.
"""

from __future__ import annotations

from collections.abc import Mapping, Sequence
from typing import Any

import pyarrow  # type: ignore[import-untyped]  # ships no type information

from quordb._lookup import DTypeSpec, Lookup, arrow_key_column
from quordb._mapping import ReaderMapping
from quordb._reader import PathArg
from quordb._reader_cache import shared_reader

__all__ = ["lookup"]


def lookup(
    table: Any,
    on: str,
    path: PathArg | ReaderMapping[Any],
    *,
    columns: Sequence[str] | None = None,
    prefix: str = "",
    default: Any = None,
    raw: bool = False,
    dtypes: Mapping[str, DTypeSpec] | None = None,
) -> Any:
    """*table* (a `pyarrow.Table` or `pyarrow.RecordBatch`) with the objects its column *on*
    names in the database at *path* (a file or shard set, opened once per process and reused;
    or an open reader), of the same kind.

    The keys of the whole column are looked up in one batch. With *columns*, each named
    field is added as a column ``prefix + field`` of its own Arrow type (declared in
    *dtypes* or inferred from the values found; a value that does not fit raises
    `TypeError`), built a column at a time; without, one column ``prefix + "object"`` holds
    the objects as the type they share (or, with *raw*, their stored bytes as binary). A
    missing key, or a missing or null field, gives *default* or null.
    """
    reader = path if isinstance(path, ReaderMapping) else shared_reader(path)
    spec = Lookup.of(columns, prefix, default, raw, dtypes)
    if on not in table.schema.names:
        raise KeyError(on)
    clash = [name for name in spec.names if name in table.schema.names]
    if clash:
        raise ValueError(f"the table already has columns {clash}: give another prefix=")
    result = table
    added = spec.added(reader, arrow_key_column(table.column(on), on))
    for name, column in zip(spec.names, added, strict=True):
        result = result.append_column(name, _arrow(column, name))
    return result


def _arrow(column: Any, name: str) -> Any:
    """An added column as Arrow holds it: Python objects (whole objects, or a field whose
    values share no type) as the one type they share, which may be all nulls."""
    if not isinstance(column, list):
        return column
    try:
        return pyarrow.array(column)
    except (pyarrow.ArrowException, OverflowError) as error:
        raise TypeError(
            f"the values of column {name!r} share no Arrow type ({error}): give its type in "
            "dtypes=, or take raw=True"
        ) from None
