"""Runs one scripted session against the native module and the Python peer and
fails if they answer differently, so the benchmark compares like with like.

Timestamps are compared loosely (the two runs read the clock at different
moments); results, error types and error texts must match exactly.
"""
import os
import sys
import time

import halvex_core

TESTS = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "tests")
sys.path[:0] = [TESTS, os.path.join(TESTS, "hardening")]  # the peer and its method list

import model as peer  # noqa: E402

SCRIPT = [
    ("claim_file", "agent-a", "src/lib.rs"),
    ("claim_file", "agent-a", "src/lib.rs"),
    ("claim_file", "agent-b", "src/lib.rs"),
    ("claim_file", "agent-b", "./src/lib.rs"),
    ("claim_task", "agent-a", "src/lib.rs"),
    ("claim_task", "agent-b", "src/lib.rs"),
    ("claim_file", "agent-c", ""),
    ("claim_file", "agent-a", ""),
    ("claim_file", "agent-a", "{weird} path %s"),
    ("claim_file", "agent-b", "{weird} path %s"),
    ("renew_claim", "agent-a", "file:src/lib.rs"),
    ("renew_claim", "agent-b", "file:src/lib.rs"),
    ("renew_claim", "agent-a", "src/lib.rs"),
    ("release", "agent-b", "file:src/lib.rs"),
    ("release", "agent-a", "task:nothing"),
    ("status", "agent-a"),
    ("release", "agent-a", "file:src/lib.rs"),
    ("release", "agent-a", "file:src/lib.rs"),
    ("status", "agent-a"),
    ("status", "agent-b"),
    ("status", "never-seen"),
    ("send_message", "agent-a", "agent-d", "hi"),
    ("send_message", "agent-x", "agent-x", "note to self"),
    ("status", "agent-d"),
    ("status", "agent-x"),
    ("inbox", "reader-only"),
    ("broadcast", "agent-e", "everyone"),
    ("inbox", "agent-d"),
    ("inbox", "agent-a"),
    ("inbox", "agent-e"),
    ("inbox", "reader-only"),
    ("drain_inbox", "agent-d"),
    ("drain_inbox", "agent-d"),
    ("inbox", "agent-d"),
    ("send_message", "", "", ""),
    ("broadcast", "agent-x", "second"),
    ("drain_inbox", "agent-x"),
    ("drain_inbox", ""),
    ("status", "agent-e"),
    ("claim_task", "", "phase-7"),
    ("claim_task", "agent-b", "phase-7"),
]


def normalise(value):
    """Replaces every int timestamp by a marker; returns (shape, timestamps)."""
    stamps = []

    def walk(v):
        if isinstance(v, int) and not isinstance(v, bool):
            stamps.append(v)
            return "<ts>"
        if isinstance(v, (tuple, list)):
            return type(v)(walk(x) for x in v)
        return v

    return walk(value), stamps


def run(state):
    out = []
    for name, *args in SCRIPT:
        try:
            out.append(("ok", getattr(state, name)(*args)))
        except Exception as e:  # noqa: BLE001 - the type and text are what we compare
            out.append((type(e).__name__, e.args))
    return out


def main():
    now = int(time.time())
    native = run(halvex_core.CoordinationState())
    plain = run(peer.CoordinationState())
    bad = 0
    for step, a, b in zip(SCRIPT, native, plain):
        na, ta = normalise(a)
        nb, tb = normalise(b)
        if na != nb or any(abs(t - now) > 5 for t in ta + tb):
            bad += 1
            print(f"MISMATCH {step}: module={a!r} peer={b!r}")
    print(f"peer check: {len(SCRIPT) - bad}/{len(SCRIPT)} steps agree")
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
