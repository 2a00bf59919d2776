"""The ``quordb`` command: build a database from JSON Lines, CSV or Parquet; query, join, dump,
load.

Exit status: 0 on success, 1 for a missing key, a damaged or unreadable file or
bad input data (with a message on stderr), 2 for a usage error (also a build
whose output is one of its inputs, or a database of the other kind: a file
where a shard set is, or the reverse), 130 when interrupted, and 141 (128 +
SIGPIPE, as for tools that the signal ends) when the reader of standard output
goes away, as in ``quordb dump db | head``.
"""

from __future__ import annotations

import argparse
import itertools
import os
import sys
from collections.abc import Callable, Iterable, Iterator, Sequence

# Only what every command needs is imported here: each command imports its own
# code, so that `quordb get` starts about as fast as `import quordb`.
from quordb import DecodeError, Key, QuorReader, StoreError
from quordb import open as open_database
from quordb._cli_errors import CliError, UsageError
from quordb._units import counted, human_size

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any

    from quordb import ShardedReader

__all__ = ["main"]

PROG = "quordb"

# 128 + SIGPIPE: what a shell reports for a program that a closed pipe ended.
_EXIT_BROKEN_PIPE = 141
_EXIT_INTERRUPTED = 130


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
    from quordb._manifest import check_shard_count

    try:
        return check_shard_count(int(text))
    except ValueError as exc:
        raise argparse.ArgumentTypeError(str(exc)) from None


def _field_names(text: str) -> list[str]:
    names = text.split(",")
    if not all(names):
        raise argparse.ArgumentTypeError(f"expected field names separated by commas, not {text!r}")
    return names


def _delimiter(text: str) -> str:
    # A tab is hard to type inside quotes, so its escape is taken too.
    if text in ("\\t", "tab"):
        return "\t"
    if len(text) != 1:
        raise argparse.ArgumentTypeError(f"a delimiter is one character (or \\t), not {text!r}")
    return text


# build and load


def _cmd_build(args: argparse.Namespace) -> int:
    if "numpy" not in sys.modules:
        # pyarrow imports numpy, whose OpenBLAS starts a thread per core that spins
        # between calls; a build makes none, and the spinning costs it a tenth of its CPU.
        os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")
    from quordb import _build
    from quordb._inputs import (
        BadRowPolicy,
        Input,
        column_types,
        delimiter_of,
        format_of,
        stored_fields,
    )

    keep = [name for names in args.fields for name in names]
    drop = [name for names in args.drop_fields for name in names]
    fmt = format_of(args.input, args.format)
    source = Input(
        args.input,
        fmt,
        types=column_types(args.type),
        key_columns=args.key,
        delimiter=delimiter_of(args.input, fmt, args.delimiter),
        named_columns={"--fields": keep, "--drop-fields": drop},
    )
    with source:
        _build.build(
            args.out,
            source,
            args.key,
            args.shards,
            BadRowPolicy(args.skip_bad, sys.stderr),
            show_progress=args.progress or sys.stderr.isatty(),
            on_duplicate=args.on_duplicate,
            table=not args.no_table,
            stored=stored_fields(keep, drop),
        )
    return 0


def _cmd_load(args: argparse.Namespace) -> int:
    from quordb import _build
    from quordb._inputs import Input

    with Input(args.input, "jsonl") as source:
        _build.load(args.out, source, args.shards, table=not args.no_table)
    return 0


def _cmd_index(args: argparse.Namespace) -> int:
    from quordb._native import add_table, table_info

    if os.path.isdir(args.db):
        raise UsageError(
            f"{args.db} is a directory: quordb index adds a lookup table to a single file; "
            "rebuild a shard set to give its shards tables"
        )
    added = add_table(args.db)
    info = table_info(args.db)
    assert info is not None
    state = "added" if added else "already present"
    sys.stdout.write(f"{args.db}: lookup table {state}, {human_size(info['table_bytes'])}\n")
    return 0


# read commands


def _open(args: argparse.Namespace) -> QuorReader[Any] | ShardedReader[Any]:
    return open_database(args.db, verify=not args.no_verify)


def _cmd_join(args: argparse.Namespace) -> int:
    from quordb._inputs import BadRowPolicy, Input, delimiter_of, format_of
    from quordb._join import join  # pandas and pyarrow only for a join
    from quordb._lookup import Lookup

    lookup = Lookup.of(args.columns, args.prefix)
    fmt = format_of(args.input, args.format)
    delimiter = delimiter_of(args.input, fmt, args.delimiter)
    source = Input(args.input, fmt, delimiter=delimiter, named_columns={"--on": [args.on]})
    with source, _open(args) as db:
        join(
            db,
            source,
            args.on,
            lookup,
            args.out,
            BadRowPolicy(args.skip_bad, sys.stderr),
            show_progress=args.progress or sys.stderr.isatty(),
            delimiter=delimiter,
        )
    return 0


# How many keys `get` looks up at once: enough to amortise a batch, few enough that
# keys piped in are answered a batch at a time, in little memory.
_GET_BATCH = 1024
# What `get` finds for a key that is absent, or whose batch could not be decoded.
_MISSING = object()
_DECODE_FAILED = object()


def _keys_asked(args: list[str]) -> Iterator[tuple[bytes, str]]:
    """Each key of *args* as its bytes and as messages show it; ``-`` reads one key a line."""
    for arg in args:
        if arg != "-":
            yield _key_arg(arg), arg
            continue
        for line in sys.stdin.buffer:
            key = line.removesuffix(b"\n")
            yield key, os.fsdecode(key)


def _cmd_get(args: argparse.Namespace) -> int:
    from quordb._json_form import json_text

    failed = False
    out = sys.stdout
    with _open(args) as db:
        for batch in itertools.batched(_keys_asked(args.key), _GET_BATCH):
            keys = [key for key, _ in batch]
            try:
                values = db.get_many(keys, _MISSING)
            except DecodeError:  # each key on its own tells which
                values = [_DECODE_FAILED] * len(keys)
            for (key, shown), value in zip(batch, values, strict=True):
                if value is _DECODE_FAILED:
                    try:
                        value = db.get(key, _MISSING)
                    except DecodeError as exc:
                        failed = _report(f"the object of key {shown!r} {exc.reason}")
                        continue
                if value is _MISSING:
                    failed = _report(f"key not found: {shown!r}")
                    continue
                try:
                    line = json_text(value)
                except RecursionError:
                    failed = _report(f"the object of key {shown!r} is nested too deeply to show")
                    continue
                out.write(line + "\n")
    return 1 if failed else 0


def _report(message: str) -> bool:
    """Report a key that `get` cannot show, and go on; true, for the exit status."""
    # After the lines before it, where both streams go to one place.
    sys.stdout.flush()
    _fail(message)
    return True


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
    from quordb._dump import dump_lines

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
    "format": "format",
    "shard_count": "shards",
    "lookup_table": "lookup table",
}


def _cmd_stats(args: argparse.Namespace) -> int:
    with _open(args) as db:
        stats = db.stats()
    if not os.path.isdir(args.db):
        from quordb._native import table_info

        # From the header and the trailer alone.
        info = table_info(args.db)
        size = 0 if info is None else info["table_bytes"]
        stats["lookup_table"] = "none" if info is None else f"{info['slots']} slots"
        stats["lookup_table_bytes"] = size
    if args.json:
        import json

        sys.stdout.write(json.dumps(stats) + "\n")
        return 0
    width = max(map(len, _STATS_LABELS.values()))
    for name, value in stats.items():
        if name in ("shards", "lookup_table_bytes"):
            continue  # a shard set's figures per shard, a table's size: in --json only
        if name == "file_size_kb":
            shown = human_size(round(value * 1024))
        elif name == "lookup_table" and stats["lookup_table_bytes"]:
            shown = f"{value}, {human_size(stats['lookup_table_bytes'])}"
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
        f"OK  {args.db}: {counted(stats['num_keys'], 'key')}, "
        f"{counted(stats['num_objects'], 'object')}, {size}\n"
    )
    return 0


# serve

# Modules of the serve extra; a missing one is named with the extra that brings it.
_SERVE_MODULES = frozenset({"starlette", "uvicorn", "anyio"})


def _cmd_serve(args: argparse.Namespace) -> int:
    try:
        from quordb.serve import ServeSettings, run_server  # the extra, only when asked for
    except ModuleNotFoundError as exc:
        missing = (exc.name or "").partition(".")[0]
        if missing not in _SERVE_MODULES:
            raise
        raise CliError(
            f"quordb serve needs the serve extra ({missing} is missing): "
            "pip install 'quordb[serve]'"
        ) from None
    settings = ServeSettings(
        path=args.db,
        verify=not args.no_verify,
        host=args.host,
        port=args.port,
        workers=args.workers,
        poll_seconds=args.poll,
        cors_origins=tuple(args.cors),
        token_file=args.token_file,
    )
    # Refused here, once, rather than by every worker as it starts.
    settings.read_token()
    with open_database(args.db, verify=False):
        pass
    run_server(settings)
    return 0


def _port(text: str) -> int:
    port = _limit(text)
    if port > 65535:
        raise argparse.ArgumentTypeError(f"a port is at most 65535, not {port}")
    return port


def _workers(text: str) -> int:
    workers = _limit(text)
    if workers < 1:
        raise argparse.ArgumentTypeError("at least one worker")
    return workers


def _seconds(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"invalid number of seconds: {text!r}") from None
    if not value >= 0:  # also NaN
        raise argparse.ArgumentTypeError(f"must not be negative: {text}")
    return value


# argument parsing


_COMMANDS = ("build", "get", "join", "keys", "dump", "load", "index", "stats", "verify", "serve")


def _add_delimiter(command: argparse.ArgumentParser) -> None:
    command.add_argument(
        "--delimiter",
        metavar="CHAR",
        type=_delimiter,
        help="the character between CSV cells (default: a comma, a tab for .tsv; \\t for a tab)",
    )


def _add_progress(command: argparse.ArgumentParser) -> None:
    command.add_argument(
        "--progress",
        action="store_true",
        help="show progress on stderr even when it is not a terminal",
    )


def _add_shards(command: argparse.ArgumentParser) -> None:
    command.add_argument(
        "--shards",
        metavar="N",
        type=_shard_count,
        help="build a shard set of N .qrdb files and a manifest in the directory OUT",
    )


def _add_no_table(command: argparse.ArgumentParser) -> None:
    command.add_argument(
        "--no-table",
        action="store_true",
        help="write no lookup table after the index (the file then opens by reading its "
        "index, as files of the format's own writer do)",
    )


def _command_in(argv: Sequence[str]) -> str | None:
    """The command that *argv* names, if any: the first argument that is not an option."""
    command = next((arg for arg in argv if not arg.startswith("-")), None)
    return command if command in _COMMANDS else None


def _parser(command: str | None = None) -> argparse.ArgumentParser:
    """The parser of every command, or of *command* alone (the only one it can then parse)."""
    from quordb._quordb import __version__

    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Build and query quordb databases (.qrdb files).",
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    # The commands' prog given, rather than worked out by a help formatter, which
    # would import shutil and its compression modules for every run.
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND", prog=PROG)

    database = argparse.ArgumentParser(add_help=False)
    database.add_argument("db", metavar="DB", help="database file, or shard set directory")
    read = argparse.ArgumentParser(add_help=False, parents=[database])
    read.add_argument(
        "--no-verify",
        action="store_true",
        help="skip the whole-file checksum when opening",
    )

    if command in (None, "build"):
        from quordb._inputs import FORMATS, KEY_FIELD_RULE

        build = commands.add_parser(
            "build",
            help="build a database from JSON Lines, CSV or Parquet",
            description=(
                "Build OUT from INPUT, each record (a JSON object per line, a CSV row under "
                "its header, a Parquet row) stored whole under the keys found in the --key "
                f"fields. A key field holds {KEY_FIELD_RULE} (an integer is used as its "
                "decimal text); null, as the field or as an item of its list, and an absent "
                "field give no key, and every record needs at least one. A key that occurs "
                "again names the later object. The format follows the extension (.csv, .tsv "
                "for tab-separated CSV, .parquet .pq, JSON Lines for any other) unless "
                "--format is given."
            ),
        )
        build.add_argument("out", metavar="OUT", help="database file (or shard set) to write")
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
        _add_delimiter(build)
        stored = build.add_mutually_exclusive_group()
        stored.add_argument(
            "--fields",
            metavar="A,B",
            type=_field_names,
            action="append",
            default=[],
            help="store only these fields of each record (repeatable); a --key field is stored "
            "only if named here",
        )
        stored.add_argument(
            "--drop-fields",
            metavar="A,B",
            type=_field_names,
            action="append",
            default=[],
            help="store each record without these fields (repeatable), e.g. the --key field, "
            "which finds the record already",
        )
        build.add_argument(
            "--skip-bad",
            metavar="N",
            type=_limit,
            default=0,
            help="skip up to N records that cannot be used, each reported on stderr (default 0)",
        )
        build.add_argument(
            "--on-duplicate",
            choices=("last", "first", "error"),
            default="last",
            help="a key that a later record gives again names the later record (last, the "
            "default), stays with the first (first), or makes the later record a bad one (error, "
            "which names both records); stderr tells how many keys changed hands",
        )
        _add_progress(build)
        _add_shards(build)
        _add_no_table(build)
        build.set_defaults(run=_cmd_build)

    if command in (None, "get"):
        get = commands.add_parser(
            "get",
            parents=[read],
            help="print the object of each key as JSON",
            description=(
                "Print the object of each KEY as one line of JSON, in the order asked. A KEY "
                "of - reads keys from standard input, one a line (the line without its "
                "newline is the key), looked up in batches of 1024 as they are read. A key that is not "
                "found, or whose object cannot be shown, is reported on stderr and the "
                "others are still printed; the exit status is then 1."
            ),
        )
        get.add_argument("key", metavar="KEY", nargs="+", help="a key, or - for standard input")
        get.set_defaults(run=_cmd_get)

    if command in (None, "join"):
        from quordb._inputs import FORMATS

        join = commands.add_parser(
            "join",
            parents=[read],
            help="add to each record of an input the object its key names",
            description=(
                "Write OUT: the records of INPUT (JSON Lines, CSV or Parquet, by extension "
                "unless --format is given), each with the object that the key in its field --on "
                "names in DB, in the input's format. The key field holds text or an integer "
                "(taken as its decimal text); a missing key gives null. With --columns, the "
                "named fields of the object are added, each as a column; else the whole object, "
                "as column 'object' (as JSON text in CSV and Parquet). --prefix goes before the "
                "added names."
            ),
        )
        join.add_argument("input", metavar="INPUT", help="input file, or - for standard input")
        join.add_argument("--on", metavar="FIELD", required=True, help="field that holds the key")
        join.add_argument(
            "--columns",
            metavar="A,B",
            type=_field_names,
            help="fields of the object to add, separated by commas (default: the whole object)",
        )
        join.add_argument("--prefix", default="", help="put before the name of each added column")
        join.add_argument(
            "--out", metavar="OUT", required=True, help="file to write, or - for standard output"
        )
        join.add_argument("--format", choices=FORMATS, help="the input's format")
        _add_delimiter(join)
        join.add_argument(
            "--skip-bad",
            metavar="N",
            type=_limit,
            default=0,
            help="skip up to N records that cannot be read, each reported on stderr (default 0)",
        )
        _add_progress(join)
        join.set_defaults(run=_cmd_join)

    if command in (None, "keys"):
        keys = commands.add_parser("keys", parents=[read], help="list keys in sorted order")
        keys.add_argument("--prefix", metavar="P", help="only keys that start with P")
        keys.add_argument("--limit", metavar="N", type=_limit, help="at most N keys")
        keys.set_defaults(run=_cmd_keys)

    if command in (None, "dump"):
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

    if command in (None, "load"):
        load = commands.add_parser(
            "load",
            help="build a database from the output of dump",
            description=(
                "Build OUT from INPUT, the output of quordb dump (or - for standard input): "
                "the same keys and objects, each object stored once."
            ),
        )
        load.add_argument("out", metavar="OUT", help="database file (or shard set) to write")
        load.add_argument("input", metavar="INPUT", help="dump output, or - for standard input")
        _add_shards(load)
        _add_no_table(load)
        load.set_defaults(run=_cmd_load)

    if command in (None, "index"):
        index = commands.add_parser(
            "index",
            parents=[database],
            help="add a lookup table to a database file, so that it opens without reading its index",
            description=(
                "Write DB again with a lookup table after its index, through a temporary file "
                "and a rename, as a build does, after checking its checksums and its index. "
                "Files that quordb build and load write carry one already, unless built with "
                "--no-table."
            ),
        )
        index.set_defaults(run=_cmd_index)

    if command in (None, "stats"):
        stats = commands.add_parser("stats", parents=[read], help="show file metadata")
        stats.add_argument("--json", action="store_true", help="print the metadata as JSON")
        stats.set_defaults(run=_cmd_stats)

    if command in (None, "verify"):
        verify = commands.add_parser(
            "verify",
            parents=[database],
            help="check every checksum, and the header against the sections it describes",
        )
        verify.set_defaults(run=_cmd_verify)

    if command in (None, "serve"):
        serve = commands.add_parser(
            "serve",
            parents=[read],
            help="serve the database read-only over HTTP: a JSON API and a browse page",
            description=(
                "Answer lookups, batches and key listings as JSON under /v1, with a browse "
                "page at / (needs the serve extra: pip install 'quordb[serve]'). A rebuild "
                "of DB is picked up without a restart, on SIGHUP or by polling."
            ),
        )
        serve.add_argument(
            "--host", default="127.0.0.1", help="address to listen on (default 127.0.0.1)"
        )
        serve.add_argument("--port", type=_port, default=8000, help="port (default 8000)")
        serve.add_argument(
            "--workers", metavar="N", type=_workers, default=1, help="worker processes (default 1)"
        )
        serve.add_argument(
            "--poll",
            metavar="SECONDS",
            type=_seconds,
            default=2.0,
            help="look for a rebuilt DB this often (default 2; 0: on SIGHUP only)",
        )
        serve.add_argument(
            "--cors",
            metavar="ORIGIN",
            action="append",
            default=[],
            help="let pages from ORIGIN call the API (repeatable; default: no CORS)",
        )
        serve.add_argument(
            "--token-file",
            metavar="FILE",
            help="require Authorization: Bearer TOKEN, the token read from FILE",
        )
        serve.set_defaults(run=_cmd_serve)
    return parser


def _fail(message: str, status: int = 1) -> int:
    sys.stderr.write(f"{PROG}: {message}\n")
    return status


def main(argv: Sequence[str] | None = None) -> int:
    """Run the ``quordb`` command with *argv* (default: ``sys.argv[1:]``); return the exit status."""
    argv = sys.argv[1:] if argv is None else list(argv)
    try:
        args = _parser(_command_in(argv)).parse_args(argv)
    except SystemExit as exc:  # --help, --version and usage errors
        return exc.code if isinstance(exc.code, int) else 0 if exc.code is None else 2
    run: Callable[[argparse.Namespace], int] = args.run
    try:
        return run(args)
    except (CliError, UsageError, StoreError) as exc:
        return _fail(str(exc), exc.exit_status)
    except KeyboardInterrupt:
        return _fail("interrupted", _EXIT_INTERRUPTED)
    except BrokenPipeError:
        # The reader of our output went away (`quordb dump db | head`): stop
        # quietly, and keep the interpreter's final flush from failing again.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return _EXIT_BROKEN_PIPE
    except (OSError, ValueError) as exc:
        # The system refused, or a value the store cannot hold: the message says which.
        return _fail(str(exc) or type(exc).__name__)
