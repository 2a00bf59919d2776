"""``quordb serve`` as a real server process on a free port, over real HTTP: answers, hot swap
of a rebuilt database under load, and what happens without the serve extra."""

from __future__ import annotations

import json
import os
import signal
import subprocess
import sys
import threading
import time

import pytest
from serve_server import running_server

from quordb import QuorWriter, ShardedWriter

KEYS = [f"key:{n:04d}" for n in range(300)]


def build(path, kind, version):
    """A database whose every key names ``{"version": version, ...}``."""
    writer = QuorWriter(path) if kind == "file" else ShardedWriter(path, shards=3)
    with writer:
        for n, key in enumerate(KEYS):
            writer.add({"version": version, "n": n}, key)


@pytest.mark.parametrize("workers", ["1", "2"])
def test_a_real_server_answers_over_http(tmp_path, workers):
    build(tmp_path / "db.qrdb", "file", 1)
    with running_server(tmp_path / "db.qrdb", "--workers", workers) as server:
        assert json.loads(server.get("/v1/items/key:0007")[1]) == {"version": 1, "n": 7}
        status, body = server.get("/v1/keys?limit=10000")
        assert (status, json.loads(body)) == (200, {"keys": KEYS, "next": None})
        status, body = server.post_json("/v1/items:batch", {"keys": ["key:0001", "nope"]})
        assert [item["found"] for item in json.loads(body)["items"]] == [True, False]
        status, body = server.get("/")
        assert status == 200
        assert b'<script src="/browse.js"' in body


class Load:
    """Clients asking for objects in a loop, as fast as they can, counting what failed."""

    def __init__(self, server, clients=3):
        self.server = server
        self.stop = threading.Event()
        self.failures: list[str] = []
        self.versions: list[int] = []  # of every answer, in the order they came
        self.lock = threading.Lock()
        self.threads = [threading.Thread(target=self.run, args=(n,)) for n in range(clients)]

    def run(self, client):
        n = client
        while not self.stop.is_set():
            n = (n + 7) % len(KEYS)
            try:
                if n % 5 == 0:  # now and then a whole listing, which streams
                    status, body = self.server.get("/v1/keys?limit=10000")
                    ok = status == 200 and len(json.loads(body)["keys"]) == len(KEYS)
                    version = None
                else:
                    status, body = self.server.get(f"/v1/items/{KEYS[n]}")
                    value = json.loads(body) if status == 200 else None
                    ok = value is not None and value["n"] == n
                    version = value["version"] if ok else None
            except OSError as error:
                ok, status, body, version = False, None, repr(error).encode(), None
            with self.lock:
                if not ok:
                    self.failures.append(f"{status}: {body[:200]!r}")
                elif version is not None:
                    self.versions.append(version)

    def wait_for(self, version, in_a_row=40, timeout=30):
        """Until *in_a_row* answers running show *version*: every worker serves it."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            with self.lock:
                tail = self.versions[-in_a_row:]
            if len(tail) == in_a_row and set(tail) == {version}:
                return
            time.sleep(0.05)
        raise AssertionError(f"version {version} was not served everywhere: {tail}")

    def __enter__(self):
        for thread in self.threads:
            thread.start()
        return self

    def __exit__(self, *exc_info):
        self.stop.set()
        for thread in self.threads:
            thread.join()


@pytest.mark.parametrize(
    ("kind", "workers", "trigger"),
    [
        ("file", "1", "poll"),
        ("file", "2", "poll"),
        ("file", "2", "sighup"),
        ("shard set", "2", "poll"),
        ("shard set", "1", "sighup"),
    ],
)
def test_rebuilds_are_picked_up_under_load_with_no_failed_request(tmp_path, kind, workers, trigger):
    path = tmp_path / ("db.qrdb" if kind == "file" else "set")
    build(path, kind, 1)
    poll = "0.2" if trigger == "poll" else "0"
    server_running = running_server(path, "--workers", workers, "--poll", poll)
    with server_running as server, Load(server) as load:
        load.wait_for(1)
        for version in (2, 3):
            build(path, kind, version)
            if trigger == "sighup":
                os.kill(server.process.pid, signal.SIGHUP)
            load.wait_for(version)
    assert load.failures == []
    assert len(load.versions) > 100


@pytest.mark.parametrize(
    ("code", "expected"),
    [
        # The package alone never loads the server stack.
        (
            "import sys, quordb; print(sorted(set(sys.modules) & {'starlette', 'uvicorn', 'quordb.serve'}))",
            "[]",
        ),
        # Without the extra, the command says which to install.
        (
            "import sys; sys.modules['starlette'] = None; import quordb.cli as c; c.main(['serve', 'db.qrdb'])",
            "quordb serve needs the serve extra (starlette is missing): pip install 'quordb[serve]'",
        ),
    ],
    ids=["import quordb", "serve without the extra"],
)
def test_the_server_stack_is_loaded_only_by_the_serve_command(tmp_path, code, expected):
    build(tmp_path / "db.qrdb", "file", 1)
    result = subprocess.run(
        [sys.executable, "-c", code], cwd=tmp_path, capture_output=True, text=True, check=False
    )
    assert expected in result.stdout + result.stderr
    assert "Traceback" not in result.stderr
