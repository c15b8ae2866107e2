"""Per-agent bearer tokens on `halvex-mcp --http --credentials FILE`: real
server processes, tokens made by the `halvex` command, the SDK's client."""

import json
import os
import signal
import subprocess
import sys
import time

import pytest

import _mcp

pytestmark = pytest.mark.mcp

if os.environ.get("HALVEX_MCP_REQUIRED") != "1":
    pytest.importorskip("mcp", reason="the MCP SDK is not installed (it needs Python 3.10+)")
    if os.name != "posix":
        pytest.skip("halvex-mcp test servers run on POSIX only", allow_module_level=True)

import httpx2  # noqa: E402
from halvex_mcp.client import RemoteState  # noqa: E402


def new_token(name, role):
    made = json.loads(subprocess.run([sys.executable, "-m", "halvex_cli", "token", "new", name, "--role", role,
                                      "-o", "json"], check=True, capture_output=True, text=True).stdout)
    return made["token"], made["line"] + "\n"


def credentials(tmp_path, *entries):
    made = {name: new_token(name, role) for name, role in entries}
    path = tmp_path / "credentials"
    path.write_text("# name role hash\n" + "".join(line for _, line in made.values()))
    return path, {name: token for name, (token, _) in made.items()}


def refused(call, *args):
    with pytest.raises(RuntimeError) as err:
        call(*args)
    return str(err.value)


def test_agent_observer_and_admin_roles(tmp_path):
    path, tokens = credentials(tmp_path, ("agent-a", "agent"), ("agent-b", "agent"),
                               ("watcher", "observer"), ("boss", "admin"))
    with _mcp.HttpServer("--credentials", str(path)) as server, \
            RemoteState(server.url, tokens["agent-a"]) as a, \
            RemoteState(server.url, tokens["agent-b"]) as b, \
            RemoteState(server.url, tokens["watcher"]) as watcher, \
            RemoteState(server.url, tokens["boss"]) as boss:
        # An agent may leave its identity out, or name itself.
        a.structured("claim_file", path="src/x.py")
        a.send_message("agent-a", "agent-a", "note to self")
        boss.send_message("agent-c", "agent-a", "secret for A")
        assert a.lease("file:src/x.py").holder == "agent-a"
        for call, args in [(b.release, ("agent-a", "file:src/x.py")), (b.release_all, ("agent-a",)),
                           (b.drain_inbox, ("agent-a",)), (b.send_message, ("agent-a", "agent-c", "forged"))]:
            assert 'this token acts as agent "agent-b" only' in refused(call, *args)
        assert [m[2] for m in a.inbox("agent-a")] == ["note to self", "secret for A"]
        assert [x.resource_key for x in watcher.leases("")] == ["file:src/x.py"]
        assert "may only read" in refused(watcher.claim_task, "watcher", "t1")
        assert "may only read" in refused(watcher.release_all, "agent-a")
        boss.send_message("agent-a", "agent-b", "as A")
        assert boss.release_all("agent-a") == ["file:src/x.py"]
        assert [m[2] for m in b.drain_inbox("agent-b")] == ["as A"]
        with httpx2.Client(timeout=30) as http:
            reply = http.post(server.url, headers=dict(_mcp.ACCEPT, Authorization="Bearer nope"),
                              content=b'{"jsonrpc": "2.0", "id": 1, "method": "ping"}')
            assert reply.status_code == 401 and reply.json()["error"]["code"] < 0
            board = server.url.replace("/mcp", "/board")  # any role's token signs in
            assert http.post(board + "/login", data={"token": "nope"}).status_code == 401
            assert http.post(board + "/login", data={"token": tokens["watcher"]}).status_code == 303
            page = http.get(board).text  # the board itself, with the cookie
            http.cookies.clear()
            assert http.get(board).text != page
    assert not any(token in line for token in tokens.values() for line in server.log)


def reload(server, text, timeout=20):
    server.proc.send_signal(signal.SIGHUP)
    deadline = time.monotonic() + timeout
    while not any(text in line for line in server.log):
        assert time.monotonic() < deadline, "".join(server.log)
        time.sleep(0.05)


def test_sighup_reloads_without_dropping_sessions(tmp_path):
    path, tokens = credentials(tmp_path, ("agent-a", "agent"))
    first = path.read_text()
    _, line_b = new_token("agent-b", "observer")
    with _mcp.HttpServer("--credentials", str(path)) as server, \
            RemoteState(server.url, tokens["agent-a"]) as a:
        a.structured("claim_task", task_id="t1")
        path.write_text(path.read_text() + line_b)
        reload(server, "credentials reloaded: 2 entries")
        assert a.lease("task:t1").holder == "agent-a"  # the same session goes on
        path.write_text("not a credentials line\n")
        reload(server, "the previous ones stay")
        hashed = line_b.split()[2]
        path.write_text(line_b + "root admin %s\n" % hashed)  # one token, two identities
        reload(server, "line 2: the same token as the entry of agent-b (observer)")
        a.structured("renew_claim", resource_key="task:t1")
        path.write_text(line_b)  # agent-a's token taken out
        reload(server, "credentials reloaded: 1 entries")
        with pytest.raises(Exception) as err:
            a.lease("task:t1")
        assert "bearer token" in str(err.value), err.value
        path.write_text("\ufeff" + first + line_b + new_token("agent-c", "agent")[1])  # with a BOM
        reload(server, "credentials reloaded: 3 entries")
        a.structured("renew_claim", resource_key="task:t1")  # as agent-a, not "\ufeffagent-a"
        assert server.proc.poll() is None


def test_admin_resets_a_task_another_agent_failed(tmp_path):
    """reset_task: an agent's token may reset only what it failed itself,
    whichever id it passes; an admin's token resets it as the agent that failed it."""
    path, tokens = credentials(tmp_path, ("agent-a", "agent"), ("agent-b", "agent"),
                               ("boss", "admin"))
    with _mcp.HttpServer("--credentials", str(path), "--task-tools") as server, \
            RemoteState(server.url, tokens["agent-a"]) as a, \
            RemoteState(server.url, tokens["agent-b"]) as b, \
            RemoteState(server.url, tokens["boss"]) as boss:
        a.add_task("agent-a", "t1", "build")
        a.add_task("agent-a", "t2", "ship", ["t1"])
        assert a.claim_next("agent-a").task.task_id == "t1"
        a.fail_task("agent-a", "t1", "flaky disk")
        assert "agent-b cannot reset task t1: agent-a failed it" in refused(b.reset_task, "agent-b", "t1")
        assert 'this token acts as agent "agent-b" only' in refused(b.reset_task, "agent-a", "t1")
        assert "boss cannot reset task t1: agent-a failed it" in refused(boss.reset_task, "boss", "t1")
        assert [t.state for t in b.tasks("")] == ["failed", "blocked"]
        assert boss.reset_task("agent-a", "t1").state == "ready"
        got = b.claim_next("agent-b").task
        assert (got.task_id, got.token) == ("t1", 2)
        b.fail_task("agent-b", "t1", "again")
        assert b.reset_task("agent-b", "t1").state == "ready"  # its own failure


@pytest.mark.parametrize("backend", ["sqlite", pytest.param("redis", marks=pytest.mark.redis)])
def test_only_an_admin_deletes_the_namespace(tmp_path, request, backend):
    path, tokens = credentials(tmp_path, ("agent-a", "agent"), ("watcher", "observer"), ("boss", "admin"))
    where = ["--state", str(tmp_path / "state.db")]
    if backend == "redis":
        where = ["--redis", request.getfixturevalue("redis_server").url, "--namespace", "del-%d" % os.getpid()]
    with _mcp.HttpServer("--credentials", str(path), "--task-tools", *where) as server, \
            RemoteState(server.url, tokens["agent-a"]) as a, \
            RemoteState(server.url, tokens["watcher"]) as watcher, \
            RemoteState(server.url, tokens["boss"]) as boss:
        a.structured("claim_file", path="src/x.py")
        a.structured("add_task", task_id="t1", title="one")
        a.send_message("agent-a", "agent-b", "hello")
        # Only the admin's list carries the tool; the others' calls are refused all the same.
        assert "delete_namespace" in boss.params and "delete_namespace" not in a.params
        for who in (a, watcher):
            result = who._portal.call(who._client.call_tool, "delete_namespace", {}, 30)
            assert result.is_error
            assert result.content[0].text == "delete_namespace refused: only an admin's token may call delete_namespace"
        def delete(token):  # through the command, as an operator would
            return subprocess.run([sys.executable, "-m", "halvex_cli", "--mcp", server.url, "--token", token,
                                   "delete-namespace", "--yes", "-o", "json"], capture_output=True, text=True)

        assert "only to an admin's token" in delete(tokens["agent-a"]).stderr
        assert json.loads(delete(tokens["boss"]).stdout)["deleted_keys"] >= 4
        assert (boss.leases(""), boss.agents(), boss.inbox("agent-b"), boss.tasks("")) == ([], [], [], [])
        # The state serves on, with tokens that never repeat.
        a.structured("claim_file", path="src/x.py")
        assert a.lease("file:src/x.py").token > 1


def test_new_tokens_never_read_as_an_option():
    from halvex_mcp.credentials import new_token as mint

    assert not any(mint().startswith("-") for _ in range(2000))  # one in 64 did
