"""halvex_core's CoordinationState over one SQLite file, for agents in many
processes of one machine.

Same methods, parameters, results, status words and RuntimeError texts as
halvex_core.CoordinationState and halvex_redis, plus halvex_redis's views,
fencing tokens, waits and batches. Each call is one transaction on the file,
so every process on the machine sees it whole; times are the local wall
clock in whole seconds. A drained batch stays in the file until the object's
next call confirms it arrived. Problems with the file itself raise
StateFileError (an OSError), never RuntimeError, which means a refusal.

halvex_sqlite.asyncio holds the same class with coroutine methods.
"""
from __future__ import annotations

import os
from pathlib import Path
from typing import Any

from halvex_types import AgentInfo, Lease, Message

from . import _core, _rules
from ._core import DEFAULT_LOG_LIMIT
from ._rules import text
from ._store import StateFileError, default_path

__all__ = ["CoordinationState", "delete_namespace", "default_path", "StateFileError",
           "DEFAULT_LOG_LIMIT", "DEFAULT_NAMESPACE", "Lease", "AgentInfo"]

# The namespace every object, server and command uses unless told otherwise,
# so that they all meet in one state file.
DEFAULT_NAMESPACE = "default"


def _none(method: str, params: int, surplus: tuple[object, ...]) -> None:
    if surplus:
        raise _rules.surplus_error(method, params, params + len(surplus))


def activity_args(after: object, count: object) -> tuple[str | None, int]:
    if after is not None:
        if not isinstance(after, str):
            raise TypeError(f"after must be a str or None, not '{type(after).__name__}'")
        if not (after.isascii() and after.isdigit()):
            raise ValueError(f"after must be an activity id such as '0', not {after!r}")
    if isinstance(count, bool) or not isinstance(count, int):
        raise TypeError(f"count must be an int, not '{type(count).__name__}'")
    if count < 0:
        raise ValueError(f"count must not be negative, not {count}")
    return after, count


def delete_namespace(namespace: str, path: str | os.PathLike[str] | None = None) -> int:
    """Deletes everything of `namespace` in the file; returns how many rows
    went (claims, agents, messages, activity records).

    Objects still using the namespace afterwards see a fresh, empty state;
    fencing tokens and activity ids go on from where they were.
    """
    return _core.delete_namespace(path, namespace)


class CoordinationState:
    """Claims with 300-second leases, inboxes, broadcasts and status words,
    kept in an SQLite file.

    Objects on the same file and `namespace` (in any process of the machine)
    share one state. Without `path` the file is `default_path()`: inside a
    git work tree one per repository, shared by all its worktrees.
    """

    __slots__ = ("_core",)

    def __init__(self, path: str | os.PathLike[str] | None = None, *,
                 namespace: str = DEFAULT_NAMESPACE, log_limit: int = DEFAULT_LOG_LIMIT) -> None:
        self._core = _core.Core(path, namespace, log_limit)

    def __init_subclass__(cls, **kwargs: object) -> None:
        raise TypeError("type 'halvex_sqlite.CoordinationState' is not an acceptable base type")

    @property
    def namespace(self) -> str:
        return self._core.ns

    @property
    def path(self) -> Path:
        return self._core.store.path

    def __repr__(self) -> str:
        return (f"<halvex_sqlite.CoordinationState path={str(self.path)!r} "
                f"namespace={self.namespace!r}>")

    def close(self) -> None:
        """Closes the object's idle connections to the file now, rather than
        when the object is collected; using the object again reopens them."""
        self._core.store.close()

    def claim_file(self, agent_id: str, path: str, *surplus: object) -> str:
        _none("claim_file", 2, surplus)
        return self._core.claim(text("agent_id", agent_id), text("path", path), "file:", False)

    def claim_task(self, agent_id: str, task_id: str, *surplus: object) -> str:
        _none("claim_task", 2, surplus)
        return self._core.claim(text("agent_id", agent_id), text("task_id", task_id), "task:",
                                True)

    def renew_claim(self, agent_id: str, resource_key: str, *surplus: object) -> str:
        _none("renew_claim", 2, surplus)
        return self._core.renew(text("agent_id", agent_id), text("resource_key", resource_key))

    def release(self, agent_id: str, resource_key: str, *surplus: object) -> None:
        _none("release", 2, surplus)
        self._core.release(text("agent_id", agent_id), text("resource_key", resource_key))

    def send_message(self, from_agent: str, to_agent: str, content: str,
                     *surplus: object) -> Message:
        _none("send_message", 3, surplus)
        return self._core.send(text("from_agent", from_agent), text("to_agent", to_agent),
                               text("content", content))

    def broadcast(self, from_agent: str, content: str, *surplus: object) -> Message:
        _none("broadcast", 2, surplus)
        return self._core.broadcast(text("from_agent", from_agent), text("content", content))

    def inbox(self, agent_id: str, *surplus: object) -> list[Message]:
        _none("inbox", 1, surplus)
        return self._core.inbox(text("agent_id", agent_id))

    def _drained(self, agent: str, got: tuple[list[Message], int, int | None]) -> None:
        # The caller has the result now: the object's next call confirms it.
        self._core.session.answered(agent, got[2])

    def drain_inbox(self, agent_id: str, *surplus: object) -> list[Message]:
        _none("drain_inbox", 1, surplus)
        agent = text("agent_id", agent_id)
        got = self._core.drain(agent)
        self._drained(agent, got)
        return got[0]

    def status(self, agent_id: str, *surplus: object) -> str:
        _none("status", 1, surplus)
        return self._core.status(text("agent_id", agent_id))

    def inbox_batch(self, agent_id: str, max_count: int, max_bytes: int,
                    *surplus: object) -> tuple[list[Message], int]:
        _none("inbox_batch", 3, surplus)
        return self._core.inbox_batch(text("agent_id", agent_id),
                                      _rules.limit("max_count", max_count),
                                      _rules.limit("max_bytes", max_bytes))

    def drain_batch(self, agent_id: str, max_count: int, max_bytes: int,
                    *surplus: object) -> tuple[list[Message], int]:
        _none("drain_batch", 3, surplus)
        agent = text("agent_id", agent_id)
        limits = (_rules.limit("max_count", max_count), _rules.limit("max_bytes", max_bytes))
        got = self._core.drain(agent, limits)
        self._drained(agent, got)
        return got[0], got[1]

    def confirm(self, *surplus: object) -> None:
        _none("confirm", 0, surplus)
        self._core.confirm()

    def lease(self, resource_key: str, *surplus: object) -> Lease | None:
        _none("lease", 1, surplus)
        return self._core.lease(text("resource_key", resource_key))

    def leases(self, prefix: str = "", *surplus: object) -> list[Lease]:
        _none("leases", 1, surplus)
        return self._core.leases(text("prefix", prefix))

    def check_lease(self, agent_id: str, resource_key: str, token: int,
                    *surplus: object) -> int:
        _none("check_lease", 3, surplus)
        return self._core.check_lease(text("agent_id", agent_id),
                                      text("resource_key", resource_key),
                                      _rules.token("token", token))

    def agents(self, *surplus: object) -> list[AgentInfo]:
        _none("agents", 0, surplus)
        return self._core.agents()

    def release_all(self, agent_id: str, *surplus: object) -> list[str]:
        _none("release_all", 1, surplus)
        return self._core.release_all(text("agent_id", agent_id))

    def wait_inbox(self, agent_id: str, timeout: float, *surplus: object) -> list[Message]:
        _none("wait_inbox", 2, surplus)
        agent = text("agent_id", agent_id)
        got = _core.wait(self._core, agent, _rules.seconds("timeout", timeout))
        self._drained(agent, got)
        return got[0]

    def activity(self, after: str | None = None, count: int = 100) -> list[dict[str, Any]]:
        """The activity log: with `after=None` the newest `count` records,
        oldest first; with an id, at most `count` records written after it,
        oldest first ("0": from the start). Each is a dict with "id" (a
        decimal string; ids grow), "at" (seconds), "kind" ("claimed",
        "released", "sent", "broadcast") and its fields ("agent" and "key", or
        "from", "to" and "content")."""
        return self._core.activity(*activity_args(after, count))


_DOCS = {
    "claim_file": """Claims a file for `agent_id` for 300 seconds. Raises `RuntimeError` if
    another agent holds it. Returns the claiming agent's id.""",
    "claim_task": """Claims a task for `agent_id`; as `claim_file`.""",
    "renew_claim": """Renews a claim keyed by e.g. `"file:src/lib.rs"` or `"task:phase-7"`,
    restarting its 300-second lease. Only the holder may renew.""",
    "release": """Releases a claim keyed by e.g. `"file:src/lib.rs"` or `"task:phase-7"`.
    Only the holder may release it.""",
    "send_message": """Puts a message into `to_agent`'s inbox; returns (from, to, content,
    timestamp).""",
    "broadcast": """Sends to every known agent, the sender included; returns
    (from, "*", content, timestamp).""",
    "inbox": """Pending messages for `agent_id`, oldest first; the inbox is kept.""",
    "drain_inbox": """Pending messages for `agent_id`, oldest first; the inbox is emptied.""",
    "status": """One of `"idle"`, `"busy"`, `"completed"`, `"error"`.""",
    "inbox_batch": """The oldest messages for `agent_id`, as `inbox` lists them, but at most
    `max_count` and `max_bytes` bytes of UTF-8 content (at least one when any
    waits); and how many more wait. The inbox is kept.""",
    "drain_batch": """As `inbox_batch`, but the messages returned leave the inbox, with
    `drain_inbox`'s guarantees; the rest stays for later calls.""",
    "confirm": """Confirms now the drained batches this object received, so none is
    delivered again. For a process that ends normally.""",
    "lease": """The claim stored under a key such as `"file:src/lib.rs"`, as a `Lease`
    (holder, fencing token, granted, renewed and expiry seconds, live),
    expired or not; `None` when none is stored.""",
    "leases": """Every stored claim whose key starts with `prefix`, expired ones
    included, as `Lease`s sorted by key.""",
    "check_lease": """The whole seconds left on the claim when `agent_id` holds it live with
    fencing token `token`; otherwise `RuntimeError` saying why (no claim, a
    stale token, an expired lease). Changes nothing.""",
    "agents": """Every known agent, sorted by id, as an `AgentInfo`: status word,
    messages waiting, drained messages not yet confirmed, live claims held
    and the second of its last call as the acting agent (or None).""",
    "release_all": """Releases every claim `agent_id` holds, expired ones included, each as
    `release` would; returns their keys, sorted.""",
    "wait_inbox": """As `drain_inbox`, but when the inbox is empty waits up to `timeout`
    seconds (0 to 300) for a message, and drains then; `[]` when none came.""",
}


def document(cls: type) -> None:
    for name, doc in _DOCS.items():
        getattr(cls, name).__doc__ = doc


document(CoordinationState)
