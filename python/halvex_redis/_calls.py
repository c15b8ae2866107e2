"""What the blocking and the asyncio class share: arguments, keys, call ids,
confirmations, the retry rule, the exchange with the server and the decoding
of every script's reply.

Each method is a Method: its name and parameters (so its arity and argument
checks), and a plan with the fixed values it needs (key prefix, texts). A
plan is a generator that yields one or more Requests and returns the
method's result. `exchange` runs a plan: it frames each request with a call
id and the confirmations due, sends it, retries it with the same id after a
lost reply, and feeds the reply back into the plan. It does no I/O itself:
it yields actions (a command to run, a pause, dropping idle connections)
that the blocking or the asyncio runner carries out.
"""
from __future__ import annotations

import hashlib
import itertools
import math
import os
import sys
import threading
import time
import uuid
import weakref
from typing import (
    Any,
    Callable,
    Generator,
    Generic,
    List,
    Sequence,
    Set,
    Tuple,
    TypeVar,
    Union,
)
from urllib.parse import parse_qsl, urlencode, urlsplit, urlunsplit

import redis
from halvex_types import AgentInfo, Lease, Message
from redis.exceptions import NoScriptError

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
HANDOVER = 30

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


_PANIC_DOC = (
    "\n"
    "The exception raised when halvex_redis stops on an internal fault.\n"
    "\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n")

# The same kind of fault as halvex_core's: a BaseException subclass of that
# name, not exported, written to standard error when raised.
PanicException: type[BaseException] = type(
    "PanicException", (BaseException,), {"__module__": "pyo3_runtime", "__doc__": _PANIC_DOC})


def panic(message: str) -> BaseException:
    try:
        sys.stderr.write(f"halvex_redis: internal fault: {message}\n")
    except Exception:
        pass
    return PanicException(message)


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
LEASE_LUA = Script(_scripts.LEASE_READ)
LEASE_ALONE_LUA = Script(_scripts.LEASE_ALONE)
LEASES_LUA = Script(_scripts.LEASES)
LEASES_ALONE_LUA = Script(_scripts.LEASES_ALONE)
AGENTS_LUA = Script(_scripts.AGENTS)
AGENTS_ALONE_LUA = Script(_scripts.AGENTS_ALONE)
RELEASE_ALL_LUA = Script(_scripts.RELEASE_ALL)
DELETE_REST_LUA = Script(_scripts.DELETE_REST)


def text(name: str, value: object) -> Text:
    """The exact str and UTF-8 bytes of an argument, or the binding's TypeError."""
    if not isinstance(value, str):
        try:
            type_name = type(value).__qualname__
        except Exception:
            type_name = "<failed to extract type name>"
        raise TypeError(f"argument '{name}': '{type_name}' object cannot be converted to "
                        "'PyString'")
    # str.encode itself, so a subclass is taken as its characters; lone
    # surrogates raise UnicodeEncodeError here, before anything is sent.
    data = str.encode(value, "utf-8")
    return (value if type(value) is str else data.decode("utf-8")), data


# Larger limits are the same as none; Lua would print larger numbers as floats.
_LIMIT_CAP = 10 ** 12


def limit(name: str, value: object) -> int:
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{name} must be an int, not '{type(value).__name__}'")
    if value < 1:
        raise ValueError(f"{name} must be at least 1, not {value:d}")
    return min(value, _LIMIT_CAP)


def token(name: str, value: object) -> int:
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{name} must be an int, not '{type(value).__name__}'")
    return value


# The longest wait_inbox: as long as a lease.
MAX_WAIT = 300


def seconds(name: str, value: object) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise TypeError(f"{name} must be a number, not '{type(value).__name__}'")
    if not 0 <= value <= MAX_WAIT:  # NaN fails too
        raise ValueError(f"{name} must be from 0 to {MAX_WAIT:d} seconds, not {value!r}")
    return float(value)


_CHECKS: dict[str, Callable[[str, object], object]] = {
    "max_count": limit, "max_bytes": limit, "token": token, "timeout": seconds}


class Keys:
    """The keys of one namespace; all carry its {namespace} hash tag, so the
    whole namespace lives in one cluster slot."""

    __slots__ = ("namespace", "claims", "status", "log", "joined", "owed", "pending", "inbox",
                 "pending_list", "call", "tokens", "floor", "seen", "waiting", "wake")

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


class Block:
    """A wait for an entry in a wake list (BLPOP), at most `seconds`; the
    plan gets the entry, or None when none came."""

    __slots__ = ("key", "seconds")

    def __init__(self, key: bytes, seconds: float) -> None:
        self.key = key
        self.seconds = seconds


class Request:
    """A script's own keys and arguments; `alone` is the script without the
    frame, for a read that has nothing to confirm."""

    __slots__ = ("script", "keys", "args", "drain_agent", "alone")

    def __init__(self, script: Script, keys: Sequence[bytes], args: Sequence[Any],
                 drain_agent: bytes | None = None, alone: Script | None = None) -> None:
        self.script = script
        self.keys = keys
        self.args = args
        self.drain_agent = drain_agent
        self.alone = alone


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
            if agent is not None:
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


# ---- clients -----------------------------------------------------------------

def split_url(url: str, cluster: bool | None) -> tuple[str, bool, dict[str, Any]]:
    """The URL without our own `cluster` option, whether to use the cluster
    client, and the timeouts to set when the URL leaves them out."""
    parts = urlsplit(url)
    query = parse_qsl(parts.query, keep_blank_values=True)
    ours = [v for k, v in query if k == "cluster"]
    rest = [(k, v) for k, v in query if k != "cluster"]
    if ours and cluster is None:
        cluster = ours[-1].lower() in ("1", "yes", "true", "on")
    if any(k == "decode_responses" and v.lower() in ("1", "yes", "true", "on", "y")
           for k, v in rest):
        raise decoding_refused()
    given = {k for k, _ in rest}
    extra: dict[str, Any] = {}
    if "socket_timeout" not in given:
        extra["socket_timeout"] = SOCKET_TIMEOUT
    if "socket_connect_timeout" not in given:
        extra["socket_connect_timeout"] = CONNECT_TIMEOUT
    clean = url
    if ours:  # rebuilt only then: unix:// URLs do not survive a round trip
        clean = urlunsplit((parts.scheme, parts.netloc, parts.path, urlencode(rest),
                            parts.fragment))
    return clean, bool(cluster), extra


def new_client(clean: str, use_cluster: bool, extra: dict[str, Any], plain: Any,
               kind: Callable[[str], Any], retry: Any) -> Any:
    """A client for a URL as split_url gave it: the cluster client, a client
    of the primary that Sentinel names (`?sentinel=<service>`), or a plain
    one. Their own retries are off where we can say so (ours carry call ids)."""
    from redis.backoff import NoBackoff
    query = parse_qsl(urlsplit(clean).query, keep_blank_values=True)
    service = [v for k, v in query if k == "sentinel"]
    if use_cluster:
        client = kind("cluster").from_url(clean, **extra)
    elif service:
        client = _sentinel_client(clean, service[-1], extra, kind("sentinel"),
                                  retry(NoBackoff(), 0))
    else:
        client = plain.from_url(clean, retry=retry(NoBackoff(), 0), **extra)
    check_client(client)
    return client


def _sentinel_client(url: str, service: str, extra: dict[str, Any], sentinel: Any,
                     retry: Any) -> Any:
    """redis://[user:password@]host:port[,host:port...]/db?sentinel=service:
    the sentinels to ask, and the options of the primary's connections."""
    parts = urlsplit(url)
    auth, at, hosts = parts.netloc.rpartition("@")
    names = hosts.split(",")
    rest = urlencode([(k, v) for k, v in parse_qsl(parts.query, keep_blank_values=True)
                      if k != "sentinel"])
    parse: Callable[[str], dict[str, Any]] = redis.connection.parse_url
    kwargs = parse(urlunsplit(
        (parts.scheme, auth + at + names[0], parts.path, rest, "")))
    for key in ("host", "port", "connection_class"):
        kwargs.pop(key, None)
    if parts.scheme == "rediss":
        kwargs["ssl"] = True
    kwargs.update(extra)
    sentinels = [(h.rpartition(":")[0], int(h.rpartition(":")[2])) if ":" in h else (h, 26379)
                 for h in names]
    timeouts = {k: kwargs[k] for k in ("socket_timeout", "socket_connect_timeout")
                if k in kwargs}
    return sentinel(sentinels, sentinel_kwargs=timeouts).master_for(service, retry=retry,
                                                                     **kwargs)


def decoding_refused() -> ValueError:
    return ValueError("halvex_redis needs a client that returns bytes: "
                      "decode_responses must be off")


def check_client(client: Any) -> None:
    """Refuses clients whose replies would not be the bytes the decoding expects."""
    try:
        kwargs = client.get_connection_kwargs()
    except Exception:
        kwargs = {}
    if kwargs.get("decode_responses"):
        raise decoding_refused()


class CheckedClients:
    """Clients whose server's eviction policy was read, by id (a cheap test on
    every call); an entry goes when its client does."""

    def __init__(self) -> None:
        self.ids: set[int] = set()

    def add(self, client: Any) -> None:
        self.ids.add(id(client))
        weakref.finalize(client, self.ids.discard, id(client))


def eviction_fault(info: Any) -> RuntimeError | None:
    """RuntimeError when a server may evict keys that carry no expiry."""
    replies = [info] if "maxmemory_policy" in info else list(info.values())
    for reply in replies:
        if not isinstance(reply, dict):
            continue
        policy = reply.get("maxmemory_policy", "noeviction")
        if isinstance(policy, bytes):
            policy = policy.decode("ascii", "replace")
        if policy != "noeviction" and not policy.startswith("volatile-"):
            return RuntimeError(
                f"the Redis server's maxmemory-policy is {policy}: it may evict claims and unread "
                "messages; set maxmemory-policy to noeviction (or a volatile-* policy), "
                "or use a server of its own for halvex_redis")
    return None



# ---- the exchange with the server ----------------------------------------------

# What exchange asks its runner to do: run a command (and send back its
# reply), sleep, or drop the client's idle pooled connections.
CALL, SLEEP, DROP = "call", "sleep", "drop"
Action = Tuple[str, Any]
Steps = Generator[Action, Any, T]


def socket_timeout(client: Any) -> float | None:
    """The read timeout of the client's connections (None: none)."""
    for source in ("get_connection_kwargs", "connection_pool", "connection_kwargs"):
        kwargs: Any = getattr(client, source, None)
        try:
            if callable(kwargs):
                kwargs = kwargs()
            elif source == "connection_pool":
                kwargs = getattr(kwargs, "connection_kwargs", None)
        except Exception:
            continue
        if isinstance(kwargs, dict):
            value = kwargs.get("socket_timeout")
            return None if value is None else float(value)
    return SOCKET_TIMEOUT


def _block(client: Any, block: Block) -> Generator[Action, Any, Any]:
    """One BLPOP, shorter than the connection's read timeout (the plan
    blocks again while its wait lasts). A fault counts as a wake-up: the
    plan's next drain tells what came and has the retries."""
    limit = socket_timeout(client)
    wait = block.seconds if limit is None else min(block.seconds, max(0.01, limit * 0.8))
    try:
        try:
            reply = yield CALL, ("BLPOP", block.key, f"{max(0.001, wait):.3f}")
        except redis.exceptions.ResponseError:
            # Redis before 6 takes whole seconds only.
            reply = yield CALL, ("BLPOP", block.key, max(1, int(wait)))
    except RETRYABLE:
        return b"fault"
    return reply


def exchange(session: Session, client: Any, checked: CheckedClients,
             plan: Plan[T]) -> Steps[T]:
    try:
        request = next(plan)  # checks the arguments before anything is sent
    except StopIteration as stop:  # nothing to send
        nothing: T = stop.value
        return nothing
    budget = Budget()
    while True:
        if isinstance(request, Block):
            woke = yield from _block(client, request)
            try:
                request = plan.send(woke)
            except StopIteration as stop:
                after: T = stop.value
                return after
            budget = Budget()  # a wait's next drain has retries of its own
            continue
        frame = session.frame(request)
        finished = settled = False
        try:
            reply = yield from _send(frame, client, checked, budget)
            try:
                request = plan.send(reply)
            except StopIteration as stop:
                result: T = stop.value
                finished = True
            except Exception:
                if frame.request.drain_agent is None:  # a refusal the reply carried
                    frame.answered()
                    settled = True
                raise
            # Answered only once the result is made: an exception raised by
            # a signal handler until here (even inside answered) leaves a
            # drain unanswered, for the object's next drain to take over.
            frame.answered()
        except BaseException:  # cancelled or interrupted too: the call may have run
            if not settled:
                frame.failed()
            raise
        if finished:
            return result
        if not budget.another_round():
            raise redis.exceptions.TryAgainError(
                "the namespace was deleted again and again during the call")


def _send(frame: Frame, client: Any, checked: CheckedClients,
          budget: Budget) -> Generator[Action, Any, Any]:
    while True:
        try:
            if id(client) not in checked.ids:
                fault = eviction_fault((yield CALL, ("INFO", "memory")))
                if fault is not None:
                    raise fault
                checked.add(client)
            try:
                reply = yield CALL, frame.command(False)
            except NoScriptError:
                # A restarted or flushed server forgets its scripts.
                reply = yield CALL, frame.command(True)
            if type(reply) is not list or not reply or reply[0] != frame.call_id:
                # The connection is out of step: our own reply still waits
                # on it. Drop it; the same id is answered from its record.
                yield DROP, None
                raise OutOfStep("a reply of another call arrived; the connection is dropped")
        except RETRYABLE:
            wait = budget.wait()
            if wait is None:
                raise
            yield SLEEP, wait
            continue
        return reply


# ---- plans -------------------------------------------------------------------

Plan = Generator[Union[Request, Block], Any, T]


def log_entry(entry_id: bytes, fields: dict[bytes, bytes]) -> dict[str, Any]:
    """One activity-log entry as text fields, its stream id under "id" and its
    "at" second as an int (what the `halvex` command and the board show)."""
    out: dict[str, Any] = {"id": entry_id.decode("ascii")}
    for name, value in fields.items():
        key, text = name.decode("utf-8", "replace"), value.decode("utf-8", "replace")
        out[key] = int(text) if key == "at" and text.lstrip("-").isdigit() else text
    return out


def messages(owner: str, raw: list[bytes]) -> list[Message]:
    out = []
    for item in raw:
        stamp, length, rest = item.split(b",", 2)
        n = int(length)
        out.append((rest[:n].decode("utf-8"), owner, rest[n:].decode("utf-8"), int(stamp)))
    return out


def claim(session: Session, prefix: bytes, conflict: str, agent: Text,
          name: Text) -> Plan[str]:
    keys = session.keys
    reply = yield Request(CLAIM_LUA, (keys.claims, keys.status, keys.log, keys.joined,
                                      keys.tokens, keys.floor, keys.seen),
                          (agent[1], prefix + name[1], session.log_limit))
    clock_fault(reply)
    if reply[1] == HELD:
        raise RuntimeError(conflict % (reply[2].decode("utf-8"), name[0]))
    return agent[0]


def _holder_only(reply: Sequence[Any], agent: str, verb: str, missing: str) -> None:
    clock_fault(reply)
    if reply[1] == NO_CLAIM:
        raise RuntimeError(missing)
    if reply[1] == HELD:
        raise RuntimeError(f"{agent} cannot {verb} a claim held by {reply[2].decode('utf-8')}")


def renew(session: Session, agent: Text, key: Text) -> Plan[str]:
    keys = session.keys
    reply = yield Request(RENEW_LUA, (keys.claims, keys.seen), (agent[1], key[1]))
    _holder_only(reply, agent[0], "renew", f"no claim on {key[0]} to renew")
    return agent[0]


def release(session: Session, agent: Text, key: Text) -> Plan[None]:
    keys = session.keys
    reply = yield Request(RELEASE_LUA, (keys.claims, keys.status, keys.log, keys.seen),
                          (agent[1], key[1], session.log_limit))
    _holder_only(reply, agent[0], "release", f"no claim found for {agent[0]}")


def send(session: Session, sender: Text, to: Text, content: Text) -> Plan[Message]:
    keys = session.keys
    reply = yield Request(SEND_LUA, (keys.status, keys.log, keys.inbox + to[1], keys.joined,
                                 keys.owed, keys.seen, keys.waiting, keys.wake + to[1]),
                          (sender[1], to[1], content[1], session.log_limit))
    clock_fault(reply)
    return (sender[0], to[0], content[0], int(reply[2]))


def broadcast(session: Session, sender: Text, content: Text) -> Plan[Message]:
    keys = session.keys
    while True:
        seen = session.agents
        base, known, inboxes, names = seen
        own = sender[1] not in names
        targets = inboxes + [keys.inbox + sender[1]] if own else inboxes
        cut = len(keys.inbox)
        request_keys = [keys.status, keys.log, keys.joined, keys.owed, keys.seen, keys.waiting,
                        *targets, *[keys.wake + t[cut:] for t in targets]]
        reply = yield Request(BROADCAST_LUA, request_keys,
                              (sender[1], content[1], session.log_limit, base, known,
                               b"1" if own else b"0", keys.inbox))
        if reply[1] == STALE:  # a list of a deleted namespace: nothing was sent
            session.all_agents(reply[2], reply[3])
            continue
        clock_fault(reply)
        if len(reply) > 4:  # not a repeated call's stored reply
            session.saw_agents(seen, reply[3], reply[4])
        return (sender[0], "*", content[0], int(reply[2]))


def inbox(session: Session, agent: Text) -> Plan[list[Message]]:
    keys = session.keys
    reply = yield Request(INBOX_LUA, (keys.inbox + agent[1], keys.pending_list + agent[1],
                                      keys.owed, keys.seen), (agent[1],), alone=INBOX_ALONE_LUA)
    return messages(agent[0], reply[3])


def inbox_batch(session: Session, agent: Text, count: int,
                size: int) -> Plan[tuple[list[Message], int]]:
    keys = session.keys
    reply = yield Request(INBOX_BATCH_LUA, (keys.inbox + agent[1], keys.pending_list + agent[1],
                                            keys.owed, keys.seen), (count, size, agent[1]),
                          alone=INBOX_BATCH_ALONE_LUA)
    return messages(agent[0], reply[3]), int(reply[2])


def drain(session: Session, agent: Text) -> Plan[list[Message]]:
    keys = session.keys
    reply = yield Request(DRAIN_LUA, (keys.inbox + agent[1], keys.pending_list + agent[1],
                                      keys.pending, keys.owed, keys.seen), (agent[1], 0, 0, 0),
                          drain_agent=agent[1])
    return messages(agent[0], reply[3])


def drain_batch(session: Session, agent: Text, count: int,
                size: int) -> Plan[tuple[list[Message], int]]:
    keys = session.keys
    reply = yield Request(DRAIN_BATCH_LUA, (keys.inbox + agent[1], keys.pending_list + agent[1],
                                            keys.pending, keys.owed, keys.seen),
                          (agent[1], count, size, 0),
                          drain_agent=agent[1])
    return messages(agent[0], reply[3]), int(reply[2])


def status(session: Session, agent: Text) -> Plan[str]:
    reply = yield Request(STATUS_LUA, (session.keys.status,), (agent[1],), alone=STATUS_ALONE_LUA)
    return WORDS[reply[2] if len(reply) > 2 else None]


def confirm(session: Session) -> Plan[None]:
    if session.owes():
        yield Request(CONFIRM_LUA, (), ())


def delete(session: Session) -> Plan[int]:
    """Deletes every key of the namespace: those of the agents the session
    knows at once, with all the rest but the keys of agents that became
    known since; those in a second call."""
    keys = session.keys
    base, known, _inboxes, names = session.agents

    def of(agents: Sequence[bytes]) -> list[bytes]:
        return [k for a in agents for k in (keys.inbox + a, keys.pending_list + a, keys.wake + a)]

    reply = yield Request(DELETE_LUA, (keys.floor, keys.claims, keys.status, keys.log,
                                   keys.joined, keys.pending, keys.owed, keys.tokens, keys.seen,
                                   keys.waiting, *of(list(names))), (base, known))
    removed = int(reply[2])
    if len(reply) > 3 and reply[3]:
        reply = yield Request(DELETE_REST_LUA, of(reply[3]), ())
        removed += int(reply[2])
    session.agents = NO_AGENTS
    return removed


def wait(session: Session, agent: Text, timeout: float) -> Plan[list[Message]]:
    """Drains; when nothing came, blocks on the agent's wake list until an
    entry comes or the time is up, then drains again (a wake-up that finds
    nothing waits on for the rest of the time)."""
    keys = session.keys
    drain_keys = (keys.inbox + agent[1], keys.pending_list + agent[1], keys.pending, keys.owed,
                  keys.seen)
    wake = keys.wake + agent[1]
    deadline = time.monotonic() + timeout
    left = timeout
    while True:
        # Registered a little longer than the wait lasts on this side, so a
        # message in its last moments still wakes it; 0: a plain drain.
        register = math.ceil(left) + 1 if left > 0 else 0
        if register:
            request = Request(WAIT_LUA, (*drain_keys, keys.waiting, wake),
                              (agent[1], 0, 0, register), drain_agent=agent[1])
        else:
            request = Request(DRAIN_LUA, drain_keys, (agent[1], 0, 0, 0), drain_agent=agent[1])
        reply = yield request
        if reply[3] or not register:
            return messages(agent[0], reply[3])
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                left = 0
                break
            if (yield Block(wake, left)) is not None:
                left = max(deadline - time.monotonic(), 0)
                break


def _lease(key: bytes, stored: bytes, entry: bytes | None, now: int) -> Lease:
    renewed_text, _, holder = stored.partition(b":")
    renewed = int(renewed_text)
    token, granted = (int(v) for v in entry.split(b" ")) if entry else (0, renewed)
    # Live by the claims' rule: elapsed time saturates at zero (clock set back).
    return Lease(key.decode("utf-8"), holder.decode("utf-8"), token, granted, renewed,
                 renewed + _scripts.LEASE, max(now - renewed, 0) < _scripts.LEASE)


def _read_lease(session: Session,
                key: Text) -> Generator[Request, Any, tuple[Lease | None, int]]:
    """The lease under a key, and the server's clock when it was read."""
    keys = session.keys
    reply = yield Request(LEASE_LUA, (keys.claims, keys.tokens), (key[1],),
                          alone=LEASE_ALONE_LUA)
    clock_fault(reply)
    now = int(reply[2])
    if reply[3] is None:
        return None, now
    return _lease(key[1], reply[3], reply[4], now), now


def lease(session: Session, key: Text) -> Plan[Lease | None]:
    found, _now = yield from _read_lease(session, key)
    return found


def leases(session: Session, prefix: Text) -> Plan[list[Lease]]:
    keys = session.keys
    reply = yield Request(LEASES_LUA, (keys.claims, keys.tokens), (prefix[1],),
                          alone=LEASES_ALONE_LUA)
    clock_fault(reply)
    now, flat = int(reply[2]), reply[3]
    found = [_lease(flat[i], flat[i + 1], flat[i + 2], now) for i in range(0, len(flat), 3)]
    return sorted(found, key=lambda item: item.resource_key)


def check_lease(session: Session, agent: Text, key: Text, token: int) -> Plan[int]:
    held, now = yield from _read_lease(session, key)
    if held is None:
        raise RuntimeError(f"no claim on {key[0]}")
    if held.holder != agent[0] or held.token != token:
        raise RuntimeError(f"token {token:d} on {key[0]} is stale: {held.holder} holds token "
                           f"{held.token:d}")
    elapsed = max(now - held.renewed_at, 0)
    if not held.live:
        raise RuntimeError(f"lease on {key[0]} expired {elapsed - _scripts.LEASE:d} s ago")
    return _scripts.LEASE - elapsed


def agents(session: Session) -> Plan[list[AgentInfo]]:
    keys = session.keys
    while True:
        base, known, inboxes, _names = session.agents
        cut = len(keys.inbox)
        lists = [k for inbox in inboxes for k in (inbox, keys.pending_list + inbox[cut:])]
        reply = yield Request(AGENTS_LUA, (keys.status, keys.joined, keys.claims, keys.seen,
                                           keys.owed, *lists), (base, known),
                              alone=AGENTS_ALONE_LUA)
        if reply[1] == STALE:  # agents joined, or another life of the namespace
            session.all_agents(reply[2], reply[3])
            continue
        clock_fault(reply)
        found = [AgentInfo(name.decode("utf-8"), WORDS[word], int(waiting), int(pending),
                           int(held), None if seen is None else int(seen))
                 for name, word, waiting, pending, held, seen in reply[2]]
        return sorted(found, key=lambda info: info.agent_id)


def release_all(session: Session, agent: Text) -> Plan[list[str]]:
    keys = session.keys
    reply = yield Request(RELEASE_ALL_LUA, (keys.claims, keys.status, keys.log, keys.seen),
                          (agent[1], session.log_limit))
    clock_fault(reply)
    packed, found, pos = reply[2], [], 0
    while pos < len(packed):
        colon = packed.index(b":", pos)
        end = colon + 1 + int(packed[pos:colon])
        found.append(packed[colon + 1:end].decode("utf-8"))
        pos = end
    return sorted(found)


class Method(Generic[T]):
    """One method of both classes: its name and parameters, and its plan with
    the fixed values it takes first (key prefix, texts)."""

    __slots__ = ("name", "params", "plan", "fixed", "doc")

    def __init__(self, name: str, params: tuple[str, ...], plan: Callable[..., Plan[T]],
                 doc: str, *fixed: object) -> None:
        self.name, self.params, self.plan, self.doc, self.fixed = name, params, plan, doc, fixed

    def start(self, session: Session, surplus: tuple[object, ...],
              args: tuple[object, ...]) -> Plan[T]:
        """The plan for one call, its arguments checked in order (before
        anything is sent)."""
        if surplus:
            given = len(self.params) + len(surplus)
            raise TypeError(f"CoordinationState.{self.name}() takes {len(self.params)} positional "
                            f"arguments but {given} were given")
        values = [_CHECKS.get(p, text)(p, v) for p, v in zip(self.params, args)]
        return self.plan(session, *self.fixed, *values)


CLAIM_FILE = Method(
    "claim_file", ("agent_id", "path"), claim,
    """Claims a file for `agent_id` for 300 seconds. Raises `RuntimeError` if
    another agent holds it. Returns the claiming agent's id.""",
    b"file:", "%s already holds claim on %s")
CLAIM_TASK = Method(
    "claim_task", ("agent_id", "task_id"), claim,
    """Claims a task for `agent_id`; as `claim_file`.""",
    b"task:", "%s already holds claim on task %s")
RENEW_CLAIM = Method(
    "renew_claim", ("agent_id", "resource_key"), renew,
    """Renews a claim keyed by e.g. `"file:src/lib.rs"` or `"task:phase-7"`,
    restarting its 300-second lease. Only the holder may renew.""")
RELEASE = Method(
    "release", ("agent_id", "resource_key"), release,
    """Releases a claim keyed by e.g. `"file:src/lib.rs"` or `"task:phase-7"`.
    Only the holder may release it.""")
SEND_MESSAGE = Method(
    "send_message", ("from_agent", "to_agent", "content"), send,
    """Puts a message into `to_agent`'s inbox; returns (from, to, content, timestamp).""")
BROADCAST = Method(
    "broadcast", ("from_agent", "content"), broadcast,
    """Sends to every known agent, the sender included; returns
    (from, "*", content, timestamp).""")
INBOX = Method(
    "inbox", ("agent_id",), inbox,
    """Pending messages for `agent_id`, oldest first; the inbox is kept.""")
DRAIN_INBOX = Method(
    "drain_inbox", ("agent_id",), drain,
    """Pending messages for `agent_id`, oldest first; the inbox is emptied.""")
STATUS = Method(
    "status", ("agent_id",), status,
    """One of `"idle"`, `"busy"`, `"completed"`, `"error"`.""")
INBOX_BATCH = Method(
    "inbox_batch", ("agent_id", "max_count", "max_bytes"), inbox_batch,
    """The oldest messages for `agent_id`, as `inbox` lists them, but at most
    `max_count` and `max_bytes` bytes of UTF-8 content (at least one when any
    waits); and how many more wait. The inbox is kept.""")
DRAIN_BATCH = Method(
    "drain_batch", ("agent_id", "max_count", "max_bytes"), drain_batch,
    """As `inbox_batch`, but the messages returned leave the inbox, with
    `drain_inbox`'s guarantees; the rest stays for later calls.""")
CONFIRM = Method(
    "confirm", (), confirm,
    """Confirms now, in one round trip, the drained batches that this object
    received (nothing is sent when there are none), so none is delivered
    again. For a process or session that ends normally.""")

LEASE = Method(
    "lease", ("resource_key",), lease,
    """The claim stored under a key such as `"file:src/lib.rs"`, as a `Lease`
    (holder, fencing token, granted, renewed and expiry server seconds,
    live), expired or not; `None` when none is stored.""")
LEASES = Method(
    "leases", ("prefix",), leases,
    """Every stored claim whose key starts with `prefix`, expired ones
    included, as `Lease`s sorted by key.""")
CHECK_LEASE = Method(
    "check_lease", ("agent_id", "resource_key", "token"), check_lease,
    """The whole seconds left on the claim when `agent_id` holds it live with
    fencing token `token`; otherwise `RuntimeError` saying why (no claim, a
    stale token, an expired lease). Changes nothing: call it right before
    each write that the claim guards.""")
AGENTS = Method(
    "agents", (), agents,
    """Every known agent, sorted by id, as an `AgentInfo`: status word,
    messages waiting, drained messages not yet confirmed, live claims held
    and the server second of its last call as the acting agent (or None).""")
RELEASE_ALL = Method(
    "release_all", ("agent_id",), release_all,
    """Releases every claim `agent_id` holds, expired ones included, each as
    `release` would; returns their keys, sorted.""")
WAIT_INBOX = Method(
    "wait_inbox", ("agent_id", "timeout"), wait,
    """As `drain_inbox`, but when the inbox is empty waits up to `timeout`
    seconds (0 to 300) for a message, without polling, and drains then;
    `[]` when none came. The blocking class holds one connection per
    waiting call.""")

METHODS: list[Method[Any]] = [
    CLAIM_FILE, CLAIM_TASK, RENEW_CLAIM, RELEASE, SEND_MESSAGE, BROADCAST, INBOX, DRAIN_INBOX,
    STATUS, INBOX_BATCH, DRAIN_BATCH, CONFIRM, LEASE, LEASES, CHECK_LEASE, AGENTS, RELEASE_ALL,
    WAIT_INBOX]


def document(cls: type) -> None:
    """Gives each method of a class the docstring of its Method."""
    for method in METHODS:
        getattr(cls, method.name).__doc__ = method.doc


def fresh_namespace() -> str:
    return uuid.uuid4().hex


def log_limit(value: object) -> int:
    if type(value) is not int or value < 1:
        raise ValueError(f"log_limit must be a positive int, not {value!r}")
    return value


def object_session(namespace: str | None, limit: object) -> Session:
    """What both classes' constructors check and derive: the namespace's keys
    (a fresh namespace when none is given) and the log limit, in a session."""
    return Session(Keys(fresh_namespace() if namespace is None else namespace), log_limit(limit))
