"""Status words: who sets them, and what leaves them alone."""

import pytest

from _support import broadcast_reach


def test_unknown_agent_is_idle_and_stays_unknown(state):
    for agent in ("agent-x", "", "\x00", "ü"):
        assert state.status(agent) == "idle"
    assert broadcast_reach(state, ["agent-x", "", "\x00", "ü"]) == {}


def test_claim_and_release_cycle(state):
    state.claim_file("agent-a", "p")
    assert state.status("agent-a") == "busy"
    state.release("agent-a", "file:p")
    assert state.status("agent-a") == "idle"
    state.claim_task("agent-a", "t")
    assert state.status("agent-a") == "busy"


@pytest.mark.parametrize("action", [
    lambda s: s.send_message("agent-x", "agent-a", "hi"),
    lambda s: s.broadcast("agent-a", "hi"),
    lambda s: s.broadcast("agent-x", "hi"),
    lambda s: s.inbox("agent-a"),
    lambda s: s.drain_inbox("agent-a"),
    lambda s: s.renew_claim("agent-a", "file:p"),
    lambda s: s.send_message("agent-a", "agent-x", "hi"),
], ids=["receive", "broadcast", "receive-broadcast", "inbox", "drain", "renew", "send"])
def test_busy_stays_busy(state, action):
    state.claim_file("agent-a", "p")
    action(state)
    assert state.status("agent-a") == "busy"


@pytest.mark.parametrize("refused", [
    lambda s: s.claim_file("agent-a", "held"),
    lambda s: s.release("agent-a", "file:held"),
    lambda s: s.release("agent-a", "file:nothing"),
    lambda s: s.renew_claim("agent-a", "file:held"),
], ids=["claim", "release", "release-missing", "renew"])
@pytest.mark.parametrize("known", ["busy", "idle", "unknown"])
def test_refused_calls_leave_status(state, refused, known):
    state.claim_file("holder", "held")
    if known != "unknown":
        state.claim_file("agent-a", "mine")
    if known == "idle":
        state.release("agent-a", "file:mine")
    with pytest.raises(RuntimeError):
        refused(state)
    assert state.status("agent-a") == ("idle" if known != "busy" else known)
    reached = broadcast_reach(state, ["agent-a"])
    assert reached == ({} if known == "unknown" else {"agent-a": 1})


def test_ids_are_compared_exactly(state):
    state.claim_file("agent-a", "p")
    for other in ("Agent-a", "agent-a ", "agent-a\x00", "agent-", ""):
        assert state.status(other) == "idle"
    state.claim_file("", "q")
    assert state.status("") == "busy"
    assert state.status("\x00") == "idle"
