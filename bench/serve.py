"""`quordb serve` under load: requests/s and p50/p99 latency, against datasette on the same data.

Builds N user records (`bench/data.py`'s keys and records) once into DIR as a `.qrdb` file and
as a SQLite table, starts each server in its own processes on a free port of 127.0.0.1, and
loads it with `wrk` (apt) from a lua script that asks for random present keys:

- single gets: ``GET /v1/items/KEY`` (datasette: the row page ``/users/users/KEY.json``);
- batches of 100: ``POST /v1/items:batch`` (datasette: ``/users/users.json?key__in=...``);

for `quordb serve` on uvicorn with 1, 2 and 4 workers, on granian with 1 (the framework
comparison), and datasette in its one process. wrk's own CPU use is reported, to show it was
not the bottleneck; on a 2-core machine it shares the cores with the server.

    python bench/serve.py --keys 1000000 --seconds 10
"""

from __future__ import annotations

import argparse
import json
import os
import re
import resource
import shutil
import signal
import socket
import sqlite3
import subprocess
import sys
import tempfile
import time
import urllib.request
from dataclasses import asdict, dataclass
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from data import ascii_key, encode_value, user_record  # beside this script

from quordb import QuorReader, QuorWriter

BATCH = 100
WRK_THREADS = 2

# Each request asks for a key drawn at random; keys are user:%010d for 0 <= j < N.
LUA_COMMON = """
math.randomseed(os.time())
local n = {n}
local function key() return string.format("user:%010d", math.random(0, n - 1)) end
"""
LUA_GET = (
    LUA_COMMON
    + """
request = function() return wrk.format("GET", "{path_prefix}" .. {key_expr} .. "{path_suffix}") end
"""
)
LUA_BATCH_QUORDB = (
    LUA_COMMON
    + """
wrk.method = "POST"
wrk.headers["Content-Type"] = "application/json"
request = function()
  local keys = {{}}
  for i = 1, {batch} do keys[i] = '"' .. key() .. '"' end
  return wrk.format(nil, "/v1/items:batch", nil, '{{"keys": [' .. table.concat(keys, ",") .. ']}}')
end
"""
)
LUA_BATCH_DATASETTE = (
    LUA_COMMON
    + """
request = function()
  local keys = {{}}
  for i = 1, {batch} do keys[i] = key() end
  return wrk.format("GET", "/users/users.json?_shape=array&_size=max&key__in="
    .. table.concat(keys, ","))
end
"""
)
# datasette's row URLs tilde-encode the ":" of a key.
DATASETTE_KEY = 'string.gsub(key(), ":", "~3A")'


@dataclass
class Row:
    server: str
    workers: int
    load: str
    requests_per_s: float
    p50_ms: float
    p99_ms: float
    errors: int  # answers other than 2xx
    timeouts: int  # requests that wrk gave up on, or whose connection failed
    wrk_cpu_percent: float
    load_average: float  # of the machine, over the last minute, as the run ended


def build_data(directory: Path, n: int) -> tuple[Path, Path]:
    # datasette names the database and the URLs after the file: /users/users/KEY.json
    directory = directory / f"{n}-keys"
    directory.mkdir(parents=True, exist_ok=True)
    qrdb, sqlite_path = directory / "users.qrdb", directory / "users.sqlite"
    if not qrdb.exists():
        print(f"building {qrdb} ({n:,} keys)", file=sys.stderr)
        with QuorWriter(qrdb) as writer:
            writer.add_many_raw((encode_value(j), ascii_key(j)) for j in range(n))
    if not sqlite_path.exists():
        print(f"building {sqlite_path}", file=sys.stderr)
        partial = sqlite_path.with_suffix(".partial")
        partial.unlink(missing_ok=True)
        with sqlite3.connect(partial) as db:
            db.execute("CREATE TABLE users (key TEXT PRIMARY KEY, value TEXT) WITHOUT ROWID")
            db.executemany(
                "INSERT INTO users VALUES (?, ?)",
                ((ascii_key(j), json.dumps(user_record(j))) for j in range(n)),
            )
        partial.rename(sqlite_path)
    with QuorReader(qrdb) as reader:
        assert len(reader) == n
    return qrdb, sqlite_path


def free_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def start_server(kind: str, workers: int, qrdb: Path, sqlite_path: Path, port: int):
    bin_dir = Path(sys.executable).parent
    env = dict(os.environ)
    if kind == "uvicorn":
        command = [sys.executable, "-m", "quordb", "serve", str(qrdb), "--port", str(port),
                   "--workers", str(workers)]  # fmt: skip
        ready = "/readyz"
    elif kind == "granian":
        from quordb.serve import ServeSettings

        ServeSettings(str(qrdb), workers=workers, port=port).export()
        env = dict(os.environ)
        command = [str(bin_dir / "granian"), "--interface", "asgi", "--factory", "--loop",
                   "uvloop", "--host", "127.0.0.1", "--port", str(port), "--workers",
                   str(workers), "--no-access-log", "--log-level", "warning",
                   "quordb.serve._app:app_from_environment"]  # fmt: skip
        ready = "/readyz"
    else:
        # Immutable: datasette then counts the rows once, and serves it as read-only.
        command = [str(bin_dir / "datasette"), "serve", "-i", str(sqlite_path), "--port",
                   str(port), "--setting", "max_returned_rows", str(BATCH)]  # fmt: skip
        ready = "/-/versions.json"
    process = subprocess.Popen(
        command, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
        start_new_session=True,
    )  # fmt: skip
    deadline = time.monotonic() + 120
    while time.monotonic() < deadline:
        try:
            with urllib.request.urlopen(f"http://127.0.0.1:{port}{ready}", timeout=1):
                return process
        except OSError:
            if process.poll() is not None:
                raise RuntimeError(f"{kind} exited with {process.returncode}") from None
            time.sleep(0.2)
    stop_server(process)
    raise RuntimeError(f"{kind} did not get ready")


def stop_server(process: subprocess.Popen) -> None:
    os.killpg(process.pid, signal.SIGTERM)
    try:
        process.wait(timeout=20)
    except subprocess.TimeoutExpired:
        os.killpg(process.pid, signal.SIGKILL)
        process.wait()


_UNITS = {"us": 1e-3, "ms": 1.0, "s": 1e3}


def _latency_ms(output: str, percentile: str) -> float:
    match = re.search(rf"^\s*{percentile}%\s+([\d.]+)(us|ms|s)\s*$", output, re.MULTILINE)
    if match is None:
        raise RuntimeError(f"no {percentile}% latency in wrk's output:\n{output}")
    return float(match[1]) * _UNITS[match[2]]


def run_wrk(port: int, script: str, seconds: int, connections: int) -> tuple[str, float]:
    with tempfile.NamedTemporaryFile("w", suffix=".lua", delete=False) as file:
        file.write(script)
    try:
        before = resource.getrusage(resource.RUSAGE_CHILDREN)
        start = time.monotonic()
        done = subprocess.run(
            ["wrk", f"-t{WRK_THREADS}", f"-c{connections}", f"-d{seconds}s", "--latency",
             "-s", file.name, f"http://127.0.0.1:{port}"],
            capture_output=True, text=True, check=True,
        )  # fmt: skip
        wall = time.monotonic() - start
        after = resource.getrusage(resource.RUSAGE_CHILDREN)
    finally:
        os.unlink(file.name)
    cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    return done.stdout, 100 * cpu / wall


def measure(kind, workers, load, script, port, seconds, connections) -> Row:
    run_wrk(port, script, min(2, seconds), connections)  # warm the page cache and the workers
    output, wrk_cpu = run_wrk(port, script, seconds, connections)
    rate = float(re.search(r"Requests/sec:\s+([\d.]+)", output)[1])
    # A non-2xx answer is the server's failure; a socket error, wrk giving up (after 2 s).
    failed = re.search(r"Non-2xx or 3xx responses: (\d+)", output)
    socket = re.search(
        r"Socket errors: connect (\d+), read (\d+), write (\d+), timeout (\d+)", output
    )
    errors = int(failed[1]) if failed else 0
    gave_up = sum(map(int, socket.groups())) if socket else 0
    row = Row(kind, workers, load, rate, _latency_ms(output, "50"), _latency_ms(output, "99"),
              errors, gave_up, wrk_cpu, os.getloadavg()[0])  # fmt: skip
    print(
        f"{kind:9} {workers} workers {load:9} {rate:9.0f} req/s  p50 {row.p50_ms:6.2f} ms  "
        f"p99 {row.p99_ms:6.2f} ms  errors {errors}  timeouts {gave_up}  wrk {wrk_cpu:.0f}% CPU  load {row.load_average:.1f}",
        file=sys.stderr,
    )
    return row


def scripts_for(kind: str, n: int) -> dict[str, str]:
    if kind == "datasette":
        return {
            "get": LUA_GET.format(
                n=n, path_prefix="/users/users/", key_expr=DATASETTE_KEY, path_suffix=".json"
            ),
            f"batch{BATCH}": LUA_BATCH_DATASETTE.format(n=n, batch=BATCH),
        }
    return {
        "get": LUA_GET.format(n=n, path_prefix="/v1/items/", key_expr="key()", path_suffix=""),
        f"batch{BATCH}": LUA_BATCH_QUORDB.format(n=n, batch=BATCH),
    }


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--keys", type=int, default=1_000_000)
    parser.add_argument("--seconds", type=int, default=10)
    parser.add_argument("--connections", type=int, default=16)
    parser.add_argument("--workers", default="1,2,4", help="worker counts for uvicorn")
    parser.add_argument(
        "--dir", type=Path, default=Path(tempfile.gettempdir()) / "quordb-serve-bench"
    )
    parser.add_argument("--only", choices=("uvicorn", "granian", "datasette"), action="append")
    parser.add_argument("--json", type=Path, help="also write the rows here")
    args = parser.parse_args()
    if shutil.which("wrk") is None:
        sys.exit("bench/serve.py needs wrk: apt-get install wrk")
    args.dir.mkdir(parents=True, exist_ok=True)
    qrdb, sqlite_path = build_data(args.dir, args.keys)
    plan = [("uvicorn", int(w)) for w in args.workers.split(",")]
    plan += [("granian", 1), ("datasette", 1)]
    rows = []
    for kind, workers in plan:
        if args.only and kind not in args.only:
            continue
        port = free_port()
        server = start_server(kind, workers, qrdb, sqlite_path, port)
        try:
            for load, script in scripts_for(kind, args.keys).items():
                rows.append(measure(kind, workers, load, script, port, args.seconds,
                                    args.connections))  # fmt: skip
        finally:
            stop_server(server)
    print(f"\n{args.keys:,} keys, wrk -t{WRK_THREADS} -c{args.connections} -d{args.seconds:g}s\n")
    print(
        "| server | workers | load | requests/s | p50 ms | p99 ms | errors | timeouts | wrk CPU | load avg |"
    )
    print("|---|---:|---|---:|---:|---:|---:|---:|---:|---:|")
    for r in rows:
        print(f"| {r.server} | {r.workers} | {r.load} | {r.requests_per_s:,.0f} | {r.p50_ms:.2f} "
              f"| {r.p99_ms:.2f} | {r.errors} | {r.timeouts} | {r.wrk_cpu_percent:.0f}% | {r.load_average:.1f} |")  # fmt: skip
    if args.json:
        args.json.write_text(json.dumps([asdict(r) for r in rows], indent=1))


if __name__ == "__main__":
    main()
