"""Reference counts and memory stay flat over many mixed calls (leak_driver.py).

HALVEX_LEAK_CALLS sets the number of calls; scripts/hardening.sh also runs the
driver on its own with 10**6 calls, under a faked clock, and under valgrind.
"""

import os

from . import leak_driver


def test_mixed_calls_leave_no_references_or_memory_behind():
    calls = int(os.environ.get("HALVEX_LEAK_CALLS", "60000"))
    lines = []
    findings = leak_driver.drive(calls, out=lines.append)
    print("\n" + "\n".join(lines))
    assert not findings, "\n".join(lines + findings)
