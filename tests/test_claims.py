"""Claims, renewals and releases within one lease (expiry is in test_clock)."""

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

from _support import holder_of


def runtime_error(fn, *args):
    with pytest.raises(RuntimeError) as info:
        fn(*args)
    assert type(info.value) is RuntimeError
    assert len(info.value.args) == 1
    return info.value.args[0]


# (method, name, key, conflict message for agent-a holding it)
KINDS = [
    ("claim_file", "src/lib.rs", "file:src/lib.rs", "agent-a already holds claim on src/lib.rs"),
    ("claim_task", "phase-7", "task:phase-7", "agent-a already holds claim on task phase-7"),
    ("claim_file", "", "file:", "agent-a already holds claim on "),
    ("claim_task", "", "task:", "agent-a already holds claim on task "),
]


@pytest.mark.parametrize("method, name, key, conflict", KINDS)
def test_grant_and_conflict(state, method, name, key, conflict):
    claim = getattr(state, method)
    result = claim("agent-a", name)
    assert result == "agent-a" and type(result) is str
    assert holder_of(state, key) == "agent-a"
    assert state.status("agent-a") == "busy"
    # A live claim blocks everyone, its own holder included.
    assert runtime_error(claim, "agent-b", name) == conflict
    assert runtime_error(claim, "agent-a", name) == conflict
    assert holder_of(state, key) == "agent-a"
    # The refused caller is left as it was.
    assert state.status("agent-b") == "idle"


def test_conflict_names_the_caller_text_not_the_key(state):
    state.claim_task("agent-a", "task:x")
    assert holder_of(state, "task:task:x") == "agent-a"
    assert runtime_error(state.claim_task, "agent-b", "task:x") == (
        "agent-a already holds claim on task task:x")


def test_keys_are_the_text_unchanged(state):
    paths = ["src/lib.rs", "./src/lib.rs", "src\\lib.rs", "Src/lib.rs", " src/lib.rs",
             "src/lib.rs ", "src//lib.rs", "src/../src/lib.rs"]
    for i, p in enumerate(paths):
        assert state.claim_file("agent-%d" % i, p) == "agent-%d" % i
    for i, p in enumerate(paths):
        assert holder_of(state, "file:" + p) == "agent-%d" % i


@pytest.mark.parametrize("same_agent", [True, False])
def test_file_and_task_keys_never_collide(state, same_agent):
    other = "agent-a" if same_agent else "agent-b"
    assert state.claim_file("agent-a", "x") == "agent-a"
    assert state.claim_task(other, "x") == other
    assert holder_of(state, "file:x") == "agent-a"
    assert holder_of(state, "task:x") == other
    assert holder_of(state, "x") is None


def test_nul_and_non_ascii_are_kept(state):
    assert state.claim_file("a\x00b", "p\x00q") == "a\x00b"
    assert state.status("a\x00b") == "busy"
    assert state.status("a") == "idle"
    assert holder_of(state, "file:p") is None
    assert runtime_error(state.claim_file, "x", "p\x00q") == "a\x00b already holds claim on p\x00q"
    agent, path = "агент-α🤖", "src/модуль/ü.rs"
    state.claim_file(agent, path)
    assert runtime_error(state.claim_file, "x", path) == agent + " already holds claim on " + path
    assert holder_of(state, "file:" + path) == agent


def test_renew_live_claim(state):
    state.claim_file("agent-a", "src/lib.rs")
    result = state.renew_claim("agent-a", "file:src/lib.rs")
    assert result == "agent-a" and type(result) is str
    assert holder_of(state, "file:src/lib.rs") == "agent-a"
    assert runtime_error(state.claim_file, "agent-b", "src/lib.rs") == (
        "agent-a already holds claim on src/lib.rs")


def test_renewal_leaves_status_alone(state):
    state.claim_file("agent-a", "one")
    state.claim_file("agent-a", "two")
    state.release("agent-a", "file:one")
    assert state.status("agent-a") == "idle"
    state.renew_claim("agent-a", "file:two")
    assert state.status("agent-a") == "idle"


def test_release(state):
    state.claim_file("agent-a", "src/lib.rs")
    state.claim_task("agent-a", "phase-7")
    assert state.release("agent-a", "file:src/lib.rs") is None
    assert holder_of(state, "file:src/lib.rs") is None
    # Idle although the task claim is still held.
    assert state.status("agent-a") == "idle"
    assert holder_of(state, "task:phase-7") == "agent-a"
    assert runtime_error(state.release, "agent-a", "file:src/lib.rs") == (
        "no claim found for agent-a")
    # The key is free again at once.
    assert state.claim_file("agent-b", "src/lib.rs") == "agent-b"
    assert state.release("agent-a", "task:phase-7") is None
    assert holder_of(state, "task:phase-7") is None


@pytest.mark.parametrize("caller", ["agent-b", "Agent-A", "agent-a ", "agent-", ""])
def test_only_the_exact_holder_renews_or_releases(state, caller):
    state.claim_file("agent-a", "src/lib.rs")
    state.claim_file(caller + "-other", "elsewhere")
    assert runtime_error(state.renew_claim, caller, "file:src/lib.rs") == (
        "%s cannot renew a claim held by agent-a" % caller)
    assert runtime_error(state.release, caller, "file:src/lib.rs") == (
        "%s cannot release a claim held by agent-a" % caller)
    assert holder_of(state, "file:src/lib.rs") == "agent-a"
    assert state.status("agent-a") == "busy"
    assert state.status(caller + "-other") == "busy"
    assert state.status(caller) == "idle"


@pytest.mark.parametrize("key", ["src/lib.rs", "file:src/lib.rs ", "FILE:src/lib.rs",
                                 "task:src/lib.rs", "file:./src/lib.rs", ""])
def test_renew_and_release_need_the_stored_key(state, key):
    state.claim_file("agent-a", "src/lib.rs")
    assert runtime_error(state.renew_claim, "agent-a", key) == "no claim on %s to renew" % key
    assert runtime_error(state.release, "agent-a", key) == "no claim found for agent-a"
    assert holder_of(state, "file:src/lib.rs") == "agent-a"
    assert state.status("agent-a") == "busy"


def test_failures_name_the_caller_and_key_verbatim(state):
    assert runtime_error(state.renew_claim, "agent-a", "file:\x00ü") == (
        "no claim on file:\x00ü to renew")
    assert runtime_error(state.release, "agent-\x00ü", "file:x") == "no claim found for agent-\x00ü"
    assert runtime_error(state.release, "", "") == "no claim found for "
    assert state.status("agent-a") == "idle"


def test_failed_release_or_renewal_registers_no_one(state):
    # A failed release or renewal does not register its caller.
    state.claim_file("agent-a", "k")
    for fn in (state.release, state.renew_claim):
        with pytest.raises(RuntimeError):
            fn("agent-b", "file:k")
    assert state.broadcast("agent-a", "hi")[1] == "*"
    assert state.inbox("agent-b") == []


_text = st.text(max_size=12)


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(agent=_text, other=_text, name=_text)
def test_claim_texts_round_trip(make_state, agent, other, name):
    s = make_state()
    assert s.claim_file(agent, name) == agent
    assert s.claim_task(other, name) == other
    assert holder_of(s, "file:" + name) == agent
    assert holder_of(s, "task:" + name) == other
    assert runtime_error(s.claim_file, other, name) == agent + " already holds claim on " + name
    assert runtime_error(s.claim_task, agent, name) == (
        other + " already holds claim on task " + name)
    assert s.renew_claim(agent, "file:" + name) == agent
    assert s.release(other, "task:" + name) is None
    assert s.status(other) == "idle"
    assert s.status(agent) == ("idle" if agent == other else "busy")
