#!/usr/bin/env bash
# The quick loop while developing: about two minutes once its build folders
# exist (they are kept, so a second run rebuilds only what changed):
#   1. the C++ core's unit tests (GoogleTest, run by CTest), built by the
#      machine's compiler into build/cpp;
#   2. the manylinux2014 x86_64 wheel (scripts/wheels.sh linux-x86_64), unless
#      HALVEX_WHEEL names one;
#   3. the Python suite (scripts/suite.sh) on that wheel under one interpreter:
#      the newest host CPython found, or HALVEX_DEV_PYTHON (X.Y).
# Left to scripts/test.sh: the server stages (halvex_redis, halvex-mcp), the
# other interpreters and platforms, hardening and packaging. test.sh runs this
# script as one of its stages and leaves its interpreter out of its own
# matrix, so each of these proofs runs once there too.
# Usage: bash scripts/dev.sh   (exits non-zero when any step fails)
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1
ROOT=$PWD
BUILD=$ROOT/build
. scripts/lib.sh

cpp_tests() {
  ensure_cmake "$BUILD/cmake" || { echo "no CMake 3.26+ / Ninja"; return 1; }
  cmake -S . -B "$BUILD/cpp" -G Ninja -DHALVEX_BUILD_MODULE=OFF -DHALVEX_BUILD_TESTS=ON \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null \
    && cmake --build "$BUILD/cpp" \
    && (cd "$BUILD/cpp" && ctest --output-on-failure -j2)
}

# The wheel build's output goes to a log, shown when it fails.
build_wheel_here() {
  local log=$BUILD/wheel-linux-x86_64.log
  bash scripts/wheels.sh linux-x86_64 >"$log" 2>&1 || { tail -30 "$log"; return 1; }
  grep 'built in' "$log"
}

step "dev loop: machine packages"
bash scripts/setup.sh core || exit 1
v=$(dev_python_version) || { echo "no CPython of $(host_pythons) found"; exit 1; }
py=$(find_python "$v") || { echo "no CPython $v found"; exit 1; }

step "dev loop: C++ core tests"
stage "ctest" cpp_tests

step "dev loop: Python suite on CPython $v"
if [ -n "${HALVEX_WHEEL:-}" ]; then
  wheel=$HALVEX_WHEEL
else
  wheel=""
  stage "wheel (linux-x86_64)" build_wheel_here && wheel=$(find_wheel manylinux_2_17_x86_64)
fi
if [ -n "$wheel" ]; then
  stage "python $v" bash scripts/suite.sh "$wheel" --venv "$BUILD/venvs/$v" "$py"
else
  stage "python $v" false
fi

stage_summary "dev loop"
