"""halvex_core's CoordinationState over Redis, for agents in many processes or hosts.

Same methods, parameters, results, status words and RuntimeError texts as
halvex_core.CoordinationState. Each method is one Lua script run with EVALSHA,
so every call is atomic and costs one round trip; all times come from the
server's clock. A lost connection or a timeout raises the client's
redis.exceptions.ConnectionError / TimeoutError, and the call is not retried:
a retry could apply a call whose reply was lost a second time.
"""

import hashlib
import threading
import uuid
from typing import Any, Callable, Dict, List, Optional, Tuple

import redis
from redis.backoff import NoBackoff
from redis.exceptions import NoScriptError
from redis.retry import Retry

from . import _scripts

__all__ = ["CoordinationState", "delete_namespace", "DEFAULT_URL"]

DEFAULT_URL = "redis://127.0.0.1:6379/0"

Message = Tuple[str, str, str, int]

_WORDS = {b"0": "idle", b"1": "busy", b"2": "completed", b"3": "error", None: "idle"}

_clients: Dict[str, "redis.Redis"] = {}
_clients_lock = threading.Lock()


def _client(url: str) -> "redis.Redis":
    # One client (and connection pool) per URL and process; redis-py's pool
    # notices a fork and starts afresh in the child.
    with _clients_lock:
        client = _clients.get(url)
        if client is None:
            client = redis.Redis.from_url(url, retry=Retry(NoBackoff(), 0))
            _clients[url] = client
        return client


class _Script:
    __slots__ = ("source", "sha")

    def __init__(self, source: str) -> None:
        self.source = source.encode("utf-8")
        self.sha = hashlib.sha1(self.source).hexdigest()

    def __call__(self, client: "redis.Redis", keys: Tuple[bytes, ...], *args: bytes) -> Any:
        run: Callable[..., Any] = client.execute_command
        try:
            return run("EVALSHA", self.sha, len(keys), *keys, *args)
        except NoScriptError:
            # A restarted or flushed server forgets its scripts.
            run("SCRIPT", "LOAD", self.source)
            return run("EVALSHA", self.sha, len(keys), *keys, *args)


_CLAIM = _Script(_scripts.CLAIM)
_RENEW = _Script(_scripts.RENEW)
_RELEASE = _Script(_scripts.RELEASE)
_SEND = _Script(_scripts.SEND)
_BROADCAST = _Script(_scripts.BROADCAST)
_INBOX = _Script(_scripts.INBOX)
_DRAIN = _Script(_scripts.DRAIN)
_STATUS = _Script(_scripts.STATUS)
_DELETE = _Script(_scripts.DELETE)


def _text(name: str, value: object) -> Tuple[str, bytes]:
    """The exact str and UTF-8 bytes of an argument, or the binding's TypeError."""
    if not isinstance(value, str):
        try:
            type_name = type(value).__qualname__
        except Exception:
            type_name = "<failed to extract type name>"
        raise TypeError("argument '%s': '%s' object cannot be converted to 'PyString'"
                        % (name, type_name))
    # str.encode itself, so a subclass is taken as its characters; lone
    # surrogates raise UnicodeEncodeError here, before anything is sent.
    data = str.encode(value, "utf-8")
    return (value if type(value) is str else data.decode("utf-8")), data


def _keys(namespace: str) -> Tuple[bytes, bytes, bytes, bytes]:
    # Every key carries the {namespace} hash tag, so one namespace lives in one
    # cluster slot and each script touches a single slot.
    if not isinstance(namespace, str):
        raise TypeError("namespace must be a str, not '%s'" % type(namespace).__name__)
    if not namespace:
        raise ValueError("namespace must not be empty: '{}' is no hash tag")
    base = b"halvex:{" + namespace.encode("utf-8") + b"}:"
    return base + b"claims", base + b"status", base + b"log", base + b"inbox:"


def _messages(owner: str, raw: List[bytes]) -> List[Message]:
    out = []
    for item in raw:
        stamp, length, rest = item.split(b",", 2)
        n = int(length)
        out.append((rest[:n].decode("utf-8"), owner, rest[n:].decode("utf-8"), int(stamp)))
    return out


def delete_namespace(namespace: str, url: str = DEFAULT_URL) -> int:
    """Deletes every key of `namespace` in one atomic script; returns how many went.

    Objects still using the namespace afterwards see a fresh, empty state.
    """
    claims, status, log, inbox = _keys(namespace)
    return int(_DELETE(_client(url), (claims, status, log), inbox))


class CoordinationState:
    """Claims with 300-second leases, inboxes, broadcasts and status words, kept in Redis.

    Objects given the same `namespace` (in any process, on any host) share one
    state; without one, each object gets a fresh namespace of its own, shown by
    the `namespace` attribute.
    """

    __slots__ = ("_client", "_namespace", "_claims", "_status", "_log", "_inbox")

    def __init__(self, url: str = DEFAULT_URL, *, namespace: Optional[str] = None) -> None:
        if namespace is None:
            namespace = uuid.uuid4().hex
        self._claims, self._status, self._log, self._inbox = _keys(namespace)
        self._namespace = namespace
        self._client = _client(url)

    def __init_subclass__(cls, **kwargs: object) -> None:
        raise TypeError("type 'halvex_redis.CoordinationState' is not an acceptable base type")

    @property
    def namespace(self) -> str:
        return self._namespace

    def __repr__(self) -> str:
        return "<halvex_redis.CoordinationState namespace=%r>" % self._namespace

    # -- claims ------------------------------------------------------------

    def _claim(self, agent_id: object, name: object, param: str, prefix: bytes,
               conflict: str) -> str:
        agent, agent_b = _text("agent_id", agent_id)
        text, text_b = _text(param, name)
        reply = _CLAIM(self._client, (self._claims, self._status, self._log),
                       agent_b, prefix + text_b)
        if reply[0] == 0:
            raise RuntimeError(conflict % (reply[1].decode("utf-8"), text))
        return agent

    def claim_file(self, agent_id: str, path: str) -> str:
        """Claims a file for `agent_id`. Raises `RuntimeError` if another agent
        already holds it. Returns the claiming agent's id back on success."""
        return self._claim(agent_id, path, "path", b"file:", "%s already holds claim on %s")

    def claim_task(self, agent_id: str, task_id: str) -> str:
        """Claims a task for `agent_id`; as `claim_file`."""
        return self._claim(agent_id, task_id, "task_id", b"task:",
                           "%s already holds claim on task %s")

    def _holder_only(self, script: _Script, keys: Tuple[bytes, ...], agent_id: object,
                     resource_key: object, missing: str, foreign: str) -> str:
        agent, agent_b = _text("agent_id", agent_id)
        key, key_b = _text("resource_key", resource_key)
        reply = script(self._client, keys, agent_b, key_b)
        if reply[0] == 0:
            raise RuntimeError(missing % {"agent": agent, "key": key})
        if reply[0] == 1:
            raise RuntimeError(foreign % (agent, reply[1].decode("utf-8")))
        return agent

    def renew_claim(self, agent_id: str, resource_key: str) -> str:
        """Renews a claim keyed by e.g. `"file:src/lib.rs"` or `"task:phase-7"`,
        restarting its 300-second lease. Only the holder may renew."""
        return self._holder_only(_RENEW, (self._claims,), agent_id, resource_key,
                                 "no claim on %(key)s to renew",
                                 "%s cannot renew a claim held by %s")

    def release(self, agent_id: str, resource_key: str) -> None:
        """Releases a claim keyed by e.g. `"file:src/lib.rs"` or `"task:phase-7"`.
        Only the holder may release it."""
        self._holder_only(_RELEASE, (self._claims, self._status, self._log), agent_id,
                          resource_key, "no claim found for %(agent)s",
                          "%s cannot release a claim held by %s")

    # -- messages ----------------------------------------------------------

    def send_message(self, from_agent: str, to_agent: str, content: str) -> Message:
        """Puts a message into `to_agent`'s inbox; returns (from, to, content, timestamp)."""
        sender, sender_b = _text("from_agent", from_agent)
        to, to_b = _text("to_agent", to_agent)
        text, text_b = _text("content", content)
        stamp = _SEND(self._client, (self._status, self._log, self._inbox + to_b),
                      sender_b, to_b, text_b)
        return (sender, to, text, int(stamp))

    def broadcast(self, from_agent: str, content: str) -> Message:
        """Sends to every known agent, the sender included; returns (from, "*", content, timestamp)."""
        sender, sender_b = _text("from_agent", from_agent)
        text, text_b = _text("content", content)
        stamp = _BROADCAST(self._client, (self._status, self._log),
                           sender_b, text_b, self._inbox)
        return (sender, "*", text, int(stamp))

    def inbox(self, agent_id: str) -> List[Message]:
        """Pending messages for `agent_id`, oldest first; the inbox is kept."""
        agent, agent_b = _text("agent_id", agent_id)
        return _messages(agent, _INBOX(self._client, (self._inbox + agent_b,)))

    def drain_inbox(self, agent_id: str) -> List[Message]:
        """Pending messages for `agent_id`, oldest first; the inbox is emptied."""
        agent, agent_b = _text("agent_id", agent_id)
        return _messages(agent, _DRAIN(self._client, (self._inbox + agent_b,)))

    def status(self, agent_id: str) -> str:
        """One of `"idle"`, `"busy"`, `"completed"`, `"error"`."""
        _agent, agent_b = _text("agent_id", agent_id)
        return _WORDS[_STATUS(self._client, (self._status,), agent_b)]
