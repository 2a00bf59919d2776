#!/usr/bin/env bash
# Builds the reader fuzzer with clang (libFuzzer + ASan + UBSan) in build/fuzz and runs it
# for the given number of seconds (default 60). Seeds are small databases made by the real
# writer; the corpus the fuzzer grows is kept in build/fuzz-corpus between runs. Exits
# non-zero on any crash, sanitizer report, leak, timeout or disagreement with the format
# model in tests/fuzz/reader_fuzz.cpp; the input that caused it is left in build/fuzz-artifacts.
#
#   bash scripts/fuzz.sh [seconds]
#   FUZZ_JOBS=2 bash scripts/fuzz.sh 3600    # two fuzzing processes (libFuzzer -fork)
#   build/fuzz/quordb_reader_fuzz build/fuzz-artifacts/crash-...   # replay one input
set -euo pipefail
# shellcheck source=scripts/lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
cd "$QUORDB_ROOT"

seconds="${1:-60}"
[[ "$seconds" =~ ^[1-9][0-9]*$ ]] || die "usage: $0 [seconds]"
jobs="${FUZZ_JOBS:-1}"
[[ "$jobs" =~ ^[1-9][0-9]*$ ]] || die "FUZZ_JOBS must be a positive integer"
# Debian's default clang (14 on Debian 12, 19 on Debian 13) unless a version is asked for.
llvm="${FUZZ_LLVM_VERSION:-}"
suffix="${llvm:+-$llvm}"

ensure_system_packages
# libFuzzer's runtime (libclang_rt.fuzzer) comes with the compiler-rt package.
missing=()
for pkg in "clang$suffix" "libclang-rt$suffix-dev"; do
  deb_installed "$pkg" || missing+=("$pkg")
done
if ((${#missing[@]})); then
  apt_install "${missing[@]}"
fi
cxx="$(command -v "clang++$suffix")" || die "clang++$suffix not found after installing clang$suffix"
cc="$(command -v "clang$suffix")" || die "clang$suffix not found"

# apt's cmake and ninja: pip-installed ones behind pyenv shims may be inactive.
cmake=/usr/bin/cmake
[[ -x "$cmake" ]] || cmake="$(command -v cmake)" || die "cmake not found"
ninja=/usr/bin/ninja
[[ -x "$ninja" ]] || ninja="$(command -v ninja)" || die "ninja not found"
build=build/fuzz
cache="$build/CMakeCache.txt"
if [[ -f "$cache" ]] && ! { grep -qx "CMAKE_CXX_COMPILER:FILEPATH=$cxx" "$cache" &&
  grep -qx "CMAKE_COMMAND:INTERNAL=$cmake" "$cache"; }; then
  rm -rf "$build"
fi
mkdir -p "$build"
log "fuzzer: configure and build ($build, $cxx)"
"$cmake" -S . -B "$build" -G Ninja -DCMAKE_MAKE_PROGRAM="$ninja" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_C_COMPILER="$cc" \
  -DQUORDB_BUILD_FUZZ=ON -DQUORDB_BUILD_MODULE=OFF -DQUORDB_BUILD_TESTS=OFF \
  >"$build/configure.log" 2>&1 || { cat "$build/configure.log" >&2; exit 1; }
"$cmake" --build "$build" -j2 --target quordb_reader_fuzz quordb_fuzz_seeds

# The corpus and the failing inputs live beside the build tree, so a fresh build keeps them.
corpus=build/fuzz-corpus
artifacts=build/fuzz-artifacts
rm -rf "$build/seeds"
mkdir -p "$build/seeds" "$corpus" "$artifacts"
"$build/quordb_fuzz_seeds" "$build/seeds" >/dev/null

export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1:symbolize=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
args=(-max_total_time="$seconds" -max_len=4096 -timeout=10 -rss_limit_mb=4096
  -print_final_stats=1 -artifact_prefix="$artifacts/")
((jobs > 1)) && args+=(-fork="$jobs")
log "fuzzer: running for ${seconds}s ($jobs process(es))"
rc=0
"$build/quordb_reader_fuzz" "${args[@]}" "$corpus" "$build/seeds" || rc=$?
if ((rc != 0)); then
  echo "fuzzer: FAILED (exit $rc); inputs left in $artifacts:" >&2
  ls -1 "$artifacts" >&2 || true
  exit 1
fi
log "fuzzer: no crash, sanitizer report or model disagreement"
