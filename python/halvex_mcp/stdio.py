"""MCP on stdin/stdout, through the SDK's stdio transport with our own line
reader and writer: every request read before the end of input is answered
before the server exits, and a closed stdout ends it with one log line."""

from __future__ import annotations

import logging
import os
import threading
import time
from typing import Any, AsyncIterator, Callable, Optional, Tuple

import anyio
import anyio.from_thread
import anyio.lowlevel
import anyio.to_thread
from mcp.server.stdio import stdio_server

from . import wire
from .server import CoordinationServer

log = logging.getLogger("halvex_mcp")

Item = Tuple[str, str, Any]  # a line, what it is, and its id or reply (wire.classify)

# After the end of input, how long the requests already read may take to be
# answered (a Redis call retries for up to about 25 s).
FINISH_TIMEOUT = 60.0


class _Replies:
    """The requests read but not yet answered."""

    def __init__(self) -> None:
        self.open: set[Any] = set()
        self.settled = anyio.Event()

    def add(self, ident: Any) -> None:
        self.open.add(ident)
        self.settled = anyio.Event()

    def done(self, ident: Any) -> None:
        self.open.discard(ident)
        if not self.open:
            self.settled.set()


class _StdoutLines:
    """The SDK's stdout: each reply written whole to fd 1 from a worker thread
    (a client that reads slowly blocks no one), then counted as answered."""

    def __init__(self, app: CoordinationServer, replies: _Replies,
                 on_closed: Callable[[], None]) -> None:
        self.app = app
        self.replies = replies
        self.on_closed = on_closed
        self.closed = False
        self.lock = anyio.Lock()

    async def write(self, text: str) -> None:
        if self.closed:
            return
        data = text.encode("utf-8")
        async with self.lock:
            try:
                await anyio.to_thread.run_sync(_write_all, 1, data)
            except OSError as err:
                if not self.closed:
                    self.closed = True
                    log.warning("stdout is closed (%s): the client is gone; stopping",
                                err.strerror or err)
                    self.on_closed()
                return
        is_reply, ident = wire.response_id(text)
        if is_reply:
            self.replies.done(ident)

    async def flush(self) -> None:
        await anyio.lowlevel.checkpoint()


def _write_all(fd: int, data: bytes) -> None:
    view = memoryview(data)
    while view:
        view = view[os.write(fd, view):]


class _StdinLines:
    """Lines of standard input for the SDK's stdio transport.

    A daemon thread reads the descriptor with os.read, so a stop signal never
    waits for the client's next line and no buffer lock is held at exit; it
    hands each line over with a plain callback (nothing is left unawaited if
    the loop ends first). At the end of input the stream stays open until
    every request read has been answered: the SDK cancels what is still
    running when its input ends.
    """

    def __init__(self, app: CoordinationServer, replies: _Replies, out: _StdoutLines) -> None:
        self.app = app
        self.replies = replies
        self.out = out
        self._send, self._receive = anyio.create_memory_object_stream[Optional[Item]](16)

    def start(self) -> None:
        token = anyio.lowlevel.current_token()
        threading.Thread(target=self._pump, args=(token,), name="stdin", daemon=True).start()

    def _pump(self, token: Any) -> None:
        pending: list[bytes] = []

        def hand_over(item: Item | None) -> None:
            while True:
                try:
                    anyio.from_thread.run_sync(self._send.send_nowait, item, token=token)
                    return
                except anyio.WouldBlock:  # the server is behind: the client waits
                    time.sleep(0.005)

        def deliver(raw: bytes) -> None:
            line = raw.decode("utf-8", "replace")
            kind, value = wire.classify(line)  # parsed here, off the event loop
            hand_over((line, kind, value))

        try:
            while True:
                chunk = os.read(0, 1 << 16)
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
            hand_over(None)
        except Exception:  # the loop has ended (a stop) or stdin broke: either way, no more input
            pass

    async def __aiter__(self) -> AsyncIterator[str]:
        async for item in self._receive:
            if item is None:
                break
            line, kind, value = item
            if kind == "refuse":
                await self.out.write(value + "\n")
                continue
            if kind == "request":
                self.replies.add(value)
            elif kind == "cancel":
                self.replies.done(value)  # the SDK does not answer a cancelled request
            yield line
        self.app.stop_waits()  # the client is leaving: its waits answer now
        if self.replies.open:
            with anyio.move_on_after(FINISH_TIMEOUT) as waited:
                await self.replies.settled.wait()
            if waited.cancelled_caught:
                log.warning("%d requests still unanswered %.0f s after the end of input",
                            len(self.replies.open), FINISH_TIMEOUT)
        self.app.ending = True


async def serve_stdio(app: CoordinationServer,
                      on_stop: Callable[[Callable[[], None]], None]) -> None:
    replies = _Replies()
    with anyio.CancelScope() as scope:
        def stop() -> None:
            app.ending = True  # a stop signal is a normal end
            app.stop_waits()
            scope.cancel()

        on_stop(stop)
        out = _StdoutLines(app, replies, scope.cancel)
        lines = _StdinLines(app, replies, out)
        lines.start()
        async with stdio_server(stdin=lines, stdout=out) as (read, write):  # type: ignore[arg-type]
            log.info("serving MCP on stdio")
            await app.server.run(read, write, app.server.create_initialization_options())
