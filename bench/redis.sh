#!/usr/bin/env bash
# Runs the halvex_redis benchmark (bench/redis_bench.py), which starts its own
# redis-server on a free 127.0.0.1 port: builds the wheel, installs it with the
# redis client into bench/out/redis-venv, writes bench/REDIS.md.
#   bash bench/redis.sh [--quick]
# Set BENCH_PYTHON to benchmark another interpreter (default: python3).
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
"$VENV/bin/python" bench/redis_bench.py "$@"
