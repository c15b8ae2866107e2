"""halvex_redis.CoordinationState with coroutine methods, on redis.asyncio.

The same nine methods, scripts, results, errors, call ids, retries and
pending drained batches as the blocking class; a call never blocks the event
loop. Clients built from a URL are shared per URL and event loop.
"""

import asyncio
import weakref
from typing import Any, Dict, List, Optional, Tuple, Union

import redis.asyncio
from redis.asyncio.retry import Retry
from redis.backoff import NoBackoff
from redis.exceptions import NoScriptError

from . import _calls
from ._calls import DEFAULT_LOG_LIMIT, DEFAULT_URL, Message, T

__all__ = ["CoordinationState", "delete_namespace", "DEFAULT_URL", "DEFAULT_LOG_LIMIT"]

_clients: "weakref.WeakKeyDictionary[asyncio.AbstractEventLoop, Dict[Tuple[str, bool], Any]]" = (
    weakref.WeakKeyDictionary())
_checked = _calls.CheckedClients()


def _client(url: Any, cluster: Optional[bool]) -> Any:
    if not isinstance(url, str):
        _calls.check_client(url)
        return url
    clean, use_cluster, extra = _calls.split_url(url, cluster)
    per_loop = _clients.setdefault(asyncio.get_running_loop(), {})
    client = per_loop.get((clean, use_cluster))
    if client is None:
        if use_cluster:
            from redis.asyncio.cluster import RedisCluster
            client = RedisCluster.from_url(clean, **extra)
        else:
            # Retries are ours (with call ids), not the client's.
            client = redis.asyncio.Redis.from_url(clean, retry=Retry(NoBackoff(), 0), **extra)
        _calls.check_client(client)
        per_loop[(clean, use_cluster)] = client
    return client


async def _check_eviction(client: Any) -> None:
    if id(client) in _checked.ids:
        return
    fault = _calls.eviction_fault(await client.execute_command("INFO", "memory"))
    if fault is not None:
        raise fault
    _checked.add(client)


async def _send(client: Any, frame: "_calls.Frame") -> Any:
    script = frame.script
    while True:
        try:
            await _check_eviction(client)
            try:
                reply = await client.execute_command("EVALSHA", script.sha, len(frame.keys),
                                                     *frame.keys, *frame.args)
            except NoScriptError:
                reply = await client.execute_command("EVAL", script.source, len(frame.keys),
                                                     *frame.keys, *frame.args)
        except _calls.RETRYABLE:
            wait = frame.wait_before_retry()
            if wait is None:
                frame.failed()
                raise
            await asyncio.sleep(wait)
            continue
        except BaseException:  # cancelled too: the call may have run
            frame.failed()
            raise
        frame.answered()
        return reply


async def _run(client: Any, session: "_calls.Session", plan: "_calls.Plan[T]") -> T:
    try:
        request = next(plan)
    except StopIteration as stop:
        done: T = stop.value
        return done
    while True:
        reply = await _send(client, session.frame(request))
        try:
            request = plan.send(reply)
        except StopIteration as stop:
            result: T = stop.value
            return result


async def delete_namespace(namespace: str, url: Any = DEFAULT_URL, *,
                           cluster: Optional[bool] = None) -> int:
    """Deletes every key of `namespace` in one atomic script; returns how many went."""
    session = _calls.Session(_calls.Keys(namespace))
    return await _run(_client(url, cluster), session, _calls.delete(session))


class CoordinationState:
    """halvex_redis.CoordinationState whose methods are coroutines.

    `url` is a Redis URL or a ready redis.asyncio.Redis /
    redis.asyncio.cluster.RedisCluster client.
    """

    __slots__ = ("_url", "_cluster", "_given", "_keys", "_session", "_log_limit")

    def __init__(self, url: Union[str, Any] = DEFAULT_URL, *, namespace: Optional[str] = None,
                 cluster: Optional[bool] = None, log_limit: int = DEFAULT_LOG_LIMIT) -> None:
        self._keys, self._log_limit = _calls.object_keys(namespace, log_limit)
        if isinstance(url, str):
            _calls.split_url(url, cluster)  # refuses a bad URL here, not at the first call
            self._given = None
        else:
            _calls.check_client(url)
            self._given = url
        self._url = url
        self._cluster = cluster
        self._session = _calls.Session(self._keys)

    def __init_subclass__(cls, **kwargs: object) -> None:
        raise TypeError("type 'halvex_redis.asyncio.CoordinationState' is not an acceptable "
                        "base type")

    @property
    def namespace(self) -> str:
        return self._keys.namespace

    def __repr__(self) -> str:
        return "<halvex_redis.asyncio.CoordinationState namespace=%r>" % self._keys.namespace

    async def _run(self, plan: "_calls.Plan[T]") -> T:
        client = self._given if self._given is not None else _client(self._url, self._cluster)
        return await _run(client, self._session, plan)

    async def claim_file(self, agent_id: str, path: str, *surplus: object) -> str:
        """Claims a file for `agent_id`; as halvex_redis.CoordinationState.claim_file."""
        if surplus:
            raise _calls.surplus("claim_file", 2, surplus)
        return await self._run(_calls.claim(self._keys, self._log_limit, agent_id, path, "path",
                                            b"file:", "%s already holds claim on %s"))

    async def claim_task(self, agent_id: str, task_id: str, *surplus: object) -> str:
        """Claims a task for `agent_id`; as `claim_file`."""
        if surplus:
            raise _calls.surplus("claim_task", 2, surplus)
        return await self._run(_calls.claim(self._keys, self._log_limit, agent_id, task_id,
                                            "task_id", b"task:",
                                            "%s already holds claim on task %s"))

    async def renew_claim(self, agent_id: str, resource_key: str, *surplus: object) -> str:
        """Renews a claim held by `agent_id`, restarting its 300-second lease."""
        if surplus:
            raise _calls.surplus("renew_claim", 2, surplus)
        return await self._run(_calls.holder_only(self._keys, self._log_limit, False,
                                                  agent_id, resource_key))

    async def release(self, agent_id: str, resource_key: str, *surplus: object) -> None:
        """Releases a claim held by `agent_id`."""
        if surplus:
            raise _calls.surplus("release", 2, surplus)
        await self._run(_calls.holder_only(self._keys, self._log_limit, True, agent_id,
                                           resource_key))

    async def send_message(self, from_agent: str, to_agent: str, content: str,
                           *surplus: object) -> Message:
        """Puts a message into `to_agent`'s inbox; returns (from, to, content, timestamp)."""
        if surplus:
            raise _calls.surplus("send_message", 3, surplus)
        return await self._run(_calls.send(self._keys, self._log_limit, from_agent, to_agent,
                                           content))

    async def broadcast(self, from_agent: str, content: str, *surplus: object) -> Message:
        """Sends to every known agent, the sender included; returns
        (from, "*", content, timestamp)."""
        if surplus:
            raise _calls.surplus("broadcast", 2, surplus)
        return await self._run(_calls.broadcast(self._session, self._log_limit, from_agent,
                                                content))

    async def inbox(self, agent_id: str, *surplus: object) -> List[Message]:
        """Pending messages for `agent_id`, oldest first; the inbox is kept."""
        if surplus:
            raise _calls.surplus("inbox", 1, surplus)
        return await self._run(_calls.inbox(self._keys, agent_id))

    async def drain_inbox(self, agent_id: str, *surplus: object) -> List[Message]:
        """Pending messages for `agent_id`, oldest first; the inbox is emptied."""
        if surplus:
            raise _calls.surplus("drain_inbox", 1, surplus)
        return await self._run(_calls.drain(self._keys, agent_id))

    async def status(self, agent_id: str, *surplus: object) -> str:
        """One of `"idle"`, `"busy"`, `"completed"`, `"error"`."""
        if surplus:
            raise _calls.surplus("status", 1, surplus)
        return await self._run(_calls.status(self._keys, agent_id))

    async def inbox_batch(self, agent_id: str, max_count: int,
                    max_bytes: int) -> Tuple[List[Message], int]:
        """The oldest messages for `agent_id`, as `inbox` lists them, but at most
        `max_count` and `max_bytes` bytes of UTF-8 content (at least one when any
        waits); and how many more wait. The inbox is kept."""
        return await self._run(_calls.inbox_batch(self._keys, agent_id, max_count, max_bytes))

    async def drain_batch(self, agent_id: str, max_count: int,
                    max_bytes: int) -> Tuple[List[Message], int]:
        """As `inbox_batch`, but the messages returned leave the inbox, with
        `drain_inbox`'s guarantees; the rest stays for later calls."""
        return await self._run(_calls.drain_batch(self._keys, agent_id, max_count, max_bytes))

    async def confirm(self) -> None:
        """Confirms now, in one round trip, the drained batches that this object
        received (nothing is sent when there are none), so none is delivered
        again. For a process or session that ends normally."""
        await self._run(_calls.confirm(self._session))
