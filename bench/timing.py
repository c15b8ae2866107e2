"""The timing core of the benchmarks: compiled loops over pre-built
arguments with the empty loop's cost subtracted, and variants run in
alternating batches.
"""
import statistics
import time

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


def use_wall_clock():
    global CLOCK
    CLOCK = time.perf_counter_ns


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


def loop_cost(arity, n):
    """ns per iteration of the empty loop over n argument tuples."""
    items = [("arg",) * arity] * n
    return median([_loop(None, arity)(None, items, CLOCK) / n for _ in range(5)])
