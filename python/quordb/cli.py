"""The ``quordb`` command: build a database from JSON Lines, CSV or Parquet; query, dump, load.

Exit status: 0 on success, 1 for a missing key, a damaged or unreadable file or
bad input data (with a message on stderr), 2 for a usage error (also a build
whose output is one of its inputs), 130 when interrupted, and 141 (128 +
SIGPIPE, as for tools that the signal ends) when the reader of standard output
goes away, as in ``quordb dump db | head``.
"""

from __future__ import annotations

import argparse
import itertools
import json
import os
import sys
from collections.abc import Callable, Iterable, Iterator, Sequence
from typing import IO, Any

from tqdm import tqdm  # type: ignore[import-untyped, unused-ignore]

from quordb._dump import dump_lines, load_lines, to_json
from quordb._inputs import (
    FORMATS,
    BadRow,
    BadRowPolicy,
    Input,
    InputError,
    Row,
    column_types,
    format_of,
    keys_of,
)
from quordb._manifest import MANIFEST_NAME, Manifest, check_shard_count
from quordb._native import StreamWriter, temp_path_for
from quordb._quordb import __version__
from quordb._reader import Key, QuorReader
from quordb._sharded import ShardedReader, ShardedWriter
from quordb._sharded import open as open_database
from quordb._units import human_size
from quordb._writer import QuorWriter

__all__ = ["main", "to_json"]

PROG = "quordb"

# Message prefixes of the store's own failures; any other RuntimeError is a bug
# and is left to propagate with its traceback.
_STORE_ERROR_PREFIXES = ("QuorCorruptError: ", "QuorVersionError: ", "QuorIOError: ", "QuorError: ")

# Progress is counted in steps of this many records, so that the bar costs nothing per record.
_PROGRESS_EVERY_RECORDS = 4096

# 128 + SIGPIPE: what a shell reports for a program that a closed pipe ended.
_EXIT_BROKEN_PIPE = 141
_EXIT_INTERRUPTED = 130


class CliError(Exception):
    """A failure reported as one line on stderr with exit status 1."""


class UsageError(Exception):
    """A command that must not run, reported as one line on stderr with exit status 2."""


# JSON rendering of decoded values


def _dumps(value: Any) -> str:
    return json.dumps(to_json(value), ensure_ascii=False)


def _key_arg(text: str) -> bytes:
    # Command-line arguments that are not valid UTF-8 arrive with surrogate
    # escapes; turning them back into bytes finds the key exactly as stored.
    return os.fsencode(text)


def _limit(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"invalid count: {text!r}") from None
    if value < 0:
        raise argparse.ArgumentTypeError(f"must not be negative: {value}")
    return value


# build


class _Progress:
    """How far into the input, on stderr: a tqdm bar with rate and ETA.

    Bytes against the size of a regular text file; records read for a pipe or
    Parquet. Closing it adds one line with the counts of records and objects.
    """

    def __init__(self, stream: IO[str], source: Input) -> None:
        self._stream = stream
        self._source = source
        self._bytes = source.position() is not None
        self._bar = tqdm(
            total=source.size if self._bytes else None,
            unit="B" if self._bytes else " records",
            unit_scale=True,
            unit_divisor=1000,
            desc="read",
            file=stream,
            mininterval=0.2,
            dynamic_ncols=True,
        )
        self._counted = 0

    def tick(self, records: int) -> None:
        done = self._source.position() if self._bytes else records
        self._bar.update((done or 0) - self._counted)
        self._counted = done or 0

    def finish(self, records: int, objects: int) -> None:
        self.tick(records)
        self._bar.close()
        self._stream.write(f"read {records:,} records, {objects:,} objects\n")
        self._stream.flush()


def _same_file(a: os.stat_result, b: os.stat_result) -> bool:
    return (a.st_dev, a.st_ino) == (b.st_dev, b.st_ino)


def _refuse_overwriting_input(out: str, source: IO[bytes], source_name: str) -> None:
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


def _shard_count(text: str) -> int:
    try:
        return check_shard_count(int(text))
    except ValueError as exc:
        raise argparse.ArgumentTypeError(str(exc)) from None


def _streaming_writer(out: str) -> QuorWriter:
    try:
        return QuorWriter(out, quiet=False)
    except OSError as exc:
        raise CliError(f"{out}: {exc}") from None


def _cmd_build(args: argparse.Namespace) -> int:
    fmt = format_of(args.input, args.format)
    types = column_types(args.type)
    policy = BadRowPolicy(args.skip_bad, sys.stderr)
    with Input(args.input, fmt, types=types, key_columns=args.key) as source:
        _refuse_overwriting_input(args.out, source.stream, source.label)
        show_progress = args.progress or sys.stderr.isatty()
        progress = _Progress(sys.stderr, source) if show_progress else None
        writer: QuorWriter | ShardedWriter = (
            ShardedWriter(args.out, shards=args.shards)
            if args.shards
            else _streaming_writer(args.out)
        )
        try:
            with writer:
                records, objects = _add_rows(writer, source.rows(), args.key, policy, progress)
                if progress is not None:
                    progress.finish(records, objects)
                summary = policy.summary()
                if summary is not None:
                    sys.stderr.write(f"{PROG}: {summary}\n")
        except OSError as exc:
            raise CliError(f"{args.out}: {exc}") from None
    if isinstance(writer, ShardedWriter) and writer.manifest is not None:
        shards = writer.manifest.shards
        sys.stdout.write(
            f"✅  {args.out}  —  {len(shards)} shards · "
            f"{sum(e.num_objects for e in shards)} objects · "
            f"{sum(e.num_keys for e in shards)} keys · "
            f"{human_size(sum(e.size for e in shards))}\n"
        )
    return 0


# A record ready to add: where it starts, the object and its keys.
_Pending = tuple[str, dict[str, Any], list[str]]


def _add_rows(
    writer: QuorWriter | ShardedWriter,
    rows: Iterator[Row | BadRow],
    key_fields: Sequence[str],
    policy: BadRowPolicy,
    progress: _Progress | None,
) -> tuple[int, int]:
    """Add one object per usable row; return the counts of records and objects.

    A row that cannot be used goes to *policy*, which skips it or raises.
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

    # add_many stops at a pair it refuses, the last one handed over: that
    # row is skipped and the rows after it are handed over again.
    last: _Pending | None = None
    handed = 0

    def handing(pending: Iterator[_Pending]) -> Iterator[tuple[dict[str, Any], list[str]]]:
        nonlocal last, handed
        for item in pending:
            last = item
            handed += 1
            yield item[1], item[2]

    def object_count() -> int:
        if isinstance(writer, ShardedWriter):
            return writer.object_count
        raw = writer.raw
        assert isinstance(raw, StreamWriter)
        return raw.object_count

    source = usable()
    objects = 0
    while True:
        start, last, handed = object_count(), None, 0
        try:
            objects += writer.add_many(handing(source))
            return records, objects
        except (OverflowError, ValueError, TypeError) as exc:
            stored = object_count() - start
            objects += stored
            if last is None or stored != handed - 1:
                raise  # not a refused pair
            policy.skip(BadRow(last[0], str(exc)))


def _cmd_load(args: argparse.Namespace) -> int:
    with Input(args.input, "jsonl") as source:
        _refuse_overwriting_input(args.out, source.stream, source.label)
        writer = _streaming_writer(args.out)
        try:
            with writer:
                load_lines(source.stream, source.label, writer)
        except OSError as exc:
            raise CliError(f"{args.out}: {exc}") from None
    return 0


# read commands


def _open(args: argparse.Namespace) -> QuorReader | ShardedReader:
    return open_database(args.db, verify=not args.no_verify)


def _cmd_get(args: argparse.Namespace) -> int:
    with _open(args) as db:
        try:
            value = db[_key_arg(args.key)]
        except KeyError:
            raise CliError(f"key not found: {args.key!r}") from None
    sys.stdout.write(_dumps(value) + "\n")
    return 0


def _cmd_keys(args: argparse.Namespace) -> int:
    with _open(args) as db:
        keys: Iterable[Key] = (
            db.keys() if args.prefix is None else db.prefix_keys(_key_arg(args.prefix))
        )
        if args.limit is not None:
            keys = itertools.islice(keys, args.limit)
        _write_keys(keys)
    return 0


def _write_keys(keys: Iterable[Key]) -> None:
    # A key that is not UTF-8 is listed as bytes: written as they are, it can
    # be handed back to `get` (which takes arguments as the shell passes them).
    sys.stdout.flush()
    out = sys.stdout.buffer
    for key in keys:
        out.write((key.encode() if isinstance(key, str) else key) + b"\n")
    out.flush()


def _cmd_dump(args: argparse.Namespace) -> int:
    out = sys.stdout
    for line in _dump_any(args.db, verify=not args.no_verify):
        out.write(line + "\n")
    return 0


def _dump_any(path: str, verify: bool) -> Iterator[str]:
    """The dump of a file, or of each shard of a shard set in turn, objects numbered on."""
    if not os.path.isfile(os.path.join(path, MANIFEST_NAME)):
        yield from dump_lines(path, verify=verify)
        return
    first = 0
    for entry in Manifest.load(path).shards:
        yield from dump_lines(os.path.join(path, entry.file), verify=verify, first_object=first)
        first += entry.num_objects


_STATS_LABELS = {
    "path": "path",
    "version": "format version",
    "num_keys": "keys",
    "num_objects": "objects",
    "index_offset": "index offset",
    "data_offset": "data offset",
    "file_size_kb": "file size",
    "file_crc32": "file CRC-32",
    "format": "format",
    "shard_count": "shards",
}


def _cmd_stats(args: argparse.Namespace) -> int:
    with _open(args) as db:
        stats = db.stats()
    if args.json:
        sys.stdout.write(json.dumps(stats) + "\n")
        return 0
    width = max(map(len, _STATS_LABELS.values()))
    for name, value in stats.items():
        if name == "shards":
            continue  # a shard set's figures per shard: in --json only
        if name == "file_size_kb":
            shown = human_size(round(value * 1024))
        elif isinstance(value, int):
            shown = f"{value:,}"
        else:
            shown = str(value)
        sys.stdout.write(f"{_STATS_LABELS.get(name, name):<{width}}  {shown}\n")
    return 0


def _cmd_verify(args: argparse.Namespace) -> int:
    # verify() starts with the same whole-file checksum, so skip it at open.
    with open_database(args.db, verify=False) as db:
        db.verify()
        stats = db.stats()
    size = human_size(round(stats["file_size_kb"] * 1024))
    sys.stdout.write(
        f"OK  {args.db}: {stats['num_keys']:,} keys, {stats['num_objects']:,} objects, {size}\n"
    )
    return 0


# argument parsing


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Build and query quordb databases (.qrdb files).",
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    read = argparse.ArgumentParser(add_help=False)
    read.add_argument("db", metavar="DB", help="database file, or shard set directory")
    read.add_argument(
        "--no-verify",
        action="store_true",
        help="skip the whole-file checksum when opening",
    )

    build = commands.add_parser(
        "build",
        help="build a database from JSON Lines, CSV or Parquet",
        description=(
            "Build OUT from INPUT, each record (a JSON object per line, a CSV row under "
            "its header, a Parquet row) stored whole under the keys found in the --key "
            "fields: a string, an integer (used as its decimal text) or a list of those. "
            "Absent and null fields give no key; every record needs at least one. A key "
            "that occurs again names the later object. The format follows the extension "
            "(.csv, .parquet .pq, JSON Lines for any other) unless --format is given."
        ),
    )
    build.add_argument("out", metavar="OUT", help="database file to write")
    build.add_argument("input", metavar="INPUT", help="input file, or - for standard input")
    build.add_argument(
        "--key",
        metavar="FIELD",
        action="append",
        required=True,
        help="field whose value gives keys (repeatable)",
    )
    build.add_argument("--format", choices=FORMATS, help="the input's format")
    build.add_argument(
        "--type",
        metavar="COLUMN=TYPE",
        action="append",
        default=[],
        help="read a CSV column as int, float, bool, json or str (repeatable); "
        "an empty cell of a typed column is null",
    )
    build.add_argument(
        "--skip-bad",
        metavar="N",
        type=_limit,
        default=0,
        help="skip up to N records that cannot be used, each reported on stderr (default 0)",
    )
    build.add_argument(
        "--progress",
        action="store_true",
        help="show progress on stderr even when it is not a terminal",
    )
    build.add_argument(
        "--shards",
        metavar="N",
        type=_shard_count,
        help="build a shard set of N .qrdb files and a manifest in the directory OUT",
    )
    build.set_defaults(run=_cmd_build)

    get = commands.add_parser("get", parents=[read], help="print the object of a key as JSON")
    get.add_argument("key", metavar="KEY")
    get.set_defaults(run=_cmd_get)

    keys = commands.add_parser("keys", parents=[read], help="list keys in sorted order")
    keys.add_argument("--prefix", metavar="P", help="only keys that start with P")
    keys.add_argument("--limit", metavar="N", type=_limit, help="at most N keys")
    keys.set_defaults(run=_cmd_keys)

    dump = commands.add_parser(
        "dump",
        parents=[read],
        help="print every key and object as JSON Lines, for load",
        description=(
            'Print one {"key": ..., "value": ..., "object": N} line per key: the objects in '
            "stored order, numbered from 0, each with its keys in key order; an object that "
            'no key names has a line without "key". Bytes are shown as {"$bytes": BASE64}, '
            'maps with keys that are not strings as {"$map": [[k, v], ...]}. load makes the '
            "same database from it."
        ),
    )
    dump.set_defaults(run=_cmd_dump)

    load = commands.add_parser(
        "load",
        help="build a database from the output of dump",
        description=(
            "Build OUT from INPUT, the output of quordb dump (or - for standard input): "
            "the same keys and objects, each object stored once."
        ),
    )
    load.add_argument("out", metavar="OUT", help="database file to write")
    load.add_argument("input", metavar="INPUT", help="dump output, or - for standard input")
    load.set_defaults(run=_cmd_load)

    stats = commands.add_parser("stats", parents=[read], help="show file metadata")
    stats.add_argument("--json", action="store_true", help="print the metadata as JSON")
    stats.set_defaults(run=_cmd_stats)

    verify = commands.add_parser(
        "verify",
        help="check every checksum, and the header against the sections it describes",
    )
    verify.add_argument("db", metavar="DB", help="database file")
    verify.set_defaults(run=_cmd_verify)
    return parser


def _fail(message: str) -> int:
    sys.stderr.write(f"{PROG}: {message}\n")
    return 1


def main(argv: Sequence[str] | None = None) -> int:
    """Run the ``quordb`` command with *argv* (default: ``sys.argv[1:]``); return the exit status."""
    try:
        args = _parser().parse_args(argv)
    except SystemExit as exc:  # --help, --version and usage errors
        return exc.code if isinstance(exc.code, int) else 0 if exc.code is None else 2
    run: Callable[[argparse.Namespace], int] = args.run
    try:
        return run(args)
    except (CliError, InputError, BadRow) as exc:
        return _fail(str(exc))
    except UsageError as exc:
        _fail(str(exc))
        return 2
    except KeyboardInterrupt:
        _fail("interrupted")
        return _EXIT_INTERRUPTED
    except BrokenPipeError:
        # The reader of our output went away (`quordb dump db | head`): stop
        # quietly, and keep the interpreter's final flush from failing again.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return _EXIT_BROKEN_PIPE
    except (OSError, RuntimeError, ValueError) as exc:
        message = str(exc)
        if isinstance(exc, RuntimeError) and not message.startswith(_STORE_ERROR_PREFIXES):
            raise
        return _fail(message)
