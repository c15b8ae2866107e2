"""halvex_types' table of methods against every place that states a method:
the native module, its stubs, the protocols, the classes made from the
table, the constants the backends share, and halvex_redis's activity reader."""
import ast
import asyncio
import inspect
import os
import random

import pytest

import halvex_core
import halvex_types
from halvex_types import HANDOVER_SECS, LEASE_SECS, METHODS, Lease, check_lease, install, names
from halvex_types.methods import ASYNC_GROUPS, GROUPS
from halvex_mcp.tools import TOOL_NAMES

import _faketime
from _support import METHODS as NATIVE_METHODS

STUBS = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "src",
                     "halvex_core.pyi")


def test_native_docstrings_and_signatures_agree_with_the_table():
    assert names("state") == list(NATIVE_METHODS)
    for name in names("state"):
        method = getattr(halvex_core.CoordinationState, name)
        params = ", ".join(p.name for p in METHODS[name].params)
        assert method.__text_signature__ == f"($self, {params})"
        # The native class leaves some docstrings out; those it has are the table's.
        assert method.__doc__ in (None, METHODS[name].doc), name


def test_stubs_agree_with_the_table():
    if not os.path.exists(STUBS):
        pytest.skip("the stubs are not beside the tests")
    with open(STUBS, encoding="utf-8") as f:
        tree = ast.parse(f.read())
    (cls,) = [n for n in tree.body if isinstance(n, ast.ClassDef)]
    stubbed = {f.name: f for f in cls.body if isinstance(f, ast.FunctionDef)}
    assert list(stubbed) == names("state")
    for name, function in stubbed.items():
        assert [a.arg for a in function.args.args[1:]] == [p.name for p in METHODS[name].params]
        assert inspect.cleandoc(ast.get_docstring(function, clean=False) or "") == \
            METHODS[name].doc, name


def test_sync_and_async_protocols_agree():
    for group in GROUPS:
        sync, coroutine = GROUPS[group], ASYNC_GROUPS[group]
        own = [n for n, f in vars(sync).items() if inspect.isfunction(f) and n[0] != "_"]
        assert own == [n for n, f in vars(coroutine).items()
                       if inspect.isfunction(f) and n[0] != "_"]
        for name in own:
            a = inspect.signature(getattr(sync, name))
            b = inspect.signature(getattr(coroutine, name))
            assert a == b, name
            assert inspect.iscoroutinefunction(getattr(coroutine, name))
            assert getattr(sync, name).__doc__ == getattr(coroutine, name).__doc__ \
                == METHODS[name].doc


def test_table_facts():
    assert list(METHODS) == names()
    assert names("state", "service", "server", "tasks") == names()
    for method in METHODS.values():
        assert method.doc.strip() and method.doc == inspect.cleandoc(method.doc)
        assert set(method.identity) <= {"agent_id", "from_agent"}
        assert all(p.kind in ("str", "int", "float", "str | None", "list[str]", "Sequence[str]")
                   for p in method.params)
        # Every tool the MCP server offers says what it is to a model.
        assert (method.tool is not None) == (method.name in TOOL_NAMES), method.name
    reads = {m.name for m in METHODS.values() if m.read_only and m.group != "server"}
    assert reads == {"inbox", "status", "lease", "leases", "check_lease", "agents", "tasks"}
    assert METHODS["wait_inbox"].params[1].default == 25.0
    assert METHODS["claim_task"].refusal("held", holder="a", task_id="t").args == (
        "a already holds claim on task t",)
    assert halvex_types.Lease._fields[-1] == "live"
    assert (LEASE_SECS, HANDOVER_SECS) == (300, 30)


class Made:
    """A class given its methods by install, as halvex_redis's are."""

    def _call(self, name, surplus, *args):
        return name, surplus, args


install(Made, ["leases", "check_lease", "wait_inbox"])


class MadeAsync:
    async def _call(self, name, surplus, *args):
        return name, surplus, args


install(MadeAsync, ["leases"], coroutine=True)


def test_install_gives_real_signatures_defaults_and_docs():
    made = Made()
    assert made.leases() == ("leases", (), ("",))
    assert made.check_lease("a", resource_key="k", token=3) == ("check_lease", (), ("a", "k", 3))
    assert made.wait_inbox("a") == ("wait_inbox", (), ("a", 25.0))
    assert made.check_lease("a", "k", 1, "extra") == ("check_lease", ("extra",), ("a", "k", 1))
    assert Made.leases.__doc__ == METHODS["leases"].doc
    assert Made.leases.__qualname__ == "Made.leases"
    assert str(inspect.signature(Made.check_lease)) == \
        "(self, agent_id, resource_key, token, *surplus)"
    with pytest.raises(TypeError, match=r"check_lease\(\) missing 1 required positional "
                                        r"argument: 'token'"):
        made.check_lease("a", "k")
    with pytest.raises(TypeError, match=r"got an unexpected keyword argument 'agent'"):
        made.check_lease(agent="a", resource_key="k", token=1)
    assert asyncio.run(MadeAsync().leases("file:")) == ("leases", (), ("file:",))


def lease(holder="a", token=2, renewed=1000):
    return Lease("file:p", holder, token, renewed - 5, renewed, renewed + LEASE_SECS,
                 True)


@pytest.mark.parametrize("held, agent, token, now, outcome", [
    (None, "a", 1, 1000, "no claim on file:p"),
    (lease(), "b", 2, 1000, "token 2 on file:p is stale: a holds token 2"),
    (lease(), "a", 1, 1000, "token 1 on file:p is stale: a holds token 2"),
    (lease()._replace(live=False), "a", 2, 1000 + LEASE_SECS + 7,
     "lease on file:p expired 7 s ago"),
    (lease(), "a", 2, 1000 + LEASE_SECS - 1, 1),
    (lease(), "a", 2, 1000, LEASE_SECS),
    (lease(), "a", 2, 990, LEASE_SECS),  # clock set back: fresh
])
def test_check_lease_rule(held, agent, token, now, outcome):
    if isinstance(outcome, int):
        assert check_lease(held, agent, "file:p", token, now) == outcome
    else:
        with pytest.raises(RuntimeError) as info:
            check_lease(held, agent, "file:p", token, now)
        assert info.value.args == (outcome,)


@pytest.mark.skipif(not _faketime.available(), reason="libfaketime is not installed")
def test_native_lease_is_lease_secs():
    notes, _ = _faketime.run_scenario(f"""
s = CoordinationState()
s.claim_file("a", "p")
set_clock(T0 + {LEASE_SECS} - 1)
note("before", call(s.claim_file, "b", "p"))
set_clock(T0 + {LEASE_SECS})
note("at", call(s.claim_file, "b", "p"))
""")
    assert notes == {"before": ("RuntimeError", ("a already holds claim on p",)),
                     "at": ("ok", "b")}


@pytest.fixture(params=["redis", "redis-asyncio"])
def redis_state(request, redis_server, redis_loop):
    import halvex_redis.asyncio
    from conftest import BlockingAdapter

    namespace = f"table-{random.getrandbits(48)}"
    if request.param == "redis":
        return halvex_redis.CoordinationState(redis_server.url, namespace=namespace)
    return BlockingAdapter(halvex_redis.asyncio.CoordinationState(
        redis_server.url, namespace=namespace), redis_loop)


def test_redis_activity_reader(redis_state):
    s = redis_state
    assert s.activity() == [] and s.activity("0") == []
    s.claim_file("a", "p")
    s.send_message("a", "b", "hi")
    s.release("a", "file:p")
    s.broadcast("b", "all")
    everything = s.activity("0")
    assert [r["kind"] for r in everything] == ["claimed", "sent", "released", "broadcast"]
    assert everything[0]["agent"] == "a" and everything[0]["key"] == "file:p"
    assert (everything[1]["from"], everything[1]["to"], everything[1]["content"]) == \
        ("a", "b", "hi")
    assert all(isinstance(r["at"], int) and abs(r["at"] - s.now()) < 60 for r in everything)
    ids = [r["id"] for r in everything]
    assert ids == sorted(ids, key=lambda i: tuple(int(x) for x in i.split("-")))
    # The newest, oldest first; after an id, at most `count`; nothing after the last.
    assert s.activity(None, 2) == everything[2:]
    assert s.activity(count=100) == everything
    assert s.activity(ids[0], 2) == everything[1:3]
    assert s.activity(ids[-1]) == []
    with pytest.raises(ValueError):
        s.activity(None, 0)
    with pytest.raises(TypeError):
        s.activity(None, True)
    with pytest.raises(TypeError):
        s.activity(1)
    assert isinstance(s.now(), float)


def test_redis_activity_does_not_act_as_an_agent(redis_server):
    import halvex_redis

    s = halvex_redis.CoordinationState(redis_server.url)
    other = halvex_redis.CoordinationState(redis_server.url, namespace=s.namespace)
    s.send_message("a", "b", "x")
    assert len(s.drain_inbox("b")) == 1
    before = other.agents()
    assert [a.pending for a in before if a.agent_id == "b"] == [1]
    s.activity()
    s.now()
    # Neither confirmed the drain nor counted as a call of an agent.
    assert other.agents() == before
    s.confirm()
    assert [a.pending for a in other.agents() if a.agent_id == "b"] == [0]


def test_commands_made_from_the_table(redis_server):
    from test_cli import as_json, halvex

    ns = ["--redis", redis_server.url, "--namespace", f"table-{random.getrandbits(48)}"]
    assert as_json(*ns, "status", "a") == "idle"
    assert as_json(*ns, "lease", "file:x") is None
    assert halvex(*ns, "claim", "file:x", "--agent", "a").returncode == 0
    found = as_json(*ns, "lease", "file:x")
    assert list(found) == list(Lease._fields)
    assert (found["holder"], found["token"], found["live"]) == ("a", 1, True)
    assert found["expires_at"] - found["renewed_at"] == LEASE_SECS
    assert as_json(*ns, "status", "a") == "busy"
    done = halvex(*ns, "status")
    assert done.returncode == 2 and "A" in done.stderr
