#!/usr/bin/env bash
# One check per wheel, of what can be read without running it:
#   tag      cp38-abi3; a Linux wheel's platform tag is one auditwheel finds
#            the binary consistent with (the release wheels: manylinux_2_17);
#   exports  the module exports PyInit_halvex_core alone (Mach-O: plus the C++
#            runtime's operators new/delete, which zig's linker cannot hide);
#            an ELF module needs neither libstdc++ nor libpython;
#   abi3     abi3audit --strict: nothing outside the 3.8 stable ABI;
#   sse2     x86_64 only: the table's group scan is compiled as the SSE2 byte
#            compare and movemask (pcmpeqb, pmovmskb), not the byte loop.
#
# Usage: bash scripts/check_wheels.sh [WHEEL...]
#   (default: the five release wheels in dist/wheels, all of which must be there)
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1
ROOT=$PWD
BUILD=$ROOT/build
WORK=$BUILD/wheel-checks
. scripts/lib.sh
. scripts/cross_lib.sh

RELEASE_TAGS=(manylinux_2_17_x86_64 manylinux_2_17_aarch64 macosx_11_0_arm64 macosx_10_15_x86_64 win_amd64)

bash scripts/setup.sh core || exit 1
# auditwheel comes with the pinned cross-build tools.
use_wheel_tools || exit 1
if [ ! -x "$WORK/tools/bin/abi3audit" ]; then
  "$(build_python)" -m venv "$WORK/tools" && pip_q "$WORK/tools/bin/python" install abi3audit \
    || { echo "cannot install abi3audit"; exit 1; }
fi

WHEELS=("$@")
if [ ${#WHEELS[@]} -eq 0 ]; then
  for tag in "${RELEASE_TAGS[@]}"; do
    whl=$(find_wheel "$tag") || exit 1
    WHEELS+=("$whl")
  done
fi

binary_format() {  # elf, macho or pe, from the file's first bytes
  case $(head -c 4 "$1" | od -An -tx1 | tr -d ' ') in
    7f454c46) echo elf ;;
    cffaedfe) echo macho ;;
    4d5a*) echo pe ;;
    *) echo "unknown binary format: $1" >&2; return 1 ;;
  esac
}

exported_symbols() {  # the names module file $1 of format $2 exports, one a line
  case $2 in
    elf) llvm-nm -D --defined-only --extern-only "$1" | awk '{print $NF}' ;;
    macho) llvm-nm --defined-only --extern-only "$1" | awk '{print $NF}' ;;
    pe) llvm-readobj --coff-exports "$1" | awk '$1 == "Name:" {print $2}' ;;
  esac
}

check_tag() {
  local whl=$1 name plat shown t confirmed=""
  name=$(basename "$whl")
  [[ $name == halvex_core-*-cp38-abi3-*.whl ]] || { echo "$name: not a cp38-abi3 wheel"; return 1; }
  plat=${name##*-cp38-abi3-}
  plat=${plat%.whl}
  echo "tag: cp38-abi3 $plat"
  case $plat in
    *linux*)
      [[ $plat == *manylinux* ]] || { echo "not a manylinux wheel"; return 1; }
      shown=$(auditwheel show "$whl") || return 1
      echo "$shown" | grep -A1 "consistent with" | paste -sd' '
      # auditwheel names the policies by their PEP 600 names.
      for t in ${plat//./ }; do
        t=${t/manylinux2014_/manylinux_2_17_}
        grep -q "\"$t\"" <<<"$shown" && confirmed+=" $t"
      done
      [ -n "$confirmed" ] || { echo "auditwheel confirms none of $plat"; return 1; }
      ;;
  esac
}

check_exports() {
  local mod=$1 format syms extra needed
  format=$(binary_format "$mod") || return 1
  syms=$(exported_symbols "$mod" "$format") || return 1
  echo "exports: $(echo "$syms" | paste -sd' ' | cut -c1-160)"
  # Mach-O: the linker's own header symbols and libc++'s replaceable
  # operator new/delete (_Znw*, _Zna*, _Zdl*, _Zda*) are allowed besides.
  extra=$(echo "$syms" | grep -v -x -e '_\?PyInit_halvex_core' \
    | { if [ "$format" = macho ]; then grep -v -E '^(__Z(nw|na|dl|da)|__mh_dylib_header$|___dso_handle$)'; else cat; fi; })
  if ! echo "$syms" | grep -q -x '_\?PyInit_halvex_core' || [ -n "$extra" ]; then
    echo "unexpected exports: ${extra:-no init function}"; return 1
  fi
  if [ "$format" = elf ]; then
    needed=$(llvm-readobj --needed-libs "$mod" | awk '/^ +lib/ {print $1}' | paste -sd' ')
    echo "needs: $needed"
    case " $needed " in *libstdc++*|*libpython*) echo "links a library it must not"; return 1 ;; esac
  fi
  return 0
}

check_abi3() {
  local whl=$1 report=$2
  "$WORK/tools/bin/abi3audit" --strict --summary --report -o "$report" "$whl" || return 1
  "$WORK/tools/bin/python" scripts/abi3_report.py "$report"
}

# The table's group scan compares 16 control bytes at once on x86_64, where
# SSE2 is part of the architecture: a byte compare whose mask pmovmskb takes,
# both for a tag (pcmpeqb) and for the free slots (pcmpgtb, below the
# sentinel). Clang also vectorizes the portable byte loop's compare with a
# constant into pcmpeqb + pmovmskb, so only the pair of both kinds tells.
check_sse2() {
  local mod=$1 pairs n_eq n_gt
  pairs=$(llvm-objdump -d --no-show-raw-insn "$mod" \
    | awk '$2 == "pmovmskb" { print p1; print p2 } { p2 = p1; p1 = $2 }') || return 1
  n_eq=$(grep -c -x pcmpeqb <<<"$pairs")
  n_gt=$(grep -c -x pcmpgtb <<<"$pairs")
  echo "sse2: movemask after pcmpeqb x$n_eq, after pcmpgtb x$n_gt"
  [ "$n_eq" -gt 0 ] && [ "$n_gt" -gt 0 ] || { echo "no SSE2 group scan in this x86_64 build"; return 1; }
}

check_wheel() {
  local whl=$1 dir mod rc=0 key
  key=$(basename "$whl" .whl)
  dir=$WORK/$key
  rm -rf "$dir" && mkdir -p "$dir/files" || return 1
  python3 -m zipfile -e "$whl" "$dir/files" || return 1
  for mod in "$dir"/files/halvex_core.abi3.so "$dir"/files/halvex_core.pyd ""; do
    [ -f "$mod" ] && break
  done
  [ -n "$mod" ] || { echo "no module in $whl"; return 1; }
  check_tag "$whl" || rc=1
  check_exports "$mod" || rc=1
  check_abi3 "$whl" "$dir/abi3audit.json" || rc=1
  case $key in *x86_64* | *amd64*) check_sse2 "$mod" || rc=1 ;; esac
  return $rc
}

for whl in "${WHEELS[@]}"; do
  stage "$(basename "$whl")" check_wheel "$whl"
done
stage_summary "wheel checks"
