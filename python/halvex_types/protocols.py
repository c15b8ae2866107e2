"""The signatures of the service's methods, as typing protocols.

`CoordinationState` is the nine methods as halvex_core.CoordinationState has
them; `CoordinationService` adds those of a shared service (lease views,
fencing tokens, agents, release-all, waiting for messages, all-or-none
claims); `ServerState`
adds what a state kept on a server also offers (batched reads, their
confirmation, batches held until acknowledged, the activity log and the
server's clock). The `Async*` protocols are the same methods as coroutines;
a test checks that both spellings agree.

The bodies raise: docstrings and everything else about a method live in
methods.py's table, and a class that inherits a protocol for the type
checker's sake gets its real methods from that table.
"""

from __future__ import annotations

from typing import Any, NamedTuple, Protocol, Sequence, Tuple

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


class Batch(NamedTuple):
    """A drained batch held until acknowledged: its messages (redelivered ones
    first), how many more wait, the handle that acknowledges it ("" when the
    batch is empty) and how many of its messages were delivered before."""
    messages: list[Message]
    remaining: int
    ack: str
    redelivered: int


class Task(NamedTuple):
    """A task of the graph: its state ("ready", "blocked", "held", "done" or
    "failed"), the agent holding it live (or that finished it), its claim's
    fencing token (0 before any claim), the dependencies not yet done, its
    outcome (the note or the reason), all its dependencies and the server
    second it was added."""
    task_id: str
    title: str
    state: str
    holder: str | None
    token: int
    waits_for: list[str]
    outcome: str
    depends_on: list[str]
    added_at: int


class Next(NamedTuple):
    """What claim_next found: the task now claimed, or None and why nothing
    was ready."""
    task: Task | None
    why: str


class Unbound(NotImplementedError):
    """A protocol's method called as such: its class did not install it."""


# Not `...`: a type checker takes a protocol member with an empty body as
# abstract, and classes that inherit a protocol only while type checking
# (their methods come from the table at run time) could not be instantiated.
def _unbound() -> Unbound:
    return Unbound("a protocol's method: the class did not install it")


class CoordinationState(Protocol):
    """Claims with leases, inboxes, broadcasts and status words.

    Arguments are positional: against a server pinned with --agent, a
    RemoteState takes them without the identity argument."""

    def claim_file(self, agent_id: str, path: str, /) -> str:
        raise _unbound()

    def claim_task(self, agent_id: str, task_id: str, /) -> str:
        raise _unbound()

    def release(self, agent_id: str, resource_key: str, /) -> None:
        raise _unbound()

    def renew_claim(self, agent_id: str, resource_key: str, /) -> str:
        raise _unbound()

    def send_message(self, from_agent: str, to_agent: str, content: str, /) -> Message:
        raise _unbound()

    def broadcast(self, from_agent: str, content: str, /) -> Message:
        raise _unbound()

    def inbox(self, agent_id: str, /) -> list[Message]:
        raise _unbound()

    def drain_inbox(self, agent_id: str, /) -> list[Message]:
        raise _unbound()

    def status(self, agent_id: str, /) -> str:
        raise _unbound()


class CoordinationService(CoordinationState, Protocol):
    """A CoordinationState shared as a service: who holds what, fencing
    tokens, the agents, release-all and waiting for messages."""

    def lease(self, resource_key: str, /) -> Lease | None:
        raise _unbound()

    def leases(self, prefix: str = "", /) -> list[Lease]:
        raise _unbound()

    def check_lease(self, agent_id: str, resource_key: str, token: int, /) -> int:
        raise _unbound()

    def agents(self, /) -> list[AgentInfo]:
        raise _unbound()

    def release_all(self, agent_id: str, /) -> list[str]:
        raise _unbound()

    def wait_inbox(self, agent_id: str, timeout: float = 25.0, /) -> list[Message]:
        raise _unbound()

    def claim_many(self, agent_id: str, resource_keys: list[str], /) -> list[Lease]:
        raise _unbound()


class ServerState(CoordinationService, Protocol):
    """A CoordinationService kept on a server (halvex_redis, and a state in
    one database file): bounded reads, the confirmation of drained batches,
    the activity log and the server's clock."""

    def inbox_batch(self, agent_id: str, max_count: int, max_bytes: int,
                    /) -> tuple[list[Message], int]:
        raise _unbound()

    def drain_batch(self, agent_id: str, max_count: int, max_bytes: int,
                    /) -> tuple[list[Message], int]:
        raise _unbound()

    def confirm(self, /) -> None:
        raise _unbound()

    def lease_many(self, keys: list[str], /) -> list[Lease | None]:
        raise _unbound()

    def take_batch(self, agent_id: str, max_count: int, max_bytes: int, timeout: float = 0.0,
                   /) -> Batch:
        raise _unbound()

    def acknowledge(self, agent_id: str, ack: str, /) -> int:
        raise _unbound()

    def activity(self, after: str | None = None, count: int = 100, /) -> list[dict[str, Any]]:
        raise _unbound()

    def now(self, /) -> float:
        raise _unbound()


class TaskGraph(ServerState, Protocol):
    """A ServerState that also keeps a graph of tasks with dependencies, whose
    next ready task one agent claims at a time."""

    def add_task(self, agent_id: str, task_id: str, title: str,
                 depends_on: Sequence[str] = (), /) -> Task:
        raise _unbound()

    def claim_next(self, agent_id: str, prefix: str = "", wait: float = 0.0, /) -> Next:
        raise _unbound()

    def complete_task(self, agent_id: str, task_id: str, note: str = "", /) -> Task:
        raise _unbound()

    def fail_task(self, agent_id: str, task_id: str, reason: str, /) -> Task:
        raise _unbound()

    def reset_task(self, agent_id: str, task_id: str, /) -> Task:
        raise _unbound()

    def tasks(self, prefix: str = "", /) -> list[Task]:
        raise _unbound()


class AsyncCoordinationState(Protocol):
    """CoordinationState with coroutine methods."""

    async def claim_file(self, agent_id: str, path: str, /) -> str:
        raise _unbound()

    async def claim_task(self, agent_id: str, task_id: str, /) -> str:
        raise _unbound()

    async def release(self, agent_id: str, resource_key: str, /) -> None:
        raise _unbound()

    async def renew_claim(self, agent_id: str, resource_key: str, /) -> str:
        raise _unbound()

    async def send_message(self, from_agent: str, to_agent: str, content: str, /) -> Message:
        raise _unbound()

    async def broadcast(self, from_agent: str, content: str, /) -> Message:
        raise _unbound()

    async def inbox(self, agent_id: str, /) -> list[Message]:
        raise _unbound()

    async def drain_inbox(self, agent_id: str, /) -> list[Message]:
        raise _unbound()

    async def status(self, agent_id: str, /) -> str:
        raise _unbound()


class AsyncCoordinationService(AsyncCoordinationState, Protocol):
    """CoordinationService with coroutine methods."""

    async def lease(self, resource_key: str, /) -> Lease | None:
        raise _unbound()

    async def leases(self, prefix: str = "", /) -> list[Lease]:
        raise _unbound()

    async def check_lease(self, agent_id: str, resource_key: str, token: int, /) -> int:
        raise _unbound()

    async def agents(self, /) -> list[AgentInfo]:
        raise _unbound()

    async def release_all(self, agent_id: str, /) -> list[str]:
        raise _unbound()

    async def wait_inbox(self, agent_id: str, timeout: float = 25.0, /) -> list[Message]:
        raise _unbound()

    async def claim_many(self, agent_id: str, resource_keys: list[str], /) -> list[Lease]:
        raise _unbound()


class AsyncServerState(AsyncCoordinationService, Protocol):
    """ServerState with coroutine methods."""

    async def inbox_batch(self, agent_id: str, max_count: int, max_bytes: int,
                          /) -> tuple[list[Message], int]:
        raise _unbound()

    async def drain_batch(self, agent_id: str, max_count: int, max_bytes: int,
                          /) -> tuple[list[Message], int]:
        raise _unbound()

    async def confirm(self, /) -> None:
        raise _unbound()

    async def lease_many(self, keys: list[str], /) -> list[Lease | None]:
        raise _unbound()

    async def take_batch(self, agent_id: str, max_count: int, max_bytes: int,
                         timeout: float = 0.0, /) -> Batch:
        raise _unbound()

    async def acknowledge(self, agent_id: str, ack: str, /) -> int:
        raise _unbound()

    async def activity(self, after: str | None = None,
                       count: int = 100, /) -> list[dict[str, Any]]:
        raise _unbound()

    async def now(self, /) -> float:
        raise _unbound()


class AsyncTaskGraph(AsyncServerState, Protocol):
    """TaskGraph with coroutine methods."""

    async def add_task(self, agent_id: str, task_id: str, title: str,
                       depends_on: Sequence[str] = (), /) -> Task:
        raise _unbound()

    async def claim_next(self, agent_id: str, prefix: str = "", wait: float = 0.0,
                         /) -> Next:
        raise _unbound()

    async def complete_task(self, agent_id: str, task_id: str, note: str = "", /) -> Task:
        raise _unbound()

    async def fail_task(self, agent_id: str, task_id: str, reason: str, /) -> Task:
        raise _unbound()

    async def reset_task(self, agent_id: str, task_id: str, /) -> Task:
        raise _unbound()

    async def tasks(self, prefix: str = "", /) -> list[Task]:
        raise _unbound()
