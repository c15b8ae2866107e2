"""Where the command's calls go: halvex_redis on a Redis server, or a running
`halvex-mcp --http` through halvex_mcp.client.RemoteState.

Both give results as plain JSON data (the field names docs/cli.md lists), and
turn the backend's faults into three kinds: Refused (the state said no, with
its exact text), Unreachable (no answer from the target) and Unsupported (the
target cannot do this at all).
"""

from __future__ import annotations

import sys
import time
from typing import Any, Iterator, Sequence

LEASE_FIELDS = ("resource_key", "holder", "token", "granted_at", "renewed_at", "expires_at",
                "live")
AGENT_FIELDS = ("agent_id", "status", "inbox", "pending", "leases", "last_seen")
MESSAGE_FIELDS = ("from", "to", "content", "timestamp")

# Parameters that name the acting agent: a halvex-mcp started with --agent
# leaves them out of its tools and acts as that agent.
IDENTITY_PARAMS = ("agent_id", "from_agent")

# JSON-RPC's codes for a call the server took as malformed (invalid request,
# unknown method, invalid parameters); other errors (a closed connection, a
# timeout) mean the server is gone or stuck.
BAD_CALL = (-32600, -32601, -32602)

REDIS_MISSING = "--redis needs the redis extra: pip install 'halvex_core[redis]'"
MCP_MISSING = ("--mcp needs the mcp extra (Python 3.10 or later): "
               "pip install 'halvex_core[mcp]'")


class Refused(Exception):
    """The state refused the call; the text is the state's own."""


class Unreachable(Exception):
    """The target did not answer."""


class Unsupported(Exception):
    """The target cannot do what was asked (a usage error)."""


def as_record(value: Any, fields: Sequence[str]) -> dict[str, Any]:
    """A named tuple, a JSON array in field order or a JSON object, as a dict."""
    if isinstance(value, dict):
        return {f: value.get(f) for f in fields}
    return dict(zip(fields, value))


def message_record(value: Any) -> dict[str, Any]:
    return as_record(value, MESSAGE_FIELDS)


def split_key(key: str) -> tuple[str, str]:
    """The claim method and its argument for `file:<path>` or `task:<id>`."""
    kind, sep, name = key.partition(":")
    if not sep or kind not in ("file", "task") or not name:
        raise Unsupported(f"a key is file:<path> or task:<id>, not {key!r}")
    return "claim_" + kind, name


class Target:
    """The calls of every command, over one backend."""

    label = ""

    def _call(self, name: str, params: Sequence[str], args: Sequence[Any]) -> Any:
        raise NotImplementedError

    def now(self) -> float:
        """The state's clock, in seconds (leases and last-seen times count by it)."""
        return time.time()

    def close(self) -> None:
        pass

    def claim(self, agent: str, key: str) -> None:
        method, name = split_key(key)
        self._call(method, ("agent_id", "path" if method == "claim_file" else "task_id"),
                   (agent, name))

    def renew(self, agent: str, key: str) -> None:
        self._call("renew_claim", ("agent_id", "resource_key"), (agent, key))

    def release(self, agent: str, key: str) -> None:
        self._call("release", ("agent_id", "resource_key"), (agent, key))

    def release_all(self, agent: str) -> list[str]:
        return list(self._call("release_all", ("agent_id",), (agent,)))

    def check(self, agent: str, key: str, token: int) -> int:
        return int(self._call("check_lease", ("agent_id", "resource_key", "token"),
                              (agent, key, token)))

    def lease(self, key: str) -> dict[str, Any] | None:
        found = self._call("lease", ("resource_key",), (key,))
        return None if found is None else as_record(found, LEASE_FIELDS)

    def leases(self, prefix: str = "") -> list[dict[str, Any]]:
        return [as_record(v, LEASE_FIELDS) for v in self._call("leases", ("prefix",), (prefix,))]

    def agents(self) -> list[dict[str, Any]]:
        return [as_record(v, AGENT_FIELDS) for v in self._call("agents", (), ())]

    def send(self, sender: str, to: str, text: str) -> dict[str, Any]:
        return message_record(self._call("send_message", ("from_agent", "to_agent", "content"),
                                         (sender, to, text)))

    def broadcast(self, sender: str, text: str) -> dict[str, Any]:
        return message_record(self._call("broadcast", ("from_agent", "content"), (sender, text)))

    def inbox(self, agent: str, drain: bool, wait: float | None) -> list[dict[str, Any]]:
        if wait is not None:
            found = self._call("wait_inbox", ("agent_id", "timeout"), (agent, wait))
        else:
            found = self._call("drain_inbox" if drain else "inbox", ("agent_id",), (agent,))
        return [message_record(m) for m in found]

    def delete_namespace(self) -> int:
        raise Unsupported("delete-namespace needs --redis: the MCP server offers no such tool")

    def events(self, replay: bool) -> Iterator[dict[str, Any] | None]:
        raise Unsupported("watch needs --redis: the MCP server offers no event stream yet")


class RedisTarget(Target):
    """halvex_redis.CoordinationState on one namespace."""

    def __init__(self, url: str, namespace: str) -> None:
        try:
            import halvex_redis
            import redis
        except ImportError:
            raise Unsupported(REDIS_MISSING) from None
        self._redis = redis
        self._module = halvex_redis
        self.url, self.namespace = url, namespace
        self.label = f"{url} namespace {namespace}"
        try:
            self._state = halvex_redis.CoordinationState(url, namespace=namespace)
        except (ValueError, TypeError) as err:
            raise Unsupported(str(err)) from None
        except redis.exceptions.RedisError as err:
            raise Unreachable(f"cannot reach {url}: {err}") from None
        self._raw: Any = None

    def _guard(self, what: Any, *args: Any) -> Any:
        try:
            return what(*args)
        except RuntimeError as err:
            raise Refused(str(err)) from None
        except (ValueError, TypeError) as err:
            raise Unsupported(str(err)) from None
        except self._redis.exceptions.RedisError as err:
            raise Unreachable(f"cannot reach {self.url}: {err or type(err).__name__}") \
                from None

    def _call(self, name: str, params: Sequence[str], args: Sequence[Any]) -> Any:
        return self._guard(getattr(self._state, name), *args)

    def raw(self) -> Any:
        """The client halvex_redis itself uses for the URL, for what the class
        does not offer (TIME, the log)."""
        if self._raw is None:
            self._raw = self._guard(self._module._client, self.url, None)
        return self._raw

    def close(self) -> None:
        # Confirms drained batches now that they are shown: unconfirmed, they
        # would come back to the next reader.
        try:
            self._state.confirm()
        except Exception as err:
            raise Unreachable("drained messages not confirmed (they will be delivered "
                              f"again): {err}") from None

    def now(self) -> float:
        seconds, micros = self._guard(lambda: self.raw().time())
        return float(seconds) + float(micros) / 1e6

    def delete_namespace(self) -> int:
        return int(self._guard(self._module.delete_namespace, self.namespace, self.url))

    def events(self, replay: bool) -> Iterator[dict[str, Any] | None]:
        """The namespace's activity records as they are written (all that the
        log still holds first, with `replay`); None while the server cannot
        be reached (the read goes on from the last record seen)."""
        from halvex_redis import _calls

        log = _calls.Keys(self.namespace).log
        last = b"0-0" if replay else b"$"
        while True:
            try:
                client = self.raw()
                if last == b"$":  # pin the start, so a reconnection misses nothing
                    newest = client.xrevrange(log, count=1)
                    last = newest[0][0] if newest else b"0-0"
                reply = client.xread({log: last}, count=100, block=1000)
            except Unreachable:
                yield None
                time.sleep(1.0)
                continue
            except self._redis.exceptions.RedisError:
                self._raw = None
                yield None
                time.sleep(1.0)
                continue
            for _stream, entries in reply or []:
                for entry_id, fields in entries:
                    last = entry_id
                    yield _calls.log_entry(entry_id, fields)
            if not reply:
                yield {}  # a quiet second: lets the caller check its deadline


class McpTarget(Target):
    """The tools of a running `halvex-mcp --http`, called by name."""

    def __init__(self, url: str, token: str | None) -> None:
        try:
            from halvex_mcp.client import RemoteState
            from mcp.shared.exceptions import MCPError
        except ImportError:
            raise Unsupported(MCP_MISSING) from None
        self.url, self.token = url, token
        self.label = url
        self._open: Any = RemoteState
        self._protocol_error = MCPError
        self._remote: Any = None
        self.remaining: int | None = None  # messages left after the last batch
        self._session()

    def inbox(self, agent: str, drain: bool, wait: float | None) -> list[dict[str, Any]]:
        """The server answers with batches (at most 1,000 messages or 1 MiB):
        a drain or a wait takes batch after batch until one comes back empty,
        which confirms the one before (a client without an MCP session has no
        other way to), so the messages are not delivered again. A plain read
        shows the first batch and says how many more wait."""
        found = super().inbox(agent, drain, wait)
        if drain or wait is not None:
            batch = found
            while batch:
                batch = super().inbox(agent, True, None)
                found += batch
        if self.remaining:
            sys.stderr.write(f"halvex: {self.remaining} more message(s) wait in {agent}'s inbox "
                             "beyond this batch\n")
        return found

    def _session(self) -> Any:
        """The MCP session, opened again after one failed (the server may
        have restarted and forgotten it)."""
        if self._remote is None:
            try:
                self._remote = self._open(self.url, self.token)
            except ConnectionError as err:
                raise Unreachable(str(err)) from None
        return self._remote

    def _call(self, name: str, params: Sequence[str], args: Sequence[Any]) -> Any:
        remote = self._session()
        required = remote.params.get(name)
        if required is None:
            raise Unsupported(f"the MCP server at {self.url} offers no tool {name}; use "
                              "--redis, or a "
                              "halvex-mcp that has it")
        # A pinned server acts as its own agent and takes no identity argument.
        arguments = {p: v for p, v in zip(params, args)
                     if p not in IDENTITY_PARAMS or p in required}
        try:
            value, self.remaining = remote.call(name, **arguments)
            return value
        except RuntimeError as err:
            raise Refused(str(err)) from None
        except Exception as err:
            if isinstance(err, self._protocol_error) and err.code in BAD_CALL:
                raise Unsupported(f"the MCP server refused the call to {name}: {err}") \
                    from None
            self.close()
            while getattr(err, "exceptions", None):  # task groups wrap the cause
                err = err.exceptions[0]  # type: ignore[attr-defined]
            raise Unreachable(f"cannot reach {self.url}: {type(err).__name__}: {err}") \
                from None

    def close(self) -> None:
        remote, self._remote = self._remote, None
        if remote is not None:
            try:
                remote.close()
            except Exception:
                pass
