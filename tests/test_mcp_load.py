"""halvex-mcp when one client pushes at its limits: idle connections at the
cap, more waits than the bound, a wait piped with the end of input, the
board while Redis is down. Real server processes, the MCP SDK's client."""

import json
import os
import socket
import subprocess
import time

import pytest

import _mcp

pytestmark = pytest.mark.mcp

if os.environ.get("HALVEX_MCP_REQUIRED") != "1":
    pytest.importorskip("mcp", reason="the MCP SDK is not installed (it needs Python 3.10+)")
    if os.name != "posix":
        pytest.skip("halvex-mcp test servers run on POSIX only", allow_module_level=True)

import anyio  # noqa: E402
import httpx2  # noqa: E402

from halvex_mcp.client import connect  # noqa: E402


def result_of(reply):
    assert not reply.is_error, reply.content
    return reply.structured_content["result"]


def answered(sock, port):
    """One request on a kept-alive raw connection; False when the server closed it."""
    body = b'{"jsonrpc": "2.0", "id": 1, "method": "ping"}'
    sock.sendall(("POST /mcp HTTP/1.1\r\nHost: 127.0.0.1:%d\r\nAccept: application/json, "
                  "text/event-stream\r\nContent-Type: application/json\r\nContent-Length: %d\r\n\r\n"
                  % (port, len(body))).encode() + body)
    reply = b""
    while b"\r\n\r\n" not in reply or len(reply.partition(b"\r\n\r\n")[2]) < int(
            reply.lower().partition(b"content-length:")[2].split(b"\r\n")[0] or 0):
        chunk = sock.recv(65536)
        if not chunk:
            return False
        reply += chunk
    return reply.startswith(b"HTTP/1.1 ")


def test_idle_connections_at_the_cap_do_not_keep_clients_out():
    import resource

    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if hard != resource.RLIM_INFINITY and hard < 2048:  # this process holds 1,100 sockets
        pytest.skip("the hard file limit (%d) is below 2048 descriptors" % hard)
    if soft != resource.RLIM_INFINITY and soft < 2048:
        resource.setrlimit(resource.RLIMIT_NOFILE, (2048, hard))
    with _mcp.HttpServer() as server:  # the default cap: 1,000 connections
        kept = socket.create_connection(("127.0.0.1", server.port), timeout=30)
        assert answered(kept, server.port)

        async def served(url, calls):
            async with connect(url) as client:
                return [result_of(await client.call_tool("status", {"agent_id": "a"}))
                        for _ in range(calls)]

        idle = []
        try:
            for count in (1000, 1100):
                while len(idle) < count:
                    idle.append(socket.create_connection(("127.0.0.1", server.port), timeout=30))
                # Every call of another client is served while one client holds
                # (or keeps opening) more idle connections than the cap.
                assert anyio.run(served, server.url, 10) == ["idle"] * 10, count
            # The connection that had sent a request was not the one closed for room.
            assert answered(kept, server.port)
        finally:
            for sock in idle:
                sock.close()
            kept.close()
        assert server.stop() == 0
        assert any("closed the oldest connection" in line for line in server.log)


def test_waits_beyond_the_bound_are_refused_and_others_still_served(redis_server):
    import halvex_redis

    namespace = "mcp-waits-%d" % os.getpid()
    waits, bound = 150, 64  # the default --max-waits
    try:
        with _mcp.HttpServer("--redis", redis_server.url, "--namespace", namespace) as server:
            async def body(url):
                outcome = {}

                async def wait(client, agent):
                    reply = await client.call_tool("wait_inbox", {"agent_id": agent, "timeout": 60},
                                                   read_timeout_seconds=90)
                    outcome[agent] = reply

                async with connect(url) as a, connect(url) as b, connect(url) as c, \
                        connect(url) as other, anyio.create_task_group() as tg:
                    clients = (a, b, c)
                    for i in range(waits):
                        tg.start_soon(wait, clients[i % 3], "w%03d" % i)
                    with anyio.fail_after(60):
                        while len(outcome) < waits - bound:
                            await anyio.sleep(0.05)
                    refused = sorted(outcome)
                    for agent in refused:
                        reply = outcome[agent]
                        assert reply.is_error and reply.content[0].text.startswith(
                            "wait_inbox refused: %d waits are already running on this server" % bound)
                        assert "nothing was drained" in reply.content[0].text
                    # With the waits holding their connections, every other call still works.
                    for i in range(20):
                        assert result_of(await other.call_tool("status", {"agent_id": "y"})) == "idle"
                        result_of(await other.call_tool("claim_file", {"agent_id": "x", "path": "f%d" % i}))
                    for i in range(waits):
                        if "w%03d" % i not in outcome:
                            result_of(await other.call_tool("send_message", {
                                "from_agent": "x", "to_agent": "w%03d" % i, "content": "go"}))
                # The waiters got their message; a refused one had drained nothing.
                woken = [agent for agent, reply in outcome.items() if not reply.is_error]
                assert len(woken) == bound
                assert all([m[2] for m in result_of(outcome[agent])] == ["go"] for agent in woken)

            anyio.run(body, server.url)
            assert server.stop() == 0
    finally:
        halvex_redis.delete_namespace(namespace, redis_server.url)


def test_stdio_wait_piped_with_the_end_of_input_ends_promptly(redis_server):
    lines = [_mcp.INITIALIZE, {"jsonrpc": "2.0", "method": "notifications/initialized"},
             _mcp.call("wait_inbox", 1, agent_id="empty", timeout=120)]
    piped = "".join(json.dumps(line) + "\n" for line in lines).encode()
    namespace = "mcp-eof-%d" % os.getpid()
    for backend in ([], ["--redis", redis_server.url, "--namespace", namespace]):
        started = time.monotonic()
        done = subprocess.run(_mcp.command() + backend, input=piped, capture_output=True,
                              timeout=150, env=_mcp.environ())
        took = time.monotonic() - started
        replies = {r["id"]: r.get("result") for r in map(json.loads, done.stdout.splitlines())}
        assert replies[1]["structuredContent"] == {"result": [], "remaining": 0, "ack": None,
                                                   "redelivered": 0}, backend
        # Not the wait's 120 s: a few seconds, most of them the start.
        assert done.returncode == 0 and took < 30, (backend, took, done.stderr[-2000:])


def test_board_while_redis_is_down_names_no_address():
    from _redis import RedisServer

    redis = RedisServer()
    try:
        with _mcp.HttpServer("--redis", redis.url) as server, httpx2.Client(timeout=30) as http:
            redis.close()
            events = server.url.replace("/mcp", "/board/events")
            with http.stream("GET", events) as reply:
                for line in reply.iter_lines():
                    if line.startswith("data: ") and "error" in json.loads(line[6:]):
                        break
            snap = json.loads(line[6:])
            assert snap["error"] == "the state's backend did not answer (details in the server's log)"
            address = redis.url.split("//")[1].split("/")[0]
            assert address not in line and str(redis.port) not in line
            assert server.stop() == 0
        assert any(address in entry for entry in server.log)  # the operator still learns it
    finally:
        redis.close()
