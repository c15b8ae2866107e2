"""Calls whose Python result cannot be made (memory exhausted).

CPython's _testcapi.set_nomemory(k, k + 1) makes exactly the (k+1)-th
allocation after it fail. Sweeping k walks the failure through every
allocation of one call: the interpreter's own call machinery, the argument
copies, and the result objects. Runs in a child interpreter: the failures
print tracebacks and may leave the interpreter in odd states.
"""

import pytest

from _support import last_line_value, run_child

testcapi = pytest.importorskip("_testcapi")
if not hasattr(testcapi, "set_nomemory"):
    pytest.skip("_testcapi.set_nomemory is not available", allow_module_level=True)

_SWEEP = """
import _testcapi
from halvex_core import CoordinationState
from _support import holder_of

def unhook():
    while True:
        try:
            _testcapi.remove_mem_hooks()
            return
        except MemoryError:
            pass

def attempt(fn, k):
    _testcapi.set_nomemory(k, k + 1)
    try:
        value = fn()
        unhook()
        return ("ok", value)
    except BaseException as e:
        unhook()
        return (type(e).__name__, e.args)

def sweep(setup, act, check, limit=80):
    # Outcome kinds seen, and the k values whose aftermath was wrong.
    seen, bad = {}, []
    for k in range(limit):
        s, ctx = setup()
        outcome = attempt(lambda: act(s), k)
        kind = outcome[0] if outcome[0] != "PanicException" else ("PanicException",) + outcome[1]
        seen.setdefault(repr(kind), []).append(k)
        problem = check(s, ctx, outcome)
        if problem:
            bad.append((k, outcome, problem))
    return {"seen": sorted(seen), "bad": bad}
"""

_PANIC = repr(("PanicException", "Python API call failed"))


def test_failed_drain_puts_the_messages_back():
    out, stderr = run_child(_SWEEP + """
OWNER = "owner-agent"

def setup():
    s = CoordinationState()
    s.send_message("sender-one", OWNER, "first message")
    s.broadcast(OWNER, "second message")
    s.send_message("sender-three", OWNER, "third message")
    return s, s.inbox(OWNER)

def check(s, before, outcome):
    left = s.inbox(OWNER)
    if outcome[0] == "ok":
        if outcome[1] != before or left != []:
            return ("drain", outcome[1], left)
    elif left != before:
        return ("restore", left)
    elif s.drain_inbox(OWNER) != before or s.inbox(OWNER) != []:
        return ("drain after restore",)

print(repr(sweep(setup, lambda s: s.drain_inbox(OWNER), check)))
""")
    result = last_line_value(out)
    assert result["bad"] == []
    # Failures before the drain (MemoryError) and after it (the restore path).
    assert set(result["seen"]) == {repr("MemoryError"), repr("ok"), _PANIC}
    assert "Python API call failed" in stderr


# (setup, act, check) bodies per method: `applied` says whether the
# operation's effect is visible afterwards.
_CASES = {
    "claim_file": ("""
def setup():
    return CoordinationState(), None
act = lambda s: s.claim_file("agent-one", "some/path")
def applied(s, ctx):
    return holder_of(s, "file:some/path") == "agent-one" and s.status("agent-one") == "busy"
def untouched(s, ctx):
    return holder_of(s, "file:some/path") is None and s.status("agent-one") == "idle"
RESULT = "agent-one"
"""),
    "send_message": ("""
def setup():
    return CoordinationState(), None
act = lambda s: s.send_message("agent-one", "agent-two", "content text")
def applied(s, ctx):
    got = s.inbox("agent-two")
    return len(got) == 1 and got[0][:3] == ("agent-one", "agent-two", "content text")
def untouched(s, ctx):
    return s.inbox("agent-two") == []
RESULT = None
"""),
    "broadcast": ("""
def setup():
    s = CoordinationState()
    s.send_message("x-agent", "agent-two", "hello")
    return s, None
act = lambda s: s.broadcast("agent-one", "content text")
def applied(s, ctx):
    return [m[2] for m in s.inbox("agent-two")] == ["hello", "content text"] and \\
        [m[2] for m in s.inbox("agent-one")] == ["content text"]
def untouched(s, ctx):
    return [m[2] for m in s.inbox("agent-two")] == ["hello"] and s.inbox("agent-one") == []
RESULT = None
"""),
    "inbox": ("""
def setup():
    s = CoordinationState()
    s.send_message("agent-one", "agent-two", "first text")
    s.send_message("agent-three", "agent-two", "second text")
    return s, s.inbox("agent-two")
act = lambda s: s.inbox("agent-two")
applied = untouched = lambda s, ctx: s.inbox("agent-two") == ctx
RESULT = None
"""),
    "status": ("""
def setup():
    s = CoordinationState()
    s.claim_task("agent-one", "task-id")
    return s, None
act = lambda s: s.status("agent-one")
applied = untouched = lambda s, ctx: s.status("agent-one") == "busy"
RESULT = "busy"
"""),
    "renew_claim": ("""
def setup():
    s = CoordinationState()
    s.claim_task("agent-one", "task-id")
    return s, None
act = lambda s: s.renew_claim("agent-one", "task:task-id")
applied = untouched = lambda s, ctx: holder_of(s, "task:task-id") == "agent-one"
RESULT = "agent-one"
"""),
}


@pytest.mark.parametrize("method", sorted(_CASES))
def test_result_failure_raises_panic_after_the_operation(method):
    """A failure before the operation leaves no trace (MemoryError); one while
    making the result raises PanicException("Python API call failed") and the
    operation's effect stays."""
    out, stderr = run_child(_SWEEP + _CASES[method] + """
def check(s, ctx, outcome):
    if outcome[0] == "MemoryError":
        return None if untouched(s, ctx) else "changed"
    if outcome[0] == "ok" and RESULT is not None and outcome[1] != RESULT:
        return "result"
    return None if applied(s, ctx) else "not applied"

print(repr(sweep(setup, act, check)))
""")
    result = last_line_value(out)
    assert result["bad"] == []
    assert set(result["seen"]) == {repr("MemoryError"), repr("ok"), _PANIC}
    assert "Python API call failed" in stderr


def test_result_failure_leaves_excepthook_and_sys_last_alone():
    """The failure is reported on stderr and raised as PanicException, which
    the caller handles: an application's excepthook that exits must not run,
    and no sys.last_* keeps the failure's traceback alive."""
    out, stderr = run_child(_SWEEP + """
import os, sys
sys.excepthook = lambda *exc: os._exit(17)

def setup():
    s = CoordinationState()
    s.send_message("sender", "owner", "text")
    return s, None

results = [sweep(setup, act, lambda s, ctx, outcome: None) for act in (
    lambda s: s.drain_inbox("owner"),
    lambda s: s.send_message("a", "b", "c"),
    lambda s: s.status("a"),
)]
print(repr(([r["seen"] for r in results],
            [n for n in ("last_type", "last_value", "last_traceback", "last_exc")
             if hasattr(sys, n)])))
""")
    seen, last = last_line_value(out)
    assert all(_PANIC in kinds for kinds in seen)
    assert last == []
    assert "MemoryError" in stderr and "Python API call failed" in stderr


def test_memory_failure_while_binding_keywords_is_not_a_type_error():
    """Running out of memory while a keyword's name is encoded is a
    MemoryError, not a complaint about a correct keyword."""
    out, _ = run_child(_SWEEP + """
def setup():
    return CoordinationState(), None

print(repr(sweep(setup, lambda s: s.claim_file(agent_id="agent-a", path="p"),
                 lambda s, ctx, outcome: None)["seen"]))
""")
    seen = set(last_line_value(out))
    assert repr("MemoryError") in seen
    assert seen <= {repr("MemoryError"), repr("ok"), _PANIC}
