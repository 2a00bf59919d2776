"""Records for ``quordb build``: JSON Lines, CSV (or TSV) and Parquet, each row with its position.

Every source yields `Row` objects, one per record, carrying the file and the
line or row number where the record starts.  A record that cannot be read is
yielded as a `BadRow` with the reason, so that the caller decides, through a
`BadRowPolicy`, whether to skip it or stop; the source reads on either way.
"""

from __future__ import annotations

import csv
import datetime
import decimal
import io
import json
import os
import stat
import sys
from collections.abc import Callable, Generator, Iterator, Mapping, Sequence
from dataclasses import dataclass
from pathlib import PurePath
from typing import IO, Any, Self

from quordb._cli_errors import CliError
from quordb._units import counted

__all__ = [
    "FORMATS",
    "BadRow",
    "BadRowPolicy",
    "Input",
    "InputError",
    "Row",
    "column_types",
    "delimiter_of",
    "field_keys",
    "format_of",
    "keys_of",
    "parse_json",
]

FORMATS = ("jsonl", "csv", "parquet")

_EXTENSIONS = {
    ".jsonl": "jsonl",
    ".ndjson": "jsonl",
    ".json": "jsonl",
    ".csv": "csv",
    ".tsv": "csv",
    ".parquet": "parquet",
    ".pq": "parquet",
}

# Parquet rows are converted a batch at a time; this bounds the memory a
# wide file takes while it is read.
PARQUET_BATCH_ROWS = 4096

PARQUET_MISSING = "reading Parquet needs pyarrow: pip install 'quordb[parquet]'"


class InputError(CliError):
    """An input that cannot be read at all: a missing file, an unknown format, a bad header."""


@dataclass(frozen=True, slots=True)
class Row:
    """One record and where it starts, as ``FILE:LINE`` (text formats) or ``FILE:row N``."""

    fields: dict[str, Any]
    where: str


class BadRow(CliError):  # named for a row, raised or handed on
    """A record that cannot be used, with where it starts and why.

    A plain exception, not a frozen dataclass: whatever a raise passes through (a
    context manager, a generator) must be free to set its traceback and context.
    """

    def __init__(self, where: str, reason: str) -> None:
        super().__init__(where, reason)
        self.where = where
        self.reason = reason

    def __str__(self) -> str:
        return f"{self.where}: {self.reason}"


class BadRowPolicy:
    """Lets up to *limit* bad rows pass, reporting each on *stream*; the next one is raised."""

    def __init__(self, limit: int, stream: IO[str] | None = None) -> None:
        self.limit = limit
        self.skipped = 0
        self._stream = stream

    def skip(self, bad: BadRow) -> None:
        """Count *bad* as skipped, or raise it when the limit is used up."""
        if self.skipped >= self.limit:
            raise bad
        self.skipped += 1
        if self._stream is not None:
            self._stream.write(f"skipped {bad}\n")

    def summary(self) -> str | None:
        """The closing count, or None when no row was skipped."""
        if not self.skipped:
            return None
        return f"skipped {counted(self.skipped, 'bad row')} (at most {self.limit:,} allowed)"


def format_of(name: str, given: str | None) -> str:
    """The input format: *given* when set, else the one that *name*'s extension names, and
    JSON Lines, what ``quordb build`` has always read, for any other name."""
    if given is not None:
        return given
    return _EXTENSIONS.get(PurePath(name).suffix.lower(), "jsonl")


def delimiter_of(name: str, fmt: str, given: str | None) -> str | None:
    """The CSV delimiter: *given* when set, a tab for CSV named ``.tsv``, else None (a comma)."""
    if given is not None:
        return given
    if fmt == "csv" and PurePath(name).suffix.lower() == ".tsv":
        return "\t"
    return None


def parse_json(text: str | bytes) -> Any:
    """*text* as JSON; `ValueError` for text that is not JSON, or nests too deeply to parse."""
    try:
        return json.loads(text)
    except RecursionError:
        # The parser recurses once per level; the level it gives up at is no rule of ours.
        raise ValueError("nested too deeply") from None


# --- keys ---------------------------------------------------------------------------


#: What a key field may hold, as messages say it.
KEY_FIELD_RULE = "a string, bytes, an integer or a list of them"


def field_keys(value: Any, field: str | None = None) -> list[str | bytes]:
    """The keys that a key field holding *value* gives: the rule for every build from records.

    A string or bytes is a key, an integer (not a bool) the key of its decimal text, and a
    list or tuple a key per item; null, as the value or as an item, gives none. Anything
    else (a float, a bool, a map, a list inside the list) raises `TypeError` naming *field*.
    """
    if value is None:
        return []
    keys: list[str | bytes] = []
    for item in value if isinstance(value, list | tuple) else (value,):
        if isinstance(item, str | bytes):
            keys.append(item)
        elif isinstance(item, int) and not isinstance(item, bool):
            keys.append(str(item))
        elif item is not None:
            name = "a key field" if field is None else f"field {field!r}"
            shown = json.dumps(item, default=repr)
            raise TypeError(f"{name} must be {KEY_FIELD_RULE}, not {shown}")
    return keys


def keys_of(row: Row, fields: Sequence[str]) -> list[str | bytes]:
    """The keys that *fields* of *row* give (see `field_keys`); a row with none is a `BadRow`."""
    keys: list[str | bytes] = []
    for field in fields:
        try:
            keys += field_keys(row.fields.get(field), field)
        except TypeError as exc:
            raise BadRow(row.where, str(exc)) from None
    if not keys:
        raise BadRow(row.where, f"none of the key fields {', '.join(map(repr, fields))} is set")
    return keys


# --- typed CSV columns --------------------------------------------------------------

_TRUE = frozenset({"true", "t", "yes", "y", "1"})
_FALSE = frozenset({"false", "f", "no", "n", "0"})


def _boolean(text: str) -> bool:
    folded = text.strip().lower()
    if folded in _TRUE:
        return True
    if folded in _FALSE:
        return False
    raise ValueError(f"not a boolean: {text!r} (use true/false, yes/no or 1/0)")


def _integer(text: str) -> int:
    try:
        return int(text)
    except ValueError:
        raise ValueError(f"not an integer: {text!r}") from None


def _number(text: str) -> float:
    try:
        return float(text)
    except ValueError:
        raise ValueError(f"not a number: {text!r}") from None


def _json(text: str) -> Any:
    try:
        return parse_json(text)
    except ValueError as exc:
        raise ValueError(f"not JSON: {exc}") from None


COLUMN_TYPES: Mapping[str, Callable[[str], Any]] = {
    "str": str,
    "int": _integer,
    "float": _number,
    "bool": _boolean,
    "json": _json,
}


def column_types(specs: Sequence[str]) -> dict[str, Callable[[str], Any]]:
    """Parse ``COLUMN=TYPE`` options into a converter per column."""
    types: dict[str, Callable[[str], Any]] = {}
    for spec in specs:
        column, sep, name = spec.rpartition("=")
        if not sep or not column or name not in COLUMN_TYPES:
            raise InputError(
                f"invalid column type {spec!r}: expected COLUMN=TYPE with TYPE one of "
                f"{', '.join(COLUMN_TYPES)}"
            )
        types[column] = COLUMN_TYPES[name]
    return types


# --- sources ------------------------------------------------------------------------


class Input:
    """An input opened for `rows`: a file, closed with the `Input`, or standard input (``-``).

    *types* converts CSV columns and *delimiter* (default a comma) separates them; giving
    either for another format is an error.
    The open binary stream is `stream`, so that callers can compare it with
    their outputs; `size` and `position` measure progress through it.
    """

    def __init__(
        self,
        name: str,
        fmt: str,
        *,
        types: Mapping[str, Callable[[str], Any]] | None = None,
        key_columns: Sequence[str] = (),
        delimiter: str | None = None,
    ) -> None:
        if fmt not in FORMATS:
            raise InputError(f"unknown input format {fmt!r}; expected one of {', '.join(FORMATS)}")
        if types and fmt != "csv":
            raise InputError("--type applies to CSV input only")
        if delimiter is not None and fmt != "csv":
            raise InputError("--delimiter applies to CSV input only")
        if fmt == "parquet" and name == "-":
            raise InputError("Parquet cannot be read from standard input; give a file")
        self.name = name
        self.label = "<stdin>" if name == "-" else name
        self.fmt = fmt
        self._types = types or {}
        self._key_columns = key_columns
        self._delimiter = delimiter or ","
        self._read = 0
        self._rows: Generator[Row | BadRow] | None = None
        if name == "-":
            self.stream: IO[bytes] = sys.stdin.buffer
            return
        try:
            self.stream = open(name, "rb")  # noqa: SIM115 (closed by close())
        except OSError as exc:
            raise InputError(f"cannot read {name}: {exc.strerror}") from None

    def close(self) -> None:
        if self._rows is not None:
            # Ends a listing left half read while its stream is still open.
            self._rows.close()
        if self.stream is not sys.stdin.buffer:
            self.stream.close()

    def __enter__(self) -> Self:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    @property
    def size(self) -> int | None:
        """The size of a regular file in bytes; None for a pipe or a terminal."""
        info = os.fstat(self.stream.fileno())
        return info.st_size if stat.S_ISREG(info.st_mode) else None

    def position(self) -> int | None:
        """How far reading has come, in bytes: counted for JSON Lines, asked of a regular file
        for CSV; None for CSV from a pipe and for Parquet, which is not read in order."""
        if self.fmt == "jsonl":
            return self._read
        if self.fmt == "parquet" or self.size is None:
            return None
        return self.stream.tell()

    def rows(self) -> Iterator[Row | BadRow]:
        """The rows in order: a `Row` for each record, a `BadRow` for each that cannot be read."""
        if self.fmt == "jsonl":
            self._rows = self._jsonl_rows()
        elif self.fmt == "csv":
            self._rows = self._csv_rows()
        else:
            self._rows = self._parquet_rows()
        return self._rows

    def _jsonl_rows(self) -> Generator[Row | BadRow]:
        for line_no, line in enumerate(self.stream, start=1):
            self._read += len(line)
            if not line.strip():
                continue
            where = f"{self.label}:{line_no}"
            try:
                record = parse_json(line)
            except ValueError as exc:  # also a UnicodeDecodeError for bytes that are no JSON
                yield BadRow(where, f"invalid JSON: {exc}")
                continue
            if not isinstance(record, dict):
                yield BadRow(where, f"expected a JSON object, got {type(record).__name__}")
                continue
            yield Row(record, where)

    def _csv_rows(self) -> Generator[Row | BadRow]:
        # Bytes that are not UTF-8 survive decoding as surrogates, so that the
        # row holding them is reported rather than the whole file failing. A byte-order
        # mark, as spreadsheet programs write, is no part of the first column's name.
        text = io.TextIOWrapper(
            self.stream, encoding="utf-8-sig", errors="surrogateescape", newline=""
        )
        try:
            yield from self._csv_text_rows(text)
        finally:
            text.detach()  # the stream stays this Input's to close

    def _csv_text_rows(self, text: IO[str]) -> Iterator[Row | BadRow]:
        label = self.label
        reader = csv.reader(text, strict=True, delimiter=self._delimiter)
        try:
            header = next(reader)
        except StopIteration:
            return
        except csv.Error as exc:
            raise InputError(f"{label}:1: bad CSV header: {exc}") from None
        if len(set(header)) != len(header):
            raise InputError(f"{label}:1: the header names a column twice: {header}")
        types = self._types
        for option, columns in (("--type", types), ("--key", self._key_columns)):
            unknown = [column for column in columns if column not in header]
            if unknown:
                raise InputError(
                    f"{label}:1: {option} names columns not in the header: {unknown}; "
                    f"the header, split at {self._delimiter!r}, is {header}"
                )
        converters = [types.get(column) for column in header]
        # An empty cell is null where a type or a key is expected, else "".
        nullable = [types.get(c, str) is not str or c in self._key_columns for c in header]
        end_line = reader.line_num
        while True:
            start_line = end_line + 1
            try:
                cells = next(reader)
            except StopIteration:
                return
            except csv.Error as exc:
                end_line = reader.line_num
                yield BadRow(f"{label}:{start_line}", f"bad CSV: {exc}")
                continue
            end_line = reader.line_num
            if not cells:
                continue
            where = f"{label}:{start_line}"
            if len(cells) != len(header):
                yield BadRow(where, f"{len(cells)} fields, the header has {len(header)}")
                continue
            try:
                yield Row(_typed_cells(header, cells, converters, nullable), where)
            except ValueError as exc:
                yield BadRow(where, str(exc))

    def _parquet_rows(self) -> Generator[Row | BadRow]:
        try:
            import pyarrow.parquet as pq  # type: ignore[import-untyped,unused-ignore]
        except ImportError:
            raise InputError(PARQUET_MISSING) from None
        try:
            parquet = pq.ParquetFile(self.stream)
        except Exception as exc:  # noqa: BLE001  # pyarrow's own errors for a file that is no Parquet
            raise InputError(f"{self.label}: not a Parquet file: {exc}") from None
        names = parquet.schema_arrow.names
        if len(set(names)) != len(names):
            # A record holds one value per name: the later column would hide the earlier.
            raise InputError(f"{self.label}: the schema names a column twice: {names}")
        row_no = 0
        for batch in parquet.iter_batches(batch_size=PARQUET_BATCH_ROWS):
            for record in _parquet_records(batch):
                row_no += 1
                where = f"{self.label}:row {row_no}"
                if isinstance(record, str):
                    yield BadRow(where, record)
                else:
                    yield Row({k: _plain(v) for k, v in record.items()}, where)


# What pyarrow raises for a value Python cannot hold (a timestamp past year 9999...).
_UNCONVERTIBLE = (ValueError, OverflowError)


def _parquet_records(batch: Any) -> list[dict[str, Any] | str]:
    """The rows of a Parquet record batch as Python values, or the reason a row has none."""
    try:
        records: list[dict[str, Any] | str] = batch.to_pylist()
    except _UNCONVERTIBLE:
        # Rare: convert cell by cell to find the rows and columns at fault.
        return [_parquet_record(batch, row) for row in range(batch.num_rows)]
    return records


def _parquet_record(batch: Any, row: int) -> dict[str, Any] | str:
    record: dict[str, Any] = {}
    for name, column in zip(batch.schema.names, batch.columns, strict=True):
        try:
            record[name] = column[row].as_py()
        except _UNCONVERTIBLE as exc:
            return f"column {name!r} holds a value Python cannot hold: {exc}"
    return record


def _typed_cells(
    header: Sequence[str],
    cells: Sequence[str],
    converters: Sequence[Callable[[str], Any] | None],
    nullable: Sequence[bool],
) -> dict[str, Any]:
    record: dict[str, Any] = {}
    for column, cell, convert, null in zip(header, cells, converters, nullable, strict=True):
        try:
            cell.encode("utf-8")
        except UnicodeEncodeError:
            raise ValueError(f"column {column!r} is not valid UTF-8") from None
        if not cell and null:
            record[column] = None
        elif convert is None:
            record[column] = cell
        else:
            try:
                record[column] = convert(cell)
            except ValueError as exc:
                raise ValueError(f"column {column!r}: {exc}") from None
    return record


def _plain(value: Any) -> Any:
    """Parquet values msgpack cannot hold as they are: dates and times as ISO text, decimals
    and durations as text; lists and structs are walked."""
    if isinstance(value, datetime.date | datetime.time):
        return value.isoformat()
    if isinstance(value, decimal.Decimal | datetime.timedelta):
        return str(value)
    if isinstance(value, list):
        return [_plain(item) for item in value]
    if isinstance(value, dict):
        return {k: _plain(v) for k, v in value.items()}
    return value
