"""The ``quordb`` command: build a database from JSON Lines, CSV or Parquet; query, dump, load.

Exit status: 0 on success, 1 for a missing key, a damaged or unreadable file or
bad input data (with a message on stderr), 2 for a usage error.
"""

from __future__ import annotations

import argparse
import json
import os
import sys
import time
from collections.abc import Callable, Sequence
from typing import IO, Any

from quordb._dump import dump_lines, load_lines, to_json
from quordb._inputs import (
    FORMATS,
    BadRow,
    BadRowPolicy,
    Input,
    InputError,
    column_types,
    format_of,
    keys_of,
)
from quordb._quordb import __version__
from quordb._reader import QuorReader
from quordb._units import human_size
from quordb._writer import QuorWriter

__all__ = ["main", "to_json"]

PROG = "quordb"

# Message prefixes of the store's own failures; any other RuntimeError is a bug
# and is left to propagate with its traceback.
_STORE_ERROR_PREFIXES = ("QuorCorruptError: ", "QuorVersionError: ", "QuorIOError: ", "QuorError: ")

# Progress is redrawn at most this often, and the clock is read once per this many lines.
_PROGRESS_INTERVAL_S = 0.2
_PROGRESS_EVERY_ROWS = 1024


class CliError(Exception):
    """A failure reported as one line on stderr with exit status 1."""


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
    """Rows read, and how far into the input, redrawn in place on stderr a few times a second."""

    def __init__(self, stream: IO[str], source: Input) -> None:
        self._stream = stream
        self._source = source
        self._size = source.size
        self._next_draw = time.monotonic() + _PROGRESS_INTERVAL_S

    def _text(self, rows: int) -> str:
        position = self._source.position()
        if position is None or not self._size:
            return f"read {rows:,} rows"
        return (
            f"read {rows:,} rows, {human_size(position)} of {human_size(self._size)} "
            f"({100 * position / self._size:.0f}%)"
        )

    def tick(self, rows: int) -> None:
        now = time.monotonic()
        if now >= self._next_draw:
            self._next_draw = now + _PROGRESS_INTERVAL_S
            self._stream.write(f"\r{self._text(rows)}")
            self._stream.flush()

    def finish(self, rows: int, objects: int) -> None:
        self._stream.write(f"\r{self._text(rows)}, {objects:,} objects\n")
        self._stream.flush()


def _cmd_build(args: argparse.Namespace) -> int:
    fmt = format_of(args.input, args.format)
    types = column_types(args.type)
    policy = BadRowPolicy(args.skip_bad, sys.stderr)
    writer = QuorWriter()
    with Input(args.input, fmt, types=types, key_columns=args.key) as source:
        show_progress = args.progress or sys.stderr.isatty()
        progress = _Progress(sys.stderr, source) if show_progress else None
        rows = objects = 0
        for row in source.rows():
            rows += 1
            if progress is not None and rows % _PROGRESS_EVERY_ROWS == 0:
                progress.tick(rows)
            try:
                if isinstance(row, BadRow):
                    raise row
                try:
                    writer.add(row.fields, keys_of(row, args.key))
                except (OverflowError, ValueError, TypeError) as exc:
                    raise BadRow(row.where, str(exc)) from None
            except BadRow as bad:
                policy.skip(bad)
                continue
            objects += 1
        if progress is not None:
            progress.finish(rows, objects)
    summary = policy.summary()
    if summary is not None:
        sys.stderr.write(f"{PROG}: {summary}\n")
    writer.build(args.out)
    return 0


def _cmd_load(args: argparse.Namespace) -> int:
    writer = QuorWriter()
    with Input(args.input, "jsonl") as source:
        load_lines(source.stream, source.label, writer)
    writer.build(args.out)
    return 0


# read commands


def _open(args: argparse.Namespace) -> QuorReader:
    return QuorReader(args.db, verify=not args.no_verify)


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
        if args.prefix is None:
            keys = db.raw.keys()
        else:
            # The native prefix scan is a binary search; it copies the payloads
            # of the matches, which is cheaper than listing every key.
            keys = [key for key, _ in db.raw.prefix_raw(_key_arg(args.prefix))]
    if args.limit is not None:
        keys = keys[: args.limit]
    out = sys.stdout
    for key in keys:
        out.write(key + "\n")
    return 0


def _cmd_dump(args: argparse.Namespace) -> int:
    out = sys.stdout
    for line in dump_lines(args.db, verify=not args.no_verify):
        out.write(line + "\n")
    return 0


_STATS_LABELS = {
    "path": "path",
    "version": "format version",
    "num_keys": "keys",
    "num_objects": "objects",
    "index_offset": "index offset",
    "data_offset": "data offset",
    "file_size_kb": "file size",
    "file_crc32": "file CRC-32",
}


def _cmd_stats(args: argparse.Namespace) -> int:
    with _open(args) as db:
        stats = db.stats()
    if args.json:
        sys.stdout.write(json.dumps(stats) + "\n")
        return 0
    width = max(map(len, _STATS_LABELS.values()))
    for name, value in stats.items():
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
    with QuorReader(args.db, verify=False) as db:
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
    read.add_argument("db", metavar="DB", help="database file")
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
            "(.jsonl .ndjson .json, .csv, .parquet .pq) unless --format is given."
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
    except BrokenPipeError:
        # The reader of our output went away (`quordb dump db | head`); stop quietly.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 1
    except (OSError, RuntimeError, ValueError) as exc:
        message = str(exc)
        if isinstance(exc, RuntimeError) and not message.startswith(_STORE_ERROR_PREFIXES):
            raise
        return _fail(message)
