"""Arbitrary argument lists for every method and the constructor.

Each example calls the module and the model's reference binder with the same
positional and keyword arguments (any count, real parameter names and others,
str, str subclasses, lone surrogates, non-str values) and compares the exact
exception type and text, or the result. A call refused at binding or
conversion must leave the observable state exactly as it was.

HALVEX_FUZZ_EXAMPLES sets the number of examples per test.
"""

import math
import os
import time

import pytest
from hypothesis import HealthCheck, event, given, settings
from hypothesis import strategies as st

import halvex_core

from reference import model as M

EXAMPLES = int(os.environ.get("HALVEX_FUZZ_EXAMPLES", "250"))
_tally = {}  # outcome kind -> calls, for the closing report
FUZZ = settings(max_examples=EXAMPLES, deadline=None, database=None, derandomize=False,
                suppress_health_check=list(HealthCheck), print_blob=True)

AGENTS = ["a", "b", "c", "", "\x00", "\u00e9"]
PARAM_NAMES = sorted({p for ps in M.PARAMS.values() for p in ps})


class Text(str):
    """A str subclass with its own __str__: its stored characters count."""

    def __str__(self):
        return "not-" + str.__str__(self)


class Unprintable(str):
    def __str__(self):
        raise ValueError("no text for this keyword")


class NotStrName(type):
    # A metaclass whose __qualname__ is not text.
    def __getattribute__(cls, name):
        if name == "__qualname__":
            return 42
        return super().__getattribute__(name)


class NoName(type):
    def __getattribute__(cls, name):
        if name == "__qualname__":
            raise AttributeError(name)
        return super().__getattribute__(name)


class Opaque(metaclass=NotStrName):
    pass


class Anonymous(metaclass=NoName):
    pass


class Pretender:
    """Claims to be a str through __class__, which binding must not believe."""

    @property
    def __class__(self):
        return str


def _local_instance():
    class Local:
        pass
    return Local()  # qualname "_local_instance.<locals>.Local"


surrogates = st.sampled_from(["\ud800", "\udbff", "\udc00", "\udfff"])
texts = st.one_of(st.sampled_from(AGENTS), st.text(max_size=6))
lone_surrogate_texts = st.builds(lambda a, s, b: a + s + b,
                                 st.text(max_size=2), surrogates, st.text(max_size=2))
non_str = st.one_of(
    st.none(), st.integers(), st.booleans(), st.floats(allow_nan=False),
    st.binary(max_size=4), st.binary(max_size=4).map(bytearray),
    st.lists(st.text(max_size=1), max_size=2), st.lists(st.text(max_size=1), max_size=2).map(tuple),
    # Built once: the metaclass tricks would confuse the strategies' own naming.
    st.sampled_from([Opaque(), Anonymous(), Pretender(), _local_instance(), str, Ellipsis]),
)
values = st.one_of(
    texts, texts, texts.map(Text), lone_surrogate_texts, lone_surrogate_texts.map(Text), non_str)

keyword_names = st.one_of(
    st.sampled_from(PARAM_NAMES), st.sampled_from(PARAM_NAMES),
    st.sampled_from(PARAM_NAMES).map(Text),       # matches by its characters
    st.text(max_size=6), st.text(max_size=6).map(Text),
    st.sampled_from(PARAM_NAMES).map(lambda p: p + "\x00"),
    st.sampled_from(PARAM_NAMES).map(str.upper),
    st.sampled_from(PARAM_NAMES).map(lambda p: p + "\ud800"),
    st.sampled_from(PARAM_NAMES).map(Unprintable),
    surrogates,
)


# One value in four is a str subclass, a lone surrogate or not a str at all.
mostly_text = st.integers(0, 11).flatmap(
    lambda i: [non_str, lone_surrogate_texts, texts.map(Text)][i] if i < 3 else texts)


def argument_lists(max_args):
    return st.tuples(st.lists(values, max_size=max_args).map(tuple),
                     st.dictionaries(keyword_names, values, max_size=4))


@st.composite
def shaped_calls(draw, method):
    """A call close to a valid one: the first k parameters by position, the
    rest by keyword in any order, then at most one deliberate slip."""
    params = M.PARAMS[method]
    k = draw(st.integers(0, len(params)))
    args = [draw(mostly_text) for _ in params[:k]]
    kwargs = {p: draw(mostly_text) for p in draw(st.permutations(params[k:]))}
    slip = draw(st.sampled_from(["drop", "extra", "twice", "unknown"] + ["none"] * 6))
    if slip == "drop" and kwargs:
        del kwargs[draw(st.sampled_from(sorted(kwargs)))]
    elif slip == "extra":
        args.append(draw(mostly_text))
    elif slip == "twice" and args:
        kwargs[params[draw(st.integers(0, len(args) - 1))]] = draw(mostly_text)
    elif slip == "unknown":
        kwargs[draw(keyword_names)] = draw(mostly_text)
    return tuple(args), kwargs


def any_call(method):
    return st.one_of(shaped_calls(method), shaped_calls(method), argument_lists(4))


@pytest.fixture(scope="module", autouse=True)
def report():
    yield
    print("\nfuzz: %d method calls compared (%s), %d examples per test" % (
        sum(_tally.values()), ", ".join("%s=%d" % kv for kv in sorted(_tally.items())), EXAMPLES))


def fresh_pair():
    """A module object and a model with the same small history."""
    real, model = halvex_core.CoordinationState(), M.Model()
    setup = [("claim_file", ("a", "src/lib.rs")), ("claim_task", ("b", "x")),
             ("send_message", ("a", "b", "hi")), ("broadcast", ("c", "all"))]
    for method, args in setup:
        stamped_call(real, model, method, args, {})
    return real, model


def stamped_call(real, model, method, args, kwargs):
    """Calls the module, then the model with the clock second the module used."""
    t0 = math.floor(time.time())
    got = M.outcome(getattr(real, method), *args, **kwargs)
    t1 = math.floor(time.time())
    stamp = t0
    if got[0] == "ok" and method in ("send_message", "broadcast"):
        stamp = got[1][3]
        assert t0 <= stamp <= t1, (t0, stamp, t1)
    model.clock = lambda: stamp
    want = M.outcome(getattr(model, method), *args, **kwargs)
    return got, want


def readable(v):
    if not issubclass(type(v), str):
        return None
    try:
        return M.convert(v, "x")
    except UnicodeEncodeError:
        return None


def observed(state, args, kwargs):
    """Snapshot over the alphabet plus every text the call mentioned, so that
    a change made by a refused call would show."""
    mentioned = [t for t in map(readable, list(args) + list(kwargs.values())) if t is not None]
    agents = sorted(set(AGENTS) | set(mentioned))
    keys = sorted({"file:src/lib.rs", "task:x"} | set(mentioned)
                  | {p + t for p in ("file:", "task:") for t in mentioned})
    return M.snapshot(state, agents, keys)


@settings(FUZZ)
@given(data=st.data())
def test_every_method_binds_and_converts_like_the_reference(data):
    method = data.draw(st.sampled_from(M.METHODS), label="method")
    args, kwargs = data.draw(any_call(method), label="call")
    real, model = fresh_pair()
    before = observed(real, args, kwargs)
    got, want = stamped_call(real, model, method, args, kwargs)
    kind = "ok" if got[0] == "ok" else got[1]
    event(kind)
    _tally[kind] = _tally.get(kind, 0) + 1
    assert got == want, "%s(*%r, **%r)" % (method, args, kwargs)
    after = observed(real, args, kwargs)
    if got[0] != "ok":
        # Binding, conversion and operation failures all change nothing.
        assert after == before, "refused call changed the state"
    assert after == observed(model, args, kwargs)


@settings(FUZZ)
@given(call=argument_lists(3))
def test_constructor_refuses_every_argument(call):
    args, kwargs = call
    got = M.outcome(halvex_core.CoordinationState, *args, **kwargs)
    want = M.outcome(M.bind, "__new__", args, kwargs)
    if want[0] == "ok":
        assert got[0] == "ok" and type(got[1]) is halvex_core.CoordinationState
    else:
        assert got == want, "CoordinationState(*%r, **%r)" % (args, kwargs)


@pytest.mark.parametrize("method", M.METHODS)
def test_unbound_calls_bind_the_same_way(method):
    # Through the class, self is the first positional argument and the rest
    # binds as for a bound call.
    real, model = fresh_pair()
    unbound = getattr(halvex_core.CoordinationState, method)
    for args in [(), ("a",) * 5, (None,) * len(M.PARAMS[method])]:
        got = M.outcome(unbound, real, *args)
        want = M.outcome(getattr(model, method), *args)
        assert got == want
