#!/usr/bin/env bash
# Builds what the benchmark needs and runs it:
#   1. the module's abi3 wheel (the project's own build), installed with
#      matplotlib into a venv at bench/out/venv;
#   2. the floor extension (bench/floor/floor.c), compiled straight against
#      the interpreter's headers;
#   3. the suite, which writes bench/RESULTS.md, bench/results.png and
#      bench/out/results.json.
#
#   bash bench/run.sh            # full run, a few minutes
#   bash bench/run.sh --quick    # fewer calls and repeats, about a minute
#
# Set BENCH_PYTHON to benchmark another interpreter (default: python3).
# Set BENCH_NO_BUILD=1 to reuse the wheel and floor built by an earlier run.
set -euo pipefail
cd "$(dirname "$0")"
BENCH=$PWD
ROOT=$(cd .. && pwd)
OUT=$BENCH/out
BASE_PY=${BENCH_PYTHON:-python3}
VENV=$OUT/venv
PY=$VENV/bin/python

step() { printf '\n=== %s ===\n' "$*"; }
mkdir -p "$OUT"

if [ "${BENCH_NO_BUILD:-0}" != 1 ] || [ ! -x "$PY" ]; then
  step "module wheel"
  rm -rf "$OUT/wheel"
  "$BASE_PY" -m pip wheel -q --no-deps -w "$OUT/wheel" "$ROOT"
  WHEEL=$(ls "$OUT"/wheel/halvex_core-*-cp38-abi3-*.whl)
  echo "$WHEEL"
  # Which source the figures belong to (read-only git queries).
  if rev=$(git -C "$ROOT" rev-parse --short HEAD 2>/dev/null); then
    [ -z "$(git -C "$ROOT" status --porcelain -- src CMakeLists.txt pyproject.toml)" ] \
      || rev="$rev with uncommitted changes under src/ or the build files"
    echo "$rev" >"$OUT/wheel/SOURCE"
  fi

  step "venv"
  [ -x "$PY" ] || "$BASE_PY" -m venv "$VENV"
  "$PY" -m pip install -q --disable-pip-version-check matplotlib
  "$PY" -m pip install -q --disable-pip-version-check --force-reinstall --no-deps "$WHEEL"

  step "floor extension"
  INC=$("$PY" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')
  SUFFIX=$("$PY" -c 'import sysconfig; print(sysconfig.get_config_var("EXT_SUFFIX"))')
  mkdir -p "$OUT/floor"
  ${CC:-cc} -O2 -fPIC -shared -Wall -Wextra -I"$INC" floor/floor.c -o "$OUT/floor/halvex_floor$SUFFIX"
  echo "$OUT/floor/halvex_floor$SUFFIX"
fi

step "benchmark"
"$PY" bench.py "$@" 2>&1 | tee "$OUT/last-run.txt"
