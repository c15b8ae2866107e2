"""Faults of the native module that once hid behind memory exhaustion and
an old interpreter's type flags.

The drain under a signal and the release under a clock fault are covered
where their kind is: test_messaging.py and test_clock.py.
"""

import sys

import pytest

from _support import last_line_value, run_child


def test_class_has_the_method_cache_flag():
    """3.8 and 3.9 give a type an attribute-cache tag only with
    Py_TPFLAGS_HAVE_VERSION_TAG, which the 3.10+ headers leave out of the
    default flags."""
    from halvex_core import CoordinationState
    CoordinationState().status("agent")
    assert CoordinationState.__flags__ & (1 << 18)
    if sys.version_info < (3, 10):  # and a lookup got the type its tag
        assert CoordinationState.__flags__ & (1 << 19)


def test_call_that_took_effect_never_raises_memory_error():
    """Several allocations in a row fail from the one that makes the result:
    raising PanicException must need none of them, else the caller reads
    MemoryError ("nothing changed") and a retry duplicates the message or
    meets its own claim. Windows end before the call returns: past it, the
    interpreter's own tracebacks turn anything into MemoryError."""
    if not hasattr(pytest.importorskip("_testcapi"), "set_nomemory"):
        pytest.skip("_testcapi.set_nomemory is not available")
    out, stderr = run_child("""
import _testcapi
from halvex_core import CoordinationState
from _support import holder_of

def unhook():
    while True:
        try:
            return _testcapi.remove_mem_hooks()
        except MemoryError:
            pass

def attempt(act, k, width):
    s = CoordinationState()
    _testcapi.set_nomemory(k, k + width)
    try:
        act(s)
        unhook()
        return "ok", s
    except BaseException as e:
        unhook()
        return type(e).__name__, s

CASES = {
    "send_message": (lambda s: s.send_message("a", "b", "text"), lambda s: len(s.inbox("b")) == 1),
    "broadcast": (lambda s: s.broadcast("a", "text"), lambda s: len(s.inbox("a")) == 1),
    "claim_file": (lambda s: s.claim_file("agent-a", "p"), lambda s: holder_of(s, "file:p") == "agent-a"),
}
bad, panics = [], 0
for name, (act, applied) in CASES.items():
    # From the first allocation whose failure comes after the operation.
    first = next(k for k in range(80) if attempt(act, k, 1)[0] == "PanicException")
    for k in range(first, first + 8):
        for width in range(1, 5):
            kind, s = attempt(act, k, width)
            panics += kind == "PanicException"
            if kind == "MemoryError" and applied(s):
                bad.append((name, k, width))
print(repr((bad, panics)))
""")
    bad, panics = last_line_value(out)
    assert bad == [] and panics > 0
    assert "Python API call failed" in stderr
