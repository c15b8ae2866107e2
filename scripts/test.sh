#!/usr/bin/env bash
# Builds everything once and runs every test:
#   1. the C++ core's unit tests (GoogleTest, run by CTest, real threads, no interpreter);
#   2. the five release wheels (scripts/wheels.sh); the halvex_redis stage
#      (scripts/redis_stage.sh) on the manylinux2014 x86_64 one; that wheel
#      installed into a fresh virtual environment of every CPython 3.8 … 3.13
#      found, each running the whole Python suite against it;
#   3. the other platforms' wheels where this machine can run them
#      (scripts/platforms.sh: aarch64 under qemu-user, Windows under Wine);
#   4. the hardening stages (scripts/hardening.sh) on that wheel, with their own
#      sanitizer builds by the machine's compiler;
#   5. the packaging checks (sdist, manylinux repair, abi3audit, stubtest, mypy --strict).
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

step "release wheels: manylinux2014 x86_64/aarch64, macOS arm64/x86_64, win_amd64"
bash scripts/wheels.sh
record "wheels" $?
WHEEL=$(ls "$ROOT"/dist/wheels/halvex_core-*-cp38-abi3-manylinux2014_x86_64*.whl 2>/dev/null | head -1)
[ -n "$WHEEL" ] || { echo "no manylinux2014 x86_64 wheel"; exit 1; }
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

step "other platforms: aarch64 under qemu-user, Windows under Wine"
bash scripts/platforms.sh
record "platforms" $?

step "hardening: stable ABI, full-size model/fuzz/storm/leak runs, ASan+UBSan, TSan, valgrind"
HALVEX_WHEEL="$WHEEL" bash scripts/hardening.sh
record "hardening" $?

step "packaging: sdist, manylinux wheel, abi3audit, stubs, fresh venvs"
bash scripts/check_package.sh
record "package" $?

step "summary"
echo "suites: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
