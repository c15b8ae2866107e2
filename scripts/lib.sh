# Shared helpers for the scripts in this folder (sourced, not run).

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
  local missing=()
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  if [ "$(id -u)" -ne 0 ]; then
    echo "missing Debian packages: ${missing[*]}; install them as root (apt-get install ${missing[*]}) and run again" >&2
    return 1
  fi
  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
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

# The interpreter used to build: python3 if it is 3.8 or newer.
build_python() {
  local c
  for c in python3 "$(find_python 3.11)" "$(find_python 3.12)"; do
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

