"""The shapes every halvex state shares, with no dependency of their own.

`CoordinationState` is the nine methods as halvex_core.CoordinationState has
them; halvex_core's class, halvex_redis's blocking class and
halvex_mcp.client.RemoteState all fit it. `CoordinationService` adds the six
operations of a shared service (lease views, fencing tokens, agents,
release-all, waiting for messages); halvex_redis's blocking class and
RemoteState fit it. `Lease` and `AgentInfo` are what its views return, from
halvex_redis and over MCP alike. halvex-mcp derives its tools' names and
parameters, in order, from the two protocols (a parameter's default makes it
optional).
"""

from __future__ import annotations

from typing import NamedTuple, Protocol, Tuple

# (from_agent, to_agent, content, timestamp)
Message = Tuple[str, str, str, int]


class Lease(NamedTuple):
    """A claim as stored: its fencing token and whole server seconds."""
    resource_key: str
    holder: str
    token: int
    granted_at: int
    renewed_at: int
    expires_at: int
    live: bool


class AgentInfo(NamedTuple):
    """A known agent: status word, messages waiting, drained messages not yet
    confirmed, live claims held, and the server second of its last call as
    the acting agent (None before any)."""
    agent_id: str
    status: str
    inbox: int
    pending: int
    leases: int
    last_seen: int | None


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

    def inbox(self, agent_id: str, /) -> list[Message]:
        """Pending messages for `agent_id`, oldest first. Does not clear them —
        use `drain_inbox` for that."""
        ...

    def drain_inbox(self, agent_id: str, /) -> list[Message]:
        """Pending messages for `agent_id`, oldest first, each as
        [from_agent, to_agent, content, timestamp]; the inbox is emptied."""
        ...

    def status(self, agent_id: str, /) -> str:
        """One of `"idle"`, `"busy"`, `"completed"`, `"error"`."""
        ...


class CoordinationService(CoordinationState, Protocol):
    """A CoordinationState shared as a service: who holds what, fencing
    tokens, the agents, release-all and waiting for messages."""

    def lease(self, resource_key: str, /) -> Lease | None:
        """The claim stored under a key, expired or not, as a `Lease`; `None`
        when none is stored."""
        ...

    def leases(self, prefix: str = "", /) -> list[Lease]:
        """Every stored claim whose key starts with `prefix`, sorted by key."""
        ...

    def check_lease(self, agent_id: str, resource_key: str, token: int, /) -> int:
        """The whole seconds left when `agent_id` holds a live claim on the key
        with fencing token `token`; otherwise `RuntimeError` saying why."""
        ...

    def agents(self, /) -> list[AgentInfo]:
        """Every known agent, sorted by id."""
        ...

    def release_all(self, agent_id: str, /) -> list[str]:
        """Releases every claim `agent_id` holds; returns their keys, sorted."""
        ...

    def wait_inbox(self, agent_id: str, timeout: float = 25.0, /) -> list[Message]:
        """As `drain_inbox`, but waits up to `timeout` seconds for a message
        when the inbox is empty; `[]` when none came."""
        ...
