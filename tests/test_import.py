"""What `import quordb` loads: what a reader needs, and the rest only when it is used."""

import subprocess
import sys

import pytest

import quordb


@pytest.fixture(scope="module")
def loaded_by_import():
    """The modules a fresh interpreter holds after `import quordb`."""
    result = subprocess.run(
        [sys.executable, "-c", "import sys, quordb; print(*sys.modules)"],
        capture_output=True,
        text=True,
        check=True,
    )
    return set(result.stdout.split())


@pytest.mark.parametrize(
    "module",
    [
        "argparse",
        "quordb.cli",
        "quordb._build",
        "quordb._dump",
        "quordb._inputs",
        "quordb._writer",
        "quordb._sharded_writer",
        "quordb._sharded_reader",
        "quordb.dask",
        "tqdm",
        "dask",
        "pandas",
        "pyarrow",
    ],
)
def test_import_leaves_out_what_a_reader_does_not_need(loaded_by_import, module):
    assert "quordb._reader" in loaded_by_import
    assert module not in loaded_by_import


@pytest.mark.parametrize(
    ("name", "module"),
    [
        ("QuorWriter", "quordb._writer"),
        ("OnDuplicate", "quordb._writer"),
        ("ShardedReader", "quordb._sharded_reader"),
        ("ShardedWriter", "quordb._sharded_writer"),
        ("__version__", "quordb._quordb"),
    ],
)
def test_names_loaded_on_first_use_are_the_defining_modules_own(name, module):
    assert getattr(quordb, name) is getattr(sys.modules[module], name)
    assert name in dir(quordb) and name in quordb.__all__


def test_an_unknown_name_is_an_attribute_error():
    with pytest.raises(AttributeError, match="module 'quordb' has no attribute 'QuorReaderr'"):
        quordb.QuorReaderr  # noqa: B018  # the access is the test
