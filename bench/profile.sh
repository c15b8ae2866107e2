#!/usr/bin/env bash
# Counts instructions per call of module methods under callgrind, next to the
# boundary floor with the same arity, and lists where they go.
#
#   bash bench/profile.sh [METHOD ...]     (default: all nine; needs bench/run.sh run once)
#
# Builds an unstripped copy of the module with debug info (same -O3 Release
# flags otherwise) into bench/out/profile/, and writes callgrind output and a
# summary to bench/out/profile/.
set -uo pipefail
cd "$(dirname "$0")"
BENCH=$PWD
ROOT=$(cd .. && pwd)
OUT=$BENCH/out/profile
PY=$BENCH/out/venv/bin/python
CALLS=${PROFILE_CALLS:-20000}
[ -x "$PY" ] || { echo "run bench/run.sh first (it makes the venv and the floor)"; exit 1; }
command -v valgrind >/dev/null || { echo "valgrind not found"; exit 1; }

if [ ! -f "$OUT/halvex_core.abi3.so" ]; then
  echo "== building an unstripped module with debug info"
  rm -rf "$OUT" && mkdir -p "$OUT"
  python3 -m pip wheel -q --no-deps -w "$OUT/wheel" -C install.strip=false \
    -C cmake.define.CMAKE_CXX_FLAGS=-g -C build-dir="$BENCH/out/profile-build" "$ROOT"
  (cd "$OUT" && python3 -m zipfile -e wheel/halvex_core-*.whl .)
fi
export PYTHONPATH=$OUT

declare -A ARITY=()
while read -r m a; do ARITY[$m]=$a; done < <("$PY" "$BENCH/profile_driver.py" --methods)
[ ${#ARITY[@]} -gt 0 ] || { echo "cannot list the methods"; exit 1; }
methods=("$@")
[ ${#methods[@]} -gt 0 ] || read -r -a methods < <("$PY" "$BENCH/profile_driver.py" --methods | cut -d' ' -f1 | tr '\n' ' ')

summary=$OUT/summary.txt
: >"$summary"
count() {  # count <label> <toggle pattern> <driver args...>: prints "instructions units"
  local label=$1 pat=$2; shift 2
  local file=$OUT/cg.$label.out log
  log=$(valgrind --tool=callgrind --callgrind-out-file="$file" --toggle-collect="$pat" \
    "$PY" "$BENCH/profile_driver.py" "$@" 2>&1)
  echo "$(sed -n 's/.*Collected : *//p' <<<"$log") $(sed -n 's/^units=//p' <<<"$log")"
}
for m in "${methods[@]}"; do
  read -r mod mod_units < <(count "module.$m" "halvex::py::(anonymous namespace)::$m(*" "$m" "$CALLS" module)
  read -r flo flo_units < <(count "floor.$m" "bound${ARITY[$m]}" "$m" "$CALLS" floor)
  {
    per="per call"; [ "$m" = broadcast ] && per="per delivered message (100 recipients a call)"
    echo "== $m: module $((mod / mod_units)) instructions $per, boundary floor $((flo / flo_units)) per call" \
      "(ratio $(awk "BEGIN{printf \"%.2f\", ($mod/$mod_units)/($flo/$flo_units)}"))"
    echo "   top functions, inclusive instructions $per (module):"
    "$PY" "$BENCH/cg_top.py" "$OUT/cg.module.$m.out" "$mod_units"
  } | tee -a "$summary"
done
echo "summary: $summary"
