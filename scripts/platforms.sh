#!/usr/bin/env bash
# Tests the release wheels (scripts/wheels.sh) on every platform this Linux
# machine can reach:
#   exports  all five wheels are there; both Linux wheels are manylinux_2_17;
#            each module exports only PyInit_halvex_core (macOS: plus the C++
#            runtime's operators new/delete, which zig's linker cannot hide)
#   aarch64  under qemu-user: the C++ unit tests, and the Python suite on
#            Debian's arm64 CPython 3.11 (libfaketime:arm64 for the clock tests)
#   windows  under Wine: the C++ unit tests, and the Python suite on the
#            official Windows CPython 3.8 and 3.13
# macOS wheels cannot run here. Usage: bash scripts/platforms.sh [STAGE...]
# Installs what it needs; exits non-zero when any check fails.
set -uo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
BUILD=$ROOT/build
WHEELS=$ROOT/dist/wheels
. scripts/lib.sh
. scripts/cross_lib.sh

STAGES=("$@")
[ ${#STAGES[@]} -gt 0 ] || STAGES=(exports aarch64 windows)

passed=0
failed=0
check() {  # check <name> <command...>: runs it, records and returns its outcome
  local name=$1 t0=$SECONDS
  shift
  printf -- '--- %s\n' "$name"
  if "$@"; then
    passed=$((passed + 1)); printf -- '--- %s: ok (%ss)\n' "$name" $((SECONDS - t0))
  else
    failed=$((failed + 1)); printf -- '--- %s: FAILED (%ss)\n' "$name" $((SECONDS - t0))
    return 1
  fi
}

use_zig || exit 1

wheel_for() { ls "$WHEELS"/halvex_core-*-cp38-abi3-*"$1"*.whl 2>/dev/null | head -1; }

# Unpacks wheel $1 into a fresh folder $2.
unpack() { rm -rf "$2" && mkdir -p "$2" && python3 -m zipfile -e "$1" "$2"; }

# The C++ unit tests cross-built for zig target $1 into build/cpp-$1, with
# GoogleTest built from the sources Debian's libgtest-dev ships.
cross_unit_tests() {
  local dir=$BUILD/cpp-$1
  cmake -S . -B "$dir" -G Ninja --toolchain "$ROOT/cmake/zig-toolchain.cmake" \
    -DHALVEX_ZIG_TARGET="$1" -DHALVEX_BUILD_MODULE=OFF -DHALVEX_BUILD_TESTS=ON \
    -DHALVEX_GTEST_SOURCE=/usr/src/googletest -DCMAKE_BUILD_TYPE=RelWithDebInfo -Wno-dev >/dev/null \
    && cmake --build "$dir" >/dev/null
}

# ------------------------------------------------------------------ exports
exported_symbols() {  # the names a module file exports, one a line
  case $(head -c 4 "$1" | od -An -tx1 | tr -d ' ') in
    7f454c46) llvm-nm -D --defined-only --extern-only "$1" | awk '{print $NF}' ;;
    cffaedfe) llvm-nm --defined-only --extern-only "$1" | awk '{print $NF}' ;;
    4d5a*) llvm-readobj --coff-exports "$1" | awk '$1 == "Name:" {print $2}' ;;
    *) echo "unknown binary format: $1" >&2; return 1 ;;
  esac
}

check_exports() {
  local tag whl dir mod syms extra bad=0
  for tag in manylinux_2_17_x86_64 manylinux_2_17_aarch64 macosx_11_0_arm64 macosx_10_15_x86_64 win_amd64; do
    whl=$(wheel_for "$tag")
    if [ -z "$whl" ]; then echo "$tag: no wheel"; bad=1; continue; fi
    dir=$BUILD/exports/$tag
    unpack "$whl" "$dir" || { bad=1; continue; }
    mod=$(ls "$dir"/halvex_core.abi3.so "$dir"/halvex_core.pyd 2>/dev/null | head -1)
    syms=$(exported_symbols "$mod") || { bad=1; continue; }
    # Mach-O: the linker's own header symbols and libc++'s replaceable
    # operator new/delete (_Znw*, _Zna*, _Zdl*, _Zda*) are allowed besides.
    extra=$(echo "$syms" | grep -v -x -e '_\?PyInit_halvex_core' \
      | { if [[ $tag == macosx* ]]; then grep -v -E '^(__Z(nw|na|dl|da)|__mh_dylib_header$|___dso_handle$)'; else cat; fi; })
    echo "$(basename "$whl"): $(echo "$syms" | paste -sd' ' | cut -c1-160)"
    if ! echo "$syms" | grep -q -x '_\?PyInit_halvex_core' || [ -n "$extra" ]; then
      echo "  unexpected exports: ${extra:-no init function}"; bad=1
    fi
  done
  return $bad
}

check_manylinux() {
  local arch whl out bad=0
  for arch in x86_64 aarch64; do
    whl=$(wheel_for "manylinux_2_17_$arch")
    [ -n "$whl" ] || { echo "no $arch wheel"; bad=1; continue; }
    out=$(auditwheel show "$whl") || { bad=1; continue; }
    echo "$out" | grep -A1 "consistent with" | paste -sd' '
    echo "$out" | grep -q "\"manylinux_2_17_$arch\"" || { echo "  not manylinux_2_17"; bad=1; }
  done
  return $bad
}

# ------------------------------------------------------------------ aarch64
# qemu-user runs arm64 programs, children included, once binfmt_misc knows it.
ensure_arm64() {
  if ! dpkg --print-foreign-architectures | grep -qx arm64; then
    dpkg --add-architecture arm64 && apt-get update -qq || return 1
  fi
  ensure_debs qemu-user-static binfmt-support libpython3.11:arm64 libfaketime:arm64 libgtest-dev llvm || return 1
  if [ ! -e /proc/sys/fs/binfmt_misc/register ]; then
    mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc || return 1
  fi
  [ -e /proc/sys/fs/binfmt_misc/qemu-aarch64 ] || update-binfmts --enable qemu-aarch64 || return 1
}

# Builds build/arm64/python3.11 and its site folder. pip runs here on the
# build interpreter and evaluates markers for it: Debian's 3.11.2 also needs
# async_timeout (the redis client's dependency before 3.11.3).
arm64_python() {
  local dir=$BUILD/arm64 glibc
  mkdir -p "$dir"
  glibc=$(getconf GNU_LIBC_VERSION | awk '{print $2}')
  "$HALVEX_ZIG" cc -target "aarch64-linux-gnu.$glibc" -O2 "$ROOT/scripts/cross/python_launcher.c" \
    /usr/lib/aarch64-linux-gnu/libpython3.11.so.1.0 -o "$dir/python3.11" || return 1
  "$dir/python3.11" -c 'import platform, sys; print("arm64 interpreter:", sys.version.split()[0], platform.machine())' || return 1
  python3 -m pip install -q --disable-pip-version-check --upgrade --target "$dir/site" \
    --platform manylinux2014_aarch64 --python-version 3.11 --implementation cp --only-binary=:all: \
    -r "$ROOT/tests/requirements.txt" async_timeout 2>&1 | grep -v "^WARNING: Location" >&2
  unpack "$(wheel_for manylinux_2_17_aarch64)" "$dir/module"
}

arm64_suite() {
  local dir=$BUILD/arm64 faketime
  faketime=$(dpkg -L libfaketime:arm64 | grep '/libfaketime\.so\.1$' | head -1)
  (cd "$ROOT/tests" && HALVEX_LIBFAKETIME=$faketime PYTHONPATH="$dir/module:$dir/site" \
    "$dir/python3.11" -m pytest -q -p no:cacheprovider .)
}

# ------------------------------------------------------------------ windows
export WINEPREFIX=$BUILD/wine WINEDEBUG=-all

# Windows CPython under Wine fails to set up sys.stdout when the standard
# streams are regular files ("Invalid handle"); pipes work. CI gives no stdin.
win_run() {
  wine "$@" </dev/null 2>&1 | cat
  return "${PIPESTATUS[0]}"
}

ensure_wine() {
  ensure_debs wine wine64 libgtest-dev llvm || return 1
  [ -f "$WINEPREFIX/system.reg" ] || wineboot --init >/dev/null 2>&1 || return 1
}

win_path() { winepath -w "$1" 2>/dev/null; }

windows_python() {  # the official CPython $1 with the test requirements and the wheel
  local v=$1 dir=$BUILD/windows-python/$1 exe
  exe=$(embedded_python "$v" "$dir") || return 1
  # Wine 8 lacks the propsys call that the _wmi module makes, and aborts;
  # without _wmi, platform.system() & co. fall back to the version API.
  rm -f "$exe/_wmi.pyd"
  # pip picks versions and evaluates markers for the interpreter it runs on,
  # so the same CPython version here chooses them; colorama is pytest's
  # Windows-only dependency.
  "$(find_python "$v")" -m pip install -q --disable-pip-version-check --upgrade --target "$dir/site" \
    --platform win_amd64 --only-binary=:all: \
    -r "$ROOT/tests/requirements.txt" colorama 2>&1 | grep -v "^WARNING: Location" >&2
  unpack "$(wheel_for win_amd64)" "$dir/module" || return 1
  win_run "$exe/python.exe" -c 'import sys; print("Windows interpreter:", sys.version)'
}

windows_suite() {
  local dir=$BUILD/windows-python/$1 exe
  exe=$(embedded_python "$1" "$dir") || return 1
  # No libfaketime on Windows: the clock scenarios skip themselves.
  (cd "$ROOT/tests" && HALVEX_LIBFAKETIME= PYTHONPATH="$(win_path "$dir/module");$(win_path "$dir/site")" \
    win_run "$exe/python.exe" -m pytest -q -p no:cacheprovider .)
}

for stage in "${STAGES[@]}"; do
  case $stage in
    exports)
      step "release wheels: tags and exported symbols"
      ensure_debs llvm || exit 1
      check "manylinux_2_17 (auditwheel show)" check_manylinux
      check "only the init function is exported" check_exports
      ;;
    aarch64)
      step "aarch64 under qemu-user"
      check "arm64 packages and binfmt" ensure_arm64 || continue
      check "[aarch64] C++ unit tests build" cross_unit_tests aarch64-linux-gnu.2.17 &&
        check "[aarch64] C++ unit tests" "$BUILD/cpp-aarch64-linux-gnu.2.17/tests/cpp/halvex_core_tests" --gtest_brief=1
      check "[aarch64] CPython 3.11 with the wheel" arm64_python &&
        check "[aarch64] Python suite" arm64_suite
      ;;
    windows)
      step "Windows under Wine"
      check "wine" ensure_wine || continue
      check "[windows] C++ unit tests build" cross_unit_tests x86_64-windows-gnu &&
        check "[windows] C++ unit tests" win_run "$BUILD/cpp-x86_64-windows-gnu/tests/cpp/halvex_core_tests.exe" --gtest_brief=1
      for v in 3.8 3.13; do
        check "[windows] CPython $v with the wheel" windows_python "$v" &&
          check "[windows] Python suite on CPython $v" windows_suite "$v"
      done
      ;;
    *) echo "unknown stage: $stage"; exit 2 ;;
  esac
done

step "platforms summary"
echo "platform checks: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
