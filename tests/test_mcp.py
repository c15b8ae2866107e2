"""halvex-mcp as real server processes, driven by the MCP SDK's client.

Skipped where the SDK cannot be imported (it needs Python 3.10+), unless
HALVEX_MCP_REQUIRED=1 (the MCP stage), where that is a failure.
"""

import inspect
import json
import multiprocessing
import os
import signal
import subprocess
import tempfile
import time
from collections import defaultdict
from importlib.metadata import version

import pytest

import _mcp
import halvex_core
from _support import METHODS

pytestmark = pytest.mark.mcp

if os.environ.get("HALVEX_MCP_REQUIRED") != "1":
    pytest.importorskip("mcp", reason="the MCP SDK is not installed (it needs Python 3.10+)")
    if os.name != "posix":  # the servers are POSIX processes tied to the test run (see _redis)
        pytest.skip("halvex-mcp test servers run on POSIX only", allow_module_level=True)

import anyio  # noqa: E402
import httpx2  # noqa: E402
from mcp import Client, StdioServerParameters  # noqa: E402
from mcp.shared.exceptions import MCPError  # noqa: E402

from halvex_mcp.client import connect  # noqa: E402


def stdio(*args):
    cmd = _mcp.command()
    return Client(StdioServerParameters(command=cmd[0], args=cmd[1:] + list(args), env=_mcp.environ()))


def result_of(reply):
    """A successful call's result; its text content is the same JSON."""
    assert not reply.is_error, reply.content
    assert json.loads(reply.content[0].text) == reply.structured_content
    return reply.structured_content["result"]


def refusal(reply):
    assert reply.is_error and reply.structured_content is None
    return reply.content[0].text


def unstamped(value):
    """`value` with every timestamp (the only ints) checked against now and set to 0."""
    if isinstance(value, list):
        return [unstamped(v) for v in value]
    if isinstance(value, int):
        assert abs(value - time.time()) < 5
        return 0
    return value


CALLS = [  # (method, arguments by position), in order, on one fresh state
    ("claim_file", "a", "src/x.py"), ("claim_file", "b", "src/x.py"), ("claim_task", "b", "t1"),
    ("claim_task", "a", "t1"), ("claim_file", "", ""), ("renew_claim", "a", "file:src/x.py"),
    ("renew_claim", "b", "file:src/x.py"), ("renew_claim", "a", "file:nowhere"),
    ("release", "b", "file:src/x.py"), ("release", "a", "file:src/x.py"),
    ("release", "a", "file:src/x.py"), ("send_message", "a", "b", "héllo\x00 ✓"),
    ("broadcast", "b", "all"), ("inbox", "b"), ("drain_inbox", "b"), ("drain_inbox", "b"),
    ("status", "a"), ("status", "b"), ("status", "nobody"),
]


def test_mcp_stdio_tools_and_results_match_the_class():
    native = halvex_core.CoordinationState()

    async def body():
        async with stdio() as client:
            assert "file:<path>" in client.instructions and "renew" in client.instructions
            tools = (await client.list_tools()).tools
            assert [t.name for t in tools] == list(METHODS)
            for tool in tools:
                params = list(METHODS[tool.name])
                assert tool.input_schema == {
                    "type": "object", "properties": {p: {"type": "string"} for p in params},
                    "required": params, "additionalProperties": False}
                doc = getattr(halvex_core.CoordinationState, tool.name).__doc__
                assert tool.description and tool.description.startswith(inspect.cleandoc(doc or ""))
            for name, *args in CALLS:
                reply = await client.call_tool(name, dict(zip(METHODS[name], args)))
                try:
                    want = json.loads(json.dumps(getattr(native, name)(*args)))
                except RuntimeError as err:
                    assert refusal(reply) == err.args[0], (name, args)
                else:
                    assert unstamped(result_of(reply)) == unstamped(want), (name, args)

    anyio.run(body)


def test_mcp_bad_input_is_refused_and_the_server_keeps_answering():
    at_limit = "é" * (64 * 1024 // 2)  # 65,536 bytes of UTF-8

    async def body():
        async with stdio() as client:
            for args, text in [
                ({"agent_id": "a"}, "missing argument 'path'; claim_file takes agent_id, path"),
                ({"agent_id": "a", "path": "p", "mode": "w"},
                 "unexpected argument 'mode'; claim_file takes agent_id, path"),
                ({"agent_id": 7, "path": "p"}, "argument 'agent_id' must be a string, not number"),
                ({"agent_id": "a", "path": None}, "argument 'path' must be a string, not null"),
                ({"agent_id": ["a"], "path": {}}, "argument 'agent_id' must be a string, not array"),
                ({"agent_id": True, "path": "p"}, "argument 'agent_id' must be a string, not boolean"),
                ({"agent_id": "a", "path": "x" * (10 << 20)},
                 "argument 'path' is too large (10485760 characters); the limit is 65536 bytes of UTF-8"),
                ({"agent_id": "a", "path": at_limit + "é"},
                 "argument 'path' is too large (65538 bytes); the limit is 65536 bytes of UTF-8"),
            ]:
                assert refusal(await client.call_tool("claim_file", args)) == "invalid arguments for claim_file: " + text
            with pytest.raises(MCPError, match="Unknown tool: claim_everything"):
                await client.call_tool("claim_everything", {})
            assert result_of(await client.call_tool("claim_file", {"agent_id": "a", "path": at_limit})) == "a"
            # Nothing refused reached the state: "p" was never claimed.
            assert result_of(await client.call_tool("claim_file", {"agent_id": "b", "path": "p"})) == "b"

    anyio.run(body)


def test_mcp_http_race_of_four_client_processes():
    workers = 4
    with _mcp.HttpServer() as server, tempfile.TemporaryDirectory() as markers:
        ctx = multiprocessing.get_context("spawn")
        with ctx.Manager() as manager, ctx.Pool(workers) as pool:
            barrier = manager.Barrier(workers)
            results = pool.starmap_async(_mcp.race, [(server.url, i, 120, markers, barrier)
                                                     for i in range(workers)], chunksize=1).get(240)

        async def last_drains():
            async with connect(server.url) as client:
                return [(box, float("inf"), float("inf"), _mcp.parse(result_of(
                    await client.call_tool("drain_inbox", {"agent_id": box})))) for box in _mcp.BOXES]

        batches = [b for r in results for b in r["batches"]] + anyio.run(last_drains)
        assert server.stop() == 0

    assert sum(r["overlaps"] for r in results) == 0
    assert sum(r["grants"] for r in results) > 0 and sum(r["refusals"] for r in results) > 0
    runs = defaultdict(list)  # (box, sender) -> [(started, ended, its sequence numbers)]
    for box, started, ended, got in batches:
        for sender in {s for s, _n in got}:
            runs[box, sender].append((started, ended, [n for s, n in got if s == sender]))
    for r in results:
        for box in _mcp.BOXES:
            mine = runs[box, r["agent"]]
            # Each message drained exactly once, each batch in the sender's order...
            assert sorted(n for _s, _e, seqs in mine for n in seqs) == r["sent"][box]
            assert all(seqs == sorted(seqs) for _s, _e, seqs in mine)
            # ...and a batch drained wholly before another holds only earlier ones.
            assert all(a[-1] < b[0] for _s, a_end, a in mine for b_start, _e, b in mine if a_end < b_start)


def test_mcp_http_token_host_checks_and_bad_requests():
    token = "s3cret-token"
    with _mcp.HttpServer(env=_mcp.environ(HALVEX_MCP_TOKEN=token)) as server:
        accept = {"Accept": "application/json, text/event-stream", "Content-Type": "application/json"}
        auth = dict(accept, Authorization="Bearer " + token)
        ping = b'{"jsonrpc": "2.0", "id": 1, "method": "ping"}'
        with httpx2.Client(timeout=30) as http:
            for wrong in ({}, {"Authorization": "Bearer wrong"}, {"Authorization": token},
                          {"Authorization": "Basic " + token}):
                reply = http.post(server.url, content=ping, headers=dict(accept, **wrong))
                assert reply.status_code == 401 and reply.headers["www-authenticate"] == "Bearer"
            # DNS rebinding protection stays on behind the token.
            assert http.post(server.url, content=ping, headers=dict(auth, Host="evil.example")).status_code == 421
            assert http.post(server.url, content=ping,
                             headers=dict(auth, Origin="http://evil.example")).status_code == 403
            for raw in (b"{not json", b"[]", b'{"jsonrpc": "2.0", "id": 1}', b"null"):
                reply = http.post(server.url, content=raw, headers=auth)
                assert reply.status_code == 400 and reply.json()["error"]["code"] in (-32700, -32602), raw
            assert http.post(server.url, content=b" " * (17 << 20), headers=auth).status_code == 413

        async def calls():
            async with connect(server.url, token) as client:
                reply = await client.call_tool("send_message", {"from_agent": "a", "to_agent": "b",
                                                                "content": "x" * (10 << 20)})
                assert "argument 'content' is too large" in refusal(reply)
                assert result_of(await client.call_tool("claim_task", {"agent_id": "a", "task_id": "7"})) == "a"

        anyio.run(calls)
        assert server.stop(signal.SIGINT) == 0
    assert "bearer token required" in server.log[0] and "stopping on SIGINT" in "".join(server.log)


def test_mcp_command_line():
    def cli(*args, **env):
        return subprocess.run(_mcp.command() + list(args), env=_mcp.environ(**env), timeout=60,
                              stdin=subprocess.DEVNULL, capture_output=True, text=True)

    refused = cli("--http", "0.0.0.0:0", HALVEX_MCP_TOKEN="")
    assert refused.returncode == 2 and "refusing to serve on 0.0.0.0 without a token" in refused.stderr
    assert cli("--http", "127.0.0.1:0", "--token", "has space").returncode == 2
    assert cli("--namespace", "n").returncode == 2
    assert "cannot reach Redis" in cli("--redis", "redis://127.0.0.1:1/0").stderr
    shown = cli("--help").stdout
    assert all(flag in shown for flag in ("--http", "--token", "HALVEX_MCP_TOKEN", "--allow-host",
                                          "--redis", "--namespace", "--agent", "--log-level", "--version"))
    assert cli("--version").stdout.startswith("halvex-mcp %s (mcp 2." % version("halvex_core"))
    # A stdio server waiting for its client's next line still stops at once.
    idle = subprocess.Popen(_mcp.command(), stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, env=_mcp.environ())
    for line in idle.stderr:
        if b"serving MCP on stdio" in line:
            break
    idle.send_signal(signal.SIGTERM)
    out, err = idle.communicate(timeout=15)
    assert idle.returncode == 0 and out == b"" and b"stopping on SIGTERM" in err


def test_mcp_agent_pinning():
    async def body():
        async with stdio("--agent", "alice") as client:
            tools = {t.name: t for t in (await client.list_tools()).tools}
            for name, params in METHODS.items():
                assert tools[name].input_schema["required"] == [
                    p for p in params if p not in ("agent_id", "from_agent")]
            assert '"alice"' in tools["inbox"].description
            assert result_of(await client.call_tool("claim_file", {"path": "p"})) == "alice"
            assert refusal(await client.call_tool("claim_file", {"agent_id": "mallory", "path": "q"})) == \
                "invalid arguments for claim_file: unexpected argument 'agent_id': this server acts as agent \"alice\""
            sent = result_of(await client.call_tool("send_message", {"to_agent": "alice", "content": "note"}))
            assert sent[:3] == ["alice", "alice", "note"]
            assert result_of(await client.call_tool("drain_inbox", {})) == [sent]
            assert result_of(await client.call_tool("status", {})) == "busy"

    anyio.run(body)


def test_mcp_redis_backend_shared_by_servers(redis_server):
    """A stdio and an HTTP server on one namespace share what halvex_redis sees."""
    import halvex_redis

    namespace = "mcp-%d" % os.getpid()
    direct = halvex_redis.CoordinationState(redis_server.url, namespace=namespace)
    backend = ["--redis", redis_server.url, "--namespace", namespace]

    async def body(http_url):
        async with stdio(*backend, "--agent", "bob") as bob, connect(http_url) as shared:
            assert result_of(await bob.call_tool("claim_file", {"path": "f"})) == "bob"
            assert refusal(await shared.call_tool("claim_file", {"agent_id": "carol", "path": "f"})) \
                == "bob already holds claim on f"
            await shared.call_tool("send_message", {"from_agent": "carol", "to_agent": "bob", "content": "hi"})
            assert [m[:3] for m in result_of(await bob.call_tool("inbox", {}))] == [["carol", "bob", "hi"]]
            assert direct.status("bob") == "busy"
            assert result_of(await bob.call_tool("release", {"resource_key": "file:f"})) is None

    try:
        with _mcp.HttpServer(*backend) as server:
            anyio.run(body, server.url)
        assert direct.claim_file("dave", "f") == "dave"
        assert [m[:3] for m in direct.drain_inbox("bob")] == [("carol", "bob", "hi")]
    finally:
        halvex_redis.delete_namespace(namespace, redis_server.url)
