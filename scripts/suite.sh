#!/usr/bin/env bash
# This interpreter, this wheel, the Python suite. Two ways to get there:
#
#   bash scripts/suite.sh WHEEL --venv DIR PYTHON
#       PYTHON runs here: a venv at DIR (made once, refreshed after) with the
#       test requirements and WHEEL.
#   bash scripts/suite.sh WHEEL --target DIR PIP_PYTHON PLATFORM [PACKAGE...] -- RUNNER...
#       RUNNER is a foreign interpreter (qemu-user, Wine): PIP_PYTHON, a native
#       interpreter of the same X.Y (pip evaluates markers for the interpreter
#       it runs on), puts the test requirements, PACKAGEs and WHEEL for pip's
#       PLATFORM tag into DIR, and PYTHONPATH points there. A RUNNER starting
#       with `wine` is given Windows paths.
#
# The redis and MCP cases are left out: each runs once, in its own stage.
# Exits with pytest's status.
set -uo pipefail
[ $# -ge 3 ] || { sed -n '2,15p' "$0"; exit 2; }
WHEEL=$(realpath "$1") MODE=$2 DIR=$(realpath -m "$3")
shift 3
cd "$(dirname "$0")/.." || exit 1
ROOT=$PWD
. scripts/lib.sh

case $MODE in
  --venv)
    make_test_venv "$1" "$DIR" "$WHEEL" || exit 1
    RUNNER=("$DIR/bin/python")
    ;;
  --target)
    py=$1 platform=$2
    shift 2
    packages=()
    while [ $# -gt 0 ] && [ "$1" != -- ]; do packages+=("$1"); shift; done
    [ "${1:-}" = -- ] && shift
    RUNNER=("$@")
    [ ${#RUNNER[@]} -gt 0 ] || { echo "no interpreter to run after --"; exit 2; }
    rm -rf "$DIR" && mkdir -p "$DIR"
    pip_q "$py" install --target "$DIR" --platform "$platform" \
      --implementation cp --python-version "$(python_minor "$py")" --only-binary=:all: \
      -r "$ROOT/tests/requirements.txt" "${packages[@]}" "$WHEEL" || exit 1
    if [ "${RUNNER[0]}" = wine ]; then
      PYTHONPATH=$(winepath -w "$DIR" 2>/dev/null)
      export PYTHONPATH
    else
      export PYTHONPATH=$DIR
    fi
    ;;
  *) echo "unknown mode: $MODE"; exit 2 ;;
esac

cd "$ROOT/tests" || exit 1
# Windows CPython under Wine fails to set up sys.stdout when the standard
# streams are regular files ("Invalid handle"); pipes work, and CI gives no
# stdin. Every interpreter gets the same streams.
"${RUNNER[@]}" -m pytest -q -p no:cacheprovider -m "not redis and not mcp" . </dev/null 2>&1 | cat
exit "${PIPESTATUS[0]}"
