"""The README and docs/usage.md stay true: their Python examples run under doctest, their shell
examples in bash."""

import doctest
import os
import pathlib
import re
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[1]
DOCUMENTS = [ROOT / "README.md", ROOT / "docs" / "usage.md"]
FLAGS = doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE
CONSOLE_BLOCK = re.compile(r"^```console\n(.*?)^```$", re.MULTILINE | re.DOTALL)


def console_steps(markdown):
    """(command, expected output) for each `$ ` line of the console blocks, in order."""
    steps = []
    for block in CONSOLE_BLOCK.findall(markdown):
        for line in block.splitlines(keepends=True):
            if line.startswith("$ "):
                steps.append([line[2:].rstrip("\n"), ""])
            else:
                steps[-1][1] += line
    return steps


@pytest.fixture(scope="module", params=DOCUMENTS, ids=lambda path: path.name)
def document(request):
    return request.param


@pytest.fixture(scope="module")
def workdir(tmp_path_factory, document):
    return tmp_path_factory.mktemp(document.stem)


def test_python_examples(document, workdir, monkeypatch):
    monkeypatch.chdir(workdir)
    failed, attempted = doctest.testfile(str(document), module_relative=False, optionflags=FLAGS)
    assert attempted > 0
    assert failed == 0, "see the doctest report in the captured output"


def test_shell_examples(document, workdir):
    # `quordb` resolves to this interpreter's package whether or not its
    # scripts directory is on PATH.
    bin_dir = workdir / "bin"
    bin_dir.mkdir()
    shim = bin_dir / "quordb"
    shim.write_text(f'#!/bin/sh\nexec "{sys.executable}" -m quordb "$@"\n')
    shim.chmod(0o755)
    env = {**os.environ, "PATH": f"{bin_dir}{os.pathsep}{os.environ.get('PATH', '')}"}
    steps = console_steps(document.read_text(encoding="utf-8"))
    assert steps
    checker = doctest.OutputChecker()
    for command, expected in steps:
        result = subprocess.run(
            ["bash", "-c", command],
            cwd=workdir,
            env=env,
            stdout=subprocess.PIPE,
            stderr=subprocess.STDOUT,
            text=True,
            check=False,
        )
        assert checker.check_output(expected, result.stdout, FLAGS), (
            f"$ {command}\nexpected:\n{expected}got:\n{result.stdout}"
        )
