#!/usr/bin/env python3
"""A small team of agents working through a shared plan, coordinated by halvex_core.

Each worker is a thread; with --backend sqlite, redis or mcp each agent (every
worker and the coordinator) is an OS process of its own, and they share one
state file (halvex_sqlite) or a halvex_redis state, or speak MCP to one
halvex-mcp server. It takes a task by claiming "task:<id>", claims every
file the task edits, works for a while (renewing its leases as it goes,
broadcasting progress and reading the others' news), then releases the files,
reports to the coordinator's inbox and releases the task. When a file is held
by someone else it backs off: it picks other work if there is any, otherwise it
waits for the holder's release broadcast and tries again.

With --graph the plan is a task graph in the state itself: the coordinator
adds each task with add_task, naming what it depends on, and every agent
loops on claim_next (waiting for a task to become ready) -> work ->
complete_task until nothing is left. The state hands each ready task to
exactly one agent, and none before all its dependencies are done; the demo
records when each task was granted and completed and checks both. It needs
a backend that keeps a task graph (sqlite, its default, redis or mcp).

    python examples/demo.py --agents 4 --tasks 12 --seed 7
    python examples/demo.py --graph
    python examples/demo.py --backend sqlite
    python examples/demo.py --backend redis --redis-url redis://127.0.0.1:6379/0
    python examples/demo.py --backend mcp --mcp-url http://127.0.0.1:8000/mcp
"""

import argparse
import multiprocessing
import os
import random
import sys
import tempfile
import threading
import time
from typing import Any, Callable, Counter, Dict, List, MutableMapping, Optional, Set, Tuple, Union

import halvex_core
# The nine methods, whichever backend serves them: halvex_core's class,
# halvex_redis's, or halvex_mcp.client.RemoteState over MCP.
from halvex_types import CoordinationState

COORDINATOR = "coordinator"
CLAIM_CONFLICT = " already holds claim on "

# Files most tasks end up touching: they are where the conflicts come from.
HOTSPOTS = ["src/config.py", "src/api/routes.py"]
MODULES = [
    "src/parser.py", "src/lexer.py", "src/cache.py", "src/auth/tokens.py",
    "src/auth/session.py", "src/db/models.py", "src/db/migrations.py",
    "src/cli.py", "src/http/client.py", "src/http/retry.py", "src/report.py",
    "docs/usage.md", "tests/test_parser.py", "tests/test_cache.py",
]
VERBS = ["add retries to", "refactor", "document", "speed up", "fix a bug in",
         "add tests for", "tidy up", "type-annotate"]


class Task:
    def __init__(self, task_id: str, title: str, files: List[str], steps: int) -> None:
        self.task_id = task_id
        self.title = title
        self.files = sorted(files)  # one global order: no two workers wait on each other in a cycle
        self.steps = steps


def make_plan(n_tasks: int, rng: random.Random) -> List[Task]:
    pool = MODULES[: max(3, min(len(MODULES), n_tasks))]
    plan = []
    for i in range(1, n_tasks + 1):
        main = rng.choice(pool)
        files = {main}
        if rng.random() < 0.6:
            files.add(rng.choice(HOTSPOTS))
        if rng.random() < 0.25:
            files.add(rng.choice(pool))
        title = f"{rng.choice(VERBS)} {main.rsplit('/', 1)[-1]}"
        plan.append(Task(f"T{i:02d}", title, sorted(files), rng.randint(3, 7)))
    return plan


class Board:
    """What the team shares besides the coordination state: which tasks are done."""

    def __init__(self, plan: List[Task], done: Optional[MutableMapping[str, str]] = None,
                 lock: Any = None) -> None:
        # Agents in separate processes pass a manager's dict and lock.
        self.plan = plan
        self._lock = lock if lock is not None else threading.Lock()
        self._done: MutableMapping[str, str] = done if done is not None else {}

    def pending(self) -> List[Task]:
        with self._lock:
            return [t for t in self.plan if t.task_id not in self._done]

    def is_done(self, task: Task) -> bool:
        with self._lock:
            return task.task_id in self._done

    def mark_done(self, task: Task, agent: str) -> None:
        with self._lock:
            self._done[task.task_id] = agent

    def all_done(self) -> bool:
        with self._lock:
            return len(self._done) == len(self.plan)


class Log:
    def __init__(self, quiet: bool, start: Optional[float] = None) -> None:
        # Wall time, so that agents in separate processes share one origin.
        self.start = time.time() if start is None else start
        self.quiet = quiet
        self._lock = threading.Lock()

    def elapsed(self) -> float:
        return time.time() - self.start

    def __call__(self, who: str, text: str) -> None:
        if self.quiet:
            return
        with self._lock:
            # One write a line: agents in other processes print to the same stream.
            sys.stdout.write(f"  {self.elapsed():5.2f}s  {who:<12} {text}\n")
            sys.stdout.flush()


class Worker(threading.Thread):
    def __init__(self, name: str, state: CoordinationState, board: Board, log: Log,
                 pace: float, rng: random.Random) -> None:
        super().__init__(name=name, daemon=True)
        self.agent = name
        self.state = state
        self.board = board
        self.log = log
        self.pace = pace
        self.rng = rng
        self.completed: List[str] = []
        self.conflicts: List[Tuple[float, str, str, str, str, str]] = []  # when, who, task, file, holder, resolution
        self.task_races = 0  # task claims refused because a teammate took it first
        self.renewals = 0
        self.broadcasts_sent = 0
        self.reports_sent = 0
        self.received: Counter[str] = Counter()  # sender -> messages read from our inbox
        self.error: Optional[BaseException] = None
        self._skip: Set[str] = set()  # set aside after a conflict, until we finish a task or run dry

    SUMMARY = ("agent", "completed", "conflicts", "task_races", "renewals", "broadcasts_sent",
               "reports_sent", "received", "error")

    def summary(self) -> Dict[str, Any]:
        """What the final report needs, for an agent run in another process."""
        return {f: getattr(self, f) for f in self.SUMMARY}

    # -- messages ---------------------------------------------------------
    def read_news(self) -> List[str]:
        news = self.state.drain_inbox(self.agent)
        for sender, _owner, _content, _stamp in news:
            self.received[sender] += 1
        return [content for _s, _o, content, _t in news]

    def announce(self, text: str) -> None:
        self.state.broadcast(self.agent, text)
        self.broadcasts_sent += 1

    # -- work -------------------------------------------------------------
    def run(self) -> None:
        try:
            while not self.board.all_done():
                task = self.take_task(self.fresh)
                if task is not None:
                    blocker = self.claim_files(task)
                    if blocker is None:
                        self.work_on(task)
                        continue
                    # Another task may be free: set this one aside and look again.
                    path, holder = blocker
                    self.note_conflict(task, path, holder, "picks other work")
                    self.state.release(self.agent, "task:" + task.task_id)
                    self._skip.add(task.task_id)
                    continue
                task = self.take_task(lambda t: t.task_id in self._skip)
                if task is None:
                    # Everything left is in a teammate's hands: wait for news of a finish.
                    self._skip.clear()
                    self.wait_for("done", timeout=5 * self.pace)
                    continue
                self.wait_and_work(task)
        except BaseException as err:  # the main thread reports it
            self.error = err

    def fresh(self, task: Task) -> bool:
        return task.task_id not in self._skip

    def take_task(self, wanted: Callable[[Task], bool]) -> Optional[Task]:
        pending = [t for t in self.board.pending() if wanted(t)]
        # Start at a different place for each worker so they spread out.
        offset = self.rng.randrange(len(pending)) if pending else 0
        for task in pending[offset:] + pending[:offset]:
            try:
                self.state.claim_task(self.agent, task.task_id)
            except RuntimeError:
                self.task_races += 1  # a teammate is on it
                continue
            if self.board.is_done(task):  # finished between our look and our claim
                self.state.release(self.agent, "task:" + task.task_id)
                continue
            return task
        return None

    def claim_files(self, task: Task) -> Optional[Tuple[str, str]]:
        """Claims every file of the task, or none: returns (path, holder) of the first refusal."""
        held: List[str] = []
        for path in task.files:
            try:
                self.state.claim_file(self.agent, path)
            except RuntimeError as err:
                # Never sit on some files while waiting for another.
                for mine in held:
                    self.state.release(self.agent, "file:" + mine)
                return path, holder_of(err, path)
            held.append(path)
        self.log(self.agent, f"took {task.task_id} ({task.title}): {', '.join(task.files)}")
        return None

    def wait_and_work(self, task: Task) -> None:
        """Keeps the task and waits for its files: every other task is taken or blocked too."""
        blocker = self.claim_files(task)
        if blocker is not None:
            self.note_conflict(task, *blocker, "waits")
        while blocker is not None:
            self.wait_for(f"released {blocker[0]}.", timeout=5 * self.pace)
            blocker = self.claim_files(task)
        self.work_on(task)

    def note_conflict(self, task: Task, path: str, holder: str, resolution: str) -> None:
        self.conflicts.append((self.log.elapsed(), self.agent, task.task_id, path, holder, resolution))
        self.log(self.agent, f"{task.task_id}: {path} is held by {holder}; {resolution}")

    def wait_for(self, phrase: str, timeout: float) -> None:
        """Reads the inbox until a message mentions `phrase` or time runs out."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if any(phrase in content for content in self.read_news()):
                return
            time.sleep(self.pace / 5)

    def work_on(self, task: Task) -> None:
        keys = ["task:" + task.task_id] + ["file:" + p for p in task.files]
        started = time.monotonic()
        for step in range(1, task.steps + 1):
            time.sleep(self.pace * self.rng.uniform(0.5, 1.5))
            self.read_news()
            if step % 2 == 0:
                # Long work keeps its leases fresh, so nobody can take them over.
                for key in keys:
                    self.state.renew_claim(self.agent, key)
                    self.renewals += 1
            if step == (task.steps + 1) // 2:
                self.announce(f"{task.task_id} half done")
        self.board.mark_done(task, self.agent)
        for path in task.files:
            self.state.release(self.agent, "file:" + path)
        self.announce(f"{task.task_id} done; " + " ".join(f"released {p}." for p in task.files))
        took = time.monotonic() - started
        self.state.send_message(self.agent, COORDINATOR,
                                f"done {task.task_id} in {took:.2f}s: {task.title}")
        self.reports_sent += 1
        self.state.release(self.agent, "task:" + task.task_id)
        self.completed.append(task.task_id)
        self._skip.clear()
        self.log(self.agent, f"finished {task.task_id} in {took:.2f}s")


def holder_of(err: RuntimeError, path: str) -> str:
    """The holder named in a claim conflict ("<holder> already holds claim on <path>")."""
    text = str(err)
    suffix = CLAIM_CONFLICT + path
    return text[: -len(suffix)] if text.endswith(suffix) else "?"


class Coordinator(threading.Thread):
    """Collects the workers' reports from its inbox and samples their status words."""

    def __init__(self, state: CoordinationState, board: Board, workers: List[str], log: Log,
                 pace: float) -> None:
        super().__init__(name=COORDINATOR, daemon=True)
        self.state = state
        self.board = board
        self.workers = workers
        self.log = log
        self.pace = pace
        self.reports: List[Tuple[str, str]] = []
        self.received: Counter[str] = Counter()
        self.busy_sightings: Counter[str] = Counter()
        self.samples = 0
        self.error: Optional[BaseException] = None

    def run(self) -> None:
        try:
            while len(self.reports) < len(self.board.plan):
                for sender, _me, content, _stamp in self.state.drain_inbox(COORDINATOR):
                    self.received[sender] += 1
                    if content.startswith("done "):
                        self.reports.append((sender, content))
                self.samples += 1
                for agent in self.workers:
                    if self.state.status(agent) == "busy":
                        self.busy_sightings[agent] += 1
                time.sleep(self.pace / 2)
            self.log(COORDINATOR, f"all {len(self.reports)} reports in")
        except BaseException as err:
            self.error = err

    SUMMARY = ("reports", "received", "busy_sightings", "samples", "error")

    def summary(self) -> Dict[str, Any]:
        return {f: getattr(self, f) for f in self.SUMMARY}


# -- the task graph (--graph) --------------------------------------------------

# Seconds an idle agent's claim_next waits for a task to become ready before
# it looks again whether anything is left at all.
GRAPH_WAIT = 1.0


def make_graph(n_tasks: int, rng: random.Random) -> List[Tuple[str, str, List[str]]]:
    """(id, title, dependencies) of each task: each depends on up to two
    earlier ones, so the graph has no cycle."""
    graph: List[Tuple[str, str, List[str]]] = []
    for i in range(1, n_tasks + 1):
        earlier = [t[0] for t in graph]
        deps = sorted(rng.sample(earlier, min(len(earlier), rng.choice([0, 1, 1, 2]))))
        main = rng.choice(MODULES)
        graph.append((f"T{i:02d}", f"{rng.choice(VERBS)} {main.rsplit('/', 1)[-1]}", deps))
    return graph


def graph_agent(state: Any, agent: str, prefix: str, pace: float, seed: int,
                log: Log) -> Dict[str, Any]:
    """One agent's loop: claim the next ready task (waiting for one), work,
    complete it; stop once every task is done or failed."""
    rng = random.Random(f"{seed}/{agent}")
    done: List[Tuple[str, float, float]] = []  # task, granted by, completed after
    idle = 0
    while True:
        got = state.claim_next(agent, prefix, GRAPH_WAIT)
        if got.task is None:
            if all(t.state in ("done", "failed") for t in state.tasks(prefix)):
                break  # nothing left to do
            idle += 1
            log(agent, f"nothing ready: {got.why}")
            continue
        task, granted = got.task, log.elapsed()
        log(agent, f"took {task.task_id} ({task.title}), token {task.token}")
        time.sleep(pace * rng.uniform(2, 6))  # the work
        # Taken before the call: the completion commits after this time, and
        # the grant above before `granted`, so a grant that comes before its
        # dependency's completion shows as granted < completed.
        completing = log.elapsed()
        state.complete_task(agent, task.task_id, f"done by {agent}")
        done.append((task.task_id, granted, completing))
        log(agent, f"completed {task.task_id}")
    return {"agent": agent, "done": done, "idle": idle, "status": state.status(agent)}


def run_graph_agent(agent: str, backend: str, url: str, namespace: Optional[str], prefix: str,
                    pace: float, seed: int, quiet: bool, start: float) -> Dict[str, Any]:
    """One agent of a --graph run, in a process of its own."""
    state: Any = open_shared_state(backend, url, namespace)
    try:
        return graph_agent(state, agent, prefix, pace, seed, Log(quiet, start))
    finally:
        if hasattr(state, "close"):
            state.close()


def run_graph(args: argparse.Namespace, state: Any, url: str, finish: Callable[[], object]) -> int:
    """--graph: plans the graph with add_task, runs the agents as processes
    looping on claim_next, then checks that every task was done once and
    none was granted before its dependencies were completed."""
    graph = make_graph(args.tasks, random.Random(args.seed))
    # A run's own prefix, so that runs against one long-lived server stay apart.
    prefix = f"run{os.getpid()}/"
    log = Log(args.quiet)
    print(f"Graph: {len(graph)} tasks for {args.agents} agents (seed {args.seed}, "
          f"ids under {prefix})")
    for task_id, title, deps in graph:
        state.add_task(COORDINATOR, prefix + task_id, title, [prefix + d for d in deps])
        after = f"  after {', '.join(deps)}" if deps else ""
        print(f"  {task_id}  {title:<34}{after}".rstrip())
    ready = sum(1 for t in state.tasks(prefix) if t.state == "ready")
    print(f"{ready} ready at the start")
    if not args.quiet:
        print("\nRun")
    names = [f"agent-{i}" for i in range(1, args.agents + 1)]
    ctx = multiprocessing.get_context("spawn")
    limit = time.monotonic() + 60 + len(graph) * 10 * args.pace
    results: List[Dict[str, Any]] = []
    failures: List[str] = []
    with ctx.Pool(len(names)) as pool:
        pending = [pool.apply_async(run_graph_agent, (
            n, args.backend, url, getattr(state, "namespace", None), prefix, args.pace,
            args.seed, args.quiet, log.start)) for n in names]
        for name, result in zip(names, pending):
            try:
                results.append(result.get(max(0.0, limit - time.monotonic())))
            except multiprocessing.TimeoutError:
                failures.append(f"{name} still running after the time limit")
            except Exception as err:
                failures.append(f"{name} failed: {type(err).__name__}: {err}")
    elapsed = log.elapsed()
    for failure in failures:
        print(failure, file=sys.stderr)

    # Every task completed exactly once, and granted only after every one of
    # its dependencies was completed.
    completed: Dict[str, List[float]] = {}
    granted: Dict[str, float] = {}
    for r in results:
        for task_id, at, finished in r["done"]:
            completed.setdefault(task_id, []).append(finished)
            granted[task_id] = at
    twice = sorted(t for t, times in completed.items() if len(times) > 1)
    early = [f"{t} before {d}" for t, _title, deps in graph for d in deps
             if prefix + t in granted and prefix + d in completed
             and granted[prefix + t] < min(completed[prefix + d])]
    states = Counter(t.state for t in state.tasks(prefix))
    print("\nWho did what")
    print(f"  {'agent':<10} {'tasks done':<40} {'waits':>5}  status")
    for r in results:
        ids = " ".join(t[len(prefix):] for t, _a, _f in r["done"]) or "-"
        print(f"  {r['agent']:<10} {ids:<40} {r['idle']:>5}  {r['status']}")
    ok = (not failures and not twice and not early and states["done"] == len(graph)
          and len(completed) == len(graph))
    print(f"\n{len(completed)}/{len(graph)} tasks done in {elapsed:.2f}s; "
          f"{'each once' if not twice else 'TWICE: ' + ' '.join(twice)}, "
          f"{'none before its dependencies' if not early else 'EARLY: ' + '; '.join(early)}")
    finish()
    linger(args)
    return 0 if ok else 1


def linger(args: argparse.Namespace) -> None:
    """With --backend mcp, keeps the demo (and so the server) up a while, so
    that the board can still be watched."""
    if args.backend == "mcp" and args.linger > 0:
        board_url = args.mcp_url.rsplit("/mcp", 1)[0] + "/board"
        print(f"\nThe board stays at {board_url} for {args.linger:g} s more "
              "(--linger SECONDS for longer; Ctrl-C ends it now)", flush=True)
        try:
            time.sleep(args.linger)
        except KeyboardInterrupt:
            pass


def open_shared_state(backend: str, url: str, namespace: Optional[str]) -> CoordinationState:
    """The team's state as an agent in a process of its own reaches it."""
    if backend == "redis":
        from halvex_redis import CoordinationState as RedisState

        return RedisState(url, namespace=namespace)
    if backend == "sqlite":  # `url` is the state file's path
        from halvex_sqlite import DEFAULT_NAMESPACE
        from halvex_sqlite import CoordinationState as FileState

        return FileState(url, namespace=namespace or DEFAULT_NAMESPACE)
    # An MCP session through the SDK's client, to a halvex-mcp server.
    from halvex_mcp.client import RemoteState

    return RemoteState(url)


def run_agent_process(kind: str, name: str, backend: str, url: str, namespace: Optional[str],
                      plan: List[Task], done: MutableMapping[str, str], lock: Any,
                      names: List[str], pace: float, seed: int, quiet: bool,
                      start: float) -> Dict[str, Any]:
    """One agent of a --backend redis or mcp run, in a process of its own."""
    state = open_shared_state(backend, url, namespace)
    board = Board(plan, done, lock)
    log = Log(quiet, start)
    member: Union[Worker, Coordinator]
    if kind == "worker":
        member = Worker(name, state, board, log, pace, random.Random(f"{seed}/{name}"))
    else:
        member = Coordinator(state, board, names, log, pace)
    member.start()
    member.join()
    if hasattr(state, "close"):
        state.close()
    summary = member.summary()
    if summary["error"] is not None:  # tracebacks hold unpicklable frames
        summary["error"] = RuntimeError(f"{type(summary['error']).__name__}: {summary['error']}")
    return summary


def run_as_processes(team: List[Union[Coordinator, Worker]], state: CoordinationState,
                     plan: List[Task],
                     args: argparse.Namespace, start: float, limit: float) -> List[str]:
    """Runs every team member in a spawned process of its own, sharing the
    state's namespace; copies what each did back onto its (unstarted) object.
    Returns the names of those still running at `limit`."""
    ctx = multiprocessing.get_context("spawn")
    names = [m.name for m in team if isinstance(m, Worker)]
    stuck = []
    with ctx.Manager() as manager, ctx.Pool(len(team)) as pool:
        done, lock = manager.dict(), manager.Lock()
        pending = [pool.apply_async(run_agent_process, (
            "worker" if isinstance(m, Worker) else "coordinator", m.name, args.backend,
            {"redis": args.redis_url, "sqlite": args.state}.get(args.backend, args.mcp_url),
            getattr(state, "namespace", None), plan, done, lock, names, args.pace, args.seed, args.quiet, start))
            for m in team]
        for member, result in zip(team, pending):
            try:
                for field, value in result.get(max(0.0, limit - time.monotonic())).items():
                    setattr(member, field, value)
            except multiprocessing.TimeoutError:
                stuck.append(member.name)
    return stuck


def main(argv: Optional[List[str]] = None) -> int:
    ap = argparse.ArgumentParser(description="Several agents work through a shared plan, coordinated by halvex_core.")
    ap.add_argument("--agents", type=int, default=4, help="number of worker agents (default 4)")
    ap.add_argument("--tasks", type=int, default=12, help="number of tasks in the plan (default 12)")
    ap.add_argument("--seed", type=int, default=7, help="seed for the plan and the workers (default 7)")
    ap.add_argument("--pace", type=float, default=0.04,
                    help="seconds per unit of work (default 0.04)")
    ap.add_argument("--quiet", action="store_true", help="print the summary only")
    ap.add_argument("--graph", action="store_true",
                    help="plan a task graph with add_task; each agent loops on claim_next -> "
                         "work -> complete_task until nothing is left (backend sqlite, "
                         "its default, redis or mcp)")
    ap.add_argument("--backend", choices=["inprocess", "sqlite", "redis", "mcp"],
                    default=None,
                    help="inprocess: halvex_core, agents are threads (default without --graph); "
                         "sqlite: halvex_sqlite, every agent is an OS process sharing one "
                         "state file; "
                         "redis: halvex_redis, every agent is an OS process; "
                         "mcp: every agent is an OS process speaking MCP to a halvex-mcp server")
    ap.add_argument("--redis-url", default="redis://127.0.0.1:6379/0",
                    help="server for --backend redis (default redis://127.0.0.1:6379/0)")
    ap.add_argument("--state", metavar="PATH",
                    help="state file for --backend sqlite (default: a fresh one in a temporary "
                         "folder, removed at the end)")
    ap.add_argument("--mcp-url", default="http://127.0.0.1:8000/mcp",
                    help="halvex-mcp --http server for --backend mcp "
                         "(default http://127.0.0.1:8000/mcp)")
    ap.add_argument("--linger", type=float, default=5.0, metavar="SECONDS",
                    help="with --backend mcp, wait this long after the agents finish, so that "
                         "the server's board (at /board) can still be watched (default 5)")
    args = ap.parse_args(argv)
    if args.agents < 1 or args.tasks < 1 or args.pace <= 0:
        ap.error("--agents and --tasks must be at least 1, --pace above 0")
    if args.backend is None:
        args.backend = "sqlite" if args.graph else "inprocess"
    if args.graph and args.backend == "inprocess":
        ap.error("--graph needs a backend that keeps a task graph: sqlite, redis or mcp")

    rng = random.Random(args.seed)
    plan = make_plan(args.tasks, rng)
    state: CoordinationState
    finish: Callable[[], object] = lambda: None  # what the backend leaves to clear up
    if args.backend == "redis":
        import halvex_redis

        redis_state = halvex_redis.CoordinationState(args.redis_url)
        state = redis_state
        finish = lambda: halvex_redis.delete_namespace(  # noqa: E731
            redis_state.namespace, args.redis_url)
    elif args.backend == "sqlite":
        import halvex_sqlite

        scratch = None
        if args.state is None:
            scratch = tempfile.TemporaryDirectory(prefix="halvex-demo-")
            args.state = os.path.join(scratch.name, "state.db")
        file_state = halvex_sqlite.CoordinationState(args.state,
                                                     namespace=f"demo-{os.getpid()}")
        state = file_state

        def finish_sqlite() -> None:
            halvex_sqlite.delete_namespace(file_state.namespace, args.state)
            file_state.close()
            if scratch is not None:
                scratch.cleanup()

        finish = finish_sqlite
    elif args.backend == "mcp":
        from halvex_mcp.client import RemoteState

        remote = RemoteState(args.mcp_url)
        state, finish = remote, remote.close
    else:
        state = halvex_core.CoordinationState()
    if args.graph:
        url = {"redis": args.redis_url, "sqlite": args.state}.get(args.backend, args.mcp_url)
        return run_graph(args, state, url, finish)
    board = Board(plan)
    log = Log(args.quiet)
    names = [f"agent-{i}" for i in range(1, args.agents + 1)]

    print(f"Plan: {len(plan)} tasks for {len(names)} agents (seed {args.seed})")
    for t in plan:
        print(f"  {t.task_id}  {t.title:<34} {', '.join(t.files)}")

    # Welcoming every worker makes it a known agent, so it hears every broadcast
    # from now on; the coordinator's own broadcast makes it known too.
    for name in names:
        state.send_message(COORDINATOR, name, f"welcome {name}: {len(plan)} tasks on the board")
    state.broadcast(COORDINATOR, "plan published")
    direct_sent = len(names)
    broadcasts_sent = 1

    workers = [Worker(n, state, board, log, args.pace, random.Random(f"{args.seed}/{n}")) for n in names]
    coordinator = Coordinator(state, board, names, log, args.pace)
    if not args.quiet:
        print("\nRun")
    limit = time.monotonic() + 60 + len(plan) * 40 * args.pace
    team: List[Union[Coordinator, Worker]] = [coordinator, *workers]
    if args.backend != "inprocess":
        stuck = run_as_processes(team, state, plan, args, log.start, limit)
    else:
        for member in team:
            member.start()
        for member in team:
            member.join(max(0.0, limit - time.monotonic()))
        stuck = [m.name for m in team if m.is_alive()]
    failed = [(m.name, m.error) for m in team if m.error is not None]
    for name, err in failed:
        print(f"{name} failed: {type(err).__name__}: {err}", file=sys.stderr)
    if stuck:
        print(f"still running after the time limit: {', '.join(stuck)}", file=sys.stderr)
    if failed or stuck:
        return 1
    state.broadcast(COORDINATOR, "all tasks done")
    broadcasts_sent += 1
    elapsed = log.elapsed()

    # Whatever is still queued is read now, so every message is accounted for.
    for w in workers:
        w.read_news()
    for sender, *_ in state.drain_inbox(COORDINATOR):
        coordinator.received[sender] += 1

    # Nothing may be left claimed: the coordinator can take and give back every file and task.
    leftovers = []
    for key, claim in [("file:" + f, state.claim_file) for f in sorted({f for t in plan for f in t.files})] + \
                      [("task:" + t.task_id, state.claim_task) for t in plan]:
        try:
            claim(COORDINATOR, key.split(":", 1)[1])
            state.release(COORDINATOR, key)
        except RuntimeError as err:
            leftovers.append(f"{key}: {err}")

    print("\nWho did what")
    print(f"  {'agent':<10} {'tasks done':<28} {'conflicts':>9} {'renewals':>8} "
          f"{'broadcasts':>10} {'msgs read':>9} {'seen busy':>9}")
    for w in workers:
        print(f"  {w.agent:<10} {' '.join(w.completed) or '-':<28} {len(w.conflicts):>9} {w.renewals:>8} "
              f"{w.broadcasts_sent:>10} {sum(w.received.values()):>9} "
              f"{coordinator.busy_sightings[w.agent]:>4}/{coordinator.samples:<4}")

    conflicts = sorted(c for w in workers for c in w.conflicts)
    how = Counter(c[5] for c in conflicts)
    print(f"\nConflicts: {len(conflicts)} on files "
          f"({how['waits']} resolved by waiting, {how['picks other work']} by picking other work), "
          f"{sum(w.task_races for w in workers)} task claims lost to a teammate")
    for when, who, task_id, path, holder, resolution in conflicts[:8]:
        print(f"  {when:5.2f}s  {who:<10} {task_id}: {path} held by {holder} -> {resolution}")
    if len(conflicts) > 8:
        print(f"  ... and {len(conflicts) - 8} more")

    direct_sent += sum(w.reports_sent for w in workers)
    broadcasts_sent += sum(w.broadcasts_sent for w in workers)
    audience = len(names) + 1  # every worker and the coordinator are known before the first broadcast
    delivered = direct_sent + broadcasts_sent * audience
    read = sum(sum(w.received.values()) for w in workers) + sum(coordinator.received.values())
    print(f"\nMessages: {direct_sent} direct (welcomes and {len(coordinator.reports)} reports), "
          f"{broadcasts_sent} broadcasts to {audience} agents each; "
          f"{delivered} delivered, {read} read{'' if read == delivered else '  <-- MISMATCH'}")
    for sender, report in coordinator.reports[:3]:
        print(f"  coordinator's inbox: {sender}: {report}")

    print("\nStatus words at the end")
    print("  " + "  ".join(f"{a}={state.status(a)}" for a in [COORDINATOR, *names]))
    done = sorted(tid for w in workers for tid in w.completed)
    ok = done == [t.task_id for t in plan] and not leftovers and read == delivered
    finish()
    print(f"\n{len(done)}/{len(plan)} tasks done in {elapsed:.2f}s; "
          f"{'no claim left behind' if not leftovers else 'LEFT CLAIMED: ' + '; '.join(leftovers)}")
    linger(args)
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
