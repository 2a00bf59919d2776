# shellcheck shell=bash
# Shared helpers for scripts/setup.sh, scripts/test.sh and scripts/demo.sh.
# Source it from bash; it sets QUORDB_ROOT and defines functions only.

QUORDB_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
QUORDB_MIN_PY="3.12"
QUORDB_MIN_BOOST=108100 # 1.81.0, as BOOST_VERSION encodes it

export PIP_DISABLE_PIP_VERSION_CHECK=1
export PIP_NO_INPUT=1
export DEBIAN_FRONTEND=noninteractive
# Two cores on the development machines and CI; more jobs only thrash.
export CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-2}"

log() { printf '==> %s\n' "$*" >&2; }
die() {
  printf 'error: %s\n' "$*" >&2
  exit 1
}

# Runs a command as root: directly when we are root, through sudo otherwise.
as_root() {
  if [[ "$(id -u)" -eq 0 ]]; then
    "$@"
  elif command -v sudo >/dev/null 2>&1; then
    sudo "$@"
  else
    die "need root or sudo to run: $*"
  fi
}

deb_installed() {
  dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'
}

boost_headers_ok() {
  local header=/usr/include/boost/version.hpp version
  [[ -r "$header" ]] || return 1
  version="$(sed -n 's/^#define BOOST_VERSION \([0-9][0-9]*\).*/\1/p' "$header")"
  [[ -n "$version" && "$version" -ge "$QUORDB_MIN_BOOST" ]]
}

# "1.83.0.2+b2" or "1.81.0-5+deb12u1" -> 108300 / 108100; empty when there is no candidate.
apt_candidate_boost_version() {
  local candidate
  candidate="$(apt-cache policy "$1" 2>/dev/null | sed -n 's/^ *Candidate: *//p')"
  [[ -n "$candidate" && "$candidate" != "(none)" ]] || return 0
  candidate="${candidate#*:}" # drop an epoch
  if [[ "$candidate" =~ ^([0-9]+)\.([0-9]+) ]]; then
    echo $((BASH_REMATCH[1] * 100000 + BASH_REMATCH[2] * 100))
  fi
}

# Debian 13 ships Boost >= 1.81 as libboost-dev; Debian 12's libboost-dev is 1.74, so there
# the versioned libboost1.81-dev is the one to take.
pick_boost_package() {
  local pkg version
  for pkg in libboost-dev libboost1.83-dev libboost1.81-dev; do
    version="$(apt_candidate_boost_version "$pkg")"
    if [[ -n "$version" && "$version" -ge "$QUORDB_MIN_BOOST" ]]; then
      echo "$pkg"
      return 0
    fi
  done
  return 1
}

APT_UPDATED=0
apt_update_once() {
  ((APT_UPDATED)) || {
    log "apt-get update"
    as_root apt-get update -qq
    APT_UPDATED=1
  }
}

apt_install() {
  apt_update_once
  log "apt-get install $*"
  as_root apt-get install -y -qq --no-install-recommends "$@" >/dev/null
}

# Installs the build tools and libraries the engine and its tests need. A machine that has
# them all does no apt work at all.
ensure_system_packages() {
  local pkg missing=()
  for pkg in cmake ninja-build g++ libdeflate-dev libxxhash-dev libgtest-dev; do
    deb_installed "$pkg" || missing+=("$pkg")
  done
  if ((${#missing[@]})); then
    apt_install "${missing[@]}"
  fi
  if ! boost_headers_ok; then
    local boost
    apt_update_once
    boost="$(pick_boost_package)" || die "no Boost >= 1.81 development package in apt sources"
    apt_install "$boost"
    boost_headers_ok || die "installed $boost but /usr/include/boost is still older than 1.81"
  fi
  log "system packages present"
}

# What quordb serve's tests and benchmark drive it with: Debian's Chromium and its driver (the
# browse page's tests) and wrk (bench/serve.py). Both Debian 12 and 13 ship all three; a
# system without one skips what needs it rather than failing.
ensure_serve_test_packages() {
  local pkg missing=() available=()
  for pkg in chromium chromium-driver wrk; do
    deb_installed "$pkg" || missing+=("$pkg")
  done
  ((${#missing[@]})) || return 0
  apt_update_once
  for pkg in "${missing[@]}"; do
    if apt-cache policy "$pkg" 2>/dev/null | grep -q '^ *Candidate: [^(]'; then
      available+=("$pkg")
    else
      log "no $pkg in the apt sources: the tests that need it are skipped"
    fi
  done
  ((${#available[@]} == 0)) || apt_install "${available[@]}"
}

# Prints "X.Y" for an interpreter that is >= 3.12, fails otherwise (also for broken pyenv shims).
python_version_of() {
  "$1" -c "import sys; assert sys.version_info >= (${QUORDB_MIN_PY/./,}); print('%d.%d' % sys.version_info[:2])" 2>/dev/null
}

# Prints one line "X.Y<TAB>/path/to/python" per usable interpreter version, oldest first.
# $PYTHON, when set, is the only candidate.
find_pythons() {
  local -a candidates=()
  local -A seen=()
  local cand exe ver root dir
  if [[ -n "${PYTHON:-}" ]]; then
    ver="$(python_version_of "$PYTHON")" || die "PYTHON=$PYTHON is not a working Python >= $QUORDB_MIN_PY"
    exe="$("$PYTHON" -c 'import sys; print(sys.executable)')"
    printf '%s\t%s\n' "$ver" "$exe"
    return 0
  fi
  for cand in python3.13 python3.12; do
    command -v "$cand" >/dev/null 2>&1 && candidates+=("$(command -v "$cand")")
  done
  local -a roots=()
  if command -v pyenv >/dev/null 2>&1 && root="$(pyenv root 2>/dev/null)"; then
    roots+=("$root")
  fi
  roots+=("${HOME:-/root}/.pyenv" /root/.pyenv)
  for root in "${roots[@]}"; do
    [[ -d "$root/versions" ]] || continue
    # Newest patch release first, so it wins over older ones of the same X.Y.
    while IFS= read -r dir; do
      [[ -x "$dir/bin/python3" ]] && candidates+=("$dir/bin/python3")
    done < <(find "$root/versions" -mindepth 1 -maxdepth 1 -regextype posix-extended \
      -regex '.*/3\.(1[2-9]|[2-9][0-9])\.[0-9]+' 2>/dev/null | sort -rV)
  done
  for cand in "${candidates[@]}"; do
    ver="$(python_version_of "$cand")" || continue
    [[ -n "${seen[$ver]:-}" ]] && continue
    # A pyenv shim resolves to the real interpreter; the venv must point at that.
    exe="$("$cand" -c 'import sys; print(sys.executable)')"
    seen[$ver]="$exe"
  done
  if ((${#seen[@]} == 0)); then
    die "no Python >= $QUORDB_MIN_PY found (looked for python3.13/python3.12 on PATH and pyenv versions); install one or set PYTHON=/path/to/python3"
  fi
  for ver in "${!seen[@]}"; do
    printf '%s\t%s\n' "$ver" "${seen[$ver]}"
  done | sort -V
}

# Sets NEWEST_VER ("X.Y") and NEWEST_PY (its interpreter) to the newest Python >= 3.12 found
# (or $PYTHON when set).
pick_newest_python() {
  local newest
  newest="$(find_pythons | tail -n 1)"
  NEWEST_VER="${newest%%$'\t'*}"
  NEWEST_PY="${newest#*$'\t'}"
}

# A Debian interpreter needs its -venv and -dev packages to make a venv and build the module.
ensure_python_build_support() {
  local py="$1" ver="$2"
  if "$py" -c 'import ensurepip, sysconfig, os, sys; sys.exit(not os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h")))' 2>/dev/null; then
    return 0
  fi
  case "$py" in
    /usr/bin/*) apt_install "python$ver-venv" "python$ver-dev" ;;
    *) die "$py lacks ensurepip or its C headers (Python.h); it cannot build quordb" ;;
  esac
}

# Creates or refreshes .venv-X.Y and installs the package (non-editable, with test extras) into
# it. scikit-build-core keeps its CMake tree in build/<wheel tag>, so a reinstall after a source
# change recompiles only what changed.
setup_venv() {
  local py="$1" ver="$2" venv="$QUORDB_ROOT/.venv-$2"
  ensure_python_build_support "$py" "$ver"
  if [[ -x "$venv/bin/python" ]] && [[ "$(python_version_of "$venv/bin/python" || true)" == "$ver" ]]; then
    log "python $ver: refreshing $venv"
  else
    log "python $ver: creating $venv from $py"
    rm -rf "$venv"
    "$py" -m venv "$venv"
  fi
  "$venv/bin/python" -m pip install -q --upgrade pip
  log "python $ver: building and installing quordb (this compiles the extension)"
  (cd "$QUORDB_ROOT" && "$venv/bin/python" -m pip install -q '.[test]' msgpack)
  log "python $ver: ready ($venv)"
}
