"""The measurements of bench/redis_bench.py: per method, throughput, server
busy time, broadcasts under joiners, log memory, the views and wake latency.
Each returns figures; bench/redis_bench.py runs them and writes the report.
The spawned worker processes import this module by name."""

import importlib.util
import multiprocessing
import os
import statistics
import sys
import time
import uuid

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tests"))

import redis  # noqa: E402

import halvex_redis  # noqa: E402
import redis_peer  # noqa: E402


BASELINE = None  # an earlier halvex_redis, loaded under another name


def load_baseline(folder):
    global BASELINE
    init = os.path.join(folder, "halvex_redis", "__init__.py")
    spec = importlib.util.spec_from_file_location(
        "halvex_redis_baseline", init,
        submodule_search_locations=[os.path.dirname(init)])
    BASELINE = importlib.util.module_from_spec(spec)
    sys.modules[spec.name] = BASELINE
    spec.loader.exec_module(BASELINE)


def make(kind, url, namespace=None):
    namespace = namespace or uuid.uuid4().hex
    if kind == "halvex_redis":
        return halvex_redis.CoordinationState(url, namespace=namespace)
    if kind == "baseline":
        return BASELINE.CoordinationState(url, namespace=namespace)
    return redis_peer.CoordinationState(redis.Redis.from_url(url), namespace)


class Trips(object):
    """Counts writes of requests to the server, over every client in this process."""

    def __init__(self):
        self.count = 0
        original = redis.connection.Connection.send_packed_command
        trips = self

        def counting(conn, *args, **kwargs):
            trips.count += 1
            return original(conn, *args, **kwargs)

        redis.connection.Connection.send_packed_command = counting


# Each case: (setup(state, n) -> per-call argument list, call(state, arg)); the
# setup runs untimed, the calls are timed one by one.
def _claim_setup(s, n):
    return ["p%d" % i for i in range(n)]


def _held_setup(s, n):
    for i in range(n):
        s.claim_file("a", "p%d" % i)
    return ["file:p%d" % i for i in range(n)]


def _one_message(s, n):
    return [None] * n


CASES = [
    ("claim_file", _claim_setup, lambda s, a: s.claim_file("a", a), None),
    ("renew_claim", _held_setup, lambda s, a: s.renew_claim("a", a), None),
    ("release", _held_setup, lambda s, a: s.release("a", a), None),
    ("send_message", _one_message, lambda s, a: s.send_message("a", "b", "hello"), None),
    ("broadcast (4 known)", lambda s, n: ([s.send_message("x", "r%d" % i, "") for i in range(3)]
                                          and [None] * n),
     lambda s, a: s.broadcast("a", "hello"), None),
    ("inbox (1 message)", lambda s, n: (s.send_message("a", "b", "hello") and [None] * n),
     lambda s, a: s.inbox("b"), None),
    # The message is put back untimed before each timed drain.
    ("drain_inbox (1 message)", _one_message, lambda s, a: s.drain_inbox("b"),
     lambda s: s.send_message("a", "b", "hello")),
    ("status", lambda s, n: (s.claim_file("a", "p") and [None] * n),
     lambda s, a: s.status("a"), None),
]


def _agents_setup(s, n):
    for i in range(4):
        s.send_message("a", "r%d" % i, "m")
    s.claim_file("a", "p")
    return [None] * n


def _token_setup(s, n):
    s.claim_file("a", "p")
    return [s.lease("file:p").token] * n


def _release_all_setup(s, n):
    return [None] * n


NEW_CASES = [
    ("lease", _token_setup, lambda s, a: s.lease("file:p"), None),
    ("leases (4 claims)", lambda s, n: ([s.claim_file("a", "p%d" % i) for i in range(4)]
                                        and [None] * n), lambda s, a: s.leases(), None),
    ("check_lease", _token_setup, lambda s, a: s.check_lease("a", "file:p", a), None),
    ("agents (5 known)", _agents_setup, lambda s, a: s.agents(), None),
    # Two claims are put back untimed before each timed release_all.
    ("release_all (2 claims)", _release_all_setup, lambda s, a: s.release_all("a"),
     lambda s: (s.claim_file("a", "p"), s.claim_task("a", "t"))),
    ("wait_inbox (1 message there)", _one_message, lambda s, a: s.wait_inbox("b", 1),
     lambda s: s.send_message("a", "b", "hello")),
]


def new_methods(url, n, repeats):
    """Median wall ns and server ns per call of the views and release_all."""
    client = redis.Redis.from_url(url)
    out = []
    for name, setup, call, before in NEW_CASES:
        walls, servers = [], []
        for _ in range(repeats):
            s = make("halvex_redis", url)
            args = setup(s, n)
            call(s, args[0])
            total = 0.0
            for a in args[1:]:
                if before is not None:
                    before(s)
                start = time.perf_counter()
                call(s, a)
                total += time.perf_counter() - start
            walls.append(total / (len(args) - 1) * 1e9)
            servers.append(_script_ns(client, s, args[1:101], call, before))
        out.append((name, statistics.median(walls), statistics.median(servers)))
    return out


def _waiter(kind, url, namespace, count, ready, woke):
    """Waits `count` times for agent w's messages and reports when each wait returned."""
    import asyncio

    import halvex_redis.asyncio

    if kind == "asyncio":
        async def run():
            s = halvex_redis.asyncio.CoordinationState(url, namespace=namespace)
            await s.status("w")
            for _ in range(count):
                ready.put(True)
                got = await s.wait_inbox("w", 30)
                woke.put((time.monotonic(), len(got)))
        asyncio.run(run())
        return
    s = halvex_redis.CoordinationState(url, namespace=namespace)
    s.status("w")
    for _ in range(count):
        ready.put(True)
        got = s.wait_inbox("w", 30)
        woke.put((time.monotonic(), len(got)))


def wake_latency(url, kind, count):
    """Milliseconds from the start of a send_message until the waiting
    process's wait_inbox returned it (CLOCK_MONOTONIC is shared by the
    processes), median and 90th percentile."""
    ctx = multiprocessing.get_context("spawn")
    ready, woke = ctx.Queue(), ctx.Queue()
    namespace = uuid.uuid4().hex
    proc = ctx.Process(target=_waiter, args=(kind, url, namespace, count, ready, woke))
    proc.start()
    s = halvex_redis.CoordinationState(url, namespace=namespace)
    s.status("x")
    delays = []
    try:
        for i in range(count):
            ready.get(timeout=60)
            time.sleep(0.05)  # the waiter is blocked by now
            sent = time.monotonic()
            s.send_message("x", "w", "m%d" % i)
            returned, n = woke.get(timeout=60)
            assert n == 1
            delays.append((returned - sent) * 1000)
    finally:
        proc.join(60)
    delays.sort()
    return statistics.median(delays), delays[int(len(delays) * 0.9)]


def per_method(url, n, repeats, trips, kinds):
    """Per case and kind: median wall ns, round trips, median client CPU ns
    (this process only) and mean server ns of the script (commandstats; ours
    only). The kinds take turns within each repeat, so load on a shared
    machine falls on all of them alike."""
    client = redis.Redis.from_url(url)
    rows = []
    for name, setup, call, before in CASES:
        runs = {kind: ([], [], [], []) for kind in kinds}
        for _ in range(repeats):
            for kind in kinds:
                wall, trip_counts, cpu, server = runs[kind]
                s = make(kind, url)
                args = setup(s, n)
                call(s, args[0])  # loads the scripts; not counted
                total = spent = 0.0
                counted = 0
                for a in args[1:]:
                    if before is not None:
                        before(s)
                    t0 = trips.count
                    c0 = time.process_time()
                    start = time.perf_counter()
                    call(s, a)
                    total += time.perf_counter() - start
                    spent += time.process_time() - c0
                    counted += trips.count - t0
                wall.append(total / (len(args) - 1) * 1e9)
                cpu.append(spent / (len(args) - 1) * 1e9)
                trip_counts.append(counted / (len(args) - 1))
                if kind != "redis-py peer":
                    s = make(kind, url)
                    args = setup(s, 101)
                    call(s, args[0])
                    server.append(_script_ns(client, s, args[1:], call, before))
        row = [name]
        for kind in kinds:
            row.append([statistics.median(v) if v else None for v in runs[kind]])
        rows.append(row)
    return rows


def _script_ns(client, s, args, call, before):
    """Mean server time of the call's scripts (EVALSHA), in ns: INFO
    commandstats keeps it to a fraction of a microsecond, where SLOWLOG
    rounds each run to whole microseconds."""
    usec = calls = 0
    for a in args:
        if before is not None:
            before(s)
        client.config_resetstat()
        call(s, a)
        stats = client.info("commandstats")
        for name in ("cmdstat_evalsha", "cmdstat_eval"):
            usec += stats.get(name, {}).get("usec", 0)
            calls += stats.get(name, {}).get("calls", 0)
    return usec / max(calls, 1) * 1000


def _mixed_worker(kind, url, namespace, index, seconds, start_at):
    s = make(kind, url, namespace)
    me = "w%d" % index
    while time.time() < start_at:
        time.sleep(0.001)
    ops, i = 0, 0
    end = start_at + seconds
    while time.time() < end:
        i += 1
        path = "k%d" % (i % 32)  # shared by every process: claims contend
        try:
            s.claim_file(me, path)
            s.renew_claim(me, "file:" + path)
            s.release(me, "file:" + path)
        except RuntimeError:
            pass
        s.send_message(me, "w%d" % (i % 16), "m%d" % i)
        s.drain_inbox(me)
        s.status(me)
        ops += 6
    return ops


def _server_time(client, call):
    """Microseconds the server spent in the script run by `call` (SLOWLOG)."""
    client.config_set("slowlog-log-slower-than", 0)
    client.slowlog_reset()
    call()
    entries = client.slowlog_get(16)
    client.config_set("slowlog-log-slower-than", 10000)
    runs = [e["duration"] for e in entries if e["command"].split(b" ")[0] in (b"EVALSHA", b"EVAL")]
    return max(runs)


def scale(url, sizes_agents, sizes_messages):
    """Server busy time of one large broadcast, inbox and drain."""
    client = redis.Redis.from_url(url)
    out = {}
    for agents in sizes_agents:
        s = halvex_redis.CoordinationState(url)
        base = b"halvex:{" + s.namespace.encode() + b"}:"
        _known_agents(client, base, agents)
        s.broadcast("a0", "warm")  # learns the agent list (not timed)
        out[("broadcast", agents)] = _server_time(client, lambda: s.broadcast("a0", "hello"))
        halvex_redis.delete_namespace(s.namespace, url)
    for messages in sizes_messages:
        s = halvex_redis.CoordinationState(url)
        key = b"halvex:{" + s.namespace.encode() + b"}:inbox:q"
        for i in range(0, messages, 10000):
            client.rpush(key, *[b"1,1,x%d" % j for j in range(i, i + 10000)])
        s.status("q")
        out[("inbox", messages)] = _server_time(client, lambda: s.inbox("q"))
        out[("drain_inbox", messages)] = _server_time(client, lambda: s.drain_inbox("q"))
        halvex_redis.delete_namespace(s.namespace, url)
    return out


def _known_agents(client, base, agents):
    """Makes a0 ... a<agents-1> known, as if each had been sent a message."""
    pipe = client.pipeline(transaction=False)
    pipe.rpush(base + b"joined", b"bench")
    for i in range(0, agents, 1000):
        names = [b"a%d" % j for j in range(i, min(i + 1000, agents))]
        pipe.hset(base + b"status", mapping={n: b"0" for n in names})
        pipe.rpush(base + b"joined", *names)
    pipe.execute()


def _joiner(url, namespace, stop):
    s = halvex_redis.CoordinationState(url, namespace=namespace)
    n = 0
    while not stop.is_set():
        s.send_message("joiner", "new-%d" % n, "hello")
        n += 1
        time.sleep(0.01)


def joining(url, trips, agents=10 ** 4, casts=20):
    """Round trips and wall time of broadcasts to `agents` known agents, and of
    a delete_namespace, while another process makes a new agent known every
    10 ms."""
    client = redis.Redis.from_url(url)
    s = halvex_redis.CoordinationState(url)
    _known_agents(client, b"halvex:{" + s.namespace.encode() + b"}:", agents)
    s.broadcast("a0", "warm")  # loads the script
    ctx = multiprocessing.get_context("spawn")
    stop = ctx.Event()
    proc = ctx.Process(target=_joiner, args=(url, s.namespace, stop))
    proc.start()
    try:
        time.sleep(1.0)
        rounds, walls = [], []
        for i in range(casts):
            t0, start = trips.count, time.perf_counter()
            s.broadcast("a0", "b%d" % i)
            walls.append(time.perf_counter() - start)
            rounds.append(trips.count - t0)
        fresh = halvex_redis.CoordinationState(url, namespace=s.namespace)
        t0 = trips.count
        fresh.broadcast("a0", "fresh")
        fresh_rounds = trips.count - t0
        t0, start = trips.count, time.perf_counter()
        halvex_redis.delete_namespace(s.namespace, url)
        delete = (trips.count - t0, time.perf_counter() - start)
    finally:
        stop.set()
        proc.join(30)
    halvex_redis.delete_namespace(s.namespace, url)
    return {"rounds": (min(rounds), max(rounds)), "wall": statistics.median(walls),
            "fresh": fresh_rounds, "delete": delete}


def log_memory(url, records=20000):
    """Bytes the activity log takes per send, by message size (MEMORY USAGE)."""
    client = redis.Redis.from_url(url)
    out = {}
    for size in (100, 1024):
        s = halvex_redis.CoordinationState(url, log_limit=10 ** 9)
        body = "x" * size
        for i in range(records):
            s.send_message("agent-%d" % (i % 50), "agent-%d" % (i % 37), body)
        log = b"halvex:{" + s.namespace.encode() + b"}:log"
        out[size] = client.memory_usage(log, samples=0) / records
        halvex_redis.delete_namespace(s.namespace, url)
    return out


def _warm(_):
    time.sleep(0.05)  # long enough for every pool process to take some


def throughput(url, procs, seconds):
    out = {}
    ctx = multiprocessing.get_context("spawn")
    with ctx.Pool(max(procs)) as pool:
        # Every process imports everything before the first timed run.
        pool.map(_warm, range(8 * max(procs)), chunksize=1)
        for kind in ("halvex_redis", "redis-py peer"):
            for n in procs:
                namespace = uuid.uuid4().hex
                start_at = time.time() + 1.0
                ops = pool.starmap(_mixed_worker, [(kind, url, namespace, i, seconds, start_at)
                                                   for i in range(n)], chunksize=1)
                out[(kind, n)] = sum(ops) / seconds
    return out
