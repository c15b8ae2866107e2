"""halvex_core's CoordinationState over Redis, for agents in many processes or hosts.

Same methods, parameters, results, status words and RuntimeError texts as
halvex_core.CoordinationState. Each method is one Lua script run with EVALSHA,
so every call is atomic and usually costs one round trip; all times come from
the server's clock. Every call carries an id: when its reply is lost it is
sent again with the same id, and the server answers a repeated id from its
record of the first run instead of running it twice. A drained batch stays
on the server until the object's next call confirms it arrived.

halvex_redis.asyncio holds the same class with coroutine methods.
"""
from __future__ import annotations

import threading
import time
from typing import Any, Callable

import redis
from halvex_types import AgentInfo, Lease, Message
from redis.retry import Retry

from . import _calls
from ._calls import DEFAULT_LOG_LIMIT, DEFAULT_URL, T

__all__ = ["CoordinationState", "delete_namespace", "DEFAULT_URL", "DEFAULT_LOG_LIMIT",
           "Lease", "AgentInfo"]

_clients: dict[tuple[str, bool], Any] = {}
_clients_lock = threading.Lock()
_checked = _calls.CheckedClients()


def _kind(name: str) -> Any:
    """The cluster client or Sentinel, imported when first used."""
    if name == "cluster":
        from redis.cluster import RedisCluster
        return RedisCluster
    from redis.sentinel import Sentinel
    return Sentinel


def _client(url: Any, cluster: bool | None) -> Any:
    """A ready client as given, or one client (and pool) per URL and process;
    redis-py's pool notices a fork and starts afresh in the child."""
    if not isinstance(url, str):
        _calls.check_client(url)
        return url
    clean, use_cluster, extra = _calls.split_url(url, cluster)
    with _clients_lock:
        client = _clients.get((clean, use_cluster))
        if client is None:
            client = _calls.new_client(clean, use_cluster, extra, redis.Redis, _kind,
                                       Retry)
            _clients[(clean, use_cluster)] = client
        return client


def _drop(client: Any) -> None:
    """Closes the client's idle pooled connections (a connection out of step
    is among them: redis-py returned it to the pool)."""
    pool = getattr(client, "connection_pool", None)
    pools = [pool] if pool is not None else [
        n.redis_connection.connection_pool for n in client.get_nodes() if n.redis_connection]
    for pool in pools:
        pool.disconnect(inuse_connections=False)


def _drive(client: Any, steps: _calls.Steps[T]) -> T:
    """Carries out what _calls.exchange asks for, blocking."""
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
                value = client.execute_command(*arg)
            elif action is _calls.SLEEP:
                time.sleep(arg)
                value = None
            else:
                _drop(client)
                value = None
            resume = steps.send
        except BaseException as error:
            if not isinstance(error, redis.exceptions.RedisError):
                # Raised by a signal handler (Ctrl-C, a call timeout) while
                # redis-py waited: the reply may still come on a connection
                # that is back in the pool.
                try:
                    _drop(client)
                except Exception:
                    pass
            value, resume = error, steps.throw
            continue


def delete_namespace(namespace: str, url: Any = DEFAULT_URL, *,
                     cluster: bool | None = None) -> int:
    """Deletes every key of `namespace`; returns how many went.

    Objects still using the namespace afterwards see a fresh, empty state.
    """
    session = _calls.Session(_calls.Keys(namespace))
    client = _client(url, cluster)
    return _drive(client, _calls.exchange(session, client, _checked, _calls.delete(session)))


class CoordinationState:
    """Claims with 300-second leases, inboxes, broadcasts and status words, kept in Redis.

    Objects given the same `namespace` (in any process, on any host) share one
    state; without one, each object gets a fresh namespace of its own, shown by
    the `namespace` attribute. `url` is a Redis URL or a ready redis.Redis /
    redis.cluster.RedisCluster client.
    """

    __slots__ = ("_client", "_session")

    def __init__(self, url: str | Any = DEFAULT_URL, *, namespace: str | None = None,
                 cluster: bool | None = None, log_limit: int = DEFAULT_LOG_LIMIT) -> None:
        self._session = _calls.object_session(namespace, log_limit)
        self._client = _client(url, cluster)

    def __init_subclass__(cls, **kwargs: object) -> None:
        raise TypeError("type 'halvex_redis.CoordinationState' is not an acceptable base type")

    @property
    def namespace(self) -> str:
        return self._session.keys.namespace

    def __repr__(self) -> str:
        return f"<halvex_redis.CoordinationState namespace={self.namespace!r}>"

    def _call(self, method: _calls.Method[T], surplus: tuple[object, ...],
              *args: object) -> T:
        plan = method.start(self._session, surplus, args)
        return _drive(self._client,
                      _calls.exchange(self._session, self._client, _checked, plan))

    def claim_file(self, agent_id: str, path: str, *surplus: object) -> str:
        return self._call(_calls.CLAIM_FILE, surplus, agent_id, path)

    def claim_task(self, agent_id: str, task_id: str, *surplus: object) -> str:
        return self._call(_calls.CLAIM_TASK, surplus, agent_id, task_id)

    def renew_claim(self, agent_id: str, resource_key: str, *surplus: object) -> str:
        return self._call(_calls.RENEW_CLAIM, surplus, agent_id, resource_key)

    def release(self, agent_id: str, resource_key: str, *surplus: object) -> None:
        return self._call(_calls.RELEASE, surplus, agent_id, resource_key)

    def send_message(self, from_agent: str, to_agent: str, content: str,
                     *surplus: object) -> Message:
        return self._call(_calls.SEND_MESSAGE, surplus, from_agent, to_agent, content)

    def broadcast(self, from_agent: str, content: str, *surplus: object) -> Message:
        return self._call(_calls.BROADCAST, surplus, from_agent, content)

    def inbox(self, agent_id: str, *surplus: object) -> list[Message]:
        return self._call(_calls.INBOX, surplus, agent_id)

    def drain_inbox(self, agent_id: str, *surplus: object) -> list[Message]:
        return self._call(_calls.DRAIN_INBOX, surplus, agent_id)

    def status(self, agent_id: str, *surplus: object) -> str:
        return self._call(_calls.STATUS, surplus, agent_id)

    def inbox_batch(self, agent_id: str, max_count: int, max_bytes: int,
                    *surplus: object) -> tuple[list[Message], int]:
        return self._call(_calls.INBOX_BATCH, surplus, agent_id, max_count, max_bytes)

    def drain_batch(self, agent_id: str, max_count: int, max_bytes: int,
                    *surplus: object) -> tuple[list[Message], int]:
        return self._call(_calls.DRAIN_BATCH, surplus, agent_id, max_count, max_bytes)

    def confirm(self, *surplus: object) -> None:
        return self._call(_calls.CONFIRM, surplus)

    def lease(self, resource_key: str, *surplus: object) -> Lease | None:
        return self._call(_calls.LEASE, surplus, resource_key)

    def leases(self, prefix: str = "", *surplus: object) -> list[Lease]:
        return self._call(_calls.LEASES, surplus, prefix)

    def check_lease(self, agent_id: str, resource_key: str, token: int,
                    *surplus: object) -> int:
        return self._call(_calls.CHECK_LEASE, surplus, agent_id, resource_key, token)

    def agents(self, *surplus: object) -> list[AgentInfo]:
        return self._call(_calls.AGENTS, surplus)

    def release_all(self, agent_id: str, *surplus: object) -> list[str]:
        return self._call(_calls.RELEASE_ALL, surplus, agent_id)

    def wait_inbox(self, agent_id: str, timeout: float, *surplus: object) -> list[Message]:
        return self._call(_calls.WAIT_INBOX, surplus, agent_id, timeout)


_calls.document(CoordinationState)
