"""The `halvex` command as a subprocess, against real redis-servers (one with
a clock the test moves) and, in the MCP stage, a real `halvex-mcp --http`."""

import json
import os
import queue
import signal
import subprocess
import tempfile
import sys
import threading
import time
import uuid

import pytest

import _faketime
import _redis

LEASE_FIELDS = ["resource_key", "holder", "token", "granted_at", "renewed_at", "expires_at",
                "live"]
AGENT_FIELDS = ["agent_id", "status", "inbox", "pending", "leases", "last_seen"]
LOST = 75

# Every case needs a redis-server or an MCP server: the redis stage runs the
# first kind, the MCP stage (-m mcp) the second.
pytestmark = pytest.mark.redis

needs_faketime = pytest.mark.skipif(not _faketime.available(),
                                    reason="libfaketime is not installed")


def command():
    script = os.path.join(os.path.dirname(sys.executable), "halvex")
    return [script] if os.path.exists(script) else [sys.executable, "-m", "halvex_cli"]


def environ(**extra):
    env = {k: v for k, v in os.environ.items() if not k.startswith("HALVEX_")}
    env["COLUMNS"] = "200"  # tables unwrapped, whatever the terminal
    env.update(extra)
    return env


# Outside any git work tree, so `file:` keys are taken as given (inside one,
# the command makes them relative to the work tree's top).
OUTSIDE = tempfile.mkdtemp(prefix="halvex-cli-tests-")


def run(cmd, **kwargs):
    """subprocess.run, tried once more when Wine fails to create the process
    (ERROR_INTERNAL_ERROR: nothing was started)."""
    try:
        return subprocess.run(cmd, **kwargs)
    except OSError as err:
        if getattr(err, "winerror", None) != 1359:
            raise
    return subprocess.run(cmd, **kwargs)


def halvex(*args, env=None, timeout=60):
    return run(command() + list(args), env=env or environ(), capture_output=True,
               text=True, timeout=timeout, cwd=OUTSIDE)


def await_clients(url, cmd, n):
    """Waits until `n` clients of the server have `cmd` as their command: a
    wait is in its BLPOP, a watch reads the log's end (XREAD). A fixed sleep
    instead would race a loaded machine's process start-up."""
    import redis

    client = redis.Redis.from_url(url)
    deadline = time.monotonic() + 60
    while sum(c.get("cmd") == cmd for c in client.client_list()) < n:
        assert time.monotonic() < deadline, "no %d clients in %s" % (n, cmd)
        time.sleep(0.05)


def as_json(*args, **kw):
    done = halvex(*args, "-o", "json", **kw)
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout)


class Lines(object):
    """A process's stdout, read line by line in a thread, with deadlines."""

    def __init__(self, args, env=None):
        # No terminal on stdin: `run` would take a SIGINT as the terminal's own.
        self.proc = subprocess.Popen(command() + list(args), env=env or environ(),
                                     stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, text=True, cwd=OUTSIDE)
        self.lines = queue.Queue()
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for line in self.proc.stdout:
            self.lines.put(line)
        self.lines.put(None)

    def next(self, timeout=30):
        line = self.lines.get(timeout=timeout)
        assert line is not None, "exited: %s %s" % (self.proc.wait(), self.proc.stderr.read())
        return line

    def close(self):
        if self.proc.poll() is None:
            self.proc.kill()
        self.proc.wait(10)


@pytest.fixture
def ns(redis_server):
    """The options of a fresh namespace on the session's server."""
    return ["--redis", redis_server.url, "--namespace", uuid.uuid4().hex]


@pytest.fixture
def clocked(redis_server):
    if not _faketime.available():
        pytest.skip("libfaketime is not installed")
    server = _redis.RedisServer(frozen_clock=_faketime.T0)
    yield server, ["--redis", server.url, "--namespace", "clocked"]
    server.close()


def test_claims_leases_and_checks(ns):
    done = halvex(*ns, "claim", "file:src/app.py", "--agent", "agent-a")
    assert done.returncode == 0 and "fencing token 1" in done.stdout
    done = halvex(*ns, "claim", "file:src/app.py", "--agent", "agent-b")
    assert (done.returncode, done.stderr) == (1, "agent-a already holds claim on src/app.py\n")
    got = as_json(*ns, "claim", "task:[7]", "--agent", "agent-b")
    assert list(got) == LEASE_FIELDS and got["token"] == 1 and got["live"]

    rows = as_json(*ns, "leases")
    assert [(r["resource_key"], r["holder"], r["token"]) for r in rows] == [
        ("file:src/app.py", "agent-a", 1), ("task:[7]", "agent-b", 1)]
    assert all(list(r) == LEASE_FIELDS and r["expires_at"] - r["renewed_at"] == 300
               for r in rows)
    assert [r["resource_key"] for r in as_json(*ns, "leases", "--prefix", "task:")] == ["task:[7]"]
    assert [r["holder"] for r in as_json(*ns, "leases", "--agent", "agent-a")] == ["agent-a"]
    table = halvex(*ns, "leases").stdout
    assert "KEY" in table and "EXPIRES IN" in table
    assert "task:[7]" in table and "agent-b" in table  # brackets are text, not markup

    check = as_json(*ns, "check", "file:src/app.py", "--agent", "agent-a", "--token", "1")
    assert check["token"] == 1 and 240 <= check["seconds_left"] <= 300
    for agent, token, text in (
            ("agent-a", "2", "token 2 on file:src/app.py is stale: agent-a holds token 1"),
            ("agent-b", "1", "token 1 on file:src/app.py is stale: agent-a holds token 1")):
        done = halvex(*ns, "check", "file:src/app.py", "--agent", agent, "--token", token)
        assert (done.returncode, done.stderr) == (1, text + "\n")
    done = halvex(*ns, "check", "file:none", "--agent", "agent-a", "--token", "1")
    assert (done.returncode, done.stderr) == (1, "no claim on file:none\n")

    assert as_json(*ns, "renew", "file:src/app.py", "--agent", "agent-a")["token"] == 1
    done = halvex(*ns, "release", "file:src/app.py", "--agent", "agent-b")
    assert (done.returncode, done.stderr) == (
        1, "agent-b cannot release a claim held by agent-a\n")
    assert halvex(*ns, "release", "file:src/app.py", "--agent", "agent-a").returncode == 0
    # The next grant of a key takes the next token.
    assert as_json(*ns, "claim", "file:src/app.py", "--agent", "agent-b")["token"] == 2
    assert as_json(*ns, "release-all", "agent-b") == {
        "agent": "agent-b", "released": ["file:src/app.py", "task:[7]"]}
    assert as_json(*ns, "leases") == []
    assert "no claims" in halvex(*ns, "leases").stdout


def test_messages_inboxes_and_agents(ns, redis_server):
    sent = as_json(*ns, "send", "--from", "a", "b", "fix [bold]this[/bold]")
    assert list(sent) == ["from", "to", "content", "timestamp"] and sent["to"] == "b"
    assert as_json(*ns, "broadcast", "--from", "a", "all hands")["to"] == "*"
    assert halvex(*ns, "claim", "task:t", "--agent", "b").returncode == 0
    agents = as_json(*ns, "agents")
    assert [list(a) for a in agents] == [AGENT_FIELDS, AGENT_FIELDS]
    assert [(a["agent_id"], a["status"], a["inbox"], a["leases"]) for a in agents] == [
        ("a", "idle", 1, 0), ("b", "busy", 2, 1)]
    assert agents[0]["last_seen"] is not None
    table = halvex(*ns, "agents").stdout
    assert "LAST SEEN" in table and "busy" in table

    assert halvex(*ns, "inbox", "b").stdout.count("fix [bold]this[/bold]") == 1
    assert [m["content"] for m in as_json(*ns, "inbox", "b")] == [
        "fix [bold]this[/bold]", "all hands"]
    assert len(as_json(*ns, "inbox", "b", "--drain")) == 2
    # The drain was confirmed before the command ended: nothing comes back.
    assert as_json(*ns, "inbox", "b") == []
    assert as_json(*ns, "inbox", "b", "--drain") == []

    # A wait woken by a message from another process, well before its 120 s end.
    waiter = subprocess.Popen(command() + ns + ["inbox", "b", "--wait", "120", "-o", "json"],
                              env=environ(), stdout=subprocess.PIPE, text=True)
    await_clients(redis_server.url, "blpop", 1)
    started = time.monotonic()
    assert halvex(*ns, "send", "--from", "c", "b", "wake up").returncode == 0
    out, _ = waiter.communicate(timeout=180)
    took = time.monotonic() - started
    assert [m["content"] for m in json.loads(out)] == ["wake up"]
    assert took < 60, took
    assert as_json(*ns, "inbox", "b", "--wait", "0.3") == []


def test_usage_and_unreachable_statuses(ns, redis_server, tmp_path):
    cases = [
        (ns + ["--state", "x.db", "leases"], "give one of"),
        (("--redis", redis_server.url, "leases"), "--namespace"),
        (ns + ["--mcp", "http://127.0.0.1:9/mcp", "leases"], "give one of"),
        (ns + ["claim", "src/app.py", "--agent", "a"], "file:<path> or task:<id>"),
        (ns + ["claim", "file:x"], "--agent is required"),
        (ns + ["check", "file:x", "--agent", "a"], "--token N is required"),
        (ns + ["delete-namespace"], "--yes"),
        (["--redis", redis_server.url, "--namespace", "a{b}", "leases"], "namespace"),
    ]
    for args, text in cases:
        done = halvex(*(list(args) or ["leases"]))
        assert done.returncode == 2 and text in done.stderr, (args, done.stderr)
    assert halvex(*ns, "bogus").returncode == 2  # argparse's own usage errors

    # Without either extra the state file still serves; --redis says what to install.
    blocked = ("import sys\n"
               "sys.modules.update(redis=None, mcp=None)\n"
               "from halvex_cli.cli import main\n"
               "sys.exit(main(sys.argv[1:]))\n")
    for args, status, text in (
            (["--state", str(tmp_path / "s.db"), "leases", "-o", "json"], 0, ""),
            (ns + ["leases"], 2, "--redis needs the redis extra")):
        done = subprocess.run([sys.executable, "-c", blocked] + args, env=environ(),
                              capture_output=True, text=True, timeout=60)
        assert done.returncode == status and text in done.stderr, done.stderr

    done = halvex("--redis", "redis://127.0.0.1:%d/0" % _redis.free_port(), "--namespace", "x",
                  "leases")
    assert done.returncode == 3 and "cannot reach" in done.stderr

    # The environment names the target, the agent and (inside `run`) the tokens.
    env = environ(HALVEX_REDIS_URL=ns[1], HALVEX_NAMESPACE=ns[3], HALVEX_AGENT="envy")
    assert halvex("claim", "file:e", env=env).returncode == 0
    done = halvex("check", "file:e", env=dict(env, HALVEX_TOKENS="file:x=9\nfile:e=1"))
    assert done.returncode == 0 and "envy holds file:e with token 1" in done.stdout
    assert halvex("leases", env=dict(env, HALVEX_MCP_URL="http://127.0.0.1:9/mcp")
                  ).returncode == 2

    deleted = as_json(*ns, "delete-namespace", "--yes")
    assert deleted["deleted_keys"] > 0
    assert as_json(*ns, "leases") == [] and as_json(*ns, "agents") == []


@needs_faketime
def test_expired_leases_on_a_moved_clock(clocked):
    server, ns = clocked
    T0 = _faketime.T0
    assert halvex(*ns, "claim", "file:old", "--agent", "a").returncode == 0
    server.set_clock(T0 + 400)
    assert halvex(*ns, "claim", "file:new", "--agent", "b").returncode == 0
    rows = as_json(*ns, "leases")
    assert [(r["resource_key"], r["live"], r["expires_at"]) for r in rows] == [
        ("file:new", True, T0 + 700), ("file:old", False, T0 + 300)]
    table = halvex(*ns, "leases").stdout
    assert "expired 1m40s ago" in table and "5m00s" in table
    done = halvex(*ns, "check", "file:old", "--agent", "a", "--token", "1")
    assert (done.returncode, done.stderr) == (1, "lease on file:old expired 100 s ago\n")
    assert "6m40s ago" in halvex(*ns, "agents").stdout  # a's last call, by the server's clock


def test_run_holds_claims_around_a_command(ns, tmp_path):
    out = tmp_path / "env"
    script = 'printf "%s|%s" "$HALVEX_AGENT" "$HALVEX_TOKENS" > ' + str(out)
    done = halvex(*ns, "run", "--agent", "r", "--claim", "file:a b", "--claim", "task:9",
                  "--", "sh", "-c", script)
    assert done.returncode == 0, done.stderr
    assert out.read_text() == "r|file:a b=1\ntask:9=1"
    assert as_json(*ns, "leases") == []  # released at the end

    # A check from inside reads the agent and token from the environment.
    done = halvex(*ns, "run", "--agent", "r", "--claim", "task:9", "--",
                  *command(), *ns, "check", "task:9")
    assert done.returncode == 0 and "r holds task:9 with token 2" in done.stdout

    done = halvex(*ns, "run", "--agent", "r", "--claim", "task:9", "--", "sh", "-c", "exit 5")
    assert done.returncode == 5
    done = halvex(*ns, "run", "--agent", "r", "--claim", "task:9", "--", "sh", "-c",
                  "kill -TERM $$")
    assert done.returncode == 128 + signal.SIGTERM

    # All or none: the second key is held by another agent, so the first is let go.
    assert halvex(*ns, "claim", "file:held", "--agent", "other").returncode == 0
    done = halvex(*ns, "run", "--agent", "r", "--claim", "file:free", "--claim", "file:held",
                  "--", "sh", "-c", "touch " + str(tmp_path / "ran"))
    assert (done.returncode, done.stderr) == (1, "other already holds claim on held\n")
    assert not (tmp_path / "ran").exists()
    assert [r["resource_key"] for r in as_json(*ns, "leases")] == ["file:held"]

    done = halvex(*ns, "run", "--agent", "r", "--claim", "file:free", "--", "/no/such/program")
    assert done.returncode == 127
    assert halvex(*ns, "run", "--agent", "r", "--claim", "file:free").returncode == 2
    assert halvex(*ns, "run", "--agent", "r", "--claim", "free", "--", "true").returncode == 2
    assert [r["resource_key"] for r in as_json(*ns, "leases")] == ["file:held"]


@pytest.mark.parametrize("sig", [signal.SIGTERM, signal.SIGINT])
def test_run_forwards_signals_and_releases(ns, tmp_path, sig):
    mark = tmp_path / "got"
    child = ("import signal, sys, time\n"
             "def done(signum, _):\n"
             "    open(%r, 'w').write(str(signum)); sys.exit(7)\n"
             "signal.signal(%d, done)\n"
             "print('up', flush=True)\n"
             "time.sleep(60)\n" % (str(mark), sig))
    run = Lines(ns + ["run", "--agent", "r", "--claim", "file:f", "--", sys.executable,
                      "-c", child])
    try:
        assert run.next() == "up\n"
        run.proc.send_signal(sig)  # not from a terminal: run passes it on
        assert run.proc.wait(20) == 7
    finally:
        run.close()
    assert mark.read_text() == str(int(sig))
    assert as_json(*ns, "leases") == []


@needs_faketime
def test_run_stops_the_command_when_its_claim_is_taken_over(clocked):
    server, ns = clocked
    T0 = _faketime.T0
    # The command ignores SIGTERM, so it takes the SIGKILL after the grace
    # period; so does a worker it started, which would write on otherwise.
    child = ("import signal, subprocess, sys, time\n"
             "signal.signal(signal.SIGTERM, signal.SIG_IGN)\n"
             "worker = subprocess.Popen([sys.executable, '-c', 'import time; time.sleep(120)'])\n"
             "print('up', worker.pid, flush=True)\n"
             "time.sleep(120)\n")
    run = Lines(ns + ["run", "--agent", "r", "--claim", "file:f", "--renew-every", "2",
                      "--grace", "0.5", "--", sys.executable, "-c", child])
    try:
        worker = int(run.next().split()[1])
        # The lease runs out on the server's clock and another agent takes the
        # key over (again if a renewal slipped in between).
        for step in range(1, 6):
            server.set_clock(T0 + 301 * step)
            if halvex(*ns, "claim", "file:f", "--agent", "thief").returncode == 0:
                break
        else:
            raise AssertionError("the takeover never went through")
        # Noticed at the next renewal (2 s), then the 0.5 s grace: well before
        # the command's own 120 s.
        started = time.monotonic()
        assert run.proc.wait(90) == LOST
        took = time.monotonic() - started
        assert took < 60, took
        assert "claim lost" in run.proc.stderr.read()
        assert _gone(worker)
    finally:
        run.close()
    rows = as_json(*ns, "leases")
    assert [(r["holder"], r["token"]) for r in rows] == [("thief", 2)]


def _gone(pid):
    """Whether a process has ended (a zombie nobody reaped counts as ended)."""
    for _ in range(100):
        try:
            with open("/proc/%d/stat" % pid) as f:
                if f.read().rsplit(")", 1)[1].split()[0] == "Z":
                    return True
        except FileNotFoundError:
            return True
        time.sleep(0.05)
    return False


def test_watch_sees_what_other_processes_do(ns):
    watch = Lines(ns + ["watch", "-o", "json", "--count", "4", "--for", "30"])
    text = Lines(ns + ["watch", "--count", "1", "--for", "30"])
    try:
        await_clients(ns[1], "xread", 2)  # both are reading the log's end
        assert halvex(*ns, "claim", "file:w", "--agent", "a").returncode == 0
        assert halvex(*ns, "send", "--from", "a", "b", "hi").returncode == 0
        assert halvex(*ns, "broadcast", "--from", "b", "all").returncode == 0
        assert halvex(*ns, "release", "file:w", "--agent", "a").returncode == 0
        events = [json.loads(watch.next()) for _ in range(4)]
        assert watch.proc.wait(10) == 0
        assert [{k: v for k, v in e.items() if k not in ("id", "at")} for e in events] == [
            {"kind": "claimed", "agent": "a", "key": "file:w"},
            {"kind": "sent", "from": "a", "to": "b", "content": "hi"},
            {"kind": "broadcast", "from": "b", "content": "all"},
            {"kind": "released", "agent": "a", "key": "file:w"}]
        assert all(isinstance(e["at"], int) and e["id"] for e in events)
        assert text.next().rstrip().endswith("claimed   file:w  by a")
        assert text.proc.wait(10) == 0
    finally:
        watch.close()
        text.close()
    replayed = halvex(*ns, "watch", "--replay", "--for", "1.5", "-o", "json")
    assert [json.loads(line)["kind"] for line in replayed.stdout.splitlines()] == [
        "claimed", "sent", "broadcast", "released"]


def test_watched_views_mark_a_lost_target_and_recover(redis_server):
    server = _redis.RedisServer()
    ns = ["--redis", server.url, "--namespace", "live"]
    view = Lines(ns + ["leases", "--watch", "--interval", "0.3", "--for", "60", "-o", "json"])
    try:
        assert halvex(*ns, "claim", "file:x", "--agent", "a").returncode == 0
        # Each change shows within 30 s: the view's retries after a stop take
        # about 2.5 s, longer on a loaded machine.
        deadline = time.monotonic() + 30
        while not json.loads(view.next()).get("leases"):
            assert time.monotonic() < deadline
        server.stop()
        deadline = time.monotonic() + 30
        while "error" not in json.loads(view.next()):
            assert time.monotonic() < deadline
        server.start()  # the same port; the data is gone (no persistence)
        assert halvex(*ns, "claim", "file:y", "--agent", "b").returncode == 0
        deadline = time.monotonic() + 30
        while [r["resource_key"] for r in json.loads(view.next()).get("leases", [])] != [
                "file:y"]:
            assert time.monotonic() < deadline
        # The table form: a title that says when it was updated, then one
        # that says it is disconnected.
        done = halvex(*ns, "agents", "--watch", "--interval", "0.2", "--for", "0.5")
        assert done.returncode == 0 and "updated" in done.stdout and "b" in done.stdout
        server.stop()
        done = halvex(*ns, "leases", "--watch", "--interval", "0.2", "--for", "0.5")
        assert done.returncode == 0 and "DISCONNECTED" in done.stdout
    finally:
        view.close()
        server.close()


# ---- over a real halvex-mcp --http (the MCP stage) ----------------------------

@pytest.fixture
def mcp_sdk():
    if os.environ.get("HALVEX_MCP_REQUIRED") != "1":
        pytest.importorskip("mcp", reason="the MCP SDK is not installed (it needs Python 3.10+)")
        if os.name != "posix":  # the servers are POSIX processes tied to the test run
            pytest.skip("halvex-mcp test servers run on POSIX only")


@pytest.fixture
def mcp_url(mcp_sdk):
    import _mcp

    with _mcp.HttpServer(env=_mcp.environ()) as server:
        yield server.url
        server.stop()


@pytest.mark.mcp
def test_commands_over_mcp(mcp_url):
    mcp = ["--mcp", mcp_url]
    assert halvex(*mcp, "claim", "file:m", "--agent", "a").returncode == 0
    done = halvex(*mcp, "claim", "file:m", "--agent", "b")
    assert (done.returncode, done.stderr) == (1, "a already holds claim on m\n")
    assert halvex(*mcp, "renew", "file:m", "--agent", "a").returncode == 0
    assert as_json(*mcp, "send", "--from", "a", "b", "over mcp")["content"] == "over mcp"
    assert [m["content"] for m in as_json(*mcp, "inbox", "b", "--drain")] == ["over mcp"]
    assert as_json(*mcp, "inbox", "b") == []
    assert halvex(*mcp, "release", "file:m", "--agent", "a").returncode == 0
    for args in (["watch"], ["delete-namespace", "--yes"]):
        done = halvex(*mcp, *args)
        assert done.returncode == 2 and len(done.stderr.splitlines()) == 1, done.stderr
        assert "--redis" in done.stderr
    # The views, once the server offers them; until then a usage error that says so.
    done = halvex(*mcp, "leases", "-o", "json")
    assert done.returncode == 0 or (done.returncode == 2
                                    and "offers no tool leases" in done.stderr), done.stderr


@pytest.mark.mcp
def test_mcp_target_unreachable(mcp_sdk):
    done = halvex("--mcp", "http://127.0.0.1:%d/mcp" % _redis.free_port(), "inbox", "a")
    assert done.returncode == 3 and "no MCP session" in done.stderr
