"""halvex-mcp at its edges: odd JSON on stdio, HTTP refusals that clients can
read, nulls for optional arguments. Real server processes, the MCP SDK's client."""

import json
import os

import pytest

import _mcp

pytestmark = pytest.mark.mcp

if os.environ.get("HALVEX_MCP_REQUIRED") != "1":
    pytest.importorskip("mcp", reason="the MCP SDK is not installed (it needs Python 3.10+)")
    if os.name != "posix":
        pytest.skip("halvex-mcp test servers run on POSIX only", allow_module_level=True)

import anyio  # noqa: E402
from mcp import Client, StdioServerParameters  # noqa: E402


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
