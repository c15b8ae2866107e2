"""The plain-Python coordination state: the same nine methods, results and
error texts as halvex_core, written the way a Python developer would write it
(one lock, dicts, lists, tuples). It is both the hardening tests' oracle and
the benchmarks' peer.

`CoordinationState` takes the arguments as plain texts, which is all a
benchmark passes. `Model` adds argument binding and conversion by the
module's rules (with the same exception types and texts), so hardening tests
can drive the module and a `Model` with one sequence of calls, any arguments
at all, and compare every outcome.

Time: the state reads its clock through `clock`, a callable returning whole
Unix seconds (possibly negative, for a clock set before 1970). By default it is
the floored wall clock, the same source the module reads; drivers that fake the
clock pass a callable returning the faked second. A call reads the clock
at the points where the module's reading can fail, and at most one value per
call, which is exact as long as the clock does not move during a call (it is
frozen in the faked-clock tests).

A clock before 1970 is an internal fault in the module; the model raises
`Panic` at the same point, with the state changes the module keeps.
"""

import inspect
import math
import threading
import time

from halvex_types import LEASE_SECS

CLOCK_FAULT = "system clock before unix epoch"

UNPRINTABLE_KEYWORD = "<unprintable keyword>"
UNNAMED_TYPE = "<failed to extract type name>"


class Panic(BaseException):
    """The model's internal fault; compared with the module's PanicException."""


_MISSING = object()


def _utf8_text(value):
    """The stored characters of a str (or subclass) as an exact str.

    str.encode is taken from the base class so that a subclass's own methods
    are never consulted, as the module reads the characters directly; a lone
    surrogate raises the codec's UnicodeEncodeError.
    """
    return str.encode(value, "utf-8").decode("utf-8")


def _join(*parts):
    # "".join reads str subclasses by their characters; + could reach a
    # subclass's __radd__.
    return "".join(parts)


def _keyword_index(params, key):
    if not issubclass(type(key), str):
        return None
    try:
        text = _utf8_text(key)
    except UnicodeEncodeError:
        return None
    return params.index(text) if text in params else None


def _shown_keyword(key):
    try:
        shown = str(key)
    except MemoryError:
        raise
    except Exception:
        return UNPRINTABLE_KEYWORD
    if not issubclass(type(shown), str):
        return UNPRINTABLE_KEYWORD
    return shown


def _name_list(names):
    quoted = ["'%s'" % n for n in names]
    if len(quoted) == 1:
        return quoted[0]
    if len(quoted) == 2:
        return quoted[0] + " and " + quoted[1]
    return ", ".join(quoted[:-1]) + ", and " + quoted[-1]


def bind(method, args, kwargs):
    """Binds a call's arguments to `method`'s parameters; returns the bound
    objects in parameter order or raises the binding TypeError."""
    params = PARAMS[method]
    q = "CoordinationState.%s()" % method
    n, m = len(params), len(args)
    if m > n:
        raise TypeError("%s takes %d positional arguments but %d %s given"
                        % (q, n, m, "was" if m == 1 else "were"))
    slots = list(args) + [_MISSING] * (n - m)
    for key, value in kwargs.items():
        i = _keyword_index(params, key)
        if i is None:
            raise TypeError(_join(q, " got an unexpected keyword argument '",
                                  _shown_keyword(key), "'"))
        if slots[i] is not _MISSING:
            raise TypeError("%s got multiple values for argument '%s'" % (q, params[i]))
        slots[i] = value
    missing = [params[i] for i in range(n) if slots[i] is _MISSING]
    if missing:
        raise TypeError("%s missing %d required positional %s: %s"
                        % (q, len(missing), "argument" if len(missing) == 1 else "arguments",
                           _name_list(missing)))
    return slots


def _type_name(value):
    try:
        name = getattr(type(value), "__qualname__")
    except MemoryError:
        raise
    except Exception:
        return UNNAMED_TYPE
    return name if issubclass(type(name), str) else UNNAMED_TYPE


def convert(value, param):
    """One bound argument as text, or the conversion error."""
    if not issubclass(type(value), str):
        raise TypeError(_join("argument '", param, "': '", _type_name(value),
                              "' object cannot be converted to 'PyString'"))
    return _utf8_text(value)


def enter(method, args, kwargs):
    """Binding, then conversion in parameter order: the converted texts."""
    bound = bind(method, args, kwargs)
    return [convert(v, p) for v, p in zip(bound, PARAMS[method])]


def wall_clock():
    return math.floor(time.time())


class CoordinationState:
    def __init__(self, clock=None):
        self.clock = clock or wall_clock
        self._lock = threading.Lock()
        self.claims = {}    # resource key -> [holder, later timestamp]
        self.statuses = {}  # known agent -> "idle" | "busy"
        self.inboxes = {}   # agent -> [(from_agent, content, timestamp)], oldest first
        self._log = []      # activity records, append-only, never read (as in the module)

    def _now(self):
        t = self.clock()
        if t < 0:
            raise Panic(CLOCK_FAULT)
        return t

    # Claims -----------------------------------------------------------------

    def _claim(self, agent, key, name, task):
        now = self._now()  # the candidate's readings come before any lookup
        with self._lock:
            held = self.claims.get(key)
            if held is not None and max(0, now - held[1]) < LEASE_SECS:
                raise RuntimeError(_join(held[0], " already holds claim on ",
                                         "task " if task else "", name))
            # A free key or an expired claim (takeover): the caller holds it
            # now; a previous holder keeps its status.
            self.claims[key] = [agent, now]
            self.statuses[agent] = "busy"
            self._log.append(("claimed", agent, key, now))
            if held is not None:
                self._log.append(("released", held[0], key, now))
        return agent

    def claim_file(self, agent_id, path):
        return self._claim(agent_id, "file:" + path, path, False)

    def claim_task(self, agent_id, task_id):
        return self._claim(agent_id, "task:" + task_id, task_id, True)

    def release(self, agent_id, resource_key):
        with self._lock:
            held = self.claims.get(resource_key)
            if held is None:
                raise RuntimeError(_join("no claim found for ", agent_id))
            if held[0] != agent_id:
                raise RuntimeError(_join(agent_id, " cannot release a claim held by ", held[0]))
            now = self._now()  # before any change: a fault changes nothing
            del self.claims[resource_key]
            self.statuses[agent_id] = "idle"
            self._log.append(("released", agent_id, resource_key, now))
        return None

    def renew_claim(self, agent_id, resource_key):
        with self._lock:
            held = self.claims.get(resource_key)
            if held is None:
                raise RuntimeError(_join("no claim on ", resource_key, " to renew"))
            if held[0] != agent_id:
                raise RuntimeError(_join(agent_id, " cannot renew a claim held by ", held[0]))
            held[1] = self._now()  # a fault here leaves the claim as it was
            return held[0]

    # Messages ---------------------------------------------------------------

    def send_message(self, from_agent, to_agent, content):
        now = self._now()
        with self._lock:
            inbox = self.inboxes.get(to_agent)
            if inbox is None:
                inbox = self.inboxes[to_agent] = []
            inbox.append((from_agent, content, now))
            self.statuses.setdefault(to_agent, "idle")
            self._log.append(("sent", from_agent, to_agent, content, now))
        return (from_agent, to_agent, content, now)

    def broadcast(self, from_agent, content):
        now = self._now()
        message = (from_agent, content, now)  # immutable: one serves every inbox
        with self._lock:
            self.statuses.setdefault(from_agent, "idle")
            inboxes = self.inboxes
            for agent in self.statuses:
                inbox = inboxes.get(agent)
                if inbox is None:
                    inbox = inboxes[agent] = []
                inbox.append(message)
            self._log.append(("broadcast", from_agent, content, now))
        return (from_agent, "*", content, now)

    def inbox(self, agent_id):
        with self._lock:
            return [(f, agent_id, c, t) for f, c, t in self.inboxes.get(agent_id, ())]

    def drain_inbox(self, agent_id):
        with self._lock:
            out = [(f, agent_id, c, t) for f, c, t in self.inboxes.get(agent_id, ())]
            self.inboxes[agent_id] = []
            return out

    def status(self, agent_id):
        with self._lock:
            return self.statuses.get(agent_id, "idle")

    # Observation helpers for drivers ------------------------------------------

    def holder(self, key):
        held = self.claims.get(key)
        return None if held is None else held[0]


# Every method and its parameters, in binding order: the methods' own
# definitions above say them once.
SIGNATURES = {name: tuple(inspect.signature(fn).parameters)[1:]
              for name, fn in vars(CoordinationState).items()
              if inspect.isfunction(fn) and not name.startswith("_") and name != "holder"}
METHODS = tuple(SIGNATURES)
# Parameters of every callable, the constructor included.
PARAMS = {"__new__": (), **SIGNATURES}


class Model(CoordinationState):
    """CoordinationState whose constructor and methods take any arguments and
    bind and convert them as the module does."""

    def __init__(self, *args, clock=None, **kwargs):
        bind("__new__", args, kwargs)
        super().__init__(clock)


def _binding(name):
    plain = getattr(CoordinationState, name)

    def method(self, *args, **kwargs):
        return plain(self, *enter(name, args, kwargs))

    method.__name__ = method.__qualname__ = name
    return method


for _name in METHODS:
    setattr(Model, _name, _binding(_name))


# Comparing outcomes -------------------------------------------------------------

def outcome(fn, *args, **kwargs):
    """("ok", result) or ("raise", kind, detail) for one call.

    kind is the exception's class name, with the module's PanicException and
    the model's Panic both "PanicException"; detail is the exception's args,
    except that a clock fault keeps only its fixed prefix (the description
    after it is free).
    """
    try:
        return ("ok", fn(*args, **kwargs))
    except (KeyboardInterrupt, SystemExit):
        raise
    except BaseException as e:  # PanicException derives from BaseException
        return ("raise",) + describe(e)


def describe(e):
    kind = type(e).__name__
    if kind == "Panic":
        kind = "PanicException"
    args = e.args
    if kind == "PanicException" and len(args) == 1 and isinstance(args[0], str) \
            and args[0].startswith(CLOCK_FAULT):
        rest = args[0][len(CLOCK_FAULT):]
        # The module adds ": <description>"; the model stops at the prefix.
        if rest == "" or rest.startswith(": "):
            args = (CLOCK_FAULT,)
    if kind == "UnicodeEncodeError":
        args = (str(e),)
    return kind, args


def probe_holder(state, key, probe="\x00probe\x01"):
    """Who holds `key` in `state` (module or model), or None, read through a
    renewal by an agent that never claims: it fails without changing
    anything or reading the clock, and names the holder."""
    try:
        state.renew_claim(probe, key)
    except RuntimeError as e:
        (msg,) = e.args
        if msg == "no claim on %s to renew" % key:
            return None
        prefix = probe + " cannot renew a claim held by "
        if msg.startswith(prefix):
            return msg[len(prefix):]
        raise AssertionError("unexpected renewal failure: %r" % (msg,))
    raise AssertionError("the probe agent renewed %r" % (key,))


def snapshot(state, agents, keys):
    """Everything observable about `agents` and `keys` without changing state:
    statuses, pending inboxes (reading one changes nothing a result reveals)
    and claim holders."""
    return (
        tuple(state.status(a) for a in agents),
        tuple(tuple(state.inbox(a)) for a in agents),
        tuple(probe_holder(state, k) for k in keys),
    )
