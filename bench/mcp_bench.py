"""Calls per second through one `halvex-mcp --http` server (in-process state).

Starts the server on a free 127.0.0.1 port, then runs 1 and then 4 client
processes, each with its own MCP session through the SDK's client, for a
fixed time. Each client repeats a mixed cycle of tool calls: claim_file and
release on a key of its own, send_message to itself and drain_inbox, status.
Prints the calls per second in all and per client, and the ratio of 4 clients
to 1 (how far the one server process scales with concurrent sessions).

    python bench/mcp_bench.py [--seconds 5]
"""

import argparse
import multiprocessing
import os
import platform
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tests"))

from _mcp import HttpServer  # noqa: E402


def client(url, index, seconds, barrier):
    from halvex_mcp.client import RemoteState

    me = "bench-%d" % index
    with RemoteState(url) as state:
        state.status(me)  # the session is warm before the clock starts
        barrier.wait(60)
        calls = 0
        started = time.perf_counter()
        deadline = started + seconds
        while time.perf_counter() < deadline:
            path = "%s/%d.py" % (me, calls % 8)  # no contention: every claim is granted
            state.claim_file(me, path)
            state.release(me, "file:" + path)
            state.send_message(me, me, "x")
            state.drain_inbox(me)
            state.status(me)
            calls += 5
        return calls, time.perf_counter() - started


def measure(url, clients, seconds):
    ctx = multiprocessing.get_context("spawn")
    with ctx.Manager() as manager, ctx.Pool(clients) as pool:
        barrier = manager.Barrier(clients)
        runs = pool.starmap(client, [(url, i, seconds, barrier) for i in range(clients)])
    calls = sum(c for c, _t in runs)
    elapsed = max(t for _c, t in runs)
    return calls / elapsed


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--seconds", type=float, default=5.0, help="length of each run (default 5)")
    args = ap.parse_args()
    with HttpServer() as server:
        one = measure(server.url, 1, args.seconds)
        four = measure(server.url, 4, args.seconds)
    print("halvex-mcp over streamable HTTP, in-process state; Python %s, %d cores, %s"
          % (platform.python_version(), os.cpu_count() or 0, platform.machine()))
    print("| clients | calls/s | per client |")
    print("|---|---|---|")
    print("| 1 | %.0f | %.0f |" % (one, one))
    print("| 4 | %.0f | %.0f |" % (four, four / 4))
    print("ratio 4 clients / 1 client: %.2f" % (four / one))


if __name__ == "__main__":
    main()
