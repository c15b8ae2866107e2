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

import threading
import time
from typing import Any, Dict, List, Optional, Tuple, Union

import redis
from redis.backoff import NoBackoff
from redis.exceptions import NoScriptError
from redis.retry import Retry

from . import _calls
from ._calls import DEFAULT_LOG_LIMIT, DEFAULT_URL, Message, T

__all__ = ["CoordinationState", "delete_namespace", "DEFAULT_URL", "DEFAULT_LOG_LIMIT"]

_clients: Dict[Tuple[str, bool], Any] = {}
_clients_lock = threading.Lock()
_checked = _calls.CheckedClients()


def _client(url: Any, cluster: Optional[bool]) -> Any:
    """A ready client as given, or one client (and pool) per URL and process;
    redis-py's pool notices a fork and starts afresh in the child."""
    if not isinstance(url, str):
        _calls.check_client(url)
        return url
    clean, use_cluster, extra = _calls.split_url(url, cluster)
    with _clients_lock:
        client = _clients.get((clean, use_cluster))
        if client is None:
            if use_cluster:
                from redis.cluster import RedisCluster
                client = RedisCluster.from_url(clean, **extra)
            else:
                # Retries are ours (with call ids), not the client's.
                client = redis.Redis.from_url(clean, retry=Retry(NoBackoff(), 0), **extra)
            _calls.check_client(client)
            _clients[(clean, use_cluster)] = client
        return client


def _check_eviction(client: Any) -> None:
    if id(client) in _checked.ids:
        return
    fault = _calls.eviction_fault(client.execute_command("INFO", "memory"))
    if fault is not None:
        raise fault
    _checked.add(client)


def _send(client: Any, frame: "_calls.Frame") -> Any:
    script = frame.script
    while True:
        try:
            _check_eviction(client)
            try:
                reply = client.execute_command("EVALSHA", script.sha, len(frame.keys),
                                               *frame.keys, *frame.args)
            except NoScriptError:
                # A restarted or flushed server forgets its scripts.
                reply = client.execute_command("EVAL", script.source, len(frame.keys),
                                               *frame.keys, *frame.args)
        except _calls.RETRYABLE:
            wait = frame.wait_before_retry()
            if wait is None:
                frame.failed()
                raise
            time.sleep(wait)
            continue
        except BaseException:
            frame.failed()
            raise
        frame.answered()
        return reply


def _run(client: Any, session: "_calls.Session", plan: "_calls.Plan[T]") -> T:
    try:
        request = next(plan)  # checks the arguments before anything is sent
    except StopIteration as stop:  # nothing to send
        done: T = stop.value
        return done
    while True:
        reply = _send(client, session.frame(request))
        try:
            request = plan.send(reply)
        except StopIteration as stop:
            result: T = stop.value
            return result


def delete_namespace(namespace: str, url: Any = DEFAULT_URL, *,
                     cluster: Optional[bool] = None) -> int:
    """Deletes every key of `namespace` in one atomic script; returns how many went.

    Objects still using the namespace afterwards see a fresh, empty state.
    """
    session = _calls.Session(_calls.Keys(namespace))
    return _run(_client(url, cluster), session, _calls.delete(session))


class CoordinationState:
    """Claims with 300-second leases, inboxes, broadcasts and status words, kept in Redis.

    Objects given the same `namespace` (in any process, on any host) share one
    state; without one, each object gets a fresh namespace of its own, shown by
    the `namespace` attribute. `url` is a Redis URL or a ready redis.Redis /
    redis.cluster.RedisCluster client.
    """

    __slots__ = ("_client", "_keys", "_session", "_log_limit")

    def __init__(self, url: Union[str, Any] = DEFAULT_URL, *, namespace: Optional[str] = None,
                 cluster: Optional[bool] = None, log_limit: int = DEFAULT_LOG_LIMIT) -> None:
        self._keys, self._log_limit = _calls.object_keys(namespace, log_limit)
        self._client = _client(url, cluster)
        self._session = _calls.Session(self._keys)

    def __init_subclass__(cls, **kwargs: object) -> None:
        raise TypeError("type 'halvex_redis.CoordinationState' is not an acceptable base type")

    @property
    def namespace(self) -> str:
        return self._keys.namespace

    def __repr__(self) -> str:
        return "<halvex_redis.CoordinationState namespace=%r>" % self._keys.namespace

    def _run(self, plan: "_calls.Plan[T]") -> T:
        return _run(self._client, self._session, plan)

    # -- claims ------------------------------------------------------------

    def claim_file(self, agent_id: str, path: str, *surplus: object) -> str:
        """Claims a file for `agent_id`. Raises `RuntimeError` if another agent
        already holds it. Returns the claiming agent's id back on success."""
        if surplus:
            raise _calls.surplus("claim_file", 2, surplus)
        return self._run(_calls.claim(self._keys, self._log_limit, agent_id, path, "path",
                                      b"file:", "%s already holds claim on %s"))

    def claim_task(self, agent_id: str, task_id: str, *surplus: object) -> str:
        """Claims a task for `agent_id`; as `claim_file`."""
        if surplus:
            raise _calls.surplus("claim_task", 2, surplus)
        return self._run(_calls.claim(self._keys, self._log_limit, agent_id, task_id, "task_id",
                                      b"task:", "%s already holds claim on task %s"))

    def renew_claim(self, agent_id: str, resource_key: str, *surplus: object) -> str:
        """Renews a claim keyed by e.g. `"file:src/lib.rs"` or `"task:phase-7"`,
        restarting its 300-second lease. Only the holder may renew."""
        if surplus:
            raise _calls.surplus("renew_claim", 2, surplus)
        return self._run(_calls.holder_only(self._keys, self._log_limit, False,
                                            agent_id, resource_key))

    def release(self, agent_id: str, resource_key: str, *surplus: object) -> None:
        """Releases a claim keyed by e.g. `"file:src/lib.rs"` or `"task:phase-7"`.
        Only the holder may release it."""
        if surplus:
            raise _calls.surplus("release", 2, surplus)
        self._run(_calls.holder_only(self._keys, self._log_limit, True, agent_id, resource_key))

    # -- messages ----------------------------------------------------------

    def send_message(self, from_agent: str, to_agent: str, content: str,
                     *surplus: object) -> Message:
        """Puts a message into `to_agent`'s inbox; returns (from, to, content, timestamp)."""
        if surplus:
            raise _calls.surplus("send_message", 3, surplus)
        return self._run(_calls.send(self._keys, self._log_limit, from_agent, to_agent, content))

    def broadcast(self, from_agent: str, content: str, *surplus: object) -> Message:
        """Sends to every known agent, the sender included; returns
        (from, "*", content, timestamp)."""
        if surplus:
            raise _calls.surplus("broadcast", 2, surplus)
        return self._run(_calls.broadcast(self._session, self._log_limit, from_agent, content))

    def inbox(self, agent_id: str, *surplus: object) -> List[Message]:
        """Pending messages for `agent_id`, oldest first; the inbox is kept."""
        if surplus:
            raise _calls.surplus("inbox", 1, surplus)
        return self._run(_calls.inbox(self._keys, agent_id))

    def drain_inbox(self, agent_id: str, *surplus: object) -> List[Message]:
        """Pending messages for `agent_id`, oldest first; the inbox is emptied."""
        if surplus:
            raise _calls.surplus("drain_inbox", 1, surplus)
        return self._run(_calls.drain(self._keys, agent_id))

    def status(self, agent_id: str, *surplus: object) -> str:
        """One of `"idle"`, `"busy"`, `"completed"`, `"error"`."""
        if surplus:
            raise _calls.surplus("status", 1, surplus)
        return self._run(_calls.status(self._keys, agent_id))

    def inbox_batch(self, agent_id: str, max_count: int,
                    max_bytes: int) -> Tuple[List[Message], int]:
        """The oldest messages for `agent_id`, as `inbox` lists them, but at most
        `max_count` and `max_bytes` bytes of UTF-8 content (at least one when any
        waits); and how many more wait. The inbox is kept."""
        return self._run(_calls.inbox_batch(self._keys, agent_id, max_count, max_bytes))

    def drain_batch(self, agent_id: str, max_count: int,
                    max_bytes: int) -> Tuple[List[Message], int]:
        """As `inbox_batch`, but the messages returned leave the inbox, with
        `drain_inbox`'s guarantees; the rest stays for later calls."""
        return self._run(_calls.drain_batch(self._keys, agent_id, max_count, max_bytes))

    def confirm(self) -> None:
        """Confirms now, in one round trip, the drained batches that this object
        received (nothing is sent when there are none), so none is delivered
        again. For a process or session that ends normally."""
        self._run(_calls.confirm(self._session))
