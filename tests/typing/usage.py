"""Typed use of the public API, checked with `mypy --strict` (not collected by pytest;
running it calls each method once).

The `type: ignore[...]` lines are the negative half: under --strict an ignore
that silences nothing is itself an error, so each one proves the stub rejects
that misuse.
"""

from typing import TYPE_CHECKING, Dict, List, Optional, Tuple

import halvex_core
from halvex_core import CoordinationState

Message = Tuple[str, str, str, int]


def claim_or_none(state: CoordinationState, agent: str, path: str) -> Optional[str]:
    try:
        return state.claim_file(agent, path)
    except RuntimeError as err:
        return str(err.args[0])


def exercise(state: CoordinationState) -> Dict[str, str]:
    holder: str = state.claim_file("agent-a", "src/lib.rs")
    task_holder: str = state.claim_task(agent_id="agent-a", task_id="phase-7")
    renewed: str = state.renew_claim("agent-a", resource_key="file:src/lib.rs")
    state.release("agent-a", "task:phase-7")
    sent: Message = state.send_message(from_agent="agent-a", to_agent="agent-b", content="hi")
    everyone: Message = state.broadcast("agent-a", "done")
    pending: List[Message] = state.inbox("agent-b")
    drained: List[Message] = state.drain_inbox("agent-b")
    sender, recipient, content, stamp = sent
    assert stamp >= everyone[3] - 1 and len(pending) == len(drained)
    return {
        "holder": holder,
        "task": task_holder,
        "renewed": renewed,
        "route": f"{sender}->{recipient}: {content}",
        "status": state.status("agent-a"),
    }


def misuse(state: CoordinationState) -> None:
    state.status(1)  # type: ignore[arg-type]
    state.claim_file("agent-a")  # type: ignore[call-arg]
    state.inbox(agent="x")  # type: ignore[call-arg]
    state.send_message("a", "b", "c", "d")  # type: ignore[call-arg]
    n: int = state.status("a")  # type: ignore[assignment]
    r = state.release("a", "file:x")  # type: ignore[func-returns-value]
    stamp: str = state.broadcast("a", "b")[3]  # type: ignore[assignment]
    CoordinationState("seed")  # type: ignore[call-arg]
    del n, r, stamp


if TYPE_CHECKING:
    # The class cannot be subclassed at runtime; the stub says so with @final.
    class Wrapped(CoordinationState):  # type: ignore[misc]
        pass


if __name__ == "__main__":
    names: List[str] = halvex_core.__all__
    print(exercise(CoordinationState()), names, claim_or_none(CoordinationState(), "a", "p"))
