"""The state behind the server: one object with coroutine methods, shared by
every MCP session and request.

Drained batches are held until the agent acknowledges them (the `ack` of a
drain result): no session, request or end of input confirms one, so a lost
reply, a crash on either side or a restart costs a redelivery after the
hand-over, never a message. The state lives outside the process: in an
SQLite file (halvex_sqlite.asyncio; --memory is such a file in a private
temporary folder) or in Redis (halvex_redis.asyncio). Nothing of it is kept
here.
"""

from __future__ import annotations

import asyncio
import time
from typing import Any, Callable, Protocol, Tuple, cast

from halvex_types import HANDOVER_SECS, AgentInfo, Batch, Lease, Message, Task

# A drained batch left unacknowledged this long comes back, first, with the
# agent's next drain.
HANDOVER = float(HANDOVER_SECS)

Listed = Tuple[list[Message], int]


class State(Protocol):
    """A CoordinationState with coroutine methods, batched reads and held
    drains, as halvex_redis.asyncio.CoordinationState has them."""

    async def claim_file(self, agent_id: str, path: str) -> str: ...
    async def claim_task(self, agent_id: str, task_id: str) -> str: ...
    async def release(self, agent_id: str, resource_key: str) -> None: ...
    async def renew_claim(self, agent_id: str, resource_key: str) -> str: ...
    async def send_message(self, from_agent: str, to_agent: str, content: str) -> Message: ...
    async def broadcast(self, from_agent: str, content: str) -> Message: ...
    async def status(self, agent_id: str) -> str: ...
    async def inbox_batch(self, agent_id: str, max_count: int, max_bytes: int) -> Listed: ...
    async def take_batch(self, agent_id: str, max_count: int, max_bytes: int,
                         timeout: float = 0.0) -> Batch: ...
    async def acknowledge(self, agent_id: str, ack: str) -> int: ...
    async def lease(self, resource_key: str) -> Lease | None: ...
    async def leases(self, prefix: str = "") -> list[Lease]: ...
    async def check_lease(self, agent_id: str, resource_key: str, token: int) -> int: ...
    async def agents(self) -> list[AgentInfo]: ...
    async def release_all(self, agent_id: str) -> list[str]: ...
    async def tasks(self, prefix: str = "") -> list[Task]: ...


class Backend(Protocol):
    # Exceptions meaning "the backend did not answer or refused the call",
    # as opposed to a refusal of the state (RuntimeError) or a fault of ours.
    faults: tuple[type, ...]
    state: State

    async def wait_batch(self, agent_id: str, timeout: float, max_count: int,
                         max_bytes: int) -> Batch:
        """A held batch, waiting up to `timeout` seconds when there is none."""

    async def delete_namespace(self) -> int:
        """Deletes everything of the namespace served; how many entries went."""

    async def aclose(self) -> None: ...


# -- SQLite --------------------------------------------------------------------

# A wait on the SQLite file wakes when a commit puts mail in the inbox; an
# unacknowledged batch comes back at its hand-over time, which no commit
# announces. Waiting in slices this long notices it.
WAIT_SLICE = HANDOVER / 6


class SqliteState:
    """A halvex_sqlite.asyncio object, made at its first call in the event
    loop's executor: opening the file takes its write lock, which another
    process may hold for a while, and the event loop must not stall on it
    meanwhile."""

    def __init__(self, make: Callable[[], Any]) -> None:
        self._make = make
        self._made: Any = None
        self._making = asyncio.Lock()

    async def _state(self) -> Any:
        if self._made is None:
            async with self._making:  # concurrent first calls
                if self._made is None:
                    loop = asyncio.get_running_loop()
                    self._made = await loop.run_in_executor(None, self._make)
        return self._made

    def __getattr__(self, name: str) -> Callable[..., Any]:
        if name.startswith("_"):
            raise AttributeError(name)

        async def call(*args: Any, **kwargs: Any) -> Any:
            return await getattr(await self._state(), name)(*args, **kwargs)

        return call

    def close(self) -> None:
        if self._made is not None:
            self._made.close()


class SqliteBackend:
    """A halvex_sqlite.asyncio object on one file and namespace: the state of
    every process on the machine that opens that file."""

    def __init__(self, path: str, namespace: str) -> None:
        import halvex_sqlite

        self.path = path
        self.namespace = namespace
        self.faults = (halvex_sqlite.StateFileError,)
        self._own = SqliteState(self._open)
        self.state = cast(State, self._own)

    def _open(self) -> Any:
        import halvex_sqlite.asyncio

        return halvex_sqlite.asyncio.CoordinationState(self.path, namespace=self.namespace)

    async def wait_batch(self, agent_id: str, timeout: float, max_count: int,
                         max_bytes: int) -> Batch:
        deadline = time.monotonic() + timeout
        while True:
            left = deadline - time.monotonic()
            got = await self.state.take_batch(agent_id, max_count, max_bytes,
                                              max(min(left, WAIT_SLICE), 0.0))
            if got.messages or deadline - time.monotonic() <= 0:
                return got

    async def delete_namespace(self) -> int:
        import halvex_sqlite.asyncio

        return await halvex_sqlite.asyncio.delete_namespace(self.namespace, self.path)

    async def aclose(self) -> None:
        self._own.close()


# -- Redis ---------------------------------------------------------------------

class RedisBackend:
    """A halvex_redis.asyncio object for one URL and namespace. halvex_redis
    builds the client from the URL (cluster and Sentinel URLs included) and
    shares it, with its pool, among the objects of this event loop."""

    def __init__(self, url: str, namespace: str) -> None:
        import halvex_redis.asyncio
        import redis.exceptions

        self.url = url
        self.namespace = namespace
        self.faults = (redis.exceptions.RedisError,)
        made: Any = halvex_redis.asyncio.CoordinationState(url, namespace=namespace)
        self.state = cast(State, made)

    async def wait_batch(self, agent_id: str, timeout: float, max_count: int,
                         max_bytes: int) -> Batch:
        return await self.state.take_batch(agent_id, max_count, max_bytes, timeout)

    async def delete_namespace(self) -> int:
        import halvex_redis.asyncio

        return await halvex_redis.asyncio.delete_namespace(self.namespace, self.url)

    async def aclose(self) -> None:
        """Nothing of ours to close: the client and its pool are halvex_redis's,
        and go with the event loop."""
