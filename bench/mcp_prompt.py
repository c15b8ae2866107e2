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

Prints each figure and its ratio to the goal (goal / measured: above 1 is
within it). Run in the MCP stage's venv, or any with the wheel's `mcp` extra:

    python bench/mcp_prompt.py [--stops 3] [--changes 20]
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


def report(name, figures):
    figures = sorted(figures)
    median, worst = statistics.median(figures), figures[-1]
    print("%-34s median %6.3f s, at most %6.3f s; goal %.1f s: ratio %.1f (median), %.1f (worst)"
          % (name, median, worst, GOAL, GOAL / median, GOAL / worst))


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--stops", type=int, default=3, help="servers stopped (default 3)")
    ap.add_argument("--changes", type=int, default=20, help="claims and releases watched (default 20)")
    args = ap.parse_args()
    print("halvex-mcp --http; Python %s, %d cores, load average %.1f"
          % (platform.python_version(), os.cpu_count() or 0, os.getloadavg()[0]))
    report("SIGTERM to exit (2,000 sessions)", [stop_time() for _ in range(args.stops)])
    shown, gone = board_latency(args.changes)
    report("claim shown on the board", shown)
    report("release shown on the board", gone)


if __name__ == "__main__":
    main()
