"""What the blocking and the asyncio class share: arguments, keys, call ids,
confirmations, the retry rule and the decoding of every script's reply.

Each method is a plan: a generator that checks its arguments (raising before
anything is sent), yields one or more Requests and returns the method's
result. A driver (blocking or asyncio) runs the plan: it frames each request
with a call id and the confirmations due, sends it, retries it with the same
id after a lost reply, and feeds the reply back into the plan.
"""

import hashlib
import itertools
import sys
import threading
import time
import uuid
import weakref
from typing import Any, Dict, Generator, List, Optional, Sequence, Set, Tuple, Type, TypeVar
from urllib.parse import parse_qsl, urlencode, urlsplit, urlunsplit

import redis

from . import _scripts

DEFAULT_URL = "redis://127.0.0.1:6379/0"

# The activity log keeps about this many records (XADD MAXLEN ~).
DEFAULT_LOG_LIMIT = 1_000_000

# Set on clients built from a URL that does not say otherwise.
SOCKET_TIMEOUT = 5.0
CONNECT_TIMEOUT = 2.0

# A call whose reply is lost is sent again, with the same id, at most
# RETRIES times and never once RETRY_WINDOW seconds have passed since the
# first try; the waits between tries double from RETRY_FIRST_WAIT up to
# RETRY_MAX_WAIT (about 2.5 s of waiting in all).
RETRIES = 8
RETRY_WINDOW = 20.0
RETRY_FIRST_WAIT = 0.01
RETRY_MAX_WAIT = 1.0

# A drained batch left unconfirmed this long (its drainer stopped calling) is
# returned by the next drain of that agent from any object.
HANDOVER = 30

Message = Tuple[str, str, str, int]

WORDS = {b"0": "idle", b"1": "busy", b"2": "completed", b"3": "error", None: "idle"}

# Faults of the connection after which the call may or may not have run.
# On a cluster also: a slot moving (TRYAGAIN, or the client's own redirections
# running out) or a node failing over.
RETRYABLE = (redis.exceptions.ConnectionError, redis.exceptions.TimeoutError,
             redis.exceptions.TryAgainError, redis.exceptions.ClusterError,
             redis.exceptions.SlotNotCoveredError)

_PANIC_DOC = (
    "\n"
    "The exception raised when halvex_redis stops on an internal fault.\n"
    "\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n")

# The same kind of fault as halvex_core's: a BaseException subclass of that
# name, not exported, written to standard error when raised.
PanicException: Type[BaseException] = type(
    "PanicException", (BaseException,), {"__module__": "pyo3_runtime", "__doc__": _PANIC_DOC})


def panic(message: str) -> BaseException:
    try:
        sys.stderr.write("halvex_redis: internal fault: %s\n" % message)
    except Exception:
        pass
    return PanicException(message)


def clock_fault(reply: Sequence[Any]) -> None:
    if reply[0] == -1:
        raise panic("system clock before unix epoch: the Redis server's TIME reads %s s"
                    % reply[1].decode("ascii", "replace"))


class Script(object):
    __slots__ = ("source", "sha")

    def __init__(self, source: str) -> None:
        self.source = source.encode("utf-8")
        self.sha = hashlib.sha1(self.source).hexdigest()


CLAIM = Script(_scripts.CLAIM)
RENEW = Script(_scripts.RENEW)
RELEASE = Script(_scripts.RELEASE)
SEND = Script(_scripts.SEND)
BROADCAST = Script(_scripts.BROADCAST)
INBOX = Script(_scripts.INBOX)
DRAIN = Script(_scripts.DRAIN)
STATUS = Script(_scripts.STATUS)
INBOX_ONLY = Script(_scripts.INBOX_ONLY)
STATUS_ONLY = Script(_scripts.STATUS_ONLY)
DELETE = Script(_scripts.DELETE)
CONFIRM = Script(_scripts.CONFIRM)


def text(name: str, value: object) -> Tuple[str, bytes]:
    """The exact str and UTF-8 bytes of an argument, or the binding's TypeError."""
    if not isinstance(value, str):
        try:
            type_name = type(value).__qualname__
        except Exception:
            type_name = "<failed to extract type name>"
        raise TypeError("argument '%s': '%s' object cannot be converted to 'PyString'"
                        % (name, type_name))
    # str.encode itself, so a subclass is taken as its characters; lone
    # surrogates raise UnicodeEncodeError here, before anything is sent.
    data = str.encode(value, "utf-8")
    return (value if type(value) is str else data.decode("utf-8")), data


def surplus(method: str, takes: int, extra: Tuple[object, ...]) -> TypeError:
    return TypeError("CoordinationState.%s() takes %d positional arguments but %d were given"
                     % (method, takes, takes + len(extra)))


class Keys(object):
    """The keys of one namespace; all carry its {namespace} hash tag, so the
    whole namespace lives in one cluster slot."""

    __slots__ = ("namespace", "claims", "status", "log", "agents", "pending", "inbox",
                 "pending_list", "call")

    def __init__(self, namespace: object) -> None:
        if not isinstance(namespace, str):
            raise TypeError("namespace must be a str, not '%s'" % type(namespace).__name__)
        if not namespace:
            raise ValueError("namespace must not be empty: '{}' is no hash tag")
        if "{" in namespace or "}" in namespace:
            # A brace would end the hash tag early (or make it empty), so keys
            # of one namespace could land in several slots or alias another's.
            raise ValueError("namespace must not contain '{' or '}': %r" % namespace)
        self.namespace = namespace
        base = b"halvex:{" + namespace.encode("utf-8") + b"}:"
        self.claims = base + b"claims"
        self.status = base + b"status"
        self.log = base + b"log"
        self.agents = base + b"agents"
        self.pending = base + b"pending"
        self.inbox = base + b"inbox:"
        self.pending_list = base + b"pending:"
        self.call = base + b"call:"


class Request(object):
    """A script's own keys and arguments; `alone` is the script without the
    frame, for a read that has nothing to confirm."""

    __slots__ = ("script", "keys", "args", "drain_agent", "alone")

    def __init__(self, script: Script, keys: Sequence[bytes], args: Sequence[Any],
                 drain_agent: Optional[bytes] = None, alone: Optional[Script] = None) -> None:
        self.script = script
        self.keys = keys
        self.args = args
        self.drain_agent = drain_agent
        self.alone = alone


class Session(object):
    """One object's call ids, lanes and the confirmations its next call carries.

    A lane is a record slot on the server that carries one call at a time;
    concurrent calls of the object (threads, tasks) take different lanes.
    `drains` are drains whose batches arrived, confirmed by the next call;
    `unanswered` keeps, per agent, the ids of this object's drains whose
    replies never came, so its next drain of that agent takes them over.
    """

    def __init__(self, keys: Keys) -> None:
        self.keys = keys
        self.prefix = uuid.uuid4().hex[:16].encode("ascii") + b"."
        self.counter = itertools.count()
        self.lock = threading.Lock()
        self.lanes: List[bytes] = []
        self.lane_count = 0
        self.drains: List[Tuple[bytes, bytes]] = []   # (agent, call id)
        self.unanswered: Dict[bytes, Set[bytes]] = {}
        # The known agents as last seen: version, inboxes, names.
        self.agents: Tuple[bytes, List[bytes], Set[bytes]] = (b"", [], set())

    def frame(self, request: Request) -> "Frame":
        if request.alone is not None and not self.drains:
            return Frame(self, request, b"", None, [])
        call_id = self.prefix + str(next(self.counter)).encode("ascii")
        with self.lock:
            if self.lanes:
                lane = self.lanes.pop()
            else:
                self.lane_count += 1
                lane = self.keys.call + self.prefix + str(self.lane_count).encode("ascii")
            drains, self.drains = self.drains, []
        return Frame(self, request, call_id, lane, drains)

    def known(self, version: bytes, agents: List[bytes]) -> None:
        inbox = self.keys.inbox
        self.agents = (version, [inbox + a for a in agents], set(agents))


class Frame(object):
    """One request with its call id, its lane and the confirmations it carries."""

    __slots__ = ("session", "request", "script", "call_id", "lane", "drains", "keys", "args",
                 "tries", "started")

    def __init__(self, session: Session, request: Request, call_id: bytes,
                 lane: Optional[bytes], drains: List[Tuple[bytes, bytes]]) -> None:
        self.session = session
        self.request = request
        self.script = request.script
        self.call_id = call_id
        self.lane = lane
        self.drains = drains
        if lane is None:
            self.script = request.alone  # type: ignore[assignment]
            self.keys = request.keys
            self.args = request.args
        elif drains:
            keys = session.keys
            self.keys = [lane, keys.pending, *[keys.pending_list + a for a, _ in drains],
                         *request.keys]
            self.args = [b"%d:%s" % (len(drains), call_id), *[i for _, i in drains],
                         *[a for a, _ in drains], *request.args]
        else:
            self.keys = [lane, *request.keys]
            self.args = [call_id, *request.args]
        if request.drain_agent is not None:
            self.args = [*self.args, HANDOVER, *session.unanswered.get(request.drain_agent, ())]
        self.tries = 0
        self.started = 0.0

    def wait_before_retry(self) -> Optional[float]:
        """Seconds to wait before sending again, or None when the retries are spent."""
        now = time.monotonic()
        if not self.tries:
            # The first try began at most a socket timeout ago; counting from
            # its failure keeps the frame free of a clock read per call.
            self.started = now
        self.tries += 1
        wait = min(RETRY_FIRST_WAIT * float(1 << (self.tries - 1)), RETRY_MAX_WAIT)
        if self.tries > RETRIES or now + wait - self.started > RETRY_WINDOW:
            return None
        return wait

    def answered(self) -> None:
        if self.lane is None:
            return
        session = self.session
        agent = self.request.drain_agent
        with session.lock:
            session.lanes.append(self.lane)
            if agent is not None:
                session.drains.append((agent, self.call_id))
                # Taken over by this drain, which the next call confirms.
                session.unanswered.pop(agent, None)

    def failed(self) -> None:
        """The retries are spent: the call may have run. Its confirmations go
        with the next call again; an unanswered drain is taken over by the
        object's next drain of that agent."""
        if self.lane is None:
            return
        session = self.session
        agent = self.request.drain_agent
        with session.lock:
            session.lanes.append(self.lane)
            session.drains.extend(self.drains)
            if agent is not None:
                session.unanswered.setdefault(agent, set()).add(self.call_id)


# ---- clients -----------------------------------------------------------------

def split_url(url: str, cluster: Optional[bool]) -> Tuple[str, bool, Dict[str, Any]]:
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
    extra: Dict[str, Any] = {}
    if "socket_timeout" not in given:
        extra["socket_timeout"] = SOCKET_TIMEOUT
    if "socket_connect_timeout" not in given:
        extra["socket_connect_timeout"] = CONNECT_TIMEOUT
    clean = url
    if ours:  # rebuilt only then: unix:// URLs do not survive a round trip
        clean = urlunsplit((parts.scheme, parts.netloc, parts.path, urlencode(rest),
                            parts.fragment))
    return clean, bool(cluster), extra


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


class CheckedClients(object):
    """Clients whose server's eviction policy was read, by id (a cheap test on
    every call); an entry goes when its client does."""

    def __init__(self) -> None:
        self.ids: Set[int] = set()

    def add(self, client: Any) -> None:
        self.ids.add(id(client))
        weakref.finalize(client, self.ids.discard, id(client))


def eviction_fault(info: Any) -> Optional[RuntimeError]:
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
                "the Redis server's maxmemory-policy is %s: it may evict claims and unread "
                "messages; set maxmemory-policy to noeviction (or a volatile-* policy), "
                "or use a server of its own for halvex_redis" % policy)
    return None


# ---- plans -------------------------------------------------------------------

T = TypeVar("T")
Plan = Generator[Request, Any, T]


def messages(owner: str, raw: List[bytes]) -> List[Message]:
    out = []
    for item in raw:
        stamp, length, rest = item.split(b",", 2)
        n = int(length)
        out.append((rest[:n].decode("utf-8"), owner, rest[n:].decode("utf-8"), int(stamp)))
    return out


def claim(keys: Keys, log_limit: int, agent_id: object, name: object, param: str,
          prefix: bytes, conflict: str) -> "Plan[str]":
    agent, agent_b = text("agent_id", agent_id)
    name_s, name_b = text(param, name)
    reply = yield Request(CLAIM, (keys.claims, keys.status, keys.log, keys.agents),
                          (agent_b, prefix + name_b, log_limit))
    clock_fault(reply)
    if reply[0] == 0:
        raise RuntimeError(conflict % (reply[1].decode("utf-8"), name_s))
    return agent


def holder_only(keys: Keys, log_limit: int, release: bool, agent_id: object,
                resource_key: object) -> "Plan[str]":
    agent, agent_b = text("agent_id", agent_id)
    key, key_b = text("resource_key", resource_key)
    if release:
        request = Request(RELEASE, (keys.claims, keys.status, keys.log),
                          (agent_b, key_b, log_limit))
    else:
        request = Request(RENEW, (keys.claims,), (agent_b, key_b))
    reply = yield request
    clock_fault(reply)
    if reply[0] == 0:
        raise RuntimeError("no claim found for %s" % agent if release
                           else "no claim on %s to renew" % key)
    if reply[0] == 1:
        raise RuntimeError("%s cannot %s a claim held by %s"
                           % (agent, "release" if release else "renew",
                              reply[1].decode("utf-8")))
    return agent


def send(keys: Keys, log_limit: int, from_agent: object, to_agent: object,
         content: object) -> "Plan[Message]":
    sender, sender_b = text("from_agent", from_agent)
    to, to_b = text("to_agent", to_agent)
    body, body_b = text("content", content)
    reply = yield Request(SEND, (keys.status, keys.log, keys.inbox + to_b, keys.agents),
                          (sender_b, to_b, body_b, log_limit))
    clock_fault(reply)
    return (sender, to, body, int(reply[1]))


def broadcast(session: Session, log_limit: int, from_agent: object,
              content: object) -> "Plan[Message]":
    sender, sender_b = text("from_agent", from_agent)
    body, body_b = text("content", content)
    keys = session.keys
    while True:
        version, inboxes, names = session.agents
        own = sender_b not in names
        request_keys = [keys.status, keys.log, keys.agents, *inboxes]
        if own:
            request_keys.append(keys.inbox + sender_b)
        reply = yield Request(BROADCAST, request_keys,
                              (sender_b, body_b, log_limit, version, b"1" if own else b"0"))
        if reply[0] == 0:
            session.known(reply[1], reply[2])
            continue
        clock_fault(reply)
        return (sender, "*", body, int(reply[1]))


# Larger limits are the same as none; Lua would print larger numbers as floats.
_LIMIT_CAP = 10 ** 12


def limit(name: str, value: object) -> int:
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError("%s must be an int, not '%s'" % (name, type(value).__name__))
    if value < 1:
        raise ValueError("%s must be at least 1, not %d" % (name, value))
    return min(value, _LIMIT_CAP)


def inbox(keys: Keys, agent_id: object) -> "Plan[List[Message]]":
    agent, agent_b = text("agent_id", agent_id)
    reply = yield Request(INBOX, (keys.inbox + agent_b, keys.pending_list + agent_b), (0, 0),
                          alone=INBOX_ONLY)
    return messages(agent, reply[1])


def inbox_batch(keys: Keys, agent_id: object, max_count: object,
                max_bytes: object) -> "Plan[Tuple[List[Message], int]]":
    agent, agent_b = text("agent_id", agent_id)
    count, size = limit("max_count", max_count), limit("max_bytes", max_bytes)
    reply = yield Request(INBOX, (keys.inbox + agent_b, keys.pending_list + agent_b),
                          (count, size), alone=INBOX_ONLY)
    return messages(agent, reply[1]), int(reply[0])


def drain(keys: Keys, agent_id: object) -> "Plan[List[Message]]":
    agent, agent_b = text("agent_id", agent_id)
    reply = yield Request(DRAIN, (keys.inbox + agent_b, keys.pending_list + agent_b,
                                  keys.pending), (agent_b, 0, 0), drain_agent=agent_b)
    return messages(agent, reply[1])


def drain_batch(keys: Keys, agent_id: object, max_count: object,
                max_bytes: object) -> "Plan[Tuple[List[Message], int]]":
    agent, agent_b = text("agent_id", agent_id)
    count, size = limit("max_count", max_count), limit("max_bytes", max_bytes)
    reply = yield Request(DRAIN, (keys.inbox + agent_b, keys.pending_list + agent_b,
                                  keys.pending), (agent_b, count, size), drain_agent=agent_b)
    return messages(agent, reply[1]), int(reply[0])


def confirm(session: Session) -> "Plan[None]":
    if session.drains:
        yield Request(CONFIRM, (), ())


def status(keys: Keys, agent_id: object) -> "Plan[str]":
    _agent, agent_b = text("agent_id", agent_id)
    reply = yield Request(STATUS, (keys.status,), (agent_b,), alone=STATUS_ONLY)
    return WORDS[reply]


def delete(session: Session) -> "Plan[int]":
    keys = session.keys
    while True:
        version, _inboxes, names = session.agents
        per_agent = []
        for agent in names:
            per_agent += [keys.inbox + agent, keys.pending_list + agent]
        reply = yield Request(DELETE, (keys.claims, keys.status, keys.log, keys.agents,
                                       keys.pending, *per_agent), (version,))
        if reply[0] == 0:
            session.known(reply[1], reply[2])
            continue
        return int(reply[1])



def fresh_namespace() -> str:
    return uuid.uuid4().hex


def log_limit(value: object) -> int:
    if type(value) is not int or value < 1:
        raise ValueError("log_limit must be a positive int, not %r" % (value,))
    return value


def object_keys(namespace: Optional[str], limit: object) -> Tuple["Keys", int]:
    """What both classes' constructors check and derive: the namespace's keys
    (a fresh namespace when none is given) and the log limit."""
    return Keys(fresh_namespace() if namespace is None else namespace), log_limit(limit)
