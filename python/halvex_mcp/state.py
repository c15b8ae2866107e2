"""What "a CoordinationState" is to halvex-mcp, its clients, the demo and the tests.

`CoordinationState` is the nine methods as halvex_core.CoordinationState has
them; halvex_core's class, halvex_redis's blocking class and
halvex_mcp.client.RemoteState all fit it. Its docstrings are the tools'
descriptions. Nothing here imports the MCP SDK.
"""

from __future__ import annotations

import inspect
from typing import Dict, List, Protocol, Tuple

# (from_agent, to_agent, content, timestamp)
Message = Tuple[str, str, str, int]


class CoordinationState(Protocol):
    """Claims with 300-second leases, inboxes, broadcasts and status words.

    Arguments are positional: against a server pinned with --agent, a
    RemoteState takes them without the identity argument."""

    def claim_file(self, agent_id: str, path: str, /) -> str:
        """Claims a file for `agent_id`. Raises `RuntimeError` if another agent
        already holds it. Returns the claiming agent's id back on success —
        a no-op value, useful mainly to confirm the call didn't raise."""
        ...

    def claim_task(self, agent_id: str, task_id: str, /) -> str:
        """Claims a task for `agent_id`, as `claim_file` does for a file; the claim's
        key is `"task:<task_id>"`. Refused if another agent holds the task."""
        ...

    def release(self, agent_id: str, resource_key: str, /) -> None:
        """Releases a claim keyed by e.g. `"file:src/lib.rs"` or `"task:phase-7"`.
        Only the holder may release it."""
        ...

    def renew_claim(self, agent_id: str, resource_key: str, /) -> str:
        """Renews a claim keyed by e.g. `"file:src/lib.rs"` or `"task:phase-7"`,
        extending its lease so a long-running task isn't lost to the TTL.
        Only the holder may renew."""
        ...

    def send_message(self, from_agent: str, to_agent: str, content: str, /) -> Message:
        """Puts a message into `to_agent`'s inbox. Returns it as
        [from_agent, to_agent, content, timestamp]."""
        ...

    def broadcast(self, from_agent: str, content: str, /) -> Message:
        """Sends `content` to the inbox of every known agent, the sender included; an
        agent is known once it has claimed or released, broadcast, or been sent a
        message. Returns [from_agent, "*", content, timestamp]."""
        ...

    def inbox(self, agent_id: str, /) -> List[Message]:
        """Pending messages for `agent_id`, oldest first. Does not clear them —
        use `drain_inbox` for that."""
        ...

    def drain_inbox(self, agent_id: str, /) -> List[Message]:
        """Pending messages for `agent_id`, oldest first, each as
        [from_agent, to_agent, content, timestamp]; the inbox is emptied."""
        ...

    def status(self, agent_id: str, /) -> str:
        """One of `"idle"`, `"busy"`, `"completed"`, `"error"`."""
        ...


def methods() -> Dict[str, Tuple[List[str], str]]:
    """Each method's parameters and description, in the class's order."""
    out: Dict[str, Tuple[List[str], str]] = {}
    for name, method in vars(CoordinationState).items():
        if name.startswith("_") or not inspect.isfunction(method):
            continue
        params = [p for p in inspect.signature(method).parameters if p != "self"]
        out[name] = (params, inspect.cleandoc(method.__doc__ or ""))
    return out
