"""The state behind the server: one object per MCP session, with coroutine methods.

Each MCP session (one HTTP session, or the one stdio client) gets a `State`
of its own from the `Backend`, so that a drained batch is confirmed only by
that session's next call, as halvex_redis confirms by an object's next call.
With --redis a session's state is a halvex_redis.asyncio object; in-process
it is a `LocalState` over one shared halvex_core object, which keeps the
pending batches itself.
"""

from __future__ import annotations

import collections
import time
from typing import Any, Deque, Dict, Iterable, List, Optional, Protocol, Set, Tuple, cast

from .state import Message

# A drained batch left unconfirmed this long (its session went silent) is
# returned by the next drain of that agent from any session, as halvex_redis
# hands its batches over.
HANDOVER = 30.0

Batch = Tuple[List[Message], int]


class State(Protocol):
    """A CoordinationState with coroutine methods and batched reads, as
    halvex_redis.asyncio.CoordinationState has them."""

    async def claim_file(self, agent_id: str, path: str) -> str: ...
    async def claim_task(self, agent_id: str, task_id: str) -> str: ...
    async def release(self, agent_id: str, resource_key: str) -> None: ...
    async def renew_claim(self, agent_id: str, resource_key: str) -> str: ...
    async def send_message(self, from_agent: str, to_agent: str, content: str) -> Message: ...
    async def broadcast(self, from_agent: str, content: str) -> Message: ...
    async def status(self, agent_id: str) -> str: ...
    async def inbox_batch(self, agent_id: str, max_count: int, max_bytes: int) -> Batch: ...
    async def drain_batch(self, agent_id: str, max_count: int, max_bytes: int) -> Batch: ...
    async def confirm(self) -> None: ...


class Backend(Protocol):
    # Exceptions meaning "the backend did not answer or refused the call",
    # as opposed to a refusal of the state (RuntimeError) or a fault of ours.
    faults: Tuple[type, ...]

    def new_state(self) -> State:
        """A state object for one MCP session."""

    def after_lost_reply(self, state: State) -> State:
        """The state a session uses once a drain reply of `state` is known lost:
        that batch must not be confirmed by the session's next call."""

    async def aclose(self) -> None: ...


def take(messages: Iterable[Message], max_count: int, max_bytes: int) -> List[Message]:
    """The first messages within both limits, and always the first one."""
    out: List[Message] = []
    size = 0
    for message in messages:
        size += len(message[2].encode("utf-8"))
        if out and (len(out) >= max_count or size > max_bytes):
            break
        out.append(message)
    return out


# -- in-process ----------------------------------------------------------------

class _Pending(object):
    __slots__ = ("messages", "owner", "taken")

    def __init__(self, messages: List[Message], owner: "LocalState") -> None:
        self.messages = messages
        self.owner = owner
        self.taken = time.monotonic()


class _Mailbox(object):
    """One agent's messages as the server holds them: drained batches awaiting
    confirmation (oldest first), then those not yet returned by any drain."""

    __slots__ = ("pending", "queue")

    def __init__(self) -> None:
        self.pending: List[_Pending] = []
        self.queue: Deque[Message] = collections.deque()

    def waiting(self) -> int:
        return sum(len(p.messages) for p in self.pending) + len(self.queue)

    def give_back(self, batches: List[_Pending]) -> None:
        """Puts batches back at the head of the queue, in their order."""
        for batch in reversed(batches):
            self.pending.remove(batch)
            self.queue.extendleft(reversed(batch.messages))


class LocalBackend(object):
    """One halvex_core.CoordinationState shared by every session.

    The server moves each agent's messages out of the native inbox into a
    mailbox of its own as they arrive (a send absorbs its recipient's inbox,
    a broadcast every named agent's), so that a read copies only the batch it
    returns: one call never converts a whole large inbox at once.
    """

    faults: Tuple[type, ...] = ()

    def __init__(self, native: Any) -> None:
        self.native = native
        self.boxes: Dict[str, _Mailbox] = {}
        self.named: Set[str] = set()  # every agent a call has named: broadcast recipients

    def new_state(self) -> "LocalState":
        return LocalState(self)

    def after_lost_reply(self, state: State) -> State:
        assert isinstance(state, LocalState)
        state.give_back()
        return state

    async def aclose(self) -> None:
        self.boxes.clear()

    def box(self, agent: str) -> _Mailbox:
        found = self.boxes.get(agent)
        if found is None:
            found = self.boxes[agent] = _Mailbox()
        return found

    def absorb(self, agent: str) -> _Mailbox:
        box = self.box(agent)
        box.queue.extend(self.native.drain_inbox(agent))
        return box


class LocalState(object):
    """One session's view of the in-process state."""

    def __init__(self, backend: LocalBackend) -> None:
        self.backend = backend
        self.native = backend.native
        self.owed: List[Tuple[str, _Pending]] = []  # drains the next call confirms

    def _settle(self) -> None:
        """Confirms this session's drains: a call after them shows their replies arrived."""
        for agent, batch in self.owed:
            box = self.backend.boxes.get(agent)
            if box is not None and batch in box.pending:
                box.pending.remove(batch)
        self.owed = []

    def give_back(self) -> None:
        """Returns this session's unconfirmed batches to their agents' queues."""
        for agent, batch in self.owed:
            box = self.backend.boxes.get(agent)
            if box is not None and batch in box.pending:
                box.give_back([batch])
        self.owed = []

    def _named(self, *agents: str) -> None:
        self.backend.named.update(agents)

    async def claim_file(self, agent_id: str, path: str) -> str:
        self._settle()
        self._named(agent_id)
        return str(self.native.claim_file(agent_id, path))

    async def claim_task(self, agent_id: str, task_id: str) -> str:
        self._settle()
        self._named(agent_id)
        return str(self.native.claim_task(agent_id, task_id))

    async def release(self, agent_id: str, resource_key: str) -> None:
        self._settle()
        self._named(agent_id)
        self.native.release(agent_id, resource_key)

    async def renew_claim(self, agent_id: str, resource_key: str) -> str:
        self._settle()
        return str(self.native.renew_claim(agent_id, resource_key))

    async def send_message(self, from_agent: str, to_agent: str, content: str) -> Message:
        self._settle()
        self._named(from_agent, to_agent)
        sent: Message = self.native.send_message(from_agent, to_agent, content)
        self.backend.absorb(to_agent)
        return sent

    async def broadcast(self, from_agent: str, content: str) -> Message:
        self._settle()
        self._named(from_agent)
        sent: Message = self.native.broadcast(from_agent, content)
        for agent in self.backend.named:
            self.backend.absorb(agent)
        return sent

    async def status(self, agent_id: str) -> str:
        self._settle()
        return str(self.native.status(agent_id))

    async def inbox_batch(self, agent_id: str, max_count: int, max_bytes: int) -> Batch:
        self._settle()
        box = self.backend.absorb(agent_id)

        def in_order() -> Iterable[Message]:
            for batch in box.pending:
                yield from batch.messages
            yield from box.queue

        got = take(in_order(), max_count, max_bytes)
        return got, box.waiting() - len(got)

    async def drain_batch(self, agent_id: str, max_count: int, max_bytes: int) -> Batch:
        self._settle()
        box = self.backend.absorb(agent_id)
        now = time.monotonic()
        box.give_back([p for p in box.pending if now - p.taken >= HANDOVER])
        got = take(box.queue, max_count, max_bytes)
        for _ in got:
            box.queue.popleft()
        if got:
            batch = _Pending(got, self)
            box.pending.append(batch)
            self.owed.append((agent_id, batch))
        return got, box.waiting() - len(got)

    async def confirm(self) -> None:
        self._settle()


# -- Redis ---------------------------------------------------------------------

class RedisBackend(object):
    """halvex_redis.asyncio objects for one URL and namespace. halvex_redis
    builds the client from the URL (cluster and Sentinel URLs included) and
    shares it, with its pool, among the objects of this event loop."""

    def __init__(self, url: str, namespace: str) -> None:
        import redis.exceptions

        self.url = url
        self.namespace = namespace
        self.faults = (redis.exceptions.RedisError,)

    def new_state(self) -> State:
        import halvex_redis.asyncio

        made: Any = halvex_redis.asyncio.CoordinationState(self.url, namespace=self.namespace)
        return cast(State, made)

    def after_lost_reply(self, state: State) -> State:
        # The old object would confirm the lost batch with its next call; left
        # alone, the batch goes to this agent's next drain after the hand-over.
        return self.new_state()

    async def aclose(self) -> None:
        """Nothing of ours to close: the client and its pool are halvex_redis's,
        and go with the event loop."""


# -- sessions ------------------------------------------------------------------

class Ticket(object):
    """A drain's reply: settled as written in full, or lost, by the transport."""

    __slots__ = ("slot", "state", "written")

    def __init__(self, slot: "Slot", state: State) -> None:
        self.slot = slot
        self.state = state
        self.written: Optional[bool] = None

    def settle(self, written: bool) -> None:
        if self.written is not None:
            return
        self.written = written
        if not written:
            self.slot.reply_lost(self)


class Slot(object):
    """The state of one MCP session and the drain replies it still owes."""

    def __init__(self, backend: Backend) -> None:
        self.backend = backend
        self.state = backend.new_state()
        self.tickets: List[Ticket] = []
        self.used = time.monotonic()

    def ticket(self) -> Ticket:
        made = Ticket(self, self.state)
        # Only the latest drains matter: the state confirms the older ones
        # with the call that follows them.
        self.tickets = [t for t in self.tickets if t.written is None] + [made]
        return made

    def reply_lost(self, ticket: Ticket) -> None:
        if ticket.state is self.state:
            self.state = self.backend.after_lost_reply(self.state)
        self.tickets = [t for t in self.tickets if t.state is self.state]

    async def end(self, normal: bool) -> None:
        """Confirms what this session owes when the server ends normally and
        every drain reply was written in full; otherwise leaves its batches
        to the agents' next drains."""
        mine = [t for t in self.tickets if t.state is self.state]
        if normal and all(t.written for t in mine):
            await self.state.confirm()
        elif isinstance(self.state, LocalState):
            self.state.give_back()
