#!/usr/bin/env bash
# Builds the module, installs it into build/demo-venv and runs the multi-agent demo.
# Arguments go to examples/demo.py, e.g.: bash scripts/demo.sh --agents 6 --tasks 20 --seed 3
# With --backend sqlite every agent is an OS process sharing one halvex_sqlite
# state file (a fresh one in a temporary folder unless --state PATH names one).
# With --backend redis every agent is an OS process sharing a halvex_redis state:
# this script installs redis-server and the redis client if missing, starts a
# throwaway server listening on a unix socket in a temporary folder (no TCP
# port), and stops it when the demo ends.
# With --backend mcp every agent is an OS process speaking MCP (through the SDK's
# client) to one `halvex-mcp --http` server on a free 127.0.0.1 port, which this
# script starts (installing the mcp extra if missing) and stops at the end; it
# prints the address of the server's live board, which stays up 5 s after the
# agents finish (--linger SECONDS for longer).
# With --graph the plan is a task graph (add_task with dependencies) and each
# agent loops on claim_next -> work -> complete_task; its backend is sqlite
# unless --backend redis or mcp says otherwise.
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

changed=$(find src python CMakeLists.txt pyproject.toml -newer "$STAMP" -print -quit 2>/dev/null || echo missing)
if [ ! -f "$STAMP" ] || [ -n "$changed" ] \
    || ! "$VENV/bin/python" -c 'import halvex_core' 2>/dev/null; then
  echo "building and installing halvex_core..." >&2
  wheel=$(build_wheel "$BUILD/demo-dist")
  "$VENV/bin/python" -m pip install -q --disable-pip-version-check --force-reinstall --no-deps "$wheel" >&2
  touch "$STAMP"
fi

backend=inprocess
prev=""
for arg in "$@"; do
  case $arg in --backend=*) backend=${arg#--backend=} ;; esac
  [ "$prev" = --backend ] && backend=$arg
  prev=$arg
done
case $backend in redis|mcp) ;; *) exec "$VENV/bin/python" examples/demo.py "$@" ;; esac

if [ "$backend" = mcp ]; then
  if ! "$VENV/bin/python" -c 'import mcp' 2>/dev/null; then
    # The extra of the wheel just built names the SDK and its version range.
    wheel=$(find "$BUILD/demo-dist" -name "halvex_core-*.whl" 2>/dev/null | head -1)
    [ -n "$wheel" ] || wheel=$(build_wheel "$BUILD/demo-dist")
    "$VENV/bin/python" -m pip install -q --disable-pip-version-check "${wheel}[mcp]" >&2 \
      || { echo "demo: cannot install the mcp extra (it needs Python 3.10+)" >&2; exit 1; }
  fi
  RUN=$(mktemp -d "${TMPDIR:-/tmp}/halvex-demo-mcp.XXXXXX")
  "$VENV/bin/halvex-mcp" --http 127.0.0.1:0 --task-tools 2>"$RUN/server.log" &
  SERVER=$!
  trap 'kill "$SERVER" 2>/dev/null; wait "$SERVER" 2>/dev/null; rm -rf "$RUN"' EXIT
  url=""
  for _ in $(seq 200); do
    url=$(sed -n 's/.*serving MCP on \(http:[^ ]*\).*/\1/p' "$RUN/server.log")
    [ -n "$url" ] && break
    kill -0 "$SERVER" 2>/dev/null || break
    sleep 0.05
  done
  [ -n "$url" ] || { echo "demo: halvex-mcp did not start" >&2; cat "$RUN/server.log" >&2; exit 1; }
  echo "halvex-mcp serving at $url" >&2
  echo "watch the team on the board: ${url%/mcp}/board" >&2
  "$VENV/bin/python" examples/demo.py "$@" --mcp-url "$url"
  exit
fi

ensure_debs redis-server || { echo "demo: cannot install redis-server" >&2; exit 1; }
"$VENV/bin/python" -c 'import redis' 2>/dev/null \
  || "$VENV/bin/python" -m pip install -q --disable-pip-version-check redis >&2
RUN=$(mktemp -d "${TMPDIR:-/tmp}/halvex-demo-redis.XXXXXX")
redis-server --port 0 --unixsocket "$RUN/redis.sock" --dir "$RUN" --save '' --appendonly no \
  --logfile "$RUN/server.log" &
SERVER=$!
trap 'kill "$SERVER" 2>/dev/null; wait "$SERVER" 2>/dev/null; rm -rf "$RUN"' EXIT
for _ in $(seq 100); do [ -S "$RUN/redis.sock" ] && break; sleep 0.05; done
[ -S "$RUN/redis.sock" ] || { echo "demo: redis-server did not start" >&2; cat "$RUN/server.log" >&2; exit 1; }
"$VENV/bin/python" examples/demo.py "$@" --redis-url "unix://$RUN/redis.sock"
