"""Where the command's calls go: halvex_redis on a Redis server, or a running
`halvex-mcp --http` through halvex_mcp.client.RemoteState.

Both give results as plain JSON data (the field names docs/cli.md lists), and
turn the backend's faults into three kinds: Refused (the state said no, with
its exact text), Unreachable (no answer from the target) and Unsupported (the
target cannot do this at all).
"""

from __future__ import annotations

import os
import sys
import time
from typing import Any, Iterator, Sequence

from halvex_types import IDENTITY_PARAMS, METHODS, AgentInfo, Lease

LEASE_FIELDS = Lease._fields
AGENT_FIELDS = AgentInfo._fields
MESSAGE_FIELDS = ("from", "to", "content", "timestamp")

# How often `watch` looks for new activity records.
WATCH_POLL = 0.2

# JSON-RPC's codes for a call the server took as malformed (invalid request,
# unknown method, invalid parameters); other errors (a closed connection, a
# timeout) mean the server is gone or stuck.
BAD_CALL = (-32600, -32601, -32602)

REDIS_MISSING = "--redis needs the redis extra: pip install 'halvex_core[redis]'"
MCP_MISSING = ("--mcp needs the mcp extra (Python 3.10 or later): "
               "pip install 'halvex_core[mcp]'")


class Refused(Exception):
    """The state refused the call; the text is the state's own. `lines`: a
    refusal of several lines of our own, each shown as one line."""

    def __init__(self, text: str, lines: list[str] | None = None) -> None:
        super().__init__(text)
        self.lines = lines


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


def _records(value: Any) -> Any:
    """Named tuples (a Task, a Next) as objects, nested ones too."""
    if isinstance(value, tuple) and hasattr(value, "_asdict"):
        return {k: _records(v) for k, v in value._asdict().items()}
    if isinstance(value, list):
        return [_records(v) for v in value]
    return value


def as_json(name: str, value: Any) -> Any:
    """A method's result as plain JSON data, with the field names above."""
    result = METHODS[name].result
    if result == "Lease | None":
        return None if value is None else as_record(value, LEASE_FIELDS)
    if result == "list[Lease]":
        return [as_record(v, LEASE_FIELDS) for v in value]
    if result == "list[AgentInfo]":
        return [as_record(v, AGENT_FIELDS) for v in value]
    if result == "Message":
        return message_record(value)
    if result == "list[Message]":
        return [message_record(m) for m in value]
    if result in ("Task", "Next", "list[Task]"):
        return _records(value)
    if isinstance(value, tuple):
        return list(value)
    return value


class Target:
    """The calls of every command, over one backend."""

    label = ""

    def _call(self, name: str, params: Sequence[str], args: Sequence[Any]) -> Any:
        raise NotImplementedError

    def call(self, name: str, *args: Any) -> Any:
        """A method of halvex_types' table, its arguments in the table's order."""
        return self._call(name, [p.name for p in METHODS[name].params], args)

    def now(self) -> float:
        """The state's clock, in seconds (leases and last-seen times count by it)."""
        return time.time()

    def close(self) -> None:
        pass

    def claim(self, agent: str, key: str) -> None:
        method, name = split_key(key)
        self.call(method, agent, name)

    def renew(self, agent: str, key: str) -> None:
        self.call("renew_claim", agent, key)

    def release(self, agent: str, key: str) -> None:
        self.call("release", agent, key)

    def release_all(self, agent: str) -> list[str]:
        return list(self.call("release_all", agent))

    def check(self, agent: str, key: str, token: int) -> int:
        return int(self.call("check_lease", agent, key, token))

    def lease(self, key: str) -> dict[str, Any] | None:
        found: dict[str, Any] | None = as_json("lease", self.call("lease", key))
        return found

    def claim_many(self, agent: str, keys: list[str]) -> list[dict[str, Any]]:
        found: list[dict[str, Any]] = as_json("claim_many", self.call("claim_many", agent, keys))
        return found

    def lease_many(self, keys: list[str]) -> list[dict[str, Any] | None]:
        """Each key's lease (or None), in one call however many keys."""
        return [None if found is None else as_record(found, LEASE_FIELDS)
                for found in self.call("lease_many", keys)]

    def leases(self, prefix: str = "") -> list[dict[str, Any]]:
        found: list[dict[str, Any]] = as_json("leases", self.call("leases", prefix))
        return found

    def agents(self) -> list[dict[str, Any]]:
        found: list[dict[str, Any]] = as_json("agents", self.call("agents"))
        return found

    def send(self, sender: str, to: str, text: str) -> dict[str, Any]:
        return message_record(self.call("send_message", sender, to, text))

    def broadcast(self, sender: str, text: str) -> dict[str, Any]:
        return message_record(self.call("broadcast", sender, text))

    def inbox(self, agent: str, drain: bool, wait: float | None) -> list[dict[str, Any]]:
        if wait is not None:
            found = self.call("wait_inbox", agent, wait)
        else:
            found = self.call("drain_inbox" if drain else "inbox", agent)
        return [message_record(m) for m in found]

    def delete_namespace(self) -> int:
        raise Unsupported("delete-namespace needs a state file or --redis: the MCP server "
                          "offers no such tool")

    def events(self, replay: bool) -> Iterator[dict[str, Any] | None]:
        raise Unsupported("watch needs a state file or --redis: the MCP server offers no event "
                          "stream yet")


class StateTarget(Target):
    """A state object of halvex_redis or halvex_sqlite, called directly.

    `faults` are the backend's own exceptions for "could not reach the
    state"; `where` names it in messages."""

    def __init__(self, state: Any, faults: tuple[type[BaseException], ...], where: str,
                 delete: Any) -> None:
        self._state, self._faults, self._where, self._delete = state, faults, where, delete

    def _guard(self, what: Any, *args: Any) -> Any:
        try:
            return what(*args)
        except RuntimeError as err:
            raise Refused(str(err)) from None
        except (ValueError, TypeError) as err:
            raise Unsupported(str(err)) from None
        except self._faults as err:
            raise Unreachable(f"cannot reach {self._where}: {err or type(err).__name__}") \
                from None

    def _call(self, name: str, params: Sequence[str], args: Sequence[Any]) -> Any:
        return self._guard(getattr(self._state, name), *args)

    def close(self) -> None:
        # Confirms drained batches now that they are shown: unconfirmed, they
        # would come back to the next reader.
        try:
            self._state.confirm()
        except Exception as err:
            raise Unreachable("drained messages not confirmed (they will be delivered "
                              f"again): {err}") from None
        finally:
            getattr(self._state, "close", lambda: None)()

    def now(self) -> float:
        return float(self._guard(self._state.now))

    def delete_namespace(self) -> int:
        return int(self._guard(self._delete))

    def events(self, replay: bool) -> Iterator[dict[str, Any] | None]:
        """The namespace's activity records as they are written (all that the
        log still holds first, with `replay`); None while the state cannot
        be reached (the read goes on from the last record seen), {} after a
        look that found nothing new (lets the caller check its deadline)."""
        last: str | None = "0" if replay else None
        while True:
            try:
                if last is None:  # pin the start, so a reconnection misses nothing
                    newest = self._guard(self._state.activity, None, 1)
                    last = newest[-1]["id"] if newest else "0"
                records = self._guard(self._state.activity, last, 100)
            except Unreachable:
                yield None
                time.sleep(1.0)
                continue
            for record in records:
                last = record["id"]
                yield record
            if not records:
                yield {}
                time.sleep(WATCH_POLL)


class RedisTarget(StateTarget):
    """halvex_redis.CoordinationState on one namespace."""

    def __init__(self, url: str, namespace: str) -> None:
        try:
            import halvex_redis
            import redis
        except ImportError:
            raise Unsupported(REDIS_MISSING) from None
        self.url, self.namespace = url, namespace
        self.label = f"{url} namespace {namespace}"
        try:
            state = halvex_redis.CoordinationState(url, namespace=namespace)
        except (ValueError, TypeError) as err:
            raise Unsupported(str(err)) from None
        except redis.exceptions.RedisError as err:
            raise Unreachable(f"cannot reach {url}: {err}") from None
        super().__init__(state, (redis.exceptions.RedisError,), url,
                         lambda: halvex_redis.delete_namespace(namespace, url))


class SqliteTarget(StateTarget):
    """halvex_sqlite.CoordinationState: a state file (by default the
    repository's) and a namespace in it."""

    def __init__(self, path: str | None, namespace: str | None) -> None:
        import halvex_sqlite

        where = str(halvex_sqlite.default_path() if path is None else path)
        ns = halvex_sqlite.DEFAULT_NAMESPACE if namespace is None else namespace
        self.label = where if ns == halvex_sqlite.DEFAULT_NAMESPACE else f"{where} namespace {ns}"
        self.path, self.namespace = where, ns
        try:
            state = halvex_sqlite.CoordinationState(where, namespace=ns)
        except halvex_sqlite.StateFileError as err:
            raise Unreachable(str(err)) from None
        except (ValueError, TypeError) as err:
            raise Unsupported(str(err)) from None
        super().__init__(state, (halvex_sqlite.StateFileError,), where,
                         lambda: halvex_sqlite.delete_namespace(ns, where))


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
        a drain or a wait takes every batch, acknowledging each, so the
        messages are not delivered again. A plain read shows the first batch
        and says how many more wait."""
        if wait is not None:
            return [message_record(m) for m in self._whole("wait_inbox", agent, wait)]
        if drain:
            return [message_record(m) for m in self._whole("drain_inbox", agent)]
        found = super().inbox(agent, drain, wait)
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

    def delete_namespace(self) -> int:
        # Offered only to an admin's token of a server with --credentials.
        if "delete_namespace" not in self._session().params:
            raise Unsupported(f"the MCP server at {self.url} offers delete_namespace only to an "
                              "admin's token of its --credentials; or use the state file or "
                              "--redis")
        return int(self._call("delete_namespace", [], []))

    def lease_many(self, keys: list[str]) -> list[dict[str, Any] | None]:
        # No tool reads several keys: one read of the keys' common prefix.
        held = {found["resource_key"]: found for found in self.leases(os.path.commonprefix(keys))}
        return [held.get(key) for key in keys]

    def _whole(self, name: str, *args: Any) -> Any:
        return self._call(name, [p.name for p in METHODS[name].params], args, whole=True)

    def _call(self, name: str, params: Sequence[str], args: Sequence[Any],
              whole: bool = False) -> Any:
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
            if whole:  # RemoteState's own drains: every batch, acknowledged
                value = getattr(remote, name)(*arguments.values())
            else:
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
