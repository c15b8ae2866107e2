"""Python callers of a running `halvex-mcp --http` server, through the MCP SDK's client.

`connect` opens an SDK client session (with the bearer token when given);
`RemoteState` wraps one in blocking methods: a CoordinationService
(halvex_types) with halvex_redis's results (tuples for messages, Lease
and AgentInfo named tuples) and a RuntimeError with the server's text for a
refused call.
"""

from __future__ import annotations

import contextlib
import time
from typing import TYPE_CHECKING, Any, AsyncIterator, Callable

import anyio.from_thread
import httpx2
from halvex_types import METHODS, AgentInfo, CoordinationService, Lease, Message, Next, Task
from mcp import Client
from mcp.client.streamable_http import streamable_http_client

from .tools import DRAINS, LIMITS, TOOL_NAMES, WAIT_MAX


@contextlib.asynccontextmanager
async def connect(url: str, token: str | None = None,
                  timeout: float = 30.0) -> AsyncIterator[Client]:
    headers = {"Authorization": "Bearer " + token} if token else None
    async with httpx2.AsyncClient(headers=headers,
                                  timeout=httpx2.Timeout(timeout, read=300.0)) as http:
        async with Client(streamable_http_client(url, http_client=http),
                          read_timeout_seconds=timeout) as client:
            yield client


def from_json(value: Any) -> Any:
    """A tool's result back in the method's form: messages as tuples."""
    if isinstance(value, list):
        if value and all(isinstance(v, list) for v in value):
            return [tuple(v) for v in value]
        if len(value) == 4 and isinstance(value[0], str):
            return tuple(value)
    return value


# A tool's JSON result in the method's form, by the method's result type.
_REVIVE: dict[str, Callable[[Any], Any]] = {
    "str": str, "int": int, "float": float, "bool": bool, "None": lambda _value: None,
    "Lease | None": lambda v: None if v is None else Lease(**v),
    "list[Lease]": lambda v: [Lease(**found) for found in v],
    "list[AgentInfo]": lambda v: [AgentInfo(**found) for found in v],
    "list[str]": lambda v: [str(item) for item in v],
    "Task": lambda v: Task(**v),
    "Next": lambda v: Next(None if v["task"] is None else Task(**v["task"]), v["why"]),
    "list[Task]": lambda v: [Task(**found) for found in v],
}


def revive(name: str, value: Any) -> Any:
    """The result of tool `name` as the method returns it."""
    return _REVIVE.get(METHODS[name].result, from_json)(value)


if TYPE_CHECKING:
    # The type checker reads the methods' signatures from the protocol; at
    # run time they are made from halvex_types' table (below).
    _Methods = CoordinationService
else:
    _Methods = object


class RemoteState(_Methods):
    """The server's tools as blocking methods, e.g. `remote.claim_file("a", "src/x.py")`:
    a CoordinationState (halvex_types) whose calls go to a server.

    Against a server started with --agent, leave out the identity argument
    (`agent_id` or `from_agent`): arguments bind to the parameters the server
    lists, in order. `inbox` and `drain_inbox` collect every batch the server
    answers with. Close it (or use it in a `with` block) to end the session.
    """

    def __init__(self, url: str, token: str | None = None, timeout: float = 30.0) -> None:
        self._stack = contextlib.ExitStack()
        try:
            portal = self._stack.enter_context(anyio.from_thread.start_blocking_portal())
            self._client = self._stack.enter_context(
                portal.wrap_async_context_manager(connect(url, token, timeout)))
            self._portal = portal
            listed = portal.call(self._client.list_tools)
        except Exception as err:
            self._stack.close()
            while getattr(err, "exceptions", None):  # task groups wrap the cause
                err = err.exceptions[0]  # type: ignore[attr-defined]
            raise ConnectionError(f"no MCP session at {url}: {type(err).__name__}: {err}") from err
        except BaseException:
            self._stack.close()
            raise
        self.timeout = timeout
        # Each tool's parameters in order, optional ones included (not the
        # batch limits, nor a drain's acknowledgement).
        self.params: dict[str, list[str]] = {
            tool.name: [p for p in tool.input_schema.get("properties", {})
                        if p not in LIMITS and not (tool.name in DRAINS and p == "ack")]
            for tool in listed.tools}

    def call(self, name: str, *args: Any, **kwargs: Any) -> tuple[Any, int | None]:
        """One tool call: its result in the method's form, and for a batch how
        many messages remain."""
        structured = self.structured(name, *args, **kwargs)
        return from_json(structured["result"]), structured.get("remaining")

    def structured(self, name: str, *args: Any, **kwargs: Any) -> dict[str, Any]:
        """One tool call's whole structured result (a drain's `ack` too)."""
        params = self.params.get(name)
        if params is None:
            raise AttributeError(f"the server has no tool {name!r}")
        if len(args) > len(params):
            raise TypeError(f"{name} takes {len(params)} arguments, {len(args)} given")
        arguments = dict(zip(params, args), **kwargs)
        wait = float(arguments.get("timeout", 0)) if name == "wait_inbox" else 0.0
        result = self._portal.call(self._client.call_tool, name, arguments,
                                   self.timeout + wait)
        text = "".join(getattr(block, "text", "") for block in result.content)
        if result.is_error:
            raise RuntimeError(text)
        return dict(result.structured_content or {})

    def _value(self, name: str, *args: Any) -> Any:
        return revive(name, self.call(name, *args)[0])

    def inbox(self, *args: str) -> list[Message]:
        """The first batch of the inbox (the server's limits: 1,000 messages or
        1 MiB of content); `call("inbox", ...)` also says how many more wait."""
        got: list[Message] = self._value("inbox", *args)
        return got

    def drain_inbox(self, *args: str) -> list[Message]:
        """Every message of the inbox, drained batch after batch: each call
        confirms the batch before it, and the last is confirmed at once."""
        return self._drained("drain_inbox", args)

    def _drained(self, name: str, args: tuple[Any, ...], head: tuple[Any, ...] = ()
                 ) -> list[Message]:
        """Batches of `name(*args)`, then of drain_inbox(*head) while more
        wait, each confirmed by the next call and the last by acknowledge."""
        out: list[Message] = []
        ack: str | None = None
        while True:
            got = self.structured(name, *args, **({"ack": ack} if ack else {}))
            out.extend(from_json(got["result"]))
            ack = got.get("ack") or None
            if not got.get("remaining"):
                break
            name, args = "drain_inbox", head or args
        if ack is not None:
            agent = args[:1] if "agent_id" in self.params["acknowledge"] else ()
            self.call("acknowledge", *agent, ack)
        return out

    def wait_inbox(self, *args: Any) -> list[Message]:
        """As drain_inbox, but waits up to `timeout` seconds (the last
        argument, 0 to 300) for a message when there is none. The server waits
        at most 120 s per call: a longer wait is made of several calls."""
        params = self.params.get("wait_inbox", [])
        if len(args) < len(params):
            args = args + (25.0,)
        *head, timeout = args
        if isinstance(timeout, bool) or not isinstance(timeout, (int, float)) \
                or not 0 <= timeout <= 300:
            raise ValueError(f"timeout must be from 0 to 300 seconds, not {timeout!r}")
        deadline = time.monotonic() + timeout
        while True:
            left = max(deadline - time.monotonic(), 0.0)
            if left <= WAIT_MAX:
                return self._drained("wait_inbox", (*head, left), tuple(head))
            got = self._drained("wait_inbox", (*head, WAIT_MAX), tuple(head))
            if got:
                return got

    def close(self) -> None:
        self._stack.close()

    def __enter__(self) -> RemoteState:
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()


def _tool_method(name: str) -> Callable[..., Any]:
    def method(self: RemoteState, *args: Any) -> Any:
        return self._value(name, *args)

    method.__name__ = name
    method.__qualname__ = f"RemoteState.{name}"
    method.__doc__ = METHODS[name].doc
    return method


# Every tool whose result is one call's, taking the arguments the server
# lists (a pinned server's tools leave out the identity argument).
for _name in TOOL_NAMES:
    if _name not in vars(RemoteState):
        setattr(RemoteState, _name, _tool_method(_name))
