"""Calls one method of the module (or the boundary floor of the same arity)
in the same batches the benchmark uses, for a run under callgrind
(bench/profile.sh). Prints how many calls (deliveries, for broadcast) ran.

    python profile_driver.py METHOD N [module|floor]
    python profile_driver.py --methods     (each method and its arity)
"""
import gc
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import bench  # noqa: E402  (imports the module first found on sys.path)


def main():
    if sys.argv[1] == "--methods":  # "<method> <arity>" lines, for bench/profile.sh
        for method, arity, _, _ in bench.METHODS:
            print(method, arity)
        return
    method, n = sys.argv[1], int(sys.argv[2])
    which = sys.argv[3] if len(sys.argv) > 3 else "module"
    arity = {m: a for m, a, _, _ in bench.METHODS}[method]
    wl = bench.WORKLOADS[method]
    gc.disable()
    floor = which == "floor"
    obj = bench.halvex_floor.Floor() if floor else wl.state(bench.IMPLS[which])
    name = f"bound{arity}" if floor else method
    units = 0
    for b in range(max(1, n // bench.BATCH)):
        items, undo = wl.batch(None if floor else obj, f"p{b}")
        bench.timed(obj, name, items, arity)
        units += len(items) * (1 if floor else wl.per_call)
        if undo is not None and not floor:
            undo()
    print(f"units={units}")


if __name__ == "__main__":
    main()
