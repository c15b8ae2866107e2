#!/usr/bin/env bash
# Hardening, valgrind memcheck: the leak driver (HALVEX_VALGRIND_CALLS calls,
# default 10^5, on a faked clock), then a program whose state is still alive
# when it exits (tests/hardening/alive_at_exit.py). scripts/valgrind_report.py
# reads each log: any error or lost block with a halvex frame fails.
set -uo pipefail
# shellcheck source=scripts/hardening/env.sh
. "$(dirname "$0")/env.sh"
hardening_setup || exit 1
VALGRIND_CALLS=${HALVEX_VALGRIND_CALLS:-100000}

venv=$BUILD/venvs/$(python_minor "$BPY") rc=0
make_test_venv "$BPY" "$venv" "$WHEEL" >/dev/null 2>&1 || exit 1
# shellcheck disable=SC2054 # one option whose value holds a comma
memcheck=(valgrind --tool=memcheck --leak-check=full --show-leak-kinds=definite,indirect
  --num-callers=60)
clock=$(mktemp)
echo "2030-01-01 00:00:00" >"$clock"
# shellcheck disable=SC2046 # the settings are words, split on purpose
env $(faketime_env "$clock") PYTHONMALLOC=malloc "${memcheck[@]}" --log-file="$LOGS/valgrind.log" \
  "$venv/bin/python" "$ROOT/tests/hardening/leak_driver.py" "$VALGRIND_CALLS" \
  | grep -v outcomes || rc=1
rm -f "$clock"
PYTHONMALLOC=malloc "${memcheck[@]}" --log-file="$LOGS/valgrind-alive.log" \
  "$venv/bin/python" "$ROOT/tests/hardening/alive_at_exit.py" || rc=1
# Attribute every error and every lost block: ours when a frame of the
# extension is on its stack, the interpreter's otherwise.
echo "the leak driver:"
"$venv/bin/python" scripts/valgrind_report.py "$LOGS/valgrind.log" || rc=1
echo "state alive at exit:"
"$venv/bin/python" scripts/valgrind_report.py "$LOGS/valgrind-alive.log" || rc=1
[ $rc -eq 0 ] || echo "logs: $LOGS/valgrind.log $LOGS/valgrind-alive.log"
exit $rc
