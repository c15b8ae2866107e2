"""Smoke run of an installed halvex_core: imports it and calls every method
once, checking each result's shape. Proves that a wheel installed into a
fresh environment works; the suite proper runs elsewhere.

    python smoke.py
"""
import sys

import halvex_core
from _support import METHODS


def main():
    s = halvex_core.CoordinationState()
    results = {
        "claim_file": s.claim_file("agent-a", "src/lib.rs"),
        "claim_task": s.claim_task("agent-b", "build"),
        "renew_claim": s.renew_claim("agent-a", "file:src/lib.rs"),
        "release": s.release("agent-b", "task:build"),
        "send_message": s.send_message("agent-a", "agent-b", "hello"),
        "broadcast": s.broadcast("agent-b", "to all"),
        "inbox": s.inbox("agent-b"),
        "drain_inbox": s.drain_inbox("agent-b"),
        "status": s.status("agent-a"),
    }
    assert set(results) == set(METHODS), sorted(set(METHODS) ^ set(results))
    assert results["claim_file"] == "agent-a" and results["claim_task"] == "agent-b"
    assert results["renew_claim"] == "agent-a" and results["release"] is None
    assert results["send_message"][:3] == ("agent-a", "agent-b", "hello")
    assert results["broadcast"][:3] == ("agent-b", "*", "to all")
    assert [m[2] for m in results["inbox"]] == ["hello", "to all"]
    assert results["drain_inbox"] == results["inbox"] and s.inbox("agent-b") == []
    assert results["status"] == "busy"
    try:
        s.claim_file("agent-c", "src/lib.rs")
    except RuntimeError as e:
        assert e.args == ("agent-a already holds claim on src/lib.rs",), e.args
    else:
        raise AssertionError("a held file was claimed again")
    print("smoke: %s from %s, %d methods called" % (
        sys.version.split()[0], halvex_core.__file__, len(results)))


if __name__ == "__main__":
    main()
