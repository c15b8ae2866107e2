"""The clients: one from a URL (plain, cluster or Sentinel), the waits'
own client and their bound, and the checks that a client fits (bytes
replies, a server that does not evict our keys)."""
from __future__ import annotations

import os
import threading
import weakref
from typing import Any, Callable
from urllib.parse import parse_qsl, urlencode, urlsplit, urlunsplit

import redis

from ._calls import CONNECT_TIMEOUT, SOCKET_TIMEOUT

# Waits that may block at once on one URL in a process (the blocking class)
# or an event loop (the asyncio class), unless the URL's max_waits says
# otherwise. Each blocks on a connection of the waits' own pool, so the other
# calls keep theirs; with the other calls' pool of 100 this stays well under
# the usual limit of 1,024 open files.
MAX_WAITS = 500

# Our own URL options, taken out before redis-py reads the URL.
_OURS = ("cluster", "max_waits")


def split_url(url: str, cluster: bool | None) -> tuple[str, bool, dict[str, Any], int]:
    """The URL without our own options, whether to use the cluster client,
    the timeouts to set when the URL leaves them out, and the bound on waits."""
    parts = urlsplit(url)
    query = parse_qsl(parts.query, keep_blank_values=True)
    ours = [(k, v) for k, v in query if k in _OURS]
    rest = [(k, v) for k, v in query if k not in _OURS]
    flags = [v for k, v in ours if k == "cluster"]
    if flags and cluster is None:
        cluster = flags[-1].lower() in ("1", "yes", "true", "on")
    max_waits = MAX_WAITS
    for k, v in ours:
        if k == "max_waits":
            if not v.isdigit() or int(v) < 1:
                raise ValueError(f"max_waits must be a positive integer, not {v!r}")
            max_waits = int(v)
    if any(k == "decode_responses" and v.lower() in ("1", "yes", "true", "on", "y")
           for k, v in rest):
        raise decoding_refused()
    given = {k for k, _ in rest}
    extra: dict[str, Any] = {}
    if "socket_timeout" not in given:
        extra["socket_timeout"] = SOCKET_TIMEOUT
    if "socket_connect_timeout" not in given:
        extra["socket_connect_timeout"] = CONNECT_TIMEOUT
    clean = url
    if ours:  # rebuilt only then: unix:// URLs do not survive a round trip
        clean = urlunsplit((parts.scheme, parts.netloc, parts.path, urlencode(rest),
                            parts.fragment))
    return clean, bool(cluster), extra, max_waits


def new_client(clean: str, use_cluster: bool, extra: dict[str, Any], plain: Any,
               kind: Callable[[str], Any], retry: Any) -> Any:
    """A client for a URL as split_url gave it: the cluster client, a client
    of the primary that Sentinel names (`?sentinel=<service>`), or a plain
    one. Their own retries are off where we can say so (ours carry call ids)."""
    from redis.backoff import NoBackoff
    query = parse_qsl(urlsplit(clean).query, keep_blank_values=True)
    service = [v for k, v in query if k == "sentinel"]
    if use_cluster:
        client = kind("cluster").from_url(clean, **extra)
    elif service:
        client = _sentinel_client(clean, service[-1], extra, kind("sentinel"),
                                  retry(NoBackoff(), 0))
    else:
        info = getattr(redis, "DriverInfo", None)
        if plain is redis.Redis and info is not None:
            # The version redis-py reports to the server, as it names itself:
            # found in its package metadata instead, it costs each short-lived
            # process (a git hook's) some 20 ms.
            extra = dict(extra, driver_info=info(lib_version=redis.__version__))
        client = plain.from_url(clean, retry=retry(NoBackoff(), 0), **extra)
    check_client(client)
    return client


def _sentinel_client(url: str, service: str, extra: dict[str, Any], sentinel: Any,
                     retry: Any) -> Any:
    """redis://[user:password@]host:port[,host:port...]/db?sentinel=service:
    the sentinels to ask, and the options of the primary's connections."""
    parts = urlsplit(url)
    auth, at, hosts = parts.netloc.rpartition("@")
    names = hosts.split(",")
    rest = urlencode([(k, v) for k, v in parse_qsl(parts.query, keep_blank_values=True)
                      if k != "sentinel"])
    parse: Callable[[str], dict[str, Any]] = redis.connection.parse_url
    kwargs = parse(urlunsplit(
        (parts.scheme, auth + at + names[0], parts.path, rest, "")))
    for key in ("host", "port", "connection_class"):
        kwargs.pop(key, None)
    if parts.scheme == "rediss":
        kwargs["ssl"] = True
    kwargs.update(extra)
    sentinels = [(h.rpartition(":")[0], int(h.rpartition(":")[2])) if ":" in h else (h, 26379)
                 for h in names]
    timeouts = {k: kwargs[k] for k in ("socket_timeout", "socket_connect_timeout")
                if k in kwargs}
    return sentinel(sentinels, sentinel_kwargs=timeouts).master_for(service, retry=retry,
                                                                     **kwargs)


def decoding_refused() -> ValueError:
    return ValueError("halvex_redis needs a client that returns bytes: "
                      "decode_responses must be off")


def check_client(client: Any) -> None:
    """Refuses clients whose replies would not be the bytes the decoding expects."""
    try:
        kwargs = client.get_connection_kwargs()
    except Exception:
        kwargs = {}
    if kwargs.get("decode_responses"):
        raise decoding_refused()


class Waits:
    """Waits on one client: the client their BLPOPs use and how many block
    now. For a URL, that client is one of their own (made at the first wait),
    so however many waits block, the other calls on the URL keep their pool;
    beyond `limit` a wait is refused. A ready client is used as it is."""

    def __init__(self, make: Callable[[], Any] | None, limit: int | None, where: str,
                 client: Any = None) -> None:
        self._make = make
        self._client = client
        self.limit = limit
        self.where = where
        self.lock = threading.Lock()
        self.count = 0
        self.pid = os.getpid()

    def enter(self) -> Any:
        """Counts a wait in and returns the client to block on, or refuses it."""
        with self.lock:
            if self.pid != os.getpid():  # a child after fork: the parent's waits are not here
                self.pid, self.count = os.getpid(), 0
            if self.limit is not None and self.count >= self.limit:
                raise RuntimeError(
                    f"wait_inbox refused: {self.limit} waits already block on this Redis URL "
                    f"in this {self.where}; set max_waits in the URL (?max_waits=N) to allow "
                    "more")
            if self._client is None and self._make is not None:
                self._client = self._make()
            self.count += 1
            return self._client

    def leave(self) -> None:
        with self.lock:
            self.count = max(self.count - 1, 0)


# The waits' pool never refuses a connection (the count in Waits bounds them).
_UNBOUNDED = 2 ** 31


def waits_client(clean: str, use_cluster: bool, extra: dict[str, Any], plain: Any,
                 kind: Callable[[str], Any], retry: Any) -> Any:
    """A client for waits alone: the Waits' count bounds them, not its pool."""
    client = new_client(clean, use_cluster, {**extra, "max_connections": _UNBOUNDED}, plain,
                        kind, retry)
    pool = getattr(client, "connection_pool", None)
    if pool is not None:  # the URL's max_connections sizes the other calls' pool only
        pool.max_connections = _UNBOUNDED
    return client


class CheckedClients:
    """Clients whose server's eviction policy was read, by id (a cheap test on
    every call); an entry goes when its client does."""

    def __init__(self) -> None:
        self.ids: set[int] = set()

    def add(self, client: Any) -> None:
        self.ids.add(id(client))
        weakref.finalize(client, self.ids.discard, id(client))


def eviction_fault(info: Any) -> RuntimeError | None:
    """RuntimeError when a server may evict keys that carry no expiry."""
    replies = [info] if "maxmemory_policy" in info else list(info.values())
    for reply in replies:
        if not isinstance(reply, dict):
            continue
        policy = reply.get("maxmemory_policy", "noeviction")
        if isinstance(policy, bytes):
            policy = policy.decode("ascii", "replace")
        if policy != "noeviction" and not policy.startswith("volatile-"):
            return RuntimeError(
                f"the Redis server's maxmemory-policy is {policy}: it may evict claims and unread "
                "messages; set maxmemory-policy to noeviction (or a volatile-* policy), "
                "or use a server of its own for halvex_redis")
    return None
