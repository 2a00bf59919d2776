"""`running_server`: ``quordb serve`` in a child process on a free port of 127.0.0.1."""

from __future__ import annotations

import contextlib
import json
import os
import signal
import socket
import subprocess
import sys
import time
import urllib.error
import urllib.request
from collections.abc import Iterator
from dataclasses import dataclass

_START_TIMEOUT = 60


@dataclass
class Server:
    process: subprocess.Popen[bytes]
    url: str

    def get(self, path: str, headers: dict[str, str] | None = None) -> tuple[int, bytes]:
        """The status and body of a GET; an HTTP error status is an answer too."""
        request = urllib.request.Request(self.url + path, headers=headers or {})
        try:
            with urllib.request.urlopen(request, timeout=10) as response:
                return response.status, response.read()
        except urllib.error.HTTPError as error:
            return error.code, error.read()

    def post_json(self, path: str, document: object) -> tuple[int, bytes]:
        request = urllib.request.Request(
            self.url + path,
            data=json.dumps(document).encode(),
            headers={"Content-Type": "application/json"},
        )
        try:
            with urllib.request.urlopen(request, timeout=10) as response:
                return response.status, response.read()
        except urllib.error.HTTPError as error:
            return error.code, error.read()


def free_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


@contextlib.contextmanager
def running_server(path: object, *options: str) -> Iterator[Server]:
    """Serve *path* until the block ends; the server is ready (``/readyz``) when it starts."""
    port = free_port()
    process = subprocess.Popen(
        [sys.executable, "-m", "quordb", "serve", str(path), "--port", str(port), *options],
        stdout=subprocess.DEVNULL,
        stderr=subprocess.PIPE,
        start_new_session=True,
    )
    server = Server(process, f"http://127.0.0.1:{port}")
    try:
        deadline = time.monotonic() + _START_TIMEOUT
        while server_down(server):
            if process.poll() is not None:
                raise AssertionError(f"quordb serve exited: {process.stderr.read().decode()}")
            if time.monotonic() > deadline:
                raise AssertionError("quordb serve did not get ready")
            time.sleep(0.1)
        yield server
    finally:
        os.killpg(process.pid, signal.SIGTERM)
        try:
            process.wait(timeout=20)
        except subprocess.TimeoutExpired:
            os.killpg(process.pid, signal.SIGKILL)
            process.wait()
        process.stderr.close()


def server_down(server: Server) -> bool:
    try:
        return server.get("/readyz")[0] != 200
    except OSError:
        return True
