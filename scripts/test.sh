#!/usr/bin/env bash
# Runs every test: sets up a venv per Python >= 3.12 found (see setup.sh), builds and runs the
# engine's C++ unit tests with CTest, then runs pytest in each venv. Every step runs even when
# an earlier one failed, so one run shows all failures; the exit status is non-zero if any did.
# Each step's full output is kept in build/logs/; the terminal shows a few closing lines a step.
#
#   bash scripts/test.sh [pytest arguments...]
set -euo pipefail
# shellcheck source=scripts/lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
cd "$QUORDB_ROOT"

ensure_system_packages
pythons="$(find_pythons)"
log "interpreters: $(cut -f1 <<<"$pythons" | paste -sd' ')"

summary=()
failed=0
record() { # record OK|FAILED|WARN text
  summary+=("$(printf '%-6s %s' "$1" "$2")")
  [[ "$1" != FAILED ]] || failed=1
}

# Each step's full output goes to a log of its own; the terminal gets the step's closing
# lines, and the log's path when it failed.
logs="$QUORDB_ROOT/build/logs"
mkdir -p "$logs"
run_logged() { # run_logged NAME LINES COMMAND... : runs COMMAND into $logs/NAME.log
  local name="$1" lines="$2" rc=0
  shift 2
  "$@" >"$logs/$name.log" 2>&1 || rc=$?
  tail -n "$lines" "$logs/$name.log" | cut -c1-160
  if ((rc != 0)); then
    echo "    (exit $rc; full log: $logs/$name.log)"
  fi
  return "$rc"
}

# Setup runs in its own process so that its `set -e` holds; inside an `if` it would not.
declare -A ready=()
while IFS=$'\t' read -r ver py; do
  log "python $ver: setup"
  if run_logged "setup-$ver" 1 env PYTHON="$py" bash "$QUORDB_ROOT/scripts/setup.sh"; then
    ready[$ver]=1
  else
    record FAILED "python $ver: setup (building or installing the package) failed"
  fi
done <<<"$pythons"

# /usr/bin/cmake is the one apt installed; a pip-installed cmake behind a pyenv shim may be
# inactive for the current pyenv version, so it is only the fallback.
pick_cmake() {
  local c v
  for c in /usr/bin/cmake "$(command -v cmake || true)"; do
    [[ -n "$c" && -x "$c" ]] || continue
    v="$("$c" --version 2>/dev/null | sed -n 's/^cmake version \([0-9.]*\).*/\1/p')" || continue
    if [[ -n "$v" ]] && [[ "$(printf '%s\n3.24\n' "$v" | sort -V | head -n 1)" == 3.24 ]]; then
      echo "$c"
      return 0
    fi
  done
  return 1
}

cpp_tests() {
  local cmake ctest build=build/cpp-tests cache=build/cpp-tests/CMakeCache.txt
  cmake="$(pick_cmake)" || { echo "error: no cmake >= 3.24 found" >&2; return 1; }
  ctest="$(dirname "$cmake")/ctest"
  [[ -x "$ctest" ]] || ctest="$(command -v ctest)"
  # A tree configured by another cmake or generator cannot be reused.
  if [[ -f "$cache" ]] && ! { grep -qx "CMAKE_COMMAND:INTERNAL=$cmake" "$cache" &&
    grep -qx 'CMAKE_GENERATOR:INTERNAL=Ninja' "$cache"; }; then
    rm -rf "$build"
  fi
  local -a ninja=()
  [[ -x /usr/bin/ninja ]] && ninja=(-DCMAKE_MAKE_PROGRAM=/usr/bin/ninja)
  "$cmake" -S . -B "$build" -G Ninja "${ninja[@]}" -DCMAKE_BUILD_TYPE=Debug \
    -DQUORDB_BUILD_MODULE=OFF -DQUORDB_BUILD_TESTS=ON >"$build.configure.log" 2>&1 ||
    { cat "$build.configure.log" >&2; return 1; }
  "$cmake" --build "$build" -j2 &&
    "$ctest" --test-dir "$build" --output-on-failure --no-tests=error -j2
}

log "C++ unit tests: configure, build (-j2), ctest"
if run_logged cpp-tests 3 cpp_tests; then
  record OK "C++ unit tests (ctest)"
else
  record FAILED "C++ unit tests (ctest)"
fi

# Formatting and lint, with the pinned tools of the newest environment: ruff for Python,
# clang-format for C++.
lint() {
  local venv="$1" failed=0
  mapfile -t cpp < <(git ls-files '*.cpp' '*.h')
  "$venv/bin/ruff" format --check --quiet . || failed=1
  "$venv/bin/ruff" check --quiet . || failed=1
  "$venv/bin/clang-format" --dry-run -Werror "${cpp[@]}" || failed=1
  ((failed == 0)) && echo "formatting and lint: clean"
  return "$failed"
}

newest="$(tail -n 1 <<<"$pythons" | cut -f1)"
if [[ -n "${ready[$newest]:-}" ]]; then
  log "formatting and lint (ruff, clang-format)"
  if run_logged lint 1 lint "$QUORDB_ROOT/.venv-$newest"; then
    record OK "formatting and lint"
  else
    record FAILED "formatting and lint (ruff format, ruff check, clang-format)"
  fi
fi

# A short run of the reader fuzzer (clang, libFuzzer, ASan, UBSan); scripts/fuzz.sh runs longer ones.
log "reader fuzzer smoke (${QUORDB_FUZZ_SECONDS:-45} s)"
if run_logged fuzz 1 bash "$QUORDB_ROOT/scripts/fuzz.sh" "${QUORDB_FUZZ_SECONDS:-45}"; then
  record OK "reader fuzzer smoke (${QUORDB_FUZZ_SECONDS:-45} s)"
else
  record FAILED "reader fuzzer smoke"
fi

# A manylinux wheel per interpreter, which tests/test_wheel.py installs into a clean venv.
while IFS=$'\t' read -r ver py; do
  [[ -n "${ready[$ver]:-}" ]] || continue
  log "python $ver: manylinux wheel (scripts/wheel.sh)"
  if run_logged "wheel-$ver" 1 env PYTHON="$py" bash "$QUORDB_ROOT/scripts/wheel.sh"; then
    record OK "python $ver: manylinux wheel"
  else
    record FAILED "python $ver: manylinux wheel"
  fi
done <<<"$pythons"

have_python_tests() {
  [[ -n "$(find tests -name 'test_*.py' -print -quit 2>/dev/null)" ]]
}

while IFS=$'\t' read -r ver py; do
  [[ -n "${ready[$ver]:-}" ]] || continue
  log "python $ver: pytest"
  rc=0
  # pytest's own closing line ("N passed ...") is the last line printed for this step.
  run_logged "pytest-$ver" 12 "$QUORDB_ROOT/.venv-$ver/bin/python" -m pytest tests/ -q "$@" || rc=$?
  if ((rc == 0)); then
    record OK "python $ver: pytest"
  elif ((rc == 5)) && ! have_python_tests; then
    record WARN "python $ver: pytest collected no tests (tests/ has no test_*.py yet)"
  else
    record FAILED "python $ver: pytest (exit $rc)"
  fi
done <<<"$pythons"

echo
echo "quordb test summary:"
printf '  %s\n' "${summary[@]}"
if ((failed)); then
  echo "quordb: SOME STEPS FAILED"
  exit 1
fi
echo "quordb: all steps passed"
