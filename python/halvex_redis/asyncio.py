"""halvex_redis.CoordinationState with coroutine methods, on redis.asyncio.

The same methods, scripts, results, errors, call ids, retries and pending
drained batches as the blocking class; a call never blocks the event loop.
Clients built from a URL are shared per URL and event loop.
"""
from __future__ import annotations

import asyncio
import weakref
from typing import TYPE_CHECKING, Any, Callable

import redis.asyncio
from halvex_types import AgentInfo, AsyncServerState, Lease, install, names
from redis.asyncio.retry import Retry

from . import _calls, _clients, _exchange, _plans
from ._calls import DEFAULT_LOG_LIMIT, DEFAULT_URL, T

__all__ = ["CoordinationState", "delete_namespace", "DEFAULT_URL", "DEFAULT_LOG_LIMIT",
           "Lease", "AgentInfo"]

_made: weakref.WeakKeyDictionary[asyncio.AbstractEventLoop, dict[tuple[str, bool], Any]] = (
    weakref.WeakKeyDictionary())
_checked = _clients.CheckedClients()


def _kind(name: str) -> Any:
    """The cluster client or Sentinel, imported when first used."""
    if name == "cluster":
        from redis.asyncio.cluster import RedisCluster
        return RedisCluster
    from redis.asyncio.sentinel import Sentinel
    return Sentinel


def _client(url: Any, cluster: bool | None) -> Any:
    if not isinstance(url, str):
        _clients.check_client(url)
        return url
    clean, use_cluster, extra = _clients.split_url(url, cluster)
    per_loop = _made.setdefault(asyncio.get_running_loop(), {})
    client = per_loop.get((clean, use_cluster))
    if client is None:
        client = _clients.new_client(clean, use_cluster, extra, redis.asyncio.Redis,
                                   _kind, Retry)
        per_loop[(clean, use_cluster)] = client
    return client


async def _drop(client: Any) -> None:
    pool = getattr(client, "connection_pool", None)
    if pool is not None:
        await pool.disconnect(inuse_connections=False)
        return
    for node in client.get_nodes():
        free = getattr(node, "disconnect_free_connections", None)  # redis-py 5.1+
        await (free() if free is not None else node.disconnect())


async def _drive(client: Any, steps: _exchange.Steps[T]) -> T:
    """Carries out what _exchange.exchange asks for, without blocking the loop.
    (redis.asyncio drops a connection whose command was cancelled.)"""
    value: Any = None
    resume: Callable[[Any], _exchange.Action] = steps.send
    while True:
        try:
            action, arg = resume(value)
        except StopIteration as stop:
            result: T = stop.value
            return result
        try:
            if action is _exchange.CALL:
                value = await client.execute_command(*arg)
            elif action is _exchange.SLEEP:
                await asyncio.sleep(arg)
                value = None
            else:
                await _drop(client)
                value = None
            resume = steps.send
        except BaseException as error:
            value, resume = error, steps.throw


async def delete_namespace(namespace: str, url: Any = DEFAULT_URL, *,
                           cluster: bool | None = None) -> int:
    """Deletes every key of `namespace`; returns how many went."""
    session = _calls.Session(_calls.Keys(namespace))
    client = _client(url, cluster)
    return await _drive(client, _exchange.exchange(session, client, _checked,
                                                _plans.delete(session)))


if TYPE_CHECKING:
    # The type checker reads the methods' signatures from the protocol; at
    # run time they come from halvex_types' table (install, below).
    _Methods = AsyncServerState
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
        if isinstance(url, str):
            _clients.split_url(url, cluster)  # refuses a bad URL here, not at the first call
            self._given = None
        else:
            _clients.check_client(url)
            self._given = url
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
        client = self._given if self._given is not None else _client(self._url, self._cluster)
        return await _drive(client, _exchange.exchange(self._session, client, _checked, plan))


install(CoordinationState, names(), coroutine=True)
