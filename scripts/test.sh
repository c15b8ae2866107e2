#!/usr/bin/env bash
# Builds everything once and runs every test:
#   1. the C++ core's unit tests (GoogleTest, run by CTest, real threads, no interpreter);
#   2. the abi3 wheel, built once; the halvex_redis stage (scripts/redis_stage.sh) on it;
#      then the wheel installed into a fresh virtual environment of every
#      CPython 3.8 … 3.13 found, each running the whole Python suite against it;
#   3. the hardening stages (scripts/hardening.sh) on the same wheel;
#   4. the packaging checks (sdist, manylinux repair, abi3audit, stubtest, mypy --strict).
# Installs what it needs (Debian packages through apt-get, Python packages through pip).
# Exits non-zero when any suite fails.
set -uo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
BUILD=$ROOT/build
VERSIONS=${HALVEX_PYTHONS:-"3.8 3.9 3.10 3.11 3.12 3.13"}
. scripts/lib.sh

step "system packages"
ensure_debs libgtest-dev faketime || exit 1

passed=0
failed=0
record() {  # record <name> <exit code>
  if [ "$2" -eq 0 ]; then passed=$((passed + 1)); echo "== $1: ok"
  else failed=$((failed + 1)); echo "== $1: FAILED (exit $2)"; fi
}

step "C++ core tests"
ensure_cmake "$BUILD/cmake" || { echo "no CMake 3.26+ / Ninja"; exit 1; }
cmake -S . -B "$BUILD/cpp" -G Ninja -DHALVEX_BUILD_MODULE=OFF -DHALVEX_BUILD_TESTS=ON \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null \
  && cmake --build "$BUILD/cpp" \
  && (cd "$BUILD/cpp" && ctest --output-on-failure -j2)
record "ctest" $?

step "wheel (built once)"
WHEEL=$(build_wheel "$BUILD/dist") || { echo "wheel build failed"; exit 1; }
echo "$WHEEL"

# Before the interpreter matrix, so that redis-server is there for the shared
# tests' redis cases on every interpreter too.
step "halvex_redis: redis-server stage (scripts/redis_stage.sh)"
HALVEX_WHEEL="$WHEEL" bash scripts/redis_stage.sh
record "redis" $?

for v in $VERSIONS; do
  step "Python $v"
  py=$(find_python "$v")
  if [ -z "$py" ]; then
    echo "no CPython $v found"; record "python $v" 1; continue
  fi
  venv=$BUILD/venvs/$v
  make_test_venv "$py" "$venv" "$WHEEL" \
    && (cd "$ROOT/tests" && "$venv/bin/python" -m pytest -q -p no:cacheprovider .)
  record "python $v" $?
done

step "hardening: stable ABI, full-size model/fuzz/storm/leak runs, ASan+UBSan, TSan, valgrind"
HALVEX_WHEEL="$WHEEL" bash scripts/hardening.sh
record "hardening" $?

step "packaging: sdist, manylinux wheel, abi3audit, stubs, fresh venvs"
bash scripts/check_package.sh
record "package" $?

step "summary"
echo "suites: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
