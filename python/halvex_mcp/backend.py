"""The state behind the server: one object per MCP session, with coroutine methods.

Each MCP session (one HTTP session, or the one stdio client) gets a `State`
of its own from the `Backend`, so that a drained batch is confirmed only by
that session's next call, as halvex_redis confirms by an object's next call.
With --redis a session's state is a halvex_redis.asyncio object; in-process
it is a `LocalState` over one shared halvex_core object, which keeps the
pending batches itself, and beside the native state what the native class
does not expose (fencing tokens, grant and renewal times, last seen): every
call runs on the event loop without yielding, so the native call and the
bookkeeping are one step that no other call interleaves with.
"""

from __future__ import annotations

import collections
import time
from typing import Any, Iterable, List, Protocol, Tuple, cast

import anyio
from halvex_types import HANDOVER_SECS, LEASE_SECS, AgentInfo, Lease, Message, check_lease

# A drained batch left unconfirmed this long (its session went silent) is
# returned by the next drain of that agent from any session, as halvex_redis
# hands its batches over.
HANDOVER = float(HANDOVER_SECS)

# The in-process activity the board shows: the latest records, as the
# Redis namespace's log has them (content shortened).
ACTIVITY_KEPT = 200
ACTIVITY_CONTENT = 120

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
    async def lease(self, resource_key: str) -> Lease | None: ...
    async def leases(self, prefix: str = "") -> list[Lease]: ...
    async def check_lease(self, agent_id: str, resource_key: str, token: int) -> int: ...
    async def agents(self) -> list[AgentInfo]: ...
    async def release_all(self, agent_id: str) -> list[str]: ...
    async def wait_inbox(self, agent_id: str, timeout: float) -> list[Message]: ...


async def drain_then_wait(state: State, agent_id: str, timeout: float, max_count: int,
                          max_bytes: int) -> Batch:
    """A drained batch; when there is none, waits up to `timeout` seconds for
    messages and drains them. halvex_redis's wait drains the whole inbox:
    it is called only once a bounded drain found it empty."""
    got = await state.drain_batch(agent_id, max_count, max_bytes)
    if got[0] or timeout <= 0:
        return got
    return await state.wait_inbox(agent_id, timeout), 0


class Backend(Protocol):
    # Exceptions meaning "the backend did not answer or refused the call",
    # as opposed to a refusal of the state (RuntimeError) or a fault of ours.
    faults: tuple[type, ...]

    def new_state(self) -> State:
        """A state object for one MCP session."""

    def after_lost_reply(self, state: State) -> State:
        """The state a session uses once a drain reply of `state` is known lost:
        that batch must not be confirmed by the session's next call."""

    async def wait_batch(self, state: State, agent_id: str, timeout: float, max_count: int,
                         max_bytes: int) -> Batch:
        """A drained batch, waiting up to `timeout` seconds when there is none."""

    def abandon(self, state: State) -> None:
        """A session ended without confirming: its unconfirmed batches go
        back now where the backend can tell (else after the hand-over)."""

    async def aclose(self) -> None: ...


def take(messages: Iterable[Message], max_count: int, max_bytes: int) -> list[Message]:
    """The first messages within both limits, and always the first one."""
    out: list[Message] = []
    size = 0
    for message in messages:
        size += len(message[2].encode("utf-8"))
        if out and (len(out) >= max_count or size > max_bytes):
            break
        out.append(message)
    return out


# -- in-process ----------------------------------------------------------------

class _Pending:
    __slots__ = ("messages", "owner", "taken")

    def __init__(self, messages: list[Message], owner: LocalState) -> None:
        self.messages = messages
        self.owner = owner
        self.taken = time.monotonic()


class _Mailbox:
    """One agent's messages as the server holds them: drained batches awaiting
    confirmation (oldest first), then those not yet returned by any drain."""

    __slots__ = ("pending", "queue")

    def __init__(self) -> None:
        self.pending: list[_Pending] = []
        self.queue: collections.deque[Message] = collections.deque()

    def waiting(self) -> int:
        return sum(len(p.messages) for p in self.pending) + len(self.queue)

    def give_back(self, batches: list[_Pending]) -> None:
        """Puts batches back at the head of the queue, in their order."""
        for batch in reversed(batches):
            self.pending.remove(batch)
            self.queue.extendleft(reversed(batch.messages))


class _Grant:
    __slots__ = ("holder", "token", "granted", "renewed")

    def __init__(self, holder: str, token: int, granted: int, renewed: int) -> None:
        self.holder, self.token, self.granted, self.renewed = holder, token, granted, renewed


class LocalBackend:
    """One halvex_core.CoordinationState shared by every session.

    The server moves each agent's messages out of the native inbox into a
    mailbox of its own as they arrive (a send absorbs its recipient's inbox,
    a broadcast every named agent's), so that a read copies only the batch it
    returns: one call never converts a whole large inbox at once.
    """

    faults: tuple[type, ...] = ()

    def __init__(self, native: Any) -> None:
        self.native = native
        self.boxes: dict[str, _Mailbox] = {}
        self.named: set[str] = set()  # every agent a call has named: broadcast recipients
        # What the native class keeps to itself, kept here call by call.
        self.tokens: dict[str, int] = {}  # key -> last token granted; never lowered
        self.claims: dict[str, _Grant] = {}  # key -> the stored claim
        self.held: dict[str, set[str]] = {}  # agent -> keys of its stored claims
        self.known: set[str] = set()  # the native class's known agents
        self.seen: dict[str, int] = {}  # agent -> last call as the acting agent
        self.wakers: dict[str, anyio.Event] = {}  # agent -> set when messages arrive
        self.closing = False
        self.activity: collections.deque[dict[str, Any]] = collections.deque(maxlen=ACTIVITY_KEPT)
        self.activity_count = 0

    def note(self, kind: str, **fields: Any) -> None:
        """Adds an activity record for the board."""
        self.activity_count += 1
        if "content" in fields:
            content = fields["content"]
            fields["content"] = (content if len(content) <= ACTIVITY_CONTENT
                                 else content[:ACTIVITY_CONTENT - 1] + "\u2026")
        self.activity.append(dict(fields, kind=kind, at=int(time.time()),
                                  id=str(self.activity_count), seq=self.activity_count))

    def new_state(self) -> LocalState:
        return LocalState(self)

    def after_lost_reply(self, state: State) -> State:
        self.abandon(state)
        return state

    async def wait_batch(self, state: State, agent_id: str, timeout: float, max_count: int,
                         max_bytes: int) -> Batch:
        return await self._own(state).wait_batch(agent_id, timeout, max_count, max_bytes)

    def abandon(self, state: State) -> None:
        self._own(state).give_back()

    def _own(self, state: State) -> LocalState:
        # Only this backend makes its sessions' states.
        return cast(LocalState, state)

    async def aclose(self) -> None:
        self.wake_all()
        self.boxes.clear()

    def wake_all(self) -> None:
        """Ends every wait now (the server is stopping)."""
        self.closing = True
        for event in self.wakers.values():
            event.set()
        self.wakers.clear()

    def wake(self, agent: str) -> None:
        event = self.wakers.pop(agent, None)
        if event is not None:
            event.set()

    def waker(self, agent: str) -> anyio.Event:
        event = self.wakers.get(agent)
        if event is None:
            event = self.wakers[agent] = anyio.Event()
        return event

    def grant(self, agent: str, key: str) -> None:
        """A claim was granted: first claim, claim after release or takeover."""
        old = self.claims.get(key)
        if old is not None:
            self.held.get(old.holder, set()).discard(key)
            if old.holder != agent:  # taken over once its lease ran out
                self.note("released", agent=old.holder, key=key)
        token = self.tokens[key] = self.tokens.get(key, 0) + 1
        now = int(time.time())
        self.claims[key] = _Grant(agent, token, now, now)
        self.held.setdefault(agent, set()).add(key)
        self.known.add(agent)
        self.note("claimed", agent=agent, key=key)

    def dropped(self, agent: str, key: str) -> None:
        self.claims.pop(key, None)
        self.held.get(agent, set()).discard(key)
        self.known.add(agent)
        self.note("released", agent=agent, key=key)

    def lease_of(self, key: str, now: int) -> Lease | None:
        grant = self.claims.get(key)
        if grant is None:
            return None
        return Lease(key, grant.holder, grant.token, grant.granted, grant.renewed,
                     grant.renewed + LEASE_SECS, max(now - grant.renewed, 0) < LEASE_SECS)

    def box(self, agent: str) -> _Mailbox:
        found = self.boxes.get(agent)
        if found is None:
            found = self.boxes[agent] = _Mailbox()
        return found

    def absorb(self, agent: str) -> _Mailbox:
        box = self.box(agent)
        box.queue.extend(self.native.drain_inbox(agent))
        return box


class LocalState:
    """One session's view of the in-process state."""

    def __init__(self, backend: LocalBackend) -> None:
        self.backend = backend
        self.native = backend.native
        self.owed: list[tuple[str, _Pending]] = []  # drains the next call confirms

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
                self.backend.wake(agent)
        self.owed = []

    def _named(self, *agents: str) -> None:
        self.backend.named.update(agents)

    def _acting(self, agent: str) -> None:
        self.backend.seen[agent] = int(time.time())

    async def claim_file(self, agent_id: str, path: str) -> str:
        return self._claim(agent_id, "file:", path, self.native.claim_file)

    async def claim_task(self, agent_id: str, task_id: str) -> str:
        return self._claim(agent_id, "task:", task_id, self.native.claim_task)

    def _claim(self, agent_id: str, prefix: str, name: str, method: Any) -> str:
        self._settle()
        self._named(agent_id)
        self._acting(agent_id)
        got = str(method(agent_id, name))
        self.backend.grant(agent_id, prefix + name)
        return got

    async def release(self, agent_id: str, resource_key: str) -> None:
        self._settle()
        self._named(agent_id)
        self._acting(agent_id)
        self.native.release(agent_id, resource_key)
        self.backend.dropped(agent_id, resource_key)

    async def renew_claim(self, agent_id: str, resource_key: str) -> str:
        self._settle()
        self._acting(agent_id)
        got = str(self.native.renew_claim(agent_id, resource_key))
        grant = self.backend.claims.get(resource_key)
        if grant is not None:
            grant.renewed = int(time.time())
        return got

    async def send_message(self, from_agent: str, to_agent: str, content: str) -> Message:
        self._settle()
        self._named(from_agent, to_agent)
        self._acting(from_agent)
        sent: Message = self.native.send_message(from_agent, to_agent, content)
        self.backend.known.add(to_agent)
        self.backend.note("sent", **{"from": from_agent, "to": to_agent, "content": content})
        self.backend.absorb(to_agent)
        self.backend.wake(to_agent)
        return sent

    async def broadcast(self, from_agent: str, content: str) -> Message:
        self._settle()
        self._named(from_agent)
        self._acting(from_agent)
        sent: Message = self.native.broadcast(from_agent, content)
        self.backend.known.add(from_agent)
        self.backend.note("broadcast", **{"from": from_agent, "content": content})
        for agent in self.backend.named:
            if self.backend.absorb(agent).queue:
                self.backend.wake(agent)
        return sent

    async def status(self, agent_id: str) -> str:
        self._settle()
        return str(self.native.status(agent_id))

    async def lease(self, resource_key: str) -> Lease | None:
        self._settle()
        return self.backend.lease_of(resource_key, int(time.time()))

    async def leases(self, prefix: str = "") -> list[Lease]:
        self._settle()
        now = int(time.time())
        found = [self.backend.lease_of(k, now) for k in sorted(self.backend.claims)
                 if k.startswith(prefix)]
        return [lease for lease in found if lease is not None]

    async def check_lease(self, agent_id: str, resource_key: str, token: int) -> int:
        self._settle()
        now = int(time.time())
        return check_lease(self.backend.lease_of(resource_key, now), agent_id, resource_key,
                           token, now)

    async def agents(self) -> list[AgentInfo]:
        self._settle()
        backend, now = self.backend, int(time.time())
        out = []
        for agent in sorted(backend.known):
            box = backend.absorb(agent)
            live = sum(1 for key in backend.held.get(agent, ())
                       if max(now - backend.claims[key].renewed, 0) < LEASE_SECS)
            out.append(AgentInfo(agent, str(self.native.status(agent)), len(box.queue),
                                 box.waiting() - len(box.queue), live, backend.seen.get(agent)))
        return out

    async def release_all(self, agent_id: str) -> list[str]:
        self._settle()
        self._acting(agent_id)
        keys = sorted(self.backend.held.get(agent_id, ()))
        for key in keys:
            self.native.release(agent_id, key)
            self.backend.dropped(agent_id, key)
        return keys

    async def wait_inbox(self, agent_id: str, timeout: float) -> list[Message]:
        got, _ = await self.wait_batch(agent_id, timeout, 1 << 62, 1 << 62)
        return got

    async def wait_batch(self, agent_id: str, timeout: float, max_count: int,
                         max_bytes: int) -> Batch:
        """drain_batch; when that finds nothing, waits for a send or broadcast
        to this agent to wake it (or the time to run out) and drains again.
        The empty check and taking the waker happen in one step of the event
        loop, so a message cannot land between them unnoticed."""
        deadline = anyio.current_time() + timeout
        while True:
            got = await self.drain_batch(agent_id, max_count, max_bytes)
            left = deadline - anyio.current_time()
            if got[0] or left <= 0 or self.backend.closing:
                return got
            # A batch another session left unconfirmed comes back at its
            # hand-over time, which no send announces: wake for it too.
            box = self.backend.box(agent_id)
            if box.pending:
                due = min(p.taken for p in box.pending) + HANDOVER - time.monotonic()
                left = min(left, max(due, 0.0))
            with anyio.move_on_after(left):
                await self.backend.waker(agent_id).wait()

    async def inbox_batch(self, agent_id: str, max_count: int, max_bytes: int) -> Batch:
        self._settle()
        self._acting(agent_id)
        box = self.backend.absorb(agent_id)

        def in_order() -> Iterable[Message]:
            for batch in box.pending:
                yield from batch.messages
            yield from box.queue

        got = take(in_order(), max_count, max_bytes)
        return got, box.waiting() - len(got)

    async def drain_batch(self, agent_id: str, max_count: int, max_bytes: int) -> Batch:
        self._settle()
        self._acting(agent_id)
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

class RedisBackend:
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

    async def wait_batch(self, state: State, agent_id: str, timeout: float, max_count: int,
                         max_bytes: int) -> Batch:
        return await drain_then_wait(state, agent_id, timeout, max_count, max_bytes)

    def abandon(self, state: State) -> None:
        """Nothing to do: the batches go to the agent's next drain after the hand-over."""

    async def aclose(self) -> None:
        """Nothing of ours to close: the client and its pool are halvex_redis's,
        and go with the event loop."""


# -- sessions ------------------------------------------------------------------

class Ticket:
    """A drain's reply: settled as written in full, or lost, by the transport."""

    __slots__ = ("slot", "state", "written")

    def __init__(self, slot: Slot, state: State) -> None:
        self.slot = slot
        self.state = state
        self.written: bool | None = None

    def settle(self, written: bool) -> None:
        if self.written is not None:
            return
        self.written = written
        if not written:
            self.slot.reply_lost(self)


class Slot:
    """The state of one MCP session and the drain replies it still owes."""

    def __init__(self, backend: Backend) -> None:
        self.backend = backend
        self.state = backend.new_state()
        self.tickets: list[Ticket] = []
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
        else:
            self.backend.abandon(self.state)
