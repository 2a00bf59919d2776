#!/usr/bin/env bash
# Runs the benchmark on the newest Python found: sets it up as scripts/setup.sh does, installs
# the peer stores of bench/requirements.txt into the same venv, then runs bench/run.py with
# the arguments given.
#
#   bash scripts/bench.sh --quick
#   bash scripts/bench.sh [--n 1000000,10000000] [--json out.json]
#   bash scripts/bench.sh --scale [--n 1000000,10000000,100000000] [--dir DIR]
#   bash scripts/bench.sh --inputs [--reps 3] [--dir DIR]
#
# --scale runs bench/scale.py instead: builds and opens of 1 M, 10 M and 100 M keys (sizes that
# do not fit the disk or the memory are skipped), curves drawn to docs/scale.png.
# --inputs runs bench/build_inputs.py instead: `quordb build` of Debian's Contents index against
# sqlite3's .import and DuckDB; it installs sqlite3 and apt-file (whose apt configuration
# fetches the Contents index on apt-get update) first.
set -euo pipefail
# shellcheck source=scripts/lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

bash "$QUORDB_ROOT/scripts/setup.sh" --newest
pick_newest_python
venv="$QUORDB_ROOT/.venv-$NEWEST_VER"

# One at a time: a peer without a wheel for this interpreter must not keep the others out.
while IFS= read -r pkg; do
  pkg="${pkg%%#*}"
  pkg="${pkg//[[:space:]]/}"
  [[ -n "$pkg" ]] || continue
  "$venv/bin/python" -m pip install -q "$pkg" || log "could not install $pkg: the benchmark skips it"
done <"$QUORDB_ROOT/bench/requirements.txt"

if [[ "${1:-}" == "--inputs" ]]; then
  shift
  missing=()
  for pkg in sqlite3 apt-file; do
    deb_installed "$pkg" || missing+=("$pkg")
  done
  if ((${#missing[@]})); then
    apt_install "${missing[@]}"
  fi
  compgen -G "/var/lib/apt/lists/*_Contents-*" >/dev/null || {
    log "apt-get update (fetches the Contents index)"
    as_root apt-get update -qq
  }
  log "bench/build_inputs.py $*"
  exec "$venv/bin/python" "$QUORDB_ROOT/bench/build_inputs.py" "$@"
fi
if [[ "${1:-}" == "--scale" ]]; then
  shift
  log "bench/scale.py $*"
  exec nice "$venv/bin/python" "$QUORDB_ROOT/bench/scale.py" --png "$QUORDB_ROOT/docs/scale.png" "$@"
fi
log "bench/run.py $*"
exec "$venv/bin/python" "$QUORDB_ROOT/bench/run.py" "$@"
