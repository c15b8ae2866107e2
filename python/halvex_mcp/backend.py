"""The state behind the server: one object per MCP session, with coroutine methods.

Each MCP session (one HTTP session, or the one stdio client) gets a `State`
of its own from the `Backend`, so that a drained batch is confirmed only by
that session's next call, as halvex_redis and halvex_sqlite confirm by an
object's next call. The state lives outside the process: in an SQLite file
(halvex_sqlite.asyncio; --memory is such a file in a private temporary
folder) or in Redis (halvex_redis.asyncio). Nothing of it is kept here.
"""

from __future__ import annotations

import asyncio
import time
import weakref
from typing import Any, Callable, List, Protocol, Tuple, cast

from halvex_types import HANDOVER_SECS, AgentInfo, Lease, Message

# A drained batch left unconfirmed this long (its session went silent) is
# returned by the next drain of that agent from any session, as halvex_redis
# and halvex_sqlite hand their batches over.
HANDOVER = float(HANDOVER_SECS)

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

    def discard(self, state: State) -> None:
        """The session of `state` is over (confirmed or abandoned): frees what
        the object holds."""

    async def aclose(self) -> None: ...


# -- SQLite --------------------------------------------------------------------

# A wait on the SQLite file wakes when a commit puts mail in the inbox; a
# batch another session left unconfirmed comes back at its hand-over time,
# which no commit announces. Waiting in slices this long notices it.
WAIT_SLICE = HANDOVER / 6


# The calls that drain: one at a time on an object (see SqliteState).
DRAINS = frozenset({"drain_batch", "drain_inbox", "wait_inbox"})


class SqliteState:
    """One session's halvex_sqlite.asyncio object, made at its first call in
    the event loop's executor: opening the file takes its write lock, which
    another process may hold for a while, and the event loop must not stall
    on it meanwhile.

    Drains on it run one at a time: the object counts a batch as answered
    only once its drain has returned to the event loop, and a drain of the
    same agent that ran in between would take that batch as a lost one and
    return it a second time. Concurrent drains on one object happen on HTTP
    (requests of one session, or sessionless clients draining one agent).
    """

    def __init__(self, make: Callable[[], Any]) -> None:
        self._make = make
        self._made: Any = None
        self._making = asyncio.Lock()
        self._draining = asyncio.Lock()

    async def _state(self) -> Any:
        if self._made is None:
            async with self._making:  # concurrent first calls of one HTTP session
                if self._made is None:
                    loop = asyncio.get_running_loop()
                    self._made = await loop.run_in_executor(None, self._make)
        return self._made

    def __getattr__(self, name: str) -> Callable[..., Any]:
        if name.startswith("_"):
            raise AttributeError(name)

        async def call(*args: Any, **kwargs: Any) -> Any:
            return await getattr(await self._state(), name)(*args, **kwargs)

        async def drain(*args: Any, **kwargs: Any) -> Any:
            async with self._draining:
                return await call(*args, **kwargs)

        return drain if name in DRAINS else call

    async def confirm(self) -> None:
        if self._made is not None:  # never used: nothing to confirm, no file to open
            await self._made.confirm()

    def close(self) -> None:
        if self._made is not None:
            self._made.close()


class SqliteBackend:
    """halvex_sqlite.asyncio objects on one file and namespace: the state of
    every process on the machine that opens that file."""

    def __init__(self, path: str, namespace: str) -> None:
        import halvex_sqlite

        self.path = path
        self.namespace = namespace
        self.faults = (halvex_sqlite.StateFileError,)
        self.states: weakref.WeakSet[SqliteState] = weakref.WeakSet()

    def _open(self) -> Any:
        import halvex_sqlite.asyncio

        return halvex_sqlite.asyncio.CoordinationState(self.path, namespace=self.namespace)

    def new_state(self) -> State:
        made = SqliteState(self._open)
        self.states.add(made)
        return cast(State, made)

    def after_lost_reply(self, state: State) -> State:
        # The old object would confirm the lost batch with its next call; left
        # alone, the batch goes to this agent's next drain after the hand-over.
        self.discard(state)
        return self.new_state()

    async def wait_batch(self, state: State, agent_id: str, timeout: float, max_count: int,
                         max_bytes: int) -> Batch:
        deadline = time.monotonic() + timeout
        while True:
            left = deadline - time.monotonic()
            got = await drain_then_wait(state, agent_id, max(min(left, WAIT_SLICE), 0.0),
                                        max_count, max_bytes)
            if got[0] or deadline - time.monotonic() <= 0:
                return got

    def abandon(self, state: State) -> None:
        """Nothing to do: the batches go to the agent's next drain after the hand-over."""

    def discard(self, state: State) -> None:
        own = cast(SqliteState, state)  # only this backend makes its sessions' states
        self.states.discard(own)
        own.close()

    async def aclose(self) -> None:
        for state in list(self.states):
            state.close()
        self.states.clear()


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

    def discard(self, state: State) -> None:
        """Nothing to close: the objects share halvex_redis's client."""

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

    def busy(self) -> bool:
        """A drain of this session's is still to be answered."""
        return any(t.written is None for t in self.tickets)

    def reply_lost(self, ticket: Ticket) -> None:
        if ticket.state is self.state:
            self.state = self.backend.after_lost_reply(self.state)
        self.tickets = [t for t in self.tickets if t.state is self.state]

    async def end(self, normal: bool) -> None:
        """Confirms what this session owes when the server ends normally and
        every drain reply was written in full; otherwise leaves its batches
        to the agents' next drains."""
        mine = [t for t in self.tickets if t.state is self.state]
        try:
            if normal and all(t.written for t in mine):
                await self.state.confirm()
            else:
                self.backend.abandon(self.state)
        finally:
            self.backend.discard(self.state)
