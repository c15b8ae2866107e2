"""MCP over streamable HTTP: the SDK's session manager behind uvicorn, with
the limits one client must not be able to push the server past.

- uvicorn's HTTP/1.1 protocol, extended: a connection must send a request's
  headers within HEADER_TIMEOUT of opening (or of its last response plus the
  keep-alive time), and one opened while `max_connections` are open is
  closed at once, so the server never runs out of file descriptors.
- `_Guard`, an ASGI layer in front of the SDK: reads each request body
  within BODY_TIMEOUT and MAX_HTTP_BODY, refuses ids that the SDK would treat
  as notifications, and compares Host and Origin without regard to case.
"""

from __future__ import annotations

import asyncio
import contextlib
import json
import logging
import signal
import socket
import time
from typing import Any, AsyncIterator, Callable

import anyio
import h11
from mcp.server.streamable_http_manager import StreamableHTTPASGIApp, StreamableHTTPSessionManager
from mcp.server.transport_security import TransportSecuritySettings
from uvicorn.protocols.http.h11_impl import H11Protocol

from . import wire
from .board import PROVEN, Board, is_board
from .credentials import PRINCIPAL, Keys, Principal
from .server import GONE, CoordinationServer

log = logging.getLogger("halvex_mcp")

# An HTTP request may carry a little more than one argument at the limit, so
# that an oversized argument is answered with its name instead of a bare 413.
MAX_HTTP_BODY = 16 * 1024 * 1024
HEADER_TIMEOUT = 10.0     # from a connection's opening to its request's last header
KEEP_ALIVE_TIMEOUT = 15.0  # an idle connection between requests
BODY_TIMEOUT = 30.0       # from the last header to the body's last byte
SHUTDOWN_TIMEOUT = 1.0    # what a stop leaves running requests before cancelling them

DEFAULT_MAX_CONNECTIONS = 1000
DEFAULT_MAX_SESSIONS = 1000
DEFAULT_SESSION_IDLE = 600.0
# Descriptors kept free beyond the connections: listener, logs, Redis pool...
FD_RESERVE = 64


class _RateLimitedLog:
    """One log line per second at most for a repeating event, with a count."""

    def __init__(self, text: str) -> None:
        self.text = text
        self.last = 0.0
        self.skipped = 0

    def __call__(self, detail: object = "") -> None:
        now = time.monotonic()
        if now - self.last < 1.0:
            self.skipped += 1
            return
        more = f" (and {self.skipped} more like it)" if self.skipped else ""
        log.warning("%s%s%s", self.text, detail, more)
        self.last, self.skipped = now, 0


def protocol_class(max_connections: int) -> type:
    """uvicorn's h11 protocol with a header timeout and a connection cap.

    At the cap a new connection makes room by closing the oldest one that has
    sent no complete authorised request (see PROVEN): a client's idle sockets
    cannot keep out the clients that use theirs. Only when every open
    connection has done so is the new one refused.
    """
    refused = _RateLimitedLog(f"refusing connections: {max_connections} are open")
    evicted = _RateLimitedLog("at the connection cap: closed the oldest connection that "
                              "had sent no request")
    # Connections not yet known to have sent a complete authorised request,
    # oldest first (a dict keeps its order of insertion).
    unproven: dict[Any, None] = {}

    class GuardedH11Protocol(H11Protocol):
        _header_timer: asyncio.TimerHandle | None = None
        _refused = False
        _proven = False

        def connection_made(self, transport: Any) -> None:
            if len(self.connections) >= max_connections and not self._make_room():
                self._refused = True
                self.transport = transport
                refused()
                transport.abort()
                return
            super().connection_made(transport)
            unproven[self] = None
            self._await_headers(HEADER_TIMEOUT)

        def _is_proven(self) -> bool:
            if not self._proven and self.cycle is not None and self.cycle.scope.get(PROVEN):
                self._proven = True
            return self._proven

        def _make_room(self) -> bool:
            """Closes the oldest open connection without a complete authorised
            request; False when there is none."""
            for other in list(unproven):
                del unproven[other]
                if other._is_proven() or other.transport.is_closing():
                    continue
                evicted()
                # Aborted, its descriptor goes before the loop's next accept.
                other.transport.abort()
                return True
            return False

        def connection_lost(self, exc: Exception | None) -> None:
            if self._refused:
                return
            unproven.pop(self, None)
            self._stop_header_timer()
            super().connection_lost(exc)

        def data_received(self, data: bytes) -> None:
            super().data_received(data)
            if self._header_timer is not None and self.conn.their_state is not h11.IDLE:
                self._stop_header_timer()  # the request's headers are in

        def on_response_complete(self) -> None:
            self._is_proven()  # before the next request's cycle replaces this one
            super().on_response_complete()
            if not self.transport.is_closing() and self.conn.their_state is h11.IDLE:
                self._await_headers(KEEP_ALIVE_TIMEOUT + HEADER_TIMEOUT)

        def _await_headers(self, seconds: float) -> None:
            self._stop_header_timer()
            self._header_timer = self.loop.call_later(seconds, self._headers_late)

        def _stop_header_timer(self) -> None:
            if self._header_timer is not None:
                self._header_timer.cancel()
                self._header_timer = None

        def _headers_late(self) -> None:
            self._header_timer = None
            if self.conn.their_state is h11.IDLE and not self.transport.is_closing():
                self.transport.close()

    return GuardedH11Protocol


class _BearerGate:
    """Lets through only HTTP requests that carry `Authorization: Bearer <token>`
    with a token of `keys`, and marks each with the principal it proves."""

    def __init__(self, app: Any, keys: Keys) -> None:
        self.app = app
        self.keys = keys

    async def __call__(self, scope: Any, receive: Any, send: Any) -> None:
        # The board's page cannot send the header: it checks its own cookie.
        if scope["type"] == "http" and not is_board(scope["path"]):
            principal = self._principal(scope)
            if principal is None:
                await _rpc_error(send, 401, wire.UNAUTHORIZED,
                                 "Unauthorized: missing or wrong bearer token",
                                 [(b"www-authenticate", b"Bearer")])
                return
            scope[PRINCIPAL] = principal
        await self.app(scope, receive, send)

    def _principal(self, scope: Any) -> Principal | None:
        values = [v for k, v in scope["headers"] if k == b"authorization"]
        if len(values) != 1:
            return None
        scheme, _, credentials = values[0].partition(b" ")
        if scheme.lower() != b"bearer":
            return None
        # Compared in constant time, so response timing tells nothing of the token.
        return self.keys.check(credentials.strip())


async def _plain(send: Any, status: int, body: bytes,
                 headers: list[Any] | None = None, kind: bytes = b"text/plain") -> None:
    await send({"type": "http.response.start", "status": status,
                "headers": [(b"content-type", kind), (b"content-length", b"%d" % len(body))]
                + (headers or [])})
    await send({"type": "http.response.body", "body": body})


async def _rpc_error(send: Any, status: int, code: int, message: str,
                     headers: list[Any] | None = None) -> None:
    # A JSON-RPC error body: MCP clients show its message, where a plain-text
    # body leaves them with only "Server returned an error response".
    await _plain(send, status, wire.error_reply(code, message).encode("utf-8"), headers,
                 kind=b"application/json")


class _Guard:
    """Between uvicorn and the SDK's app (see the module's docstring)."""

    def __init__(self, app: Any, server: CoordinationServer, stopping: anyio.Event) -> None:
        self.app = app
        self.server = server
        self.stopping = stopping

    async def __call__(self, scope: Any, receive: Any, send: Any) -> None:
        if scope["type"] != "http":
            await self.app(scope, receive, send)
            return
        if self.stopping.is_set():
            await _plain(send, 503, b"the server is stopping\n", [(b"connection", b"close")])
            return
        # Host names and origins compare without regard to case.
        scope["headers"] = [(k, v.lower()) if k in (b"host", b"origin") else (k, v)
                            for k, v in scope["headers"]]
        body: bytes | None = None
        if scope["method"] == "POST":
            body = await self._body(scope, receive, send)
            if body is None:
                return
        if not is_board(scope["path"]):
            # Past the bearer gate with the whole request in: this connection
            # is a client's, not one held open idle (the board marks its own).
            scope[PROVEN] = True
        if body is not None:
            try:
                problem = wire.id_problem(json.loads(body))
            except (ValueError, RecursionError):
                problem = None  # the SDK answers text that is not JSON
            if problem is not None:
                await _rpc_error(send, 400, wire.INVALID_REQUEST, problem)
                return
            scope[GONE] = anyio.Event()
            receive = _replay(body, receive, scope[GONE])
        reply: Any = _PlainValidationErrors(send)
        if not is_board(scope["path"]):  # the board answers a browser, not a client
            reply = _JsonRefusals(reply)
        await self.app(scope, receive, reply)

    async def _body(self, scope: Any, receive: Any, send: Any) -> bytes | None:
        chunks: list[bytes] = []
        size = 0
        with anyio.move_on_after(BODY_TIMEOUT):
            while True:
                message = await receive()
                if message["type"] == "http.disconnect":
                    return None
                chunk = message.get("body", b"")
                size += len(chunk)
                if size > MAX_HTTP_BODY:
                    await _plain(send, 413, b"request body too large\n",
                                 [(b"connection", b"close")])
                    return None
                chunks.append(chunk)
                if not message.get("more_body"):
                    return b"".join(chunks)
        await _plain(send, 408, b"request body not received in time\n", [(b"connection", b"close")])
        return None


def _replay(body: bytes, receive: Any, gone: anyio.Event) -> Any:
    """`receive` that hands out the body already read, then the connection's
    events; `gone` is set when the client hangs up (a waiting call ends)."""
    given = False

    async def replay() -> Any:
        nonlocal given
        if not given:
            given = True
            return {"type": "http.request", "body": body, "more_body": False}
        message = await receive()
        if message.get("type") == "http.disconnect":
            gone.set()
        return message

    return replay


class _HeldReply:
    """A `send` that holds back a reply it may rewrite (`wants` picks it by its
    start message) until its whole body is in, then hands both to `rewrite`."""

    def __init__(self, send: Any) -> None:
        self.send = send
        self.held: Any | None = None
        self.body: list[bytes] = []

    def wants(self, start: Any) -> bool:
        raise NotImplementedError

    async def rewrite(self, start: Any, body: bytes) -> None:
        raise NotImplementedError

    async def __call__(self, message: Any) -> None:
        if message["type"] == "http.response.start" and self.wants(message):
            self.held = message
            return
        if self.held is None:
            await self.send(message)
            return
        self.body.append(message.get("body", b""))
        if not message.get("more_body"):
            await self.rewrite(self.held, b"".join(self.body))


class _JsonRefusals(_HeldReply):
    """The SDK's plain-text refusals of a Host (421) or an Origin (403) as
    JSON-RPC errors with the same status and reason."""

    def wants(self, start: Any) -> bool:
        kind = dict(start.get("headers", ())).get(b"content-type", b"")
        return start["status"] in (403, 421) and not kind.startswith(b"application/json")

    async def rewrite(self, start: Any, body: bytes) -> None:
        reason = body.decode("utf-8", "replace").strip() or "Forbidden"
        await _rpc_error(self.send, start["status"], wire.INVALID_REQUEST, reason)


class _PlainValidationErrors(_HeldReply):
    """Replaces the SDK's 400 reply that dumps its validator's report for a
    message that is not a JSON-RPC request with a plain -32600 error."""

    def wants(self, start: Any) -> bool:
        return bool(start["status"] == 400)

    async def rewrite(self, start: Any, body: bytes) -> None:
        try:
            error = json.loads(body)["error"]
        except (ValueError, KeyError, TypeError):
            error = None
        if isinstance(error, dict) and str(error.get("message", "")).startswith("Validation error"):
            await _rpc_error(self.send, 400, wire.INVALID_REQUEST,
                             "Invalid Request: not a JSON-RPC 2.0 request, notification or "
                             "response")
            return
        await self.send(start)
        await self.send({"type": "http.response.body", "body": body})


def host_patterns(host: str) -> list[str]:
    """Host header patterns for `host` with any port, and without one."""
    name = (f"[{host}]" if ":" in host else host).lower()
    return [name, name + ":*"]


def security_settings(bind_host: str, extra_hosts: list[str]) -> TransportSecuritySettings:
    """Host and Origin checks against DNS rebinding: loopback names, the bound
    address when it is a specific one, and the hosts the operator named."""
    names = ["127.0.0.1", "localhost", "::1"]
    if bind_host not in ("0.0.0.0", "::", "127.0.0.1", "localhost", "::1"):
        names.append(bind_host)
    names.extend(extra_hosts)
    hosts = [pattern for name in names for pattern in host_patterns(name)]
    return TransportSecuritySettings(enable_dns_rebinding_protection=True, allowed_hosts=hosts,
                                     allowed_origins=["http://" + h for h in hosts]
                                     + ["https://" + h for h in hosts])


class HttpOptions:
    def __init__(self, bind_host: str, keys: Keys | None, extra_hosts: list[str],
                 max_connections: int, max_sessions: int, session_idle: float) -> None:
        self.bind_host = bind_host
        self.keys = keys
        self.extra_hosts = extra_hosts
        self.max_connections = max_connections
        self.max_sessions = max_sessions
        self.session_idle = session_idle


def http_app(app: CoordinationServer, options: HttpOptions, stopping: anyio.Event) -> Any:
    """The ASGI app: the SDK's session manager at /mcp behind our guard. The
    manager (and with it the server's lifespan, which owns the backend) runs
    until `stopping` is set, so a stop ends every session and event stream
    before uvicorn waits for its connections."""
    from starlette.applications import Starlette
    from starlette.routing import Route

    settings = security_settings(options.bind_host, options.extra_hosts)
    manager = StreamableHTTPSessionManager(
        app.server, security_settings=settings,
        max_request_body_size=MAX_HTTP_BODY, max_sessions=options.max_sessions,
        session_idle_timeout=options.session_idle)

    @contextlib.asynccontextmanager
    async def lifespan(_app: Any) -> AsyncIterator[None]:
        ready = anyio.Event()

        async def run_manager() -> None:
            async with manager.run():
                ready.set()
                await stopping.wait()

        async with anyio.create_task_group() as tg:
            tg.start_soon(run_manager)
            await ready.wait()
            try:
                yield
            finally:
                stopping.set()

    asgi: Any = Starlette(routes=[Route("/mcp", endpoint=StreamableHTTPASGIApp(manager))],
                          lifespan=lifespan)
    asgi = _Guard(_with_board(asgi, Board(app, settings, options.keys, stopping)), app, stopping)
    return _BearerGate(asgi, options.keys) if options.keys is not None else asgi


def _with_board(asgi: Any, board: Board) -> Any:
    """Sends /board and what is under it to the board, the rest to `asgi`."""

    async def route(scope: Any, receive: Any, send: Any) -> None:
        if scope["type"] == "http" and is_board(scope["path"]):
            await board(scope, receive, send)
        else:
            await asgi(scope, receive, send)

    return route


def _quiet_accept_errors(loop: asyncio.AbstractEventLoop) -> None:
    """Accept failures (out of descriptors) logged once a second at most."""
    limited = _RateLimitedLog("accepting connections failed: ")
    default = loop.get_exception_handler()

    def handler(loop: asyncio.AbstractEventLoop, context: dict[str, Any]) -> None:
        if str(context.get("message", "")).startswith("socket.accept()"):
            limited(context.get("exception", ""))
        elif default is not None:
            default(loop, context)
        else:
            loop.default_exception_handler(context)

    loop.set_exception_handler(handler)


async def serve_http(app: CoordinationServer, sock: socket.socket, options: HttpOptions,
                     on_stop: Callable[[Callable[[], None]], None]) -> None:
    import uvicorn

    class _Server(uvicorn.Server):
        # Stop signals are ours (see run_until_stopped): uvicorn would re-raise them at exit.
        def capture_signals(self) -> Any:
            return contextlib.nullcontext()

    stopping = anyio.Event()
    config = uvicorn.Config(
        http_app(app, options, stopping), log_config=None,
        access_log=log.isEnabledFor(logging.DEBUG), lifespan="on",
        http=protocol_class(options.max_connections), timeout_keep_alive=int(KEEP_ALIVE_TIMEOUT),
        timeout_graceful_shutdown=int(SHUTDOWN_TIMEOUT), backlog=1024)
    server = _Server(config)

    def stop() -> None:
        app.ending = True  # a normal end: --release-on-exit applies
        app.stop_waits()
        stopping.set()
        server.should_exit = True

    on_stop(stop)
    loop = asyncio.get_running_loop()
    _quiet_accept_errors(loop)
    keys = options.keys
    if keys is not None and keys.roles and hasattr(signal, "SIGHUP"):
        # Read again in place: open connections and sessions go on.
        loop.add_signal_handler(signal.SIGHUP, keys.reload)

        def unhook() -> None:
            loop.remove_signal_handler(signal.SIGHUP)

        on_stop(unhook)
    # Listening before the URL is logged: a client that reads it and connects
    # at once waits in the backlog instead of being refused.
    sock.listen(1024)
    host, port = sock.getsockname()[:2]
    shown = f"[{host}]" if ":" in host else host
    required = ""
    if keys is not None:
        required = " (bearer token required" + (
            f", {len(keys.entries)} credentials; SIGHUP reloads them)" if keys.roles else ")")
    log.info("serving MCP on http://%s:%d/mcp%s", shown, port, required)
    log.info("the board: http://%s:%d/board", shown, port)
    if options.bind_host in ("0.0.0.0", "::") and not options.extra_hosts:
        log.warning("requests are accepted only with a loopback Host header; name the host "
                    "that remote clients use with --allow-host")
    await server.serve(sockets=[sock])
