"""halvex_redis.CoordinationState with coroutine methods, on redis.asyncio.

The same methods, scripts, results, errors, call ids, retries and pending
drained batches as the blocking class; a call never blocks the event loop.
Clients built from a URL are shared per URL and event loop.
"""
from __future__ import annotations

import asyncio
import weakref
from typing import Any, Callable

import redis.asyncio
from halvex_types import AgentInfo, Lease, Message
from redis.asyncio.retry import Retry

from . import _calls
from ._calls import DEFAULT_LOG_LIMIT, DEFAULT_URL, T

__all__ = ["CoordinationState", "delete_namespace", "DEFAULT_URL", "DEFAULT_LOG_LIMIT",
           "Lease", "AgentInfo"]

_clients: weakref.WeakKeyDictionary[asyncio.AbstractEventLoop, dict[tuple[str, bool], Any]] = (
    weakref.WeakKeyDictionary())
_checked = _calls.CheckedClients()


def _kind(name: str) -> Any:
    """The cluster client or Sentinel, imported when first used."""
    if name == "cluster":
        from redis.asyncio.cluster import RedisCluster
        return RedisCluster
    from redis.asyncio.sentinel import Sentinel
    return Sentinel


def _client(url: Any, cluster: bool | None) -> Any:
    if not isinstance(url, str):
        _calls.check_client(url)
        return url
    clean, use_cluster, extra = _calls.split_url(url, cluster)
    per_loop = _clients.setdefault(asyncio.get_running_loop(), {})
    client = per_loop.get((clean, use_cluster))
    if client is None:
        client = _calls.new_client(clean, use_cluster, extra, redis.asyncio.Redis,
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


async def _drive(client: Any, steps: _calls.Steps[T]) -> T:
    """Carries out what _calls.exchange asks for, without blocking the loop.
    (redis.asyncio drops a connection whose command was cancelled.)"""
    value: Any = None
    resume: Callable[[Any], _calls.Action] = steps.send
    while True:
        try:
            action, arg = resume(value)
        except StopIteration as stop:
            result: T = stop.value
            return result
        try:
            if action is _calls.CALL:
                value = await client.execute_command(*arg)
            elif action is _calls.SLEEP:
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
    return await _drive(client, _calls.exchange(session, client, _checked,
                                                _calls.delete(session)))


class CoordinationState:
    """halvex_redis.CoordinationState whose methods are coroutines.

    `url` is a Redis URL or a ready redis.asyncio.Redis /
    redis.asyncio.cluster.RedisCluster client.
    """

    __slots__ = ("_url", "_cluster", "_given", "_session")

    def __init__(self, url: str | Any = DEFAULT_URL, *, namespace: str | None = None,
                 cluster: bool | None = None, log_limit: int = DEFAULT_LOG_LIMIT) -> None:
        self._session = _calls.object_session(namespace, log_limit)
        if isinstance(url, str):
            _calls.split_url(url, cluster)  # refuses a bad URL here, not at the first call
            self._given = None
        else:
            _calls.check_client(url)
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

    async def _call(self, method: _calls.Method[T], surplus: tuple[object, ...],
                    *args: object) -> T:
        plan = method.start(self._session, surplus, args)
        client = self._given if self._given is not None else _client(self._url, self._cluster)
        return await _drive(client, _calls.exchange(self._session, client, _checked, plan))

    async def claim_file(self, agent_id: str, path: str, *surplus: object) -> str:
        return await self._call(_calls.CLAIM_FILE, surplus, agent_id, path)

    async def claim_task(self, agent_id: str, task_id: str, *surplus: object) -> str:
        return await self._call(_calls.CLAIM_TASK, surplus, agent_id, task_id)

    async def renew_claim(self, agent_id: str, resource_key: str, *surplus: object) -> str:
        return await self._call(_calls.RENEW_CLAIM, surplus, agent_id, resource_key)

    async def release(self, agent_id: str, resource_key: str, *surplus: object) -> None:
        return await self._call(_calls.RELEASE, surplus, agent_id, resource_key)

    async def send_message(self, from_agent: str, to_agent: str, content: str,
                           *surplus: object) -> Message:
        return await self._call(_calls.SEND_MESSAGE, surplus, from_agent, to_agent, content)

    async def broadcast(self, from_agent: str, content: str, *surplus: object) -> Message:
        return await self._call(_calls.BROADCAST, surplus, from_agent, content)

    async def inbox(self, agent_id: str, *surplus: object) -> list[Message]:
        return await self._call(_calls.INBOX, surplus, agent_id)

    async def drain_inbox(self, agent_id: str, *surplus: object) -> list[Message]:
        return await self._call(_calls.DRAIN_INBOX, surplus, agent_id)

    async def status(self, agent_id: str, *surplus: object) -> str:
        return await self._call(_calls.STATUS, surplus, agent_id)

    async def inbox_batch(self, agent_id: str, max_count: int, max_bytes: int,
                          *surplus: object) -> tuple[list[Message], int]:
        return await self._call(_calls.INBOX_BATCH, surplus, agent_id, max_count, max_bytes)

    async def drain_batch(self, agent_id: str, max_count: int, max_bytes: int,
                          *surplus: object) -> tuple[list[Message], int]:
        return await self._call(_calls.DRAIN_BATCH, surplus, agent_id, max_count, max_bytes)

    async def confirm(self, *surplus: object) -> None:
        return await self._call(_calls.CONFIRM, surplus)

    async def lease(self, resource_key: str, *surplus: object) -> Lease | None:
        return await self._call(_calls.LEASE, surplus, resource_key)

    async def leases(self, prefix: str = "", *surplus: object) -> list[Lease]:
        return await self._call(_calls.LEASES, surplus, prefix)

    async def check_lease(self, agent_id: str, resource_key: str, token: int,
                          *surplus: object) -> int:
        return await self._call(_calls.CHECK_LEASE, surplus, agent_id, resource_key, token)

    async def agents(self, *surplus: object) -> list[AgentInfo]:
        return await self._call(_calls.AGENTS, surplus)

    async def release_all(self, agent_id: str, *surplus: object) -> list[str]:
        return await self._call(_calls.RELEASE_ALL, surplus, agent_id)

    async def wait_inbox(self, agent_id: str, timeout: float, *surplus: object) -> list[Message]:
        return await self._call(_calls.WAIT_INBOX, surplus, agent_id, timeout)


_calls.document(CoordinationState)
