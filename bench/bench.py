"""Benchmark suite for halvex_core.

Measures, in one run and side by side:
  * per method: the call floor, the boundary floor (bench/floor), the module
    and the plain-Python peer (tests/hardening/model.py), in ns per call;
  * scaling of claim_file/status with the number of stored claims and known
    agents, of broadcast with the number of recipients and of drain_inbox
    with the number of queued messages;
  * memory per stored claim and per sent message, module against peer, each
    in a fresh subprocess.

Writes bench/RESULTS.md, bench/results.png and bench/out/results.json.
Run through bench/run.sh, which builds everything first.
"""
import argparse
import datetime
import gc
import json
import os
import platform
import random
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
OUT = os.path.join(HERE, "out")
TESTS = os.path.join(os.path.dirname(HERE), "tests")
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(OUT, "floor"))
sys.path[:0] = [TESTS, os.path.join(TESTS, "hardening")]  # the method list and the peer

import halvex_core  # noqa: E402
import halvex_floor  # noqa: E402

import model as peer  # noqa: E402
from _support import METHODS as SIGNATURES  # noqa: E402

IMPLS = {"module": halvex_core.CoordinationState, "peer": peer.CoordinationState}
# name: (module/boundary-floor target, peer/module target); None: no target
# here (broadcast is judged per recipient, inbox and drain_inbox against the
# result floor at 10 messages, in their own sections).
TARGETS = {
    "claim_file": (2.5, 2.5),
    "claim_task": (2.5, 2.5),
    "release": (2.5, 2.5),
    "renew_claim": (2.0, 2.0),
    "send_message": (2.5, 2.5),
    "broadcast": (None, None),
    "inbox": (None, None),
    "drain_inbox": (None, None),
    "status": (1.3, 2.0),
}
RESULT_SIZES = [10, 1000]  # messages per inbox in the result-floor figures
RESULT_FLOOR_LIMIT = 1.5  # module per message over the result floor's
# peer / module at 10 messages per inbox
RESULT_PEER = {"inbox": 2.0, "drain_inbox": 2.5}
BROADCAST_PEER = 1.5  # peer / module per recipient, at 100 and 10^4 agents
# name, arity, module/boundary-floor target, peer/module target
METHODS = [(name, len(SIGNATURES[name])) + TARGETS[name] for name in SIGNATURES]
BROADCAST_AGENTS = 100  # known agents in the per-method broadcast figure
INBOX_SIZE = 1  # messages in each inbox read or drained in the per-method figures
POOL = [f"agent-{i}" for i in range(100)]


# ---------------------------------------------------------------------------
# Timing core


_LOOPS = {}


def _loop(method, arity):
    """A compiled timing loop `for a, b in items: obj.method(a, b)`.

    method=None gives the same loop with an empty body, whose cost is
    subtracted so that figures are the cost of the calls alone."""
    key = (method, arity)
    if key not in _LOOPS:
        names = ", ".join("abc"[:arity])
        target = names + ("," if arity == 1 else "")
        body = f"obj.{method}({names})" if method else "pass"
        src = (
            "def run(obj, items, clock):\n"
            "    t0 = clock()\n"
            f"    for {target} in items:\n"
            f"        {body}\n"
            "    return clock() - t0\n"
        )
        ns = {}
        exec(src, ns)  # noqa: S102 - fixed template, no outside input
        _LOOPS[key] = ns["run"]
    return _LOOPS[key]


# The CPU time of this thread, not wall time: on a shared machine a timed
# loop is often preempted, and wall time then charges other processes' work
# to whichever variant was running. --wall switches back to perf_counter_ns.
CLOCK = time.thread_time_ns


def timed(obj, method, items, arity):
    """Net ns for one pass of obj.method over items (empty loop subtracted)."""
    clock = CLOCK
    empty = _loop(None, arity)(None, items, clock)
    raw = _loop(method, arity)(obj, items, clock)
    return raw - empty, empty


def median(xs):
    return statistics.median(xs)


# ---------------------------------------------------------------------------
# Per-method figures


BATCH = 200  # calls per timed batch in the per-method figures


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


def interleaved(runners, batches, repeats, before_repeat=None):
    """Runs the batches of several variants alternately, rotating their order,
    so that load drifting on a shared machine hits all of them alike.

    runners: name -> fn(r, b) -> (ns, units). Returns name -> one figure per
    repeat, ns per unit over all of that repeat's batches (so costs that come
    now and then, such as a table growing, stay in)."""
    names = list(runners)
    out = {n: [] for n in names}
    for r in range(repeats):
        if before_repeat is not None:
            before_repeat(r)
        totals = {n: [0, 0] for n in names}
        for b in range(batches):
            k = b % len(names)
            for n in names[k:] + names[:k]:
                ns, units = runners[n](r, b)
                totals[n][0] += ns
                totals[n][1] += units
        for n in names:
            out[n].append(totals[n][0] / totals[n][1])
    return out


def fresh_claims(impl, n, tag):
    """ns per grant for n claims into a new, empty object: includes growing
    the tables from nothing."""
    s = impl()
    items = [(POOL[i % 100], f"src/pkg_{tag}/module_{i}.py") for i in range(n)]
    dt, _ = timed(s, "claim_file", items, 2)
    return dt / n


def loop_cost(arity, n):
    items = [tuple(POOL[:arity])] * n
    return median([_loop(None, arity)(None, items, CLOCK) / n for _ in range(5)])


def bench_methods(n, repeats, log):
    floor = halvex_floor.Floor()
    batches = max(1, n // BATCH)
    results = {}
    for method, arity, _, _ in METHODS:
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


# ---------------------------------------------------------------------------
# Results against the result floor


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


# ---------------------------------------------------------------------------
# Scaling


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


# ---------------------------------------------------------------------------
# Memory, one fresh subprocess per figure


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
                [sys.executable, os.path.abspath(__file__), "--memory-child", name, kind, str(n)],
                check=True, capture_output=True, text=True)
            fig = json.loads(proc.stdout.strip().splitlines()[-1])
            out.setdefault(kind, {})[name] = fig["bytes_per"]
            log(f"  {name:6s} {kind:8s}: {fig['bytes_per']:7.1f} bytes each at {n} entries")
    return out


# ---------------------------------------------------------------------------
# Targets and reporting


def flat(curve):
    """Per-item cost at the largest size over the smallest per-item cost seen."""
    sizes = sorted(curve)
    return curve[sizes[-1]] / min(curve.values())


LINEAR_LIMIT = 1.5


def evaluate(res):
    m = res["methods"]
    targets = []
    for method, _, bound_t, peer_t in METHODS:
        if bound_t is not None:
            targets.append((f"{method}: module / boundary floor (per call)",
                            m[method]["module_vs_boundary"], f"<= {bound_t}",
                            m[method]["module_vs_boundary"] <= bound_t))
    for method in ("inbox", "drain_inbox"):
        for n, f in sorted(res["results"][method].items()):
            r = f["module"] / f["floor"]
            targets.append((f"{method} of {fmt_size(n)} messages: module / result floor "
                            "(per message)", r, f"<= {RESULT_FLOOR_LIMIT}", r <= RESULT_FLOOR_LIMIT))
    for method, _, _, peer_t in METHODS:
        if peer_t is not None:
            targets.append((f"{method}: peer / module", m[method]["peer_vs_module"],
                            f">= {peer_t}", m[method]["peer_vs_module"] >= peer_t))
    for method, want in RESULT_PEER.items():
        n = min(res["results"][method])
        f = res["results"][method][n]
        r = f["peer"] / f["module"]
        targets.append((f"{method} of {fmt_size(n)} messages: peer / module", r, f">= {want}",
                        r >= want))
    bc = res["broadcast"]
    for label, r in ((f"{BROADCAST_AGENTS} known agents", m["broadcast"]["peer_vs_module"]),
                     (f"{fmt_size(max(bc['module']))} known agents",
                      bc["peer"][max(bc["peer"])] / bc["module"][max(bc["module"])])):
        targets.append((f"broadcast per recipient at {label}: peer / module", r,
                        f">= {BROADCAST_PEER}", r >= BROADCAST_PEER))
    for method, limit in (("claim_file", 1.8), ("status", 2.0)):
        curve = res["store"][method]["module"]
        small, large = min(curve), max(curve)
        r = curve[large] / curve[small]
        targets.append((f"{method} at {fmt_size(large)} stored / at {fmt_size(small)}", r,
                        f"<= {limit}", r <= limit))
    for label, curve in (("broadcast per recipient", res["broadcast"]["module"]),
                         ("drain_inbox per message", res["drain"]["module"])):
        r = flat(curve)
        targets.append((f"{label}: largest size / cheapest size (linear)", r,
                        f"<= {LINEAR_LIMIT}", r <= LINEAR_LIMIT))
    mem = res["memory"]
    r = mem["claims"]["module"] / mem["claims"]["peer"]
    targets.append(("memory per stored claim: module / peer", r, "<= 0.75", r <= 0.75))
    r = mem["messages"]["module"] / mem["messages"]["peer"]
    targets.append(("memory per sent message: module / peer", r, "<= 0.75", r <= 0.75))
    return targets


def machine_info():
    cpu = platform.processor() or "unknown"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    return {
        "cpu": cpu,
        "cores": os.cpu_count(),
        "python": f"{platform.python_implementation()} {platform.python_version()}",
        "platform": platform.platform(),
        "date": datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC"),
        "loadavg": os.getloadavg(),
        "source": _source(),
    }


def _source():
    try:
        with open(os.path.join(OUT, "wheel", "SOURCE")) as f:
            return f.read().strip()
    except OSError:
        return "unknown"


def fmt_size(n):
    exp = len(str(n)) - 1
    return f"10^{exp}" if n == 10 ** exp else str(n)


def write_markdown(res, targets, path):
    info = res["machine"]
    cfg = res["config"]
    m = res["methods"]
    lines = [
        "# halvex_core benchmark results",
        "",
        "Written by `bash bench/run.sh" + (" --quick" if cfg["quick"] else "") + "`; do not edit by hand.",
        "",
        f"- Machine: {info['cpu']}, {info['cores']} cores ({info['platform']})",
        f"- Interpreter: {info['python']}; module built from commit {info['source']}",
        f"- Date: {info['date']}; load average at start {info['loadavg'][0]:.2f}, "
        f"at end {res['loadavg_end'][0]:.2f}",
        f"- Mode: {'quick' if cfg['quick'] else 'full'}; {cfg['calls']} calls per timed loop, "
        f"median of {cfg['repeats']} repeats; clock `{cfg['clock']}`; total run {res['elapsed_s']:.0f} s",
        "",
        "The machine is shared and small: treat differences under ~15% as noise.",
        "",
        "## Method",
        "",
        f"- Every figure is ns per call, timed with `time.{cfg['clock']}` around a loop "
        "`for a, b in items: obj.method(a, b)` over pre-built arguments; the cost of the same loop "
        "with an empty body is subtracted, so figures are the calls alone. "
        + ("The clock is this thread's CPU time (page faults included, time spent preempted "
           "by other processes left out), which keeps figures steady on a shared machine; "
           "`--wall` times with `perf_counter_ns` instead. "
           if cfg["clock"] == "thread_time_ns" else "The clock is wall time. ")
        + "The garbage collector is off inside timed loops (as `timeit` does). "
        "Each figure is the median over repeats; within a repeat the variants' batches alternate.",
        "- Call floor: a C method (same `METH_VARARGS | METH_KEYWORDS` convention, same argument "
        "count) that returns its first argument. Boundary floor: one that binds the arguments, "
        "encodes each with `PyUnicode_AsUTF8String` into owned memory and returns a fresh `str`.",
        "- Peer: `tests/hardening/model.py`, the plain-Python implementation (dicts, lists, "
        "one lock) that is also the hardening tests' oracle; `bench/check_peer.py` checks it "
        "answers like the module.",
        f"- Each figure is measured on a small state that keeps its size: calls run in timed batches "
        f"of {BATCH}, and each batch's arguments are made, and what it added is undone, outside the "
        "timing. claim_file / claim_task: fresh keys, every call a grant, 100 agents holding 100 "
        "claims (the batch's claims are released afterwards). release / renew_claim: claims held "
        "by the caller. send_message: to one of 100 known agents, content ~35 chars (inboxes "
        f"drained between batches). broadcast: {BROADCAST_AGENTS} known agents; its boundary ratio "
        "is the cost per delivered message over the boundary floor's cost per call. inbox: an "
        f"inbox holding {INBOX_SIZE} message. drain_inbox: {BATCH} distinct inboxes of "
        f"{INBOX_SIZE} message each, refilled between batches. status: one of 100 known agents.",
        "",
        "## Per method (ns per call)",
        "",
        "| method | call floor | boundary floor | module | peer | module / boundary | peer / module |",
        "|---|---:|---:|---:|---:|---:|---:|",
    ]
    for method, _, _, _ in METHODS:
        f = m[method]
        mod = f"{f['module']:.0f}"
        peer_s = f"{f['peer']:.0f}"
        if method == "broadcast":
            mod += f" ({f['module_per_delivery']:.0f}/msg)"
            peer_s += f" ({f['peer_per_delivery']:.0f}/msg)"
        lines.append(f"| {method} | {f['call_floor']:.0f} | {f['boundary_floor']:.0f} | {mod} | "
                     f"{peer_s} | {f['module_vs_boundary']:.2f} | {f['peer_vs_module']:.2f} |")
    f = m["claim_file"]
    lines += ["", f"claim_file into a new, empty object ({cfg['calls']} grants in one loop, so the "
              f"cost of growing the tables from nothing is included): module {f['module_from_empty']:.0f} ns, "
              f"peer {f['peer_from_empty']:.0f} ns per call "
              f"(module / boundary floor {f['module_from_empty'] / f['boundary_floor']:.2f}, "
              f"peer / module {f['peer_from_empty'] / f['module_from_empty']:.2f})."]
    loops = ", ".join(f"{meth} {m[meth]['loop']:.0f}" for meth in ("claim_file", "send_message", "status"))
    lines += ["", f"Subtracted empty-loop cost, ns per iteration: {loops}.", ""]

    lines += ["## Results against the result floor", "",
              "Result floor: a C method of the same convention that binds and encodes its one "
              "argument, then builds a list of n 4-tuples (str, str, str, int) from UTF-8 bytes "
              "and integers stored in C memory, the argument's str as item 1 of each: the least "
              "any implementation must do to answer inbox or drain_inbox. Inboxes hold n messages "
              "from 4 senders; inbox reads one such inbox repeatedly, drain_inbox drains inboxes "
              "refilled (untimed) before each batch. ns per message.", "",
              "| method | messages | result floor | module | peer | module / floor | peer / module |",
              "|---|---:|---:|---:|---:|---:|---:|"]
    for method in ("inbox", "drain_inbox"):
        for n, f in sorted(res["results"][method].items()):
            lines.append(f"| {method} | {fmt_size(n)} | {f['floor']:.1f} | {f['module']:.1f} | "
                         f"{f['peer']:.1f} | {f['module'] / f['floor']:.2f} | "
                         f"{f['peer'] / f['module']:.2f} |")
    lines += [""]

    lines += ["## Scaling", "", "claim_file and status against the number of stored claims "
              "(each held by its own agent, so also the number of known agents); status probes "
              "known agents in random order.", "",
              "| stored | claim_file module | claim_file peer | status module | status peer |",
              "|---:|---:|---:|---:|---:|"]
    st = res["store"]
    for size in sorted(st["claim_file"]["module"]):
        lines.append(f"| {fmt_size(size)} | {st['claim_file']['module'][size]:.0f} | "
                     f"{st['claim_file']['peer'][size]:.0f} | {st['status']['module'][size]:.0f} | "
                     f"{st['status']['peer'][size]:.0f} |")
    lines += ["", "broadcast: inboxes are drained (untimed) after every timed batch. drain_inbox: "
              "inboxes are refilled before each repeat and drained in batches of about 1000 "
              "messages.", "",
              "| known agents | broadcast module, ns per recipient | broadcast peer |",
              "|---:|---:|---:|"]
    for k in sorted(res["broadcast"]["module"]):
        lines.append(f"| {fmt_size(k)} | {res['broadcast']['module'][k]:.1f} | "
                     f"{res['broadcast']['peer'][k]:.1f} |")
    lines += ["", "| queued messages per drain | drain_inbox module, ns per message | drain_inbox peer |",
              "|---:|---:|---:|"]
    for q in sorted(res["drain"]["module"]):
        lines.append(f"| {fmt_size(q)} | {res['drain']['module'][q]:.1f} | {res['drain']['peer'][q]:.1f} |")

    mem = res["memory"]
    lines += ["", f"## Memory (RSS growth per entry at {fmt_size(cfg['memory_n'])} entries, "
              "fresh subprocess each)", "",
              "Arguments are built before the first reading and held alive, the same way for both; "
              "only the growth caused by the calls counts. A sent message counts its inbox copy and "
              "its activity record.", "",
              "| entry | module, bytes | peer, bytes | module / peer |", "|---|---:|---:|---:|"]
    for kind, label in (("claims", "stored claim"), ("messages", "sent message")):
        lines.append(f"| {label} | {mem[kind]['module']:.0f} | {mem[kind]['peer']:.0f} | "
                     f"{mem[kind]['module'] / mem[kind]['peer']:.2f} |")

    lines += ["", "## Targets", "", "| target | measured | wanted | result |", "|---|---:|---:|---|"]
    for label, value, wanted, ok in targets:
        lines.append(f"| {label} | {value:.2f} | {wanted} | {'PASS' if ok else 'MISS'} |")
    passed = sum(1 for t in targets if t[3])
    lines += ["", f"{passed} of {len(targets)} targets met.", "",
              f"Linear means the per-item cost at the largest size is at most {LINEAR_LIMIT}x the "
              "cheapest per-item cost at any size (small sizes carry the fixed per-call cost).", ""]
    with open(path, "w") as f:
        f.write("\n".join(lines))


def write_chart(res, path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    m = res["methods"]
    names = [meth for meth, *_ in METHODS]
    fig, axes = plt.subplots(2, 2, figsize=(13, 9))

    ax = axes[0][0]
    names = [meth for meth, _, t, _ in METHODS if t is not None]
    vals = [m[n]["module_vs_boundary"] for n in names]
    lims = [t for _, _, t, _ in METHODS if t is not None]
    colors = ["tab:green" if v <= t else "tab:red" for v, t in zip(vals, lims)]
    ax.bar(names, vals, color=colors)
    ax.scatter(names, lims, marker="_", s=400, color="black", label="target (at most)")
    ax.set_title("module / boundary floor")
    ax.tick_params(axis="x", rotation=40)
    ax.legend(fontsize="small")

    ax = axes[0][1]
    names = [meth for meth, _, _, t in METHODS if t is not None]
    vals = [m[n]["peer_vs_module"] for n in names]
    lims = [t for _, _, _, t in METHODS if t is not None]
    colors = ["tab:green" if v >= t else "tab:red" for v, t in zip(vals, lims)]
    ax.bar(names, vals, color=colors)
    ax.scatter(names, lims, marker="_", s=400, color="black", label="target (at least)")
    ax.set_title("peer / module (speed-up over plain Python)")
    ax.tick_params(axis="x", rotation=40)
    ax.legend(fontsize="small")

    ax = axes[1][0]
    for op, style in (("claim_file", "o-"), ("status", "s--")):
        for impl, color in (("module", "tab:blue"), ("peer", "tab:orange")):
            curve = res["store"][op][impl]
            xs = sorted(curve)
            ax.plot(xs, [curve[x] for x in xs], style, color=color, label=f"{op} {impl}")
    ax.set_xscale("log")
    ax.set_yscale("log")
    ax.set_xlabel("stored claims / known agents")
    ax.set_ylabel("ns per call")
    ax.set_title("claim_file and status vs store size")
    ax.legend(fontsize="small")

    ax = axes[1][1]
    for op, style, xlabel in (("broadcast", "o-", "recipients"), ("drain", "s--", "queued")):
        for impl, color in (("module", "tab:blue"), ("peer", "tab:orange")):
            curve = res[op][impl]
            xs = sorted(curve)
            ax.plot(xs, [curve[x] for x in xs], style, color=color, label=f"{op} {impl}")
    ax.set_xscale("log")
    ax.set_yscale("log")
    ax.set_xlabel("recipients per broadcast / messages per drain")
    ax.set_ylabel("ns per item")
    ax.set_title("broadcast per recipient, drain_inbox per message")
    ax.legend(fontsize="small")

    fig.suptitle(f"halvex_core on {res['machine']['cpu']} ({res['machine']['cores']} cores), "
                 f"{res['machine']['python']}, {res['machine']['date']}")
    fig.tight_layout()
    fig.savefig(path, dpi=90)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--quick", action="store_true", help="fewer calls and repeats (about a minute)")
    ap.add_argument("--memory-child", nargs=3, metavar=("IMPL", "KIND", "N"), help=argparse.SUPPRESS)
    ap.add_argument("--wall", action="store_true",
                    help="time with perf_counter_ns (wall clock) instead of the thread's CPU time")
    args = ap.parse_args()
    global CLOCK
    if args.wall:
        CLOCK = time.perf_counter_ns
    if args.memory_child:
        impl, kind, n = args.memory_child
        memory_child(impl, kind, int(n))
        return 0

    if args.quick:
        cfg = dict(calls=10_000, repeats=5, store_sizes=[100, 10_000, 1_000_000], claim_batches=5,
                   lookups=10_000, bcast_sizes=[10, 1000, 10_000], deliveries=50_000,
                   drain_sizes=[10, 1000, 100_000], drain_messages=100_000, memory_n=1_000_000)
    else:
        cfg = dict(calls=40_000, repeats=11, store_sizes=[100, 10_000, 1_000_000], claim_batches=20,
                   lookups=40_000, bcast_sizes=[10, 1000, 10_000], deliveries=200_000,
                   drain_sizes=[10, 1000, 100_000], drain_messages=200_000, memory_n=1_000_000)
    cfg["quick"] = args.quick
    cfg["clock"] = "perf_counter_ns" if args.wall else "thread_time_ns"

    start = time.time()

    def log(msg):
        print(f"[{time.time() - start:6.1f}s] {msg}", flush=True)

    res = {"machine": machine_info(), "config": cfg}
    log(f"{res['machine']['cpu']}, {res['machine']['cores']} cores, {res['machine']['python']}")
    # Nothing here makes reference cycles; collections run explicitly between
    # measurements instead of at random points inside them.
    gc.disable()
    log("per method")
    res["methods"] = bench_methods(cfg["calls"], cfg["repeats"], log)
    log("inbox / drain_inbox vs the result floor")
    res["results"] = bench_results(RESULT_SIZES, cfg["calls"], cfg["repeats"], log)
    log("claim_file / status vs stored claims")
    res["store"] = bench_store_scaling(cfg["store_sizes"], cfg["repeats"], cfg["claim_batches"],
                                       cfg["lookups"], log)
    log("broadcast vs known agents")
    res["broadcast"] = bench_broadcast_scaling(cfg["bcast_sizes"], cfg["repeats"], cfg["deliveries"], log)
    log("drain_inbox vs queued messages")
    res["drain"] = bench_drain_scaling(cfg["drain_sizes"], cfg["repeats"], cfg["drain_messages"], log)
    gc.enable()
    log("memory")
    res["memory"] = bench_memory(cfg["memory_n"], log)
    res["elapsed_s"] = time.time() - start
    res["loadavg_end"] = os.getloadavg()

    targets = evaluate(res)
    print("\nTargets:")
    for label, value, wanted, ok in targets:
        print(f"  {'PASS' if ok else 'MISS'}  {label}: {value:.2f} (wanted {wanted})")
    print(f"  {sum(t[3] for t in targets)} of {len(targets)} met")

    os.makedirs(OUT, exist_ok=True)
    res["targets"] = [dict(label=l, value=v, wanted=w, ok=o) for l, v, w, o in targets]
    with open(os.path.join(OUT, "results.json"), "w") as f:
        json.dump(res, f, indent=1, default=str)
    write_markdown(res, targets, os.path.join(HERE, "RESULTS.md"))
    write_chart(res, os.path.join(HERE, "results.png"))
    log("wrote bench/RESULTS.md, bench/results.png, bench/out/results.json")
    return 0


if __name__ == "__main__":
    sys.exit(main())
