"""The MCP server: the SDK's low-level server with one handler per tool request.

The server's lifespan owns the backend (opened when serving starts, closed
when it ends); every MCP session and request shares its state object (see
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
from halvex_types import HANDOVER_SECS, IDENTITY_PARAMS, LEASE_SECS, Batch, Next
from mcp.server import Server
from mcp.server.caching import CacheHint
from mcp.shared.exceptions import MCPError

from . import __version__
from .backend import Backend
from .credentials import ADMIN, PRINCIPAL, Principal, authorize
from .tools import (
    ADMIN_TOOLS,
    DEFAULT_MAX_WAITS,
    DRAINS,
    ArgumentError,
    Tool,
    build_tools,
    result_payload,
)

log = logging.getLogger("halvex_mcp")

INSTRUCTIONS = f"""\
Coordination for agents sharing one code base or task list. Pick one agent id \
and use it on every call. Resource keys are "file:<path>" (the path from the \
repository's top) and "task:<id>".
- Claim before you edit: claim_file / claim_task. A claim lasts {LEASE_SECS} seconds; a \
refusal names the agent holding it, so pick other work or wait and try again.
- Renew your claims (renew_claim with the key) during long work, well within the \
{LEASE_SECS} seconds, or another agent may take them over.
- Release every claim (release with the key) as soon as you are done.
- Read your inbox (inbox keeps messages, drain_inbox removes them); both answer \
in batches, and `remaining` says how many more wait. Pass each drain's `ack` to \
your next drain (or to acknowledge) to confirm its messages; unconfirmed ones \
come back after {HANDOVER_SECS} s. Use send_message for one \
agent and broadcast for everyone. To wait for a message, call wait_inbox \
instead of polling.
- Before each write that a claim guards, call check_lease with the fencing \
token that lease reported after you claimed; do not write if it fails.
- leases and agents show who holds what; release_all gives up all your claims.
A tool error's text is the reason the call was refused."""

# What a failed call may have done, by tool, for the error text.
_TOOK = (f"it may have taken a batch of messages, which then comes back after {HANDOVER_SECS} s "
         "with a later drain of this agent")
_EFFECT = {"drain_inbox": _TOOK, "wait_inbox": _TOOK}

# Seconds a stop may spend releasing the pinned agent's claims.
RELEASE_TIMEOUT = 5.0

# A wait_inbox that asked for progress hears from the server this often:
# clients that restart their timeout on progress then outlast a long wait.
PROGRESS_EVERY = 5.0

LIST_TTL_MS = 10 * 60 * 1000


class CoordinationServer:
    """The tools of one backend, for any number of connected clients."""

    def __init__(self, open_backend: Callable[[], Backend], pinned: str | None = None,
                 release_on_exit: bool = False, task_tools: bool = False,
                 admin_tools: bool = False) -> None:
        self.open_backend = open_backend
        self.pinned = pinned
        self.release_on_exit = release_on_exit and pinned is not None
        # The waits now running (wait_inbox and claim_next calls): ended at
        # once when the server stops or stdio's client leaves.
        self.waits: set[anyio.CancelScope] = set()
        self.max_waits = DEFAULT_MAX_WAITS
        # Set once the waits were stopped: a wait that starts later does not wait.
        self.waits_stopped = False
        self.backend: Backend | None = None
        self.tools = build_tools(pinned, task_tools, admin_tools)
        listed = [
            types.Tool(name=t.name, title=t.facts.title, description=t.description,
                       input_schema=t.input_schema(), output_schema=t.output_schema(),
                       annotations=types.ToolAnnotations.model_validate(t.annotations()))
            for t in self.tools.values()]
        # Only an admin's token sees the admin's tools: the others' lists,
        # read by a model on every turn, stay as they were.
        self.admin_listing = types.ListToolsResult(tools=listed)
        self.listing = types.ListToolsResult(
            tools=[t for t in listed if t.name not in ADMIN_TOOLS])
        # Set once the server is ending normally (a stop signal, or stdio's
        # end of input): --release-on-exit then releases the pinned agent's claims.
        self.ending = False
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
            yield {"backend": backend}
        finally:
            with anyio.CancelScope(shield=True):
                self.stop_waits()
                if self.ending and self.release_on_exit:
                    await self._release_pinned(backend)
                try:
                    await backend.aclose()
                except Exception as err:
                    log.warning("closing the backend: %s: %s", type(err).__name__, err)

    def stop_waits(self) -> None:
        """Ends every running wait (its call answers with what it has), and
        makes later ones answer at once: on stdio the requests read just
        before the end of input are still to start."""
        self.waits_stopped = True
        for scope in list(self.waits):
            scope.cancel()

    async def _release_pinned(self, backend: Backend) -> None:
        """--release-on-exit: the pinned agent's claims go with its session."""
        assert self.pinned is not None
        with anyio.move_on_after(RELEASE_TIMEOUT):
            try:
                keys = await backend.state.release_all(self.pinned)
            except Exception as err:
                log.warning("releasing %s's claims at exit: %s: %s", self.pinned,
                            type(err).__name__, err)
            else:
                log.info("released %d claims of %s at exit", len(keys), self.pinned)
                return
        log.warning("releasing %s's claims at exit did not finish", self.pinned)

    async def _list_tools(self, ctx: Any, params: Any) -> types.ListToolsResult:
        # The SDK's client asks before many calls: both lists are built once.
        principal = _principal(ctx)
        if principal is not None and principal.role == ADMIN:
            return self.admin_listing
        return self.listing

    async def _call_tool(self, ctx: Any,
                         params: types.CallToolRequestParams) -> types.CallToolResult:
        tool = self.tools.get(params.name)
        if tool is None:
            raise MCPError(code=types.INVALID_PARAMS, message=f"Unknown tool: {params.name}")
        principal = _principal(ctx)
        arguments, refused = authorize(principal, tool.name, tool.facts.read_only,
                                       [p.name for p in tool.params
                                        if p.name in IDENTITY_PARAMS], params.arguments,
                                       tool.name in ADMIN_TOOLS)
        if refused is not None:
            return _error(f"{tool.name} refused: {refused}")
        try:
            bound, (max_count, max_bytes) = tool.bind(arguments)
        except ArgumentError as err:
            return _error(f"invalid arguments for {tool.name}: {err}")
        backend: Backend = ctx.lifespan_context["backend"]
        state = backend.state
        remaining: int | None = None
        value: Any
        try:
            if tool.name == "inbox":
                value, remaining = await state.inbox_batch(bound["agent_id"], max_count,
                                                           max_bytes)
            elif tool.name in DRAINS:
                agent = bound["agent_id"]
                ack = bound.get("ack")
                if ack:
                    await state.acknowledge(agent, ack)
                if tool.name == "wait_inbox":
                    value = await self._wait(ctx, backend, agent, bound["timeout"], max_count,
                                             max_bytes)
                else:
                    value = await state.take_batch(agent, max_count, max_bytes)
            elif tool.name == "delete_namespace":
                value = await backend.delete_namespace()
                log.warning("namespace deleted by %s: %d entries",
                            principal.name if principal else "?", value)
            elif tool.name == "claim_next" and bound["wait"] > 0:
                value = await self._claim_waiting(state, bound, _gone(ctx))
            else:
                value = await getattr(state, tool.name)(**bound)
        except RuntimeError as err:
            return _error(str(err))  # a refusal of the state, worded by the state
        except Exception as err:
            return _error(self._failure(tool, err, backend.faults))
        structured, text = result_payload(value, remaining)
        return types.CallToolResult(content=[types.TextContent(text=text)],
                                    structured_content=structured)

    async def _wait(self, ctx: Any, backend: Backend, agent: str, timeout: float,
                    max_count: int, max_bytes: int) -> Batch:
        """wait_inbox: a drain that may wait, with progress notifications while
        it does, ended early when the server stops (a batch it took meanwhile
        comes back after the hand-over)."""
        if len(self.waits) >= self.max_waits:
            # Refused before it drains: nothing is taken.
            raise RuntimeError(
                f"wait_inbox refused: {len(self.waits)} waits are already running on this "
                f"server, its limit (--max-waits); nothing was drained. Call drain_inbox to read "
                "without waiting, or wait again later.")
        if self.waits_stopped:
            timeout = 0.0
        value = Batch([], 0, "", 0)
        with anyio.CancelScope() as scope:
            self.waits.add(scope)
            try:
                # The wait's own failure leaves the task group unwrapped: the
                # refusals and faults are told apart by their type.
                failure: Exception | None = None
                async with anyio.create_task_group() as tg:
                    tg.start_soon(_heartbeat, ctx, timeout)
                    try:
                        value = await backend.wait_batch(agent, timeout, max_count, max_bytes)
                    except Exception as err:
                        failure = err
                    tg.cancel_scope.cancel()
                if failure is not None:
                    raise failure
            finally:
                self.waits.discard(scope)
        return value

    async def _claim_waiting(self, state: Any, bound: dict[str, Any],
                             gone: anyio.Event | None) -> Any:
        """claim_next with a wait, counted against --max-waits with the
        wait_inbox calls; beyond the limit, or once the server stops, it
        tries once without waiting (its reply says why nothing was ready).
        An HTTP client that hangs up ends its wait, and claims nothing."""
        if not self.waits_stopped and len(self.waits) < self.max_waits:
            left = False
            # Ended with the others when the server stops: a wait left running
            # after its client left would claim a task for no one.
            with anyio.CancelScope() as scope:
                self.waits.add(scope)
                try:
                    if gone is None:
                        return await state.claim_next(**bound)

                    async def watch() -> None:
                        nonlocal left
                        await gone.wait()
                        left = True
                        scope.cancel()

                    async with anyio.create_task_group() as tg:
                        tg.start_soon(watch)
                        value = await state.claim_next(**bound)
                        tg.cancel_scope.cancel()
                    return value
                finally:
                    self.waits.discard(scope)
            if left:
                return Next(None, "the client hung up before a task was ready")
        return await state.claim_next(**dict(bound, wait=0.0))

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


# Set on an HTTP request's ASGI scope: an anyio.Event, set once its client
# has hung up.
GONE = "halvex.gone"


def _gone(ctx: Any) -> anyio.Event | None:
    scope = getattr(getattr(ctx, "request", None), "scope", None)
    return scope.get(GONE) if isinstance(scope, dict) else None


def _principal(ctx: Any) -> Principal | None:
    """Who the HTTP request's bearer token proved to be (none on stdio)."""
    scope = getattr(getattr(ctx, "request", None), "scope", None)
    return scope.get(PRINCIPAL) if isinstance(scope, dict) else None


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
