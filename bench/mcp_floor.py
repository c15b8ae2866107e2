"""The floor for bench/mcp_bench.py: the MCP SDK's own low-level server with
one trivial tool, served over streamable HTTP the SDK's documented way
(its Starlette app under uvicorn, default settings).

    python bench/mcp_floor.py [--list-ours]   # logs "serving MCP on http://127.0.0.1:PORT/mcp"

With --list-ours it lists halvex-mcp's nine tools instead of its one.
"""

import logging
import socket
import sys

import anyio
import mcp_types as types
import uvicorn
from mcp.server import Server

TRIVIAL = types.ListToolsResult(tools=[types.Tool(
    name="status", description="Answers idle.",
    input_schema={"type": "object", "properties": {"agent_id": {"type": "string"}},
                  "required": ["agent_id"], "additionalProperties": False})])
LISTING = TRIVIAL


async def list_tools(ctx, params):
    return LISTING


async def call_tool(ctx, params):
    text = '{"result": "idle"}'
    return types.CallToolResult(content=[types.TextContent(text=text)],
                                structured_content={"result": "idle"})


def main():
    global LISTING
    logging.basicConfig(level=logging.WARNING)
    if "--list-ours" in sys.argv:
        # halvex-mcp's nine tools as the list (the SDK's client fetches it
        # before every call), while every call still answers "idle".
        from halvex_mcp.tools import build_tools

        LISTING = types.ListToolsResult(tools=[
            types.Tool(name=t.name, description=t.description, input_schema=t.input_schema())
            for t in build_tools().values()])
    server = Server("floor", on_list_tools=list_tools, on_call_tool=call_tool)
    # With its protocol named, as halvex-mcp's socket is: asyncio sets TCP_NODELAY
    # only on connections of such a socket (without it, each call waits ~40 ms).
    sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM, socket.IPPROTO_TCP)
    sock.bind(("127.0.0.1", 0))
    sock.listen(1024)
    print("serving MCP on http://127.0.0.1:%d/mcp" % sock.getsockname()[1], file=sys.stderr,
          flush=True)
    config = uvicorn.Config(server.streamable_http_app(), log_level="warning")
    # Under anyio.run, as halvex-mcp serves: the same event loop set-up for both.
    anyio.run(uvicorn.Server(config).serve, [sock])


if __name__ == "__main__":
    main()
