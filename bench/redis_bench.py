"""halvex_redis against a hand-written redis-py peer (bench/redis_peer.py).

Starts its own redis-server on a free 127.0.0.1 port, then measures:
  - per method: wall ns per call (median of repeats) and round trips per call,
    counted as the requests the client writes to its socket; with --baseline,
    also an earlier halvex_redis (its python/ folder), to show what a change
    costs per call;
  - throughput of a mixed workload with 1, 4 and 16 client processes;
  - how long the server is busy with one broadcast to 10^4 and 10^5 agents
    and one inbox and drain of 10^5 and 10^6 messages (its SLOWLOG);
    per call, the scripts' server time comes from INFO commandstats;
  - the views and release_all per call (wall and server ns), and how soon
    a wait_inbox returns a message sent while it waits (wake latency).
Writes bench/REDIS.md (or the path given with --out). The measurements live in
bench/redis_workloads.py; this file runs them and writes the report.

    python bench/redis_bench.py [--quick] [--baseline DIR] [--out bench/REDIS.md]
"""

import argparse
import os
import platform
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tests"))

import redis  # noqa: E402

import halvex_redis  # noqa: E402
from _redis import RedisServer  # noqa: E402
from redis_workloads import (  # noqa: E402
    Trips, joining, load_baseline, log_memory, new_methods, per_method, scale, throughput,
    wake_latency)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--quick", action="store_true")
    ap.add_argument("--out", default=os.path.join(HERE, "REDIS.md"))
    ap.add_argument("--baseline", help="python/ folder of an earlier halvex_redis")
    args = ap.parse_args()
    kinds = ["halvex_redis", "redis-py peer"]
    if args.baseline:
        load_baseline(args.baseline)
        kinds.insert(1, "baseline")
    n, repeats, seconds = (500, 3, 2.0) if args.quick else (2000, 5, 4.0)
    procs = [1, 4, 16]
    server = RedisServer()
    try:
        trips = Trips()
        rows = per_method(server.url, n, repeats, trips, kinds)
        tput = throughput(server.url, procs, seconds)
        sizes = ([10 ** 4], [10 ** 5]) if args.quick else ([10 ** 4, 10 ** 5], [10 ** 5, 10 ** 6])
        busy = scale(server.url, *sizes)
        joins = joining(server.url, trips)
        per_record = log_memory(server.url, 5000 if args.quick else 20000)
        fresh = new_methods(server.url, n // 2, repeats)
        wakes = {kind: wake_latency(server.url, kind, 50 if args.quick else 200)
                 for kind in ("blocking", "asyncio")}
        version = redis.Redis.from_url(server.url).info("server")["redis_version"]
    finally:
        server.close()

    lines = [
        "# halvex_redis benchmark",
        "",
        "`python bench/redis_bench.py` (a venv with the wheel and `redis` installed;",
        "`bash bench/redis.sh` sets one up). Redis %s on 127.0.0.1 (TCP, no persistence),"
        % version,
        "CPython %s, redis-py %s, %d CPUs shared with other work; %d calls per method, median of %d."
        % (platform.python_version(), redis.__version__, os.cpu_count(), n, repeats),
        "The peer is `bench/redis_peer.py`: what a user would write with redis-py",
        "(WATCH/GET/MULTI/EXEC for claims, pipelines, lists, JSON, the client's clock).",
        "Round trips are the requests written to the socket per call.",
        "",
        "| method | halvex_redis ns/call | round trips | peer ns/call | round trips | peer / halvex_redis |",
        "|---|---:|---:|---:|---:|---:|",
    ]
    for row in rows:
        ours, peer = row[1], row[-1]
        lines.append("| %s | %.0f | %.2f | %.0f | %.2f | %.2f |"
                     % (row[0], ours[0], ours[1], peer[0], peer[1], peer[0] / ours[0]))
    if args.baseline:
        lines += [
            "",
            "Against the earlier halvex_redis given with `--baseline` (same run, same server,",
            "taking turns): wall ns per call, and what it is made of here: the client's CPU",
            "time (this process) and the server's time in the script (INFO commandstats),",
            "ns per call.",
            "",
            "| method | wall now | wall earlier | now / earlier | client CPU now | earlier"
            " | server now | earlier |",
            "|---|---:|---:|---:|---:|---:|---:|---:|",
        ]
        for name, ours, before, _peer in rows:
            lines.append("| %s | %.0f | %.0f | %.3f | %.0f | %.0f | %.0f | %.0f |"
                         % (name, ours[0], before[0], ours[0] / before[0], ours[2], before[2],
                            ours[3], before[3]))
    lines += [
        "",
        "Throughput, %g s per run: each process loops claim + renew + release of one of 32"
        % seconds,
        "shared paths, a send, a drain of its inbox and a status (6 calls; a refused claim",
        "counts as 3).",
        "",
        "| client processes | halvex_redis calls/s | peer calls/s | halvex_redis / peer |",
        "|---:|---:|---:|---:|",
    ]
    for n in procs:
        ours, peer = tput[("halvex_redis", n)], tput[("redis-py peer", n)]
        lines.append("| %d | %.0f | %.0f | %.2f |" % (n, ours, peer, ours / peer))
    lines += [
        "",
        "Server busy time of one call (SLOWLOG, ms): the server runs nothing else meanwhile.",
        "",
        "| call | size | ms |",
        "|---|---:|---:|",
    ]
    for (call, size), micros in sorted(busy.items()):
        lines.append("| %s | %d %s | %.1f |" % (call, size, "agents" if call == "broadcast"
                                                 else "messages", micros / 1000.0))
    lines += [
        "",
        "Under joiners: broadcasts to 10^4 known agents while another process makes a",
        "new agent known every 10 ms: %d-%d round trips each (median %.1f ms); an object"
        % (joins["rounds"][0], joins["rounds"][1], joins["wall"] * 1000),
        "that knows no agents yet: %d; delete_namespace: %d round trips, %.0f ms."
        % (joins["fresh"], joins["delete"][0], joins["delete"][1] * 1000),
        "",
        "Activity log memory (MEMORY USAGE of the stream, per send): %s."
        % ", ".join("%d B messages %.0f B per record" % kv for kv in sorted(per_record.items())),
        "At the default log_limit of %d records: %s per namespace."
        % (halvex_redis.DEFAULT_LOG_LIMIT,
           ", ".join("%.1f MB (%d B messages)" % (v * halvex_redis.DEFAULT_LOG_LIMIT / 1e6, k)
                     for k, v in sorted(per_record.items()))),
    ]
    lines += [
        "",
        "Waiting, seeing and proving, per call (halvex_redis only; the server time is",
        "the scripts', INFO commandstats):",
        "",
        "| method | ns/call | server ns |",
        "|---|---:|---:|",
    ]
    for name, wall, server_ns in fresh:
        lines.append("| %s | %.0f | %.0f |" % (name, wall, server_ns))
    lines += [
        "",
        "Wake latency: from the start of a send_message until wait_inbox returned the",
        "message in the waiting process (%d waits each): %s."
        % (50 if args.quick else 200,
           "; ".join("%s class median %.2f ms, 90th percentile %.2f ms" % (k, v[0], v[1])
                     for k, v in sorted(wakes.items()))),
    ]
    text = "\n".join(lines) + "\n"
    with open(args.out, "w") as f:
        f.write(text)
    print(text)


if __name__ == "__main__":
    main()
