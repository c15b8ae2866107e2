"""claim_next on a task graph, on the SQLite state and on Redis.

Measured: one claim_next with N tasks of which 10 are ready (every other
task depends on one of those 10), for N from 10^2 to 10^5 (--max); each
claim is released again, untimed, so the same 10 stay ready. The ratio to
the smallest graph shows how the cost grows: claim_next reads the ready
tasks, not the graph, so it should stay near 1.

    python bench/tasks_bench.py [--max N] [--rounds N] [--redis-server PATH]
"""
from __future__ import annotations

import argparse
import random
import statistics
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "python"))
sys.path.insert(0, str(ROOT / "bench"))

from guard_bench import _states  # noqa: E402  (the states, a redis-server started for them)

READY = 10


def _graph(state, size: int, rng: random.Random) -> None:
    for i in range(size):
        deps = [] if i < READY else ["t%d" % rng.randrange(READY)]
        state.add_task("planner", "t%d" % i, "task %d" % i, deps)


def _claims(state, rounds: int) -> float:
    times = []
    for _ in range(rounds):
        started = time.perf_counter()
        got = state.claim_next("bench")
        times.append(time.perf_counter() - started)
        assert got.task is not None, got.why
        state.release("bench", "task:" + got.task.task_id)
    return statistics.median(times)


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--max", type=int, default=100_000, help="the largest graph (default 10^5)")
    ap.add_argument("--rounds", type=int, default=200, help="claims timed per graph")
    ap.add_argument("--redis-server", help="the redis-server to start (default: from PATH)")
    args = ap.parse_args()
    sizes = [n for n in (100, 1_000, 10_000, 100_000) if n <= args.max]
    with tempfile.TemporaryDirectory() as tmp:
        for name, state, target in _states(Path(tmp), args.redis_server):
            base = None
            for size in sizes:
                ns = "%s-%d" % (name, size)
                if name == "sqlite":
                    import halvex_sqlite
                    state = halvex_sqlite.CoordinationState(str(Path(tmp) / "state.db"),
                                                            namespace=ns)
                else:
                    import halvex_redis
                    state = halvex_redis.CoordinationState(target[1], namespace=ns)
                started = time.perf_counter()
                _graph(state, size, random.Random(size))
                built = time.perf_counter() - started
                took = _claims(state, args.rounds)
                base = base or took
                print(f"{name}: {size:>7,} tasks, {READY} ready: claim_next {took * 1e3:7.3f} ms "
                      f"(x{took / base:.2f} of {sizes[0]:,}); graph built in {built:.1f} s")


if __name__ == "__main__":
    main()
