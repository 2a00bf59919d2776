"""What ``quordb build`` and ``quordb load`` do once their arguments are read: check the
target, choose its writer, add the rows with bad ones left to a policy, show progress, and
print the summary line, the same way for a single file and for a shard set."""

from __future__ import annotations

import os
import sys
from collections.abc import Iterator, Sequence
from typing import IO, Any

from quordb import DuplicateKeyError, OnDuplicate, QuorWriter, ShardedWriter
from quordb._cli_errors import CliError, UsageError
from quordb._dump import load_lines
from quordb._inputs import BadRow, BadRowPolicy, Input, Row, keys_of
from quordb._manifest import MANIFEST_NAME
from quordb._native import temp_path_for
from quordb._progress import InputProgress
from quordb._units import counted, human_size

__all__ = ["build", "load"]

type Writer = QuorWriter | ShardedWriter

# Progress is counted in steps of this many records, so that the bar costs nothing per record.
_PROGRESS_EVERY_RECORDS = 4096


def build(
    out: str,
    source: Input,
    key_fields: Sequence[str],
    shards: int | None,
    policy: BadRowPolicy,
    show_progress: bool,
    on_duplicate: OnDuplicate = "last",
) -> None:
    """Build *out* (a shard set of *shards* when given) from the rows of *source*; a key
    that a later record repeats is settled by *on_duplicate*."""
    _check_target(out, shards, source)
    progress = InputProgress(sys.stderr, source) if show_progress else None
    writer = _open_writer(out, shards, on_duplicate)
    with _NamingTarget(out), writer:
        records, objects = _add_rows(writer, source.rows(), key_fields, policy, progress)
        if progress is not None:
            progress.finish(
                records, f"read {counted(records, 'record')}, {counted(objects, 'object')}"
            )
        summary = policy.summary()
        if summary is not None:
            sys.stderr.write(f"quordb: {summary}\n")
        _finish(writer)
    _report_replaced(writer)


def load(out: str, source: Input, shards: int | None) -> None:
    """Build *out* (a shard set of *shards* when given) from the dump that *source* holds."""
    _check_target(out, shards, source)
    writer = _open_writer(out, shards)
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


def _open_writer(out: str, shards: int | None, on_duplicate: OnDuplicate = "last") -> Writer:
    with _NamingTarget(out):
        if shards is not None:
            return ShardedWriter(out, shards=shards, on_duplicate=on_duplicate)
        return QuorWriter(out, on_duplicate=on_duplicate)


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

# A record ready to add: where it starts, the object and its keys.
_Pending = tuple[str, dict[str, Any], list[str | bytes]]


def _add_rows(
    writer: Writer,
    rows: Iterator[Row | BadRow],
    key_fields: Sequence[str],
    policy: BadRowPolicy,
    progress: InputProgress | None,
) -> tuple[int, int]:
    """Add one object per usable row; return the counts of records and objects.

    A row that cannot be used, or that the writer refuses, goes to *policy*,
    which skips it or raises.
    """
    records = 0

    def usable() -> Iterator[_Pending]:
        nonlocal records
        for row in rows:
            records += 1
            if progress is not None and records % _PROGRESS_EVERY_RECORDS == 0:
                progress.tick(records)
            try:
                if isinstance(row, BadRow):
                    raise row
                yield row.where, row.fields, keys_of(row, key_fields)
            except BadRow as bad:
                policy.skip(bad)

    # Where each stored object's record starts, kept only to name the earlier record of a
    # key that a refused one repeats: object i is the i-th record stored.
    stored_at: list[str] | None = [] if writer.on_duplicate == "error" else None
    last: _Pending | None = None

    def handing(pending: Iterator[_Pending]) -> Iterator[tuple[dict[str, Any], list[str | bytes]]]:
        nonlocal last
        for item in pending:
            last = item
            if stored_at is not None:
                stored_at.append(item[0])
            yield item[1], item[2]

    source = usable()
    objects = 0
    while True:
        try:
            objects += writer.add_many(handing(source))
            return records, objects
        except (OverflowError, ValueError, TypeError) as exc:
            # A writer stops at the pair it refuses, the last one handed, and says where it
            # is; an exception without the position refused no row.
            position = getattr(exc, "pair_index", None)
            if position is None or last is None:
                raise
            objects += position  # each row before it stored one object
            if stored_at is not None:
                stored_at.pop()  # the refused record stored nothing
            policy.skip(BadRow(last[0], _refusal(exc, stored_at)))


def _refusal(exc: Exception, stored_at: list[str] | None) -> str:
    """Why a writer refused a record; a repeated key names the record that has it."""
    if isinstance(exc, DuplicateKeyError) and stored_at is not None:
        return (
            f"key {exc.key!r} is the key of the record at {stored_at[exc.first]} already "
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
