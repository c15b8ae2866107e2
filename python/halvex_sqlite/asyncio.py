"""halvex_sqlite.CoordinationState with coroutine methods.

The same methods, results, errors and pending drained batches as the
blocking class; each call's transaction runs in the event loop's default
executor, so the loop never waits on the file. A cancelled call may still
have run: its CancelledError comes once its transaction has ended, so the
object's next call never overlaps it, and a cancelled drain's batch is
returned first by the object's next drain of that agent.
"""
from __future__ import annotations

import asyncio
import functools
import os
import time
from typing import TYPE_CHECKING, Any, Callable, TypeVar

from halvex_types import (
    AgentInfo,
    AsyncTaskGraph,
    Batch,
    Lease,
    Message,
    Next,
    install,
    names,
)

from . import _core, _rules, _tasks
from ._core import DEFAULT_LOG_LIMIT
from ._store import StateFileError, default_path

__all__ = ["CoordinationState", "delete_namespace", "default_path", "StateFileError",
           "DEFAULT_LOG_LIMIT", "Lease", "AgentInfo"]

T = TypeVar("T")


async def _off_loop(fn: Callable[..., T], *args: Any) -> T:
    loop = asyncio.get_running_loop()
    job = loop.run_in_executor(None, functools.partial(fn, *args))
    try:
        return await asyncio.shield(job)
    except asyncio.CancelledError:
        # The work goes on in its thread whatever happens here: the
        # cancellation is reported once it has ended, so that the object's
        # next call never overlaps a call its caller gave up on.
        while not job.done():
            try:
                await asyncio.wait([job])
            except asyncio.CancelledError:
                pass
        raise


async def delete_namespace(namespace: str, path: str | os.PathLike[str] | None = None) -> int:
    """Deletes everything of `namespace` in the file; returns how many rows went."""
    return await _off_loop(_core.delete_namespace, path, namespace)


if TYPE_CHECKING:
    # As in the blocking class: signatures from the protocol, methods from
    # halvex_types' table.
    _Methods = AsyncTaskGraph
else:
    _Methods = object


class CoordinationState(_core.Face, _Methods, final=True):
    """halvex_sqlite.CoordinationState whose methods are coroutines. Building
    one opens (and if need be creates) the file, in the calling thread."""

    __slots__ = ()

    async def _call(self, name: str, surplus: tuple[object, ...], *args: object) -> Any:
        values = _rules.checked(name, surplus, args)
        own = _OWN.get(name)
        if own is not None:
            return await own(self._core, *values)
        return await _off_loop(_core.CALLS[name], self._core, *values)


# Drains mark their batch answered here, once the result has reached the
# coroutine: a cancelled drain's batch stays unanswered, for this object's
# next drain of the agent.

async def _drain(core: _core.Core, agent: str, limits: tuple[int, int] | None
                 ) -> tuple[list[Message], int]:
    got = await _off_loop(core.drain, agent, limits)
    core.session.answered(agent, got[2])
    return got[0], got[1]


async def _drain_inbox(core: _core.Core, agent: str) -> list[Message]:
    return (await _drain(core, agent, None))[0]


async def _drain_batch(core: _core.Core, agent: str, count: int, size: int
                       ) -> tuple[list[Message], int]:
    return await _drain(core, agent, (count, size))


async def _confirm(core: _core.Core) -> None:
    if core.session.owes():
        await _off_loop(core.confirm)


async def _now(core: _core.Core) -> float:
    return _core.now(core)


async def _wait_inbox(core: _core.Core, agent: str, limit: float) -> list[Message]:
    got = await _wait(core, agent, limit)
    core.session.answered(agent, got[2])
    return got[0]


async def _take_batch(core: _core.Core, agent: str, count: int, size: int, limit: float
                      ) -> Batch:
    return _core.held_batch(await _wait(core, agent, limit, (count, size), True))


async def _wait(core: _core.Core, agent: str, limit: float,
                limits: tuple[int, int] | None = None, held: bool = False) -> _core.Drained:
    """As _core.wait, sleeping on the event loop between polls."""
    got = await _off_loop(core.drain, agent, limits, held)
    if got[0] or limit <= 0:
        return got
    deadline = time.monotonic() + limit
    poller = await _off_loop(_core.Poller, core, agent)
    try:
        seen: bool | None = await _off_loop(poller.mail)
        delay = _core.FIRST_POLL
        while True:
            if seen:
                got = await _off_loop(core.drain, agent, limits, held)
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
    return await _off_loop(core.drain, agent, limits, held)


async def _claim_next(core: _core.Core, agent: str, prefix: str, limit: float) -> Next:
    """As the blocking claim_next, sleeping on the event loop between looks
    (no thread is held while it waits; a cancelled wait claims nothing more)."""
    got, expiry = await _off_loop(_tasks.claim_once, core, agent, prefix)
    if got.task is not None or limit <= 0:
        return got
    deadline = time.monotonic() + limit
    watch = await _off_loop(_tasks.Watch, core, agent, expiry)
    try:
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                break
            await asyncio.sleep(min(watch.delay, left))
            if await _off_loop(watch.changed):
                got, watch.expiry = await _off_loop(_tasks.claim_once, core, agent, prefix)
                if got.task is not None:
                    return got
    finally:
        watch.close()
    found: Next = (await _off_loop(_tasks.claim_once, core, agent, prefix))[0]
    return found


_OWN: dict[str, Callable[..., Any]] = {
    "drain_inbox": _drain_inbox, "drain_batch": _drain_batch, "wait_inbox": _wait_inbox,
    "take_batch": _take_batch, "confirm": _confirm, "now": _now, "claim_next": _claim_next}

install(CoordinationState, names(), coroutine=True)
