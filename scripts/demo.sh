#!/usr/bin/env bash
# Builds the module, installs it into build/demo-venv and runs the multi-agent demo.
# Arguments go to examples/demo.py, e.g.: bash scripts/demo.sh --agents 6 --tasks 20 --seed 3
# The wheel is rebuilt only when a source file changed since the last install.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
BUILD=$ROOT/build
VENV=$BUILD/demo-venv
STAMP=$VENV/.halvex-installed
. scripts/lib.sh

py=$(build_python) || { echo "demo: needs python3 3.8 or newer" >&2; exit 1; }
[ -x "$VENV/bin/python" ] || "$py" -m venv "$VENV"

changed=$(find src CMakeLists.txt pyproject.toml -newer "$STAMP" -print -quit 2>/dev/null || echo missing)
if [ ! -f "$STAMP" ] || [ -n "$changed" ] \
    || ! "$VENV/bin/python" -c 'import halvex_core' 2>/dev/null; then
  echo "building and installing halvex_core..." >&2
  wheel=$(build_wheel "$BUILD/demo-dist")
  "$VENV/bin/python" -m pip install -q --disable-pip-version-check --force-reinstall --no-deps "$wheel" >&2
  touch "$STAMP"
fi

exec "$VENV/bin/python" examples/demo.py "$@"
