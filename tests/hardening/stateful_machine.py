"""Random call sequences against halvex_core and the model, under a faked clock.

Run as a child process by test_stateful.py with libfaketime preloaded: the
wall clock is frozen at the second written in FAKETIME_TIMESTAMP_FILE (the
absolute "YYYY-MM-DD HH:MM:SS" form, re-read on every clock call), so the
module and the model see one exact second, and a rule moves it forwards,
backwards and before 1970.

Without FAKETIME_TIMESTAMP_FILE (where libfaketime cannot be preloaded, as
beside the address sanitizer's allocator, which it deadlocks) the clock is the
real one: no clock rules, and the model takes the second the module stamped.

Environment:
  HALVEX_STATEFUL_EXAMPLES   sequences to run (default 40)
  HALVEX_STATEFUL_STEPS      rule calls per sequence (default 50)
  HALVEX_STATEFUL_MIN_STEPS  fail unless at least this many rule calls ran
  HALVEX_STATEFUL_SEED       fixed seed; otherwise a random one, printed
"""

import datetime
import io
import math
import os
import random
import sys
import time

# The project root, for the reference implementation.
sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))))

from reference import model as M  # noqa: E402
import halvex_core  # noqa: E402
from hypothesis import HealthCheck, settings, seed  # noqa: E402
from hypothesis import strategies as st  # noqa: E402
from hypothesis.stateful import (  # noqa: E402
    RuleBasedStateMachine,
    invariant,
    precondition,
    rule,
    run_state_machine_as_test,
)

CLOCK_FILE = os.environ.get("FAKETIME_TIMESTAMP_FILE")
FAKED = CLOCK_FILE is not None
START = 1893456000  # 2030-01-01 00:00:00 UTC

# Small alphabets so that sequences meet: case, empty text, NUL bytes and
# non-ASCII text are all distinct, valid values.
AGENTS = ["a", "b", "A", "", "\x00", "a\x00b", "\u00e9"]
NAMES = ["src/lib.rs", "./src/lib.rs", "", "\x00", "x", "\u00fc/\u2202"]
CONTENTS = ["", "hi", "\x00", "x\x00y", "\u03c9" * 3]
# Keys that may or may not be stored: every prefix/name pair, bare names,
# wrong-case prefixes and a prefix alone.
KEYS = sorted({p + n for p in ("file:", "task:") for n in NAMES}
              | set(NAMES) | {"FILE:x", "task", "file", "tasks:x"})
# Clock moves, in seconds: the lease edges and the clock going back.
DELTAS = [0, 1, 2, 299, 300, 301, 400, 86400, -1, -2, -299, -300, -400]
BEFORE_EPOCH = [-1, -86400 * 365]
BAD_VALUES = [None, 1, b"bytes", 1.5, ["x"], "\ud800", "a\udfff"]

_counts = {"steps": 0, "examples": 0, "outcomes": {}}


def clock_text(t):
    stamp = datetime.datetime(1970, 1, 1) + datetime.timedelta(seconds=t)
    return stamp.strftime("%Y-%m-%d %H:%M:%S")


def set_clock(t):
    if not FAKED:
        return
    with open(CLOCK_FILE, "w") as f:
        f.write(clock_text(t) + "\n")
    seen = time.time()
    # The model is handed this second: make sure the module reads it too.
    assert seen == float(t), "faked clock not in effect: wrote %d, read %r" % (t, seen)


def call_style(draw_kw, method, values):
    """Positional, keyword or mixed arguments for one call."""
    params = M.PARAMS[method]
    if draw_kw == 0:
        return tuple(values), {}
    if draw_kw == 1:
        return (), dict(zip(params, values))
    return tuple(values[:1]), dict(zip(params[1:], values[1:]))


class Machine(RuleBasedStateMachine):
    def __init__(self):
        super().__init__()
        _counts["examples"] += 1
        self.t = START if FAKED else math.floor(time.time())
        self.saved_t = None
        self.calls_before_epoch = 0
        set_clock(self.t)
        self.real = halvex_core.CoordinationState()
        self.model = M.Model(clock=lambda: self.t)

    def real_clock_call(self, method, args, kwargs):
        """On the real clock: the module's call, and the second it used."""
        t0 = math.floor(time.time())
        got = M.outcome(getattr(self.real, method), *args, **kwargs)
        t1 = math.floor(time.time())
        self.t = t0
        if got[0] == "ok" and method in ("send_message", "broadcast"):
            self.t = got[1][3]
            assert t0 <= self.t <= t1, (t0, self.t, t1)
        return got

    def check(self, method, values, style=0):
        args, kwargs = call_style(style, method, values)
        lease = self.lease_case(method, values)
        # The module writes nothing on its own except a fault's description,
        # which goes through sys.stderr.
        saved, written = sys.stderr, io.StringIO()
        sys.stderr = written
        try:
            if FAKED:
                got = M.outcome(getattr(self.real, method), *args, **kwargs)
            else:
                got = self.real_clock_call(method, args, kwargs)
        finally:
            sys.stderr = saved
        want = M.outcome(getattr(self.model, method), *args, **kwargs)
        _counts["steps"] += 1
        tag = "ok" if got[0] == "ok" else got[1]
        key = (method, tag + ("[%s]" % lease if lease else ""))
        _counts["outcomes"][key] = _counts["outcomes"].get(key, 0) + 1
        assert got == want, "%s%r %r at t=%d:\n  module: %r\n  model:  %r" % (
            method, args, kwargs, self.t, got, want)
        text = written.getvalue()
        if got[1:2] == ("PanicException",):
            assert M.CLOCK_FAULT in text, "no fault description on stderr: %r" % text
        else:
            assert text == "", "unexpected output on stderr: %r" % text
        if self.t < 0:
            self.calls_before_epoch -= 1
            if self.calls_before_epoch <= 0:
                self.t = self.saved_t
                set_clock(self.t)
        return got

    def lease_case(self, method, values):
        """"live" or "expired" when the call meets a stored claim, for the
        tally of what the sequences explored."""
        if not all(isinstance(v, str) for v in values):
            return None
        if method in ("claim_file", "claim_task"):
            key = ("file:" if method == "claim_file" else "task:") + values[1]
        elif method in ("renew_claim", "release"):
            key = values[1]
        else:
            return None
        held = self.model.claims.get(key)
        if held is None or self.t < 0:
            return None
        return "expired" if max(0, self.t - held[1]) >= M.LEASE_SECS else "live"

    def key_from(self, data):
        stored = sorted(self.model.claims)
        if stored and data.draw(st.booleans(), label="existing key"):
            return data.draw(st.sampled_from(stored), label="key")
        return data.draw(st.sampled_from(KEYS), label="key")

    agents = st.sampled_from(AGENTS)
    names = st.sampled_from(NAMES)
    contents = st.sampled_from(CONTENTS)
    styles = st.integers(0, 2)

    @rule(agent=agents, path=names, style=styles)
    def claim_file(self, agent, path, style):
        self.check("claim_file", [agent, path], style)

    @rule(agent=agents, task=names, style=styles)
    def claim_task(self, agent, task, style):
        self.check("claim_task", [agent, task], style)

    @rule(agent=agents, data=st.data(), style=styles)
    def renew_claim(self, agent, data, style):
        self.check("renew_claim", [agent, self.key_from(data)], style)

    @rule(agent=agents, data=st.data(), style=styles)
    def release(self, agent, data, style):
        self.check("release", [agent, self.key_from(data)], style)

    @rule(data=st.data(), style=styles)
    def holder_acts(self, data, style):
        # The holder of a stored claim renews or releases it: the paths a
        # random agent rarely hits.
        stored = sorted(self.model.claims)
        if not stored:
            return
        key = data.draw(st.sampled_from(stored), label="held key")
        method = data.draw(st.sampled_from(["renew_claim", "release"]), label="action")
        self.check(method, [self.model.claims[key][0], key], style)

    @rule(data=st.data(), edge=st.sampled_from([None, 299, 300, 301]), agent=agents,
          style=styles)
    def claim_stored_key(self, data, edge, agent, style):
        # Contest a stored claim, optionally right at its lease edge: the
        # clock jumps to the claim's later timestamp plus `edge` seconds.
        stored = sorted(self.model.claims)
        if not stored or self.t < 0:
            return
        key = data.draw(st.sampled_from(stored), label="stored key")
        if edge is not None and FAKED:
            self.t = self.model.claims[key][1] + edge
            set_clock(self.t)
        method = "claim_file" if key.startswith("file:") else "claim_task"
        self.check(method, [agent, key[len("file:"):]], style)

    @rule(sender=agents, to=agents, content=contents, style=styles)
    def send_message(self, sender, to, content, style):
        self.check("send_message", [sender, to, content], style)

    @rule(sender=agents, content=contents, style=styles)
    def broadcast(self, sender, content, style):
        self.check("broadcast", [sender, content], style)

    @rule(agent=agents, style=styles)
    def inbox(self, agent, style):
        self.check("inbox", [agent], style)

    @rule(agent=agents, style=styles)
    def drain_inbox(self, agent, style):
        self.check("drain_inbox", [agent], style)

    @rule(agent=agents, style=styles)
    def status(self, agent, style):
        self.check("status", [agent], style)

    @rule(method=st.sampled_from(M.METHODS), data=st.data())
    def bad_argument(self, method, data):
        # A conversion failure anywhere in the list must change nothing.
        params = M.PARAMS[method]
        values = [data.draw(st.sampled_from(AGENTS + CONTENTS), label=p) for p in params]
        i = data.draw(st.integers(0, len(params) - 1), label="bad position")
        values[i] = data.draw(st.sampled_from(BAD_VALUES), label="bad value")
        self.check(method, values, data.draw(self.styles, label="style"))

    @precondition(lambda self: FAKED and self.t >= 0)
    @rule(delta=st.sampled_from(DELTAS))
    def move_clock(self, delta):
        self.t += delta
        set_clock(self.t)
        _counts["steps"] += 1

    @precondition(lambda self: FAKED and self.t >= 0)
    @rule(t=st.sampled_from(BEFORE_EPOCH), calls=st.integers(1, 3))
    def clock_before_epoch(self, t, calls):
        # The clock reads before 1970 for the next few calls, then returns.
        self.saved_t, self.t = self.t, t
        self.calls_before_epoch = calls
        set_clock(self.t)
        _counts["steps"] += 1

    @invariant()
    def same_observable_state(self):
        # Statuses, pending messages and holders of every key of the alphabet.
        got = M.snapshot(self.real, AGENTS, KEYS)
        want = M.snapshot(self.model, AGENTS, KEYS)
        assert got == want, "state differs at t=%d:\n  module: %r\n  model:  %r" % (
            self.t, got, want)


def main():
    examples = int(os.environ.get("HALVEX_STATEFUL_EXAMPLES", "40"))
    steps = int(os.environ.get("HALVEX_STATEFUL_STEPS", "50"))
    min_steps = int(os.environ.get("HALVEX_STATEFUL_MIN_STEPS", "0"))
    chosen = os.environ.get("HALVEX_STATEFUL_SEED")
    the_seed = int(chosen) if chosen else random.SystemRandom().randrange(2 ** 32)
    print("stateful: seed %d (rerun with HALVEX_STATEFUL_SEED=%d), %s clock"
          % (the_seed, the_seed, "faked" if FAKED else "real"), flush=True)
    seed(the_seed)(Machine)
    started = time.monotonic()
    run_state_machine_as_test(Machine, settings=settings(
        max_examples=examples,
        stateful_step_count=steps,
        deadline=None,
        database=None,
        print_blob=True,
        suppress_health_check=list(HealthCheck),
    ))
    elapsed = time.monotonic() - started
    print("stateful: %d rule calls in %d sequences, %.1f s" % (
        _counts["steps"], _counts["examples"], elapsed))
    kinds = sorted(_counts["outcomes"].items())
    print("stateful: outcomes " + ", ".join("%s/%s=%d" % (m, k, n) for (m, k), n in kinds))
    if _counts["steps"] < min_steps:
        print("stateful: FAILED: fewer than %d rule calls ran" % min_steps)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
