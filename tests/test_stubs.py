"""The stubs match the native module, and the package type-checks under mypy --strict."""

import os
import pathlib
import subprocess
import sys

import pytest

pytest.importorskip("mypy")

PACKAGE_SOURCE = pathlib.Path(__file__).resolve().parents[1] / "python" / "quordb"


def run_mypy_tool(module, *args, cwd, path=None):
    result = subprocess.run(
        [sys.executable, "-m", module, *args],
        capture_output=True,
        text=True,
        cwd=cwd,
        check=False,
        env=None if path is None else {**os.environ, "MYPYPATH": path},
    )
    return result.returncode, result.stdout + result.stderr


@pytest.mark.parametrize("module", ["quordb._quordb", "quordb._native"])
def test_stubtest_finds_no_mismatch(tmp_path, module):
    # Run from an empty directory so that the installed package (with its
    # compiled module) is the one inspected.
    status, output = run_mypy_tool("mypy.stubtest", module, cwd=tmp_path)
    assert status == 0, output


def test_package_passes_mypy_strict(tmp_path):
    status, output = run_mypy_tool("mypy", "--strict", str(PACKAGE_SOURCE), cwd=tmp_path)
    assert status == 0, output


TYPED_READS = """
import msgspec
import quordb

class Person(msgspec.Struct):
    name: str

typed = quordb.QuorReader("p.qrdb", type=Person)
plain = quordb.QuorReader("p.qrdb")
either = quordb.open("p", type=Person)
reveal_type(typed["k"])
reveal_type(typed.get_many(["k"]))
reveal_type(next(iter(typed.values())))
reveal_type(plain["k"])
reveal_type(either["k"])
reveal_type(quordb.ShardedReader("p", type=Person).objects())
"""


def test_a_typed_reader_hands_out_its_type(tmp_path):
    (tmp_path / "reads.py").write_text(TYPED_READS)
    source = str(PACKAGE_SOURCE.parent)
    status, output = run_mypy_tool("mypy", "--strict", "reads.py", cwd=tmp_path, path=source)
    revealed = [
        line.split("Revealed type is ")[1] for line in output.splitlines() if "Revealed" in line
    ]
    assert status == 0, output
    assert revealed == [
        '"reads.Person"',
        '"list[reads.Person | Any]"',
        '"reads.Person"',
        '"Any"',
        '"reads.Person"',
        '"list[reads.Person]"',
    ], output
