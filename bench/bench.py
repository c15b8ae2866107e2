"""Benchmark suite for halvex_core.

Measures, in one run and side by side:
  * per method: the call floor, the boundary floor (bench/floor), the module
    and the plain-Python peer (reference/model.py), in ns per call;
  * scaling of claim_file/status with the number of stored claims and known
    agents, of broadcast with the number of recipients and of drain_inbox
    with the number of queued messages;
  * memory per stored claim and per sent message, module against peer, each
    in a fresh subprocess.

Writes bench/RESULTS.md, bench/results.png and bench/out/results.json.
Run through bench/run.sh, which builds everything first. The timing core is
in timing.py, the workloads in workloads.py, targets and output in report.py.
"""
import argparse
import gc
import json
import os
import sys
import time

import timing
from report import evaluate, machine_info, write_chart, write_markdown
from workloads import (HERE, OUT, RESULT_SIZES, bench_broadcast_scaling, bench_drain_scaling,
                       bench_memory, bench_methods, bench_results, bench_store_scaling, memory_child)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--quick", action="store_true", help="fewer calls and repeats (about a minute)")
    ap.add_argument("--memory-child", nargs=3, metavar=("IMPL", "KIND", "N"), help=argparse.SUPPRESS)
    ap.add_argument("--wall", action="store_true",
                    help="time with perf_counter_ns (wall clock) instead of the thread's CPU time")
    args = ap.parse_args()
    if args.wall:
        timing.use_wall_clock()
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
