"""What every call of the blocking and the asyncio class shares: argument
checks, a namespace's keys, call ids, lanes and confirmations (Session and
Frame), the retry budget, and the scripts.

_plans.py holds a plan per method (the requests it sends and the decoding of
their replies), _exchange.py runs a plan against the server (framing,
retries after a lost reply), and _clients.py makes and checks the clients.
"""
from __future__ import annotations

import hashlib
import itertools
import os
import threading
import time
import uuid
from typing import Any, List, Sequence, Set, Tuple, TypeVar

import redis
from halvex_types import HANDOVER_SECS, faults
from halvex_types.arguments import CHECKS, Check, limit, not_text, resource_keys, task_ids

from . import _scripts

DEFAULT_URL = "redis://127.0.0.1:6379/0"

# The activity log keeps about this many records (XADD MAXLEN ~): with
# 1 KiB messages about 14 MB per namespace (see docs/redis.md).
DEFAULT_LOG_LIMIT = 10_000

# Set on clients built from a URL that does not say otherwise.
SOCKET_TIMEOUT = 5.0
CONNECT_TIMEOUT = 2.0

# A call whose reply is lost is sent again, with the same id, at most
# RETRIES times and never once RETRY_WINDOW seconds have passed since the
# first try; the waits between tries double from RETRY_FIRST_WAIT up to
# RETRY_MAX_WAIT (about 2.5 s of waiting in all). A method's later rounds (a
# broadcast's refreshed list of agents, a delete's second part) count as
# tries too.
RETRIES = 8
RETRY_WINDOW = 20.0
RETRY_FIRST_WAIT = 0.01
RETRY_MAX_WAIT = 1.0

# A drained batch left unconfirmed this long (its drainer stopped calling) is
# returned by the next drain of that agent from any object.
HANDOVER = HANDOVER_SECS  # here, so a test may shorten it

CODES = _scripts.CODES
HELD, NO_CLAIM, STALE, CLOCK = (_scripts.CODES[name]
                                for name in ("HELD", "NO_CLAIM", "STALE", "CLOCK"))

Text = Tuple[str, bytes]

WORDS = {b"0": "idle", b"1": "busy", b"2": "completed", b"3": "error", None: "idle"}

# Faults of the connection after which the call may or may not have run.
# On a cluster also: a slot moving (TRYAGAIN, or the client's own redirections
# running out) or a node failing over.
RETRYABLE = (redis.exceptions.ConnectionError, redis.exceptions.TimeoutError,
             redis.exceptions.TryAgainError, redis.exceptions.ClusterError,
             redis.exceptions.SlotNotCoveredError)


class OutOfStep(redis.exceptions.ConnectionError):
    """A reply that does not carry its call's id: the connection answered an
    earlier call (one interrupted between sending and reading)."""


def panic(message: str) -> BaseException:
    return faults.panic("halvex_redis", message)


def clock_fault(reply: Sequence[Any]) -> None:
    if reply[1] == CLOCK:
        reading = reply[2].decode("ascii", "replace")
        raise panic(f"system clock before unix epoch: the Redis server's TIME reads {reading} s")


T = TypeVar("T")


class Script:
    __slots__ = ("source", "sha")

    def __init__(self, source: str) -> None:
        self.source = source.encode("utf-8")
        self.sha = hashlib.sha1(self.source).hexdigest()


CLAIM_LUA = Script(_scripts.CLAIM)
CLAIM_MANY_LUA = Script(_scripts.CLAIM_MANY)
RENEW_LUA = Script(_scripts.RENEW)
RELEASE_LUA = Script(_scripts.RELEASE)
SEND_LUA = Script(_scripts.SEND)
BROADCAST_LUA = Script(_scripts.BROADCAST)
INBOX_LUA = Script(_scripts.INBOX)
INBOX_ALONE_LUA = Script(_scripts.INBOX_ALONE)
INBOX_BATCH_LUA = Script(_scripts.INBOX_BATCH)
INBOX_BATCH_ALONE_LUA = Script(_scripts.INBOX_BATCH_ALONE)
DRAIN_BATCH_LUA = Script(_scripts.DRAIN_BATCH)
DRAIN_LUA = Script(_scripts.DRAIN)
STATUS_LUA = Script(_scripts.STATUS)
STATUS_ALONE_LUA = Script(_scripts.STATUS_ALONE)
CONFIRM_LUA = Script(_scripts.CONFIRM)
DELETE_LUA = Script(_scripts.DELETE)
WAIT_LUA = Script(_scripts.WAIT)
WAIT_BATCH_LUA = Script(_scripts.WAIT_BATCH)
ACKNOWLEDGE_LUA = Script(_scripts.ACKNOWLEDGE)
LEASE_LUA = Script(_scripts.LEASE_READ)
LEASE_MANY_LUA = Script(_scripts.LEASE_MANY)
LEASE_MANY_ALONE_LUA = Script(_scripts.LEASE_MANY_ALONE)
LEASE_ALONE_LUA = Script(_scripts.LEASE_ALONE)
LEASES_LUA = Script(_scripts.LEASES)
LEASES_ALONE_LUA = Script(_scripts.LEASES_ALONE)
AGENTS_LUA = Script(_scripts.AGENTS)
AGENTS_ALONE_LUA = Script(_scripts.AGENTS_ALONE)
RELEASE_ALL_LUA = Script(_scripts.RELEASE_ALL)
DELETE_REST_LUA = Script(_scripts.DELETE_REST)
ADD_TASK_LUA = Script(_scripts.ADD_TASK)
CLAIM_NEXT_LUA = Script(_scripts.CLAIM_NEXT)
FINISH_TASK_LUA = Script(_scripts.FINISH_TASK)
RESET_TASK_LUA = Script(_scripts.RESET_TASK)
TASKS_LUA = Script(_scripts.TASKS)
TASKS_ALONE_LUA = Script(_scripts.TASKS_ALONE)


def text(name: str, value: object) -> Text:
    """The exact str and UTF-8 bytes of an argument, or the binding's TypeError."""
    if not isinstance(value, str):
        raise not_text(name, value)
    # str.encode itself, so a subclass is taken as its characters; lone
    # surrogates raise UnicodeEncodeError here, before anything is sent.
    data = str.encode(value, "utf-8")
    return (value if type(value) is str else data.decode("utf-8")), data


def record_id(name: str, value: object) -> str | None:
    """An activity record's id to read after, or None for the newest."""
    if value is not None and not isinstance(value, str):
        raise TypeError(f"{name} must be a str or None, not '{type(value).__name__}'")
    return value


_CHECKS: dict[str, Check] = {**CHECKS, "count": limit, "after": record_id,
                             "resource_keys": lambda n, v: resource_keys(n, v, text),
                             "keys": lambda n, v: resource_keys(n, v, text, False),
                             "depends_on": lambda n, v: task_ids(n, v, text)}


class Keys:
    """The keys of one namespace; all carry its {namespace} hash tag, so the
    whole namespace lives in one cluster slot."""

    __slots__ = ("namespace", "claims", "status", "log", "joined", "owed", "pending", "inbox",
                 "pending_list", "call", "tokens", "floor", "seen", "waiting", "wake", "tasks",
                 "dependants", "ready", "open", "open_ids", "task_seq", "task_waiters",
                 "task_wake")

    def __init__(self, namespace: object) -> None:
        if not isinstance(namespace, str):
            raise TypeError(f"namespace must be a str, not '{type(namespace).__name__}'")
        if not namespace:
            raise ValueError("namespace must not be empty: '{}' is no hash tag")
        if "{" in namespace or "}" in namespace:
            # A brace would end the hash tag early (or make it empty), so keys
            # of one namespace could land in several slots or alias another's.
            raise ValueError(f"namespace must not contain '{{' or '}}': {namespace!r}")
        self.namespace = namespace
        base = b"halvex:{" + namespace.encode("utf-8") + b"}:"
        self.claims = base + b"claims"
        self.status = base + b"status"
        self.log = base + b"log"
        self.joined = base + b"joined"
        self.owed = base + b"owed"
        self.pending = base + b"pending"
        self.inbox = base + b"inbox:"
        self.pending_list = base + b"pending:"
        self.call = base + b"call:"
        self.tokens = base + b"tokens"
        self.floor = base + b"floor"
        self.seen = base + b"seen"
        self.waiting = base + b"waiting"
        self.wake = base + b"wake:"
        self.tasks = base + b"tasks"
        self.dependants = base + b"dependants"
        self.ready = base + b"ready"
        self.open = base + b"open"
        self.open_ids = base + b"open_ids"
        self.task_seq = base + b"task_seq"
        self.task_waiters = base + b"task_waiters"
        self.task_wake = base + b"task_wake"

    def graph(self) -> tuple[bytes, ...]:
        """The keys of every task script, in the order the scripts name them."""
        return (self.tasks, self.dependants, self.ready, self.open, self.open_ids,
                self.task_seq, self.task_waiters, self.task_wake, self.claims, self.tokens,
                self.floor, self.status, self.joined, self.seen, self.log)


class Block:
    """A wait for an entry in a wake list (BLPOP), at most `seconds`; the
    plan gets the entry, or None when none came."""

    __slots__ = ("key", "seconds")

    def __init__(self, key: bytes, seconds: float) -> None:
        self.key = key
        self.seconds = seconds


class Command:
    """A plain command that only reads (the activity log, the server's
    clock): sent as it is, without a call id, and again after a lost reply."""

    __slots__ = ("args",)

    def __init__(self, *args: Any) -> None:
        self.args = args


class Request:
    """A script's own keys and arguments; `alone` is the script without the
    frame, for a read that has nothing to confirm. A `held` drain's batch is
    left to its acknowledgement (or the hand-over): the object neither
    confirms it nor takes it over."""

    __slots__ = ("script", "keys", "args", "drain_agent", "alone", "held")

    def __init__(self, script: Script, keys: Sequence[bytes], args: Sequence[Any],
                 drain_agent: bytes | None = None, alone: Script | None = None,
                 held: bool = False) -> None:
        self.script = script
        self.keys = keys
        self.args = args
        self.drain_agent = drain_agent
        self.alone = alone
        self.held = held


# Counts the forks this process descends from; a Session made before a fork
# takes a fresh identity in the child (objects shared across fork then
# behave like separate objects).
_forks = [0]


def _forked() -> None:
    _forks[0] += 1


if hasattr(os, "register_at_fork"):
    os.register_at_fork(after_in_child=_forked)

# The known agents as a session last saw them: the joined list's base, its
# length, their inboxes and their names.
Agents = Tuple[bytes, int, List[bytes], Set[bytes]]
NO_AGENTS: Agents = (b"", 0, [], set())


class Session:
    """One object's call ids, lanes and the confirmations its next call carries.

    A lane is a record slot on the server that carries one call at a time;
    concurrent calls of the object (threads, tasks) take different lanes.
    `drains` are drains whose batches arrived, confirmed by the next call;
    `unanswered` keeps, per agent, the ids of this object's drains whose
    replies never came, so its next drain of that agent takes them over.
    """

    def __init__(self, keys: Keys, log_limit: int = 1) -> None:
        self.keys = keys
        self.log_limit = log_limit
        self.agents = NO_AGENTS
        self.renew()

    def renew(self) -> None:
        """A fresh identity: in a new object, or in a child after fork."""
        self.generation = _forks[0]
        self.prefix = uuid.uuid4().hex[:16].encode("ascii") + b"."
        self.counter = itertools.count()
        self.lock = threading.Lock()
        self.lanes: list[bytes] = []
        self.lane_count = 0
        self.drains: list[tuple[bytes, bytes]] = []   # (agent, call id)
        self.unanswered: dict[bytes, set[bytes]] = {}

    def owes(self) -> bool:
        if self.generation != _forks[0]:
            self.renew()
        return bool(self.drains)

    def frame(self, request: Request) -> Frame:
        if self.generation != _forks[0]:
            self.renew()
        call_id = self.prefix + str(next(self.counter)).encode("ascii")
        if request.alone is not None and not self.drains:
            return Frame(self, request, request.alone, call_id, None, [])
        lane: bytes | None = None
        drains: list[tuple[bytes, bytes]] = []
        try:
            with self.lock:
                if self.lanes:
                    lane = self.lanes.pop()
                else:
                    self.lane_count += 1
                    lane = self.keys.call + self.prefix + str(self.lane_count).encode("ascii")
                drains, self.drains = self.drains, []
            return Frame(self, request, request.script, call_id, lane, drains)
        except BaseException:  # interrupted: nothing was sent
            with self.lock:
                if lane is not None:
                    self.lanes.append(lane)
                self.drains.extend(drains)
            raise

    def saw_agents(self, seen: Agents, base: bytes, newcomers: list[bytes]) -> None:
        """Adds the agents that became known after `seen` (unless another call
        has updated the list since)."""
        if self.agents is not seen or not newcomers:
            return
        _base, known, inboxes, names = seen
        inbox = self.keys.inbox
        self.agents = (base, max(known, 1) + len(newcomers),
                       inboxes + [inbox + a for a in newcomers], names | set(newcomers))

    def all_agents(self, base: bytes, agents: list[bytes]) -> None:
        inbox = self.keys.inbox
        self.agents = (base, 1 + len(agents) if base else 0, [inbox + a for a in agents],
                       set(agents))


class Frame:
    """One request with its call id, its lane and the confirmations it carries."""

    __slots__ = ("session", "request", "script", "call_id", "lane", "drains", "keys", "args",
                 "taken")

    def __init__(self, session: Session, request: Request, script: Script, call_id: bytes,
                 lane: bytes | None, drains: list[tuple[bytes, bytes]]) -> None:
        self.session = session
        self.request = request
        self.script = script
        self.call_id = call_id
        self.lane = lane
        self.drains = drains
        if lane is None:
            self.keys = request.keys
            self.args = [call_id, *request.args]
        elif drains:
            keys = session.keys
            self.keys = [lane, keys.pending, *[keys.pending_list + a for a, _ in drains],
                         *request.keys]
            self.args = [b"%d:%s" % (len(drains), call_id), *[i for _, i in drains],
                         *[a for a, _ in drains], *request.args]
        else:
            self.keys = [lane, *request.keys]
            self.args = [call_id, *request.args]
        self.taken: tuple[bytes, ...] = ()
        if request.drain_agent is not None:
            # This object's unanswered drains of the agent, which this one takes over.
            with session.lock:
                self.taken = tuple(session.unanswered.get(request.drain_agent, ()))
            self.args = [*self.args, HANDOVER, *self.taken]

    def command(self, with_source: bool) -> tuple[Any, ...]:
        if with_source:
            return ("EVAL", self.script.source, len(self.keys), *self.keys, *self.args)
        return ("EVALSHA", self.script.sha, len(self.keys), *self.keys, *self.args)

    def answered(self) -> None:
        if self.lane is None:
            return
        session = self.session
        agent = self.request.drain_agent
        with session.lock:
            if agent is not None:
                # Only the drains this one took over are settled: a drain of
                # another thread or task that failed meanwhile stays noted.
                ids = session.unanswered.get(agent)
                if ids is not None:
                    ids.difference_update(self.taken)
                    if not ids:
                        del session.unanswered[agent]
                if not self.request.held:
                    session.drains.append((agent, self.call_id))
            session.lanes.append(self.lane)  # last: failed() undoes the rest

    def failed(self) -> None:
        """The call may have run. Its confirmations go with the next call
        again; an unanswered drain is taken over by the object's next drain
        of that agent."""
        if self.lane is None:
            return
        session = self.session
        agent = self.request.drain_agent
        with session.lock:
            # Also undoes an answered() that an exception cut short.
            if self.lane not in session.lanes:
                session.lanes.append(self.lane)
            session.drains.extend(d for d in self.drains if d not in session.drains)
            if agent is not None and not self.request.held:
                if (agent, self.call_id) in session.drains:
                    session.drains.remove((agent, self.call_id))
                session.unanswered.setdefault(agent, set()).add(self.call_id)


class Budget:
    """The retries left to one method call."""

    __slots__ = ("tries", "started")

    def __init__(self) -> None:
        self.tries = 0
        self.started = 0.0

    def wait(self) -> float | None:
        """Seconds to wait before sending again, or None when the retries are spent."""
        now = time.monotonic()
        if not self.started:
            # The first try began at most a socket timeout ago; counting from
            # its failure keeps the call free of a clock read.
            self.started = now
        self.tries += 1
        wait = min(RETRY_FIRST_WAIT * float(1 << (self.tries - 1)), RETRY_MAX_WAIT)
        if self.tries > RETRIES or now + wait - self.started > RETRY_WINDOW:
            return None
        return wait

    def another_round(self) -> bool:
        self.tries += 1
        return self.tries <= RETRIES
