#!/usr/bin/env bash
# Prepares this machine for building and testing quordb: system packages (apt), then one
# virtual environment .venv-X.Y per Python >= 3.12 found, each with quordb and its test extras
# installed. Safe to run again: it redoes only what is missing and rebuilds the package.
#
#   bash scripts/setup.sh            # every interpreter found (or just $PYTHON when set)
#   bash scripts/setup.sh --newest   # only the newest one
set -euo pipefail
# shellcheck source=scripts/lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

newest_only=0
case "${1:-}" in
  "") ;;
  --newest) newest_only=1 ;;
  *) die "usage: $0 [--newest]" ;;
esac

ensure_system_packages
ensure_serve_test_packages
pythons="$(find_pythons)"
if ((newest_only)); then
  pythons="$(tail -n 1 <<<"$pythons")"
fi
while IFS=$'\t' read -r ver py; do
  setup_venv "$py" "$ver"
done <<<"$pythons"
