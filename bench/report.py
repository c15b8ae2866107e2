"""The benchmarks' targets and what a run writes: the Markdown report and
the chart.
"""
import datetime
import os
import platform

from workloads import BATCH, BROADCAST_AGENTS, INBOX_SIZE, METHODS, OUT, fmt_size

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
RESULT_FLOOR_LIMIT = 1.5  # module per message over the result floor's
# peer / module at 10 messages per inbox
RESULT_PEER = {"inbox": 2.0, "drain_inbox": 2.5}
BROADCAST_PEER = 1.5  # peer / module per recipient, at 100 and 10^4 agents
# name, module/boundary-floor target, peer/module target
GOALS = [(name,) + TARGETS[name] for name, _ in METHODS]


def flat(curve):
    """Per-item cost at the largest size over the smallest per-item cost seen."""
    sizes = sorted(curve)
    return curve[sizes[-1]] / min(curve.values())


LINEAR_LIMIT = 1.5


def evaluate(res):
    m = res["methods"]
    targets = []
    for method, bound_t, peer_t in GOALS:
        if bound_t is not None:
            targets.append((f"{method}: module / boundary floor (per call)",
                            m[method]["module_vs_boundary"], f"<= {bound_t}",
                            m[method]["module_vs_boundary"] <= bound_t))
    for method in ("inbox", "drain_inbox"):
        for n, f in sorted(res["results"][method].items()):
            r = f["module"] / f["floor"]
            targets.append((f"{method} of {fmt_size(n)} messages: module / result floor "
                            "(per message)", r, f"<= {RESULT_FLOOR_LIMIT}", r <= RESULT_FLOOR_LIMIT))
    for method, _, peer_t in GOALS:
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
        "- Peer: `reference/model.py`, the plain-Python implementation (dicts, lists, "
        "one lock) that is also the hardening tests' oracle, so the stateful test checks it "
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
    for method, _ in METHODS:
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
    fig, axes = plt.subplots(2, 2, figsize=(13, 9))

    def ratio_bars(ax, column, ratio, at_most, title):
        goals = [(name, t[column]) for name, *t in GOALS if t[column] is not None]
        names = [name for name, _ in goals]
        vals = [m[name][ratio] for name in names]
        lims = [t for _, t in goals]
        colors = ["tab:green" if (v <= t if at_most else v >= t) else "tab:red"
                  for v, t in zip(vals, lims)]
        ax.bar(names, vals, color=colors)
        ax.scatter(names, lims, marker="_", s=400, color="black",
                   label="target (at most)" if at_most else "target (at least)")
        ax.set_title(title)
        ax.tick_params(axis="x", rotation=40)
        ax.legend(fontsize="small")

    def curves(ax, series, xlabel, ylabel, title):
        for curves_of, op, style in series:
            for impl, color in (("module", "tab:blue"), ("peer", "tab:orange")):
                curve = curves_of[impl]
                xs = sorted(curve)
                ax.plot(xs, [curve[x] for x in xs], style, color=color, label=f"{op} {impl}")
        ax.set_xscale("log")
        ax.set_yscale("log")
        ax.set_xlabel(xlabel)
        ax.set_ylabel(ylabel)
        ax.set_title(title)
        ax.legend(fontsize="small")

    ratio_bars(axes[0][0], 0, "module_vs_boundary", True, "module / boundary floor")
    ratio_bars(axes[0][1], 1, "peer_vs_module", False, "peer / module (speed-up over plain Python)")
    curves(axes[1][0], [(res["store"][op], op, style) for op, style in (("claim_file", "o-"), ("status", "s--"))],
           "stored claims / known agents", "ns per call", "claim_file and status vs store size")
    curves(axes[1][1], [(res["broadcast"], "broadcast", "o-"), (res["drain"], "drain", "s--")],
           "recipients per broadcast / messages per drain", "ns per item",
           "broadcast per recipient, drain_inbox per message")

    fig.suptitle(f"halvex_core on {res['machine']['cpu']} ({res['machine']['cores']} cores), "
                 f"{res['machine']['python']}, {res['machine']['date']}")
    fig.tight_layout()
    fig.savefig(path, dpi=90)
