"""halvex_sqlite.CoordinationState with coroutine methods.

The same methods, results, errors and pending drained batches as the
blocking class; each call's transaction runs in the event loop's default
executor, so the loop never waits on the file. A cancelled call may still
have run; a cancelled drain's batch is returned first by the object's next
drain of that agent.
"""
from __future__ import annotations

import asyncio
import functools
import os
import time
from pathlib import Path
from typing import Any, Callable, TypeVar

from halvex_types import AgentInfo, Lease, Message

from . import _core, _rules, activity_args, document
from ._core import DEFAULT_LOG_LIMIT
from ._rules import text
from ._store import StateFileError, default_path

__all__ = ["CoordinationState", "delete_namespace", "default_path", "StateFileError",
           "DEFAULT_LOG_LIMIT", "Lease", "AgentInfo"]

T = TypeVar("T")


async def _off_loop(fn: Callable[..., T], *args: Any) -> T:
    loop = asyncio.get_running_loop()
    return await loop.run_in_executor(None, functools.partial(fn, *args))


def _none(method: str, params: int, surplus: tuple[object, ...]) -> None:
    if surplus:
        raise _rules.surplus_error(method, params, params + len(surplus))


async def delete_namespace(namespace: str, path: str | os.PathLike[str] | None = None) -> int:
    """Deletes everything of `namespace` in the file; returns how many rows went."""
    return await _off_loop(_core.delete_namespace, path, namespace)


class CoordinationState:
    """halvex_sqlite.CoordinationState whose methods are coroutines. Building
    one opens (and if need be creates) the file, in the calling thread."""

    __slots__ = ("_core",)

    def __init__(self, path: str | os.PathLike[str] | None = None, *,
                 namespace: str = "default", log_limit: int = DEFAULT_LOG_LIMIT) -> None:
        self._core = _core.Core(path, namespace, log_limit)

    def __init_subclass__(cls, **kwargs: object) -> None:
        raise TypeError("type 'halvex_sqlite.asyncio.CoordinationState' is not an acceptable "
                        "base type")

    @property
    def namespace(self) -> str:
        return self._core.ns

    @property
    def path(self) -> Path:
        return self._core.store.path

    def __repr__(self) -> str:
        return (f"<halvex_sqlite.asyncio.CoordinationState path={str(self.path)!r} "
                f"namespace={self.namespace!r}>")

    def close(self) -> None:
        """Closes the object's idle connections to the file now, rather than
        when the object is collected; using the object again reopens them."""
        self._core.store.close()

    async def claim_file(self, agent_id: str, path: str, *surplus: object) -> str:
        _none("claim_file", 2, surplus)
        return await _off_loop(self._core.claim, text("agent_id", agent_id),
                               text("path", path), "file:", False)

    async def claim_task(self, agent_id: str, task_id: str, *surplus: object) -> str:
        _none("claim_task", 2, surplus)
        return await _off_loop(self._core.claim, text("agent_id", agent_id),
                               text("task_id", task_id), "task:", True)

    async def renew_claim(self, agent_id: str, resource_key: str, *surplus: object) -> str:
        _none("renew_claim", 2, surplus)
        return await _off_loop(self._core.renew, text("agent_id", agent_id),
                               text("resource_key", resource_key))

    async def release(self, agent_id: str, resource_key: str, *surplus: object) -> None:
        _none("release", 2, surplus)
        await _off_loop(self._core.release, text("agent_id", agent_id),
                        text("resource_key", resource_key))

    async def send_message(self, from_agent: str, to_agent: str, content: str,
                           *surplus: object) -> Message:
        _none("send_message", 3, surplus)
        return await _off_loop(self._core.send, text("from_agent", from_agent),
                               text("to_agent", to_agent), text("content", content))

    async def broadcast(self, from_agent: str, content: str, *surplus: object) -> Message:
        _none("broadcast", 2, surplus)
        return await _off_loop(self._core.broadcast, text("from_agent", from_agent),
                               text("content", content))

    async def inbox(self, agent_id: str, *surplus: object) -> list[Message]:
        _none("inbox", 1, surplus)
        return await _off_loop(self._core.inbox, text("agent_id", agent_id))

    async def _drain(self, agent: str, limits: tuple[int, int] | None
                     ) -> tuple[list[Message], int]:
        got = await _off_loop(self._core.drain, agent, limits)
        # Reached only when the caller gets the result: a cancelled drain's
        # batch stays unanswered, for this object's next drain of the agent.
        self._core.session.answered(agent, got[2])
        return got[0], got[1]

    async def drain_inbox(self, agent_id: str, *surplus: object) -> list[Message]:
        _none("drain_inbox", 1, surplus)
        return (await self._drain(text("agent_id", agent_id), None))[0]

    async def status(self, agent_id: str, *surplus: object) -> str:
        _none("status", 1, surplus)
        return await _off_loop(self._core.status, text("agent_id", agent_id))

    async def inbox_batch(self, agent_id: str, max_count: int, max_bytes: int,
                          *surplus: object) -> tuple[list[Message], int]:
        _none("inbox_batch", 3, surplus)
        return await _off_loop(self._core.inbox_batch, text("agent_id", agent_id),
                               _rules.limit("max_count", max_count),
                               _rules.limit("max_bytes", max_bytes))

    async def drain_batch(self, agent_id: str, max_count: int, max_bytes: int,
                          *surplus: object) -> tuple[list[Message], int]:
        _none("drain_batch", 3, surplus)
        agent = text("agent_id", agent_id)
        return await self._drain(agent, (_rules.limit("max_count", max_count),
                                         _rules.limit("max_bytes", max_bytes)))

    async def confirm(self, *surplus: object) -> None:
        _none("confirm", 0, surplus)
        if self._core.session.owes():
            await _off_loop(self._core.confirm)

    async def lease(self, resource_key: str, *surplus: object) -> Lease | None:
        _none("lease", 1, surplus)
        return await _off_loop(self._core.lease, text("resource_key", resource_key))

    async def leases(self, prefix: str = "", *surplus: object) -> list[Lease]:
        _none("leases", 1, surplus)
        return await _off_loop(self._core.leases, text("prefix", prefix))

    async def check_lease(self, agent_id: str, resource_key: str, token: int,
                          *surplus: object) -> int:
        _none("check_lease", 3, surplus)
        return await _off_loop(self._core.check_lease, text("agent_id", agent_id),
                               text("resource_key", resource_key),
                               _rules.token("token", token))

    async def agents(self, *surplus: object) -> list[AgentInfo]:
        _none("agents", 0, surplus)
        return await _off_loop(self._core.agents)

    async def release_all(self, agent_id: str, *surplus: object) -> list[str]:
        _none("release_all", 1, surplus)
        return await _off_loop(self._core.release_all, text("agent_id", agent_id))

    async def wait_inbox(self, agent_id: str, timeout: float, *surplus: object) -> list[Message]:
        _none("wait_inbox", 2, surplus)
        agent = text("agent_id", agent_id)
        limit = _rules.seconds("timeout", timeout)
        core = self._core
        got = await _off_loop(core.drain, agent, None)
        if not got[0] and limit > 0:
            got = await self._wait(agent, time.monotonic() + limit)
        core.session.answered(agent, got[2])
        return got[0]

    async def _wait(self, agent: str, deadline: float) -> tuple[list[Message], int, int | None]:
        """As _core.wait, sleeping on the event loop between polls."""
        core = self._core
        poller = await _off_loop(_core.Poller, core, agent)
        try:
            seen: bool | None = await _off_loop(poller.mail)
            delay = _core.FIRST_POLL
            while True:
                if seen:
                    got = await _off_loop(core.drain, agent, None)
                    if got[0]:
                        return got
                left = deadline - time.monotonic()
                if left <= 0:
                    break
                await asyncio.sleep(min(delay, left))
                seen = await _off_loop(poller.look)
                delay = _core.next_delay(delay, seen)
        finally:
            poller.close()
        return await _off_loop(core.drain, agent, None)

    async def activity(self, after: str | None = None,
                       count: int = 100) -> list[dict[str, Any]]:
        """As the blocking class's `activity`."""
        return await _off_loop(self._core.activity, *activity_args(after, count))


document(CoordinationState)
