#!/usr/bin/env bash
# Sets up the newest Python found and runs the demo: it builds a sample database from the
# Unicode character table and queries it. Extra arguments go to the demo unchanged.
#
#   bash scripts/demo.sh [demo arguments...]
set -euo pipefail
# shellcheck source=scripts/lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

ensure_system_packages
newest="$(find_pythons | tail -n 1)"
ver="${newest%%$'\t'*}"
setup_venv "${newest#*$'\t'}" "$ver"

log "python $ver: python -m quordb.demo $*"
exec "$QUORDB_ROOT/.venv-$ver/bin/python" -m quordb.demo "$@"
