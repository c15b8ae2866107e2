"""The task graph: claim_next hands each ready task to exactly one agent, in
dependency order, across real processes on the state file and on Redis;
cycles are refused by name; a waiting claim_next wakes on a completion."""
from __future__ import annotations

import json
import os
import random
import subprocess
import sys
import threading
import time

import pytest

from _support import TESTS_DIR
from test_clock import faked_redis  # noqa: F401  (a redis-server on a faked clock)

KINDS = ["sqlite", pytest.param("redis", marks=pytest.mark.redis)]


def _state(kind, where):
    if kind == "sqlite":
        import halvex_sqlite
        return halvex_sqlite.CoordinationState(where)
    import halvex_redis
    url, ns = where.split(" ")
    return halvex_redis.CoordinationState(url, namespace=ns)


@pytest.fixture
def where(request, tmp_path):
    kind = request.node.callspec.params["kind"]
    if kind == "sqlite":
        return str(tmp_path / "tasks.db")
    return request.getfixturevalue("redis_server").url + " tasks-%d-%d" % (
        os.getpid(), random.getrandbits(32))


@pytest.mark.parametrize("kind", KINDS)
def test_graph_rules_and_refusals(kind, where):
    s = _state(kind, where)
    s.add_task("p", "a", "first")
    t = s.add_task("p", "c", "third", ["b", "a"])
    assert (t.state, t.waits_for, t.depends_on) == ("blocked", ["a", "b"], ["a", "b"])
    s.add_task("p", "b", "second", ["a"])
    for task, deps, text in (("a", ["c"], "task a would close a dependency cycle: a -> c -> a"),
                             ("a", ["b"], "task a would close a dependency cycle: a -> b -> a"),
                             ("a", ["a"], "task a would close a dependency cycle: a -> a")):
        with pytest.raises(RuntimeError) as refused:
            s.add_task("p", task, "first", deps)
        assert str(refused.value) == text
    got = s.claim_next("w1")
    assert got.task.task_id == "a" and got.task.token == 1 and s.status("w1") == "busy"
    nothing = s.claim_next("w2")
    assert nothing.task is None and nothing.why.startswith("3 tasks blocked: a held by w1 until ")
    with pytest.raises(RuntimeError, match="^task a is held: only a task not yet started"):
        s.add_task("p", "a", "renamed", ["x"])
    with pytest.raises(RuntimeError, match="^w2 does not hold task a$"):
        s.complete_task("w2", "a")
    with pytest.raises(RuntimeError, match="^no task zz$"):
        s.fail_task("w2", "zz", "why")
    done = s.complete_task("w1", "a", "fine")
    assert (done.state, done.holder, done.outcome, s.status("w1")) == ("done", "w1", "fine",
                                                                       "completed")
    assert s.lease("task:a") is None  # released
    b = s.claim_next("w2", "b").task
    assert b.task_id == "b"
    assert s.fail_task("w2", "b", "broke").state == "failed" and s.status("w2") == "error"
    assert s.claim_next("w1").why == "1 task blocked: c waits for b (failed)"
    # A plain claim on a blocked task holds it, but cannot make it done first.
    s.claim_task("w3", "c")
    with pytest.raises(RuntimeError, match="^task c waits for tasks not done: it cannot be done"):
        s.complete_task("w3", "c")
    s.release("w3", "task:c")
    with pytest.raises(RuntimeError, match="^w1 cannot reset task b: w2 failed it$"):
        s.reset_task("w1", "b")
    assert s.reset_task("w2", "b").state == "ready"
    again = s.claim_next("w1")
    assert again.task.task_id == "b" and again.task.token == 2  # a new grant, a higher token
    s.complete_task("w1", "b")
    assert [(x.task_id, x.state) for x in s.tasks()] == [("a", "done"), ("c", "ready"),
                                                          ("b", "done")]
    assert s.claim_next("w1", "zz").why == "no open tasks under 'zz'"
    # A task many depend on (their list is kept in parts) frees them all.
    s.add_task("p", "hub", "h")
    for i in range(250):
        s.add_task("p", "leaf%d" % i, "l", ["hub"])
    s.claim_next("w1", "hub")
    s.complete_task("w1", "hub")
    assert [t.state for t in s.tasks("leaf")] == ["ready"] * 250
    with pytest.raises(TypeError):
        s.add_task("p", "d", "x", "a")


WORKER = """
import json, sys, time
sys.path.insert(0, sys.argv[1])
from test_tasks import _state
kind, where, me = sys.argv[2:5]
s = _state(kind, where)
done, idle = [], 0
while True:
    got = s.claim_next(me, "", 2)
    if got.task is None:
        if got.why.startswith("no open tasks"):
            break
        continue
    granted = time.time()
    time.sleep(0.001)  # the work
    called = time.time()
    s.complete_task(me, got.task.task_id)
    done.append([got.task.task_id, granted, called])
print(json.dumps(done))
"""


@pytest.mark.parametrize("kind", KINDS)
def test_random_graph_by_eight_processes(kind, where):
    if kind == "sqlite" and os.name != "posix":
        pytest.skip("racing processes on the state file run on POSIX here (Wine starts each "
                    "interpreter in seconds)")
    rng = random.Random(32)
    deps = {i: sorted(rng.sample(range(i), min(i, rng.randint(0, 3)))) for i in range(500)}
    s = _state(kind, where)
    for i in rng.sample(range(500), 500):  # added in any order: unknown dependencies block
        s.add_task("planner", "t%03d" % i, "task %d" % i, ["t%03d" % d for d in deps[i]])
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(
        p for p in (TESTS_DIR, os.environ.get("PYTHONPATH")) if p))
    procs = [subprocess.Popen([sys.executable, "-c", WORKER, TESTS_DIR, kind, where,
                               "w%d" % n], env=env, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE) for n in range(8)]
    finished = {}
    for proc in procs:
        out, err = proc.communicate(timeout=600)
        assert proc.returncode == 0, err.decode()
        for task, start, end in json.loads(out):
            assert task not in finished, task  # completed exactly once
            finished[task] = (start, end)
    assert len(finished) == 500
    for i, before in deps.items():
        for d in before:  # granted only once each dependency's completion was asked for
            assert finished["t%03d" % d][1] <= finished["t%03d" % i][0]
    assert {t.state for t in s.tasks()} == {"done"}


@pytest.mark.parametrize("kind", KINDS)
def test_waiting_claim_next_wakes_on_completion(kind, where):
    s, other = _state(kind, where), _state(kind, where)
    s.add_task("p", "first", "x")
    s.add_task("p", "second", "y", ["first"])
    s.claim_next("a")
    got = []
    waiter = threading.Thread(target=lambda: got.append((other.claim_next("b", "", 60),
                                                         time.monotonic())))
    waiter.start()
    time.sleep(0.5)
    if kind == "redis":  # an idle wait sends nothing: no polling
        import redis
        server = redis.Redis.from_url(where.split(" ")[0])

        def calls():
            stats = server.info("commandstats")
            return sum(v["calls"] for k, v in stats.items() if k != "cmdstat_info")

        before = calls()
        time.sleep(1.5)
        assert calls() == before
    assert not got
    completed = time.monotonic()
    s.complete_task("a", "first")
    waiter.join(30)
    assert got[0][0].task.task_id == "second" and got[0][1] - completed < 10
    # No task under the prefix: the wait ends with why, not before the time.
    started = time.monotonic()
    assert other.claim_next("b", "none-", 0.3).task is None
    assert time.monotonic() - started >= 0.3


@pytest.mark.mcp
def test_two_mcp_clients_share_the_graph():
    pytest.importorskip("mcp", reason="the MCP SDK is not installed (it needs Python 3.10+)")
    import _mcp
    from halvex_mcp.client import RemoteState

    with _mcp.HttpServer("--memory", "--task-tools") as server:
        with RemoteState(server.url) as a, RemoteState(server.url) as b:
            a.add_task("a", "build", "compile")
            assert a.add_task("a", "test", "run tests", ["build"]).waits_for == ["build"]
            with pytest.raises(RuntimeError, match="cycle: build -> test -> build"):
                b.add_task("b", "build", "compile", ["test"])
            with pytest.raises(Exception, match="'task_id' must not be empty") as refused:
                b.add_task("b", "", "no id")
            assert "taken effect" not in str(refused.value)
            got = b.claim_next("b")
            assert got.task.task_id == "build" and got.task.holder == "b"
            waiting = []
            waiter = threading.Thread(target=lambda: waiting.append(a.claim_next("a", "", 60)))
            waiter.start()
            time.sleep(0.5)
            assert b.complete_task("b", "build", "ok").state == "done"
            waiter.join(60)
            assert waiting[0].task.task_id == "test" and a.status("a") == "busy"
            assert [t.state for t in b.tasks("")] == ["done", "held"]
            # A client that hangs up mid-wait claims nothing when the task frees.
            import httpx2
            b.add_task("b", "ship", "after tests", ["test"])
            with httpx2.Client(timeout=30) as http:
                session = _mcp.raw_session(http, server.url)
            _mcp.post_and_hang_up(server.port, session, _mcp.call(
                "claim_next", 9, agent_id="gone", prefix="ship", wait=60))
            a.complete_task("a", "test")
            time.sleep(1)  # a waiter still running would have taken it by now
            assert b.claim_next("b", "ship").task.holder == "b"



@pytest.mark.redis
def test_run_next_does_not_exit_0_when_the_task_cannot_be_marked_done(redis_server):
    import _redis
    from test_cli import command, environ

    own = _redis.RedisServer()
    own.start()
    try:
        _state("redis", own.url + " t").add_task("p", "t1", "one")
        # CMD succeeds, and the state is gone by the time it ends.
        stop = "import redis; redis.Redis(port=%d).shutdown(nosave=True)" % own.port
        done = subprocess.run(command() + ["run", "--redis", own.url, "--namespace", "t", "--agent", "w",
                                           "--next", "", "--", sys.executable, "-c", stop],
                              env=environ(), capture_output=True, text=True, timeout=60)
        assert done.returncode == 3 and "could not mark task t1 done" in done.stderr, done.stderr
    finally:
        own.close()
@pytest.mark.mcp
def test_a_stdio_client_that_leaves_mid_wait_claims_nothing(tmp_path):
    pytest.importorskip("mcp", reason="the MCP SDK is not installed (it needs Python 3.10+)")
    import _mcp
    import halvex_sqlite

    path = str(tmp_path / "s.db")
    state = halvex_sqlite.CoordinationState(path)
    state.add_task("p", "t1", "one")
    state.add_task("p", "t2", "two", ["t1"])
    state.claim_next("w", "t1")
    server = subprocess.Popen(_mcp.command() + ["--state", path, "--task-tools"], stdin=subprocess.PIPE,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=_mcp.environ())
    lines = [_mcp.INITIALIZE, {"jsonrpc": "2.0", "method": "notifications/initialized"},
             _mcp.call("claim_next", 1, agent_id="gone", prefix="t2", wait=120)]
    server.stdin.write("".join(json.dumps(x) + "\n" for x in lines).encode())
    server.stdin.flush()
    server.stdout.readline()
    time.sleep(1)  # the wait has begun when the client leaves
    out, _ = server.communicate(timeout=60)
    assert json.loads(out.splitlines()[-1])["result"]["structuredContent"]["result"]["task"] is None
    state.complete_task("w", "t1")
    assert [t.state for t in state.tasks("t2")] == ["ready"]

EXPIRY = """
s = CoordinationState()
s.add_task("p", "t1", "one")
first = s.claim_next("dead")  # its holder then stops, and never completes
note("first", (first.task.task_id, first.task.token))
set_clock(T0 + 299)
note("at 299", s.claim_next("b").why)
set_clock(T0 + 300)
again = s.claim_next("b")
note("at 300", (again.task.task_id, again.task.token, again.task.holder))
note("dead completes", call(s.complete_task, "dead", "t1"))
note("b completes", s.complete_task("b", "t1").state)
"""


@pytest.mark.parametrize("kind", KINDS)
def test_expired_holders_task_comes_back_with_a_higher_token(kind, tmp_path, request):
    import _faketime
    import _sqlite

    if not _faketime.available():
        pytest.skip("libfaketime is not installed")
    if kind == "sqlite":
        notes, _ = _sqlite.scenario_runner(tmp_path)(EXPIRY)
    else:
        notes, _ = _faketime.run_redis_scenario(request.getfixturevalue("faked_redis"), EXPIRY,
                                                _faketime.T0)
    assert notes == {
        "first": ("t1", 1),
        "at 299": "1 task blocked: t1 held by dead until %s" % time.strftime(
            "%H:%M:%S", time.gmtime(_faketime.T0 + 300)),
        "at 300": ("t1", 2, "b"),
        "dead completes": ("RuntimeError", ("dead does not hold task t1",)),
        "b completes": "done",
    }


def test_task_commands(tmp_path):
    from test_cli import command, environ, run

    def halvex(*args, verb="task"):
        done = run(command() + [verb, "--state", str(tmp_path / "s.db"), *args],
                   env=environ(HALVEX_AGENT="w1"), capture_output=True, text=True, timeout=60)
        return done.returncode, done.stdout.strip(), done.stderr.strip()

    assert halvex("add", "build", "compile")[0] == 0
    assert halvex("add", "test", "run tests", "build")[1] == "test  blocked  waits for build  run tests"
    assert halvex("add", "build", "compile", "test") == (
        1, "", "task build would close a dependency cycle: build -> test -> build")
    assert halvex("next", "-o", "json")[0] == 0
    status, _, why = halvex("next")
    assert status == 1 and why.startswith("2 tasks blocked: build held by w1 until ")
    assert halvex("done", "build", "ok")[1] == "build  done  w1 (token 1)  compile  -> ok"
    assert halvex("next")[1] == "test  held  w1 (token 1)  run tests"
    assert halvex("fail", "test", "flaky")[0] == 0 and halvex("reset", "test")[0] == 0
    assert json.loads(halvex("list", "-o", "json")[1])[1]["state"] == "ready"
    # run --next: the task's token in HALVEX_TOKENS, done or failed by CMD's status.
    script = "import os, sys; print(os.environ['HALVEX_TOKENS']); sys.exit(%d)"
    cmd = ["--", sys.executable, "-c"]  # no shell on every platform
    assert halvex("--next", "", *cmd, script % 3, verb="run")[:2] == (3, "task:test=2")
    assert halvex("reset", "test")[0] == 0
    assert halvex("--next", "te", *cmd, script % 0, verb="run")[:2] == (0, "task:test=3")
    assert halvex("--next", "", *cmd, "pass", verb="run") == (1, "", "no open tasks")
    assert [t["outcome"] for t in json.loads(halvex("list", "-o", "json")[1])] == [
        "ok", "exit status 0"]
    # A line break in a title or name shows escaped, never as a line of its own;
    # JSON keeps it exact.
    forged = "t\nfake  done  admin (token 9)  x"
    assert halvex("add", "hostile", forged)[1] == "hostile  ready  t\\x0afake  done  admin (token 9)  x"
    assert json.loads(halvex("list", "-o", "json")[1])[2]["title"] == forged
    assert halvex("done", "hostile", "--agent", "x\ny") == (
        1, "", "x\\x0ay does not hold task hostile")
    # CMD ends after its task went to another agent: the task is not done, and
    # run does not report success.
    steal = ("import subprocess, sys; h = %r; subprocess.run(h + ['release', 'task:hostile']);"
             "subprocess.run(h + ['claim', 'task:hostile', '--agent', 'w2'])"
             ) % (command() + ["--state", str(tmp_path / "s.db")])
    assert halvex("--next", "hostile", *cmd, steal, verb="run")[0] == 75
    assert json.loads(halvex("list", "-o", "json")[1])[2]["holder"] == "w2"


def test_state_file_of_schema_1_gains_the_task_tables(tmp_path):
    import sqlite3

    import halvex_sqlite

    path = str(tmp_path / "old.db")
    halvex_sqlite.CoordinationState(path).claim_file("a", "x")
    db = sqlite3.connect(path)  # as the previous release left it: no task tables
    db.executescript("DROP TABLE tasks; DROP TABLE task_deps; PRAGMA user_version = 1;")
    db.close()
    s = halvex_sqlite.CoordinationState(path)
    assert s.add_task("p", "t", "x").state == "ready" and s.lease("file:x").holder == "a"
    assert sqlite3.connect(path).execute("PRAGMA user_version").fetchone() == (2,)
