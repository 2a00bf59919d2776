"""The ``quordb`` command: build a database from JSON Lines and query it.

Exit status: 0 on success, 1 for a missing key, a damaged or unreadable file or
bad input data (with a message on stderr), 2 for a usage error (also a build
whose output is one of its inputs), 130 when interrupted, and 141 (128 +
SIGPIPE, as for tools that the signal ends) when the reader of standard output
goes away, as in ``quordb dump db | head``.
"""

from __future__ import annotations

import argparse
import base64
import collections
import itertools
import json
import os
import stat
import sys
from collections.abc import Callable, Iterator, Sequence
from typing import IO, Any

import msgpack  # type: ignore[import-untyped]  # ships no type information
from tqdm import tqdm  # type: ignore[import-untyped, unused-ignore]

from quordb._manifest import check_shard_count
from quordb._native import StreamWriter, temp_path_for
from quordb._quordb import __version__
from quordb._reader import QuorReader
from quordb._sharded import ShardedReader, ShardedWriter
from quordb._sharded import open as open_database
from quordb._writer import ADD_MANY_CHUNK, QuorWriter

__all__ = ["main", "to_json"]

PROG = "quordb"

# Message prefixes of the store's own failures; any other RuntimeError is a bug
# and is left to propagate with its traceback.
_STORE_ERROR_PREFIXES = ("QuorCorruptError: ", "QuorVersionError: ", "QuorIOError: ", "QuorError: ")

# Progress is counted in steps of this many lines, so that the bar costs nothing per line.
_PROGRESS_EVERY_LINES = 4096

# 128 + SIGPIPE: what a shell reports for a program that a closed pipe ended.
_EXIT_BROKEN_PIPE = 141
_EXIT_INTERRUPTED = 130


class CliError(Exception):
    """A failure reported as one line on stderr with exit status 1."""


class UsageError(Exception):
    """A command that must not run, reported as one line on stderr with exit status 2."""


# JSON rendering of decoded values


def to_json(value: Any) -> Any:
    """Turn a decoded msgpack value into something `json.dumps` renders without loss.

    `bytes` become ``{"$bytes": base64}``, msgpack extension types
    ``{"$ext": code, "data": base64}``, and a map with any non-`str` key
    ``{"$map": [[key, value], ...]}``; everything else is JSON already.
    """
    if isinstance(value, dict):
        if all(isinstance(k, str) for k in value):
            return {k: to_json(v) for k, v in value.items()}
        return {"$map": [[to_json(k), to_json(v)] for k, v in value.items()]}
    if isinstance(value, list | tuple):
        return [to_json(v) for v in value]
    if isinstance(value, bytes | bytearray | memoryview):
        return {"$bytes": base64.b64encode(value).decode("ascii")}
    if isinstance(value, msgpack.ExtType):
        return {"$ext": value.code, "data": base64.b64encode(value.data).decode("ascii")}
    if isinstance(value, msgpack.Timestamp):
        return {"$timestamp": [value.seconds, value.nanoseconds]}
    return value


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


def _shard_count(text: str) -> int:
    try:
        return check_shard_count(int(text))
    except ValueError as exc:
        raise argparse.ArgumentTypeError(str(exc)) from None


# build


def _keys_of(record: dict[str, Any], fields: Sequence[str], where: str) -> list[str]:
    keys: list[str] = []
    for field in fields:
        value = record.get(field)
        values = value if isinstance(value, list) else [value]
        for item in values:
            if item is None and not isinstance(value, list):
                continue  # an absent or null field gives no key
            if isinstance(item, str):
                keys.append(item)
            elif isinstance(item, int) and not isinstance(item, bool):
                keys.append(str(item))
            else:
                raise CliError(
                    f"{where}: field {field!r} must be a string, an integer or a list of them, "
                    f"not {json.dumps(item)}"
                )
    if not keys:
        raise CliError(f"{where}: none of the key fields {', '.join(map(repr, fields))} is set")
    return keys


class _Progress:
    """Bytes read against the input's size, on stderr: a tqdm bar with rate and ETA.

    For an input of unknown size (a pipe) it shows the bytes read and the rate.
    Closing it adds one line with the counts of lines and objects.
    """

    def __init__(self, stream: IO[str], total: int | None) -> None:
        self._stream = stream
        self._bar = tqdm(
            total=total,
            unit="B",
            unit_scale=True,
            unit_divisor=1024,
            desc="read",
            file=stream,
            mininterval=0.2,
            dynamic_ncols=True,
        )
        self._counted = 0

    def tick(self, read: int) -> None:
        self._bar.update(read - self._counted)
        self._counted = read

    def finish(self, lines: int, objects: int) -> None:
        self._bar.close()
        self._stream.write(f"read {lines:,} lines, {objects:,} objects\n")
        self._stream.flush()


def _regular_size(stream: IO[bytes]) -> int | None:
    """The size of a regular file behind *stream*, or None."""
    info = os.fstat(stream.fileno())
    return info.st_size if stat.S_ISREG(info.st_mode) else None


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


def _open_input(name: str) -> IO[bytes]:
    if name == "-":
        return sys.stdin.buffer
    try:
        return open(name, "rb")
    except OSError as exc:
        raise CliError(f"cannot read {name}: {exc.strerror}") from None


def _cmd_build(args: argparse.Namespace) -> int:
    source = _open_input(args.input)
    source_name = "<stdin>" if args.input == "-" else args.input
    try:
        _refuse_overwriting_input(args.out, source, source_name)
        show_progress = args.progress or sys.stderr.isatty()
        progress = _Progress(sys.stderr, _regular_size(source)) if show_progress else None
        try:
            writer: QuorWriter | ShardedWriter = (
                ShardedWriter(args.out, shards=args.shards)
                if args.shards
                else QuorWriter(args.out, quiet=False)
            )
        except OSError as exc:
            raise CliError(f"{args.out}: {exc}") from None
        try:
            with writer:
                lines, objects = _add_lines(writer, source, source_name, args.key, progress)
                if progress is not None:
                    progress.finish(lines, objects)
        except OSError as exc:
            raise CliError(f"{args.out}: {exc}") from None
        if isinstance(writer, ShardedWriter) and writer.manifest is not None:
            shards = writer.manifest.shards
            sys.stdout.write(
                f"✅  {args.out}  —  {len(shards)} shards · "
                f"{sum(e.num_objects for e in shards)} objects · "
                f"{sum(e.num_keys for e in shards)} keys · "
                f"{sum(e.size for e in shards) / 1024:.1f} KB\n"
            )
    finally:
        if source is not sys.stdin.buffer:
            source.close()
    return 0


def _add_lines(
    writer: QuorWriter | ShardedWriter,
    source: IO[bytes],
    source_name: str,
    key_fields: Sequence[str],
    progress: _Progress | None,
) -> tuple[int, int]:
    """Add one object per line of *source*; return the counts of lines and objects."""
    read = 0
    line_no = 0
    # The line of each pair handed to add_many lately: it stores them a chunk at
    # a time, and a pair it refuses is named by the count of objects before it.
    recent: collections.deque[int] = collections.deque(maxlen=2 * ADD_MANY_CHUNK)
    handed = 0

    def records() -> Iterator[tuple[dict[str, Any], list[str]]]:
        nonlocal read, line_no, handed
        for line_no, line in enumerate(source, start=1):
            read += len(line)
            if progress is not None and line_no % _PROGRESS_EVERY_LINES == 0:
                progress.tick(read)
            if not line.strip():
                continue
            where = f"{source_name}:{line_no}"
            try:
                record = json.loads(line)
            except ValueError as exc:  # also a UnicodeDecodeError for bytes that are no JSON text
                raise CliError(f"{where}: invalid JSON: {exc}") from None
            if not isinstance(record, dict):
                raise CliError(f"{where}: expected a JSON object, got {type(record).__name__}")
            keys = _keys_of(record, key_fields, where)
            recent.append(line_no)
            handed += 1
            yield record, keys

    def object_count() -> int:
        if isinstance(writer, ShardedWriter):
            return writer.object_count
        raw = writer.raw
        assert isinstance(raw, StreamWriter)
        return raw.object_count

    start = object_count()
    try:
        objects = writer.add_many(records())
    except (OverflowError, ValueError, TypeError) as exc:
        failed = object_count() - start  # the pair refused, counted from 0
        failed_line = recent[failed - (handed - len(recent))]
        raise CliError(f"{source_name}:{failed_line}: {exc}") from None
    if progress is not None:
        progress.tick(read)
    return line_no, objects


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
        if isinstance(db, ShardedReader):
            # Listed as the single-file listing does: text, ill-formed UTF-8 replaced.
            found = (
                db if args.prefix is None else (k for k, _ in db.prefix_raw(_key_arg(args.prefix)))
            )
            keys = [
                key if isinstance(key, str) else key.decode("utf-8", "replace")
                for key in itertools.islice(found, args.limit)
            ]
        elif args.prefix is None:
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
    with _open(args) as db:
        for key, value in db.items():
            out.write(json.dumps({"key": key, "value": to_json(value)}, ensure_ascii=False) + "\n")
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
    "format": "format",
    "shard_count": "shards",
    "size": "total size",
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
            continue  # a shard set's per-shard figures: in --json only
        if name == "file_size_kb":
            shown = f"{value:,.1f} KB"
        elif name == "size":
            shown = f"{value / 1024:,.1f} KB"
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
    sys.stdout.write(
        f"OK  {args.db}: {stats['num_keys']:,} keys, {stats['num_objects']:,} objects\n"
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
        help="build a database from JSON Lines",
        description=(
            "Build OUT from INPUT, one JSON object per line, stored whole under the "
            "keys found in the --key fields: a string, an integer (used as its "
            "decimal text) or a list of those. Absent and null fields give no key; "
            "every line needs at least one. A key that occurs again names the later object."
        ),
    )
    build.add_argument(
        "out", metavar="OUT", help="database file to write (with --shards, a directory)"
    )
    build.add_argument("input", metavar="INPUT", help="JSON Lines file, or - for standard input")
    build.add_argument(
        "--key",
        metavar="FIELD",
        action="append",
        required=True,
        help="field whose value gives keys (repeatable)",
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
        help="print every key and object as JSON Lines",
        description=(
            'Print one {"key": ..., "value": ...} line per key, in key order. Bytes are '
            'shown as {"$bytes": BASE64}, maps with non-string keys as {"$map": [[k, v], ...]}.'
        ),
    )
    dump.set_defaults(run=_cmd_dump)

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
    except CliError as exc:
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
