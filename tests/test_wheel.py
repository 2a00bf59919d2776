"""The manylinux wheel from scripts/wheel.sh, installed where no compiler can be found.

scripts/test.sh builds the wheel for each interpreter before pytest runs; run on its own, this
test needs ``bash scripts/wheel.sh`` first and is skipped without it.
"""

import os
import subprocess
import sys
import venv
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
TAG = f"cp{sys.version_info.major}{sys.version_info.minor}"


def _built_wheel() -> Path:
    wheels = sorted((ROOT / "dist").glob(f"quordb-*-{TAG}-{TAG}-manylinux*.whl"))
    if not wheels:
        pytest.skip(f"no {TAG} manylinux wheel in dist/: run bash scripts/wheel.sh")
    return wheels[-1]


def test_wheel_installs_and_runs_without_build_tools(tmp_path):
    wheel = _built_wheel()
    env_dir = tmp_path / "env"
    venv.EnvBuilder(with_pip=True).create(env_dir)
    bin_dir = env_dir / "bin"
    # Only the environment's own bin: no cc, c++, cmake or ninja can be reached.
    env = {"PATH": str(bin_dir), "HOME": str(tmp_path), "PIP_DISABLE_PIP_VERSION_CHECK": "1"}
    for name in ("cc", "gcc", "c++", "cmake", "ninja"):
        assert not (bin_dir / name).exists()

    def run(*args: str) -> str:
        done = subprocess.run(
            args, env=env, cwd=tmp_path, capture_output=True, text=True, check=False
        )
        assert done.returncode == 0, done.stderr
        return done.stdout

    run(str(bin_dir / "python"), "-m", "pip", "install", "-q", "--only-binary", ":all:", str(wheel))
    # Nothing of the source tree may be imported instead of the installed package.
    location = run(str(bin_dir / "python"), "-c", "import quordb; print(quordb.__file__)")
    assert location.startswith(str(env_dir))

    source = tmp_path / "people.jsonl"
    source.write_text('{"id": "u1", "name": "Ada"}\n{"id": "u2", "name": "Bob"}\n')
    db = tmp_path / "people.qrdb"
    run(str(bin_dir / "quordb"), "build", str(db), str(source), "--key", "id")
    assert run(str(bin_dir / "quordb"), "get", str(db), "u2").strip() == (
        '{"id": "u2", "name": "Bob"}'
    )
    assert "OK" in run(str(bin_dir / "quordb"), "verify", str(db))
    assert os.path.getsize(db) > 40
