"""`halvex board`: the live board of the command's target, in a browser.

For a state file or Redis it starts a `halvex-mcp --http` on a free loopback
port over that same state (the server is what draws the board), prints the
board's address, opens it unless told not to, and stops the server on
Ctrl-C or after --for seconds. A running halvex-mcp already has its board.
"""

from __future__ import annotations

import argparse
import re
import signal
import subprocess
import sys
import threading
import time
from typing import Any

from .targets import McpTarget, RedisTarget, SqliteTarget, Target, Unreachable, Unsupported

# A halvex-mcp that has not said where it serves by then is taken as failed.
START_TIMEOUT = 30.0

_SERVING = re.compile(r"serving MCP on (http://\S+)/mcp")


def add_board_parser(p: argparse.ArgumentParser) -> None:
    p.add_argument("--no-open", action="store_true", help="print the address only")
    p.add_argument("--for", dest="duration", type=float, metavar="S",
                   help="stop the board's server after S seconds (default: at Ctrl-C)")


def server_args(target: Target) -> list[str]:
    """halvex-mcp's options for the target's state."""
    if isinstance(target, SqliteTarget):
        return ["--state", target.path, "--namespace", target.namespace]
    if isinstance(target, RedisTarget):
        return ["--redis", target.url, "--namespace", target.namespace]
    raise Unsupported("this target has no board")


def _start(target: Target) -> tuple[subprocess.Popen[str], str]:
    try:
        import halvex_mcp.server  # noqa: F401
    except ImportError:
        raise Unsupported("the board is drawn by halvex-mcp: pip install 'halvex_core[mcp]' "
                          "(Python 3.10 or later)") from None
    server = subprocess.Popen(
        [sys.executable, "-m", "halvex_mcp", "--http", "127.0.0.1:0", *server_args(target)],
        stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    assert server.stderr is not None
    found: list[str] = []
    said: list[str] = []

    def read() -> None:
        assert server.stderr is not None
        for line in server.stderr:
            said.append(line)
            match = _SERVING.search(line)
            if match and not found:
                found.append(match.group(1))

    threading.Thread(target=read, daemon=True).start()  # also keeps the pipe drained
    deadline = time.monotonic() + START_TIMEOUT
    while not found and server.poll() is None and time.monotonic() < deadline:
        time.sleep(0.05)
    if not found:
        server.kill()
        server.wait()
        raise Unreachable("halvex-mcp did not start: " + "".join(said[-5:]).strip())
    return server, found[0]


def cmd_board(args: argparse.Namespace, target: Target) -> int:
    if isinstance(target, McpTarget):
        base, server = target.url.rsplit("/mcp", 1)[0], None
    else:
        target.close()  # the server opens the state itself
        server, base = _start(target)
    url = base + "/board"
    print(f"board of {target.label}: {url}", flush=True)
    if not args.no_open:
        import webbrowser  # only the board opens a browser

        webbrowser.open(url)
    if server is None:
        return 0

    def stop(signum: int, frame: Any) -> None:
        raise KeyboardInterrupt  # SIGTERM too ends the board's server with it

    signal.signal(signal.SIGTERM, stop)
    try:
        server.wait(args.duration)
    except (KeyboardInterrupt, subprocess.TimeoutExpired):
        pass
    finally:
        server.terminate()
        try:
            server.wait(10)
        except subprocess.TimeoutExpired:
            server.kill()
    return 0
