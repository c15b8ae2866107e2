"""Batches held until acknowledged (take_batch / acknowledge), on every
state kept outside the process: only an acknowledgement ends a batch; left
alone, it comes back first after the hand-over, counted as redelivered."""
from __future__ import annotations

import threading

import pytest

import halvex_core


@pytest.fixture
def held(make_state, monkeypatch):
    state = make_state()
    if isinstance(state, halvex_core.CoordinationState):
        pytest.skip("the native state confirms nothing: its drains are final")
    return state


def hand_over_now(monkeypatch, seconds):
    import halvex_redis._calls
    import halvex_sqlite._core

    monkeypatch.setattr(halvex_redis._calls, "HANDOVER", seconds)
    monkeypatch.setattr(halvex_sqlite._core, "HANDOVER", seconds)


def contents(batch):
    return [m[2] for m in batch.messages]


def test_held_batches_end_only_by_acknowledgement(held, monkeypatch):
    for i in range(5):
        held.send_message("a", "b", "m%d" % i)
    first = held.take_batch("b", 2, 1 << 20)
    assert contents(first) == ["m0", "m1"] and first.remaining == 3 and first.redelivered == 0
    # The object's next calls confirm nothing, and its next drain takes what follows.
    assert held.status("b") == "idle" and held.drain_batch("z", 1, 1) == ([], 0)
    second = held.take_batch("b", 10, 1 << 20)
    assert contents(second) == ["m2", "m3", "m4"] and second.remaining == 0
    assert held.take_batch("b", 10, 1 << 20) == ([], 0, "", 0)
    assert [m[2] for m in held.inbox("b")] == ["m0", "m1", "m2", "m3", "m4"]
    assert [(i.agent_id, i.inbox, i.pending) for i in held.agents()][-1] == ("b", 0, 5)
    assert held.acknowledge("b", second.ack) == 3
    for agent, ack in (("b", second.ack), ("a", first.ack), ("b", ""), ("b", "no such"),
                       ("b", "9" * 40)):
        assert held.acknowledge(agent, ack) == 0
    # Past the hand-over the unacknowledged batch comes back first, marked.
    hand_over_now(monkeypatch, 0)
    held.send_message("a", "b", "m5")
    again = held.take_batch("b", 10, 1 << 20)
    assert contents(again) == ["m0", "m1", "m5"] and again.redelivered == 2
    assert held.acknowledge("b", first.ack) == 0  # its batch is the new one's now
    assert held.acknowledge("b", again.ack) == 3 and held.inbox("b") == []
    with pytest.raises(TypeError, match="^argument 'ack': 'int' object cannot be converted"):
        held.acknowledge("b", 5)
    with pytest.raises(ValueError, match="^timeout must be from 0 to 300 seconds, not -1$"):
        held.take_batch("b", 1, 1, -1)


def test_held_waits_wake_on_a_send(held):
    timer = threading.Timer(0.3, held.send_message, ("a", "w", "wake"))
    timer.start()
    try:
        got = held.take_batch("w", 10, 1 << 20, 30)
    finally:
        timer.join()
    assert contents(got) == ["wake"] and got.ack
    assert held.take_batch("w", 10, 1 << 20, 0.2) == ([], 0, "", 0)
