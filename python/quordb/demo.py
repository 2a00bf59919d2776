"""Build a database of every named Unicode character, then query it with the CLI.

Run as ``python -m quordb.demo [--out PATH]``.  Each character with a name is
one object (a msgpack map of its properties) stored under two keys, its name
and its ``U+XXXX`` code, so every object is shared by two keys.  Without
``--out`` the file lives in a temporary directory that is removed at the end.
"""

from __future__ import annotations

import argparse
import shlex
import sys
import tempfile
import time
import unicodedata
from collections.abc import Iterator, Sequence
from pathlib import Path
from typing import Any

from quordb._writer import QuorWriter
from quordb.cli import main as cli_main

__all__ = ["build_unicode_db", "code_key", "main", "unicode_records"]

_LAST_CODE_POINT = 0x10FFFF


def code_key(code_point: int) -> str:
    """The ``U+XXXX`` form: upper-case hex, at least four digits."""
    return f"U+{code_point:04X}"


def unicode_records() -> Iterator[dict[str, Any]]:
    """One property map per code point that has a name, in code point order."""
    name_of = unicodedata.name
    for code_point in range(_LAST_CODE_POINT + 1):
        char = chr(code_point)
        name = name_of(char, None)
        if name is None:
            continue
        record: dict[str, Any] = {
            "code": code_key(code_point),
            "char": char,
            "name": name,
            "category": unicodedata.category(char),
            "bidirectional": unicodedata.bidirectional(char),
        }
        decomposition = unicodedata.decomposition(char)
        if decomposition:
            record["decomposition"] = decomposition
        numeric = unicodedata.numeric(char, None)
        if numeric is not None:
            record["numeric"] = numeric
        yield record


def build_unicode_db(path: str) -> int:
    """Write the database to *path*; return the number of characters stored."""
    writer = QuorWriter()
    count = 0
    for record in unicode_records():
        writer.add(record, (record["name"], record["code"]))
        count += 1
    writer.build(path)
    return count


def _run_cli(args: list[str]) -> int:
    print("$ quordb " + shlex.join(args), flush=True)
    status = cli_main(args)
    sys.stdout.flush()
    if status != 0:
        print(f"(exit status {status})")
    return status


def _demo(path: str) -> int:
    print(f"Building {path} from the Unicode {unicodedata.unidata_version} character database ...")
    started = time.perf_counter()
    count = build_unicode_db(path)
    elapsed = time.perf_counter() - started
    print(
        f"{count:,} named characters, each stored once under two keys "
        f"(its name and its U+ code), in {elapsed:.1f} s.\n"
    )
    steps = [
        ["get", path, "GREEK SMALL LETTER ALPHA"],
        ["get", path, code_key(ord("α"))],
        ["keys", path, "--prefix", "GREEK SMALL LETTER", "--limit", "5"],
        ["stats", path],
        ["verify", path],
    ]
    failed = 0
    for step in steps:
        failed += _run_cli(step) != 0
        print()
    return 1 if failed else 0


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(
        prog="python -m quordb.demo",
        description="Build a database of the named Unicode characters and query it.",
    )
    parser.add_argument(
        "--out",
        metavar="PATH",
        help="where to write the database (default: a temporary directory, removed afterwards)",
    )
    args = parser.parse_args(argv)
    if args.out is not None:
        return _demo(args.out)
    with tempfile.TemporaryDirectory(prefix="quordb-demo-") as tmp:
        return _demo(str(Path(tmp) / "unicode.qrdb"))


if __name__ == "__main__":
    sys.exit(main())
