#!/usr/bin/env bash
# Runs the halvex_redis benchmark (bench/redis_bench.py, its measurements in
# bench/redis_workloads.py), which starts its own
# redis-server on a free 127.0.0.1 port: builds the wheel, installs it with the
# redis client into bench/out/redis-venv, writes bench/REDIS.md.
#   bash bench/redis.sh [--quick]
# Set BENCH_PYTHON to benchmark another interpreter (default: python3), and
# REDIS_BASELINE to a git revision to compare with that revision's halvex_redis.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
. scripts/lib.sh
ensure_debs redis-server
VENV=$ROOT/bench/out/redis-venv
[ -x "$VENV/bin/python" ] || "${BENCH_PYTHON:-python3}" -m venv "$VENV"
WHEEL=$(build_wheel "$ROOT/bench/out/redis-wheel")
"$VENV/bin/python" -m pip install -q --disable-pip-version-check redis
"$VENV/bin/python" -m pip install -q --disable-pip-version-check --force-reinstall --no-deps "$WHEEL"
args=()
if [ -n "${REDIS_BASELINE:-}" ]; then
  base=$ROOT/bench/out/redis-baseline
  rm -rf "$base" && mkdir -p "$base"
  git -C "$ROOT" archive "$REDIS_BASELINE" python/halvex_redis | tar -x -C "$base"
  args=(--baseline "$base/python")
fi
"$VENV/bin/python" bench/redis_bench.py "${args[@]}" "$@"
