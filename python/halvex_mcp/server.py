"""The MCP server: the SDK's low-level server with one handler per tool request.

The server's lifespan owns the backend (opened when serving starts, closed
when it ends); every MCP session gets a state object of its own from it (see
backend.py). stdio.py and http.py serve it.
"""

from __future__ import annotations

import contextlib
import logging
import os
import signal
import time
from typing import Any, AsyncIterator, Awaitable, Callable

import anyio
import mcp_types as types
from halvex_types import LEASE_SECS
from mcp.server import Server
from mcp.server.caching import CacheHint
from mcp.shared.exceptions import MCPError

from . import __version__
from .backend import Backend, Slot, Ticket
from .tools import DRAINS, ArgumentError, Tool, build_tools, result_payload

log = logging.getLogger("halvex_mcp")

INSTRUCTIONS = f"""\
Coordination for agents sharing one code base or task list. Resource keys are \
"file:<path>" and "task:<id>".
- Claim before you edit: claim_file / claim_task. A claim lasts {LEASE_SECS} seconds; a \
refusal names the agent holding it, so pick other work or wait and try again.
- Renew your claims (renew_claim with the key) during long work, well within the \
{LEASE_SECS} seconds, or another agent may take them over.
- Release every claim (release with the key) as soon as you are done.
- Read your inbox (inbox keeps messages, drain_inbox removes them); both answer \
in batches, and `remaining` says how many more wait. Use send_message for one \
agent and broadcast for everyone. To wait for a message, call wait_inbox \
instead of polling.
- Before each write that a claim guards, call check_lease with the fencing \
token that lease reported after you claimed; do not write if it fails.
- leases and agents show who holds what; release_all gives up all your claims.
A tool error's text is the reason the call was refused."""

# What a failed call may have done, by tool, for the error text.
_TOOK = ("it may have taken a batch of messages, which then comes back with a later drain of "
         "this agent")
_EFFECT = {"drain_inbox": _TOOK, "wait_inbox": _TOOK}

# Seconds the sessions' ends may spend confirming their last drains: at a
# stop (which must stay quick), and otherwise.
STOP_CONFIRM_TIMEOUT = 1.0
SESSION_END_TIMEOUT = 10.0

# A wait_inbox that asked for progress hears from the server this often:
# clients that restart their timeout on progress then outlast a long wait.
PROGRESS_EVERY = 5.0

SESSION_HEADER = "mcp-session-id"
LIST_TTL_MS = 10 * 60 * 1000
TICKETS = "halvex.tickets"  # the drain replies an HTTP request carries
CLOSED = "halvex.closed"    # set once the HTTP response is over


class CoordinationServer:
    """The tools of one backend, for any number of connected clients."""

    def __init__(self, open_backend: Callable[[], Backend], pinned: str | None = None,
                 session_idle: float | None = None, release_on_exit: bool = False) -> None:
        self.open_backend = open_backend
        self.pinned = pinned
        self.release_on_exit = release_on_exit and pinned is not None
        # The waits now running: ended at once when the server stops.
        self.waits: set[anyio.CancelScope] = set()
        self.backend: Backend | None = None
        self.session_idle = session_idle
        # Each MCP session's state: by HTTP session id, "" on stdio, and per
        # drained agent for HTTP requests without a session (see _slot).
        self.slots: dict[str, Slot] = {}
        self.tools = build_tools(pinned)
        self.listing = types.ListToolsResult(tools=[
            types.Tool(name=t.name, title=t.facts.title, description=t.description,
                       input_schema=t.input_schema(), output_schema=t.output_schema(),
                       annotations=types.ToolAnnotations.model_validate(t.annotations()))
            for t in self.tools.values()])
        # Set once the server is ending normally (a stop signal, or stdio's end
        # of input): sessions then confirm the drains whose replies went out.
        self.ending = False
        # stdio: the drains each request id's reply carries.
        self.stdio_tickets: dict[Any, list[Ticket]] = {}
        self.server: Server[dict[str, Any]] = Server(
            "halvex-mcp", version=__version__, instructions=INSTRUCTIONS,
            lifespan=self._lifespan, on_list_tools=self._list_tools,
            on_call_tool=self._call_tool,
            # The list never changes while the server runs: clients may keep it
            # instead of asking again before each call.
            cache_hints={"tools/list": CacheHint(ttl_ms=LIST_TTL_MS)})

    @contextlib.asynccontextmanager
    async def _lifespan(self, _server: Any) -> AsyncIterator[dict[str, Any]]:
        backend = self.backend = self.open_backend()
        try:
            async with anyio.create_task_group() as tg:
                if self.session_idle is not None:
                    tg.start_soon(self._expire_slots, self.session_idle)
                yield {"backend": backend}
                tg.cancel_scope.cancel()
        finally:
            with anyio.CancelScope(shield=True):
                self.stop_waits()
                await self._end_slots(list(self.slots), self.ending, STOP_CONFIRM_TIMEOUT)
                if self.ending and self.release_on_exit:
                    await self._release_pinned(backend)
                try:
                    await backend.aclose()
                except Exception as err:
                    log.warning("closing the backend: %s: %s", type(err).__name__, err)

    def stop_waits(self) -> None:
        """Ends every running wait (its call answers with what it has)."""
        for scope in list(self.waits):
            scope.cancel()

    async def _release_pinned(self, backend: Backend) -> None:
        """--release-on-exit: the pinned agent's claims go with its session."""
        assert self.pinned is not None
        with anyio.move_on_after(STOP_CONFIRM_TIMEOUT * 5):
            try:
                keys = await backend.new_state().release_all(self.pinned)
            except Exception as err:
                log.warning("releasing %s's claims at exit: %s: %s", self.pinned,
                            type(err).__name__, err)
            else:
                log.info("released %d claims of %s at exit", len(keys), self.pinned)
                return
        log.warning("releasing %s's claims at exit did not finish", self.pinned)

    async def _list_tools(self, ctx: Any, params: Any) -> types.ListToolsResult:
        return self.listing  # the SDK's client asks before many calls: built once

    def _slot(self, ctx: Any, drained: str | None) -> Slot:
        """The calling MCP session's state, made at its first call.

        A request without a session (HTTP clients of the protocol revisions
        that have none) is no one's next request: its drains get a state per
        agent, so that the agent's next drain confirms the one before.
        """
        request = getattr(ctx, "request", None)
        key = ""  # stdio: one client
        if request is not None:
            key = request.headers.get(SESSION_HEADER) or (
                "\0agent\0" + drained if drained is not None else "\0")
        slot = self.slots.get(key)
        if slot is None:
            slot = self.slots[key] = Slot(ctx.lifespan_context["backend"])
        slot.used = time.monotonic()
        return slot

    async def end_session(self, key: str) -> None:
        """The client ended its HTTP session: its last replies arrived."""
        await self._end_slots([key], True)

    async def _end_slots(self, keys: list[str], normal: bool,
                         timeout: float = SESSION_END_TIMEOUT) -> None:
        """Ends sessions at once (confirming what they owe when they end
        normally), in `timeout` seconds at most."""
        slots = [self.slots.pop(k) for k in keys if k in self.slots]
        if not slots:
            return

        async def end(slot: Slot) -> None:
            try:
                await slot.end(normal)
            except Exception as err:
                log.warning("ending a session: %s: %s", type(err).__name__, err)

        with anyio.move_on_after(timeout) as bounded:
            async with anyio.create_task_group() as tg:
                for slot in slots:
                    tg.start_soon(end, slot)
        if bounded.cancelled_caught:
            log.warning("ending %d sessions took over %.0f s; some may see their last drained "
                        "batch again", len(slots), timeout)

    async def _expire_slots(self, idle: float) -> None:
        """Forgets the state of sessions idle as long as the SDK lets a session live."""
        while True:
            await anyio.sleep(min(idle, 30.0))
            cutoff = time.monotonic() - idle
            stale = [k for k, slot in self.slots.items() if slot.used < cutoff]
            await self._end_slots(stale, False)

    def _watch_reply(self, ctx: Any, ticket: Ticket) -> None:
        request = getattr(ctx, "request", None)
        if request is not None:  # HTTP: the guard settles it when the response ends
            scope = request.scope
            if scope.get(CLOSED):
                ticket.settle(False)
            else:
                scope.setdefault(TICKETS, []).append(ticket)
        elif ctx.request_id is not None:  # stdio: settled when the reply is written
            self.stdio_tickets.setdefault(ctx.request_id, []).append(ticket)

    async def _call_tool(self, ctx: Any,
                         params: types.CallToolRequestParams) -> types.CallToolResult:
        tool = self.tools.get(params.name)
        if tool is None:
            raise MCPError(code=types.INVALID_PARAMS, message=f"Unknown tool: {params.name}")
        try:
            bound, (max_count, max_bytes) = tool.bind(params.arguments)
        except ArgumentError as err:
            return _error(f"invalid arguments for {tool.name}: {err}")
        slot = self._slot(ctx, bound["agent_id"] if tool.name in DRAINS else None)
        remaining: int | None = None
        try:
            if tool.name == "inbox":
                value, remaining = await slot.state.inbox_batch(bound["agent_id"], max_count,
                                                                max_bytes)
            elif tool.name == "drain_inbox":
                ticket = slot.ticket()
                try:
                    value, remaining = await slot.state.drain_batch(bound["agent_id"], max_count,
                                                                    max_bytes)
                except BaseException as err:
                    _unanswered(ticket, err)
                    raise
                self._watch_reply(ctx, ticket)
            elif tool.name == "wait_inbox":
                value, remaining = await self._wait(ctx, slot, bound, max_count, max_bytes)
            else:
                value = await getattr(slot.state, tool.name)(**bound)
        except RuntimeError as err:
            return _error(str(err))  # a refusal of the state, worded by the state
        except Exception as err:
            return _error(self._failure(tool, err, slot.backend.faults))
        structured, text = result_payload(value, remaining)
        return types.CallToolResult(content=[types.TextContent(text=text)],
                                    structured_content=structured)

    async def _wait(self, ctx: Any, slot: Slot, bound: dict[str, Any], max_count: int,
                    max_bytes: int) -> Any:
        """wait_inbox: a drain that may wait, ended early when the server stops."""
        ticket = slot.ticket()
        value: Any = ([], 0)
        scope = anyio.CancelScope()
        try:
            with scope:
                self.waits.add(scope)
                # The wait's own failure leaves the task group unwrapped: the
                # refusals and faults below are told apart by their type.
                failure: Exception | None = None
                async with anyio.create_task_group() as tg:
                    tg.start_soon(_heartbeat, ctx, bound["timeout"])
                    try:
                        value = await slot.backend.wait_batch(
                            slot.state, bound["agent_id"], bound["timeout"], max_count, max_bytes)
                    except Exception as err:
                        failure = err
                    tg.cancel_scope.cancel()
                if failure is not None:
                    raise failure
        except BaseException as err:
            _unanswered(ticket, err)
            raise
        finally:
            self.waits.discard(scope)
        if scope.cancelled_caught:
            # Stopped mid-call: whatever the backend drained is not in our
            # reply, so it must not be confirmed; it goes to a later drain.
            ticket.settle(False)
            return [], 0
        self._watch_reply(ctx, ticket)
        return value

    @staticmethod
    def _failure(tool: Tool, err: Exception, faults: Any) -> str:
        """A failed call's error text, in fixed words; the details go to the log only
        (a backend's message may name its address)."""
        log.warning("%s failed: %s: %s", tool.name, type(err).__name__, err)
        if isinstance(err, faults):
            what = "the state's backend did not answer or refused the call"
        else:
            what = "internal fault in the server"
        if tool.facts.read_only:
            effect = "nothing was changed"
        else:
            effect = _EFFECT.get(tool.name, "it may have taken effect")
        return f"{tool.name} failed: {what} (details in the server's log); {effect}."


async def _heartbeat(ctx: Any, timeout: float) -> None:
    """Progress notifications (seconds waited of `timeout`) while a wait runs;
    nothing when the client gave no progress token. A failed send ends them,
    never the wait."""
    started = time.monotonic()
    while True:
        await anyio.sleep(PROGRESS_EVERY)
        try:
            await ctx.session.report_progress(round(time.monotonic() - started, 1), timeout,
                                              "waiting for a message")
        except Exception as err:
            log.debug("progress notification not sent: %s: %s", type(err).__name__, err)
            return


def _unanswered(ticket: Ticket, err: BaseException) -> None:
    """A drain that raised. Cancelled (the client cancelled the request, or
    the server is going away), the backend may have drained a batch that no
    reply will carry: it must not be confirmed, so it counts as lost. Any
    other failure is the backend's, with no batch taken."""
    if isinstance(err, anyio.get_cancelled_exc_class()):
        ticket.settle(False)
    else:
        ticket.written = True


def _error(text: str) -> types.CallToolResult:
    return types.CallToolResult(content=[types.TextContent(text=text)], is_error=True)


# -- running -------------------------------------------------------------------

Serve = Callable[[Callable[[Callable[[], None]], None]], Awaitable[None]]


async def run_until_stopped(serve: Serve) -> None:
    """Runs `serve` until it returns or SIGINT/SIGTERM arrives.

    `serve` is handed a function to register how it stops gracefully; without
    one, a signal cancels it.
    """
    stoppers: list[Callable[[], None]] = []
    async with anyio.create_task_group() as tg:
        if os.name == "posix":
            async def watch(*, task_status: Any = anyio.TASK_STATUS_IGNORED) -> None:
                with anyio.open_signal_receiver(signal.SIGINT, signal.SIGTERM) as signals:
                    task_status.started()
                    async for signum in signals:
                        log.info("stopping on %s", signal.Signals(signum).name)
                        if stoppers:
                            for stopper in stoppers:
                                stopper()
                        else:
                            tg.cancel_scope.cancel()
                        return

            await tg.start(watch)  # signals are ours before the server says it is up
        await serve(stoppers.append)
        tg.cancel_scope.cancel()
