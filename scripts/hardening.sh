#!/usr/bin/env bash
# Hardening: proves the module keeps its word beyond the ordinary suite. Each
# stage is a script of its own in scripts/hardening/, runnable alone:
#   python.sh    every CPython 3.8 ... 3.13: 10^6 calls checking reference
#                counts and memory; full-size model, fuzz and storm runs on the
#                oldest and newest;
#   asan.sh      AddressSanitizer + UBSan (LeakSanitizer at exit) under the whole
#                Python suite and a program whose state is alive at exit;
#   tsan.sh      the C++ core's tests, stress tests included, under
#                ThreadSanitizer;
#   valgrind.sh  memcheck over the leak driver and the alive-at-exit program.
# (The wheel's stable ABI and exports: scripts/check_wheels.sh.)
# Installs what it needs (Debian packages via apt-get, Python packages via pip
# into venvs under build/). Prints each stage's figures and time; exits non-zero
# if any stage fails. HALVEX_WHEEL reuses an already built wheel (else one is
# built once for every stage); HALVEX_HARDENING_STAGES picks stages (default:
# all); each stage script names its own settings.
set -uo pipefail
# shellcheck source=scripts/hardening/env.sh
. "$(dirname "$0")/hardening/env.sh"
STAGES=${HALVEX_HARDENING_STAGES:-"python asan tsan valgrind"}
started_all=$SECONDS

step "setup"
stage "setup" hardening_setup || { echo "setup failed"; exit 1; }
for s in $STAGES; do
  [ -f "scripts/hardening/$s.sh" ] || { echo "no stage $s"; exit 2; }
  step "$s"
  stage "$s" bash "scripts/hardening/$s.sh"
done

echo "total: $((SECONDS - started_all))s"
stage_summary "hardening"
