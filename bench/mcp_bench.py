"""halvex-mcp over streamable HTTP beside the SDK's own floor, in one run.

1. Calls per second. Starts one `halvex-mcp --http` server (in-process
   state) and the floor server (bench/mcp_floor.py: the same SDK, one trivial
   tool), then for 1, 4 and 8 client processes (each an MCP session through
   the SDK's client) runs, for a fixed time: `status` calls against both
   servers, and halvex-mcp's mixed cycle (claim_file, release, send_message,
   drain_inbox, status), each kind several times, interleaved, keeping the
   best run. Prints calls per second and their ratio to the floor (the goal:
   0.9 or more for `status`), and the servers' CPU time per call, which the
   machine's other load disturbs far less.
2. A large inbox. One client fills an inbox with 1,600 messages of 64 KiB
   (100 MiB) and drains it in batches while another client polls `status`;
   prints the poller's latencies (the goal: every answer within 50 ms).
3. Wake latency. One client waits in wait_inbox while another sends it a
   message, on the in-process state and (when redis-server is installed)
   with --redis; prints the median time from the send to the waiter's reply
   (the goal: within 10 ms on loopback), counted from the send's start and
   from its reply.

    python bench/mcp_bench.py [--seconds 4] [--rounds 3] [--floor-lists-ours]
                              [--skip-rate] [--skip-inbox] [--skip-wait] [--wakes 50]
"""

import argparse
import multiprocessing
import os
import platform
import re
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tests"))

from _mcp import HttpServer  # noqa: E402


class FloorServer(object):
    def __init__(self, list_ours=False):
        self.proc = subprocess.Popen([sys.executable, os.path.join(HERE, "mcp_floor.py")]
                                     + (["--list-ours"] if list_ours else []),
                                     stdin=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        for line in self.proc.stderr:
            found = re.search(r"serving MCP on (http://\S+)", line)
            if found:
                self.url = found.group(1)
                break
        else:
            raise RuntimeError("the floor server did not start")
        threading.Thread(target=self.proc.stderr.read, daemon=True).start()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.proc.terminate()
        self.proc.wait(15)


def client(url, index, seconds, mixed, barrier):
    from halvex_mcp.client import RemoteState

    me = "bench-%d" % index
    with RemoteState(url) as state:
        state.status(me)  # the session is warm before the clock starts
        barrier.wait(60)
        calls = 0
        started = time.perf_counter()
        deadline = started + seconds
        while time.perf_counter() < deadline:
            if mixed:
                path = "%s/%d.py" % (me, calls % 8)  # no contention: every claim is granted
                state.claim_file(me, path)
                state.release(me, "file:" + path)
                state.send_message(me, me, "x")
                state.drain_inbox(me)
                state.status(me)
                calls += 5
            else:
                state.status(me)
                calls += 1
        return calls, time.perf_counter() - started


def cpu_seconds(pid):
    """User and system CPU time a process has used (Linux)."""
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def measure(url, pid, clients, seconds, mixed=False):
    """(calls per second, server CPU milliseconds per call)."""
    ctx = multiprocessing.get_context("spawn")
    with ctx.Manager() as manager, ctx.Pool(clients) as pool:
        barrier = manager.Barrier(clients)
        used = cpu_seconds(pid)
        runs = pool.starmap(client, [(url, i, seconds, mixed, barrier) for i in range(clients)])
        used = cpu_seconds(pid) - used
    calls = sum(c for c, _t in runs)
    # The CPU count includes each client's session set-up: a few calls' worth.
    return calls / max(t for _c, t in runs), 1000.0 * used / calls


def rates(seconds, rounds, list_ours):
    print("| clients | floor status/s | halvex-mcp status/s | ratio | floor CPU ms/call | "
          "halvex-mcp CPU ms/call | CPU ratio (floor/ours) | halvex-mcp mixed calls/s |")
    print("|---|---|---|---|---|---|---|---|")
    with HttpServer() as server, FloorServer(list_ours) as floor:
        for clients in (1, 4, 8):
            base, ours, mixed = [], [], []
            # Interleaved and repeated, best kept: load from elsewhere on the
            # machine only ever slows a run down.
            for _ in range(rounds):
                base.append(measure(floor.url, floor.proc.pid, clients, seconds))
                ours.append(measure(server.url, server.proc.pid, clients, seconds))
                mixed.append(measure(server.url, server.proc.pid, clients, seconds, mixed=True))
            (b_rate, b_cpu), (o_rate, o_cpu) = max(base), max(ours)
            b_cpu, o_cpu = min(c for _r, c in base), min(c for _r, c in ours)
            print("| %d | %.0f | %.0f | %.2f | %.2f | %.2f | %.2f | %.0f |"
                  % (clients, b_rate, o_rate, o_rate / b_rate, b_cpu, o_cpu, b_cpu / o_cpu,
                     max(mixed)[0]))


def large_inbox(count=1600, size=64 * 1024):
    import anyio
    from halvex_mcp.client import connect

    latencies = []

    async def body(url):
        async with connect(url) as writer:
            async def send(first):
                for _ in range(first, count, 8):
                    await writer.call_tool("send_message", {
                        "from_agent": "w", "to_agent": "big", "content": "x" * size})

            async with anyio.create_task_group() as tg:
                for first in range(8):
                    tg.start_soon(send, first)
        async with connect(url) as reader, connect(url) as poller:
            done = anyio.Event()

            async def poll():
                while not done.is_set():
                    started = time.perf_counter()
                    await poller.call_tool("status", {"agent_id": "w"})
                    latencies.append(time.perf_counter() - started)

            async with anyio.create_task_group() as tg:
                tg.start_soon(poll)
                started = time.perf_counter()
                batches = 0
                while True:
                    reply = await reader.call_tool("drain_inbox", {"agent_id": "big"})
                    batches += 1
                    if not reply.structured_content["remaining"]:
                        break
                took = time.perf_counter() - started
                done.set()
        return batches, took

    with HttpServer() as server:
        batches, took = anyio.run(body, server.url)
    latencies.sort()
    print("100 MiB inbox (%d x %d KiB) drained in %d batches in %.2f s; another client's "
          "status(): %d calls, median %.1f ms, p99 %.1f ms, max %.1f ms"
          % (count, size // 1024, batches, took, len(latencies),
             1000 * latencies[len(latencies) // 2],
             1000 * latencies[int(len(latencies) * 0.99)], 1000 * latencies[-1]))


def wake_latency(wakes):
    import anyio
    from halvex_mcp.client import connect

    async def body(url):
        from_start, from_reply = [], []
        async with connect(url) as waiter, connect(url) as sender:
            for n in range(wakes + 3):
                woke = []

                async def wait():
                    await waiter.call_tool("wait_inbox", {"agent_id": "sleeper", "timeout": 10})
                    woke.append(time.perf_counter())

                async with anyio.create_task_group() as tg:
                    tg.start_soon(wait)
                    await anyio.sleep(0.05)  # the wait is parked on the server
                    started = time.perf_counter()
                    await sender.call_tool("send_message", {
                        "from_agent": "s", "to_agent": "sleeper", "content": str(n)})
                    sent = time.perf_counter()
                if n >= 3:  # the first few warm both sessions up
                    from_start.append(woke[0] - started)
                    from_reply.append(woke[0] - sent)
        return from_start, from_reply

    backends = [("in-process", [])]
    redis = None
    try:
        from _redis import RedisServer

        redis = RedisServer()
        backends.append(("--redis", ["--redis", redis.url, "--namespace", "mcp-bench-wake"]))
    except Exception as err:
        print("wake latency with --redis left out: %s" % err)
    try:
        for name, args in backends:
            with HttpServer(*args) as server:
                from_start, from_reply = anyio.run(body, server.url)
            from_start.sort()
            from_reply.sort()
            print("wait_inbox woken by another session's send_message (%s, %d wakes): median "
                  "%.1f ms from the send's start (p90 %.1f ms), %.1f ms from its reply"
                  % (name, len(from_start), 1000 * from_start[len(from_start) // 2],
                     1000 * from_start[int(len(from_start) * 0.9)],
                     1000 * from_reply[len(from_reply) // 2]))
    finally:
        if redis is not None:
            redis.close()


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--seconds", type=float, default=4.0, help="length of each run (default 4)")
    ap.add_argument("--rounds", type=int, default=3,
                    help="runs of each kind per client count, the best kept (default 3)")
    ap.add_argument("--skip-rate", action="store_true", help="leave out the calls per second")
    ap.add_argument("--floor-lists-ours", action="store_true",
                    help="the floor lists halvex-mcp's nine tools instead of one (the SDK's "
                         "client fetches the list before every call)")
    ap.add_argument("--skip-inbox", action="store_true", help="leave out the large inbox")
    ap.add_argument("--skip-wait", action="store_true", help="leave out the wake latency")
    ap.add_argument("--wakes", type=int, default=50, help="wakes measured (default 50)")
    args = ap.parse_args()
    print("halvex-mcp over streamable HTTP, in-process state; Python %s, %d cores, %s, "
          "load average %.1f" % (platform.python_version(), os.cpu_count() or 0,
                                 platform.machine(), os.getloadavg()[0]))
    if not args.skip_rate:
        rates(args.seconds, args.rounds, args.floor_lists_ours)
    if not args.skip_inbox:
        large_inbox()
    if not args.skip_wait:
        wake_latency(args.wakes)


if __name__ == "__main__":
    main()
