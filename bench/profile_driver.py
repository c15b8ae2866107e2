"""Calls one method of the module (or the boundary floor of the same arity)
in the same batches the benchmark uses, for a run under callgrind
(bench/profile.sh). Prints how many calls (deliveries, for broadcast) ran.

    python profile_driver.py METHOD N [module|floor]
    python profile_driver.py --methods     (each method and its arity)
"""
import gc
import sys

import timing
import workloads as W


def main():
    if sys.argv[1] == "--methods":  # "<method> <arity>" lines, for bench/profile.sh
        for method, arity in W.METHODS:
            print(method, arity)
        return
    method, n = sys.argv[1], int(sys.argv[2])
    which = sys.argv[3] if len(sys.argv) > 3 else "module"
    arity = dict(W.METHODS)[method]
    wl = W.WORKLOADS[method]
    gc.disable()
    floor = which == "floor"
    obj = W.halvex_floor.Floor() if floor else wl.state(W.IMPLS[which])
    name = f"bound{arity}" if floor else method
    units = 0
    for b in range(max(1, n // W.BATCH)):
        items, undo = wl.batch(None if floor else obj, f"p{b}")
        timing.timed(obj, name, items, arity)
        units += len(items) * (1 if floor else wl.per_call)
        if undo is not None and not floor:
            undo()
    print(f"units={units}")


if __name__ == "__main__":
    main()
