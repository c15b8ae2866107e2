"""The shapes every halvex state shares, with no dependency of their own.

`CoordinationState` is the nine methods as halvex_core.CoordinationState has
them; halvex_core's class, halvex_redis's blocking class and
halvex_mcp.client.RemoteState all fit it. `CoordinationService` adds the
operations of a shared service (lease views, fencing tokens, agents,
release-all, waiting for messages, all-or-none claims); halvex_redis's blocking class and
RemoteState fit it. `ServerState` adds batched reads, their confirmation,
batches held until acknowledged (`Batch`),
the activity log and the server's clock (halvex_redis). `Lease` and
`AgentInfo` are what the views return, from halvex_redis and over MCP alike.

`METHODS` (methods.py) is the one table of the methods: parameters, results,
read-only flags, identity parameters, refusal texts and docstrings, from
which halvex_redis, halvex_sqlite, halvex-mcp and the `halvex` command
derive theirs. `panic` makes the internal fault both Python states raise.
"""

from __future__ import annotations

from .faults import PanicException, panic
from .methods import (
    HANDOVER_SECS,
    IDENTITY_PARAMS,
    LEASE_SECS,
    METHODS,
    Method,
    Param,
    check_lease,
    install,
    names,
)
from .protocols import (
    AgentInfo,
    AsyncCoordinationService,
    AsyncCoordinationState,
    AsyncServerState,
    AsyncTaskGraph,
    Batch,
    CoordinationService,
    CoordinationState,
    Lease,
    Message,
    Next,
    ServerState,
    Task,
    TaskGraph,
)

__all__ = ["AgentInfo", "AsyncCoordinationService", "Batch", "AsyncCoordinationState",
           "AsyncServerState", "AsyncTaskGraph", "CoordinationService", "CoordinationState",
           "HANDOVER_SECS", "IDENTITY_PARAMS", "LEASE_SECS", "METHODS", "Lease", "Message",
           "Method", "Next", "PanicException", "Param", "ServerState", "Task", "TaskGraph",
           "check_lease", "install", "names", "panic"]
