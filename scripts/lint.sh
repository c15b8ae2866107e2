#!/usr/bin/env bash
# Static checks, one stage each, with pinned tools (scripts/lint-tools.txt, a
# venv in the user's cache folder; shellcheck from Debian):
#   - ruff          ruff check python/ (pyproject.toml's [tool.ruff])
#   - mypy          mypy --strict over python/ ([tool.mypy]); the extension's
#                   types come from its stub, src/halvex_core.pyi
#   - shellcheck    every script in scripts/ and .ci/run (scripts/.shellcheckrc)
#   - clang-format  src/ and tests/cpp against .clang-format; nothing rewritten
#   - variables     every HALVEX_* environment variable that scripts/, tests/,
#                   python/, bench/ or examples/ name is listed in docs/development.md
#   - time-bounds   no test under tests/ bounds a duration by less than 5 s
#                   (scripts/time_bounds.py): speed targets belong in bench/
# Usage: bash scripts/lint.sh [--fix] [STAGE...]   (default: every stage)
#   STAGE  ruff mypy shellcheck clang-format variables time-bounds
#   --fix  lets ruff fix what it can and clang-format rewrite the C++ files
#          first; the checks then report what is left.
# Exits non-zero when any stage finds something.
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1
ROOT=$PWD
BUILD=$ROOT/build
. scripts/lib.sh

FIX=0
[ "${1:-}" = --fix ] && { FIX=1; shift; }
STAGES=("$@")
[ ${#STAGES[@]} -gt 0 ] || STAGES=(ruff mypy shellcheck clang-format variables time-bounds)
export RUFF_CACHE_DIR=$BUILD/lint/ruff-cache MYPY_CACHE_DIR=$BUILD/lint/mypy-cache

step "lint tools"
ensure_debs shellcheck || exit 1
# The MCP SDK, which mypy needs to see, wants Python 3.10+.
# shellcheck disable=SC2046  # a list of versions
py=$(first_python $(pythons_from 3.10)) || { echo "no CPython 3.10+ found"; exit 1; }
TOOLS=$(tools_venv "$ROOT/scripts/lint-tools.txt" "$py") || { echo "cannot install the lint tools"; exit 1; }
echo "tools: $TOOLS; $(shellcheck --version | sed -n 2p)"

cpp_files() { find src tests/cpp -name '*.[ch]pp' -o -name '*.[ch]' | sort; }

lint_ruff() {
  [ "$FIX" -eq 0 ] || "$TOOLS/bin/ruff" check --fix --quiet python/
  "$TOOLS/bin/ruff" check --output-format=concise python/
}

lint_mypy() {
  MYPYPATH=$ROOT/src "$TOOLS/bin/mypy" --strict python/
}

lint_shellcheck() {
  shellcheck -x scripts/*.sh .ci/run && echo "shellcheck: no findings"
}

# Each line clang-format would change is one finding, named by file and line.
lint_clang_format() {
  local files report n
  mapfile -t files < <(cpp_files)
  [ "$FIX" -eq 0 ] || "$TOOLS/bin/clang-format" -i "${files[@]}"
  report=$("$TOOLS/bin/clang-format" --dry-run "${files[@]}" 2>&1 | grep -- '-Wclang-format-violations')
  n=$(grep -c . <<<"$report")
  echo "clang-format: $n lines to reformat in $(cut -d: -f1 <<<"$report" | sort -u | grep -c .) of ${#files[@]} files"
  [ "$n" -eq 0 ] || { cut -d: -f1-2 <<<"$report" | head -40; return 1; }
}

# Every name of the form HALVEX_* that a script, test or package reads or sets.
lint_variables() {
  local names missing=()
  local dirs=(scripts tests python bench examples .ci .github) files
  # Tracked files; an unpacked sdist has no git, and no caches either.
  files=$(git ls-files "${dirs[@]}" 2>/dev/null) || files=$(find "${dirs[@]}" -type f 2>/dev/null)
  names=$(grep -v 'CMakeLists\.txt$' <<<"$files" | xargs grep -ohP '\bHALVEX_[A-Z0-9_]*[A-Z0-9](?![A-Z0-9_*])' \
    | sort -u)
  for n in $names; do
    grep -q "\`$n\`" docs/development.md || missing+=("$n")
  done
  echo "HALVEX_* variables: $(wc -w <<<"$names") named, ${#missing[@]} not in docs/development.md ${missing[*]}"
  [ ${#missing[@]} -eq 0 ]
}

# A shared 2-core machine stalls a process for seconds at times: a test that
# asserts a shorter duration fails there for no fault of the code.
lint_time_bounds() {
  "$py" scripts/time_bounds.py --limit 5 tests
}

for s in "${STAGES[@]}"; do
  case $s in
    ruff | mypy | shellcheck | clang-format | variables | time-bounds) stage "$s" "lint_${s//-/_}" ;;
    *) echo "unknown stage: $s (stages: ruff mypy shellcheck clang-format variables time-bounds)"; exit 2 ;;
  esac
done
stage_summary "lint"
