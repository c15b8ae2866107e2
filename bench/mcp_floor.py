"""The floor for bench/mcp_bench.py: the MCP SDK's own low-level server with
one trivial tool, served over streamable HTTP the SDK's documented way
(its Starlette app under uvicorn, default settings).

    python bench/mcp_floor.py   # logs "serving MCP on http://127.0.0.1:PORT/mcp"
"""

import logging
import socket
import sys

import anyio
import mcp_types as types
import uvicorn
from mcp.server import Server


async def list_tools(ctx, params):
    return types.ListToolsResult(tools=[types.Tool(
        name="status", description="Answers idle.",
        input_schema={"type": "object", "properties": {"agent_id": {"type": "string"}},
                      "required": ["agent_id"], "additionalProperties": False})])


async def call_tool(ctx, params):
    text = '{"result": "idle"}'
    return types.CallToolResult(content=[types.TextContent(text=text)],
                                structured_content={"result": "idle"})


def main():
    logging.basicConfig(level=logging.WARNING)
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
