"""The workloads the benchmarks time: the module, the plain-Python peer
(reference/model.py) and the floors (bench/floor) side by side, per method,
against the result floor, at growing sizes, and in memory.
"""
import gc
import json
import os
import random
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
OUT = os.path.join(HERE, "out")
sys.path.insert(0, os.path.join(OUT, "floor"))
sys.path.insert(0, os.path.dirname(HERE))  # the reference implementation

import halvex_core  # noqa: E402
import halvex_floor  # noqa: E402

from reference import model as peer  # noqa: E402
from timing import interleaved, loop_cost, median, timed  # noqa: E402

IMPLS = {"module": halvex_core.CoordinationState, "peer": peer.CoordinationState}
# Every method and its number of parameters.
METHODS = [(name, len(params)) for name, params in peer.SIGNATURES.items()]
RESULT_SIZES = [10, 1000]  # messages per inbox in the result-floor figures
BROADCAST_AGENTS = 100  # known agents in the per-method broadcast figure
INBOX_SIZE = 1  # messages in each inbox read or drained in the per-method figures
POOL = [f"agent-{i}" for i in range(100)]
BATCH = 200  # calls per timed batch in the per-method figures


def fmt_size(n):
    exp = len(str(n)) - 1
    return f"10^{exp}" if n == 10 ** exp else str(n)


def known_agents(impl, agents):
    """A fresh state in which every id in agents is known and has one message."""
    s = impl()
    for a in agents:
        s.send_message("agent-0", a, "hello")
    return s


def drain_all(s, agents):
    for a in agents:
        s.drain_inbox(a)


def with_claims(impl):
    """A fresh state in which each of the 100 pool agents holds one claim."""
    s = impl()
    for i, a in enumerate(POOL):
        s.claim_file(a, f"src/base/module_{i}.py")
    return s


READERS = [f"reader-{i}" for i in range(BATCH)]


class Workload:
    """How one method is measured. The state stays small and the same size
    from batch to batch: each batch's arguments are made, and anything the
    batch added is undone, outside the timed loop. Paths, keys and contents
    are fresh strings every batch, as callers build them; agent ids are
    long-lived strings, as agents hold them.

    state(impl) -> a prepared state; batch(s, tag) -> (items, undo) where s is
    None for the floors, which get the same argument shapes."""

    def __init__(self, state, batch, per_call=1):
        self.state = state
        self.batch = batch
        self.per_call = per_call  # broadcast: deliveries per call


def _claim_batch(prefix):
    def batch(s, tag):
        if prefix == "file:":
            items = [(POOL[i % 100], f"src/pkg_{tag}/module_{i}.py") for i in range(BATCH)]
        else:
            items = [(POOL[i % 100], f"phase-{tag}-{i}") for i in range(BATCH)]

        def undo():
            for a, name in items:
                s.release(a, prefix + name)
        return items, undo
    return batch


def _release_batch(s, tag):
    paths = [(POOL[i % 100], f"src/pkg_{tag}/module_{i}.py") for i in range(BATCH)]
    if s is not None:
        for a, p in paths:
            s.claim_file(a, p)
    return [(a, "file:" + p) for a, p in paths], None


def _renew_state(impl):
    s = with_claims(impl)
    for i in range(BATCH):
        s.claim_file(POOL[i % 100], f"src/held/module_{i}.py")
    return s


def _renew_batch(s, tag):
    return [(POOL[i % 100], f"file:src/held/module_{i}.py") for i in range(BATCH)], None


def _send_batch(s, tag):
    items = [(POOL[i % 100], POOL[(7 * i + 1) % 100], f"please review src/module_{tag}_{i}.py")
             for i in range(BATCH)]
    return items, (lambda: drain_all(s, POOL))


BROADCASTS = max(1, BATCH // BROADCAST_AGENTS)  # broadcasts per batch


def _broadcast_batch(s, tag):
    count = BATCH if s is None else BROADCASTS  # floors: one call per item
    items = [(POOL[i % BROADCAST_AGENTS], f"build {tag}-{i} is green") for i in range(count)]
    return items, (lambda: drain_all(s, POOL[:BROADCAST_AGENTS]))


def _inbox_batch(s, tag):
    return [(POOL[i % 100],) for i in range(BATCH)], None


def _drain_batch(s, tag):
    if s is not None:
        for i, r in enumerate(READERS):
            for j in range(INBOX_SIZE):
                s.send_message(POOL[i % 100], r, f"status update {tag}-{j} for {r}")
    return [(r,) for r in READERS], None


def _status_batch(s, tag):
    return [(POOL[i % 100],) for i in range(BATCH)], None


WORKLOADS = {
    "claim_file": Workload(with_claims, _claim_batch("file:")),
    "claim_task": Workload(with_claims, _claim_batch("task:")),
    "release": Workload(with_claims, _release_batch),
    "renew_claim": Workload(_renew_state, _renew_batch),
    "send_message": Workload(lambda impl: known_agents(impl, POOL), _send_batch),
    "broadcast": Workload(lambda impl: known_agents(impl, POOL[:BROADCAST_AGENTS]), _broadcast_batch,
                          per_call=BROADCAST_AGENTS),
    "inbox": Workload(lambda impl: known_agents(impl, POOL), _inbox_batch),
    "drain_inbox": Workload(lambda impl: impl(), _drain_batch),
    "status": Workload(with_claims, _status_batch),
}


def fresh_claims(impl, n, tag):
    """ns per grant for n claims into a new, empty object: includes growing
    the tables from nothing."""
    s = impl()
    items = [(POOL[i % 100], f"src/pkg_{tag}/module_{i}.py") for i in range(n)]
    dt, _ = timed(s, "claim_file", items, 2)
    return dt / n


def bench_methods(n, repeats, log):
    floor = halvex_floor.Floor()
    batches = max(1, n // BATCH)
    results = {}
    for method, arity in METHODS:
        wl = WORKLOADS[method]

        def floor_runner(fname):
            def run(r, b):
                items, _ = wl.batch(None, f"f{r}_{b}")
                return timed(floor, fname, items, arity)[0], len(items)
            return run

        def impl_runner(name, s):
            def run(r, b):
                items, undo = wl.batch(s, f"{name}{r}_{b}")
                dt, _ = timed(s, method, items, arity)
                if undo is not None:
                    undo()
                return dt, len(items)
            return run

        runners = {"call_floor": floor_runner(f"call{arity}"),
                   "boundary_floor": floor_runner(f"bound{arity}")}
        for name, impl in IMPLS.items():
            runners[name] = impl_runner(name, wl.state(impl))
        samples = interleaved(runners, batches, repeats)
        del runners
        fig = {k: median(v) for k, v in samples.items()}
        fig["spread"] = {k: (min(v), max(v)) for k, v in samples.items()}
        fig["loop"] = loop_cost(arity, n)
        if wl.per_call > 1:
            fig["module_per_delivery"] = fig["module"] / wl.per_call
            fig["peer_per_delivery"] = fig["peer"] / wl.per_call
            fig["module_vs_boundary"] = fig["module_per_delivery"] / fig["boundary_floor"]
        else:
            fig["module_vs_boundary"] = fig["module"] / fig["boundary_floor"]
        fig["peer_vs_module"] = fig["peer"] / fig["module"]
        if method == "claim_file":
            for name, impl in IMPLS.items():
                fig[f"{name}_from_empty"] = median(
                    [fresh_claims(impl, n, f"e{name}{r}") for r in range(max(3, repeats // 2))])
                gc.collect()
        results[method] = fig
        log(f"  {method:13s} call {fig['call_floor']:6.1f}  boundary {fig['boundary_floor']:6.1f}  "
            f"module {fig['module']:8.1f}  peer {fig['peer']:8.1f}  ns/call  "
            f"mod/bnd {fig['module_vs_boundary']:.2f}  peer/mod {fig['peer_vs_module']:.2f}")
    return results


def bench_results(sizes, calls, repeats, log):
    """inbox and drain_inbox of inboxes holding n messages, ns per message:
    the module, the peer, and the result floor building the same n tuples
    from the same texts and timestamps."""
    floor = halvex_floor.Floor()
    out = {}
    for n in sizes:
        messages = [(f"agent-{j % 4}", f"status update {j} for the build") for j in range(n)]
        per_batch = max(1, 2000 // n)  # reads per timed batch
        batches = max(3, calls // (per_batch * n))
        readers = [f"reader-{i}" for i in range(per_batch)]

        def fill(s, reader):
            for a, c in messages:
                s.send_message(a, reader, c)

        # inbox: one full inbox read again and again.
        states = {}
        for name, impl in IMPLS.items():
            states[name] = impl()
            fill(states[name], "reader")
        floor.load([(m[0], m[2], m[3]) for m in states["module"].inbox("reader")])
        items = [("reader",)] * per_batch

        def read_runner(obj, method):
            return lambda r, b: (timed(obj, method, items, 1)[0], per_batch * n)

        runners = {"floor": read_runner(floor, "result1")}
        runners.update({name: read_runner(s, "inbox") for name, s in states.items()})
        per = interleaved(runners, batches, repeats)
        out.setdefault("inbox", {})[n] = {k: median(v) for k, v in per.items()}

        # drain_inbox: per_batch inboxes of n messages, refilled untimed.
        def drain_runner(name, s):
            def run(r, b):
                for reader in readers:
                    fill(s, reader)
                dt, _ = timed(s, "drain_inbox", [(x,) for x in readers], 1)
                return dt, per_batch * n
            return run

        runners = {"floor": lambda r, b: (timed(floor, "result1", [(x,) for x in readers], 1)[0],
                                          per_batch * n)}
        runners.update({name: drain_runner(name, impl()) for name, impl in IMPLS.items()})
        per = interleaved(runners, batches, repeats)
        out.setdefault("drain_inbox", {})[n] = {k: median(v) for k, v in per.items()}
        for method in ("inbox", "drain_inbox"):
            f = out[method][n]
            log(f"  {method:11s} {fmt_size(n):>5s} messages: floor {f['floor']:6.1f}  module "
                f"{f['module']:6.1f}  peer {f['peer']:6.1f}  ns per message  "
                f"mod/floor {f['module'] / f['floor']:.2f}  peer/mod {f['peer'] / f['module']:.2f}")
        del states, runners
        gc.collect()
    return out


def bench_store_scaling(sizes, repeats, batches, lookups, log):
    """claim_file and status against S stored claims held by S known agents."""
    out = {"claim_file": {}, "status": {}}
    rng = random.Random(7)
    for size in sizes:
        agents = [f"agent-{i}" for i in range(size)]
        states = {}
        for name, impl in IMPLS.items():
            s = states[name] = impl()
            for i, a in enumerate(agents):
                s.claim_file(a, f"src/pkg_{i // 1000}/module_{i}.py")

        def claim_runner(name, s):
            def run(r, b):
                # Fresh keys are timed, then released untimed, so the store
                # stays at `size` claims throughout.
                items = [(agents[rng.randrange(size)], f"src/new_{name}{r}_{b}/file_{j}.py")
                         for j in range(BATCH)]
                dt, _ = timed(s, "claim_file", items, 2)
                for a, p in items:
                    s.release(a, "file:" + p)
                return dt, len(items)
            return run

        probes = [(a,) for a in rng.choices(agents, k=lookups)]

        def status_runner(s):
            def run(r, b):
                items = probes[b * BATCH:(b + 1) * BATCH]
                return timed(s, "status", items, 1)[0], len(items)
            return run

        claim = interleaved({n: claim_runner(n, s) for n, s in states.items()}, batches, repeats)
        status = interleaved({n: status_runner(s) for n, s in states.items()},
                             max(1, lookups // BATCH), repeats)
        for name in IMPLS:
            out["claim_file"].setdefault(name, {})[size] = median(claim[name])
            out["status"].setdefault(name, {})[size] = median(status[name])
        log(f"  {fmt_size(size):>5s} stored: claim_file module {median(claim['module']):7.1f} "
            f"peer {median(claim['peer']):7.1f}   status module {median(status['module']):7.1f} "
            f"peer {median(status['peer']):7.1f}  ns/call")
        del states
        gc.collect()
    return out


def bench_broadcast_scaling(sizes, repeats, deliveries, log):
    out = {}
    for k in sizes:
        agents = [f"agent-{i}" for i in range(k)]
        states = {name: known_agents(impl, agents) for name, impl in IMPLS.items()}
        per_batch = max(1, 1000 // k)  # broadcasts per timed batch
        batches = max(3, deliveries // (k * per_batch))

        def runner(name, s):
            def run(r, b):
                items = [(agents[(b * per_batch + i) % k], f"build {name}{r}-{b}-{i} is green")
                         for i in range(per_batch)]
                dt, _ = timed(s, "broadcast", items, 2)
                drain_all(s, agents)  # untimed: inboxes stay small, as in the per-method figure
                return dt, per_batch * k
            return run

        per = interleaved({n: runner(n, s) for n, s in states.items()}, batches, repeats)
        for name in IMPLS:
            out.setdefault(name, {})[k] = median(per[name])
        log(f"  {fmt_size(k):>5s} agents: broadcast module {median(per['module']):6.1f} "
            f"peer {median(per['peer']):6.1f}  ns per recipient")
        del states
        gc.collect()
    return out


def bench_drain_scaling(sizes, repeats, messages, log):
    out = {}
    for m in sizes:
        inboxes = max(1, messages // m)
        per_batch = max(1, 1000 // m)  # inboxes drained per timed batch
        readers = [(f"reader-{i}",) for i in range(inboxes)]
        states = {name: impl() for name, impl in IMPLS.items()}

        def refill(r):
            for s in states.values():
                for j in range(m):
                    content = f"status update {r}-{j}"
                    for (reader,) in readers:
                        s.send_message("agent-1", reader, content)

        def runner(s):
            def run(r, b):
                items = readers[b * per_batch:(b + 1) * per_batch]
                return timed(s, "drain_inbox", items, 1)[0], len(items) * m
            return run

        per = interleaved({n: runner(s) for n, s in states.items()},
                          max(1, inboxes // per_batch), repeats, refill)
        for name in IMPLS:
            out.setdefault(name, {})[m] = median(per[name])
        log(f"  {fmt_size(m):>5s} queued: drain_inbox module {median(per['module']):6.1f} "
            f"peer {median(per['peer']):6.1f}  ns per message")
        del states
        gc.collect()
    return out


def _rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def memory_child(impl_name, kind, n):
    agents = [f"agent-{i}" for i in range(1000)]
    if kind == "claims":
        args = [(agents[i % 1000], f"src/module_{i:06d}.py") for i in range(n)]
    else:
        args = [(agents[i % 1000], agents[(7 * i + 3) % 1000],
                 f"please review src/module_{i:06d}.py line {i % 500}") for i in range(n)]
    s = IMPLS[impl_name]()
    gc.collect()
    before = _rss()
    if kind == "claims":
        for a, p in args:
            s.claim_file(a, p)
    else:
        for a, b, c in args:
            s.send_message(a, b, c)
    gc.collect()
    after = _rss()
    print(json.dumps({"bytes_per": (after - before) / n, "before": before, "after": after}))


def bench_memory(n, log):
    out = {}
    for kind in ("claims", "messages"):
        for name in IMPLS:
            proc = subprocess.run(
                [sys.executable, os.path.join(HERE, "bench.py"), "--memory-child", name, kind, str(n)],
                check=True, capture_output=True, text=True)
            fig = json.loads(proc.stdout.strip().splitlines()[-1])
            out.setdefault(kind, {})[name] = fig["bytes_per"]
            log(f"  {name:6s} {kind:8s}: {fig['bytes_per']:7.1f} bytes each at {n} entries")
    return out
