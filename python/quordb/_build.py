"""What ``quordb build`` and ``quordb load`` do once their arguments are read: check the
target, choose its writer, add the rows with bad ones left to a policy, show progress, and
print the summary line, the same way for a single file and for a shard set."""

from __future__ import annotations

import os
import sys
from collections.abc import Callable, Sequence
from typing import IO, Any

from quordb import DuplicateKeyError, OnDuplicate, QuorWriter, ShardedWriter
from quordb._cli_errors import CliError, UsageError
from quordb._collector import collector_paused
from quordb._dump import load_lines
from quordb._inputs import BadRow, BadRowPolicy, Batch, Input, StoredFields, batch_keys
from quordb._manifest import MANIFEST_NAME
from quordb._native import temp_path_for
from quordb._progress import InputProgress
from quordb._text_columns import TextColumnBatch
from quordb._units import counted, human_size

__all__ = ["build", "load"]

type Writer = QuorWriter | ShardedWriter


def build(
    out: str,
    source: Input,
    key_fields: Sequence[str],
    shards: int | None,
    policy: BadRowPolicy,
    show_progress: bool,
    on_duplicate: OnDuplicate = "last",
    table: bool = True,
    stored: StoredFields | None = None,
) -> None:
    """Build *out* (a shard set of *shards* when given) from the rows of *source*; a key
    that a later record repeats is settled by *on_duplicate*; *stored* picks what of each
    record is stored (see `quordb._inputs.stored_fields`), the whole record by default; each
    file carries a lookup table unless not *table*."""
    _check_target(out, shards, source)
    progress = InputProgress(sys.stderr, source) if show_progress else None
    writer = _open_writer(out, shards, on_duplicate, table)
    with _NamingTarget(out), writer, collector_paused():
        records, objects = _add_rows(writer, source, key_fields, policy, progress, stored)
        if progress is not None:
            progress.finish(
                records, f"read {counted(records, 'record')}, {counted(objects, 'object')}"
            )
        summary = policy.summary()
        if summary is not None:
            sys.stderr.write(f"quordb: {summary}\n")
        _finish(writer)
    _report_replaced(writer)


def load(out: str, source: Input, shards: int | None, table: bool = True) -> None:
    """Build *out* (a shard set of *shards* when given) from the dump that *source* holds."""
    _check_target(out, shards, source)
    writer = _open_writer(out, shards, table=table)
    with _NamingTarget(out), writer:
        load_lines(source.stream, source.label, writer)
        _finish(writer)


# --- the target ---------------------------------------------------------------------


def _check_target(out: str, shards: int | None, source: Input) -> None:
    """UsageError, before any input is read, when building *out* cannot end well."""
    refuse_overwriting_input(out, source.stream, source.label)
    if shards is None and os.path.isdir(out):
        kind = "a shard set" if os.path.isfile(os.path.join(out, MANIFEST_NAME)) else "a directory"
        raise UsageError(
            f"{out} is {kind}: give --shards N to build a shard set there, "
            "or another path for a single file"
        )
    if shards is not None and os.path.lexists(out) and not os.path.isdir(out):
        raise UsageError(
            f"{out} is a file: a shard set is a directory; give another path, "
            "or leave out --shards to build a single file"
        )


def _same_file(a: os.stat_result, b: os.stat_result) -> bool:
    return (a.st_dev, a.st_ino) == (b.st_dev, b.st_ino)


def refuse_overwriting_input(out: str, source: IO[bytes], source_name: str) -> None:
    """UsageError when the build of *out* would replace or empty its own input.

    The output and its temporary file are compared with the input by device
    and inode, so other names of the same file (links, ``./x``) count too.
    """
    source_info = os.fstat(source.fileno())
    for written in (out, temp_path_for(out)):
        try:
            info = os.stat(written)
        except OSError:
            continue
        if _same_file(info, source_info):
            raise UsageError(
                f"{written} is the input {source_name}: building there would destroy it"
            )


def _open_writer(
    out: str, shards: int | None, on_duplicate: OnDuplicate = "last", table: bool = True
) -> Writer:
    with _NamingTarget(out):
        if shards is not None:
            return ShardedWriter(out, shards=shards, on_duplicate=on_duplicate, table=table)
        return QuorWriter(out, on_duplicate=on_duplicate, table=table)


class _NamingTarget:
    """A failure to write, reported with the target's name first, unless it names it."""

    def __init__(self, out: str) -> None:
        self._out = out

    def __enter__(self) -> None:
        pass

    def __exit__(
        self, kind: type[BaseException] | None, exc: BaseException | None, tb: object
    ) -> None:
        if isinstance(exc, OSError) and not isinstance(exc, BrokenPipeError):  # ours, not OUT's
            message = str(exc)
            raise CliError(message if self._out in message else f"{self._out}: {message}") from None


def _finish(writer: Writer) -> None:
    """Build *writer*'s target and print its summary line on standard output, one form for a
    single file and a shard set: counts with their nouns, the size in decimal units."""
    if isinstance(writer, QuorWriter):
        writer.build()
        path = writer.path
        assert path is not None  # the command line's writers stream to their target
        counts = {"object": writer.object_count, "key": writer.key_count}
        size = os.stat(path).st_size
    else:
        shards = writer.build().shards
        path = writer.path
        counts = {
            "shard": len(shards),
            "object": sum(e.num_objects for e in shards),
            "key": sum(e.num_keys for e in shards),
        }
        size = sum(e.size for e in shards)
    shown = " · ".join(counted(number, noun) for noun, number in counts.items())
    sys.stdout.write(f"✅  {path}  —  {shown} · {human_size(size)}\n")


# --- the rows -----------------------------------------------------------------------


def _add_rows(
    writer: Writer,
    source: Input,
    key_fields: Sequence[str],
    policy: BadRowPolicy,
    progress: InputProgress | None,
    stored: StoredFields | None,
) -> tuple[int, int]:
    """Add one object per usable record of *source*; return the counts of records and objects.

    A record that cannot be used, or that the writer refuses, goes to *policy*, which skips
    it or raises, in the order of the input: the records between two bad ones go to the
    writer in one call.
    """
    records = objects = 0
    where = source.where
    # Where each stored object's record starts, kept only to name the earlier record of a
    # key that a refused one repeats: object i is the i-th record stored.
    stored_at: list[int] | None = [] if writer.on_duplicate == "error" else None
    for batch in source.batches():
        records += len(batch.numbers)
        add, bad = _batch_adder(writer, batch, key_fields, where, stored)
        start = 0
        for end in [*bad, len(batch.numbers)]:
            while start < end:
                added, refused = _add_span(add, start, end)
                objects += added
                if stored_at is not None:
                    stored_at.extend(batch.numbers[start : start + added])
                start += added
                if refused is not None:
                    number = batch.numbers[start]
                    policy.skip(BadRow(where(number), _refusal(refused, stored_at, where)))
                    start += 1
            if end < len(batch.numbers):
                policy.skip(bad[end])
                start = end + 1
        if progress is not None:
            progress.tick(records)
    return records, objects


def _batch_adder(
    writer: Writer,
    batch: Batch,
    key_fields: Sequence[str],
    where: Callable[[int], str],
    stored: StoredFields | None,
) -> tuple[Callable[[int, int], int], dict[int, BadRow]]:
    """What adds the records *start* to *end* of *batch*, none of them bad, to *writer* (and
    returns how many it added), and the bad records of *batch* by position."""
    if (
        isinstance(batch, TextColumnBatch)
        and isinstance(writer, QuorWriter)
        and batch.holds_keys(key_fields)
    ):
        fields = batch.names if stored is None else stored.of(batch.names)

        def add_columns(start: int, end: int) -> int:
            assert end == len(batch.numbers)  # a batch of columns has no bad record
            return batch.add_to(writer.raw, fields, key_fields, start)

        return add_columns, {}
    keys = batch_keys(batch, key_fields, where)
    if stored is not None:
        stored(batch.records)
    bad: dict[int, BadRow] = {}
    if BadRow in set(map(type, keys)):
        bad = {i: k for i, k in enumerate(keys) if isinstance(k, BadRow)}

    def add_records(start: int, end: int) -> int:
        whole = start == 0 and end == len(keys)
        objs = batch.records if whole else batch.records[start:end]
        span: Sequence[Any] = keys if whole else keys[start:end]  # none of them a BadRow
        if isinstance(writer, QuorWriter):
            return writer.add_batch(objs, span)
        return writer.add_many(zip(objs, span))

    return add_records, bad


def _add_span(add: Callable[[int, int], int], start: int, end: int) -> tuple[int, Exception | None]:
    """Add the records *start* to *end* of a batch, none of them bad, with *add*; return how
    many were added and, when the writer refused the next one, why."""
    try:
        return add(start, end), None
    except (OverflowError, ValueError, TypeError) as exc:
        # A writer stops at the pair it refuses and says where it is; an exception without
        # the position refused no record.
        position = getattr(exc, "pair_index", None)
        if position is None:
            raise
        return position, exc


def _refusal(exc: Exception, stored_at: list[int] | None, where: Callable[[int], str]) -> str:
    """Why a writer refused a record; a repeated key names the record that has it."""
    if isinstance(exc, DuplicateKeyError) and stored_at is not None:
        return (
            f"key {exc.key!r} is the key of the record at {where(stored_at[exc.first])} already "
            "(--on-duplicate error)"
        )
    return str(exc)


def _report_replaced(writer: Writer) -> None:
    """Say on stderr how many keys a later record took, or failed to take, from an earlier."""
    replaced = writer.replaced_count
    if replaced == 0:
        return
    if writer.on_duplicate == "first":
        note = f"{counted(replaced, 'key')} kept by earlier records from later ones"
    else:
        note = (
            f"{counted(replaced, 'key')} taken over by later records "
            "(--on-duplicate first keeps the first, --on-duplicate error refuses the later)"
        )
    sys.stderr.write(f"quordb: {note}\n")
