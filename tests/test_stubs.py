"""The stubs match the native module, and the package type-checks under mypy --strict."""

import pathlib
import subprocess
import sys

import pytest

pytest.importorskip("mypy")

PACKAGE_SOURCE = pathlib.Path(__file__).resolve().parents[1] / "python" / "quordb"


def run_mypy_tool(module, *args, cwd):
    result = subprocess.run(
        [sys.executable, "-m", module, *args],
        capture_output=True,
        text=True,
        cwd=cwd,
        check=False,
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
