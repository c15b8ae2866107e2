#!/usr/bin/env bash
# Builds the release wheels, one cp38-abi3 wheel per platform, into dist/wheels/:
#   linux-x86_64   manylinux2014_x86_64    (glibc 2.17)
#   linux-aarch64  manylinux2014_aarch64   (glibc 2.17)
#   macos-arm64    macosx_11_0_arm64
#   macos-x86_64   macosx_10_15_x86_64     (aligned operator new needs 10.15)
#   windows-amd64  win_amd64               (UCRT, like CPython itself)
# Every wheel is cross-compiled with zig (pinned in scripts/wheel-tools.txt);
# Linux wheels then go through auditwheel repair. `pip install .` is not
# affected: it keeps using the machine's own compiler.
#
# Usage: bash scripts/wheels.sh [TARGET...]   (default: all five)
# The first build of a target compiles zig's C++ runtime for it (1.5-3 minutes);
# zig caches it in the user's cache folder, for every clone.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
BUILD=$ROOT/build
OUT=$ROOT/dist/wheels
. scripts/lib.sh
. scripts/cross_lib.sh

TARGETS=("$@")
[ ${#TARGETS[@]} -gt 0 ] || TARGETS=(linux-x86_64 linux-aarch64 macos-arm64 macos-x86_64 windows-amd64)

use_zig
mkdir -p "$OUT"

# build_one <target> <zig target> <platform as sysconfig spells it> [pip -C options...]
build_one() {
  local name=$1 zig_target=$2 platform=$3 raw=$BUILD/wheels-raw/$1
  shift 3
  rm -rf "$raw" && mkdir -p "$raw"
  rm -f "$OUT"/halvex_core-*-"$(echo "$platform" | tr .- __)".whl
  HALVEX_ZIG_TARGET=$zig_target _PYTHON_HOST_PLATFORM=$platform \
    python -m pip wheel -q --disable-pip-version-check --no-deps --no-build-isolation \
      -w "$raw" \
      -C build-dir="$BUILD/wheel-$name" \
      -C cmake.args="--toolchain=$ROOT/cmake/zig-toolchain.cmake" \
      -C cmake.define.HALVEX_ZIG_TARGET="$zig_target" \
      "$@" . >&2
  ls "$raw"/halvex_core-*.whl
}

for target in "${TARGETS[@]}"; do
  t0=$SECONDS
  case $target in
    linux-x86_64 | linux-aarch64)
      arch=${target#linux-}
      whl=$(build_one "$target" "$arch-linux-gnu.2.17" "linux-$arch")
      # auditwheel offers the host's architecture by name only; for another
      # one it picks the policy from the binary (manylinux_2_17 for glibc 2.17).
      plat="manylinux2014_$arch"
      [ "$arch" = "$(uname -m)" ] || plat=auto
      auditwheel repair --plat "$plat" -w "$OUT" "$whl" >&2
      ;;
    macos-arm64)
      whl=$(build_one "$target" aarch64-macos.11.0 macosx-11.0-arm64)
      cp "$whl" "$OUT/"
      ;;
    macos-x86_64)
      whl=$(build_one "$target" x86_64-macos.10.15 macosx-10.15-x86_64)
      cp "$whl" "$OUT/"
      ;;
    windows-amd64)
      sdk=$(windows_python_sdk "$BUILD/windows-sdk")
      whl=$(build_one "$target" x86_64-windows-gnu win-amd64 \
        -C cmake.define.Python_INCLUDE_DIR="$sdk/include" \
        -C cmake.define.Python_SABI_LIBRARY="$sdk/libs/libpython3.dll.a")
      cp "$whl" "$OUT/"
      ;;
    *) echo "unknown target: $target"; exit 2 ;;
  esac
  echo "$target: built in $((SECONDS - t0))s"
done
ls -1 "$OUT"
