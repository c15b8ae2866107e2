#!/usr/bin/env bash
# Runs the release wheels (scripts/wheels.sh) on the platforms this Linux
# machine can reach (scripts/check_wheels.sh checks every wheel's tag and
# exports; macOS wheels cannot run here):
#   aarch64  under qemu-user: the C++ unit tests, and the Python suite on
#            Debian's arm64 CPython 3.11 (libfaketime:arm64 for the clock tests)
#   windows  under Wine: the C++ unit tests, and the Python suite on the
#            official Windows CPython 3.8 and 3.13
# Usage: bash scripts/platforms.sh [aarch64] [windows]
# Installs what it needs; exits non-zero when any check fails.
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1
ROOT=$PWD
BUILD=$ROOT/build
. scripts/lib.sh
. scripts/cross_lib.sh

STAGES=("$@")
[ ${#STAGES[@]} -gt 0 ] || STAGES=(aarch64 windows)

bash scripts/setup.sh core || exit 1
use_zig || exit 1

# The C++ unit tests cross-built for zig target $1 into build/cpp-$1, with
# GoogleTest built from the sources Debian's libgtest-dev ships.
cross_unit_tests() {
  local dir=$BUILD/cpp-$1
  cmake -S . -B "$dir" -G Ninja --toolchain "$ROOT/cmake/zig-toolchain.cmake" \
    -DHALVEX_ZIG_TARGET="$1" -DHALVEX_BUILD_MODULE=OFF -DHALVEX_BUILD_TESTS=ON \
    -DHALVEX_GTEST_SOURCE=/usr/src/googletest -DCMAKE_BUILD_TYPE=RelWithDebInfo -Wno-dev >/dev/null \
    && cmake --build "$dir" >/dev/null
}

# ------------------------------------------------------------------ aarch64
# build/arm64/python3.11: Debian's arm64 libpython behind its own main.
arm64_python() {
  local dir=$BUILD/arm64 glibc
  mkdir -p "$dir"
  glibc=$(getconf GNU_LIBC_VERSION | awk '{print $2}')
  "$HALVEX_ZIG" cc -target "aarch64-linux-gnu.$glibc" -O2 "$ROOT/scripts/cross/python_launcher.c" \
    /usr/lib/aarch64-linux-gnu/libpython3.11.so.1.0 -o "$dir/python3.11" || return 1
  "$dir/python3.11" -c 'import platform, sys; print("arm64 interpreter:", sys.version.split()[0], platform.machine())'
}

arm64_suite() {
  local faketime wheel
  faketime=$(dpkg -L libfaketime:arm64 | grep '/libfaketime\.so\.1$' | head -1)
  wheel=$(find_wheel manylinux_2_17_aarch64) || return 1
  # pip runs on the build interpreter (3.11 too); Debian's 3.11.2 also needs
  # async_timeout, the redis client's dependency before 3.11.3.
  HALVEX_LIBFAKETIME=$faketime bash scripts/suite.sh "$wheel" \
    --target "$BUILD/arm64/site" "$(build_python)" manylinux2014_aarch64 async_timeout -- "$BUILD/arm64/python3.11"
}

# ------------------------------------------------------------------ windows
export WINEPREFIX=$BUILD/wine WINEDEBUG=-all

win_run() {  # Wine wants pipes for the standard streams; see scripts/suite.sh
  wine "$@" </dev/null 2>&1 | cat
  return "${PIPESTATUS[0]}"
}

wine_prefix() { [ -f "$WINEPREFIX/system.reg" ] || wineboot --init >/dev/null 2>&1; }

windows_python() {  # the official CPython $1, printed and checked
  local exe
  exe=$(embedded_python "$1" "$BUILD/windows-python/$1") || return 1
  # Wine 8 lacks the propsys call that the _wmi module makes, and aborts;
  # without _wmi, platform.system() & co. fall back to the version API.
  rm -f "$exe/_wmi.pyd"
  win_run "$exe/python.exe" -c 'import sys; print("Windows interpreter:", sys.version)'
}

windows_suite() {
  local v=$1 exe wheel
  exe=$(embedded_python "$v" "$BUILD/windows-python/$v") || return 1
  wheel=$(find_wheel win_amd64) || return 1
  # No libfaketime on Windows: the clock scenarios skip themselves. colorama
  # is pytest's Windows-only dependency, which the host's pip does not pick.
  HALVEX_LIBFAKETIME='' bash scripts/suite.sh "$wheel" \
    --target "$BUILD/windows-python/$v/site" "$(find_python "$v")" win_amd64 colorama -- wine "$exe/python.exe"
}

for s in "${STAGES[@]}"; do
  case $s in
    aarch64)
      step "aarch64 under qemu-user"
      stage "arm64 packages and binfmt" bash scripts/setup.sh arm64 || continue
      stage "[aarch64] C++ unit tests build" cross_unit_tests aarch64-linux-gnu.2.17 &&
        stage "[aarch64] C++ unit tests" "$BUILD/cpp-aarch64-linux-gnu.2.17/tests/cpp/halvex_core_tests" --gtest_brief=1
      stage "[aarch64] CPython 3.11" arm64_python &&
        stage "[aarch64] Python suite" arm64_suite
      ;;
    windows)
      step "Windows under Wine"
      stage "wine" bash scripts/setup.sh wine && stage "wine prefix" wine_prefix || continue
      stage "[windows] C++ unit tests build" cross_unit_tests x86_64-windows-gnu &&
        stage "[windows] C++ unit tests" win_run "$BUILD/cpp-x86_64-windows-gnu/tests/cpp/halvex_core_tests.exe" --gtest_brief=1
      for v in $(edge_pythons); do
        stage "[windows] CPython $v" windows_python "$v" &&
          stage "[windows] Python suite on CPython $v" windows_suite "$v"
      done
      ;;
    *) echo "unknown stage: $s"; exit 2 ;;
  esac
done

stage_summary "platform checks"
