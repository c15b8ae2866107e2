"""halvex-mcp, run as real server processes and driven by the MCP SDK's client.

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
from collections import defaultdict

import pytest

import _mcp
import halvex_core
from _support import METHODS

if os.environ.get("HALVEX_MCP_REQUIRED") != "1":
    pytest.importorskip("mcp", reason="the MCP SDK is not installed (it needs Python 3.10+)")

import anyio  # noqa: E402
import httpx2  # noqa: E402
from mcp import Client, StdioServerParameters  # noqa: E402
from mcp.shared.exceptions import MCPError  # noqa: E402

from halvex_mcp.client import connect  # noqa: E402
from halvex_mcp.tools import MAX_ARG_BYTES  # noqa: E402

IDENTITY = ("agent_id", "from_agent")


def stdio(*args, env=None):
    cmd = _mcp.command()
    return Client(StdioServerParameters(command=cmd[0], args=cmd[1:] + list(args),
                                        env=env or _mcp.environ()))


def run(body):
    anyio.run(body)


def result_of(reply):
    """The JSON result of a successful call; its text content says the same."""
    assert not reply.is_error, reply.content
    assert json.loads(reply.content[0].text) == reply.structured_content
    return reply.structured_content["result"]


def refusal(reply):
    assert reply.is_error and reply.structured_content is None
    return reply.content[0].text


def native(state, name, args):
    """The in-process method's result as JSON data, or its RuntimeError text."""
    try:
        return ("ok", json.loads(json.dumps(getattr(state, name)(**args))))
    except RuntimeError as err:
        return ("refused", err.args[0])


def unstamped(value):
    """`value` with each message's timestamp taken out, and the timestamps."""
    if isinstance(value, list) and len(value) == 4 and isinstance(value[3], int):
        return value[:3], [value[3]]
    if isinstance(value, list):
        parts = [unstamped(v) for v in value]
        return [p[0] for p in parts], [s for p in parts for s in p[1]]
    return value, []


CALLS = [
    ("claim_file", {"agent_id": "a", "path": "src/x.py"}),
    ("claim_file", {"agent_id": "b", "path": "src/x.py"}),
    ("claim_task", {"agent_id": "b", "task_id": "t1"}),
    ("claim_task", {"agent_id": "a", "task_id": "t1"}),
    ("claim_file", {"agent_id": "", "path": ""}),
    ("renew_claim", {"agent_id": "a", "resource_key": "file:src/x.py"}),
    ("renew_claim", {"agent_id": "b", "resource_key": "file:src/x.py"}),
    ("renew_claim", {"agent_id": "a", "resource_key": "file:nowhere"}),
    ("release", {"agent_id": "b", "resource_key": "file:src/x.py"}),
    ("release", {"agent_id": "a", "resource_key": "file:src/x.py"}),
    ("release", {"agent_id": "a", "resource_key": "file:src/x.py"}),
    ("send_message", {"from_agent": "a", "to_agent": "b", "content": "héllo\x00 ✓"}),
    ("broadcast", {"from_agent": "b", "content": "all"}),
    ("inbox", {"agent_id": "b"}),
    ("drain_inbox", {"agent_id": "b"}),
    ("drain_inbox", {"agent_id": "b"}),
    ("inbox", {"agent_id": "a"}),
    ("status", {"agent_id": "a"}),
    ("status", {"agent_id": "b"}),
    ("status", {"agent_id": "nobody"}),
]


def test_mcp_stdio_tools_and_results_match_the_class():
    expected_state = halvex_core.CoordinationState()

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
                assert tool.description.startswith(inspect.cleandoc(doc or "")) and tool.description
            called = set()
            for name, args in CALLS:
                reply = await client.call_tool(name, args)
                kind, want = native(expected_state, name, args)
                if kind == "refused":
                    assert refusal(reply) == want, (name, args)
                    continue
                got, stamps = unstamped(result_of(reply))
                want, want_stamps = unstamped(want)
                assert got == want, (name, args)
                assert all(abs(s - w) <= 2 for s, w in zip(stamps, want_stamps)), (name, args)
                called.add(name)
            assert called == set(METHODS)

    run(body)


def test_mcp_bad_input_is_refused_and_the_server_keeps_answering():
    limit_text = "é" * (MAX_ARG_BYTES // 2)  # exactly the limit in UTF-8 bytes

    async def body():
        async with stdio() as client:
            cases = [
                ({"agent_id": "a"}, "missing argument 'path'; claim_file takes agent_id, path"),
                ({"agent_id": "a", "path": "p", "mode": "w"},
                 "unexpected argument 'mode'; claim_file takes agent_id, path"),
                ({"agent_id": 7, "path": "p"}, "argument 'agent_id' must be a string, not number"),
                ({"agent_id": "a", "path": None}, "argument 'path' must be a string, not null"),
                ({"agent_id": ["a"], "path": "p"}, "argument 'agent_id' must be a string, not array"),
                ({"agent_id": "a", "path": {"p": 1}}, "argument 'path' must be a string, not object"),
                ({"agent_id": True, "path": "p"}, "argument 'agent_id' must be a string, not boolean"),
                ({"agent_id": "a", "path": "x" * (10 << 20)},
                 "argument 'path' is too large (10485760 characters); the limit is 65536 bytes of UTF-8"),
                ({"agent_id": "a", "path": limit_text + "é"},
                 "argument 'path' is too large (65538 bytes); the limit is 65536 bytes of UTF-8"),
            ]
            for args, text in cases:
                reply = await client.call_tool("claim_file", args)
                assert refusal(reply) == "invalid arguments for claim_file: " + text
            assert result_of(await client.call_tool("claim_file", {"agent_id": "a", "path": limit_text})) == "a"
            with pytest.raises(MCPError, match="Unknown tool: claim_everything"):
                await client.call_tool("claim_everything", {})
            # Nothing refused reached the state.
            assert result_of(await client.call_tool("inbox", {"agent_id": "a"})) == []
            assert refusal(await client.call_tool("claim_file", {"agent_id": "b", "path": limit_text})) \
                == "a already holds claim on " + limit_text

    run(body)


def test_mcp_stdio_ignores_garbage_and_logs_only_to_stderr():
    """A line that is not JSON-RPC gets no answer and breaks nothing; every line
    on stdout is a protocol message; SIGINT ends the server with status 0."""
    proc = subprocess.Popen(_mcp.command(), stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, env=_mcp.environ())
    hello = {"jsonrpc": "2.0", "id": 1, "method": "initialize", "params": {
        "protocolVersion": "2025-11-25", "capabilities": {}, "clientInfo": {"name": "t", "version": "0"}}}
    proc.stdin.write(b"{not json\n[1, 2]\n" + json.dumps(hello).encode() + b"\n")
    proc.stdin.flush()
    first = json.loads(proc.stdout.readline())
    assert first["id"] == 1 and first["result"]["serverInfo"]["name"] == "halvex-mcp"
    proc.send_signal(signal.SIGINT)
    assert proc.wait(15) == 0
    rest = proc.stdout.read().decode()
    assert all(json.loads(line) for line in rest.splitlines())
    assert "stopping on SIGINT" in proc.stderr.read().decode()


def test_mcp_http_race_of_four_client_processes():
    workers, rounds = 4, 120
    with _mcp.HttpServer() as server, tempfile.TemporaryDirectory() as markers:
        ctx = multiprocessing.get_context("spawn")
        with ctx.Manager() as manager, ctx.Pool(workers) as pool:
            barrier = manager.Barrier(workers)
            results = pool.starmap_async(_mcp.race, [(server.url, i, rounds, markers, barrier)
                                                     for i in range(workers)], chunksize=1).get(240)

        async def last_drains():
            async with connect(server.url) as client:
                return [(box, result_of(await client.call_tool("drain_inbox", {"agent_id": box})))
                        for box in _mcp.BOXES]

        final = anyio.run(last_drains)
        assert server.stop() == 0

    assert sum(r["overlaps"] for r in results) == 0
    assert sum(r["grants"] for r in results) > 0 and sum(r["refusals"] for r in results) > 0
    batches = [b for r in results for b in r["batches"]]
    batches += [(box, float("inf"), float("inf"), _mcp.parse(msgs)) for box, msgs in final]
    for box in _mcp.BOXES:
        by_sender = defaultdict(list)  # sender -> [(started, ended, seqs)]
        for b_box, started, ended, got in batches:
            if b_box != box:
                continue
            seqs = defaultdict(list)
            for sender, seq in got:
                seqs[sender].append(seq)
            for sender, numbers in seqs.items():
                assert numbers == sorted(numbers), (box, sender)
                by_sender[sender].append((started, ended, numbers))
        for r in results:
            runs = by_sender[r["agent"]]
            drained = sorted(n for _s, _e, numbers in runs for n in numbers)
            assert drained == r["sent"][box], (box, r["agent"])  # each exactly once
            # A batch drained wholly before another holds only earlier messages.
            for a_start, a_end, a in runs:
                for b_start, _b_end, b in runs:
                    if a_end < b_start:
                        assert a[-1] < b[0], (box, r["agent"])


def test_mcp_http_token_host_checks_and_bad_requests():
    token = "s3cret-token"
    with _mcp.HttpServer(env=_mcp.environ(HALVEX_MCP_TOKEN=token)) as server:
        assert "bearer token required" in "".join(server.log)
        body = {"jsonrpc": "2.0", "id": 1, "method": "ping"}
        accept = {"Accept": "application/json, text/event-stream"}
        auth = {"Authorization": "Bearer " + token}
        with httpx2.Client(timeout=30) as http:
            for headers in ({}, {"Authorization": "Bearer wrong"}, {"Authorization": token},
                            {"Authorization": "Basic " + token}):
                reply = http.post(server.url, json=body, headers=dict(accept, **headers))
                assert reply.status_code == 401 and reply.headers["www-authenticate"] == "Bearer"
            # DNS rebinding protection stays on behind the token.
            assert http.post(server.url, json=body,
                             headers=dict(accept, Host="attacker.example", **auth)).status_code == 421
            assert http.post(server.url, json=body,
                             headers=dict(accept, Origin="http://attacker.example", **auth)).status_code == 403
            for raw in (b"{not json", b"[]", b'{"jsonrpc": "2.0", "id": 1}', b"null"):
                reply = http.post(server.url, content=raw,
                                  headers=dict(accept, **auth, **{"Content-Type": "application/json"}))
                assert reply.status_code == 400 and reply.json()["error"]["code"] in (-32700, -32602), raw
            reply = http.post(server.url, content=b" " * (17 << 20),
                              headers=dict(accept, **auth, **{"Content-Type": "application/json"}))
            assert reply.status_code == 413

        async def body_calls():
            with pytest.raises(Exception):
                async with connect(server.url, "wrong") as client:
                    await client.list_tools()
            async with connect(server.url, token) as client:
                reply = await client.call_tool("send_message", {
                    "from_agent": "a", "to_agent": "b", "content": "x" * (10 << 20)})
                assert refusal(reply).startswith("invalid arguments for send_message: argument 'content' is too large")
                with pytest.raises(MCPError):
                    await client.call_tool("no_such_tool", {"agent_id": "a"})
                assert result_of(await client.call_tool("claim_task", {"agent_id": "a", "task_id": "7"})) == "a"
                assert result_of(await client.call_tool("status", {"agent_id": "a"})) == "busy"

        run(body_calls)
        assert server.stop(signal.SIGINT) == 0
        assert "stopping on SIGINT" in "".join(server.log)


def test_mcp_command_line():
    def cli(*args, **env):
        return subprocess.run(_mcp.command() + list(args), env=_mcp.environ(**env), timeout=60,
                              stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              universal_newlines=True)

    refused = cli("--http", "0.0.0.0:0")
    assert refused.returncode == 2 and "refusing to serve on 0.0.0.0 without a token" in refused.stderr
    assert cli("--http", "0.0.0.0:0", HALVEX_MCP_TOKEN="").returncode == 2
    assert cli("--http", "127.0.0.1:0", "--token", "has space").returncode == 2
    assert cli("--namespace", "n").returncode == 2
    shown = cli("--help")
    assert shown.returncode == 0
    for flag in ("--http", "--token", "--allow-host", "--redis", "--namespace", "--agent",
                 "--log-level", "--version", "HALVEX_MCP_TOKEN"):
        assert flag in shown.stdout
    version = cli("--version")
    assert version.stdout.startswith("halvex-mcp %s (mcp 2." % _package_version())


def _package_version():
    from importlib.metadata import version

    return version("halvex_core")


def test_mcp_agent_pinning():
    async def body():
        async with stdio("--agent", "alice") as client:
            tools = {t.name: t for t in (await client.list_tools()).tools}
            for name, params in METHODS.items():
                assert tools[name].input_schema["required"] == [p for p in params if p not in IDENTITY]
            assert '"alice"' in tools["inbox"].description
            assert result_of(await client.call_tool("claim_file", {"path": "p"})) == "alice"
            assert refusal(await client.call_tool("claim_file", {"agent_id": "mallory", "path": "q"})) == \
                "invalid arguments for claim_file: unexpected argument 'agent_id': this server acts as agent \"alice\""
            sent = result_of(await client.call_tool("send_message", {"to_agent": "alice", "content": "note"}))
            assert sent[:3] == ["alice", "alice", "note"]
            assert [m[:3] for m in result_of(await client.call_tool("drain_inbox", {}))] == [sent[:3]]
            assert result_of(await client.call_tool("status", {})) == "busy"
            assert result_of(await client.call_tool("release", {"resource_key": "file:p"})) is None

    run(body)


def test_mcp_redis_backend_shared_by_servers(redis_server):
    """A stdio server and an HTTP server on one namespace share the state
    that halvex_redis itself sees."""
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
    unreachable = subprocess.run(_mcp.command() + ["--redis", "redis://127.0.0.1:1/0"], timeout=60,
                                 stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    assert unreachable.returncode == 2 and b"cannot reach Redis" in unreachable.stderr
