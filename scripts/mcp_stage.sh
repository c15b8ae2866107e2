#!/usr/bin/env bash
# The halvex_mcp stage: installs redis-server (for the --redis backend's
# tests) and Debian's chromium with its driver (for the board's tests, which
# drive it with selenium from PyPI: no browser is downloaded), installs the
# wheel (HALVEX_WHEEL, or one built here) with its `mcp` extra (the MCP SDK,
# pinned there), selenium and the test requirements into a venv of the newest
# CPython 3.10+ found (HALVEX_MCP_PYTHON picks another), and runs the tests
# marked `mcp` once: real halvex-mcp processes driven by the SDK's client and
# a headless browser. Here a missing SDK, browser or redis-server fails
# instead of skipping. Exits non-zero when any test fails.
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1
ROOT=$PWD
BUILD=$ROOT/build
. scripts/lib.sh

bash scripts/setup.sh redis browser || exit 1

wheel=$(stage_wheel "$BUILD/mcp-dist") || { echo "wheel build failed"; exit 1; }
# shellcheck disable=SC2086  # a list of versions
py=$(first_python ${HALVEX_MCP_PYTHON:-$(pythons_from 3.10)}) || { echo "no CPython 3.10+ found (the MCP SDK needs one)"; exit 1; }

step "mcp stage: tests on $("$py" -c 'import platform; print(platform.python_version())')"
venv=$BUILD/venvs/mcp
make_test_venv "$py" "$venv" "$wheel" || exit 1
"$venv/bin/python" -m pip install -q --disable-pip-version-check "${wheel}[mcp]" selenium || exit 1
cd tests || exit 1
HALVEX_MCP_REQUIRED=1 HALVEX_REDIS_REQUIRED=1 timeout 600 "$venv/bin/python" -m pytest -q \
  -p no:cacheprovider --durations=5 -m mcp .
