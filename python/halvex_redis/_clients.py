"""The clients: one from a URL (plain, cluster or Sentinel), and the checks
that a client fits (bytes replies, a server that does not evict our keys)."""
from __future__ import annotations

import weakref
from typing import Any, Callable
from urllib.parse import parse_qsl, urlencode, urlsplit, urlunsplit

import redis

from ._calls import CONNECT_TIMEOUT, SOCKET_TIMEOUT


def split_url(url: str, cluster: bool | None) -> tuple[str, bool, dict[str, Any]]:
    """The URL without our own `cluster` option, whether to use the cluster
    client, and the timeouts to set when the URL leaves them out."""
    parts = urlsplit(url)
    query = parse_qsl(parts.query, keep_blank_values=True)
    ours = [v for k, v in query if k == "cluster"]
    rest = [(k, v) for k, v in query if k != "cluster"]
    if ours and cluster is None:
        cluster = ours[-1].lower() in ("1", "yes", "true", "on")
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
    return clean, bool(cluster), extra


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
