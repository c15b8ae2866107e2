# shellcheck shell=bash
# Shared helpers for the scripts in this folder (sourced, not run).

# The CPython versions the wheel is tested on, oldest first: on this host
# (pyenv's or PATH's) and in the Debian sid chroot (scripts/chroot_stage.sh).
# Every script takes its interpreters from these two lists.
HOST_PYTHONS="3.8 3.9 3.10 3.11 3.12 3.13"
# shellcheck disable=SC2034  # read by scripts/chroot_stage.sh
CHROOT_PYTHONS="3.14 3.15"

step() { printf '\n=== %s ===\n' "$*"; }

# stage <name> <command...>: runs the command, prints its outcome and time and
# counts it for stage_summary; returns the command's exit status.
STAGE_RESULTS=()
STAGES_FAILED=0
stage() {
  local name=$1 t0=$SECONDS rc word=ok
  shift
  printf -- '--- %s\n' "$name"
  "$@"
  rc=$?
  [ "$rc" -eq 0 ] || { word="FAILED (exit $rc)"; STAGES_FAILED=$((STAGES_FAILED + 1)); }
  STAGE_RESULTS+=("$(printf '%-58s %-16s %5ss' "$name" "$word" $((SECONDS - t0)))")
  printf -- '--- %s: %s (%ss)\n' "$name" "$word" $((SECONDS - t0))
  return "$rc"
}

# stage_summary <word>: every stage's outcome and time, then "<word>: N passed,
# N failed"; fails when any stage failed.
stage_summary() {
  step "$1 summary"
  printf '%s\n' "${STAGE_RESULTS[@]}"
  echo "$1: $((${#STAGE_RESULTS[@]} - STAGES_FAILED)) passed, $STAGES_FAILED failed"
  [ "$STAGES_FAILED" -eq 0 ]
}

# Installs the named Debian packages that are missing.
ensure_debs() {
  local absent=() p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || absent+=("$p")
  done
  [ ${#absent[@]} -eq 0 ] && return 0
  if [ "$(id -u)" -ne 0 ]; then
    echo "missing Debian packages: ${absent[*]}; install them as root (apt-get install ${absent[*]}) and run again" >&2
    return 1
  fi
  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${absent[@]}" >/dev/null
}

# "X.Y" of the interpreter $1.
python_minor() {
  "$1" --version 2>&1 | awk '{split($2, v, "."); print v[1] "." v[2]}'
}

# Path of a CPython X.Y interpreter (GIL-enabled): pyenv's, then PATH's; fails if none.
find_python() {
  local v=$1 c pyenv_root=""
  command -v pyenv >/dev/null && pyenv_root=$(pyenv root 2>/dev/null)
  for c in ${pyenv_root:+"$pyenv_root"/versions/"$v".*/bin/python"$v"} "$(command -v "python$v" 2>/dev/null)"; do
    # A free-threaded build cannot load abi3 wheels: not one of ours.
    [ -x "$c" ] && "$c" -c 'import sys, sysconfig; sys.exit(bool(sysconfig.get_config_var("Py_GIL_DISABLED")))' \
      2>/dev/null && { echo "$c"; return 0; }
  done
  return 1
}

# The interpreter used to build: python3 if it is 3.8 or newer, else the
# newest host version found.
build_python() {
  local c
  # shellcheck disable=SC2046  # a list of versions
  for c in python3 "$(first_python $(pythons_from 3.8))"; do
    [ -n "$c" ] && "$c" -c 'import sys; assert sys.version_info >= (3, 8)' 2>/dev/null && { echo "$c"; return 0; }
  done
  return 1
}

# Builds the abi3 wheel into $1 and prints its path.
build_wheel() {
  local out=$1 py
  py=$(build_python) || return 1
  rm -rf "$out" && mkdir -p "$out"
  "$py" -m pip wheel -q --no-deps -w "$out" . >&2 || return 1
  ls "$out"/halvex_core-*-cp38-abi3-*.whl
}

# The wheel a server stage tests: $HALVEX_WHEEL, or one built into $1.
stage_wheel() {
  if [ -n "${HALVEX_WHEEL:-}" ]; then echo "$HALVEX_WHEEL"; else build_wheel "$1"; fi
}

# The first CPython found of the versions given (newest first, by the caller's order).
first_python() {
  local v
  for v in "$@"; do find_python "$v" && return 0; done
  return 1
}

# The host matrix: $HALVEX_PYTHONS, or every host version.
host_pythons() { echo "${HALVEX_PYTHONS:-$HOST_PYTHONS}"; }

# The oldest and the newest host version: where a run on each is enough.
edge_pythons() {
  local all
  read -ra all <<<"$HOST_PYTHONS"
  echo "${all[0]} ${all[${#all[@]} - 1]}"
}

# pythons_from <X.Y>: the host versions from X.Y up, newest first, for a stage
# that runs on one interpreter (first_python takes the newest found).
pythons_from() {
  local v out=()
  for v in $HOST_PYTHONS; do
    printf '%s\n%s\n' "$1" "$v" | sort -V -C && out=("$v" "${out[@]}")
  done
  echo "${out[*]}"
}

# The X.Y that scripts/dev.sh runs the suite on: $HALVEX_DEV_PYTHON, or the
# newest of the host matrix found. scripts/test.sh leaves it out of its matrix.
dev_python_version() {
  local v found=""
  [ -z "${HALVEX_DEV_PYTHON:-}" ] || { echo "$HALVEX_DEV_PYTHON"; return 0; }
  for v in $(host_pythons); do find_python "$v" >/dev/null && found=$v; done
  [ -n "$found" ] && echo "$found"
}

# find_wheel <platform>: the release wheel in dist/wheels (scripts/wheels.sh)
# whose platform tag contains <platform>, e.g. manylinux_2_17_x86_64 or
# win_amd64; fails, saying so, when there is none.
find_wheel() {
  local w
  for w in "$ROOT"/dist/wheels/halvex_core-*-cp38-abi3-*"$1"*.whl; do
    [ -f "$w" ] && { echo "$w"; return 0; }
  done
  echo "no $1 wheel in dist/wheels (scripts/wheels.sh builds it)" >&2
  return 1
}

# pip_q <python> <pip arguments...>: pip, quietly. This machine's pip
# configuration names local package folders that may be missing, and pip warns
# about each on every install; those lines say nothing about the packages.
pip_q() {
  local py=$1
  shift
  "$py" -m pip "$@" -q --disable-pip-version-check 2>&1 | grep -v "^WARNING: Location '.*' is ignored" >&2
  return "${PIPESTATUS[0]}"
}

# Creates (or refreshes) a venv at $2 for interpreter $1 with the wheel $3
# and the test requirements installed.
make_test_venv() {
  local py=$1 venv=$2 wheel=$3
  [ -x "$venv/bin/python" ] || "$py" -m venv "$venv" || return 1
  pip_q "$venv/bin/python" install -r "$ROOT/tests/requirements.txt" || return 1
  pip_q "$venv/bin/python" install --force-reinstall --no-deps "$wheel"
}

# tools_venv <requirements file> [python]: a venv with the pinned tools the
# file lists, in the user's cache folder ($HALVEX_TOOLS_CACHE, by default
# ~/.cache/halvex), one per version of the file, made (by python, else the build
# interpreter) when missing or changed; prints its folder. Shared by every clone.
tools_venv() {
  local req=$1 py=${2:-} sum dir
  sum=$(sha256sum "$req" | cut -c1-12) || return 1
  dir=${HALVEX_TOOLS_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/halvex}/$(basename "$req" .txt)-$sum
  if [ ! -x "$dir/bin/python" ] || ! cmp -s "$req" "$dir/.requirements"; then
    if [ -z "$py" ]; then py=$(build_python) || return 1; fi
    "$py" -m venv --clear "$dir" >&2 \
      && pip_q "$dir/bin/python" install -r "$req" \
      && cp "$req" "$dir/.requirements" || return 1
  fi
  echo "$dir"
}

# CMake 3.26 or newer and Ninja on PATH: Debian's CMake is older, so take
# PyPI's into a venv at $1 when needed.
ensure_cmake() {
  local dir=$1 have py
  have=$(cmake --version 2>/dev/null | awk 'NR == 1 {print $3}')
  if [ -n "$have" ] && printf '3.26\n%s\n' "$have" | sort -V -C && command -v ninja >/dev/null; then
    return 0
  fi
  if [ ! -x "$dir/bin/cmake" ] || [ ! -x "$dir/bin/ninja" ]; then
    py=$(build_python) || return 1
    "$py" -m venv "$dir" && pip_q "$dir/bin/python" install cmake ninja || return 1
  fi
  export PATH="$dir/bin:$PATH"
}

