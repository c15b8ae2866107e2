#!/usr/bin/env bash
# Hardening, every interpreter: on each CPython of HALVEX_PYTHONS (default
# 3.8 ... 3.13) 10^6 mixed calls (HALVEX_LEAK_CALLS_FULL) checking reference
# counts and memory, on a faked clock so the internal-fault path is taken too;
# on the oldest and newest (HALVEX_HARDENING_FULL_PYTHONS) also random call
# sequences against the model, argument-binding fuzzing and an 8-thread storm
# at full size. The ordinary suite runs those same tests small on every
# interpreter: the interpreters differ at the boundary, which small runs
# reach, while long runs dig into the shared core.
set -uo pipefail
# shellcheck source=scripts/hardening/env.sh
. "$(dirname "$0")/env.sh"
VERSIONS=$(host_pythons)
FULL_VERSIONS=${HALVEX_HARDENING_FULL_PYTHONS:-$(edge_pythons)}
LEAK_CALLS=${HALVEX_LEAK_CALLS_FULL:-1000000}

python_one() {
  local v=$1 py venv log clock rc=0
  py=$(find_python "$v") || { echo "no CPython $v found"; return 1; }
  venv=$BUILD/venvs/$v
  log=$LOGS/python-$v.log
  make_test_venv "$py" "$venv" "$WHEEL" >"$log" 2>&1 || { tail -20 "$log"; return 1; }
  case " $FULL_VERSIONS " in
    *" $v "*)
      (cd "$ROOT/tests" && "$venv/bin/python" -m pytest -q -s -p no:cacheprovider hardening) \
        >>"$log" 2>&1 || rc=1 ;;
    *) echo "  [$v] model, fuzz and storm runs: small size only, in the ordinary suite" ;;
  esac
  clock=$(mktemp)
  echo "2030-01-01 00:00:00" >"$clock"
  # shellcheck disable=SC2046 # the settings are words, split on purpose
  env $(faketime_env "$clock") "$venv/bin/python" "$ROOT/tests/hardening/leak_driver.py" \
    "$LEAK_CALLS" >>"$log" 2>&1 || rc=1
  rm -f "$clock"
  grep -E '^(stateful|storm|fuzz|reentrancy|leak driver): ' "$log" | grep -v 'outcomes' \
    | sed "s/^/  [$v] /"
  grep -E '(passed|failed|error)' "$log" | grep -E '^[0-9]+ (passed|failed)|^=+ .*(passed|failed)' \
    | tail -1 | sed "s/^/  [$v] /"
  if [ $rc -ne 0 ]; then echo "  [$v] FAILED, log: $log"; tail -60 "$log"; fi
  return $rc
}

hardening_setup || exit 1
rc=0
for v in $VERSIONS; do
  t0=$SECONDS
  python_one "$v" || rc=1
  echo "  [$v] $((SECONDS - t0))s"
done
exit $rc
