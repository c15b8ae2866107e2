#!/usr/bin/env bash
# Hardening: proves the module keeps its word beyond the ordinary suite.
#   python X.Y on every CPython 3.8 ... 3.13: 10^6 calls checking reference
#              counts and memory; on the oldest and newest of them
#              (HALVEX_HARDENING_FULL_PYTHONS) also random call sequences against
#              the model under a faked clock, argument-binding fuzzing and an
#              8-thread storm at full size. The ordinary suite (scripts/suite.sh)
#              runs those same tests at small size on every interpreter: the
#              interpreters differ at the boundary, which small runs reach, while
#              long runs dig into the shared core;
#   asan       the extension built with AddressSanitizer + UBSan (and LeakSanitizer
#              at exit) running the whole Python suite;
#   tsan       the C++ core's tests, with the real-thread stress tests, under
#              ThreadSanitizer;
#   valgrind   the leak driver under memcheck: no bytes lost by our code.
# (The wheel's stable ABI and exports: scripts/check_wheels.sh.)
# Installs what it needs (Debian packages via apt-get, Python packages via pip
# into venvs under build/). Prints each stage's figures and time; exits non-zero
# if any stage fails. HALVEX_WHEEL reuses an already built wheel; HALVEX_PYTHONS
# picks interpreters; HALVEX_HARDENING_STAGES picks stages (default: all).
set -uo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
BUILD=$ROOT/build
HB=$BUILD/hardening
LOGS=$HB/logs
. scripts/lib.sh
VERSIONS=$(host_pythons)
FULL_VERSIONS=${HALVEX_HARDENING_FULL_PYTHONS:-$(edge_pythons)}
STAGES=${HALVEX_HARDENING_STAGES:-"python asan tsan valgrind"}

# Full sizes (the ordinary suite runs the same tests small).
export HALVEX_STATEFUL_EXAMPLES=${HALVEX_STATEFUL_EXAMPLES:-200}
export HALVEX_STATEFUL_STEPS=${HALVEX_STATEFUL_STEPS:-100}
export HALVEX_STATEFUL_MIN_STEPS=${HALVEX_STATEFUL_MIN_STEPS:-10000}
export HALVEX_FUZZ_EXAMPLES=${HALVEX_FUZZ_EXAMPLES:-3000}
export HALVEX_STORM_THREADS=${HALVEX_STORM_THREADS:-8}
export HALVEX_STORM_OPS=${HALVEX_STORM_OPS:-100000}
export HALVEX_REENTRANCY_OPS=${HALVEX_REENTRANCY_OPS:-30000}
LEAK_CALLS=${HALVEX_LEAK_CALLS_FULL:-1000000}
VALGRIND_CALLS=${HALVEX_VALGRIND_CALLS:-100000}
STRESS_SCALE=${HALVEX_STRESS_SCALE:-5}

mkdir -p "$LOGS"
started_all=$SECONDS

wants() { case " $STAGES " in *" $1 "*) return 0 ;; esac; return 1; }

# Environment for a child whose wall clock stands still at the second in $1.
faketime_env() {
  echo "LD_PRELOAD=$LIBFAKETIME FAKETIME_TIMESTAMP_FILE=$1 FAKETIME_NO_CACHE=1"
  echo "FAKETIME_DONT_FAKE_MONOTONIC=1 DONT_FAKE_MONOTONIC=1 TZ=UTC"
}

# --- setup -----------------------------------------------------------------

stage_setup() {
  bash scripts/setup.sh core hardening || return 1
  WHEEL=$(stage_wheel "$HB/dist") || { echo "wheel build failed"; return 1; }
  echo "wheel: $WHEEL"
  BPY=$(build_python) || { echo "no Python 3.8+ to build with"; return 1; }
  BVER=$(python_minor "$BPY")
  ensure_cmake "$HB/cmake" || { echo "no CMake 3.26+ / Ninja"; return 1; }
  echo "cmake: $(command -v cmake) ($(cmake --version | awk 'NR == 1 {print $3}'))"
  LIBFAKETIME=$("$BPY" tests/_faketime.py) || return 1
  echo "libfaketime: $LIBFAKETIME"
}

# --- every interpreter -------------------------------------------------------

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
  # 10^6 mixed calls on a faked clock, internal-fault path included.
  clock=$(mktemp)
  echo "2030-01-01 00:00:00" >"$clock"
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

stage_python() {
  local v rc=0
  for v in $VERSIONS; do
    local t0=$SECONDS
    python_one "$v" || rc=1
    echo "  [$v] $((SECONDS - t0))s"
  done
  return $rc
}

# --- AddressSanitizer + UBSan ------------------------------------------------

stage_asan() {
  local dir=$HB/asan venv=$HB/asan-venv logdir=$LOGS/asan libasan so rc=0
  cmake -S . -B "$dir" -G Ninja -DHALVEX_SANITIZE=address,undefined -DHALVEX_BUILD_MODULE=ON \
    -DHALVEX_BUILD_TESTS=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPython_EXECUTABLE="$BPY" \
    >"$LOGS/asan-build.log" 2>&1 \
    && cmake --build "$dir" -j2 >>"$LOGS/asan-build.log" 2>&1 \
    || { tail -30 "$LOGS/asan-build.log"; return 1; }
  # The installed wheel with its binary swapped for the sanitized build: child
  # interpreters that reset PYTHONPATH still import it.
  make_test_venv "$BPY" "$venv" "$WHEEL" >/dev/null 2>&1 || return 1
  so=$("$venv/bin/python" scripts/module_file.py) || return 1
  cp "$dir/halvex_core.abi3.so" "$so" || return 1
  libasan=$(g++ -print-file-name=libasan.so)
  rm -rf "$logdir" && mkdir -p "$logdir"
  # libfaketime deadlocks inside the ASan allocator (the allocator reads the
  # clock under its lock; libfaketime's first clock call allocates), so suites
  # that preload it run without ASan; the stateful test falls back to the real
  # clock on its own.
  local ignore=() f
  for f in tests/test_*.py; do
    grep -q '_faketime' "$f" && ignore+=("--ignore=$(basename "$f")")
  done
  echo "not under ASan (they preload libfaketime): ${ignore[*]:-none}"
  # Nor the cases of the pure-Python backends (-k below): they never reach the
  # extension, and their stages run them once.
  # PYTHONMALLOC=malloc: every object lives on the heap the leak checker scans,
  # so objects of the interpreter are not mistaken for leaks. exitcode=0: a
  # finding never turns into a child's exit status (a child test would then fail
  # with an empty stderr, its report being in the log folder); the logs decide
  # instead, through asan_report.py, and halt_on_error still stops at the first.
  local asan_opts="detect_leaks=1:halt_on_error=1:exitcode=0:detect_stack_use_after_return=1"
  asan_opts+=":check_initialization_order=1:log_path=$logdir/asan"
  (cd tests && export LD_PRELOAD="$libasan" PYTHONMALLOC=malloc ASAN_OPTIONS="$asan_opts" \
    UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$logdir/ubsan" \
    && "$venv/bin/python" "$ROOT/scripts/module_file.py" --require-symbol __asan_init \
    && "$venv/bin/python" -m pytest -q -p no:cacheprovider "${ignore[@]}" \
         -m "not redis and not mcp" .) \
    >"$LOGS/asan-tests.log" 2>&1 || rc=1
  tail -1 "$LOGS/asan-tests.log"
  "$venv/bin/python" scripts/asan_report.py "$logdir" || rc=1
  # The summary line proves the suite ran to its end: a sanitizer halt exits 0.
  grep -qE '^[0-9]+ passed' <(tail -1 "$LOGS/asan-tests.log") || rc=1
  [ $rc -eq 0 ] || tail -40 "$LOGS/asan-tests.log"
  return $rc
}

# --- ThreadSanitizer -----------------------------------------------------------

stage_tsan() {
  local dir=$HB/tsan logdir=$LOGS/tsan rc=0
  cmake -S . -B "$dir" -G Ninja -DHALVEX_SANITIZE=thread -DHALVEX_BUILD_TESTS=ON \
    -DHALVEX_BUILD_MODULE=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >"$LOGS/tsan-build.log" 2>&1 \
    && cmake --build "$dir" -j2 >>"$LOGS/tsan-build.log" 2>&1 \
    || { tail -30 "$LOGS/tsan-build.log"; return 1; }
  rm -rf "$logdir" && mkdir -p "$logdir"
  HALVEX_STRESS_SCALE=$STRESS_SCALE \
    TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:log_path=$logdir/tsan" \
    "$dir/tests/cpp/halvex_core_tests" >"$LOGS/tsan-tests.log" 2>&1 || rc=1
  grep -E '^\[ +(OK|FAILED) +\] Stress\.' "$LOGS/tsan-tests.log"
  grep -E '^\[(==========|  PASSED  |  FAILED  )\]' "$LOGS/tsan-tests.log" | tail -2
  local reports
  reports=$(cat "$logdir"/* 2>/dev/null | grep -c 'WARNING: ThreadSanitizer')
  echo "ThreadSanitizer reports: $reports (stress scale $STRESS_SCALE)"
  if [ "$reports" -ne 0 ]; then cat "$logdir"/* | head -80; rc=1; fi
  [ $rc -eq 0 ] || tail -40 "$LOGS/tsan-tests.log"
  return $rc
}

# --- valgrind memcheck ---------------------------------------------------------

stage_valgrind() {
  local venv=$BUILD/venvs/$BVER log=$LOGS/valgrind.log clock rc=0
  make_test_venv "$BPY" "$venv" "$WHEEL" >/dev/null 2>&1 || return 1
  clock=$(mktemp)
  echo "2030-01-01 00:00:00" >"$clock"
  env $(faketime_env "$clock") PYTHONMALLOC=malloc \
    valgrind --tool=memcheck --leak-check=full --show-leak-kinds=definite,indirect \
    --num-callers=60 --log-file="$log" \
    "$venv/bin/python" "$ROOT/tests/hardening/leak_driver.py" "$VALGRIND_CALLS" \
    | grep -v outcomes || rc=1
  rm -f "$clock"
  # Attribute every error and every lost block: ours when a frame of the
  # extension is on its stack, the interpreter's otherwise.
  "$venv/bin/python" scripts/valgrind_report.py "$log" || rc=1
  [ $rc -eq 0 ] || echo "log: $log"
  return $rc
}

step "setup"
stage "setup" stage_setup || { echo "setup failed"; exit 1; }
wants python && step "python" && stage "python" stage_python
wants asan && step "asan+ubsan" && stage "asan+ubsan" stage_asan
wants tsan && step "tsan" && stage "tsan" stage_tsan
wants valgrind && step "valgrind" && stage "valgrind" stage_valgrind

echo "total: $((SECONDS - started_all))s"
stage_summary "hardening"
