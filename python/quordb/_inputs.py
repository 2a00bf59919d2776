"""Records for ``quordb build``: JSON Lines, CSV (or TSV) and Parquet, each row with its position.

Every source yields `RowBatch` objects: records read together, each with the
line or row number where it starts (`Input.where` names it, as ``FILE:LINE``);
CSV that pyarrow parsed may come as a `TextColumnBatch`, the same records as
columns of text, which a writer takes without a Python object per cell.
A record that cannot be read stands in its batch as a `BadRow` with the reason,
so that the caller decides, through a `BadRowPolicy`, whether to skip it or
stop; the source reads on either way.  `Input.rows` hands the same records out
one `Row` at a time.  Batches keep the per-record work of a large build down to
the few steps every record needs: no place is spelled out until one is reported.
"""

from __future__ import annotations

import datetime
import decimal
import io
import json
import os
import stat
import sys
from collections import deque
from collections.abc import Callable, Generator, Iterator, Mapping, Sequence
from dataclasses import dataclass
from itertools import repeat
from operator import methodcaller
from pathlib import PurePath
from typing import IO, Any, Self

import msgspec

from quordb._cli_errors import CliError
from quordb._native import jsonl_framed
from quordb._units import counted

TYPE_CHECKING = False
if TYPE_CHECKING:
    from quordb._text_columns import TextColumnBatch

__all__ = [
    "FORMATS",
    "BadRow",
    "BadRowPolicy",
    "Batch",
    "Input",
    "InputError",
    "Row",
    "RowBatch",
    "StoredFields",
    "batch_keys",
    "column_types",
    "delimiter_of",
    "field_keys",
    "format_of",
    "parse_json",
    "record_keys",
    "stored_fields",
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

# JSON Lines are read and decoded this many bytes of lines at a time.
JSONL_BATCH_BYTES = 1 << 18

PARQUET_MISSING = "reading Parquet needs pyarrow: pip install 'quordb[parquet]'"


class InputError(CliError):
    """An input that cannot be read at all: a missing file, an unknown format, a bad header."""


@dataclass(frozen=True, slots=True)
class Row:
    """One record and where it starts, as ``FILE:LINE`` (text formats) or ``FILE:row N``."""

    fields: dict[str, Any]
    where: str


@dataclass(frozen=True, slots=True)
class RowBatch:
    """Records read together, in order: each a map of fields, or a `BadRow` in its place,
    with the line (Parquet: row) number where each starts, for `Input.where`."""

    records: list[dict[str, Any] | BadRow]
    numbers: Sequence[int]


#: A batch as a source hands it out: CSV that pyarrow parsed may come as text columns.
type Batch = RowBatch | TextColumnBatch


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


def record_keys(record: Mapping[str, Any], fields: Sequence[str]) -> str | list[str | bytes]:
    """The keys that *fields* of *record* give (see `field_keys`): a single string key as it
    is, which a writer takes as one key, else a list; `ValueError` with the reason when the
    record gives none or a key field holds something else."""
    if len(fields) == 1:
        value = record.get(fields[0])
        if type(value) is str:  # nearly every record of a build: no list to make
            return value
    keys: list[str | bytes] = []
    for field in fields:
        try:
            keys += field_keys(record.get(field), field)
        except TypeError as exc:
            raise ValueError(str(exc)) from None
    if not keys:
        raise ValueError(f"none of the key fields {', '.join(map(repr, fields))} is set")
    return keys


def batch_keys(
    batch: Batch, fields: Sequence[str], where: Callable[[int], str]
) -> list[str | list[str | bytes] | BadRow]:
    """The keys of each record of *batch* (see `record_keys`): a `BadRow`, placed by *where*,
    for a record that gives none, and the `BadRow` that stands for a record that could not
    be read. A batch whose records each hold a string in the one key field costs no
    interpreted step per record."""
    records = batch.records
    if len(fields) == 1:
        try:
            keys: list[Any] = list(map(dict.get, records, repeat(fields[0])))  # type: ignore[arg-type]
        except TypeError:  # a BadRow among the records
            pass
        else:
            if set(map(type, keys)) == {str}:
                return keys
    found: list[str | list[str | bytes] | BadRow] = []
    for record, number in zip(records, batch.numbers, strict=True):
        if isinstance(record, BadRow):
            found.append(record)
            continue
        try:
            found.append(record_keys(record, fields))
        except ValueError as exc:
            found.append(BadRow(where(number), str(exc)))
    return found


# --- what is stored of a record ------------------------------------------------------


def stored_fields(keep: Sequence[str] = (), drop: Sequence[str] = ()) -> StoredFields | None:
    """What to store of each record (see `StoredFields`); None, to store records whole, when
    neither *keep* nor *drop* is given."""
    if not keep and not drop:
        return None
    return StoredFields(keep, drop)


class StoredFields:
    """What is stored of a record: the fields of *keep* (in that order, those it has), or all
    but those of *drop*. Called on the records of a batch, cuts them in place; a `BadRow`
    in the batch stays.

    Keys are taken from the whole record first, so a key field is stored only when *keep*
    names it (or *drop* does not).
    """

    def __init__(self, keep: Sequence[str] = (), drop: Sequence[str] = ()) -> None:
        self._keep = tuple(dict.fromkeys(keep))
        self._drop = tuple(dict.fromkeys(drop))

    def of(self, names: Sequence[str]) -> list[str]:
        """The fields stored of a record with the fields *names*, in the order stored."""
        if self._keep:
            return [name for name in self._keep if name in names]
        return [name for name in names if name not in self._drop]

    def __call__(self, records: list[dict[str, Any] | BadRow]) -> None:
        if self._keep:
            names = self._keep
            for i, record in enumerate(records):
                if type(record) is dict:
                    records[i] = {name: record[name] for name in names if name in record}
            return
        whole = (
            [r for r in records if type(r) is dict]
            if BadRow in set(map(type, records))
            else records
        )
        for pop in [methodcaller("pop", name, None) for name in self._drop]:
            deque(map(pop, whole), maxlen=0)  # a field at a time, no step per record


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
    """An input opened for `batches` (or `rows`): a file, closed with the `Input`, or
    standard input (``-``).

    *types* converts CSV columns and *delimiter* (default a comma) separates them; giving
    either for another format is an error.  *named_columns* maps an option to the columns
    it names, which a CSV header or a Parquet schema must have; a CSV header must also have
    the columns of ``--type`` and ``--key`` (a Parquet row without a key is a bad row).
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
        named_columns: Mapping[str, Sequence[str]] | None = None,
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
        self.types = types or {}
        self.key_columns = key_columns
        self.delimiter = delimiter or ","
        self.named_columns: Mapping[str, Sequence[str]] = named_columns or {}
        self._place = f"{self.label}:row " if fmt == "parquet" else f"{self.label}:"
        self._read = 0
        self._batches: Generator[Batch] | None = None
        self._rows: Generator[Row | BadRow] | None = None
        if name == "-":
            self.stream: IO[bytes] = sys.stdin.buffer
            return
        try:
            self.stream = open(name, "rb")  # noqa: SIM115 (closed by close())
        except OSError as exc:
            raise InputError(f"cannot read {name}: {exc.strerror}") from None

    def close(self) -> None:
        # Ends a listing left half read while its stream is still open.
        if self._rows is not None:
            self._rows.close()
        if self._batches is not None:
            self._batches.close()
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

    def where(self, number: int) -> str:
        """The place of the record at line (Parquet: row) *number*, as reports name it."""
        return f"{self._place}{number}"

    def batches(self) -> Iterator[Batch]:
        """The records in order, a batch at a time."""
        if self.fmt == "jsonl":
            self._batches = self._jsonl_batches()
        elif self.fmt == "csv":
            from quordb._csv_rows import csv_batches  # imported here: it imports this module

            self._batches = csv_batches(self)
        else:
            self._batches = self._parquet_batches()
        return self._batches

    def rows(self) -> Iterator[Row | BadRow]:
        """The rows in order: a `Row` for each record, a `BadRow` for each that cannot be read."""
        self._rows = self._rows_of(self.batches())
        return self._rows

    def _rows_of(self, batches: Iterator[Batch]) -> Generator[Row | BadRow]:
        for batch in batches:
            for record, number in zip(batch.records, batch.numbers, strict=True):
                yield record if isinstance(record, BadRow) else Row(record, self.where(number))

    def _jsonl_batches(self) -> Generator[RowBatch]:
        decoder = msgspec.json.Decoder()
        decode = decoder.decode
        line_no = 0
        for block in self._jsonl_blocks():
            first = line_no + 1
            self._read += len(block)
            framed = jsonl_framed(block)
            if framed >= 0:
                # Each line framed as one object: decoded in one call, when that finds as
                # many values as lines (see jsonl_framed), else read again line by line.
                try:
                    records = decoder.decode_lines(block)
                except (msgspec.MsgspecError, RecursionError):
                    records = []
                if len(records) == framed:
                    line_no += framed
                    yield RowBatch(records, range(first, line_no + 1))
                    continue
            lines = io.BytesIO(block).readlines()
            line_no += len(lines)
            try:
                records = list(map(decode, lines))
            except (msgspec.MsgspecError, RecursionError):
                yield self._jsonl_lines(lines, first)
                continue
            if set(map(type, records)) != {dict}:
                yield self._jsonl_lines(lines, first)
                continue
            yield RowBatch(records, range(first, line_no + 1))

    def _jsonl_blocks(self) -> Generator[bytes]:
        """The input in blocks of whole lines of about `JSONL_BATCH_BYTES` (a longer line
        whole), the last line perhaps without its line break."""
        pending: list[bytes] = []  # read since the last line break; joined once, however long
        while more := self.stream.read(JSONL_BATCH_BYTES):
            cut = more.rfind(b"\n") + 1
            if not cut:
                pending.append(more)
                continue
            yield b"".join([*pending, more[:cut]])
            pending = [more[cut:]]
        if rest := b"".join(pending):
            yield rest

    def _jsonl_lines(self, lines: Sequence[bytes], first: int) -> RowBatch:
        """A batch read line by line, for one with a blank or bad line. The standard library
        has the last word on a line the fast decoder refuses: it reads some that JSON does
        not allow (NaN, Infinity, a byte-order mark) and words the reasons."""
        decode = msgspec.json.Decoder().decode
        records: list[dict[str, Any] | BadRow] = []
        numbers: list[int] = []
        for line_no, line in enumerate(lines, start=first):
            if not line.strip():
                continue
            numbers.append(line_no)
            try:
                record = decode(line)
            except (msgspec.MsgspecError, RecursionError):
                try:
                    record = parse_json(line)
                except ValueError as exc:  # also a UnicodeDecodeError for bytes that are no JSON
                    records.append(BadRow(self.where(line_no), f"invalid JSON: {exc}"))
                    continue
            if not isinstance(record, dict):
                records.append(
                    BadRow(
                        self.where(line_no), f"expected a JSON object, got {type(record).__name__}"
                    )
                )
                continue
            records.append(record)
        return RowBatch(records, numbers)

    def _parquet_batches(self) -> Generator[RowBatch]:
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
        check_named_columns(
            self.named_columns, names, self.label, "schema", f"the schema has {names}"
        )
        row_no = 0
        for batch in parquet.iter_batches(batch_size=PARQUET_BATCH_ROWS):
            records: list[dict[str, Any] | BadRow] = []
            for record in _parquet_records(batch):
                row_no += 1
                if isinstance(record, str):
                    records.append(BadRow(self.where(row_no), record))
                else:
                    records.append({k: _plain(v) for k, v in record.items()})
            yield RowBatch(records, range(row_no - len(records) + 1, row_no + 1))


def check_named_columns(
    options: Mapping[str, Sequence[str]], names: Sequence[str], where: str, kind: str, shown: str
) -> None:
    """InputError at *where* when one of *options* names columns that *names*, the columns
    of a header or a schema (the *kind*), lacks; *shown* ends the message with what it has."""
    for option, columns in options.items():
        unknown = [column for column in columns if column not in names]
        if unknown:
            raise InputError(
                f"{where}: {option} names columns not in the {kind}: {unknown}; {shown}"
            )


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
