#!/usr/bin/env bash
# The halvex_redis stage: installs redis-server, redis-cli (to join a 3-node
# cluster) and libfaketime, installs the wheel (HALVEX_WHEEL, or one built
# here) with the test requirements (the redis client among them) into a venv
# of the newest CPython found (HALVEX_REDIS_PYTHON picks another), and runs
# every test that involves Redis: the shared behaviour tests' redis cases (the
# blocking and the asyncio class), the lease scenarios on a server whose clock
# is moved, lost replies, killed connections, a slot moving on a 3-node
# cluster, a Sentinel failover, objects shared across fork, calls interrupted
# by signal handlers or cancelled, broadcasts while agents join, fencing
# tokens, the lease and agent views, release_all and waits woken from other
# processes, and the multi-process and kill-and-restart runs. Each test starts
# its own redis-servers on free 127.0.0.1 ports and stops them. Here a missing
# server or client fails instead of skipping. Exits non-zero when any test fails.
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1
ROOT=$PWD
BUILD=$ROOT/build
. scripts/lib.sh

bash scripts/setup.sh redis || exit 1

wheel=$(stage_wheel "$BUILD/redis-dist") || { echo "wheel build failed"; exit 1; }
# shellcheck disable=SC2086  # a list of versions
py=$(first_python ${HALVEX_REDIS_PYTHON:-$(pythons_from 3.8)}) || { echo "no CPython 3.8+ found"; exit 1; }

step "redis stage: tests on $("$py" -c 'import platform; print(platform.python_version())')"
venv=$BUILD/venvs/redis
make_test_venv "$py" "$venv" "$wheel" || exit 1
cd tests || exit 1
HALVEX_REDIS_REQUIRED=1 HALVEX_REDIS_HEAVY=1 timeout 900 "$venv/bin/python" -m pytest -q \
  -p no:cacheprovider --durations=5 -m "redis and not mcp" .
