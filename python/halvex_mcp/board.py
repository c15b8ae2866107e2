"""The live board: a read-only page at /board of `halvex-mcp --http`.

The page (board/, shipped in the wheel: plain HTML, CSS and JS) opens one
server-sent event stream at /board/events, which carries a bounded snapshot
(leases, agents, tasks, the latest activity) when the activity changes and at least
every HEARTBEAT seconds; the page marks itself disconnected when they stop.
Every stream sends the same snapshot: one is read and encoded per change
(the encoding in a worker thread), however many streams are open.

The board only reads: the state's lease, agent and task views and its activity log
(halvex_sqlite's or halvex_redis's public reader: the newest records, then
those after the last one seen). It opens no MCP
session and acts as no agent: nobody's last-seen time moves, no drain is
confirmed. With bearer tokens set, the page asks for one once and the server
keeps an HMAC of its hash in an HttpOnly, SameSite=Strict cookie scoped to /board.
"""

from __future__ import annotations

import json
import logging
import time
from collections import deque
from pathlib import Path
from typing import Any, Deque, List, Tuple
from urllib.parse import parse_qs

import anyio
from halvex_types import LEASE_SECS, Task
from mcp.server.transport_security import TransportSecurityMiddleware, TransportSecuritySettings

from .backend import State
from .credentials import Keys
from .server import CoordinationServer

log = logging.getLogger("halvex_mcp")

PREFIX = "/board"
HEARTBEAT = 5.0      # a snapshot at least this often: the page's sign of life
POLL = 0.5           # how often a stream looks for new activity
MAX_ROWS = 500       # leases and agents per snapshot; the rest are counted
ACTIVITY_ROWS = 50   # activity records per snapshot, newest first
TASK_ROWS = 50       # tasks per state per snapshot; the rest are counted
TASK_STATES = ("ready", "blocked", "held", "done", "failed")
WAITS_SHOWN = 10     # dependencies a blocked task's row names; the rest are counted
# Reading every task costs about 15 us a task (0.1-0.2 s for 10^4, on Redis
# inside one script that holds the server meanwhile): the list is read again
# only after this many times its last read's duration, so it takes at most
# 1/TASK_SHARE of the time; small graphs are still read for every snapshot.
TASK_SHARE = 20
CONTENT_CHARS = 120  # a message's content as the board shows it
QUIET_AFTER = 120    # an agent not seen for this long is marked quiet
MAX_STREAMS = 32     # open board streams; one more gets 503
COOKIE = "halvex_board"
# Set on a request's scope once it is known to come from an authorised
# client (http.py: such connections are the last closed at the connection cap).
PROVEN = "halvex.proven"
# What a viewer reads when the state cannot be read: the reason (which may
# name the backend's address) goes to the log only.
UNREADABLE = "the state's backend did not answer (details in the server's log)"
STATIC = Path(__file__).with_name("board")
FILES = {"board.js": b"text/javascript; charset=utf-8", "board.css": b"text/css; charset=utf-8"}

Headers = List[Tuple[bytes, bytes]]

_COMMON: Headers = [
    (b"cache-control", b"no-store"),
    (b"x-content-type-options", b"nosniff"),
    (b"referrer-policy", b"same-origin"),  # "no-referrer" makes a form's Origin "null"
    (b"content-security-policy",
     b"default-src 'none'; script-src 'self'; style-src 'self'; connect-src 'self'; "
     b"form-action 'self'; frame-ancestors 'none'; base-uri 'none'"),
]


def shorten(text: str, size: int = CONTENT_CHARS) -> str:
    return text if len(text) <= size else text[:size - 1] + "\u2026"


def is_board(path: str) -> bool:
    return path == PREFIX or path.startswith(PREFIX + "/")


async def _respond(send: Any, status: int, body: bytes, kind: bytes = b"text/plain; charset=utf-8",
                   headers: Headers | None = None) -> None:
    await send({"type": "http.response.start", "status": status,
                "headers": [(b"content-type", kind), (b"content-length", b"%d" % len(body))]
                + _COMMON + (headers or [])})
    await send({"type": "http.response.body", "body": body})


class _Feed:
    """One stream's view of the activity: what is new since its last look."""

    def __init__(self) -> None:
        self.records: deque[dict[str, Any]] = Deque(maxlen=ACTIVITY_ROWS)

    async def poll(self) -> bool:
        """Takes in new records; True when there were any."""
        raise NotImplementedError


class _StateFeed(_Feed):
    """A state's own activity log (the namespace's log): the newest
    records first, then each poll reads what came after the last one seen
    (never the whole log)."""

    def __init__(self, state: Any) -> None:
        super().__init__()
        self.state = state
        self.last: str | None = None

    async def poll(self) -> bool:
        if self.last is None:
            newest = await self.state.activity(None, ACTIVITY_ROWS)
            self.last = newest[-1]["id"] if newest else "0"
            self.records.extend(_shown(r) for r in newest)
            return True
        got = await self.state.activity(self.last, 100)
        for record in got:
            self.last = record["id"]
            self.records.append(_shown(record))
        return bool(got)


def _shown(record: dict[str, Any]) -> dict[str, Any]:
    if "content" in record:
        record["content"] = shorten(str(record["content"]))
    return record


class Board:
    """The /board routes (see the module's docstring)."""

    def __init__(self, app: CoordinationServer, settings: TransportSecuritySettings,
                 keys: Keys | None, stopping: anyio.Event) -> None:
        self.app = app
        self.security = TransportSecurityMiddleware(settings)
        self.keys = keys
        self.stopping = stopping
        self.streams = 0
        self.state: State | None = None  # the board's own, never an agent's session
        self.shared: _Shared | None = None
        self.failing: str | None = None  # the last failure logged
        self.tasks: list[Task] = []   # the latest read of the task list
        self.tasks_due = 0.0          # when it may be read again (time.monotonic())

    def _signed_in(self, scope: Any) -> bool:
        if self.keys is None:
            return True
        for name, value in scope["headers"]:
            if name != b"cookie":
                continue
            for part in value.decode("latin-1").split(";"):
                k, _, v = part.strip().partition("=")
                # A token taken out of the credentials takes its cookie with it.
                if k == COOKIE and self.keys.from_cookie(v.encode("latin-1")) is not None:
                    return True
        return False

    async def __call__(self, scope: Any, receive: Any, send: Any) -> None:
        from starlette.requests import Request

        refused = await self.security.validate_request(Request(scope, receive), is_post=False)
        if refused is not None:
            await refused(scope, receive, send)
            return
        path, method = scope["path"][len(PREFIX):], scope["method"]
        if path == "/login" and method == "POST":
            await self._login(receive, send)
        elif method != "GET":
            await _respond(send, 405, b"the board only reads\n", headers=[(b"allow", b"GET")])
        elif path in ("", "/"):
            if self._signed_in(scope):
                await self._file(send, "index.html", b"text/html; charset=utf-8")
            else:
                await self._login_page(send, 200, "")
        elif path.lstrip("/") in FILES:
            name = path.lstrip("/")
            await self._file(send, name, FILES[name])
        elif path == "/events":
            if not self._signed_in(scope):
                await _respond(send, 401, b"sign in at /board first\n")
            else:
                scope[PROVEN] = True
                await self._events(receive, send)
        else:
            await _respond(send, 404, b"not found\n")

    async def _file(self, send: Any, name: str, kind: bytes) -> None:
        await _respond(send, 200, (STATIC / name).read_bytes(), kind)

    async def _login_page(self, send: Any, status: int, problem: str) -> None:
        page = (STATIC / "login.html").read_text("utf-8").replace("<!--problem-->", problem)
        await _respond(send, status, page.encode("utf-8"), b"text/html; charset=utf-8")

    async def _login(self, receive: Any, send: Any) -> None:
        body = b""
        while True:
            message = await receive()
            if message["type"] == "http.disconnect":
                return
            body += message.get("body", b"")
            if len(body) > 4096:
                await _respond(send, 413, b"too large\n")
                return
            if not message.get("more_body"):
                break
        given = parse_qs(body.decode("utf-8", "replace")).get("token", [""])[0].strip()
        if self.keys is None:
            await _respond(send, 303, b"", headers=[(b"location", b"/board")])
            return
        # Any role may watch; compared in constant time, as the bearer token is.
        if self.keys.check(given.encode("utf-8")) is None:
            await self._login_page(send, 401, '<p class="problem">wrong token</p>')
            return
        value = self.keys.cookie(given.encode("utf-8"))
        cookie = f"{COOKIE}={value}; Path={PREFIX}; HttpOnly; SameSite=Strict"
        await _respond(send, 303, b"", headers=[(b"location", b"/board"),
                                                (b"set-cookie", cookie.encode("ascii"))])

    def _feed(self) -> _Feed:
        backend = self.app.backend
        assert backend is not None
        if self.state is None:
            self.state = backend.state
        return _StateFeed(self.state)

    async def snapshot(self, feed: _Feed) -> bytes:
        """Leases, agents, tasks and the latest activity, each bounded, as
        one stream event. The lists are sorted and turned into JSON in a
        worker thread: with thousands of agents or tasks that takes
        milliseconds the loop does not spare."""
        backend = self.app.backend
        leases: list[Any] = []
        agents: list[Any] = []
        tasks: list[Task] = []
        error = None
        try:
            if backend is None:
                raise RuntimeError("the backend is not open yet")
            if self.state is None:
                self.state = backend.state
            leases = await self.state.leases("")
            agents = await self.state.agents()
            started = time.monotonic()
            if started >= self.tasks_due:
                self.tasks = await self.state.tasks("")
                self.tasks_due = started + (time.monotonic() - started) * TASK_SHARE
            tasks = self.tasks
        except Exception as err:  # the page says so; the stream goes on
            error = UNREADABLE
            failure = f"{type(err).__name__}: {err}"
            if failure != self.failing:  # once per failure, not per snapshot
                log.warning("board: reading the state failed: %s", failure)
            self.failing = failure
        else:
            self.failing = None
        return await anyio.to_thread.run_sync(_event, leases, agents, tasks, list(feed.records),
                                              error)

    async def _events(self, receive: Any, send: Any) -> None:
        if self.streams >= MAX_STREAMS or self.stopping.is_set():
            await _respond(send, 503, b"too many board streams\n")
            return
        self.streams += 1
        try:
            await send({"type": "http.response.start", "status": 200,
                        "headers": [(b"content-type", b"text/event-stream; charset=utf-8"),
                                    (b"x-accel-buffering", b"no")] + _COMMON})
            async with anyio.create_task_group() as tg:
                tg.start_soon(self._until_gone, receive, tg.cancel_scope)
                tg.start_soon(self._until_stopping, tg.cancel_scope)
                await self._stream(send)
        finally:
            self.streams -= 1
            if not self.streams:
                # The next viewer starts from the newest activity, not from
                # where the last one left off, and from the tasks as they are.
                self.shared = None
                self.tasks_due = 0.0
        try:
            await send({"type": "http.response.body", "body": b"", "more_body": False})
        except Exception:  # the client is gone already
            pass

    async def _until_gone(self, receive: Any, scope: anyio.CancelScope) -> None:
        while (await receive())["type"] != "http.disconnect":
            pass
        scope.cancel()

    async def _until_stopping(self, scope: anyio.CancelScope) -> None:
        await self.stopping.wait()
        scope.cancel()

    async def _stream(self, send: Any) -> None:
        if self.shared is None:
            self.shared = _Shared(self, self._feed())
        shared = self.shared
        await send({"type": "http.response.body", "body": b"retry: 2000\n\n", "more_body": True})
        sent = 0
        while True:
            version, data = await shared.latest()
            if version != sent:
                await send({"type": "http.response.body", "more_body": True, "body": data})
                sent = version
            await anyio.sleep(POLL)


class _Shared:
    """The snapshot every stream sends: the activity polled at most every
    POLL seconds, the snapshot built again when it changed and at least every
    HEARTBEAT seconds, by whichever stream asks first."""

    def __init__(self, board: Board, feed: _Feed) -> None:
        self.board = board
        self.feed = feed
        self.lock = anyio.Lock()
        self.polled = self.built = -HEARTBEAT
        self.dirty = True
        self.version = 0
        self.data = b""

    async def latest(self) -> tuple[int, bytes]:
        async with self.lock:
            now = time.monotonic()
            if now - self.polled >= POLL:
                self.polled = now
                was, self.dirty = self.dirty, True  # stays set if this poll is cancelled
                try:
                    changed = await self.feed.poll()
                except Exception as err:
                    log.debug("board: reading the activity failed: %s", err)
                    changed = False
                self.dirty = was or changed
            if self.dirty or now - self.built >= HEARTBEAT:
                self.dirty = True
                self.data = await self.board.snapshot(self.feed)
                self.built, self.dirty = time.monotonic(), False
                self.version += 1
            return self.version, self.data


def _task_rows(tasks: list[Task], leases: list[Any]) -> tuple[dict[str, Any], dict[str, int]]:
    """The tasks by state, at most TASK_ROWS of each (the next to be
    claimed first; of the finished ones the latest added), and how many of
    each were left out. A held task's row carries its lease's expiry."""
    by_state: dict[str, list[Task]] = {state: [] for state in TASK_STATES}
    for task in tasks:
        by_state.setdefault(task.state, []).append(task)
    expiry = {lease.resource_key: lease.expires_at for lease in leases}
    shown: dict[str, Any] = {}
    more: dict[str, int] = {}
    for state, found in by_state.items():
        kept = found[-TASK_ROWS:] if state in ("done", "failed") else found[:TASK_ROWS]
        more[state] = len(found) - len(kept)
        shown[state] = [{
            "task_id": t.task_id, "title": shorten(t.title), "holder": t.holder,
            "token": t.token, "waits_for": t.waits_for[:WAITS_SHOWN],
            "more_waits": max(len(t.waits_for) - WAITS_SHOWN, 0),
            "outcome": shorten(t.outcome), "added_at": t.added_at,
            "expires_at": expiry.get("task:" + t.task_id) if state == "held" else None,
        } for t in kept]
    return shown, more


def _event(leases: list[Any], agents: list[Any], tasks: list[Task],
           records: list[dict[str, Any]], error: str | None) -> bytes:
    shown, more = _task_rows(tasks, leases)
    out: dict[str, Any] = {
        "now": time.time(), "lease": LEASE_SECS, "quiet_after": QUIET_AFTER,
        "leases": [lease._asdict() for lease in leases[:MAX_ROWS]],
        "agents": [agent._asdict() for agent in agents[:MAX_ROWS]],
        "more_leases": max(len(leases) - MAX_ROWS, 0),
        "more_agents": max(len(agents) - MAX_ROWS, 0),
        "tasks": shown, "more_tasks": more,
        "activity": records[::-1]}
    if error is not None:
        out["error"] = error
    data = json.dumps(out, separators=(",", ":")).encode("utf-8")
    return b"event: snapshot\ndata: " + data + b"\n\n"
