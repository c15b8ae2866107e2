"""The task graph in the state file: each method one transaction. A task
counts its dependencies not yet done (`waiting`), so the ready tasks are an
index range and claim_next never reads the rest of the graph; the claim of
a task is the claim on "task:<id>", with its lease and fencing token."""
from __future__ import annotations

import sqlite3
import time
from typing import Any, Sequence

from halvex_types import METHODS, Next, Task
from halvex_types import tasks as texts

from . import _core
from ._core import LEASE, Core, Refusal, _clock

OPEN, DONE, FAILED = 0, 1, 2
_FINISHED = {DONE: "done", FAILED: "failed"}

_LIVE = ("SELECT holder, renewed_at, token FROM claims WHERE ns = ? AND key = ?")


def _range(prefix: str) -> tuple[str, tuple[str, ...]]:
    """A condition on tasks' ids that start with `prefix` (a range of the index)."""
    if not prefix:
        return "", ()
    upper = _core._successor(prefix)
    if upper is None:
        return " AND t.id >= ?", (prefix,)
    return " AND t.id >= ? AND t.id < ?", (prefix, upper)


def _task(db: sqlite3.Connection, ns: str, task_id: str, now: int) -> Task | None:
    row = db.execute("SELECT title, added_at, waiting, state, finisher, outcome FROM tasks "
                     "WHERE ns = ? AND id = ?", (ns, task_id)).fetchone()
    if row is None:
        return None
    title, added, waiting, state, finisher, outcome = row
    deps = [d for (d,) in db.execute("SELECT dep FROM task_deps WHERE ns = ? AND task = ? "
                                     "ORDER BY dep", (ns, task_id))]
    waits = []
    if waiting:
        waits = [d for d in deps if _state_of(db, ns, d) != DONE]
    claim = db.execute(_LIVE, (ns, "task:" + task_id)).fetchone()
    token = claim[2] if claim else 0
    holder = finisher
    if state in _FINISHED:
        word = _FINISHED[state]
    elif claim and claim[0] is not None and max(now - claim[1], 0) < LEASE:
        word, holder = "held", claim[0]
    else:
        word, holder = ("blocked" if waiting else "ready"), None
    return Task(task_id, title, word, holder, token, waits, outcome, deps, added)


def _state_of(db: sqlite3.Connection, ns: str, task_id: str) -> int | None:
    row = db.execute("SELECT state FROM tasks WHERE ns = ? AND id = ?", (ns, task_id)).fetchone()
    return None if row is None else int(row[0])


def _cycle(db: sqlite3.Connection, ns: str, task_id: str, deps: Sequence[str]) -> list[str] | None:
    """The path task -> dep -> ... -> task that the new dependencies would
    close, or None: a depth-first walk over what each dependency depends on."""
    parent: dict[str, str] = {}
    stack = []
    for dep in deps:
        if dep == task_id:
            return [task_id, task_id]
        if dep not in parent:
            parent[dep] = task_id
            stack.append(dep)
    while stack:
        node = stack.pop()
        for (nxt,) in db.execute("SELECT dep FROM task_deps WHERE ns = ? AND task = ?",
                                 (ns, node)):
            if nxt == task_id:
                path = [task_id]
                while node != task_id:
                    path.append(node)
                    node = parent[node]
                return [task_id, *reversed(path[1:]), task_id]
            if nxt not in parent:
                parent[nxt] = node
                stack.append(nxt)
    return None


def add_task(core: Core, agent: str, task_id: str, title: str, deps: list[str]) -> Task:
    ns = core.ns
    texts.check_new_id(task_id)

    def work(db: sqlite3.Connection) -> Any:
        now = _clock()
        db.execute(_core._SEEN, (ns, agent, now))
        found = _task(db, ns, task_id, now)
        known = set(found.depends_on) if found else set()
        new = [d for d in deps if d not in known]
        if found is not None:
            if not new and title == found.title:
                return found  # the same task added again: nothing to change
            if found.state in ("held", "done", "failed"):
                return Refusal(str(METHODS["add_task"].refusal(
                    "started", task_id=task_id, state=found.state)))
        path = _cycle(db, ns, task_id, new)
        if path is not None:
            return Refusal(str(texts.cycle_refusal(task_id, path)))
        unfinished = sum(1 for d in new if _state_of(db, ns, d) != DONE)
        if found is None:
            db.execute("INSERT INTO tasks (ns, id, seq, title, added_at, waiting) VALUES "
                       "(?1, ?2, coalesce((SELECT max(seq) FROM tasks WHERE ns = ?1), 0) + 1, "
                       "?3, ?4, ?5)", (ns, task_id, title, now, unfinished))
        else:
            db.execute("UPDATE tasks SET title = ?, waiting = waiting + ? WHERE ns = ? AND id = ?",
                       (title, unfinished, ns, task_id))
        db.executemany("INSERT INTO task_deps (ns, task, dep) VALUES (?, ?, ?)",
                       [(ns, task_id, d) for d in new])
        return _task(db, ns, task_id, now)

    result: Task = core.run(work)
    return result


def _blocked_why(db: sqlite3.Connection, ns: str, prefix: str, now: int) -> tuple[str, int | None]:
    """Why nothing under the prefix is ready, and the earliest second a held
    ready task's lease runs out (None: no such task)."""
    where, params = _range(prefix)
    count = db.execute(f"SELECT count(*) FROM tasks t WHERE t.ns = ? AND t.state = 0{where}",
                       (ns, *params)).fetchone()[0]
    expiry = db.execute(
        "SELECT min(c.renewed_at) FROM tasks t JOIN claims c ON c.ns = t.ns AND "
        f"c.key = 'task:' || t.id WHERE t.ns = ? AND t.state = 0 AND t.waiting = 0{where} "
        "AND c.holder IS NOT NULL", (ns, *params)).fetchone()[0]
    row = db.execute(f"SELECT t.id FROM tasks t WHERE t.ns = ? AND t.state = 0{where} "
                     "ORDER BY t.seq LIMIT 1", (ns, *params)).fetchone()
    first, detail = None, ""
    if row is not None:
        first = row[0]
        task = _task(db, ns, first, now)
        assert task is not None
        if task.state == "held":
            assert task.holder is not None
            detail = texts.held_text(task.holder, _expiry(db, ns, first))
        elif task.waits_for:
            dep = task.waits_for[0]
            other = _task(db, ns, dep, now)
            if other is None:
                what = "not added"
            elif other.state == "held":
                assert other.holder is not None
                what = texts.held_text(other.holder, _expiry(db, ns, dep))
            else:
                what = other.state
            detail = f"waits for {dep} ({what})"
    return texts.why(count, prefix, first, detail), (None if expiry is None else expiry + LEASE)


def _expiry(db: sqlite3.Connection, ns: str, task_id: str) -> int:
    row = db.execute(_LIVE, (ns, "task:" + task_id)).fetchone()
    return int(row[1]) + LEASE


def claim_once(core: Core, agent: str, prefix: str) -> tuple[Next, int | None]:
    ns = core.ns
    where, params = _range(prefix)

    def work(db: sqlite3.Connection) -> Any:
        now = _clock()
        # The ready tasks in order of addition, the first free one: only the
        # ready range of the index is read.
        row = db.execute(
            "SELECT t.id FROM tasks t LEFT JOIN claims c ON c.ns = t.ns AND "
            f"c.key = 'task:' || t.id WHERE t.ns = ? AND t.state = 0 AND t.waiting = 0{where} "
            "AND (c.holder IS NULL OR c.renewed_at <= ?) ORDER BY t.seq LIMIT 1",
            (ns, *params, now - LEASE)).fetchone()
        if row is None:
            db.execute(_core._SEEN, (ns, agent, now))
            why, expiry = _blocked_why(db, ns, prefix, now)
            return Next(None, why), expiry
        key = "task:" + row[0]
        if not db.execute(_core._GRANT, (agent, now, now, ns, key, now - LEASE)).rowcount:
            db.execute(_core._FIRST_GRANT, (ns, key, agent, now))
        return Next(_task(db, ns, row[0], now), ""), None

    result: tuple[Next, int | None] = core.run(work)
    return result


class Watch:
    """A waiting claim_next's view of the file: whether anything was written
    since the last look (PRAGMA data_version, as wait_inbox polls it), or a
    held ready task's lease ran out, either of which may free a task."""

    def __init__(self, core: Core, agent: str, expiry: int | None) -> None:
        self.poller = _core.Poller(core, agent)
        self.expiry = expiry
        self.delay = _core.FIRST_POLL

    def changed(self) -> bool:
        with self.poller.lock:
            version = self.poller._version()
            changed = version != self.poller.version
            self.poller.version = version
        self.delay = _core.next_delay(self.delay, True if changed else None)
        return changed or (self.expiry is not None and time.time() >= self.expiry)

    def close(self) -> None:
        self.poller.close()


def claim_next(core: Core, agent: str, prefix: str, wait: float) -> Next:
    """Claims; when nothing is ready and `wait` allows, tries again after
    each write to the file or the end of a held ready task's lease."""
    got, expiry = claim_once(core, agent, prefix)
    if got.task is not None or wait <= 0:
        return got
    deadline = time.monotonic() + wait
    watch = Watch(core, agent, expiry)
    try:
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                break
            time.sleep(min(watch.delay, left))
            if watch.changed():
                got, watch.expiry = claim_once(core, agent, prefix)
                if got.task is not None:
                    return got
    finally:
        watch.close()
    return claim_once(core, agent, prefix)[0]


def _finish(core: Core, agent: str, task_id: str, outcome: str, method: str, state: int,
            word: int) -> Task:
    ns, key = core.ns, "task:" + task_id

    def work(db: sqlite3.Connection) -> Any:
        now = _clock()
        row = db.execute("SELECT state, waiting FROM tasks WHERE ns = ? AND id = ?",
                         (ns, task_id)).fetchone()
        claim = db.execute(_LIVE, (ns, key)).fetchone()
        # A claim_task on a blocked task holds it, but cannot make it done
        # before its dependencies.
        blocked = row is not None and state == DONE and row[1] > 0
        if row is None or row[0] != OPEN or claim is None or claim[0] != agent or blocked:
            db.execute(_core._SEEN, (ns, agent, now))
            if row is None:
                return Refusal(str(METHODS[method].refusal("missing", task_id=task_id)))
            if row[0] == OPEN and claim is not None and claim[0] == agent:
                return Refusal(str(METHODS[method].refusal("blocked", task_id=task_id)))
            return Refusal(str(METHODS[method].refusal("unheld", agent_id=agent,
                                                       task_id=task_id)))
        db.execute(_core._RELEASE, (now, ns, key, agent))  # its trigger writes the record
        db.execute("UPDATE agents SET status = ? WHERE ns = ? AND agent = ?", (word, ns, agent))
        db.execute("UPDATE tasks SET state = ?, finisher = ?, outcome = ? WHERE ns = ? AND id = ?",
                   (state, agent, outcome, ns, task_id))
        if state == DONE:
            db.execute("UPDATE tasks SET waiting = waiting - 1 WHERE ns = ? AND id IN "
                       "(SELECT task FROM task_deps WHERE ns = ? AND dep = ?)",
                       (ns, ns, task_id))
        return _task(db, ns, task_id, now)

    result: Task = core.run(work)
    return result


def complete_task(core: Core, agent: str, task_id: str, note: str) -> Task:
    return _finish(core, agent, task_id, note, "complete_task", DONE, 2)


def fail_task(core: Core, agent: str, task_id: str, reason: str) -> Task:
    return _finish(core, agent, task_id, reason, "fail_task", FAILED, 3)


def reset_task(core: Core, agent: str, task_id: str) -> Task:
    ns = core.ns
    method = METHODS["reset_task"]

    def work(db: sqlite3.Connection) -> Any:
        now = _clock()
        db.execute(_core._SEEN, (ns, agent, now))
        row = db.execute("SELECT state, finisher FROM tasks WHERE ns = ? AND id = ?",
                         (ns, task_id)).fetchone()
        if row is None:
            return Refusal(str(method.refusal("missing", task_id=task_id)))
        if row[0] != FAILED:
            return Refusal(str(method.refusal("open", task_id=task_id)))
        if row[1] != agent:
            return Refusal(str(method.refusal("other", agent_id=agent, task_id=task_id,
                                              holder=row[1])))
        db.execute("UPDATE tasks SET state = 0, finisher = NULL, outcome = '' "
                   "WHERE ns = ? AND id = ?", (ns, task_id))
        return _task(db, ns, task_id, now)

    result: Task = core.run(work)
    return result


def tasks(core: Core, prefix: str) -> list[Task]:
    ns = core.ns
    where, params = _range(prefix)

    def work(db: sqlite3.Connection) -> Any:
        now = _clock()
        ids = [i for (i,) in db.execute(f"SELECT t.id FROM tasks t WHERE t.ns = ?{where} "
                                        "ORDER BY t.seq", (ns, *params))]
        return [_task(db, ns, i, now) for i in ids]

    result: list[Task] = core.run(work, write=False)
    return result


CALLS = {"add_task": add_task, "claim_next": claim_next, "complete_task": complete_task,
         "fail_task": fail_task, "reset_task": reset_task, "tasks": tasks}
