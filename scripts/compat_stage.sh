#!/usr/bin/env bash
# The client-compatibility stage: halvex-mcp against the MCP clients and agent
# frameworks people use, each installed in a venv of its own from a pinned
# requirements file (tests/compat/compat-*.txt) and cached in the user's cache
# folder by that file's hash (scripts/lib.sh tools_venv): the MCP SDK's client
# in its default and legacy modes, fastmcp, openai-agents, pydantic-ai,
# langchain-mcp-adapters (on mcp 1.x) and llama-index-tools-mcp. Each runs
# tests/compat/check.py against real halvex-mcp processes of the wheel
# (HALVEX_WHEEL, or one built here) over stdio, stdio with a new process for
# every call, and HTTP with a token, calling the tools directly through the
# framework's own tool objects (no model). HALVEX_COMPAT_JOBS checks run at
# once (default 3). Exits non-zero when any check fails.
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1
ROOT=$PWD
BUILD=$ROOT/build
. scripts/lib.sh

wheel=$(stage_wheel "$BUILD/mcp-dist") || { echo "wheel build failed"; exit 1; }
# shellcheck disable=SC2086  # a list of versions
py=$(first_python ${HALVEX_MCP_PYTHON:-$(pythons_from 3.10)}) || { echo "no CPython 3.10+ found (the MCP SDK needs one)"; exit 1; }
logs=$BUILD/compat
mkdir -p "$logs"

step "compat stage: the server's venv"
server=$BUILD/venvs/compat-server
[ -x "$server/bin/python" ] || "$py" -m venv "$server" || exit 1
pip_q "$server/bin/python" install "${wheel}[mcp]" || exit 1
pip_q "$server/bin/python" install --force-reinstall --no-deps "$wheel" || exit 1
"$server/bin/python" tests/compat/check.py expect "$logs/expect.json" || exit 1

# name:requirements:mode for each check; the SDK's venv serves both modes.
CHECKS="sdk:sdk:auto sdk:sdk:legacy fastmcp:fastmcp:auto openai-agents:openai-agents:auto
pydantic-ai:pydantic-ai:auto langchain:langchain:auto llama-index:llama-index:auto"

step "compat stage: the frameworks' venvs (cached)"
declare -A VENV
failed=0
for req in sdk fastmcp openai-agents pydantic-ai langchain llama-index; do
  if dir=$(tools_venv "tests/compat/compat-$req.txt" "$py"); then
    VENV[$req]=$dir
  else
    echo "FAIL installing tests/compat/compat-$req.txt"
    failed=$((failed + 1))
  fi
done

step "compat stage: checks"
jobs=${HALVEX_COMPAT_JOBS:-3}
running=0
for c in $CHECKS; do
  IFS=: read -r name req mode <<<"$c"
  [ -n "${VENV[$req]:-}" ] || continue
  if [ "$running" -ge "$jobs" ]; then wait -n; running=$((running - 1)); fi
  (
    t0=$SECONDS
    timeout 600 "${VENV[$req]}/bin/python" tests/compat/check.py "$name" "$logs/expect.json" \
      "$server/bin/halvex-mcp" --mode "$mode" >"$logs/$name-$mode.log" 2>&1
    echo "$? $((SECONDS - t0))" >"$logs/$name-$mode.rc"
  ) &
  running=$((running + 1))
done
wait

for c in $CHECKS; do
  IFS=: read -r name req mode <<<"$c"
  [ -n "${VENV[$req]:-}" ] || continue
  read -r rc secs <"$logs/$name-$mode.rc"
  printf -- '--- %s (%s): exit %s, %ss\n' "$name" "$mode" "$rc" "$secs"
  # What a model or a user would see (refusal, missing token, long wait), and a
  # failed run's whole log.
  if [ "$rc" -eq 0 ]; then
    grep -E 'refusal text|without the token|wait_inbox for|retried' "$logs/$name-$mode.log"
  else
    cat "$logs/$name-$mode.log"
  fi
  [ "$rc" -eq 0 ] || failed=$((failed + 1))
done
echo "compat: $failed failed"
[ "$failed" -eq 0 ]
