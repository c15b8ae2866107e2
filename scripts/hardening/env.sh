# shellcheck shell=bash
# Shared by the hardening stage scripts in this folder (sourced, not run):
# paths, the full-size settings, and the setup every stage starts with.
cd "$(dirname "${BASH_SOURCE[0]}")/../.." || exit 1
ROOT=$PWD
BUILD=$ROOT/build
HB=$BUILD/hardening
LOGS=$HB/logs
# shellcheck source=scripts/lib.sh
. scripts/lib.sh
mkdir -p "$LOGS"

# Full sizes (the ordinary suite runs the same tests small).
export HALVEX_STATEFUL_EXAMPLES=${HALVEX_STATEFUL_EXAMPLES:-200}
export HALVEX_STATEFUL_STEPS=${HALVEX_STATEFUL_STEPS:-100}
export HALVEX_STATEFUL_MIN_STEPS=${HALVEX_STATEFUL_MIN_STEPS:-10000}
export HALVEX_FUZZ_EXAMPLES=${HALVEX_FUZZ_EXAMPLES:-3000}
export HALVEX_STORM_THREADS=${HALVEX_STORM_THREADS:-8}
export HALVEX_STORM_OPS=${HALVEX_STORM_OPS:-100000}
export HALVEX_REENTRANCY_OPS=${HALVEX_REENTRANCY_OPS:-30000}

# Environment for a child whose wall clock stands still at the second in $1.
faketime_env() {
  echo "LD_PRELOAD=$LIBFAKETIME FAKETIME_TIMESTAMP_FILE=$1 FAKETIME_NO_CACHE=1"
  echo "FAKETIME_DONT_FAKE_MONOTONIC=1 DONT_FAKE_MONOTONIC=1 TZ=UTC"
}

# Machine packages, the wheel (HALVEX_WHEEL, or one built here and exported
# for the stages after), the build interpreter, CMake and libfaketime.
hardening_setup() {
  bash scripts/setup.sh core hardening || return 1
  WHEEL=$(stage_wheel "$HB/dist") || { echo "wheel build failed"; return 1; }
  export HALVEX_WHEEL=$WHEEL
  echo "wheel: $WHEEL"
  BPY=$(build_python) || { echo "no Python 3.8+ to build with"; return 1; }
  ensure_cmake "$HB/cmake" || { echo "no CMake 3.26+ / Ninja"; return 1; }
  echo "cmake: $(command -v cmake) ($(cmake --version | awk 'NR == 1 {print $3}'))"
  LIBFAKETIME=$("$BPY" tests/_faketime.py) || return 1
  echo "libfaketime: $LIBFAKETIME"
}
