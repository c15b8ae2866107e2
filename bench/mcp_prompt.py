"""How promptly halvex-mcp --http stops and its board follows changes: the
speed figures that the tests leave to a benchmark (their bounds have room for
a loaded machine).

1. Stop. A server holding 2,000 idle sessions, two open MCP event streams and
   a board stream gets SIGTERM; the time until it has exited (the goal:
   within 2 s), each of --stops runs.
2. Board. A client claims a key, then releases it, --changes times; the time
   from the start of the call until the board's event stream carries a
   snapshot with the lease, and one without it (the goal: within 2 s; the
   stream looks for new activity every 0.5 s).

3. Tool list. What a model reads of the tool list on every turn: each tool's
   name, description and input schema, as agent frameworks hand them to a
   model (compact JSON), read from a real stdio server through the SDK's
   client; in bytes, and in tokens estimated at 4 bytes per token (the goal:
   at most 2,000 tokens). The whole listing's bytes on the wire beside it.

Prints each figure and its ratio to the goal (goal / measured: above 1 is
within it). Run in the MCP stage's venv, or any with the wheel's `mcp` extra:

    python bench/mcp_prompt.py [--stops 3] [--changes 20] [--tools-only]
"""

import argparse
import json
import os
import platform
import queue
import statistics
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tests"))

import httpx2  # noqa: E402

import _mcp  # noqa: E402

GOAL = 2.0  # seconds, for a stop and for a change to show
TOKEN_GOAL = 2000  # model-facing tokens of the tool list
BYTES_PER_TOKEN = 4  # English prose and JSON keys; no tokenizer's tables ship here


def stream_snapshots(url, out, ready):
    """Puts (monotonic time, snapshot) for every snapshot the board stream sends."""
    try:
        with httpx2.Client(timeout=None) as http, http.stream("GET", url) as reply:
            ready.set()
            for line in reply.iter_lines():
                if line.startswith("data: "):
                    out.put((time.monotonic(), json.loads(line[len("data: "):])))
    except httpx2.HTTPError:
        pass  # the server stopped under the stream


def stop_time():
    with _mcp.HttpServer("--max-sessions", "2100") as server, httpx2.Client(timeout=30) as http:
        for _ in range(2000):
            assert http.post(server.url, json=_mcp.INITIALIZE, headers=_mcp.ACCEPT).status_code == 200
        streams = [http.stream("GET", server.url, headers=dict(_mcp.raw_session(http, server.url),
                                                               Accept="text/event-stream"))
                   for _ in range(2)]
        for stream in streams:
            assert stream.__enter__().status_code == 200
        ready = threading.Event()
        board = server.url.replace("/mcp", "/board/events")
        threading.Thread(target=stream_snapshots, args=(board, queue.Queue(), ready),
                         daemon=True).start()
        ready.wait(30)
        started = time.monotonic()
        assert server.stop() == 0
        took = time.monotonic() - started
        for stream in streams:
            stream.__exit__(None, None, None)
        return took


def board_latency(changes):
    """Seconds from the start of each claim (and release) until the board shows it."""
    from halvex_mcp.client import RemoteState

    shown, gone = [], []
    with _mcp.HttpServer() as server, RemoteState(server.url) as remote:
        snapshots, ready = queue.Queue(), threading.Event()
        board = server.url.replace("/mcp", "/board/events")
        threading.Thread(target=stream_snapshots, args=(board, snapshots, ready), daemon=True).start()
        ready.wait(30)
        snapshots.get(timeout=30)  # the first snapshot, before any change

        def until(key, present):
            while True:
                at, snap = snapshots.get(timeout=60)
                if any(lease["resource_key"] == key for lease in snap["leases"]) == present:
                    return at

        for i in range(changes):
            key = "file:bench/%d" % i
            started = time.monotonic()
            remote.claim_file("bench", key[len("file:"):])
            shown.append(until(key, True) - started)
            started = time.monotonic()
            remote.release("bench", key)
            gone.append(until(key, False) - started)
    return shown, gone


def tool_list():
    """(model-facing bytes, wire bytes, bytes by tool) of a stdio server's tool list."""
    import anyio
    from mcp import Client, StdioServerParameters

    async def listing():
        cmd = _mcp.command()
        params = StdioServerParameters(command=cmd[0], args=cmd[1:] + ["--memory"],
                                       env=_mcp.environ())
        async with Client(params) as client:
            return (await client.list_tools()).tools

    tools = anyio.run(listing)
    each = {t.name: len(json.dumps({"name": t.name, "description": t.description,
                                    "parameters": t.input_schema}, ensure_ascii=False,
                                   separators=(",", ":")).encode("utf-8")) for t in tools}
    listing = [t.model_dump(mode="json", by_alias=True, exclude_none=True) for t in tools]
    wire = len(json.dumps(listing, ensure_ascii=False, separators=(",", ":")).encode("utf-8"))
    return sum(each.values()), wire, each


def report(name, figures):
    figures = sorted(figures)
    median, worst = statistics.median(figures), figures[-1]
    print("%-34s median %6.3f s, at most %6.3f s; goal %.1f s: ratio %.1f (median), %.1f (worst)"
          % (name, median, worst, GOAL, GOAL / median, GOAL / worst))


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--stops", type=int, default=3, help="servers stopped (default 3)")
    ap.add_argument("--changes", type=int, default=20, help="claims and releases watched (default 20)")
    ap.add_argument("--tools-only", action="store_true", help="measure the tool list only")
    args = ap.parse_args()
    model, wire, each = tool_list()
    tokens = model / BYTES_PER_TOKEN
    print("tool list: %d bytes model-facing (largest: %s), about %d tokens; goal %d: ratio %.2f; "
          "%d bytes on the wire" % (model, ", ".join("%s %d" % kv for kv in sorted(
              each.items(), key=lambda kv: -kv[1])[:3]), tokens, TOKEN_GOAL, TOKEN_GOAL / tokens,
              wire))
    if args.tools_only:
        return
    print("halvex-mcp --http; Python %s, %d cores, load average %.1f"
          % (platform.python_version(), os.cpu_count() or 0, os.getloadavg()[0]))
    report("SIGTERM to exit (2,000 sessions)", [stop_time() for _ in range(args.stops)])
    shown, gone = board_latency(args.changes)
    report("claim shown on the board", shown)
    report("release shown on the board", gone)


if __name__ == "__main__":
    main()
