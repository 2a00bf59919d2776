"""CSV records for `Input`: a header, then a record per row, in batches.

Two readers give the same records, line numbers and bad rows. The standard library's strict
`csv` reader is the reference. Where pyarrow is installed, its parser reads the input a
chunk at a time, several times faster; a chunk is taken from it only when counts of the
chunk's bytes agree with the cells it parsed as the strict reader's rules require (every
quote, delimiter and line break accounted for, no blank line, no cell past the strict
reader's size limit). From the first chunk that fails, the strict reader reads the rest, so
input it would refuse or number differently is never parsed by pyarrow's laxer rules.
"""

from __future__ import annotations

import csv
import io
from collections.abc import Generator, Iterator, Sequence
from typing import IO, Any

from quordb._inputs import BadRow, Input, InputError, RowBatch, check_named_columns

__all__ = ["CSV_BATCH_ROWS", "csv_batches"]

# Records per batch that the strict reader hands on.
CSV_BATCH_ROWS = 4096

# Bytes that pyarrow parses at a time (a chunk grows to hold at least one whole row).
ARROW_CHUNK_BYTES = 1 << 22


def csv_batches(source: Input, *, use_arrow: bool = True) -> Generator[RowBatch]:
    """The records of *source*, a CSV input; *use_arrow* False keeps to the strict reader."""
    arrow = _arrow() if use_arrow else None
    if arrow is None:
        yield from _strict_batches(source, source.stream, encoding="utf-8-sig")
        return
    yield from _arrow_batches(source, arrow)


def _arrow() -> Any:
    try:
        import pyarrow.compute  # type: ignore[import-untyped,unused-ignore]
        import pyarrow.csv  # type: ignore[import-untyped,unused-ignore]
    except ImportError:
        return None
    import pyarrow  # type: ignore[import-untyped,unused-ignore]

    return pyarrow


# --- records from cells ---------------------------------------------------------------


class _RecordMaker:
    """Turns a row's cells into its record: an empty cell is null in a typed or key column
    and "" elsewhere; typed columns are converted. `ValueError` says why a row has none."""

    def __init__(self, header: Sequence[str], source: Input) -> None:
        self._header = tuple(header)
        types, keys = source.types, source.key_columns
        # (index, column, converter or None, nullable) of each column that is not plain text.
        self._special = [
            (
                index,
                column,
                None if types.get(column, str) is str else types[column],
                types.get(column, str) is not str or column in keys,
            )
            for index, column in enumerate(header)
            if column in types or column in keys
        ]

    @property
    def width(self) -> int:
        return len(self._header)

    def record(self, cells: Sequence[str]) -> dict[str, Any]:
        """The record of *cells*, text without surrogates (as pyarrow's parser gives)."""
        record = dict(zip(self._header, cells, strict=True))
        for index, column, convert, nullable in self._special:
            cell = cells[index]
            if not cell:
                if nullable:
                    record[column] = None
            elif convert is not None:
                try:
                    record[column] = convert(cell)
                except ValueError as exc:
                    raise ValueError(f"column {column!r}: {exc}") from None
        return record

    def checked_record(self, cells: Sequence[str]) -> dict[str, Any]:
        """As `record`, for cells that may hold bytes that were not UTF-8 (as surrogates):
        the first fault in column order is reported, as a reader of the row finds it."""
        if "".join(cells).isascii():
            return self.record(cells)
        special = {index: (convert, nullable) for index, _, convert, nullable in self._special}
        record: dict[str, Any] = {}
        for index, (column, cell) in enumerate(zip(self._header, cells, strict=True)):
            try:
                cell.encode("utf-8")
            except UnicodeEncodeError:
                raise ValueError(f"column {column!r} is not valid UTF-8") from None
            convert, nullable = special.get(index, (None, False))
            if not cell and nullable:
                record[column] = None
            elif convert is None or not cell:
                record[column] = cell
            else:
                try:
                    record[column] = convert(cell)
                except ValueError as exc:
                    raise ValueError(f"column {column!r}: {exc}") from None
        return record


def _header_of(source: Input, reader: Iterator[list[str]]) -> list[str] | None:
    """The header row read from *reader*, checked; None for an input without one."""
    try:
        header = next(reader)
    except StopIteration:
        return None
    except csv.Error as exc:
        raise InputError(f"{source.label}:1: bad CSV header: {exc}") from None
    if len(set(header)) != len(header):
        raise InputError(f"{source.label}:1: the header names a column twice: {header}")
    shown = f"the header, split at {source.delimiter!r}, is {header}"
    check_named_columns(source, header, f"{source.label}:1", "header", shown)
    return header


# --- the strict reader ----------------------------------------------------------------


def _strict_batches(
    source: Input,
    stream: IO[bytes],
    *,
    encoding: str,
    maker: _RecordMaker | None = None,
    lines_before: int = 0,
) -> Generator[RowBatch]:
    """Batches read by the standard library's reader from *stream*: from its start (reading
    the header) when *maker* is None, else from the first row after *lines_before* lines."""
    # Bytes that are not UTF-8 survive decoding as surrogates, so that the row holding them
    # is reported rather than the whole file failing. A byte-order mark, as spreadsheet
    # programs write, is no part of the first column's name.
    text = io.TextIOWrapper(stream, encoding=encoding, errors="surrogateescape", newline="")
    try:
        reader = csv.reader(text, strict=True, delimiter=source.delimiter)
        if maker is None:
            header = _header_of(source, reader)
            if header is None:
                return
            maker = _RecordMaker(header, source)
        yield from _strict_rows(source, reader, maker, lines_before)
    finally:
        text.detach()  # the stream stays the Input's to close


def _strict_rows(
    source: Input, reader: Any, maker: _RecordMaker, lines_before: int
) -> Iterator[RowBatch]:
    records: list[dict[str, Any] | BadRow] = []
    numbers: list[int] = []
    end_line = reader.line_num
    while True:
        start_line = lines_before + end_line + 1
        try:
            cells = next(reader)
        except StopIteration:
            break
        except csv.Error as exc:
            end_line = reader.line_num
            numbers.append(start_line)
            records.append(BadRow(source.where(start_line), f"bad CSV: {exc}"))
            continue
        end_line = reader.line_num
        if not cells:
            continue
        numbers.append(start_line)
        if len(cells) != maker.width:
            reason = f"{len(cells)} fields, the header has {maker.width}"
            records.append(BadRow(source.where(start_line), reason))
            continue
        try:
            records.append(maker.checked_record(cells))
        except ValueError as exc:
            records.append(BadRow(source.where(start_line), str(exc)))
        if len(records) >= CSV_BATCH_ROWS:
            yield RowBatch(records, numbers)
            records, numbers = [], []
    if records:
        yield RowBatch(records, numbers)


# --- pyarrow's reader -----------------------------------------------------------------


class _Joined(io.RawIOBase):
    """Bytes already read from a stream, then the rest of the stream."""

    def __init__(self, head: bytes, rest: IO[bytes]) -> None:
        self._head = memoryview(head)
        self._rest = rest

    def readable(self) -> bool:
        return True

    def readinto(self, buffer: Any) -> int:
        if self._head:
            n = min(len(buffer), len(self._head))
            buffer[:n] = self._head[:n]
            self._head = self._head[n:]
            return n
        data = self._rest.read(len(buffer))
        buffer[: len(data)] = data
        return len(data)


def _arrow_batches(source: Input, pa: Any) -> Generator[RowBatch]:
    stream = source.stream
    pending = b""
    at_end = False

    def whole_rows() -> bytes | None:
        """The next chunk of whole rows (ending at a line break outside quotes), or None."""
        nonlocal pending, at_end
        while True:
            cut = _last_row_end(pending)
            if at_end or (cut > 0 and len(pending) >= ARROW_CHUNK_BYTES):
                if at_end:
                    cut = len(pending)
                chunk, pending = pending[:cut], pending[cut:]
                return chunk or None
            more = stream.read(ARROW_CHUNK_BYTES)
            if not more:
                at_end = True
            pending += more

    def strict_rest(chunk: bytes, **kwargs: Any) -> Generator[RowBatch]:
        rest = io.BufferedReader(_Joined(chunk + pending, stream))
        return _strict_batches(source, rest, **kwargs)

    first = whole_rows()
    if first is None:
        return
    header_end = first.find(b"\n") + 1 or len(first)
    header_bytes, body = first[:header_end], first[header_end:]
    header = _single_row(header_bytes, source.delimiter)
    if header is None:  # quoted line breaks, or what the strict reader would refuse
        yield from strict_rest(first, encoding="utf-8-sig")
        return
    reader = iter([header])
    header = _header_of(source, reader)
    assert header is not None
    maker = _RecordMaker(header, source)
    parser = _ChunkParser(pa, source.delimiter, len(header))
    line = 1
    chunk: bytes | None = body
    while chunk is not None:
        if chunk:
            cells = parser.rows(chunk)
            if cells is None:
                yield from strict_rest(chunk, encoding="utf-8", maker=maker, lines_before=line)
                return
            rows, spans = cells
            numbers = _row_lines(line, len(rows), spans)
            line = numbers[-1] + (spans[-1] if spans else 0) if rows else line
            records: list[dict[str, Any] | BadRow] = []
            for number, row in zip(numbers, rows, strict=True):
                try:
                    records.append(maker.record(row))
                except ValueError as exc:
                    records.append(BadRow(source.where(number), str(exc)))
            yield RowBatch(records, numbers)
        chunk = whole_rows()


def _single_row(data: bytes, delimiter: str) -> list[str] | None:
    """*data*, one line, read by the strict reader as exactly one row; None if it is not."""
    if data.count(b'"') % 2 or data.rstrip(b"\r\n").find(b"\r") >= 0:
        return None
    text = data.decode("utf-8-sig", "surrogateescape")
    reader = csv.reader([text], strict=True, delimiter=delimiter)
    try:
        row = next(reader)
    except (csv.Error, StopIteration):
        return None
    return row if next(reader, None) is None and row else None


def _last_row_end(data: bytes) -> int:
    """Where the last whole row of *data* ends: after a line break outside quotes; 0 if none."""
    end = data.rfind(b"\n")
    while end >= 0:
        if data.count(b'"', 0, end) % 2 == 0:
            return end + 1
        end = data.rfind(b"\n", 0, end)
    return 0


def _row_lines(first: int, count: int, spans: Sequence[int]) -> Sequence[int]:
    """The line each of *count* rows starts on, after line *first*, given the line breaks
    inside each row's cells (*spans*; empty when there are none)."""
    if not spans:
        return range(first + 1, first + 1 + count)
    numbers = []
    line = first + 1
    for extra in spans:
        numbers.append(line)
        line += 1 + extra
    return numbers


class _ChunkParser:
    """pyarrow's parse of a chunk of whole rows, returned only when it is the strict reader's."""

    def __init__(self, pa: Any, delimiter: str, width: int) -> None:
        self._pa = pa
        self._pc = pa.compute
        self._delimiter = delimiter
        self._width = width
        names = [f"c{i}" for i in range(width)]
        csv_options = pa.csv
        self._read = csv_options.ReadOptions(column_names=names)
        self._parse = csv_options.ParseOptions(
            delimiter=delimiter, newlines_in_values=True, ignore_empty_lines=True
        )
        self._convert = csv_options.ConvertOptions(
            column_types=dict.fromkeys(names, pa.string()),
            strings_can_be_null=False,
            quoted_strings_can_be_null=False,
            null_values=[],
        )
        self._limit = csv.field_size_limit()

    def rows(self, chunk: bytes) -> tuple[list[tuple[str, ...]], list[int]] | None:
        """The rows of *chunk* and the line breaks inside each (empty: none anywhere)."""
        pa, pc = self._pa, self._pc
        try:
            table = pa.csv.read_csv(
                pa.BufferReader(chunk),
                read_options=self._read,
                parse_options=self._parse,
                convert_options=self._convert,
            )
        except (pa.ArrowInvalid, UnicodeDecodeError):  # a row of another width, not UTF-8...
            return None
        columns = table.columns
        count = table.num_rows
        cells = _Counts(pc, columns, self._delimiter)
        if cells.longest > self._limit:
            return None
        quotes = chunk.count(b'"')
        quoted_twice = quotes - 2 * cells.quotes  # two per quoted cell
        breaks = chunk.count(b"\n")
        returns = chunk.count(b"\r")
        line_ends = breaks - cells.breaks
        d = self._delimiter.encode()
        closing = (
            chunk.count(b'"' + d) + chunk.count(b'"\r') + chunk.count(b'"\n') + chunk.endswith(b'"')
        )
        sound = (
            returns == chunk.count(b"\r\n")
            and quoted_twice >= 0
            and quoted_twice % 2 == 0
            and line_ends == count - (0 if chunk.endswith(b"\n") else 1)
            and len(chunk)
            == cells.length
            + count * (self._width - 1)
            + (quotes - cells.quotes)
            + line_ends
            + (returns - cells.returns)
            and closing == quoted_twice // 2 + cells.quote_endings + cells.opening_breaks
        )
        if not sound:
            return None
        rows = list(zip(*(column.to_pylist() for column in columns), strict=True))
        return rows, cells.breaks_per_row if cells.breaks else []


class _Counts:
    """What a chunk's parsed cells hold, summed over its columns."""

    def __init__(self, pc: Any, columns: Sequence[Any], delimiter: str) -> None:
        def total(counts: Any) -> int:
            return pc.sum(counts).as_py() or 0

        self.length = sum(total(pc.binary_length(c)) for c in columns)
        self.longest = max((pc.max(pc.utf8_length(c)).as_py() or 0 for c in columns), default=0)
        self.quotes = sum(total(pc.count_substring(c, '"')) for c in columns)
        self.returns = sum(total(pc.count_substring(c, "\r")) for c in columns)
        per_row = [pc.count_substring(c, "\n") for c in columns]
        self.breaks = sum(total(counts) for counts in per_row)
        self.breaks_per_row: list[int] = []
        if self.breaks:
            summed = per_row[0]
            for counts in per_row[1:]:
                summed = pc.add(summed, counts)
            self.breaks_per_row = summed.to_pylist()
        # A quote inside a cell followed by what ends a cell, as a quoted cell doubles it.
        self.quote_endings = sum(
            total(pc.count_substring(c, '"' + end))
            for c in columns
            for end in (delimiter, "\r", "\n")
        )
        # A quoted cell whose text starts with what ends a cell: its opening quote precedes it.
        self.opening_breaks = sum(
            total(pc.sum(pc.starts_with(c, start).cast("int64")))
            for c in columns
            for start in (delimiter, "\r", "\n")
        )
