"""halvex_redis.CoordinationState with coroutine methods, on redis.asyncio.

The same methods, scripts, results, errors, call ids, retries and pending
drained batches as the blocking class; a call never blocks the event loop.
Clients built from a URL are shared per URL and event loop. A cancelled call
raises CancelledError, and a cancelled drain's batch goes to the object's
next drain of that agent.
"""
from __future__ import annotations

import asyncio
import weakref
from typing import TYPE_CHECKING, Any, Callable

import redis.asyncio
from halvex_types import AgentInfo, AsyncTaskGraph, Lease, install, names
from redis.asyncio.retry import Retry

from . import _calls, _clients, _exchange, _plans
from ._calls import DEFAULT_LOG_LIMIT, DEFAULT_URL, T

__all__ = ["CoordinationState", "delete_namespace", "DEFAULT_URL", "DEFAULT_LOG_LIMIT",
           "Lease", "AgentInfo"]

_made: weakref.WeakKeyDictionary[asyncio.AbstractEventLoop, dict[tuple[Any, ...], Any]] = (
    weakref.WeakKeyDictionary())
_checked = _clients.CheckedClients()

# The commands that run a script: one cancelled while in flight is let finish.
_SCRIPTS = frozenset(("EVAL", "EVALSHA"))


def _kind(name: str) -> Any:
    """The cluster client or Sentinel, imported when first used."""
    if name == "cluster":
        from redis.asyncio.cluster import RedisCluster
        return RedisCluster
    from redis.asyncio.sentinel import Sentinel
    return Sentinel


def _client(url: Any, cluster: bool | None) -> tuple[Any, _clients.Waits]:
    """The client for a URL in the running loop, with its waits' own."""
    if not isinstance(url, str):
        _clients.check_client(url)
        return url, _clients.Waits(None, None, "event loop", url)
    clean, use_cluster, extra, max_waits = _clients.split_url(url, cluster)
    per_loop = _made.setdefault(asyncio.get_running_loop(), {})
    client = per_loop.get((clean, use_cluster))
    if client is None:
        client = _clients.new_client(clean, use_cluster, extra, redis.asyncio.Redis,
                                   _kind, Retry)
        per_loop[(clean, use_cluster)] = client
    waits = per_loop.get((clean, use_cluster, max_waits))
    if waits is None:
        waits = _clients.Waits(
            lambda: _clients.waits_client(clean, use_cluster, extra, redis.asyncio.Redis,
                                          _kind, Retry),
            max_waits, "event loop")
        per_loop[(clean, use_cluster, max_waits)] = waits
    return client, waits


async def _drop(client: Any) -> None:
    pool = getattr(client, "connection_pool", None)
    if pool is not None:
        await pool.disconnect(inuse_connections=False)
        return
    for node in client.get_nodes():
        free = getattr(node, "disconnect_free_connections", None)  # redis-py 5.1+
        await (free() if free is not None else node.disconnect())


class _Uncancellable(asyncio.Future):  # type: ignore[type-arg]
    """A future that a cancellation of the task awaiting it leaves pending:
    the task wakes once, when it is done (however often it was cancelled
    meanwhile: some frameworks cancel again on every turn of the loop)."""

    def cancel(self, *args: Any, **kwargs: Any) -> bool:
        return False


def _retrieve(task: asyncio.Future[Any]) -> None:
    if not task.cancelled():
        task.exception()  # read, so that asyncio logs no unretrieved exception


async def _command(client: Any, args: tuple[Any, ...]) -> Any:
    """Runs one command in a task of its own that the caller's task awaits
    through a shield: a cancellation of the caller then always raises
    CancelledError in it (redis.asyncio may complete a cancelled command
    normally). A script is let finish first (until its reply or a socket
    timeout), so that the call has ended on the server before the caller
    hears of the cancellation: a drain the object makes next then finds
    what the cancelled one took. Any other command (a BLPOP above all) is
    cancelled at once; redis.asyncio drops its connection."""
    inner = asyncio.ensure_future(client.execute_command(*args))
    try:
        return await asyncio.shield(inner)
    except asyncio.CancelledError:
        if args[0] in _SCRIPTS and not inner.done():
            loop = asyncio.get_running_loop()
            settled = _Uncancellable()

            def wake(_: object = None) -> None:
                if not settled.done():
                    settled.set_result(None)

            inner.add_done_callback(wake)
            timer = loop.call_later(_exchange.socket_timeout(client) or _calls.SOCKET_TIMEOUT,
                                    wake)
            try:
                await settled
            except asyncio.CancelledError:  # the cancellations that came meanwhile
                pass
            timer.cancel()
        if not inner.done():
            inner.cancel()
        inner.add_done_callback(_retrieve)
        raise


async def _drive(client: Any, steps: _exchange.Steps[T],
                 waits: _clients.Waits | None = None) -> T:
    """Carries out what _exchange.exchange asks for, without blocking the loop."""
    value: Any = None
    resume: Callable[[Any], _exchange.Action] = steps.send
    blocker: Any = None  # the client this call's waits block on, once counted in
    try:
        while True:
            try:
                action, arg = resume(value)
            except StopIteration as stop:
                result: T = stop.value
                return result
            try:
                if action is _exchange.CALL:
                    value = await _command(client, arg)
                elif action is _exchange.BLOCK:
                    if blocker is None:
                        blocker = client if waits is None else waits.enter()
                    value = await _command(blocker, arg)
                elif action is _exchange.SLEEP:
                    await asyncio.sleep(arg)
                    value = None
                else:
                    await _drop(client)
                    value = None
                resume = steps.send
            except BaseException as error:
                value, resume = error, steps.throw
    finally:
        if blocker is not None and waits is not None:
            waits.leave()


async def delete_namespace(namespace: str, url: Any = DEFAULT_URL, *,
                           cluster: bool | None = None) -> int:
    """Deletes every key of `namespace`; returns how many went."""
    session = _calls.Session(_calls.Keys(namespace))
    client, _waits = _client(url, cluster)
    return await _drive(client, _exchange.exchange(session, client, _checked,
                                                _plans.delete(session)))


if TYPE_CHECKING:
    # The type checker reads the methods' signatures from the protocol; at
    # run time they come from halvex_types' table (install, below).
    _Methods = AsyncTaskGraph
else:
    _Methods = object


class CoordinationState(_Methods):
    """halvex_redis.CoordinationState whose methods are coroutines.

    `url` is a Redis URL or a ready redis.asyncio.Redis /
    redis.asyncio.cluster.RedisCluster client.
    """

    __slots__ = ("_url", "_cluster", "_given", "_session")

    def __init__(self, url: str | Any = DEFAULT_URL, *, namespace: str | None = None,
                 cluster: bool | None = None, log_limit: int = DEFAULT_LOG_LIMIT) -> None:
        self._session = _plans.object_session(namespace, log_limit)
        self._given: tuple[Any, _clients.Waits] | None = None
        if isinstance(url, str):
            _clients.split_url(url, cluster)  # refuses a bad URL here, not at the first call
        else:
            _clients.check_client(url)
            self._given = (url, _clients.Waits(None, None, "event loop", url))
        self._url = url
        self._cluster = cluster

    def __init_subclass__(cls, **kwargs: object) -> None:
        raise TypeError("type 'halvex_redis.asyncio.CoordinationState' is not an acceptable "
                        "base type")

    @property
    def namespace(self) -> str:
        return self._session.keys.namespace

    def __repr__(self) -> str:
        return f"<halvex_redis.asyncio.CoordinationState namespace={self.namespace!r}>"

    async def _call(self, name: str, surplus: tuple[object, ...], *args: object) -> Any:
        plan = _plans.PLANS[name].start(self._session, surplus, args)
        client, waits = self._given or _client(self._url, self._cluster)
        return await _drive(client, _exchange.exchange(self._session, client, _checked, plan),
                            waits)


install(CoordinationState, names(), coroutine=True)
