"""Argument binding, conversion and the exact TypeError texts."""

import pytest

from halvex_core import CoordinationState

from _support import METHODS, broadcast_reach, holder_of

ALL = sorted(METHODS)


@pytest.fixture
def state(native_state):
    """Most tests here are about the native binding; those shared with
    halvex_redis take `make_state` instead."""
    return native_state


def q(name):
    return "CoordinationState.%s()" % name


def type_error(fn, *args, **kwargs):
    """The message of the TypeError (exactly that type) raised by the call."""
    with pytest.raises(TypeError) as info:
        fn(*args, **kwargs)
    assert type(info.value) is TypeError
    assert len(info.value.args) == 1
    return info.value.args[0]


def quoted_list(names):
    names = ["'%s'" % n for n in names]
    if len(names) == 1:
        return names[0]
    if len(names) == 2:
        return " and ".join(names)
    return ", ".join(names[:-1]) + ", and " + names[-1]


@pytest.mark.parametrize("name", ALL)
def test_surplus_positional_arguments(state, name):
    n = len(METHODS[name])
    method = getattr(state, name)
    for extra in (1, 2):
        m = n + extra
        assert type_error(method, *["x"] * m) == (
            "%s takes %d positional arguments but %d were given" % (q(name), n, m))
    # Reported before any keyword is looked at, known or not.
    first = METHODS[name][0]
    assert type_error(method, *["x"] * (n + 1), **{first: "y"}) == (
        "%s takes %d positional arguments but %d were given" % (q(name), n, n + 1))
    assert type_error(method, *["x"] * (n + 1), bogus="y") == (
        "%s takes %d positional arguments but %d were given" % (q(name), n, n + 1))


def test_surplus_wording_examples(state):
    assert type_error(state.inbox, "a", "b") == (
        "CoordinationState.inbox() takes 1 positional arguments but 2 were given")
    assert type_error(state.inbox, "a", "b", agent_id="c") == (
        "CoordinationState.inbox() takes 1 positional arguments but 2 were given")


@pytest.mark.parametrize("name", ALL)
def test_missing_every_argument(state, name):
    params = METHODS[name]
    count = len(params)
    assert type_error(getattr(state, name)) == "%s missing %d required positional %s: %s" % (
        q(name), count, "argument" if count == 1 else "arguments", quoted_list(params))


@pytest.mark.parametrize("args, kwargs, message", [
    (("a",), {}, "CoordinationState.claim_file() missing 1 required positional argument: 'path'"),
    ((), {"path": "p"},
     "CoordinationState.claim_file() missing 1 required positional argument: 'agent_id'"),
    ((), {}, "CoordinationState.claim_file() missing 2 required positional arguments: "
             "'agent_id' and 'path'"),
])
def test_missing_claim_file(state, args, kwargs, message):
    assert type_error(state.claim_file, *args, **kwargs) == message


@pytest.mark.parametrize("args, kwargs, missing", [
    ((), {}, "3 required positional arguments: 'from_agent', 'to_agent', and 'content'"),
    (("a",), {}, "2 required positional arguments: 'to_agent' and 'content'"),
    ((), {"to_agent": "b"}, "2 required positional arguments: 'from_agent' and 'content'"),
    ((), {"content": "c", "from_agent": "a"}, "1 required positional argument: 'to_agent'"),
    (("a", "b"), {}, "1 required positional argument: 'content'"),
])
def test_missing_send_message(state, args, kwargs, missing):
    assert type_error(state.send_message, *args, **kwargs) == (
        "CoordinationState.send_message() missing " + missing)


@pytest.mark.parametrize("name", ALL)
def test_unexpected_keyword_comes_before_missing(state, name):
    method = getattr(state, name)
    assert type_error(method, agent="x") == (
        "%s got an unexpected keyword argument 'agent'" % q(name))
    assert type_error(method, **{"agént": "x"}) == (
        "%s got an unexpected keyword argument 'agént'" % q(name))
    # Names match exactly: no case folding, no trimming.
    first = METHODS[name][0]
    assert type_error(method, **{first.upper(): "x"}) == (
        "%s got an unexpected keyword argument '%s'" % (q(name), first.upper()))


@pytest.mark.parametrize("name", ALL)
def test_multiple_values(state, name):
    params = METHODS[name]
    for i, p in enumerate(params):
        args = ["x"] * (i + 1)
        assert type_error(getattr(state, name), *args, **{p: "y"}) == (
            "%s got multiple values for argument '%s'" % (q(name), p))


def test_keywords_are_visited_in_the_dicts_order(state):
    assert type_error(state.claim_file, "a", agent_id="b", bogus="c") == (
        "CoordinationState.claim_file() got multiple values for argument 'agent_id'")
    assert type_error(state.claim_file, "a", bogus="c", agent_id="b") == (
        "CoordinationState.claim_file() got an unexpected keyword argument 'bogus'")
    assert type_error(state.send_message, "a", from_agent="b") == (
        "CoordinationState.send_message() got multiple values for argument 'from_agent'")


def test_unexpected_keyword_shows_str_of_the_key(state):
    class Shown(str):
        def __str__(self):
            return "shown"

    assert type_error(state.status, **{Shown("bogus"): 1}) == (
        "CoordinationState.status() got an unexpected keyword argument 'shown'")


def test_keyword_str_subclass_matches_by_its_characters(state):
    class Other(str):
        def __str__(self):
            return "path"

    assert state.claim_file(**{Other("agent_id"): "agent-a", Other("path"): "p"}) == "agent-a"
    assert holder_of(state, "file:p") == "agent-a"


def test_unexpected_keyword_str_may_reenter_the_object(state):
    # The only Python code that runs inside a call before the operation; it
    # can use the same object because no lock is held yet.
    class Reentrant(str):
        def __str__(self):
            state.claim_file("inner", "reentered")
            return "outer"

    assert type_error(state.status, **{Reentrant("bogus"): 1}) == (
        "CoordinationState.status() got an unexpected keyword argument 'outer'")
    assert holder_of(state, "file:reentered") == "inner"


def test_awkward_keyword_names_are_still_type_errors(state):
    class Unprintable(str):
        def __str__(self):
            raise ValueError("no")

    for key in ("\ud800", Unprintable("bogus")):
        with pytest.raises(TypeError):
            state.status(**{key: "x"})


def test_binding_by_keyword_in_any_order(make_state):
    state = make_state()
    by_name = state.send_message(to_agent="b", content="c", from_agent="a")
    assert by_name[:3] == ("a", "b", "c")
    mixed = state.send_message("a", content="d", to_agent="b")
    assert mixed[:3] == ("a", "b", "d")
    assert [m[2] for m in state.inbox(agent_id="b")] == ["c", "d"]
    assert state.claim_task(task_id="t", agent_id="x") == "x"
    assert state.renew_claim(resource_key="task:t", agent_id="x") == "x"
    assert state.release(resource_key="task:t", agent_id="x") is None
    assert state.broadcast(content="all", from_agent="x")[:3] == ("x", "*", "all")
    assert state.status(agent_id="x") == "idle"
    assert len(state.drain_inbox(agent_id="b")) == 3


@pytest.mark.parametrize("name", ALL)
@pytest.mark.parametrize("bad, type_name", [
    (1, "int"), (None, "NoneType"), (b"bytes", "bytes"), (1.5, "float"), (["x"], "list"),
])
def test_non_str_argument_names_the_first_bad_parameter(make_state, name, bad, type_name):
    state = make_state()
    params = METHODS[name]
    for i, p in enumerate(params):
        args = ["ok"] * i + [bad] * (len(params) - i)
        assert type_error(getattr(state, name), *args) == (
            "argument '%s': '%s' object cannot be converted to 'PyString'" % (p, type_name))


def test_conversion_error_examples(state):
    with pytest.raises(TypeError) as info:
        state.claim_file(1, 2)
    assert info.value.args == (
        "argument 'agent_id': 'int' object cannot be converted to 'PyString'",)
    assert info.value.__cause__ is None
    assert type_error(state.claim_file, "a", None) == (
        "argument 'path': 'NoneType' object cannot be converted to 'PyString'")
    # Keyword-bound arguments are converted in parameter order too.
    assert type_error(state.claim_file, path=2, agent_id=1) == (
        "argument 'agent_id': 'int' object cannot be converted to 'PyString'")
    # Binding errors come before conversion errors.
    assert type_error(state.claim_file, 1) == (
        "CoordinationState.claim_file() missing 1 required positional argument: 'path'")


def test_conversion_error_uses_the_qualified_type_name(make_state):
    state = make_state()
    class Inner(object):
        pass

    assert type_error(state.status, Inner()) == (
        "argument 'agent_id': '%s' object cannot be converted to 'PyString'"
        % Inner.__qualname__)
    assert "<locals>.Inner" in Inner.__qualname__


def test_unreadable_type_name(make_state):
    state = make_state()
    class Meta(type):
        def __getattribute__(cls, name):
            if name == "__qualname__":
                raise AttributeError(name)
            return type.__getattribute__(cls, name)

    Odd = Meta("Odd", (object,), {})
    assert type_error(state.status, Odd()) == (
        "argument 'agent_id': '<failed to extract type name>' object cannot be "
        "converted to 'PyString'")


@pytest.mark.parametrize("name", ALL)
def test_lone_surrogate_is_a_unicode_encode_error(make_state, name):
    state = make_state()
    params = METHODS[name]
    for i in range(len(params)):
        args = ["ok"] * len(params)
        args[i] = "x\ud800y"
        with pytest.raises(UnicodeEncodeError):
            getattr(state, name)(*args)
    # Conversion stops at the first failure, whichever kind it is.
    if len(params) > 1:
        assert type_error(getattr(state, name), 1, *["\udfff"] * (len(params) - 1)) == (
            "argument '%s': 'int' object cannot be converted to 'PyString'" % params[0])
        with pytest.raises(UnicodeEncodeError):
            getattr(state, name)("\udfff", *[1] * (len(params) - 1))


def test_str_subclass_is_used_by_its_characters(make_state):
    state = make_state()
    class Loud(str):
        def __str__(self):
            return "LOUD"

        def encode(self, *a, **k):
            raise AssertionError("encode must not be called")

    assert state.claim_file(Loud("agent-a"), Loud("src/lib.rs")) == "agent-a"
    result = state.send_message(Loud("agent-a"), Loud("agent-b"), Loud("hi"))
    assert result[:3] == ("agent-a", "agent-b", "hi")
    assert all(type(item) is str for item in result[:3])
    assert state.status("agent-a") == "busy"
    assert state.status("LOUD") == "idle"
    assert holder_of(state, "file:src/lib.rs") == "agent-a"


@pytest.mark.parametrize("name", ALL)
def test_empty_strings_are_accepted(make_state, name):
    state = make_state()
    state.claim_file("", "")
    expected = {
        "claim_file": ("", "", RuntimeError),     # "" already holds "file:"
        "claim_task": ("", "", ""),
        "release": ("", "file:", None),
        "renew_claim": ("", "file:", ""),
        "send_message": ("", "", "", ("", "", "")),
        "broadcast": ("", "", ("", "*", "")),
        "inbox": ("", []),
        "drain_inbox": ("", []),
        "status": ("", "busy"),
    }[name]
    args, want = expected[:-1], expected[-1]
    if want is RuntimeError:
        with pytest.raises(RuntimeError) as info:
            getattr(state, name)(*args)
        assert info.value.args == (" already holds claim on ",)
        return
    got = getattr(state, name)(*args)
    if isinstance(want, tuple):
        got = got[:3]
    assert got == want


FAILED_CALLS = [
    ("claim_file", ("agent-a",), {}),
    ("claim_file", ("agent-a", "p", "x"), {}),
    ("claim_file", ("agent-a",), {"path": "p", "bogus": 1}),
    ("claim_file", ("agent-a", b"p"), {}),
    ("claim_task", ("agent-a", "\ud800"), {}),
    ("send_message", ("agent-a", "agent-b", 1), {}),
    ("send_message", ("agent-a", "agent-b", "\ud800"), {}),
    ("send_message", ("agent-a", "agent-b"), {"content": "c", "to_agent": "b"}),
    ("broadcast", ("agent-a", None), {}),
    ("release", ("holder", "file:held"), {"resource_key": "file:held"}),
    ("release", ("holder", 7), {}),
    ("renew_claim", (b"holder", "file:held"), {}),
]


@pytest.mark.parametrize("name, args, kwargs", FAILED_CALLS)
def test_failed_binding_changes_nothing(make_state, name, args, kwargs):
    state = make_state()
    state.claim_file("holder", "held")
    state.release("holder", "file:held")
    state.claim_file("holder", "held")
    with pytest.raises((TypeError, UnicodeEncodeError)):
        getattr(state, name)(*args, **kwargs)
    assert holder_of(state, "file:held") == "holder"
    assert holder_of(state, "file:p") is None
    assert state.status("agent-a") == "idle"
    assert state.status("holder") == "busy"
    assert state.inbox("agent-b") == [] and state.inbox("b") == []
    assert broadcast_reach(state, ["agent-a", "agent-b", "b", "holder"]) == {"holder": 1}


def test_descriptor_refuses_a_foreign_self():
    with pytest.raises(TypeError):
        CoordinationState.status(1, "a")
    with pytest.raises(TypeError):
        CoordinationState.claim_file("not a state", "a", "p")
    s = CoordinationState()
    assert CoordinationState.claim_file(s, "a", "p") == "a"


@pytest.mark.parametrize("exc", [KeyboardInterrupt, MemoryError, SystemExit])
def test_foreign_exceptions_while_binding_pass_unchanged(state, exc):
    """Only the binding rules' own conditions become TypeError: an exception
    that is not an ordinary failure, raised by a keyword's __str__ or a type's
    __qualname__ while an error text is built, reaches the caller as it is."""
    class Key(str):
        def __str__(self):
            raise exc("from __str__")

    class Meta(type):
        def __getattribute__(cls, name):
            if name == "__qualname__":
                raise exc("from __qualname__")
            return type.__getattribute__(cls, name)

    Odd = Meta("Odd", (object,), {})
    for call in (lambda: state.status(**{Key("bogus"): "x"}),
                 lambda: state.claim_file("a", Odd()),
                 lambda: state.status(agent_id=Odd())):
        with pytest.raises(exc) as info:
            call()
        assert type(info.value) is exc
    assert holder_of(state, "file:a") is None
