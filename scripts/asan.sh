#!/usr/bin/env bash
# Builds the extension with AddressSanitizer and UBSan (QUORDB_SANITIZE=ON) into a virtual
# environment of its own, build/asan/venv, and runs the whole pytest suite once with the ASan
# runtime preloaded into the interpreter (and so into every child process the tests start).
# Python's own allocator is bypassed (PYTHONMALLOC=malloc) so that ASan sees every object;
# leak detection is off because the interpreter itself does not free everything at exit.
# Sanitizer reports go to build/asan/logs; the run fails if pytest fails or any report was
# written, including UBSan's, which do not stop the process.
#
#   bash scripts/asan.sh [pytest arguments...]
set -euo pipefail
# shellcheck source=scripts/lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
cd "$QUORDB_ROOT"

ensure_system_packages
pick_newest_python
ver="$NEWEST_VER"
py="$NEWEST_PY"
ensure_python_build_support "$py" "$ver"

venv=build/asan/venv
if [[ "$(python_version_of "$venv/bin/python" || true)" != "$ver" ]]; then
  log "python $ver: creating $venv"
  rm -rf "$venv"
  "$py" -m venv "$venv"
  "$venv/bin/python" -m pip install -q --upgrade pip
fi
log "python $ver: building quordb with ASan + UBSan into $venv"
"$venv/bin/python" -m pip install -q '.[test]' msgpack \
  -C cmake.define.QUORDB_SANITIZE=ON -C cmake.build-type=RelWithDebInfo \
  -C 'build-dir=build/asan/{wheel_tag}'

asan_runtime="$(gcc -print-file-name=libasan.so)"
[[ "$asan_runtime" == /* && -e "$asan_runtime" ]] || die "gcc has no libasan.so ($asan_runtime)"
# The interpreter is no C++ program: unless the C++ runtime is loaded with ASan, ASan finds no
# __cxa_throw to forward to, and the first C++ exception (pyarrow's, say) aborts the run.
cxx_runtime="$(gcc -print-file-name=libstdc++.so.6)"
[[ "$cxx_runtime" == /* && -e "$cxx_runtime" ]] || die "gcc has no libstdc++.so.6 ($cxx_runtime)"
logs="$QUORDB_ROOT/build/asan/logs"
rm -rf "$logs"
mkdir -p "$logs"
# The preloaded runtime reaches every program the tests start. dd (in the documentation's
# shell examples) asks aligned_alloc for sizes that ASan refuses, so it runs without it.
shims="$QUORDB_ROOT/build/asan/shims"
mkdir -p "$shims"
printf '#!/bin/sh\nunset LD_PRELOAD\nexec %s "$@"\n' "$(command -v dd)" >"$shims/dd"
chmod +x "$shims/dd"

log "python $ver: pytest under ASan ($asan_runtime)"
rc=0
PATH="$shims:$PATH" LD_PRELOAD="$asan_runtime $cxx_runtime" PYTHONMALLOC=malloc \
  ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:log_path=$logs/asan" \
  UBSAN_OPTIONS="print_stacktrace=1:log_path=$logs/ubsan" \
  "$venv/bin/python" -m pytest tests/ "$@" || rc=$?

reports=("$logs"/*)
if [[ -e "${reports[0]}" ]]; then
  echo "sanitizer reports (${#reports[@]} files in $logs):" >&2
  for report in "${reports[@]}"; do
    echo "--- $report" >&2
    head -n 40 "$report" >&2
  done
  rc=1
fi
if ((rc != 0)); then
  echo "asan: FAILED" >&2
  exit 1
fi
log "asan: pytest passed with no sanitizer report"
