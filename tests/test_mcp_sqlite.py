"""halvex-mcp on the SQLite state: servers started per call or per agent in
one git repository share a state with nothing else running; bad state files
stop the start; --memory is private. Real server processes, driven by the
MCP SDK's client."""

import os
import shutil
import sqlite3
import subprocess
import tempfile
import time

import pytest

import _mcp

pytestmark = pytest.mark.mcp

if os.environ.get("HALVEX_MCP_REQUIRED") != "1":
    pytest.importorskip("mcp", reason="the MCP SDK is not installed (it needs Python 3.10+)")
    if os.name != "posix":  # the servers are POSIX processes tied to the test run (see _redis)
        pytest.skip("halvex-mcp test servers run on POSIX only", allow_module_level=True)

import anyio  # noqa: E402
from mcp import Client, StdioServerParameters  # noqa: E402

from halvex_mcp.client import RemoteState  # noqa: E402


def repo_env():
    """The servers' environment in a repository: no HALVEX_STATE, so the
    state is the repository's own file."""
    env = _mcp.environ()
    del env["HALVEX_STATE"]
    return env


@pytest.fixture
def repo():
    """A git repository with a second worktree; yields (main, worktree)."""
    git = shutil.which("git")
    if git is None:
        pytest.skip("git is not installed")
    with tempfile.TemporaryDirectory() as top:
        main = os.path.join(top, "main")
        env = dict(os.environ, GIT_AUTHOR_NAME="t", GIT_AUTHOR_EMAIL="t@example.com",
                   GIT_COMMITTER_NAME="t", GIT_COMMITTER_EMAIL="t@example.com")

        def run(*args, cwd=main):
            subprocess.run([git, *args], cwd=cwd, env=env, check=True, capture_output=True,
                           timeout=60)

        os.mkdir(main)
        run("init", "-q")
        run("commit", "-q", "--allow-empty", "-m", "start")
        run("worktree", "add", "-q", os.path.join(top, "other"))
        yield main, os.path.join(top, "other")


def stdio_in(cwd, *args):
    cmd = _mcp.command()
    return Client(StdioServerParameters(command=cmd[0], args=cmd[1:] + list(args),
                                        env=repo_env(), cwd=cwd))


async def one_call(cwd, agent, tool, arguments):
    """A server process for this one call, as clients that start one per
    call do: the result, or the refusal's text."""
    async with stdio_in(cwd, "--agent", agent) as client:
        reply = await client.call_tool(tool, arguments)
    return reply.content[0].text if reply.is_error else reply.structured_content["result"]


def test_mcp_server_per_call_keeps_claims_for_the_next_process(repo):
    main, worktree = repo
    started = time.monotonic()
    assert anyio.run(one_call, main, "a", "claim_file", {"path": "src/app.py"}) == "a"
    per_call = time.monotonic() - started
    # The next process, in the other worktree: the claim is there, held by a.
    lease = anyio.run(one_call, worktree, "b", "lease", {"resource_key": "file:src/app.py"})
    assert (lease["holder"], lease["token"], lease["live"]) == ("a", 1, True)
    assert anyio.run(one_call, worktree, "b", "claim_file", {"path": "src/app.py"}) == \
        "a already holds claim on src/app.py"
    assert anyio.run(one_call, main, "a", "renew_claim", {"resource_key": "file:src/app.py"}) == "a"
    # One state file for the repository, in its git common folder.
    assert os.path.exists(os.path.join(main, ".git", "halvex", "state.db"))
    assert not os.path.exists(os.path.join(worktree, ".git", "halvex"))  # .git is a file there
    # a's server for release_all ends a's claims for good.
    assert anyio.run(one_call, main, "a", "release_all", {}) == ["file:src/app.py"]
    assert anyio.run(one_call, worktree, "b", "claim_file", {"path": "src/app.py"}) == "b"
    assert per_call < 30, per_call  # a start, one call and an exit


def test_mcp_pinned_servers_of_two_agents_share_the_repository_state(repo):
    main, worktree = repo
    import halvex_sqlite

    async def body():
        async with stdio_in(main, "--agent", "a") as a, stdio_in(worktree, "--agent", "b") as b:
            assert not (await a.call_tool("claim_task", {"task_id": "t1"})).is_error
            refused = await b.call_tool("claim_task", {"task_id": "t1"})
            assert refused.is_error and refused.content[0].text == "a already holds claim on task t1"

            async def send_later():
                await anyio.sleep(0.3)
                await b.call_tool("send_message", {"to_agent": "a", "content": "hi"})

            async with anyio.create_task_group() as tg:
                tg.start_soon(send_later)
                got = await a.call_tool("wait_inbox", {"timeout": 20})
            assert [m[:3] for m in got.structured_content["result"]] == [["b", "a", "hi"]]
            confirmed = await a.call_tool("acknowledge", {"ack": got.structured_content["ack"]})
            assert confirmed.structured_content["result"] == 1
            assert not (await b.call_tool("claim_task", {"task_id": "t2"})).is_error
            agents = (await b.call_tool("agents", {})).structured_content["result"]
            return {info["agent_id"] for info in agents}

    assert anyio.run(body) == {"a", "b"}
    # Both servers ended; the claim stays, in the file the halvex command reads too.
    state = halvex_sqlite.CoordinationState(os.path.join(main, ".git", "halvex", "state.db"))
    try:
        assert state.lease("task:t1")[1:3] == ("a", 1)
        assert state.inbox("a") == []  # the wait's batch, acknowledged
    finally:
        state.close()


def start(*args, env=None):
    return subprocess.run(_mcp.command() + list(args), env=env or _mcp.environ(), timeout=60,
                          stdin=subprocess.DEVNULL, capture_output=True, text=True)


def refusal_of(path):
    """halvex_sqlite's own words for the file at `path`."""
    import halvex_sqlite

    with pytest.raises(halvex_sqlite.StateFileError) as caught:
        halvex_sqlite.CoordinationState(path)
    return str(caught.value)


def test_mcp_bad_state_files_stop_the_start():
    with tempfile.TemporaryDirectory() as folder:
        damaged = os.path.join(folder, "damaged.db")
        with open(damaged, "wb") as f:
            f.write(b"not a database, not at all " * 200)
        newer = os.path.join(folder, "newer.db")
        assert start("--state", newer).returncode == 0
        with sqlite3.connect(newer) as db:
            db.execute("PRAGMA user_version=999")
        foreign = os.path.join(folder, "foreign.db")
        with sqlite3.connect(foreign) as db:
            db.execute("CREATE TABLE notes (x)")
        blocked = os.path.join(folder, "file", "state.db")  # its folder is a file
        open(os.path.join(folder, "file"), "w").close()
        cases = [damaged, newer, foreign, blocked]
        if os.geteuid() != 0:  # root writes anyway
            readonly = os.path.join(folder, "ro")
            os.mkdir(readonly)
            assert start("--state", os.path.join(readonly, "s.db")).returncode == 0
            os.chmod(os.path.join(readonly, "s.db"), 0o400)
            os.chmod(readonly, 0o500)
            cases.append(os.path.join(readonly, "s.db"))
        # Over stdio and HTTP, named by --state or HALVEX_STATE.
        hows = [["--state"], ["--http", "0", "--state"], ["--agent", "a"]]
        for n, path in enumerate(cases):
            said = refusal_of(path)
            assert path in said
            how = hows[n % len(hows)]
            env = _mcp.environ(HALVEX_STATE=path) if how[-1] == "a" else None
            done = start(*how, *([] if env else [path]), env=env)
            assert (done.returncode, done.stderr) == (2, "halvex-mcp: %s\n" % said), how
        # A good file: the start's log names it, and the namespace.
        good = os.path.join(folder, "good.db")
        done = start("--state", good, "--namespace", "team")
        assert done.returncode == 0 and "state in %s, namespace 'team'" % good in done.stderr


def test_mcp_memory_state_is_private_and_removed():
    with _mcp.HttpServer("--memory") as one, _mcp.HttpServer("--memory") as two:
        with RemoteState(one.url) as a, RemoteState(two.url) as b:
            a.claim_file("a", "x")
            assert b.claim_file("b", "x") == "b" and b.leases()[0].holder == "b"
            assert a.leases()[0].holder == "a"
        folder = [line for line in one.log if "state private to this process" in line][0]
        folder = os.path.dirname(folder.split("(in ")[1].split(",")[0])
        assert os.path.isdir(folder)
        assert one.stop() == 0
    assert not os.path.exists(folder)
    # Nor does it touch the default state.
    env = _mcp.environ()
    assert start("--memory", env=env).returncode == 0 and not os.path.exists(env["HALVEX_STATE"])


def test_mcp_help_says_where_the_state_is_and_how_claims_go():
    shown = "".join(start("--help").stdout.split())  # wrapped anywhere
    for words in ("--state PATH", "--memory", "HALVEX_STATE", "<git common dir>/halvex/state.db",
                  "--release-on-exit", "300 s after the last renewal", "release_all",
                  "halvex release-all"):
        assert words.replace(" ", "") in shown, words
    assert "--namespace does not apply to --memory" in start("--memory", "--namespace", "n").stderr
    assert start("--memory", "--redis", "redis://127.0.0.1:1/0").returncode == 2
