"""CSV records for `Input`: a header, then a record per row, in batches.

Two readers give the same records, line numbers and bad rows. The standard library's strict
`csv` reader is the reference. Where pyarrow is installed, its parser reads the input a
chunk at a time, on its own threads and into records without a step per cell in Python; a
chunk is taken from it only when counts of the
chunk's bytes agree with the cells it parsed as the strict reader's rules require (every
quote, delimiter and line break accounted for, no blank line, no cell past the strict
reader's size limit). From the first chunk that fails, the strict reader reads the rest, so
input it would refuse or number differently is never parsed by pyarrow's laxer rules.
"""

from __future__ import annotations

import csv
import io
from collections.abc import Callable, Container, Generator, Iterator, Sequence
from itertools import chain, compress, repeat
from operator import itemgetter, not_
from typing import IO, Any, cast

from quordb._inputs import BadRow, Input, InputError, RowBatch, check_named_columns
from quordb._native import csv_marks, text_column_stats
from quordb._text_columns import TextColumnBatch, text_buffers

__all__ = ["CSV_BATCH_ROWS", "csv_batches"]

# Records per batch that the strict reader hands on.
CSV_BATCH_ROWS = 4096

# Bytes that pyarrow parses at a time (a chunk grows to hold at least one whole row).
ARROW_CHUNK_BYTES = 1 << 22


def csv_batches(source: Input, *, use_arrow: bool = True) -> Generator[RowBatch | TextColumnBatch]:
    """The records of *source*, a CSV input; *use_arrow* False keeps to the strict reader."""
    arrow = _arrow() if use_arrow else None
    if arrow is None:
        yield from _strict_batches(source, source.stream, encoding="utf-8-sig")
        return
    yield from _arrow_batches(source, arrow)


def _arrow() -> Any:
    try:
        import pyarrow.csv  # type: ignore[import-untyped,unused-ignore]
    except ImportError:
        return None
    import pyarrow  # type: ignore[import-untyped,unused-ignore]

    return pyarrow


def _compute() -> Any:
    """pyarrow's compute functions, imported only for the rare chunk that needs them (cells
    that hold quotes or line ends, or past the size limit)."""
    import pyarrow.compute  # type: ignore[import-untyped,unused-ignore]

    return pyarrow.compute


# --- records from cells ---------------------------------------------------------------


class _RecordMaker:
    """Turns rows of cells into records: an empty cell is null in a typed or key column and
    "" elsewhere; typed columns are converted. A row that cannot be converted, or holds bytes
    that were not UTF-8, becomes a `BadRow` saying why."""

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

    def plain(self, empty: Container[str]) -> bool:
        """Whether records whose columns with an empty cell are *empty* keep every cell as
        it is: no column is typed, and no key column has an empty cell to make null."""
        return all(
            convert is None and column not in empty for _, column, convert, _ in self._special
        )

    def records(
        self, rows: Sequence[Sequence[str]], numbers: Sequence[int], where: Callable[[int], str]
    ) -> list[dict[str, Any] | BadRow]:
        """The record of each row of cells (read by the strict reader), or a `BadRow` (at
        its number) saying why it has none."""
        records: list[dict[str, Any] | BadRow] = list(
            map(dict, map(zip, repeat(self._header), rows))
        )
        # Bytes that were not UTF-8 arrive as surrogates, which UTF-8 cannot encode.
        try:
            "".join(chain.from_iterable(rows)).encode()
        except UnicodeEncodeError:
            for i, row in enumerate(rows):
                if not _encodes("".join(row)):
                    records[i] = self._checked(row, where(numbers[i]))
        return self.typed(records, numbers, where)

    def typed(
        self,
        records: list[dict[str, Any] | BadRow],
        numbers: Sequence[int],
        where: Callable[[int], str],
        empty: Container[str] | None = None,
    ) -> list[dict[str, Any] | BadRow]:
        """*records*, made of cells as they are, with empty cells made null and typed
        columns converted: a column at a time, so that a plain cell costs no step of its own.
        A record that is a `BadRow` already stays one. *empty*, when known, holds the
        columns that have an empty cell; a key column without one needs no step at all."""
        if not self._special:
            return records
        done: set[int] = set()
        if set(map(type, records)) != {dict}:
            done = {i for i, record in enumerate(records) if type(record) is not dict}
        for _, column, convert, nullable in self._special:
            if convert is None and empty is not None and column not in empty:
                continue
            cells: list[Any] = (
                [None if isinstance(r, BadRow) else r[column] for r in records]
                if done
                else list(map(itemgetter(column), records))  # type: ignore[arg-type]
            )
            if nullable:
                for i in compress(range(len(cells)), map(not_, cells)):
                    if i not in done:
                        records[i][column] = None  # type: ignore[index]
            if convert is None:
                continue
            for i, cell in enumerate(cells):
                if not cell or i in done:
                    continue
                try:
                    records[i][column] = convert(cell)  # type: ignore[index]
                except ValueError as exc:
                    records[i] = BadRow(where(numbers[i]), f"column {column!r}: {exc}")
                    done.add(i)
        return records

    def _checked(self, cells: Sequence[str], where: str) -> dict[str, Any] | BadRow:
        """The record of a row holding bytes that were not UTF-8: its first fault in column
        order, as a reader of the row finds it."""
        special = {index: (convert, nullable) for index, _, convert, nullable in self._special}
        record: dict[str, Any] = {}
        for index, (column, cell) in enumerate(zip(self._header, cells, strict=True)):
            if not _encodes(cell):
                return BadRow(where, f"column {column!r} is not valid UTF-8")
            convert, nullable = special.get(index, (None, False))
            if not cell and nullable:
                record[column] = None
            elif convert is None or not cell:
                record[column] = cell
            else:
                try:
                    record[column] = convert(cell)
                except ValueError as exc:
                    return BadRow(where, f"column {column!r}: {exc}")
        return record


def _encodes(text: str) -> bool:
    try:
        text.encode()
    except UnicodeEncodeError:
        return False
    return True


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
    options = {"--type": list(source.types), "--key": source.key_columns, **source.named_columns}
    check_named_columns(options, header, f"{source.label}:1", "header", shown)
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
    # In order, each row read: None for one with cells (in *rows*), else the BadRow it is.
    read: list[BadRow | None] = []
    numbers: list[int] = []
    rows: list[list[str]] = []
    row_numbers: list[int] = []

    def batch() -> RowBatch:
        records = iter(maker.records(rows, row_numbers, source.where))
        return RowBatch([next(records) if r is None else r for r in read], numbers)

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
            read.append(BadRow(source.where(start_line), f"bad CSV: {exc}"))
            continue
        end_line = reader.line_num
        if not cells:
            continue
        numbers.append(start_line)
        if len(cells) != maker.width:
            reason = f"{len(cells)} fields, the header has {maker.width}"
            read.append(BadRow(source.where(start_line), reason))
            continue
        read.append(None)
        rows.append(cells)
        row_numbers.append(start_line)
        if len(read) >= CSV_BATCH_ROWS:
            yield batch()
            read, numbers, rows, row_numbers = [], [], [], []
    if read:
        yield batch()


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


def _arrow_batches(source: Input, pa: Any) -> Generator[RowBatch | TextColumnBatch]:
    # A file opened for reading, or standard input: either reads into a buffer.
    stream = cast("io.BufferedReader", source.stream)
    # Bytes read and not yet handed out, held at the start of one buffer that every chunk
    # reuses: megabytes allocated afresh for each chunk would be faulted in afresh.
    buffer = bytearray(2 * ARROW_CHUNK_BYTES)
    held = 0
    handed = 0  # bytes at its start that the last chunk handed out
    at_end = False

    def whole_rows() -> tuple[memoryview, int] | None:
        """The next chunk of whole rows (ending at a line break outside quotes), a view of
        the buffer valid until the next call, and the quotes in it, or None at the end."""
        nonlocal buffer, held, handed, at_end
        if handed:
            buffer[: held - handed] = buffer[handed:held]
            held, handed = held - handed, 0
        while True:
            if at_end:
                cut, quotes = held, buffer.count(b'"', 0, held)
            else:
                cut, quotes = _last_row_end(buffer, held)
            if not cut and held >= 4 * ARROW_CHUNK_BYTES:
                # A quote left open for megabytes: the strict reader says what it makes of
                # it, without all that follows held in memory first.
                cut, quotes = held, -1
            if at_end or (cut > 0 and held >= ARROW_CHUNK_BYTES):
                handed = cut
                return (memoryview(buffer)[:cut], quotes) if cut else None
            if len(buffer) - held < ARROW_CHUNK_BYTES:  # rows longer than a chunk
                buffer = buffer + bytes(ARROW_CHUNK_BYTES)
            read = stream.readinto(memoryview(buffer)[held : held + ARROW_CHUNK_BYTES])
            if not read:
                at_end = True
            held += read

    def strict_rest(chunk: bytes | memoryview, **kwargs: Any) -> Generator[RowBatch]:
        rest = io.BufferedReader(_Joined(bytes(chunk) + buffer[handed:held], stream))
        return _strict_batches(source, rest, **kwargs)

    head = whole_rows()
    if head is None:
        return
    first = bytes(head[0])
    quotes = head[1]
    header_end = first.find(b"\n") + 1 or len(first)
    header = _single_row(first[:header_end], source.delimiter)
    if header is None:  # quoted line breaks, or what the strict reader would refuse
        yield from strict_rest(first, encoding="utf-8-sig")
        return
    header = _header_of(source, iter([header]))
    assert header is not None
    maker = _RecordMaker(header, source)
    parser = _ChunkParser(pa, source.delimiter, header)
    line = 1  # the last line read
    chunk = memoryview(first)[header_end:]
    quotes -= first.count(b'"', 0, header_end)
    while True:
        if quotes < 0:
            parsed = None
        else:
            parsed = parser.rows(chunk, quotes) if chunk else (None, [], set())
        if parsed is None:
            yield from strict_rest(chunk, encoding="utf-8", maker=maker, lines_before=line)
            return
        table, breaks, empty = parsed
        if table is not None and table.num_rows:
            numbers = _row_lines(line, table.num_rows, breaks)
            line = numbers[-1] + (breaks[-1] if breaks else 0)
            if maker.plain(empty):
                yield TextColumnBatch(table, numbers, empty)
            else:
                records = table.to_pylist()
                yield RowBatch(maker.typed(records, numbers, source.where, empty), numbers)
        head = whole_rows()
        if head is None:
            return
        chunk, quotes = head


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


def _last_row_end(data: bytes | bytearray, size: int) -> tuple[int, int]:
    """Where the last whole row of the first *size* bytes of *data* ends, after a line break
    outside quotes (0 if none), and how many quotes come before."""
    end = data.rfind(b"\n", 0, size)
    quotes = data.count(b'"', 0, max(end, 0))
    while end >= 0:
        if quotes % 2 == 0:
            return end + 1, quotes
        before = data.rfind(b"\n", 0, end)
        quotes -= data.count(b'"', max(before, 0), end)  # each byte counted once in all
        end = before
    return 0, 0


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
    """pyarrow's parse of a chunk of whole rows, returned only when it is the strict reader's.

    The check is arithmetic on counts, a few passes over the chunk and its cells in C: the
    chunk's bytes must be the cells' bytes plus one delimiter between cells, one line end
    per row and two quotes per quoted cell (a quote inside a cell written twice), and every
    quote that ends a cell must be followed by a delimiter or a line end, which is where
    pyarrow, unlike the strict reader, would go on reading a cell. Rows of the wrong width,
    text that is not UTF-8, blank lines, line ends other than \n and \r\n and cells past
    the strict reader's limit fail it too.
    """

    def __init__(self, pa: Any, delimiter: str, header: Sequence[str]) -> None:
        self._pa = pa
        self._delimiter = delimiter
        self._width = len(header)
        names = list(header)
        self._read = pa.csv.ReadOptions(column_names=names)
        self._parse = pa.csv.ParseOptions(
            delimiter=delimiter, newlines_in_values=True, ignore_empty_lines=True
        )
        self._convert = pa.csv.ConvertOptions(
            column_types=dict.fromkeys(names, pa.string()),
            strings_can_be_null=False,
            quoted_strings_can_be_null=False,
            null_values=[],
        )
        self._limit = csv.field_size_limit()
        self._delimiter_bytes = delimiter.encode()

    def rows(self, chunk: memoryview, quotes: int) -> tuple[Any, list[int], set[str]] | None:
        """The records of *chunk*, which holds *quotes* quotes, as a table of its cells as they
        are, the line breaks inside each record's cells (an empty list when there are none)
        and the columns with an empty cell; None when the strict reader must read it."""
        pa = self._pa
        try:
            table = pa.csv.read_csv(
                pa.BufferReader(chunk),
                read_options=self._read,
                parse_options=self._parse,
                convert_options=self._convert,
            )
        except pa.ArrowInvalid:  # a row of another width, text that is not UTF-8...
            return None
        count = table.num_rows
        if not count:  # blank lines alone
            return None
        table = table.combine_chunks()
        columns = table.columns
        cell_bytes, longest, opening, empties = text_column_stats(
            text_buffers(table), count, self._delimiter_bytes
        )
        # Every cell, for the counts that only a rare chunk needs.
        cells = pa.chunked_array([column.chunk(0) for column in columns], pa.string())
        # A cell past the limit in bytes may still be within it in characters.
        if longest > self._limit:
            pc = _compute()
            if (pc.max(pc.utf8_length(cells)).as_py() or 0) > self._limit:
                return None
        line_breaks, returns, crlfs, closing = csv_marks(chunk, self._delimiter_bytes)
        # Quotes, line breaks and carriage returns inside cells: the chunk's bytes that the
        # cells' text, the delimiters between cells, the quotes around cells and the line
        # ends leave over. Rare, so counted apart only when there are some.
        inside = cell_bytes + count * (self._width - 1) + quotes + line_breaks + returns
        inside -= len(chunk)
        in_quotes = in_breaks = in_returns = in_crlf = ends_quoted = 0
        breaks: list[int] = []
        if inside:
            pc = _compute()

            def total(pattern: str) -> int:
                return pc.sum(pc.count_substring(cells, pattern)).as_py() or 0

            in_quotes, in_breaks, in_returns = total('"'), total("\n"), total("\r")
            if in_quotes + in_breaks + in_returns != inside:
                return None
            in_crlf = total("\r\n")
            # A quote in a cell followed by what ends a cell, as it is written in the chunk.
            ends_quoted = sum(total('"' + end) for end in (self._delimiter, "\r", "\n"))
            if in_breaks:
                per_row = [pc.count_substring(column, "\n") for column in columns]
                summed = per_row[0]
                for more in per_row[1:]:
                    summed = pc.add(summed, more)
                breaks = summed.to_pylist()
            # Cells that start with a line end, quoted as those that start with a delimiter.
            opening += sum(
                pc.sum(pc.starts_with(cells, start).cast(pa.int64())).as_py() or 0
                for start in ("\r", "\n")
            )
        # opening: the cells that start with what ends a cell, quoted: their opening quote
        # counts.
        quoted = quotes - 2 * in_quotes  # two quotes per quoted cell
        # closing: the quotes followed by what ends a cell.
        sound = (
            quoted >= 0
            and quoted % 2 == 0
            # Every carriage return starts a \r\n, which the strict reader counts as one line.
            and in_returns == in_crlf
            and returns - in_returns == crlfs - in_crlf
            and line_breaks - in_breaks == count - (chunk[-1:].tobytes() != b"\n")
            and closing == quoted // 2 + ends_quoted + opening
        )
        if not sound:
            return None
        # Columns with an empty cell, which a key or typed column makes null.
        empty = {name for name, has in zip(table.column_names, empties, strict=True) if has}
        return table, breaks, empty
