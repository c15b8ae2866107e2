#!/usr/bin/env bash
# Builds everything once and runs every test, each proof in one stage:
#   0. machine packages (scripts/setup.sh), before any test;
#   1. the C++ core's unit tests (GoogleTest, run by CTest, real threads, no interpreter);
#   2. the five release wheels (scripts/wheels.sh) and one check of each
#      (scripts/check_wheels.sh: tag, exports, abi3audit, the SSE2 group scan);
#   3. stages with servers of their own, each running its tests once: the
#      halvex_redis stage (scripts/redis_stage.sh) and the halvex_mcp stage
#      (scripts/mcp_stage.sh) on the manylinux2014 x86_64 wheel;
#   4. the Python suite (scripts/suite.sh) on that wheel in a fresh virtual
#      environment of every CPython 3.8 … 3.13 found, and on Debian sid's
#      CPython 3.14 and 3.15 in a chroot (scripts/chroot_stage.sh);
#   5. the other platforms' wheels where this machine can run them
#      (scripts/platforms.sh: aarch64 under qemu-user, Windows under Wine);
#   6. the hardening stages (scripts/hardening.sh) on that wheel, with their own
#      sanitizer builds by the machine's compiler;
#   7. the packaging checks (sdist, a wheel from it, stubtest, mypy --strict).
# Installs what it needs (Debian packages through apt-get, Python packages through pip).
# Exits non-zero when any stage fails. HALVEX_PYTHONS picks the host interpreters.
set -uo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
BUILD=$ROOT/build
VERSIONS=${HALVEX_PYTHONS:-"3.8 3.9 3.10 3.11 3.12 3.13"}
. scripts/lib.sh

step "machine packages"
bash scripts/setup.sh || exit 1

# The Debian sid chroot is made meanwhile: debootstrap mostly waits on the
# network while the C++ tests and the wheels keep the processors busy.
mkdir -p "$BUILD"
bash scripts/chroot_stage.sh --prepare >"$BUILD/chroot-prepare.log" 2>&1 &
CHROOT_PREPARE=$!

cpp_tests() {
  ensure_cmake "$BUILD/cmake" || { echo "no CMake 3.26+ / Ninja"; return 1; }
  cmake -S . -B "$BUILD/cpp" -G Ninja -DHALVEX_BUILD_MODULE=OFF -DHALVEX_BUILD_TESTS=ON \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null \
    && cmake --build "$BUILD/cpp" \
    && (cd "$BUILD/cpp" && ctest --output-on-failure -j2)
}

step "C++ core tests"
stage "ctest" cpp_tests

step "release wheels: manylinux2014 x86_64/aarch64, macOS arm64/x86_64, win_amd64"
stage "wheels" bash scripts/wheels.sh
WHEEL=$(ls "$ROOT"/dist/wheels/halvex_core-*-cp38-abi3-manylinux2014_x86_64*.whl 2>/dev/null | head -1)
[ -n "$WHEEL" ] || { echo "no manylinux2014 x86_64 wheel"; exit 1; }
echo "$WHEEL"
stage "wheel checks" bash scripts/check_wheels.sh

# Stages that start servers of their own. Their tests run here only: the
# interpreter matrix below leaves them out. A new server stage goes here too.
step "halvex_redis: redis-server stage (scripts/redis_stage.sh)"
stage "redis" env HALVEX_WHEEL="$WHEEL" bash scripts/redis_stage.sh
step "halvex_mcp: MCP server stage (scripts/mcp_stage.sh)"
stage "mcp" env HALVEX_WHEEL="$WHEEL" bash scripts/mcp_stage.sh

for v in $VERSIONS; do
  step "Python $v"
  if py=$(find_python "$v"); then
    stage "python $v" bash scripts/suite.sh "$WHEEL" --venv "$BUILD/venvs/$v" "$py"
  else
    echo "no CPython $v found"
    stage "python $v" false
  fi
done

step "CPython 3.14 and 3.15 in a Debian sid chroot"
wait "$CHROOT_PREPARE"
cat "$BUILD/chroot-prepare.log"
stage "python 3.14 3.15 (sid chroot)" bash scripts/chroot_stage.sh "$WHEEL"

step "other platforms: aarch64 under qemu-user, Windows under Wine"
stage "platforms" bash scripts/platforms.sh

step "hardening: full-size model/fuzz/storm/leak runs, ASan+UBSan, TSan, valgrind"
stage "hardening" env HALVEX_WHEEL="$WHEEL" bash scripts/hardening.sh

step "packaging: sdist, a wheel from it, stubs, fresh venvs"
stage "package" bash scripts/check_package.sh

stage_summary "suites"
