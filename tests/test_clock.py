"""Lease expiry, message times and the pre-1970 clock fault, on a faked clock.

Each test runs a scenario in a child interpreter (see _faketime); the child
records outcomes and the assertions are made here.
"""

import pytest

import _faketime
import _redis
from _faketime import CLOCK_FAULT, T0, run_scenario

pytestmark = pytest.mark.skipif(not _faketime.available(),
                                reason="libfaketime is not installed")


@pytest.fixture(scope="module")
def faked_redis(request):
    """A redis-server of its own whose wall clock the scenarios set."""
    server = request.getfixturevalue("redis_server")  # skips (or fails) as it does
    server = _redis.RedisServer(frozen_clock=T0)
    yield server
    server.close()


@pytest.fixture(params=["native", "redis"])
def clock_scenario(request):
    """Runs a scenario in-process on the native module, or against
    halvex_redis on a redis-server whose own clock is moved."""
    if request.param == "native":
        return run_scenario
    server = request.getfixturevalue("faked_redis")
    return lambda body, start=T0: _faketime.run_redis_scenario(server, body, start)


def ok(value):
    return ("ok", value)


def err(message):
    return ("RuntimeError", (message,))


def test_faked_clock_reaches_before_1970():
    notes, _ = run_scenario("""
import time
note("start", time.clock_gettime(time.CLOCK_REALTIME))
set_clock(-1)
note("pre-1970", (time.time(), time.clock_gettime(time.CLOCK_REALTIME)))
set_clock(0)
note("epoch", time.time())
""")
    assert notes == {"start": float(T0), "pre-1970": (-1.0, -1.0), "epoch": 0.0}


@pytest.mark.parametrize("method, name, key, conflict", [
    ("claim_file", "src/lib.rs", "file:src/lib.rs", "agent-a already holds claim on src/lib.rs"),
    ("claim_task", "phase-7", "task:phase-7", "agent-a already holds claim on task phase-7"),
])
def test_lease_expires_after_300_seconds(clock_scenario, method, name, key, conflict):
    notes, _ = clock_scenario("""
s = CoordinationState()
claim = s.%s
name, key = %r, %r
note("grant", call(claim, "agent-a", name))
set_clock(T0 + 299)
note("b at 299", call(claim, "agent-b", name))
note("a at 299", call(claim, "agent-a", name))
set_clock(T0 + 300)
note("b at 300", call(claim, "agent-b", name))
note("holder", holder_of(s, key))
note("statuses", (s.status("agent-a"), s.status("agent-b")))
note("old holder renews", call(s.renew_claim, "agent-a", key))
note("old holder releases", call(s.release, "agent-a", key))
# The takeover restarted the lease.
set_clock(T0 + 599)
note("a at 599", call(claim, "agent-a", name))
set_clock(T0 + 600)
note("a at 600", call(claim, "agent-a", name))
""" % (method, name, key))
    assert notes == {
        "grant": ok("agent-a"),
        "b at 299": err(conflict),
        "a at 299": err(conflict),
        "b at 300": ok("agent-b"),
        "holder": "agent-b",
        "statuses": ("busy", "busy"),
        "old holder renews": err("agent-a cannot renew a claim held by agent-b"),
        "old holder releases": err("agent-a cannot release a claim held by agent-b"),
        "a at 599": err(conflict.replace("agent-a", "agent-b")),
        "a at 600": ok("agent-a"),
    }


def test_expired_claim_taken_over_by_its_own_holder(clock_scenario):
    notes, _ = clock_scenario("""
s = CoordinationState()
s.claim_file("agent-a", "p")
set_clock(T0 + 1000)
note("again", call(s.claim_file, "agent-a", "p"))
set_clock(T0 + 1299)
note("b at 1299", call(s.claim_file, "agent-b", "p"))
""")
    assert notes == {"again": ok("agent-a"),
                     "b at 1299": err("agent-a already holds claim on p")}


@pytest.mark.parametrize("renew_at", [200, 400], ids=["live", "expired"])
def test_renewal_restarts_the_lease(clock_scenario, renew_at):
    notes, _ = clock_scenario("""
s = CoordinationState()
s.claim_file("agent-a", "src/lib.rs")
set_clock(T0 + %d)
note("renew", call(s.renew_claim, "agent-a", "file:src/lib.rs"))
note("status", s.status("agent-a"))
set_clock(T0 + %d + 299)
note("b at +299", call(s.claim_file, "agent-b", "src/lib.rs"))
set_clock(T0 + %d + 300)
note("b at +300", call(s.claim_file, "agent-b", "src/lib.rs"))
""" % (renew_at, renew_at, renew_at))
    assert notes == {
        "renew": ok("agent-a"),
        "status": "busy",
        "b at +299": err("agent-a already holds claim on src/lib.rs"),
        "b at +300": ok("agent-b"),
    }


def test_expired_claim_refuses_everyone_but_its_holder(clock_scenario):
    notes, _ = clock_scenario("""
s = CoordinationState()
s.claim_task("agent-a", "phase-7")
set_clock(T0 + 400)
note("b renews", call(s.renew_claim, "agent-b", "task:phase-7"))
note("b releases", call(s.release, "agent-b", "task:phase-7"))
note("holder", holder_of(s, "task:phase-7"))
note("b status", s.status("agent-b"))
# The refused renewal did not refresh the lease: a claim takes it over.
note("b claims", call(s.claim_task, "agent-b", "phase-7"))
""")
    assert notes == {
        "b renews": err("agent-b cannot renew a claim held by agent-a"),
        "b releases": err("agent-b cannot release a claim held by agent-a"),
        "holder": "agent-a",
        "b status": "idle",
        "b claims": ok("agent-b"),
    }


def test_holder_releases_an_expired_claim(clock_scenario):
    notes, _ = clock_scenario("""
s = CoordinationState()
s.claim_file("agent-a", "src/lib.rs")
s.claim_file("agent-a", "other")
set_clock(T0 + 5000)
note("status before", s.status("agent-a"))
note("release", call(s.release, "agent-a", "file:src/lib.rs"))
note("status after", s.status("agent-a"))
note("renew", call(s.renew_claim, "agent-a", "file:src/lib.rs"))
note("b claims", call(s.claim_file, "agent-b", "src/lib.rs"))
""")
    assert notes == {
        "status before": "busy",   # expiry alone changes no status
        "release": ok(None),
        "status after": "idle",
        "renew": err("no claim on file:src/lib.rs to renew"),
        "b claims": ok("agent-b"),
    }


def test_clock_set_back_keeps_claims_live(clock_scenario):
    notes, _ = clock_scenario("""
s = CoordinationState()
s.claim_file("agent-a", "p")
for label, at in (("T0-1000", T0 - 1000), ("epoch", 0), ("T0+299", T0 + 299)):
    set_clock(at)
    note(label, call(s.claim_file, "agent-b", "p"))
set_clock(T0 + 300)
note("T0+300", call(s.claim_file, "agent-b", "p"))
""")
    busy = err("agent-a already holds claim on p")
    assert notes == {"T0-1000": busy, "epoch": busy, "T0+299": busy, "T0+300": ok("agent-b")}


def test_renewal_takes_the_current_reading_even_if_earlier(clock_scenario):
    notes, _ = clock_scenario("""
s = CoordinationState()
s.claim_file("agent-a", "p")
set_clock(T0 - 500)
note("renew", call(s.renew_claim, "agent-a", "file:p"))
set_clock(T0 - 201)
note("at -201", call(s.claim_file, "agent-b", "p"))
set_clock(T0 - 200)
note("at -200", call(s.claim_file, "agent-b", "p"))
""")
    assert notes == {"renew": ok("agent-a"),
                     "at -201": err("agent-a already holds claim on p"),
                     "at -200": ok("agent-b")}


def test_message_timestamps_are_the_clock_reading(clock_scenario):
    notes, _ = clock_scenario("""
s = CoordinationState()
set_clock(T0 + 12345)
note("send", s.send_message("a", "b", "one"))
note("broadcast", s.broadcast("c", "two"))
set_clock(T0 + 99999)
note("inbox b", s.inbox("b"))
note("later", s.send_message("a", "b", "three"))
set_clock(0)
note("epoch", s.send_message("a", "b", "four"))
note("epoch claim", call(s.claim_file, "x", "p"))
set_clock(4102444800)
note("2100", s.broadcast("a", "five"))
note("drain c", s.drain_inbox("c"))
note("int", type(s.inbox("b")[-1][3]).__name__)
""")
    t1, t2 = T0 + 12345, T0 + 99999
    assert notes == {
        "send": ("a", "b", "one", t1),
        "broadcast": ("c", "*", "two", t1),
        "inbox b": [("a", "b", "one", t1), ("c", "b", "two", t1)],
        "later": ("a", "b", "three", t2),
        "epoch": ("a", "b", "four", 0),
        "epoch claim": ok("x"),
        "2100": ("a", "*", "five", 4102444800),
        "drain c": [("c", "c", "two", t1), ("a", "c", "five", 4102444800)],
        "int": "int",
    }


def test_lease_counted_from_the_epoch(clock_scenario):
    notes, _ = clock_scenario("""
s = CoordinationState()
note("grant", call(s.claim_file, "agent-a", "p"))
set_clock(299)
note("299", call(s.claim_file, "agent-b", "p"))
set_clock(300)
note("300", call(s.claim_file, "agent-b", "p"))
""", start=0)
    assert notes == {"grant": ok("agent-a"),
                     "299": err("agent-a already holds claim on p"),
                     "300": ok("agent-b")}


# ---- the pre-1970 fault -------------------------------------------------------


def test_fault_is_a_panic_exception_written_to_stderr():
    notes, stderr = run_scenario("""
import sys
s = CoordinationState()
set_clock(-1)
caught_as_exception = False
try:
    try:
        s.claim_file("agent-a", "p")
    except Exception:
        caught_as_exception = True
except BaseException as e:
    first = e
try:
    s.broadcast("agent-a", "x")
except BaseException as e:
    second = e
kind = type(first)
note("caught by except Exception", caught_as_exception)
note("type", (kind.__name__, kind.__module__, kind.__qualname__))
note("BaseException", issubclass(kind, BaseException))
note("Exception", issubclass(kind, Exception))
note("args", (len(first.args), type(first.args[0]).__name__))
note("same type", type(second) is kind)
note("exported", hasattr(halvex_core, "PanicException"))
doc = kind.__doc__.split("\\n")
note("doc", [doc[0], bool(doc[1].strip()), doc[2:]])
note("messages", [first.args[0], second.args[0]])
""")
    assert notes.pop("doc") == ["", True, [
        "",
        "Like SystemExit, this exception is derived from BaseException so that",
        "it will typically propagate all the way through the stack and cause the",
        "Python interpreter to exit.",
        "",
    ]]
    messages = notes.pop("messages")
    assert notes == {
        "caught by except Exception": False,
        "type": ("PanicException", "pyo3_runtime", "PanicException"),
        "BaseException": True,
        "Exception": False,
        "args": (1, "str"),
        "same type": True,
        "exported": False,
    }
    for m in messages:
        assert ("PanicException", (m,)) == CLOCK_FAULT
        assert m in stderr


# Each scenario: set up at T0, act with the clock at 1969-12-31 23:59:59, then
# check with the clock back at T0 + 10 that what should stay did,
# that nothing else changed, and that no lock was left held (a hang would fail
# the child's timeout).
FAULT_SCENARIOS = {
    "claim": ("""
s = CoordinationState()
s.claim_file("agent-b", "held")
set_clock(-1)
note("claim", call(s.claim_file, "agent-a", "src/lib.rs"))
note("task", call(s.claim_task, "agent-a", "phase-7"))
note("conflicting", call(s.claim_file, "agent-c", "held"))
note("reads", (s.status("agent-a"), holder_of(s, "file:src/lib.rs"), holder_of(s, "file:held")))
set_clock(T0 + 10)
note("after", (call(s.claim_file, "agent-d", "src/lib.rs"), call(s.claim_task, "agent-d", "phase-7"),
               call(s.renew_claim, "agent-b", "file:held"), s.status("agent-a")))
note("known", broadcast_reach(s, ["agent-a", "agent-b", "agent-c", "agent-d"]))
""", {
        "claim": CLOCK_FAULT,
        "task": CLOCK_FAULT,
        "conflicting": CLOCK_FAULT,
        "reads": ("idle", None, "agent-b"),
        "after": (ok("agent-d"), ok("agent-d"), ok("agent-b"), "idle"),
        "known": {"agent-b": 1, "agent-d": 1},
    }),
    "renew": ("""
s = CoordinationState()
s.claim_file("agent-a", "src/lib.rs")
set_clock(-1)
note("holder renews", call(s.renew_claim, "agent-a", "file:src/lib.rs"))
note("other renews", call(s.renew_claim, "agent-b", "file:src/lib.rs"))
note("missing", call(s.renew_claim, "agent-a", "file:none"))
note("reads", (s.status("agent-a"), holder_of(s, "file:src/lib.rs")))
# The claim kept its T0 timestamps.
set_clock(T0 + 299)
note("at 299", call(s.claim_file, "agent-b", "src/lib.rs"))
set_clock(T0 + 300)
note("at 300", call(s.claim_file, "agent-b", "src/lib.rs"))
note("renew again", call(s.renew_claim, "agent-b", "file:src/lib.rs"))
""", {
        "holder renews": CLOCK_FAULT,
        "other renews": err("agent-b cannot renew a claim held by agent-a"),
        "missing": err("no claim on file:none to renew"),
        "reads": ("busy", "agent-a"),
        "at 299": err("agent-a already holds claim on src/lib.rs"),
        "at 300": ok("agent-b"),
        "renew again": ok("agent-b"),
    }),
    "release": ("""
s = CoordinationState()
s.claim_file("agent-a", "src/lib.rs")
s.claim_file("agent-a", "other")
set_clock(-1)
# The refusals read no clock: they answer as at any other time.
note("not holder", call(s.release, "agent-b", "file:other"))
note("no claim", call(s.release, "agent-b", "file:none"))
# A release that would change something reads the clock first: nothing changed.
note("release", call(s.release, "agent-a", "file:src/lib.rs"))
note("reads", (s.status("agent-a"), s.status("agent-b"), holder_of(s, "file:src/lib.rs"),
               holder_of(s, "file:other")))
set_clock(T0 + 10)
note("after", (call(s.claim_file, "agent-b", "src/lib.rs"), call(s.release, "agent-a", "file:src/lib.rs"),
               call(s.claim_file, "agent-b", "src/lib.rs"), s.status("agent-a"), s.status("agent-b")))
note("known", broadcast_reach(s, ["agent-a", "agent-b"]))
""", {
        "not holder": err("agent-b cannot release a claim held by agent-a"),
        "no claim": err("no claim found for agent-b"),
        "release": CLOCK_FAULT,
        "reads": ("busy", "idle", "agent-a", "agent-a"),
        "after": (err("agent-a already holds claim on src/lib.rs"), ok(None), ok("agent-b"), "idle",
                  "busy"),
        "known": {"agent-a": 1, "agent-b": 1},
    }),
    "send": ("""
s = CoordinationState()
s.claim_file("agent-busy", "p")
s.send_message("x", "agent-busy", "before")
set_clock(-1)
note("to new", call(s.send_message, "agent-a", "agent-b", "hi"))
note("to known", call(s.send_message, "agent-a", "agent-busy", "hi"))
note("to self", call(s.send_message, "agent-a", "agent-a", "hi"))
note("reads", (s.inbox("agent-b"), s.inbox("agent-a"), s.inbox("agent-busy"),
               s.status("agent-b"), s.status("agent-busy")))
set_clock(T0 + 10)
note("after", (s.send_message("agent-a", "agent-busy", "after"), s.drain_inbox("agent-busy")))
note("known", broadcast_reach(s, ["agent-a", "agent-b", "agent-busy"]))
""", {
        "to new": CLOCK_FAULT,
        "to known": CLOCK_FAULT,
        "to self": CLOCK_FAULT,
        "reads": ([], [], [("x", "agent-busy", "before", T0)], "idle", "busy"),
        "after": (("agent-a", "agent-busy", "after", T0 + 10),
                  [("x", "agent-busy", "before", T0), ("agent-a", "agent-busy", "after", T0 + 10)]),
        "known": {"agent-busy": 1},
    }),
    "broadcast": ("""
s = CoordinationState()
s.send_message("x", "agent-r", "before")
set_clock(-1)
note("new sender", call(s.broadcast, "agent-a", "all"))
note("known sender", call(s.broadcast, "agent-r", "all"))
note("reads", (s.inbox("agent-r"), s.inbox("agent-a"), s.status("agent-r")))
set_clock(T0 + 10)
note("after", s.broadcast("agent-r", "all"))
note("inbox", s.drain_inbox("agent-r"))
note("known", broadcast_reach(s, ["agent-a", "agent-r", "x"]))
""", {
        "new sender": CLOCK_FAULT,
        "known sender": CLOCK_FAULT,
        "reads": ([("x", "agent-r", "before", T0)], [], "idle"),
        "after": ("agent-r", "*", "all", T0 + 10),
        "inbox": [("x", "agent-r", "before", T0), ("agent-r", "agent-r", "all", T0 + 10)],
        "known": {"agent-r": 1},
    }),
    "reads": ("""
s = CoordinationState()
s.send_message("x", "agent-b", "one")
s.broadcast("agent-b", "two")
s.claim_task("agent-c", "t")
set_clock(-1)
note("inbox", call(s.inbox, "agent-b"))
note("drain", call(s.drain_inbox, "agent-b"))
note("drained", call(s.inbox, "agent-b"))
note("status", (call(s.status, "agent-b"), call(s.status, "agent-c")))
note("unknown", (call(s.inbox, "new"), call(s.drain_inbox, "new"), call(s.status, "new")))
""", {
        "inbox": ok([("x", "agent-b", "one", T0), ("agent-b", "agent-b", "two", T0)]),
        "drain": ok([("x", "agent-b", "one", T0), ("agent-b", "agent-b", "two", T0)]),
        "drained": ok([]),
        "status": (ok("idle"), ok("busy")),
        "unknown": (ok([]), ok([]), ok("idle")),
    }),
}


@pytest.mark.parametrize("scenario", sorted(FAULT_SCENARIOS))
def test_clock_before_1970(scenario):
    body, expected = FAULT_SCENARIOS[scenario]
    notes, stderr = run_scenario(body)
    assert notes == expected
    assert stderr.count("system clock before unix epoch") == sum(
        1 for v in expected.values() if v is CLOCK_FAULT)
