"""`TextColumnBatch`: CSV records as pyarrow parsed them, columns of text, handed to a writer
without a Python object per cell.

Making a dict per row and encoding it again is most of what a CSV build costs once pyarrow has
parsed a chunk; a writer that takes text columns (`StreamWriter.add_text_columns`) stores the
same bytes straight from the columns' buffers. The records are made only for a caller that
asks for them.
"""

from __future__ import annotations

from collections.abc import Container, Sequence
from typing import Any

from quordb._native import MemoryWriter, StreamWriter

TYPE_CHECKING = False
if TYPE_CHECKING:
    from quordb._inputs import BadRow

__all__ = ["TextColumnBatch", "text_buffers"]


class TextColumnBatch:
    """Records read together, each a map of every column to its cell's text, held as a
    pyarrow table of string columns, with the line where each starts (as `RowBatch`)."""

    __slots__ = ("_empty", "_records", "_table", "names", "numbers")

    def __init__(self, table: Any, numbers: Sequence[int], empty: Container[str]) -> None:
        """*table* has a string column without nulls per field, in one chunk (see
        `text_buffers`); *empty* holds the columns that have an empty cell."""
        self._table = table
        self.names: list[str] = table.column_names
        self.numbers = numbers
        self._empty = empty
        self._records: list[dict[str, Any] | BadRow] | None = None

    @property
    def records(self) -> list[dict[str, Any] | BadRow]:
        if self._records is None:
            self._records = self._table.to_pylist()
        return self._records

    def holds_keys(self, fields: Sequence[str]) -> bool:
        """Whether each record has a key in each of *fields*: a column without empty cells."""
        return all(field in self.names and field not in self._empty for field in fields)

    def add_to(
        self,
        writer: StreamWriter | MemoryWriter,
        fields: Sequence[str],
        keys: Sequence[str],
        start: int,
    ) -> int:
        """Add the records from *start* on to the native *writer*, each stored as the map of
        its *fields* (in that order) under its cells in the *keys* columns, which must hold
        keys (see `holds_keys`); return how many were added. A record the writer refuses
        raises as its ``add_many`` does."""
        index = {name: i for i, name in enumerate(self.names)}
        return writer.add_text_columns(
            text_buffers(self._table),
            self._table.num_rows,
            [(name, index[name]) for name in fields],
            [index[name] for name in keys],
            start,
        )


def text_buffers(table: Any) -> list[tuple[Any, Any, int]]:
    """The (offsets, data, offset) buffers of each column of *table*, string columns without
    nulls in one chunk each (as ``combine_chunks`` leaves them), as the native writer and
    `text_column_stats` take them."""
    columns = []
    for column in table.columns:
        array = column.chunk(0)
        _, offsets, data = array.buffers()
        columns.append((offsets, b"" if data is None else data, array.offset))
    return columns
