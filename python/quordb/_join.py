"""What ``quordb join`` does once its arguments are read: stream the input's records a batch at
a time, look each batch's keys up in one call, and write the records with what was found, in
the input's own format, to a temporary file that replaces the output only once it is whole.

JSON Lines records get the found values as JSON (bytes and odd maps as ``quordb dump`` shows
them); CSV rows as text, with values that are no text or number (maps, lists, bytes) as that
same JSON; Parquet batches as typed columns, each field's type sampled from the database so
that every batch has the same schema, and whole objects (or fields of no one type) as JSON
text.
"""

from __future__ import annotations

import contextlib
import csv
import os
import sys
from collections.abc import Iterator, Sequence
from typing import IO, Any

import pyarrow  # type: ignore[import-untyped]  # ships no type information

from quordb._build import refuse_overwriting_input
from quordb._cli_errors import UsageError
from quordb._inputs import BadRow, BadRowPolicy, Input, InputError, Row
from quordb._json_form import json_text
from quordb._lookup import Lookup, arrow_join_keys, join_key
from quordb._native import temp_path_for
from quordb._progress import InputProgress
from quordb._reader import QuorReader
from quordb._sharded_reader import ShardedReader
from quordb._units import counted

__all__ = ["join"]

# Records looked up in one batch: large enough that a lookup's cost is the batch's, small
# enough that a batch of wide records stays a few megabytes.
_BATCH_ROWS = 4096


def join(
    reader: QuorReader[Any] | ShardedReader[Any],
    source: Input,
    on: str,
    lookup: Lookup,
    out: str,
    policy: BadRowPolicy,
    show_progress: bool,
    delimiter: str | None = None,
) -> None:
    """Write *out* (``-`` for standard output): the records of *source*, each with what
    *lookup* finds for the key in its field *on*, CSV with the input's *delimiter*; the
    counts go to stderr."""
    if out != "-":
        refuse_overwriting_input(out, source.stream, source.label)
    progress = InputProgress(sys.stderr, source) if show_progress else None
    with _output(out) as stream:
        if source.fmt == "parquet":
            rows, found = _join_parquet(reader, source, on, lookup, stream, progress)
        else:
            write = _JsonLines(stream) if source.fmt == "jsonl" else _Csv(stream, delimiter or ",")
            rows, found = _join_rows(reader, source, on, lookup, write, policy, progress)
    summary = f"joined {counted(rows, 'record')}, {found:,} found"
    if progress is not None:
        progress.finish(rows, summary)
    else:
        sys.stderr.write(summary + "\n")
    skipped = policy.summary()
    if skipped is not None:
        sys.stderr.write(f"quordb: {skipped}\n")


@contextlib.contextmanager
def _output(out: str) -> Iterator[IO[bytes]]:
    """The output stream: standard output, or a temporary file renamed to *out* at the end."""
    if out == "-":
        yield sys.stdout.buffer
        sys.stdout.buffer.flush()
        return
    temporary = temp_path_for(out)
    try:
        with open(temporary, "wb") as stream:
            yield stream
        os.replace(temporary, out)
    except BaseException:
        with contextlib.suppress(OSError):
            os.remove(temporary)
        raise


def _found(reader: QuorReader[Any] | ShardedReader[Any], keys: list[Any]) -> int:
    """How many of *keys* are present; a None key (a null field) is not."""
    return sum(reader.exists_many(keys))


def _refuse_clash(where: str, fields: Sequence[str] | dict[str, Any], added: Sequence[str]) -> None:
    clash = [name for name in added if name in fields]
    if clash:
        raise UsageError(
            f"{where}: the input already has {', '.join(map(repr, clash))}; give another --prefix"
        )


# --- JSON Lines and CSV: records as Python values -------------------------------------


class _JsonLines:
    def __init__(self, stream: IO[bytes]) -> None:
        self._stream = stream

    def __call__(self, fields: dict[str, Any]) -> None:
        self._stream.write(json_text(fields).encode() + b"\n")


def _cell(value: Any) -> str:
    if value is None:
        return ""
    if isinstance(value, str):
        return value
    return json_text(value)


class _Csv:
    """CSV rows under the first record's fields (the input's header and the added columns)."""

    def __init__(self, stream: IO[bytes], delimiter: str) -> None:
        self._text = _TextOut(stream)
        self._writer = csv.writer(self._text, delimiter=delimiter, lineterminator="\n")
        self._header: list[str] | None = None

    def __call__(self, fields: dict[str, Any]) -> None:
        if self._header is None:
            self._header = list(fields)
            self._writer.writerow(self._header)
        self._writer.writerow([_cell(fields.get(name)) for name in self._header])


class _TextOut:
    """The write method csv.writer needs, onto a binary stream, in UTF-8."""

    def __init__(self, stream: IO[bytes]) -> None:
        self._stream = stream

    def write(self, text: str) -> int:
        return self._stream.write(text.encode("utf-8", "surrogateescape"))


def _batches(
    rows: Iterator[Row | BadRow], on: str, policy: BadRowPolicy
) -> Iterator[tuple[list[Row], list[Any]]]:
    """The usable records in batches, each with its key (None for a null or absent field)."""
    batch: list[Row] = []
    keys: list[Any] = []
    for row in rows:
        if isinstance(row, BadRow):
            policy.skip(row)
            continue
        try:
            key = join_key(row.fields.get(on))
        except TypeError as error:
            policy.skip(BadRow(row.where, f"field {on!r}: {error}"))
            continue
        batch.append(row)
        keys.append(key)
        if len(batch) == _BATCH_ROWS:
            yield batch, keys
            batch, keys = [], []
    if batch:
        yield batch, keys


def _join_rows(
    reader: QuorReader[Any] | ShardedReader[Any],
    source: Input,
    on: str,
    lookup: Lookup,
    write: Any,
    policy: BadRowPolicy,
    progress: InputProgress | None,
) -> tuple[int, int]:
    names = lookup.names
    rows = found = 0
    for batch, keys in _batches(source.rows(), on, policy):
        columns = lookup.values(reader, keys)
        found += _found(reader, keys)
        for index, row in enumerate(batch):
            _refuse_clash(row.where, row.fields, names)
            write({**row.fields, **{name: column[index] for name, column in zip(names, columns)}})
        rows += len(batch)
        if progress is not None:
            progress.tick(rows)
    return rows, found


# --- Parquet: batches as Arrow columns ------------------------------------------------


def _join_parquet(
    reader: QuorReader[Any] | ShardedReader[Any],
    source: Input,
    on: str,
    lookup: Lookup,
    stream: IO[bytes],
    progress: InputProgress | None,
) -> tuple[int, int]:
    import pyarrow.parquet  # type: ignore[import-untyped]  # ships no type information

    try:
        parquet = pyarrow.parquet.ParquetFile(source.stream)
    except pyarrow.ArrowException as exc:
        raise InputError(f"{source.label}: not a Parquet file: {exc}") from None
    schema = parquet.schema_arrow
    if on not in schema.names:
        raise UsageError(f"{source.label} has no column {on!r}")
    _refuse_clash(source.label, schema.names, lookup.names)
    typed = lookup.sampled(reader)
    kinds = typed.types()
    for name, kind in zip(typed.names, kinds, strict=True):
        schema = schema.append(pyarrow.field(name, pyarrow.string() if kind is None else kind))
    rows = found = 0
    with pyarrow.parquet.ParquetWriter(stream, schema) as writer:
        for batch in parquet.iter_batches(batch_size=_BATCH_ROWS):
            keys = arrow_join_keys(batch.column(on), on)
            added = [
                _json_array(column) if isinstance(column, list) else column
                for column in typed.added(reader, keys, kinds)
            ]
            writer.write_batch(
                pyarrow.RecordBatch.from_arrays([*batch.columns, *added], schema=schema)
            )
            rows += batch.num_rows
            found += _found(reader, keys)
            if progress is not None:
                progress.tick(rows)
    return rows, found


def _json_array(values: list[Any]) -> pyarrow.Array:
    """Python objects (whole objects, fields of no one type) as a column of JSON text."""
    return pyarrow.array([None if value is None else json_text(value) for value in values])
