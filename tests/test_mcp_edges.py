"""halvex-mcp at its edges: odd JSON on stdio, HTTP refusals that clients can
read, nulls for optional arguments. Real server processes, the MCP SDK's client."""

import builtins
import json
import os
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
from mcp import Client, StdioServerParameters  # noqa: E402
from mcp.client.streamable_http import streamable_http_client  # noqa: E402
from mcp.shared.exceptions import MCPError  # noqa: E402

GROUPS = getattr(builtins, "BaseExceptionGroup", ())  # Python 3.11+


def stdio(*args):
    cmd = _mcp.command()
    return Client(StdioServerParameters(command=cmd[0], args=cmd[1:] + list(args), env=_mcp.environ()))


def test_null_for_an_optional_argument_means_absent():
    async def body():
        async with stdio() as client:
            for content in ("one", "two"):
                await client.call_tool("send_message", {"from_agent": "a", "to_agent": "b", "content": content})
            reply = await client.call_tool("inbox", {"agent_id": "b", "max_messages": None, "max_bytes": None})
            assert not reply.is_error, reply.content
            assert [m[2] for m in reply.structured_content["result"]] == ["one", "two"]
            # Message waiting, so a wait with the default timeout answers at once.
            reply = await client.call_tool("wait_inbox", {"agent_id": "b", "timeout": None, "max_bytes": None})
            assert not reply.is_error, reply.content
            assert [m[2] for m in reply.structured_content["result"]] == ["one", "two"]
            # A required parameter still refuses null, and a set limit still applies.
            reply = await client.call_tool("inbox", {"agent_id": None})
            assert reply.is_error
            assert reply.content[0].text == "invalid arguments for inbox: argument 'agent_id' must be a string, not null"
            reply = await client.call_tool("inbox", {"agent_id": "b", "max_messages": 0})
            assert reply.is_error and "between 1 and 1000" in reply.content[0].text

    anyio.run(body)


def test_schemas_survive_strict_conversion_and_waits_report_progress():
    async def body():
        async with stdio("--memory") as client:
            # Strict conversions make every parameter required and refuse
            # `default`: an optional one must still be leavable, by null.
            for tool in (await client.list_tools()).tools:
                schema = tool.input_schema
                assert all("default" not in p for p in schema["properties"].values()), tool.name
                for name, prop in schema["properties"].items():
                    assert ("null" in prop["type"]) is (name not in schema["required"]), (tool.name, name)
            seen = []

            async def progress(done, total, message):
                seen.append((done, total, message))

            # A notification every 5 s while a wait runs: one in an 8 s wait.
            reply = await client.call_tool("wait_inbox", {"agent_id": "w", "timeout": 8},
                                           progress_callback=progress)
            assert not reply.is_error and reply.structured_content["result"] == []
            assert [(t, m) for _d, t, m in seen] == [(8, "waiting for a message")]

    anyio.run(body)


def test_http_refusals_are_json_rpc_errors_that_clients_show():
    token = "s3cret-token"
    with _mcp.HttpServer(env=_mcp.environ(HALVEX_MCP_TOKEN=token)) as server:
        auth = dict(_mcp.ACCEPT, Authorization="Bearer " + token)
        ping = b'{"jsonrpc": "2.0", "id": 1, "method": "ping"}'
        with httpx2.Client(timeout=30) as http:
            for headers, status, reason in [
                    (_mcp.ACCEPT, 401, "missing or wrong bearer token"),
                    (dict(_mcp.ACCEPT, Authorization="Bearer wrong"), 401, "missing or wrong bearer token"),
                    (dict(auth, Origin="http://evil.example"), 403, "Invalid Origin header"),
                    (dict(auth, Host="evil.example"), 421, "Invalid Host header")]:
                reply = http.post(server.url, content=ping, headers=headers)
                assert reply.status_code == status
                assert reply.headers["content-type"] == "application/json"
                body = reply.json()
                assert body["jsonrpc"] == "2.0" and body["id"] is None and reason in body["error"]["message"]
                assert isinstance(body["error"]["code"], int)
                assert (reply.headers.get("www-authenticate") == "Bearer") == (status == 401)
            # The board still answers a browser in its own way.
            assert "json" not in http.get(server.url.replace("/mcp", "/board"),
                                          headers={"Host": "evil.example"}).headers.get("content-type", "")

        async def client_sees(headers):
            async with httpx2.AsyncClient(headers=headers, timeout=30) as h:
                try:
                    async with Client(streamable_http_client(server.url, http_client=h), read_timeout_seconds=30):
                        pass
                except BaseException as err:  # the SDK may wrap it in exception groups
                    while isinstance(err, GROUPS) and len(err.exceptions) == 1:
                        err = err.exceptions[0]
                    assert isinstance(err, MCPError), repr(err)
                    return str(err)
            raise AssertionError("the client connected")

        assert "missing or wrong bearer token" in anyio.run(client_sees, {})
        assert "Invalid Origin header" in anyio.run(client_sees, {"Authorization": "Bearer " + token,
                                                                  "Origin": "http://evil.example"})


def test_stdio_answers_lone_surrogates_and_keeps_serving():
    arguments = '{"name":"claim_file","arguments":{"agent_id":"\\ud800","path":"p"}}'
    lines = [json.dumps(_mcp.INITIALIZE), json.dumps({"jsonrpc": "2.0", "method": "notifications/initialized"}),
             '{"jsonrpc":"2.0","id":1,"method":"tools/call","params":%s}' % arguments,
             '{"jsonrpc":"2.0","id":"two","method":"ping","params":{"_meta":{"note":"x\\uDC00"}}}',
             '{"jsonrpc":"2.0","id":"\\ud800","method":"ping"}',
             # A pair is one character, and an escaped backslash is no escape at all.
             json.dumps(_mcp.call("claim_file", 3, agent_id="\U0001F600", path="\\ud800")),
             json.dumps(_mcp.call("claim_file", 4, agent_id="a", path="p"))]
    started = time.monotonic()
    done = subprocess.run(_mcp.command(), input=("\n".join(lines) + "\n").encode(), capture_output=True,
                          timeout=60, env=_mcp.environ())
    took = time.monotonic() - started
    replies = {r["id"]: r for r in map(json.loads, done.stdout.splitlines())}
    assert sorted(replies, key=str) == [0, 1, 3, 4, None, "two"], done.stdout
    for ident in (1, "two", None):
        assert replies[ident]["error"]["code"] == -32700 and "lone surrogate" in replies[ident]["error"]["message"]
    assert replies[3]["result"]["structuredContent"] == {"result": "\U0001F600"}
    assert replies[4]["result"]["structuredContent"] == {"result": "a"}
    # Nothing is left waiting for an answer at the end of input (that wait was a minute).
    assert done.returncode == 0 and took < 30 and b"unanswered" not in done.stderr, done.stderr


def test_board_shows_hidden_characters_and_keeps_columns_in_the_window():
    board = pytest.importorskip("test_board")  # skips where there is no chromium
    from selenium.webdriver.common.by import By

    from halvex_mcp.client import RemoteState

    long_path = "src/" + "deep/" * 60 + "file.py"
    port = board.free_port()
    with board.browser() as driver, _mcp.HttpServer("--http", "127.0.0.1:%d" % port) as server:
        driver.set_window_size(1280, 900)
        driver.get("http://127.0.0.1:%d/board" % port)
        board.wait_for(driver, lambda d: board.state_of(d) == "live")
        with RemoteState(server.url) as remote:
            remote.claim_file("\u202eecila", "a.py")
            remote.claim_file("alice\u200b", long_path)
            remote.claim_file("alice", "b.py")
            board.wait_for(driver, lambda d: len(board.rows(d, "leases")) == 3 and len(board.rows(d, "agents")) == 3)

            def seen(d):
                """What the tables show, read in one go: a snapshot that
                replaces the rows midway makes the read stale, and
                wait_for reads again."""
                holders = {}
                for r in board.rows(d, "leases"):
                    cell = r.find_elements(By.TAG_NAME, "td")[1]
                    holders[r.get_attribute("data-key")] = (
                        cell.text, [e.text for e in cell.find_elements(By.CLASS_NAME, "esc")])
                key = board.lease_row(d, "file:" + long_path).find_element(By.TAG_NAME, "td")
                cut = d.execute_script("return arguments[0].scrollWidth > arguments[0].clientWidth",
                                       key)
                agents = sorted(r.find_element(By.TAG_NAME, "td").text
                                for r in board.rows(d, "agents"))
                lines = [(li.text, li.get_attribute("title"))
                         for li in d.find_elements(By.CSS_SELECTOR, "#activity li")
                         if "deep/" in li.text]
                if not lines:
                    return None  # the activity is not drawn yet
                return holders, key.get_attribute("title"), cut, agents, lines

            holders, title, cut, agents, lines = board.wait_for(driver, seen)
            assert holders["file:a.py"] == ("\\u202Eecila", ["\\u202E"])
            assert holders["file:" + long_path][0] == "alice\\u200B"
            assert holders["file:b.py"][0] == "alice"
            assert title == "file:" + long_path and cut
            assert agents == ["\\u202Eecila", "alice", "alice\\u200B"]
            text, full = lines[0]
            assert "\u2026 by alice\\u200B" in text and full.endswith(
                "file:%s by alice\\u200B" % long_path)
            # Both tables side by side within the window, neither overlapping the other.
            leases, agents_table = (driver.find_element(By.ID, t).rect for t in ("leases", "agents"))
            width = driver.execute_script("return document.documentElement.clientWidth")
            assert leases["x"] + leases["width"] <= agents_table["x"]
            assert agents_table["x"] + agents_table["width"] <= width
            assert driver.execute_script("return document.documentElement.scrollWidth") <= width
