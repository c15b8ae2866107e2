#!/usr/bin/env bash
# Hardening, ThreadSanitizer: the C++ core's tests, with the real-thread
# stress tests at HALVEX_STRESS_SCALE (default 5), built with TSan. Any
# report fails. No suppressions are needed: the module has no thread_local
# with a destructor (one in a loaded library races with the loader's freeing
# of thread storage, a known false report).
set -uo pipefail
# shellcheck source=scripts/hardening/env.sh
. "$(dirname "$0")/env.sh"
hardening_setup || exit 1
STRESS_SCALE=${HALVEX_STRESS_SCALE:-5}

dir=$HB/tsan logdir=$LOGS/tsan rc=0
cmake -S . -B "$dir" -G Ninja -DHALVEX_SANITIZE=thread -DHALVEX_BUILD_TESTS=ON \
  -DHALVEX_BUILD_MODULE=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >"$LOGS/tsan-build.log" 2>&1 \
  && cmake --build "$dir" -j2 >>"$LOGS/tsan-build.log" 2>&1 \
  || { tail -30 "$LOGS/tsan-build.log"; exit 1; }
rm -rf "$logdir" && mkdir -p "$logdir"
HALVEX_STRESS_SCALE=$STRESS_SCALE \
  TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:log_path=$logdir/tsan" \
  "$dir/tests/cpp/halvex_core_tests" >"$LOGS/tsan-tests.log" 2>&1 || rc=1
grep -E '^\[ +(OK|FAILED) +\] Stress\.' "$LOGS/tsan-tests.log"
grep -E '^\[(==========|  PASSED  |  FAILED  )\]' "$LOGS/tsan-tests.log" | tail -2
reports=$(cat "$logdir"/* 2>/dev/null | grep -c 'WARNING: ThreadSanitizer')
echo "ThreadSanitizer reports: $reports (stress scale $STRESS_SCALE)"
if [ "$reports" -ne 0 ]; then cat "$logdir"/* | head -80; rc=1; fi
[ $rc -eq 0 ] || tail -40 "$LOGS/tsan-tests.log"
exit $rc
