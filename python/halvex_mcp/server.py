"""The MCP server: the SDK's low-level server with one handler per tool request,
served over stdio or streamable HTTP until a stop signal."""

from __future__ import annotations

import functools
import hmac
import logging
import os
import signal
import socket
import threading
from typing import Any, Awaitable, Callable, Dict, List, Optional

import anyio
import anyio.from_thread
import anyio.lowlevel
import mcp_types as types
from mcp.server import Server
from mcp.server.stdio import stdio_server
from mcp.server.transport_security import TransportSecuritySettings
from mcp.shared.exceptions import MCPError

from . import __version__
from .tools import ArgumentError, Tool, build_tools, result_payload

log = logging.getLogger("halvex_mcp")

INSTRUCTIONS = """\
Coordination for agents sharing one code base or task list. Resource keys are \
"file:<path>" and "task:<id>".
- Claim before you edit: claim_file / claim_task. A claim lasts 300 seconds; a \
refusal names the agent holding it, so pick other work or wait and try again.
- Renew your claims (renew_claim with the key) during long work, well within the \
300 seconds, or another agent may take them over.
- Release every claim (release with the key) as soon as you are done.
- Read your inbox (inbox keeps messages, drain_inbox removes them); use \
send_message for one agent and broadcast for everyone.
A tool error's text is the reason the call was refused."""

# An HTTP request may carry a little more than one argument at the limit, so
# that an oversized argument is answered with its name instead of a bare 413.
MAX_HTTP_BODY = 16 * 1024 * 1024


class CoordinationServer(object):
    """The tools of one state object, for any number of connected clients."""

    def __init__(self, state: Any, pinned: Optional[str] = None, blocking: bool = False) -> None:
        self.state = state
        self.tools = build_tools(pinned)
        # A networked backend blocks on each call: run those in worker threads
        # so one slow round trip does not stall every other client.
        self.blocking = blocking
        self.server: Server[Any] = Server(
            "halvex-mcp", version=__version__, instructions=INSTRUCTIONS,
            on_list_tools=self._list_tools, on_call_tool=self._call_tool)

    async def _list_tools(self, ctx: Any, params: Any) -> types.ListToolsResult:
        return types.ListToolsResult(tools=[
            types.Tool(name=t.name, description=t.description, input_schema=t.input_schema())
            for t in self.tools.values()])

    async def _call_tool(self, ctx: Any, params: types.CallToolRequestParams) -> types.CallToolResult:
        tool = self.tools.get(params.name)
        if tool is None:
            raise MCPError(code=types.INVALID_PARAMS, message="Unknown tool: %s" % params.name)
        try:
            bound = tool.bind(params.arguments)
        except ArgumentError as err:
            return _error("invalid arguments for %s: %s" % (tool.name, err))
        try:
            value = await self._run(tool, bound)
        except RuntimeError as err:
            return _error(str(err))  # a refusal of the state, worded by the state
        except BaseException as err:
            if isinstance(err, (anyio.get_cancelled_exc_class(), KeyboardInterrupt, SystemExit,
                                GeneratorExit)):
                raise
            # A backend failure or an internal fault of the state: the call is
            # lost, the server goes on.
            log.exception("%s failed", tool.name)
            return _error("%s failed: %s: %s" % (tool.name, type(err).__name__, err))
        structured, text = result_payload(value)
        return types.CallToolResult(content=[types.TextContent(text=text)],
                                    structured_content=structured)

    async def _run(self, tool: Tool, bound: Dict[str, str]) -> Any:
        if self.blocking:
            return await anyio.to_thread.run_sync(functools.partial(tool.call, self.state, bound))
        return tool.call(self.state, bound)


def _error(text: str) -> types.CallToolResult:
    return types.CallToolResult(content=[types.TextContent(text=text)], is_error=True)


# -- stdio ---------------------------------------------------------------------

class _StdinLines(object):
    """Lines of standard input for the SDK's stdio transport.

    A daemon thread reads the descriptor with os.read, so a stop signal never
    waits for the client's next line and no buffer lock is held at exit.
    """

    def __init__(self) -> None:
        self._send, self._receive = anyio.create_memory_object_stream[str](16)

    def start(self) -> None:
        token = anyio.lowlevel.current_token()
        threading.Thread(target=self._pump, args=(token,), name="stdin", daemon=True).start()

    def _pump(self, token: Any) -> None:
        fd = 0
        pending: List[bytes] = []

        def deliver(line: bytes) -> None:
            anyio.from_thread.run(self._send.send, line.decode("utf-8", "replace"), token=token)

        try:
            while True:
                chunk = os.read(fd, 1 << 16)
                if not chunk:
                    break
                while chunk:
                    end = chunk.find(b"\n") + 1
                    if not end:
                        pending.append(chunk)
                        break
                    pending.append(chunk[:end])
                    deliver(b"".join(pending))
                    pending = []
                    chunk = chunk[end:]
            if pending:
                deliver(b"".join(pending))
        except Exception:  # the loop has ended (a stop) or stdin broke: either way, no more input
            pass
        finally:
            try:
                anyio.from_thread.run(self._send.aclose, token=token)
            except Exception:
                pass

    def __aiter__(self) -> Any:
        return self._receive.__aiter__()


async def serve_stdio(app: CoordinationServer) -> None:
    lines = _StdinLines()
    lines.start()
    async with stdio_server(stdin=lines) as (read_stream, write_stream):  # type: ignore[arg-type]
        log.info("serving MCP on stdio")
        await app.server.run(read_stream, write_stream, app.server.create_initialization_options())


# -- HTTP ----------------------------------------------------------------------

class _BearerGate(object):
    """Lets through only HTTP requests that carry `Authorization: Bearer <token>`."""

    def __init__(self, app: Any, token: str) -> None:
        self.app = app
        self.token = token.encode("ascii")

    async def __call__(self, scope: Any, receive: Any, send: Any) -> None:
        if scope["type"] == "http" and not self._allowed(scope):
            from starlette.responses import PlainTextResponse

            response = PlainTextResponse("missing or wrong bearer token\n", status_code=401,
                                         headers={"WWW-Authenticate": "Bearer"})
            await response(scope, receive, send)
            return
        await self.app(scope, receive, send)

    def _allowed(self, scope: Any) -> bool:
        values = [v for k, v in scope["headers"] if k == b"authorization"]
        if len(values) != 1:
            return False
        scheme, _, credentials = values[0].partition(b" ")
        # Compared in constant time, so response timing tells nothing of the token.
        return scheme.lower() == b"bearer" and hmac.compare_digest(credentials.strip(), self.token)


def host_pattern(host: str) -> str:
    """A Host header pattern matching any port of `host`."""
    return ("[%s]" % host if ":" in host else host) + ":*"


def security_settings(bind_host: str, extra_hosts: List[str]) -> TransportSecuritySettings:
    """Host and Origin checks against DNS rebinding: loopback names, the bound
    address when it is a specific one, and the hosts the operator named."""
    hosts = ["127.0.0.1:*", "localhost:*", "[::1]:*"]
    if bind_host not in ("0.0.0.0", "::", "127.0.0.1", "localhost", "::1"):
        hosts.append(host_pattern(bind_host))
    hosts.extend(host_pattern(extra) for extra in extra_hosts)
    return TransportSecuritySettings(enable_dns_rebinding_protection=True, allowed_hosts=hosts,
                                     allowed_origins=["http://" + h for h in hosts]
                                     + ["https://" + h for h in hosts])


def http_app(app: CoordinationServer, bind_host: str, token: Optional[str],
             extra_hosts: List[str]) -> Any:
    asgi = app.server.streamable_http_app(
        streamable_http_path="/mcp", host=bind_host, max_request_body_size=MAX_HTTP_BODY,
        transport_security=security_settings(bind_host, extra_hosts))
    return _BearerGate(asgi, token) if token else asgi


async def serve_http(app: CoordinationServer, sock: socket.socket, bind_host: str,
                     token: Optional[str], extra_hosts: List[str],
                     on_stop: Callable[[Callable[[], None]], None]) -> None:
    import uvicorn

    class _Server(uvicorn.Server):
        # Stop signals are ours (see run()): uvicorn would re-raise them at exit.
        def capture_signals(self) -> Any:
            import contextlib

            return contextlib.nullcontext()

    config = uvicorn.Config(http_app(app, bind_host, token, extra_hosts), log_config=None,
                            access_log=log.isEnabledFor(logging.DEBUG), lifespan="on",
                            timeout_graceful_shutdown=3)
    server = _Server(config)

    def stop() -> None:
        server.should_exit = True

    on_stop(stop)
    # Listening before the URL is logged: a client that reads it and connects
    # at once waits in the backlog instead of being refused.
    sock.listen(1024)
    host, port = sock.getsockname()[:2]
    shown = "[%s]" % host if ":" in host else host
    log.info("serving MCP on http://%s:%d/mcp%s", shown, port,
             " (bearer token required)" if token else "")
    if bind_host in ("0.0.0.0", "::") and not extra_hosts:
        log.warning("requests are accepted only with a loopback Host header; name the host "
                    "that remote clients use with --allow-host")
    await server.serve(sockets=[sock])


# -- running -------------------------------------------------------------------

async def run_until_stopped(serve: Callable[[Callable[[Callable[[], None]], None]], Awaitable[None]]) -> None:
    """Runs `serve` until it returns or SIGINT/SIGTERM arrives.

    `serve` is handed a function to register how it stops gracefully; without
    one, a signal cancels it.
    """
    stoppers: List[Callable[[], None]] = []
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
