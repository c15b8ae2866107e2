"""halvex_sqlite against a hand-written sqlite3 peer, in the same run.

The peer is the least a program needs for the same two cycles on one file
(WAL, synchronous=NORMAL): claim+release is `INSERT OR IGNORE` + `DELETE`,
send+drain is `INSERT` + `SELECT`/`DELETE` in one transaction. It keeps no
leases, tokens, statuses, activity or unconfirmed batches.

Measured:
  * claim+release/s and send+drain/s in one process, rounds taking turns
    (the median round of each is reported);
  * the same with 8 processes on one file, and the p99 of every call made
    by the 8 halvex_sqlite writers; beside it, the p99 of a no-op "call"
    that only burns 15, 30 or 45 us of CPU in 8 processes (without a lock,
    and holding a turn at a lock file): what being descheduled costs;
  * the same 8 writers paced (each sleeps between cycles, as agents do, at
    --pace cycles a second), both sides' p50 and p99;
  * wake latency of wait_inbox (median) with a sender in another process,
    and the CPU an idle wait costs;
  * synchronous=NORMAL against FULL, one process;
  * what a claim's and a release's statement costs by its parts: the clock
    (read by SQLite, bound from Python, a constant), the trigger noting the
    agent's status and last call, the one writing the activity record, and
    an explicit transaction around the statement.

    python bench/sqlite_bench.py [--seconds S] [--rounds N] [--processes P]
                                 [--pace CYCLES] [--idle S] [--dir DIR]
"""
from __future__ import annotations

import argparse
import multiprocessing
import os
import shutil
import sqlite3
import statistics
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "python"))

import halvex_sqlite  # noqa: E402
from halvex_sqlite import _core, _store  # noqa: E402

KEYS = 200


# ---- the peer -------------------------------------------------------------------

class Peer:
    def __init__(self, path: str) -> None:
        self.db = sqlite3.connect(path, timeout=60, isolation_level=None)
        self.db.execute("PRAGMA journal_mode=WAL")
        self.db.execute("PRAGMA synchronous=NORMAL")
        self.db.execute("CREATE TABLE IF NOT EXISTS claims (key TEXT PRIMARY KEY, holder TEXT)")
        self.db.execute("CREATE TABLE IF NOT EXISTS inbox (id INTEGER PRIMARY KEY, "
                        "agent TEXT, sender TEXT, content TEXT, at INTEGER)")
        self.db.execute("CREATE INDEX IF NOT EXISTS inbox_agent ON inbox (agent)")

    def claim(self, agent: str, key: str) -> None:
        self.db.execute("INSERT OR IGNORE INTO claims VALUES (?, ?)", (key, agent))

    def release(self, agent: str, key: str) -> None:
        self.db.execute("DELETE FROM claims WHERE key = ? AND holder = ?", (key, agent))

    def send(self, sender: str, to: str, content: str) -> None:
        self.db.execute("INSERT INTO inbox (agent, sender, content, at) VALUES (?, ?, ?, ?)",
                        (to, sender, content, int(time.time())))

    def drain(self, agent: str) -> list[tuple[str, str, str, int]]:
        db = self.db
        db.execute("BEGIN IMMEDIATE")
        rows = db.execute("SELECT sender, content, at FROM inbox WHERE agent = ? ORDER BY id",
                          (agent,)).fetchall()
        db.execute("DELETE FROM inbox WHERE agent = ?", (agent,))
        db.execute("COMMIT")
        return [(s, agent, c, a) for s, c, a in rows]


class Ours:
    def __init__(self, path: str) -> None:
        self.state = halvex_sqlite.CoordinationState(path)

    def claim(self, agent: str, key: str) -> None:
        self.state.claim_file(agent, key)

    def release(self, agent: str, key: str) -> None:
        self.state.release(agent, "file:" + key)

    def send(self, sender: str, to: str, content: str) -> None:
        self.state.send_message(sender, to, content)

    def drain(self, agent: str) -> list[tuple[str, str, str, int]]:
        return self.state.drain_inbox(agent)


MAKERS = {"peer": Peer, "halvex_sqlite": Ours}


def cycles(side: object, kind: str, agent: str, seconds: float,
           latencies: list[float] | None = None, pace: float = 0) -> int:
    """Runs claim+release or send+drain cycles for `seconds`, back to back
    or `pace` a second (sleeping in between, as agents do); returns how many."""
    done, i = 0, 0
    clock = time.perf_counter
    begun = clock()
    end = begun + seconds
    while clock() < end:
        for _ in range(1 if pace else 20):
            if pace:
                ahead = begun + done / pace - clock()
                if ahead > 0:
                    time.sleep(ahead)
            key = f"{agent}-{i % KEYS}"
            i += 1
            if kind == "claim":
                calls = ((side.claim, agent, key), (side.release, agent, key))  # type: ignore
            else:
                calls = ((side.send, agent, agent + "-in", "m" * 32),  # type: ignore
                         (side.drain, agent + "-in"))  # type: ignore
            for call, *args in calls:
                if latencies is None:
                    call(*args)
                else:
                    started = clock()
                    call(*args)
                    latencies.append(clock() - started)
            done += 1
    return done


def fresh(folder: Path, name: str) -> str:
    path = folder / name
    for suffix in ("", "-wal", "-shm"):
        try:
            os.unlink(str(path) + suffix)
        except FileNotFoundError:
            pass
    return str(path)


# ---- one process ------------------------------------------------------------------

def one_process(folder: Path, seconds: float, rounds: int) -> dict[str, dict[str, float]]:
    """Median rate of each (side, cycle) over rounds that take turns, so both
    sides meet the same load of a shared machine."""
    sides = {name: make(fresh(folder, f"one-{name}.db")) for name, make in MAKERS.items()}
    rates: dict[str, dict[str, list[float]]] = {n: {"claim": [], "send": []} for n in sides}
    for _ in range(rounds):
        for kind in ("claim", "send"):
            for name, side in sides.items():
                rates[name][kind].append(cycles(side, kind, "a", seconds) / seconds)
    return {n: {k: statistics.median(v) for k, v in r.items()} for n, r in rates.items()}


def sync_levels(folder: Path, seconds: float, rounds: int) -> dict[str, dict[str, float]]:
    """halvex_sqlite with synchronous=NORMAL against FULL, rounds taking turns."""
    rates: dict[str, dict[str, list[float]]] = {}
    saved = _store.SYNCHRONOUS
    try:
        sides = {}
        for level in ("NORMAL", "FULL"):
            _store.SYNCHRONOUS = level   # read when a connection opens
            sides[level] = Ours(fresh(folder, f"sync-{level}.db"))
            rates[level] = {"claim": [], "send": []}
            for kind in ("claim", "send"):  # opens this thread's connection now
                cycles(sides[level], kind, "warm", 0.05)
        for _ in range(rounds):
            for kind in ("claim", "send"):
                for level, side in sides.items():
                    rates[level][kind].append(cycles(side, kind, "a", seconds) / seconds)
    finally:
        _store.SYNCHRONOUS = saved
    return {n: {k: statistics.median(v) for k, v in r.items()} for n, r in rates.items()}


# ---- a statement's parts ------------------------------------------------------------

_GRANT = ("UPDATE claims SET holder = ?3, token = token + 1, granted_at = {t}, "
          "renewed_at = {t} WHERE ns = ?1 AND key = ?2 AND holder IS NULL")
_RELEASE = ("UPDATE claims SET holder = NULL, renewed_at = {t} "
            "WHERE ns = ?1 AND key = ?2 AND holder = ?3")
_CLAIM_TRIGGERS = ("halvex_grant", "halvex_release")


def parts(folder: Path, rounds: int) -> dict[str, float]:
    """Microseconds per statement (least of `rounds` rounds taking turns) of
    grants and releases on existing keys, one connection in autocommit, with
    parts of the work switched on and off."""
    core = _core.Core(fresh(folder, "parts.db"), "default", _core.DEFAULT_LOG_LIMIT)
    db = core.store._db(core.store._handle())
    for k in range(KEYS):  # every key exists: grants update a row
        core.claim("a", f"k{k}", "file:", False)
        core.release("a", f"file:k{k}")
    shipped = {s.split()[6]: s for s in _core.connection_setup(_core.DEFAULT_LOG_LIMIT)
               if " TRIGGER " in s and s.split()[6] in _CLAIM_TRIGGERS}
    # Each trigger cut to its status/last-call upsert, or to its records.
    seen_only = {n: s.split("INSERT INTO log")[0] + " END" for n, s in shipped.items()}
    log_only = {n: s.split("BEGIN ")[0] + "BEGIN INSERT INTO log" + s.split("INSERT INTO log", 1)[1]
                for n, s in shipped.items()}
    now_sql, clock = _core.NOW, time.time

    def bound() -> tuple[object, ...]:
        return (int(clock()),)

    variants = {  # label: (clock text, extra parameters, triggers, explicit transaction)
        "no triggers, clock read by SQLite": (now_sql, None, {}, False),
        "no triggers, clock bound from time.time()": ("?4", bound, {}, False),
        "no triggers, a constant for the clock": ("1", None, {}, False),
        "+ status/last-call trigger": (now_sql, None, seen_only, False),
        "+ activity-record trigger": (now_sql, None, log_only, False),
        "+ both (as shipped)": (now_sql, None, shipped, False),
        "as shipped, in BEGIN IMMEDIATE ... COMMIT": (now_sql, None, shipped, True),
    }
    best = {label: float("inf") for label in variants}
    for _ in range(rounds):
        for label, (t, extra, triggers, explicit) in variants.items():
            for name in _CLAIM_TRIGGERS:
                db.execute(f"DROP TRIGGER IF EXISTS temp.{name}")
            for sql in triggers.values():
                db.execute(sql)
            grant, release = _GRANT.format(t=t), _RELEASE.format(t=t)
            n = 500
            started = time.perf_counter()
            for i in range(n):
                params = ("default", f"file:k{i % KEYS}", "a") + (extra() if extra else ())
                for sql in (grant, release):
                    if explicit:
                        db.execute("BEGIN IMMEDIATE")
                    db.execute(sql, params)
                    if explicit:
                        db.execute("COMMIT")
            best[label] = min(best[label], (time.perf_counter() - started) / (2 * n) * 1e6)
    core.store.close()
    return best


# ---- many processes --------------------------------------------------------------

def _worker(side_name: str, path: str, kind: str, agent: str, seconds: float,
            start: float, pace: float,
            out: multiprocessing.Queue) -> None:  # type: ignore[type-arg]
    side = MAKERS[side_name](path)
    latencies: list[float] = []
    while time.time() < start:
        time.sleep(0.001)
    done = cycles(side, kind, agent, seconds, latencies, pace)
    out.put((done, latencies))


def many_processes(folder: Path, seconds: float, processes: int, pace: float = 0
                   ) -> tuple[dict[str, dict[str, float]], dict[str, list[float]]]:
    """Aggregate rates with `processes` writers on one file, each on keys and
    an inbox of its own, back to back or `pace` cycles a second each; each
    side's call latencies (the peer's show what the machine's scheduling
    alone costs)."""
    ctx = multiprocessing.get_context("spawn")
    rates: dict[str, dict[str, float]] = {}
    latencies: dict[str, list[float]] = {}
    for name in MAKERS:
        rates[name] = {}
        latencies[name] = []
        for kind in ("claim", "send"):
            path = fresh(folder, f"many-{name}-{kind}.db")
            MAKERS[name](path)  # the schema, before the race
            out = ctx.Queue()
            start = time.time() + 1.5  # spawned interpreters start first
            procs = [ctx.Process(target=_worker, args=(name, path, kind, f"w{i}", seconds,
                                                       start, pace, out))
                     for i in range(processes)]
            for proc in procs:
                proc.start()
            results = [out.get(timeout=seconds + 120) for _ in procs]
            for proc in procs:
                proc.join(30)
            rates[name][kind] = sum(r[0] for r in results) / seconds
            for r in results:
                latencies[name].extend(r[1])
    return rates, latencies


# ---- what scheduling alone costs ---------------------------------------------------

def _spin(seconds: float) -> None:
    end = time.perf_counter() + seconds
    while time.perf_counter() < end:
        pass


def _no_op(path: str, work: float, turn: bool, seconds: float, start: float,
           out: multiprocessing.Queue) -> None:  # type: ignore[type-arg]
    import fcntl

    fd = os.open(path, os.O_RDWR)
    latencies: list[float] = []
    while time.time() < start:
        time.sleep(0.001)
    clock = time.perf_counter
    end = clock() + seconds
    while clock() < end:
        started = clock()
        if turn:
            fcntl.flock(fd, fcntl.LOCK_EX)
        _spin(work)
        if turn:
            fcntl.flock(fd, fcntl.LOCK_UN)
        latencies.append(clock() - started)
        _spin(0.000015)  # the caller's own work between calls
    out.put(latencies)


def scheduling_floor(folder: Path, seconds: float, processes: int
                     ) -> dict[tuple[int, bool], float]:
    """p99 of a "call" that only burns `work` microseconds of CPU, in
    `processes` processes doing nothing else, with no lock or holding a
    turn at a lock file as our writers do: what being descheduled costs on
    this machine, whatever the call does."""
    ctx = multiprocessing.get_context("spawn")
    path = fresh(folder, "turn-lock")
    open(path, "w").close()
    p99: dict[tuple[int, bool], float] = {}
    for micros in (15, 30, 45):
        for turn in (False, True):
            out = ctx.Queue()
            start = time.time() + 1.5
            procs = [ctx.Process(target=_no_op, args=(path, micros * 1e-6, turn, seconds, start,
                                                      out)) for _ in range(processes)]
            for proc in procs:
                proc.start()
            values = [v for _ in procs for v in out.get(timeout=seconds + 120)]
            for proc in procs:
                proc.join(30)
            p99[micros, turn] = percentile(values, 0.99)
    return p99


# ---- waits ------------------------------------------------------------------------

def _waiter(path: str, count: int, idle: float, out: multiprocessing.Queue  # type: ignore
            ) -> None:
    state = halvex_sqlite.CoordinationState(path)
    state.drain_inbox("waiter")
    out.put("ready")
    delays = []
    for _ in range(count):
        got = state.wait_inbox("waiter", 60)
        now = time.time()
        delays.extend(now - float(m[2]) for m in got)
    cpu = time.process_time()
    started = time.monotonic()
    state.wait_inbox("waiter", idle)
    out.put((delays, (time.process_time() - cpu) / (time.monotonic() - started)))


def waits(folder: Path, count: int, idle: float) -> tuple[float, float]:
    """Median wake latency over `count` sends at random moments, and the
    share of a core that an idle wait of `idle` seconds costs."""
    import random

    path = fresh(folder, "wait.db")
    sender = halvex_sqlite.CoordinationState(path)
    ctx = multiprocessing.get_context("spawn")
    out = ctx.Queue()
    proc = ctx.Process(target=_waiter, args=(path, count, idle, out))
    proc.start()
    out.get(timeout=120)
    for _ in range(count):
        # A waiter long idle polls at its slowest: the worst case.
        time.sleep(random.uniform(0.3, 0.6))
        sender.send_message("sender", "waiter", repr(time.time()))
    delays, cpu_share = out.get(timeout=idle + 120)
    proc.join(30)
    return statistics.median(delays), cpu_share


# ---- report -----------------------------------------------------------------------

def percentile(values: list[float], share: float) -> float:
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(share * len(ordered)))]


def latency_line(name: str, values: list[float]) -> str:
    return (f"  {name} calls: {len(values)}, p50 {percentile(values, 0.5) * 1e3:.2f} ms, "
            f"p99 {percentile(values, 0.99) * 1e3:.2f} ms, max {max(values) * 1e3:.1f} ms")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--seconds", type=float, default=1.0, help="length of each round")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--processes", type=int, default=8)
    parser.add_argument("--pace", type=float, default=250,
                        help="cycles/s per process of the paced 8-writer run (0: none)")
    parser.add_argument("--wakes", type=int, default=40)
    parser.add_argument("--idle", type=float, default=20.0,
                        help="seconds of the idle wait whose CPU is measured")
    parser.add_argument("--dir", help="folder for the files (default: a temporary one)")
    args = parser.parse_args()
    folder = Path(args.dir) if args.dir else Path(tempfile.mkdtemp(prefix="halvex-bench-"))
    folder.mkdir(parents=True, exist_ok=True)
    load = os.getloadavg()[0] if hasattr(os, "getloadavg") else float("nan")
    print(f"SQLite {sqlite3.sqlite_version}, Python {sys.version.split()[0]}, "
          f"{os.cpu_count()} CPUs, load {load:.1f}, files in {folder}")
    try:
        one = one_process(folder, args.seconds, args.rounds)
        print("\none process (median of rounds taking turns)")
        for kind, label in (("claim", "claim+release/s"), ("send", "send+drain/s")):
            ours, peer = one["halvex_sqlite"][kind], one["peer"][kind]
            print(f"  {label:16} halvex_sqlite {ours:8.0f}  peer {peer:8.0f}  "
                  f"ratio {ours / peer:.2f} (goal >= 0.5)")
        many, latencies = many_processes(folder, args.seconds * 3, args.processes)
        print(f"\n{args.processes} processes on one file")
        for kind, label in (("claim", "claim+release/s"), ("send", "send+drain/s")):
            ours, peer = many["halvex_sqlite"][kind], many["peer"][kind]
            print(f"  {label:16} halvex_sqlite {ours:8.0f}  peer {peer:8.0f}  "
                  f"ratio {ours / peer:.2f}")
        for name, values in latencies.items():
            print(latency_line(name, values))
        print("  (goal: halvex_sqlite p99 < 5 ms)")
        if args.pace:
            _, paced = many_processes(folder, args.seconds * 3, args.processes, args.pace)
            print(f"  the same at {args.pace:.0f} cycles/s per process "
                  f"({args.pace * args.processes * 2:.0f} calls/s in all), sleeping in between:")
            for name, values in paced.items():
                print(latency_line(name, values))
        if os.name == "posix":
            floor = scheduling_floor(folder, args.seconds * 2, args.processes)
            print(f"  a no-op call of N us of CPU, {args.processes} processes: p99 with no lock, "
                  "and holding a turn at a lock file")
            for micros in (15, 30, 45):
                print(f"    {micros:3} us: {floor[micros, False] * 1e3:6.2f} ms  "
                      f"{floor[micros, True] * 1e3:6.2f} ms")
        levels = sync_levels(folder, args.seconds, args.rounds)
        print("\nsynchronous=NORMAL against FULL, one process")
        for kind, label in (("claim", "claim+release/s"), ("send", "send+drain/s")):
            normal, full = levels["NORMAL"][kind], levels["FULL"][kind]
            print(f"  {label:16} NORMAL {normal:8.0f}  FULL {full:8.0f}  "
                  f"FULL/NORMAL {full / normal:.2f}")
        costs = parts(folder, args.rounds * 2)
        print("\na grant's or release's statement by its parts, one connection (least of "
              f"{args.rounds * 2} rounds)")
        for label, micros in costs.items():
            print(f"  {label:44} {micros:6.1f} us")
        median, cpu = waits(folder, args.wakes, args.idle)
        print(f"\nwait_inbox: median wake {median * 1e3:.1f} ms (goal <= 50 ms) over "
              f"{args.wakes} sends; an idle {args.idle:.0f} s wait used {cpu * 100:.3f} % "
              "of a core (goal < 1 %)")
    finally:
        if not args.dir:
            shutil.rmtree(folder, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
