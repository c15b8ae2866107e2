"""halvex_core's CoordinationState over one SQLite file, for agents in many
processes of one machine.

Same methods, parameters, results, status words and RuntimeError texts as
halvex_core.CoordinationState and halvex_redis, plus halvex_redis's views,
fencing tokens, waits and batches. Each call is one statement or one
transaction on the file, so every process on the machine sees it whole; times are the local wall
clock in whole seconds. A drained batch stays in the file until the object's
next call confirms it arrived. Problems with the file itself raise
StateFileError (an OSError), never RuntimeError, which means a refusal.

The methods, their parameters and docstrings come from halvex_types' table;
halvex_sqlite.asyncio holds the same class with coroutine methods.
"""
from __future__ import annotations

import os
from typing import TYPE_CHECKING, Any

from halvex_types import AgentInfo, Lease, TaskGraph, install, names

from . import _core, _rules, _tasks
from ._core import DEFAULT_LOG_LIMIT, DEFAULT_NAMESPACE
from ._store import StateFileError, default_path

_core.CALLS.update(_tasks.CALLS)

__all__ = ["CoordinationState", "delete_namespace", "default_path", "StateFileError",
           "DEFAULT_LOG_LIMIT", "DEFAULT_NAMESPACE", "Lease", "AgentInfo"]



def delete_namespace(namespace: str, path: str | os.PathLike[str] | None = None) -> int:
    """Deletes everything of `namespace` in the file; returns how many rows
    went (claims, agents, messages, activity records).

    Objects still using the namespace afterwards see a fresh, empty state;
    fencing tokens and activity ids go on from where they were.
    """
    return _core.delete_namespace(path, namespace)


if TYPE_CHECKING:
    # The type checker reads the methods' signatures from the protocol; at
    # run time they come from halvex_types' table (install, below).
    _Methods = TaskGraph
else:
    _Methods = object


class CoordinationState(_core.Face, _Methods, final=True):
    """Claims with 300-second leases, inboxes, broadcasts and status words,
    kept in an SQLite file.

    Objects on the same file and `namespace` (in any process of the machine)
    share one state. Without `path` the file is `default_path()`: inside a
    git work tree one per repository, shared by all its worktrees.
    """

    __slots__ = ()

    def _call(self, name: str, surplus: tuple[object, ...], *args: object) -> Any:
        return _core.CALLS[name](self._core, *_rules.checked(name, surplus, args))


install(CoordinationState, names())
