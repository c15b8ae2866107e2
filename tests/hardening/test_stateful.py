"""Random sequences of all nine methods, module against model, with a faked clock.

The sequences run in a child interpreter (stateful_machine.py) with
libfaketime preloaded, because the module reads the wall clock itself. Sizes
come from HALVEX_STATEFUL_* (see stateful_machine.py); the defaults keep this
to a few seconds.

Beside the address sanitizer's runtime libfaketime cannot be used (the
allocator reads the clock while holding its own lock, and libfaketime's first
clock call allocates), and without libfaketime there is nothing to preload: the
child then runs on the real clock, without the clock rules.
"""

import os
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))

from _faketime import LIBFAKETIME


def under_asan():
    return "libasan" in os.environ.get("LD_PRELOAD", "")


def clock_faked():
    return LIBFAKETIME is not None and not under_asan()


def child_env(clock_file):
    env = dict(os.environ)
    env["PYTHONDONTWRITEBYTECODE"] = "1"
    if not clock_faked():
        env.pop("FAKETIME_TIMESTAMP_FILE", None)
        return env
    preload = [p for p in env.get("LD_PRELOAD", "").split(":") if p]
    env.update(
        LD_PRELOAD=":".join(preload + [LIBFAKETIME]),
        FAKETIME_TIMESTAMP_FILE=clock_file,
        FAKETIME_NO_CACHE="1",
        # Only the wall clock is faked: the interpreter's timers keep real time.
        FAKETIME_DONT_FAKE_MONOTONIC="1",
        DONT_FAKE_MONOTONIC="1",
        TZ="UTC",
    )
    return env


def test_random_sequences_match_the_model():
    fd, clock_file = tempfile.mkstemp(prefix="halvex-stateful-clock-")
    os.close(fd)
    try:
        proc = subprocess.run(
            [sys.executable, os.path.join(HERE, "stateful_machine.py")],
            env=child_env(clock_file), cwd=HERE, stdout=subprocess.PIPE,
            stderr=subprocess.STDOUT, universal_newlines=True,
            timeout=float(os.environ.get("HALVEX_STATEFUL_TIMEOUT", "1200")))
    finally:
        os.unlink(clock_file)
    print("\n" + proc.stdout)
    assert proc.returncode == 0, "stateful child failed (exit %d):\n%s" % (
        proc.returncode, proc.stdout)
    assert "rule calls in" in proc.stdout, proc.stdout
