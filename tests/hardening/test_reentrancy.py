"""Finalizers that call back into the same object in the middle of a call.

With the collector set to run every few allocations, garbage cycles whose
__del__ uses the object are collected while the module converts arguments and
builds results (on interpreters before 3.12, whose collector runs at
allocation time). Such re-entrant calls must neither deadlock (no map lock may be
held while the interpreter runs) nor lose, duplicate or corrupt anything: every
message sent by either side is drained exactly once, and claims stay exclusive.

HALVEX_REENTRANCY_OPS sets the number of outer calls.
"""

import gc
import os
import random
import sys

import halvex_core

from reference import model as M

OPS = int(os.environ.get("HALVEX_REENTRANCY_OPS", "3000"))
AGENTS = ["outer-a", "outer-b", "fin-a", "fin-b"]
KEYS = ["file:p0", "file:p1", "task:t0"]


class Ledger:
    def __init__(self):
        self.state = halvex_core.CoordinationState()
        self.sent = []        # contents, whoever sent them
        self.drained = []     # contents, whoever drained them
        self.holders = {}     # key -> agent, as the successful calls say
        self.seq = 0
        self.rnd = random.Random(1234)
        self.problems = []
        self.reentered = 0
        self.in_call = 0      # > 0 while a module call is running
        self.mid_call = 0     # finalizers that ran inside one

    def call(self, fn, *args):
        self.in_call += 1
        try:
            return fn(*args)
        finally:
            self.in_call -= 1

    def content(self, who):
        self.seq += 1
        return "%s#%d" % (who, self.seq)

    def act(self, who):
        """One random call by `who`, with its bookkeeping."""
        s, r = self.state, self.rnd
        agent = r.choice(AGENTS)
        op = r.randrange(8)
        if op == 0:
            c = self.content(who)
            self.sent.append(c)
            self.call(s.send_message, agent, r.choice(AGENTS), c)
        elif op == 1:
            c = self.content(who)
            # Every agent is known from the start: a broadcast reaches all four.
            self.sent.extend([c] * len(AGENTS))
            self.call(s.broadcast, agent, c)
        elif op == 2:
            self.drained.extend(m[2] for m in self.call(s.drain_inbox, agent))
        elif op == 3:
            for m in self.call(s.inbox, agent):
                if m[1] != agent:
                    self.problems.append("inbox of %s lists %r" % (agent, m))
        elif op == 4:
            key = r.choice(KEYS)
            name = key[5:]
            try:
                self.call(s.claim_file if key.startswith("file:") else s.claim_task, agent, name)
            except RuntimeError:
                # A refusal proves nothing here: the grant a re-entrant call
                # ran into may not be booked yet.
                pass
            else:
                if key in self.holders:
                    self.problems.append("%s granted twice" % key)
                self.holders[key] = agent
        elif op == 5:
            key = r.choice(KEYS)
            holder = self.holders.get(key)
            if holder is not None:
                del self.holders[key]
                self.call(s.release, holder, key)
        elif op == 6:
            self.call(s.status, agent)
        else:
            key = r.choice(KEYS)
            holder = self.holders.get(key)
            if holder is not None:
                try:
                    self.call(s.renew_claim, holder, key)
                except RuntimeError:
                    # Fine only if a finalizer released it during this call.
                    if self.holders.get(key) == holder:
                        self.problems.append("holder %s could not renew %s" % (holder, key))


class Boomerang:
    """Garbage in a cycle whose finalizer calls back into the ledger's object."""

    def __init__(self, ledger):
        self.ledger = ledger
        self.me = self

    def __del__(self):
        led = self.ledger
        led.reentered += 1
        led.mid_call += led.in_call > 0
        try:
            led.act("fin")
        except BaseException as e:  # noqa: B902 - recorded, not swallowed
            led.problems.append("finalizer call failed: %r" % (e,))


def test_finalizers_reentering_mid_call():
    led = Ledger()
    for a in AGENTS:  # all known, inboxes empty
        led.state.send_message("setup", a, "setup")
        led.state.drain_inbox(a)
    old = gc.get_threshold()
    gc.set_threshold(7, 1, 1)  # collections fall at varied points, many inside calls
    try:
        for _ in range(OPS):
            Boomerang(led)
            Boomerang(led)
            led.act("outer")
    finally:
        gc.set_threshold(*old)
    gc.collect()
    for a in AGENTS:
        led.drained.extend(m[2] for m in led.state.drain_inbox(a))
    for key in KEYS:
        if M.probe_holder(led.state, key) != led.holders.get(key):
            led.problems.append("%s held by %r, expected %r" % (
                key, M.probe_holder(led.state, key), led.holders.get(key)))
    print("\nreentrancy: %d outer calls, %d finalizer calls (%d inside a module call), "
          "%d messages" % (OPS, led.reentered, led.mid_call, len(led.sent)))
    assert not led.problems, led.problems[:10]
    assert sorted(led.drained) == sorted(led.sent)
    if sys.version_info < (3, 12):
        # From 3.12 on, collections wait for the evaluation loop, so they no
        # longer fall inside a C call; before, many must have.
        assert led.mid_call > OPS // 20
