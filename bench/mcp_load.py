"""halvex-mcp --http while one client pushes at its limits: what the others see.

1. Board streams. A state with --agents known agents (10,000), --streams
   board event streams open (32, the most the board allows) and one client
   sending 10 messages a second: another client's `status` median against
   the same server idle (the goal: at most 2x idle).
2. Idle connections. One client holds 1,000 (the default cap) and then 1,100
   idle connections, opening a new one whenever the server closes one;
   meanwhile another client connects and calls `status`, again and again,
   for --seconds: the calls that succeed, out of those tried (the goal: all).
3. Stop. With --redis, --sessionless agents drained by clients without a
   session, then SIGTERM: the time until the server has exited, with the
   default --max-sessions (which keeps at most 1,000 such agents' states) and
   with a bound too high to matter, as the server had before.

Prints each figure and its ratio to the goal where there is one. Run in the
MCP stage's venv, or any with the wheel's `mcp` extra:

    python bench/mcp_load.py [--seconds 10] [--agents 10000] [--streams 32]
                             [--sessionless 5000] [--skip-board] [--skip-connections]
                             [--skip-stop]
"""

import argparse
import os
import platform
import signal
import socket
import statistics
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tests"))

import _mcp  # noqa: E402
from _mcp import HttpServer  # noqa: E402


def status_latencies(url, calls):
    import anyio
    from halvex_mcp.client import connect

    async def body():
        async with connect(url) as client:
            await client.call_tool("status", {"agent_id": "probe"})  # warm
            taken = []
            for _ in range(calls):
                started = time.perf_counter()
                await client.call_tool("status", {"agent_id": "probe"})
                taken.append(time.perf_counter() - started)
                await anyio.sleep(0.01)
            return taken

    return anyio.run(body)


def board(agents, streams, calls):
    import halvex_sqlite
    import httpx2
    from halvex_mcp.client import RemoteState

    env = _mcp.environ()
    state = halvex_sqlite.CoordinationState(env["HALVEX_STATE"])
    for i in range(agents):
        state.send_message("agent-%05d" % i, "agent-%05d" % i, "hello")
    state.close()
    stop = threading.Event()
    with HttpServer(env=env) as server:
        idle = status_latencies(server.url, calls)
        events = server.url.replace("/mcp", "/board/events")
        seen = [0] * streams

        def watch(n):
            with httpx2.Client(timeout=60) as http, http.stream("GET", events) as reply:
                for line in reply.iter_lines():
                    if line.startswith("data: "):
                        seen[n] += 1
                    if stop.is_set():
                        return

        def send():
            with RemoteState(server.url) as remote:
                n = 0
                while not stop.is_set():
                    remote.send_message("sender", "agent-%05d" % (n % agents), "m%d" % n)
                    n += 1
                    time.sleep(0.1)

        threads = [threading.Thread(target=watch, args=(n,), daemon=True) for n in range(streams)]
        threads.append(threading.Thread(target=send, daemon=True))
        for t in threads:
            t.start()
        time.sleep(3)  # every stream has its first snapshot
        loaded = status_latencies(server.url, calls)
        stop.set()
        server.stop()
    a, b = statistics.median(idle), statistics.median(loaded)
    print("board: %d streams (%d snapshots in all), %d known agents, 10 sends/s: another "
          "client's status median %.1f ms (max %.1f ms) against %.1f ms idle: %.2fx idle "
          "(goal 2x: ratio to goal %.2f)"
          % (streams, sum(seen), agents, 1000 * b, 1000 * max(loaded), 1000 * a, b / a,
             2 / (b / a)))


def connections(seconds):
    import anyio
    from halvex_mcp.client import connect

    async def one_call(url):
        with anyio.fail_after(5):
            async with connect(url, timeout=5) as client:
                await client.call_tool("status", {"agent_id": "other"})

    for count in (1000, 1100):
        with HttpServer() as server:
            held, stop = [], threading.Event()

            def attack():
                # Keeps `count` connections open: a closed one is replaced.
                while not stop.is_set():
                    for sock in list(held):
                        sock.setblocking(False)
                        try:
                            if sock.recv(1) == b"":
                                raise ConnectionResetError
                        except BlockingIOError:
                            continue
                        except OSError:
                            held.remove(sock)
                            sock.close()
                    while len(held) < count and not stop.is_set():
                        held.append(socket.create_connection(("127.0.0.1", server.port)))
                    time.sleep(0.2)

            attacker = threading.Thread(target=attack, daemon=True)
            attacker.start()
            while len(held) < count:
                time.sleep(0.1)
            tried = served = 0
            deadline = time.monotonic() + seconds
            while time.monotonic() < deadline:
                tried += 1
                try:
                    anyio.run(one_call, server.url)
                    served += 1
                except Exception:
                    pass
            stop.set()
            attacker.join()
            for sock in held:
                sock.close()
        print("idle connections: %d held by one client; another client's calls served: %d of "
              "%d in %.0f s (ratio to goal %.2f)"
              % (count, served, tried, seconds, served / max(tried, 1)))


def stop_time(sessionless):
    import anyio
    from _redis import RedisServer

    def drains(url):
        from halvex_mcp.client import connect

        async def body():
            # The SDK's client speaks the revision without sessions.
            async with connect(url, timeout=60) as client:
                async def drain(first):
                    for i in range(first, sessionless, 16):
                        reply = await client.call_tool("drain_inbox", {"agent_id": "agent-%05d" % i})
                        assert not reply.is_error, reply.content

                async with anyio.create_task_group() as tg:
                    for first in range(16):
                        tg.start_soon(drain, first)

        anyio.run(body)

    redis = RedisServer()
    try:
        took = {}
        for bound in ("1000", "1000000"):
            with HttpServer("--redis", redis.url, "--namespace", "mcp-bench-stop-" + bound,
                            "--max-sessions", bound) as server:
                drains(server.url)
                started = time.perf_counter()
                server.proc.send_signal(signal.SIGTERM)
                server.proc.wait(120)
                took[bound] = time.perf_counter() - started
        print("stop with --redis after %d agents drained without a session: %.2f s with "
              "--max-sessions 1000, %.2f s unbounded (ratio %.2f)"
              % (sessionless, took["1000"], took["1000000"], took["1000000"] / took["1000"]))
    finally:
        redis.close()


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--seconds", type=float, default=10.0,
                    help="length of each idle-connection run (default 10)")
    ap.add_argument("--agents", type=int, default=10000, help="known agents (default 10000)")
    ap.add_argument("--streams", type=int, default=32, help="board streams (default 32)")
    ap.add_argument("--calls", type=int, default=200, help="status calls timed (default 200)")
    ap.add_argument("--sessionless", type=int, default=5000,
                    help="agents drained without a session before the stop (default 5000)")
    ap.add_argument("--skip-board", action="store_true")
    ap.add_argument("--skip-connections", action="store_true")
    ap.add_argument("--skip-stop", action="store_true")
    args = ap.parse_args()
    print("halvex-mcp under load; Python %s, %d cores, load average %.1f"
          % (platform.python_version(), os.cpu_count() or 0, os.getloadavg()[0]))
    if not args.skip_board:
        board(args.agents, args.streams, args.calls)
    if not args.skip_connections:
        connections(args.seconds)
    if not args.skip_stop:
        stop_time(args.sessionless)


if __name__ == "__main__":
    main()
