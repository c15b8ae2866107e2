#!/usr/bin/env bash
# Builds everything once and runs every test, each proof in one stage:
#   0. machine packages (scripts/setup.sh), before any test;
#   1. the static checks (scripts/lint.sh: ruff, mypy --strict, shellcheck,
#      clang-format, the HALVEX_* variables documented);
#   2. the five release wheels (scripts/wheels.sh);
#   3. the quick loop (scripts/dev.sh): the C++ core's unit tests (GoogleTest,
#      run by CTest, real threads, no interpreter) and the Python suite on the
#      manylinux2014 x86_64 wheel under the newest host CPython;
#   4. one check of each wheel (scripts/check_wheels.sh: tag, exports,
#      abi3audit, the SSE2 group scan);
#   5. stages with servers of their own, each running its tests once: the
#      halvex_redis stage (scripts/redis_stage.sh) and the halvex_mcp stage
#      (scripts/mcp_stage.sh) on that wheel, then the client-compatibility
#      stage (scripts/compat_stage.sh: the MCP SDK and five agent frameworks,
#      each in a cached venv of its own, against real halvex-mcp servers);
#   6. the Python suite (scripts/suite.sh) on that wheel in a fresh virtual
#      environment of every other host CPython (3.8 … 3.13, scripts/lib.sh)
#      found, and on Debian sid's CPython 3.14 and 3.15 in a chroot
#      (scripts/chroot_stage.sh);
#   7. the other platforms' wheels where this machine can run them
#      (scripts/platforms.sh: aarch64 under qemu-user, Windows under Wine);
#   8. the hardening stages (scripts/hardening.sh) on that wheel, with their own
#      sanitizer builds by the machine's compiler;
#   9. the packaging checks (sdist, a wheel from it, stubtest, mypy --strict).
# Installs what it needs (Debian packages through apt-get, Python packages through pip).
# Exits non-zero when any stage fails. HALVEX_PYTHONS picks the host interpreters.
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1
ROOT=$PWD
BUILD=$ROOT/build
. scripts/lib.sh

step "machine packages"
bash scripts/setup.sh || exit 1

# The Debian sid chroot is made meanwhile: debootstrap mostly waits on the
# network while the wheels and the C++ tests keep the processors busy.
mkdir -p "$BUILD"
bash scripts/chroot_stage.sh --prepare >"$BUILD/chroot-prepare.log" 2>&1 &
CHROOT_PREPARE=$!

step "static checks (scripts/lint.sh)"
stage "lint" bash scripts/lint.sh

step "release wheels: manylinux2014 x86_64/aarch64, macOS arm64/x86_64, win_amd64"
stage "wheels" bash scripts/wheels.sh
WHEEL=$(find_wheel manylinux_2_17_x86_64) || exit 1
echo "$WHEEL"

# The quick loop proves the C++ core and the suite on one interpreter, which
# the matrix below then leaves out.
DEV_PYTHON=$(dev_python_version)
step "C++ core tests, and the Python suite on CPython ${DEV_PYTHON:-?} (scripts/dev.sh)"
stage "dev loop" env HALVEX_WHEEL="$WHEEL" ${DEV_PYTHON:+HALVEX_DEV_PYTHON="$DEV_PYTHON"} \
  bash scripts/dev.sh

stage "wheel checks" bash scripts/check_wheels.sh

# Stages that start servers of their own. Their tests run here only: the
# interpreter matrix leaves them out (pytest markers, tests/pytest.ini). A new
# server stage goes here too.
step "halvex_redis: redis-server stage (scripts/redis_stage.sh)"
stage "redis" env HALVEX_WHEEL="$WHEEL" bash scripts/redis_stage.sh
step "halvex_mcp: MCP server stage (scripts/mcp_stage.sh)"
stage "mcp" env HALVEX_WHEEL="$WHEEL" bash scripts/mcp_stage.sh
step "halvex_mcp: client compatibility, one venv per framework (scripts/compat_stage.sh)"
stage "compat" env HALVEX_WHEEL="$WHEEL" bash scripts/compat_stage.sh

for v in $(host_pythons); do
  [ "$v" != "$DEV_PYTHON" ] || continue
  step "Python $v"
  if py=$(find_python "$v"); then
    stage "python $v" bash scripts/suite.sh "$WHEEL" --venv "$BUILD/venvs/$v" "$py"
  else
    echo "no CPython $v found"
    stage "python $v" false
  fi
done

step "CPython ${CHROOT_PYTHONS// / and } in a Debian sid chroot"
wait "$CHROOT_PREPARE"
cat "$BUILD/chroot-prepare.log"
stage "python $CHROOT_PYTHONS (sid chroot)" bash scripts/chroot_stage.sh "$WHEEL"

step "other platforms: aarch64 under qemu-user, Windows under Wine"
stage "platforms" bash scripts/platforms.sh

step "hardening: full-size model/fuzz/storm/leak runs, ASan+UBSan, TSan, valgrind"
stage "hardening" env HALVEX_WHEEL="$WHEEL" bash scripts/hardening.sh

step "packaging: sdist, a wheel from it, stubs, fresh venvs"
stage "package" bash scripts/check_package.sh

stage_summary "suites"
