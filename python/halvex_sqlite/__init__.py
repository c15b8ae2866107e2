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
from pathlib import Path
from typing import TYPE_CHECKING, Any

from halvex_types import AgentInfo, Lease, ServerState, install, names

from . import _core, _rules
from ._core import DEFAULT_LOG_LIMIT
from ._store import StateFileError, default_path

__all__ = ["CoordinationState", "delete_namespace", "default_path", "StateFileError",
           "DEFAULT_LOG_LIMIT", "DEFAULT_NAMESPACE", "Lease", "AgentInfo"]

# The namespace every object, server and command uses unless told otherwise,
# so that they all meet in one state file.
DEFAULT_NAMESPACE = "default"


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
    _Methods = ServerState
else:
    _Methods = object


class CoordinationState(_Methods):
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

    def _call(self, name: str, surplus: tuple[object, ...], *args: object) -> Any:
        return _core.CALLS[name](self._core, *_rules.checked(name, surplus, args))


install(CoordinationState, names())
