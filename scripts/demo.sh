#!/usr/bin/env bash
# Sets up the newest Python found and runs the demo: it builds a sample database from the
# Unicode character table and queries it. Extra arguments go to the demo unchanged; without
# --out the database is kept as build/demo/unicode.qrdb.
#
#   bash scripts/demo.sh [demo arguments...]
set -euo pipefail
# shellcheck source=scripts/lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

ensure_system_packages
pick_newest_python
ver="$NEWEST_VER"
setup_venv "$NEWEST_PY" "$ver"

# Without --out the database is kept under build/demo, so the commands the demo prints can be
# run again afterwards.
args=("$@")
if [[ " $* " != *" --out "* && " $* " != *" --out="* && " $* " != *" -h "* && " $* " != *" --help "* ]]; then
  mkdir -p "$QUORDB_ROOT/build/demo"
  args+=(--out "$QUORDB_ROOT/build/demo/unicode.qrdb")
fi
log "python $ver: python -m quordb.demo ${args[*]}"
status=0
"$QUORDB_ROOT/.venv-$ver/bin/python" -m quordb.demo "${args[@]}" || status=$?
echo "The quordb command is $QUORDB_ROOT/.venv-$ver/bin/quordb (or run"
echo "'source .venv-$ver/bin/activate' first, then plain 'quordb')."
exit "$status"
