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
from typing import TYPE_CHECKING, Any, Callable

import redis
from halvex_types import AgentInfo, Lease, TaskGraph, install, names
from redis.retry import Retry

from . import _calls, _clients, _exchange, _plans
from ._calls import DEFAULT_LOG_LIMIT, DEFAULT_URL, T

__all__ = ["CoordinationState", "delete_namespace", "DEFAULT_URL", "DEFAULT_LOG_LIMIT",
           "Lease", "AgentInfo"]

_made: dict[tuple[str, bool], Any] = {}
_waits: dict[tuple[str, bool, int], _clients.Waits] = {}
_clients_lock = threading.Lock()
_checked = _clients.CheckedClients()


def _kind(name: str) -> Any:
    """The cluster client or Sentinel, imported when first used."""
    if name == "cluster":
        from redis.cluster import RedisCluster
        return RedisCluster
    from redis.sentinel import Sentinel
    return Sentinel


def _client(url: Any, cluster: bool | None) -> Any:
    return _clients_of(url, cluster)[0]


def _clients_of(url: Any, cluster: bool | None) -> tuple[Any, _clients.Waits]:
    """A ready client as given, or one client (and pool) per URL and process,
    with its waits' own; redis-py's pool notices a fork and starts afresh in
    the child."""
    if not isinstance(url, str):
        _clients.check_client(url)
        return url, _clients.Waits(None, None, "process", url)
    clean, use_cluster, extra, max_waits = _clients.split_url(url, cluster)
    with _clients_lock:
        client = _made.get((clean, use_cluster))
        if client is None:
            client = _clients.new_client(clean, use_cluster, extra, redis.Redis, _kind,
                                       Retry)
            _made[(clean, use_cluster)] = client
        waits = _waits.get((clean, use_cluster, max_waits))
        if waits is None:
            waits = _clients.Waits(
                lambda: _clients.waits_client(clean, use_cluster, extra, redis.Redis, _kind,
                                              Retry),
                max_waits, "process")
            _waits[(clean, use_cluster, max_waits)] = waits
        return client, waits


def _drop(client: Any) -> None:
    """Closes the client's idle pooled connections (a connection out of step
    is among them: redis-py returned it to the pool)."""
    pool = getattr(client, "connection_pool", None)
    pools = [pool] if pool is not None else [
        n.redis_connection.connection_pool for n in client.get_nodes() if n.redis_connection]
    for pool in pools:
        pool.disconnect(inuse_connections=False)


def _drive(client: Any, steps: _exchange.Steps[T], waits: _clients.Waits | None = None) -> T:
    """Carries out what _exchange.exchange asks for, blocking."""
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
            target = client
            if action is _exchange.BLOCK:
                if blocker is None:
                    try:
                        blocker = client if waits is None else waits.enter()
                    except RuntimeError as refusal:
                        value, resume = refusal, steps.throw
                        continue
                target = blocker
            try:
                if action is _exchange.CALL or action is _exchange.BLOCK:
                    value = target.execute_command(*arg)
                elif action is _exchange.SLEEP:
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
                        _drop(target)
                    except Exception:
                        pass
                value, resume = error, steps.throw
                continue
    finally:
        if blocker is not None and waits is not None:
            waits.leave()


def delete_namespace(namespace: str, url: Any = DEFAULT_URL, *,
                     cluster: bool | None = None) -> int:
    """Deletes every key of `namespace`; returns how many went.

    Objects still using the namespace afterwards see a fresh, empty state.
    """
    session = _calls.Session(_calls.Keys(namespace))
    client = _client(url, cluster)
    return _drive(client, _exchange.exchange(session, client, _checked, _plans.delete(session)))


if TYPE_CHECKING:
    # The type checker reads the methods' signatures from the protocol; at
    # run time they come from halvex_types' table (install, below).
    _Methods = TaskGraph
else:
    _Methods = object


class CoordinationState(_Methods):
    """Claims with 300-second leases, inboxes, broadcasts and status words, kept in Redis.

    Objects given the same `namespace` (in any process, on any host) share one
    state; without one, each object gets a fresh namespace of its own, shown by
    the `namespace` attribute. `url` is a Redis URL or a ready redis.Redis /
    redis.cluster.RedisCluster client.
    """

    __slots__ = ("_client", "_waits", "_session")

    def __init__(self, url: str | Any = DEFAULT_URL, *, namespace: str | None = None,
                 cluster: bool | None = None, log_limit: int = DEFAULT_LOG_LIMIT) -> None:
        self._session = _plans.object_session(namespace, log_limit)
        self._client, self._waits = _clients_of(url, cluster)

    def __init_subclass__(cls, **kwargs: object) -> None:
        raise TypeError("type 'halvex_redis.CoordinationState' is not an acceptable base type")

    @property
    def namespace(self) -> str:
        return self._session.keys.namespace

    def __repr__(self) -> str:
        return f"<halvex_redis.CoordinationState namespace={self.namespace!r}>"

    def _call(self, name: str, surplus: tuple[object, ...], *args: object) -> Any:
        plan = _plans.PLANS[name].start(self._session, surplus, args)
        return _drive(self._client,
                      _exchange.exchange(self._session, self._client, _checked, plan),
                      self._waits)


install(CoordinationState, names())
