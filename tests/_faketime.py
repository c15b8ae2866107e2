"""Scenarios run in a child interpreter whose wall clock we set.

The module reads the real wall clock and has no test hook, so lease expiry
and the pre-1970 fault are reached by moving the clock of a child process:
libfaketime is preloaded and, with FAKETIME_NO_CACHE=1, re-reads the faked
time from FAKETIME_TIMESTAMP_FILE on every clock call; the child rewrites
that file through set_clock().

The file holds the frozen absolute form "YYYY-MM-DD HH:MM:SS" without a
leading "@": the clock stands still at exactly that second, so boundaries
such as 299 s against 300 s are exact. The "@YYYY-MM-DD HH:MM:SS" form starts
a running clock and, right after a rewrite, was seen to read a few
microseconds *before* the written second, which makes exact boundaries flaky.
Pre-1970 times work in the frozen form ("1969-12-31 23:59:59" reads as
-1.0 from clock_gettime(CLOCK_REALTIME)); test_clock checks this first.
TZ=UTC makes the text mean UTC; DONT_FAKE_MONOTONIC keeps the interpreter's
own timers on real time.

A scenario body calls set_clock(epoch_seconds), records results with
note(label, value), and call(fn, *args) turns an outcome into a comparable
value: ("ok", result) or (exception type name, exception args). The notes
come back to the test as a dict.
"""

import glob
import os
import sys
import sysconfig
import tempfile
import textwrap
import time

from _support import last_line_value, run_child


def find_libfaketime():
    """The path of libfaketime's shared library, or None: HALVEX_LIBFAKETIME
    if set, else the first found in the usual library folders (Debian keeps
    it in a per-architecture subfolder)."""
    given = os.environ.get("HALVEX_LIBFAKETIME")
    if given:
        return given if os.path.exists(given) else None
    if os.name != "posix":
        return None  # e.g. Windows CPython under Wine, which sees the host's files
    # This interpreter's architecture folder first: others may hold a
    # foreign-architecture copy that cannot be preloaded here.
    arch = sysconfig.get_config_var("MULTIARCH") or "*"
    for lib in ("/usr/local/lib", "/usr/lib64", "/usr/lib", "/opt/homebrew/lib"):
        for pattern in (arch + "/faketime/libfaketime.so.1", "faketime/libfaketime.so.1",
                        "libfaketime.so.1"):
            found = sorted(glob.glob(os.path.join(lib, pattern)))
            if found:
                return found[0]
    return None


LIBFAKETIME = find_libfaketime()

# 2001-01-01 00:00:00 UTC: the base of most scenarios.
T0 = 978307200

_PRELUDE = """
import os, time
import halvex_core
from halvex_core import CoordinationState
from _support import holder_of, broadcast_reach

T0 = %(t0)d
_CLOCK_FILE = os.environ["FAKETIME_TIMESTAMP_FILE"]

def set_clock(epoch):
    with open(_CLOCK_FILE, "w") as f:
        f.write(time.strftime("%%Y-%%m-%%d %%H:%%M:%%S", time.gmtime(epoch)) + "\\n")
    assert time.time() == float(epoch), (time.time(), epoch)
"""

# note() and call(), for the child and for in-process runs alike.
_RECORDING = """
_notes = {}

def note(label, value):
    assert label not in _notes, label
    _notes[label] = value

def call(fn, *args, **kwargs):
    try:
        return ("ok", fn(*args, **kwargs))
    except (KeyboardInterrupt, SystemExit):
        raise
    except BaseException as e:
        return (type(e).__name__, e.args)
"""


def clock_text(epoch):
    return time.strftime("%Y-%m-%d %H:%M:%S", time.gmtime(epoch))


def available():
    return LIBFAKETIME is not None


def run_scenario(body, start=T0):
    """Runs `body` with the clock frozen at `start`; returns (notes, stderr)."""
    fd, clock_file = tempfile.mkstemp(prefix="halvex-clock-")
    try:
        with os.fdopen(fd, "w") as f:
            f.write(clock_text(start) + "\n")
        code = (_PRELUDE % {"t0": T0}) + _RECORDING + textwrap.dedent(body) + "\nprint(repr(_notes))\n"
        out, err = run_child(code, env={
            "LD_PRELOAD": LIBFAKETIME,
            "FAKETIME_TIMESTAMP_FILE": clock_file,
            "FAKETIME_NO_CACHE": "1",
            "DONT_FAKE_MONOTONIC": "1",
            "TZ": "UTC",
        })
        return last_line_value(out), err
    finally:
        os.unlink(clock_file)


class _ClockFault(object):
    """Compares equal to the outcome of a call stopped by a pre-1970 clock.

    The text after the fixed prefix describes the clock error and is free.
    """

    PREFIX = "system clock before unix epoch: "

    def __eq__(self, other):
        return (isinstance(other, tuple) and len(other) == 2
                and other[0] == "PanicException"
                and isinstance(other[1], tuple) and len(other[1]) == 1
                and isinstance(other[1][0], str)
                and other[1][0].startswith(self.PREFIX))

    def __ne__(self, other):
        return not self == other

    def __repr__(self):
        return "('PanicException', (%r...,))" % self.PREFIX


CLOCK_FAULT = _ClockFault()


def run_redis_scenario(server, body, start=T0):
    """Runs `body` in this process against halvex_redis on `server`, a
    redis-server whose frozen clock set_clock() moves; returns (notes, "")."""
    import halvex_redis
    from _support import broadcast_reach, holder_of

    server.set_clock(start)
    scope = {"CoordinationState": lambda: halvex_redis.CoordinationState(server.url),
             "set_clock": server.set_clock, "T0": T0,
             "holder_of": holder_of, "broadcast_reach": broadcast_reach}
    exec(_RECORDING, scope)
    exec(textwrap.dedent(body), scope)
    return scope["_notes"], ""


if __name__ == "__main__":
    # For scripts: prints the library's path, or fails when there is none.
    if LIBFAKETIME is None:
        sys.exit("libfaketime not found (set HALVEX_LIBFAKETIME to its path)")
    print(LIBFAKETIME)
