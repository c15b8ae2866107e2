"""What the blocking and the asyncio class share: each method as one
statement or one transaction on the state file, and an object's drains
awaiting confirmation.

A drain moves the inbox into a batch (messages.batch) and returns it; the
object's next call confirms it, deleting those messages. Until then the batch
is still the agent's: `inbox` lists it first, and a batch left unconfirmed for
the hand-over goes to the next drain of that agent from any object. A drain
whose result never reached its caller (a signal handler's exception, a
cancelled task) stays "unanswered", and the object's next drain of that agent
takes it over first. Messages keep their arrival order through all of this:
a batch is always older than what is left in the inbox.
"""
from __future__ import annotations

import math
import os
import sqlite3
import threading
import time
from pathlib import Path
from typing import Any, Iterable, List, Optional, Sequence, Tuple

from halvex_types import (
    HANDOVER_SECS,
    LEASE_SECS,
    METHODS,
    AgentInfo,
    Batch,
    Lease,
    Message,
    check_lease,
)
from halvex_types.methods import held_refusal

from . import _rules, _store

LEASE = LEASE_SECS
HANDOVER = HANDOVER_SECS

# A drain's messages, how many are left, its batch id (None: empty) and how
# many of its messages were drained before.
Drained = Tuple[List[Message], int, Optional[int], int]

# The activity log keeps this many records per namespace.
DEFAULT_LOG_LIMIT = 10_000

# The namespace every object, server and command uses unless told otherwise,
# so that they all meet in one state file.
DEFAULT_NAMESPACE = "default"

# wait_inbox polls the file's data version, from every FIRST_POLL seconds
# after a change up to every LAST_POLL when nothing happens.
FIRST_POLL = 0.002
LAST_POLL = 0.05
POLL_GROWTH = 1.5

Rows = List[Tuple[Any, ...]]


class Refusal:
    """A refused call: its RuntimeError is raised once the transaction (which
    still notes the caller's last call) has committed."""

    __slots__ = ("text",)

    def __init__(self, text: str) -> None:
        self.text = text


def _clock() -> int:
    now = time.time()
    if now < 0:
        raise _rules.clock_fault(now)
    return int(now)


def _clock_if_sane() -> int | None:
    now = time.time()
    return int(now) if now >= 0 else None


def _new_batch() -> int:
    # Random, not counted: ids must never meet across processes and lives of
    # a namespace.
    return int.from_bytes(os.urandom(8), "little") >> 2


def _successor(prefix: str) -> str | None:
    """The least text above every text that starts with `prefix` (code point
    order, which is UTF-8's byte order and SQLite's), or None."""
    chars = list(prefix)
    while chars:
        last = ord(chars.pop())
        if last < 0x10FFFF:
            last += 1
            if 0xD800 <= last <= 0xDFFF:
                last = 0xE000
            return "".join(chars) + chr(last)
    return None


def _messages(owner: str, rows: Iterable[Sequence[Any]]) -> list[Message]:
    return [(sender, owner, content, at) for sender, content, at in rows]


class _Fits:
    """A batch's limits: at most `count` messages and `size` bytes of UTF-8
    content, the first message always."""

    __slots__ = ("count", "size", "n", "used")

    def __init__(self, count: int, size: int) -> None:
        self.count, self.size, self.n, self.used = count, size, 0, 0

    def take(self, content: str) -> bool:
        if self.n >= self.count:
            return False
        size = len(content) if content.isascii() else len(content.encode("utf-8"))
        if self.n > 0 and self.used + size > self.size:
            return False
        self.used += size
        self.n += 1
        return True


_forks = _store._forks


class Session:
    """One object's drains: those answered (confirmed by its next call) and
    those whose result never reached the caller, per agent."""

    def __init__(self) -> None:
        self.renew()

    def renew(self) -> None:
        # In a child after fork: the parent's batches stay the parent's.
        self.generation = _forks[0]
        self.lock = threading.Lock()
        self.owed: list[tuple[str, int]] = []
        self.unanswered: dict[str, set[int]] = {}

    def take_owed(self) -> list[tuple[str, int]]:
        if self.generation != _forks[0]:
            self.renew()
        if not self.owed:
            return []
        with self.lock:
            owed, self.owed = self.owed, []
        return owed

    def owes(self) -> bool:
        if self.generation != _forks[0]:
            self.renew()
        return bool(self.owed)

    def give_back(self, owed: list[tuple[str, int]]) -> None:
        with self.lock:
            self.owed[:0] = owed

    def answered(self, agent: str, batch: int | None) -> None:
        if batch is None:
            return
        with self.lock:
            ids = self.unanswered.get(agent)
            if ids is not None:
                ids.discard(batch)
                if not ids:
                    del self.unanswered[agent]
            self.owed.append((agent, batch))

    def mine(self, agent: str) -> list[int]:
        with self.lock:
            return list(self.unanswered.get(agent, ()))

    def unanswer(self, agent: str, batch: int) -> None:
        with self.lock:
            self.unanswered.setdefault(agent, set()).add(batch)

    def settled(self, agent: str, taken: list[int]) -> None:
        """The batches a drain took over are in its own batch now."""
        if not taken:
            return
        with self.lock:
            ids = self.unanswered.get(agent)
            if ids is not None:
                ids.difference_update(taken)
                if not ids:
                    del self.unanswered[agent]


_SEEN_OF = ("INSERT INTO agents (ns, agent, seen) VALUES (NEW.ns, {agent}, {at}) "
            "ON CONFLICT (ns, agent) DO UPDATE SET seen = excluded.seen "
            "WHERE seen IS NOT excluded.seen")
_SEEN = _SEEN_OF.replace("NEW.ns, {agent}, {at}", "?, ?, ?")
_CONFIRM_ONE = ("DELETE FROM messages WHERE NEW.done_batch IS NOT NULL AND ns = NEW.ns AND "
                "agent = NEW.done_agent AND batch = NEW.done_batch; ")
_SEND_MESSAGE = ("INSERT INTO messages (ns, agent, sender, content, at) "
                 "VALUES (NEW.ns, NEW.recipient, NEW.sender, NEW.content, NEW.at); ")
_KNOWN = ("INSERT INTO agents (ns, agent, status) VALUES (?, ?, 0) "
          "ON CONFLICT (ns, agent) DO UPDATE SET status = 0 WHERE status IS NULL")
_KNOWN_SEEN = ("INSERT INTO agents (ns, agent, status, seen) VALUES (?, ?, 0, ?) "
               "ON CONFLICT (ns, agent) DO UPDATE SET status = coalesce(status, 0), "
               "seen = excluded.seen")
_NEXT_SEQ = ("coalesce((SELECT max(seq) FROM log WHERE ns = {ns}), "
             "(SELECT log_base FROM spaces WHERE ns = {ns}), 0) + 1")
_LOG = ("INSERT INTO log (ns, seq, at, kind, agent, key, sender, recipient, content) "
        f"VALUES (?1, {_NEXT_SEQ.format(ns='?1')}, ?2, ?3, ?4, ?5, ?6, ?7, ?8)")
# The log is trimmed every TRIM_EVERY records, down to so few that it never
# holds more than the limit (a trim at every record costs a page per call).
TRIM_EVERY = 32


def _record_sql(kind: str, agent: str, key: str, at: str, where: str = "") -> str:
    return ("INSERT INTO log (ns, seq, at, kind, agent, key) "
            f"SELECT NEW.ns, {_NEXT_SEQ.format(ns='NEW.ns')}, {at}, '{kind}', {agent}, {key}"
            f"{where};")


def connection_setup(log_limit: int) -> tuple[str, ...]:
    """Triggers of one object's connections (TEMP: each connection has its
    own, so they carry the object's log limit). A grant or release of a
    claim sets its agent's status and last call (its row is left alone, no
    page dirtied, when neither changes) and writes the activity record in
    the same statement; the log trims itself."""
    every = TRIM_EVERY if log_limit >= 2 * TRIM_EVERY else 1
    seen = ("INSERT INTO agents (ns, agent, status, seen) VALUES (NEW.ns, NEW.holder, "
            "{status}, {at}) ON CONFLICT (ns, agent) DO UPDATE SET status = excluded.status, "
            "seen = excluded.seen WHERE status IS NOT excluded.status "
            "OR seen IS NOT excluded.seen;")
    return (
        "CREATE TEMP TRIGGER IF NOT EXISTS halvex_first_grant AFTER INSERT ON main.claims "
        "BEGIN " + seen.format(status=1, at="NEW.granted_at")
        + _record_sql("claimed", "NEW.holder", "NEW.key", "NEW.granted_at") + " END",
        # A takeover: the new holder's record, then the previous holder's release.
        "CREATE TEMP TRIGGER IF NOT EXISTS halvex_grant AFTER UPDATE OF holder ON main.claims "
        "WHEN NEW.holder IS NOT NULL BEGIN " + seen.format(status=1, at="NEW.granted_at")
        + _record_sql("claimed", "NEW.holder", "NEW.key", "NEW.granted_at")
        + _record_sql("released", "OLD.holder", "NEW.key", "NEW.granted_at",
                      " WHERE OLD.holder IS NOT NULL") + " END",
        # A release stamps renewed_at with the second it happened.
        "CREATE TEMP TRIGGER IF NOT EXISTS halvex_release AFTER UPDATE OF holder ON main.claims "
        "WHEN NEW.holder IS NULL BEGIN "
        + seen.format(status=0, at="NEW.renewed_at").replace("NEW.holder", "OLD.holder")
        + _record_sql("released", "OLD.holder", "NEW.key", "NEW.renewed_at") + " END",
        "CREATE TEMP TRIGGER IF NOT EXISTS halvex_trim AFTER INSERT ON main.log "
        f"WHEN NEW.seq % {every} = 0 BEGIN DELETE FROM log WHERE ns = NEW.ns "
        f"AND seq <= NEW.seq - {log_limit - every + 1}; END",
        # A renewal (same holder and token) notes the holder's last call.
        "CREATE TEMP TRIGGER IF NOT EXISTS halvex_renew AFTER UPDATE OF renewed_at ON "
        "main.claims WHEN NEW.holder IS NOT NULL AND NEW.holder = OLD.holder AND "
        "NEW.token = OLD.token BEGIN " + _SEEN_OF.format(agent="NEW.holder", at="NEW.renewed_at")
        + "; END",
        # Inserting into these views is a send or a drain as one statement,
        # so the write lock is held only inside SQLite; done_agent/done_batch
        # confirm one drained batch the object owes on the way.
        "CREATE TEMP VIEW IF NOT EXISTS halvex_send (ns, sender, recipient, content, at, "
        "done_agent, done_batch) AS SELECT NULL, NULL, NULL, NULL, NULL, NULL, NULL",
        "CREATE TEMP TRIGGER IF NOT EXISTS halvex_send_one INSTEAD OF INSERT ON halvex_send "
        "BEGIN " + _CONFIRM_ONE + _SEND_MESSAGE
        + _KNOWN.replace("?, ?", "NEW.ns, NEW.recipient") + "; "
        + _SEEN_OF.format(agent="NEW.sender", at="NEW.at") + "; "
        + _LOG.replace("?1", "NEW.ns").replace("?2", "NEW.at").replace("?3", "'sent'")
        .replace("?4", "NULL").replace("?5", "NULL").replace("?6", "NEW.sender")
        .replace("?7", "NEW.recipient").replace("?8", "NEW.content") + "; END",
        "CREATE TEMP VIEW IF NOT EXISTS halvex_drain (ns, agent, batch, at, done_agent, "
        "done_batch) AS SELECT NULL, NULL, NULL, NULL, NULL, NULL",
        "CREATE TEMP TRIGGER IF NOT EXISTS halvex_drain_all INSTEAD OF INSERT ON halvex_drain "
        "BEGIN " + _CONFIRM_ONE + _SEEN_OF.format(agent="NEW.agent", at="NEW.at") + "; "
        "UPDATE messages SET batch = NEW.batch, drained_at = NEW.at WHERE ns = NEW.ns AND "
        f"agent = NEW.agent AND (batch IS NULL OR drained_at <= NEW.at - {HANDOVER}); END",
    )


# The clock as SQLite reads it, once it holds the write lock: whole seconds
# (the same in every use within a statement).
NOW = "CAST(strftime('%s', 'now') AS INTEGER)"
# The fast statements change nothing under a clock before 1970: the
# transaction of the call (the same call, step by step) then answers.
_FAST_CLAIM = (
    "INSERT INTO claims (ns, key, holder, token, granted_at, renewed_at) "
    "SELECT ?1, ?2, ?3, coalesce((SELECT floor FROM spaces WHERE ns = ?1), 0) + 1, t, t "
    f"FROM (SELECT {NOW} AS t) WHERE t >= 0 "
    "ON CONFLICT (ns, key) DO UPDATE SET holder = excluded.holder, token = token + 1, "
    "granted_at = excluded.granted_at, renewed_at = excluded.renewed_at "
    f"WHERE holder IS NULL OR renewed_at <= excluded.renewed_at - {LEASE}")
_FAST_RENEW = (f"UPDATE claims SET renewed_at = {NOW} "
               f"WHERE ns = ?1 AND key = ?2 AND holder = ?3 AND {NOW} >= 0")
_FAST_RELEASE = (f"UPDATE claims SET holder = NULL, renewed_at = {NOW} "
                 f"WHERE ns = ?1 AND key = ?2 AND holder = ?3 AND {NOW} >= 0")
_FAST_SEND = ("INSERT INTO halvex_send SELECT ?1, ?2, ?3, ?4, t, ?5, ?6 "
              f"FROM (SELECT {NOW} AS t) WHERE t >= 0 RETURNING at")
_FAST_DRAIN = ("INSERT INTO halvex_drain SELECT ?1, ?2, ?3, t, ?4, ?5 "
               f"FROM (SELECT {NOW} AS t) WHERE t >= 0 RETURNING at")
# INSERT ... RETURNING (the send's second, the drain's sane clock) into the
# views above. 3.35.5 (Windows' CPython 3.8 ships it) runs the INSTEAD OF
# trigger but returns no row, and crashes the process when the statement
# runs again; 3.37.2 is the oldest release seen to get it right. Older ones
# take the transaction of the call.
RETURNING = sqlite3.sqlite_version_info >= (3, 37, 2)


_GRANT = ("UPDATE claims SET holder = ?, token = token + 1, granted_at = ?, renewed_at = ? "
          "WHERE ns = ? AND key = ? AND (holder IS NULL OR renewed_at <= ?)")
_FIRST_GRANT = ("INSERT INTO claims (ns, key, holder, token, granted_at, renewed_at) "
                "VALUES (?1, ?2, ?3, coalesce((SELECT floor FROM spaces WHERE ns = ?1), 0) + 1, "
                "?4, ?4)")
_RENEW = "UPDATE claims SET renewed_at = ?1 WHERE ns = ?2 AND key = ?3 AND holder = ?4"
_RELEASE = ("UPDATE claims SET holder = NULL, renewed_at = ?1 "
            "WHERE ns = ?2 AND key = ?3 AND holder = ?4")
_HOLDER = "SELECT holder FROM claims WHERE ns = ? AND key = ?"
_ROWS_OF = "SELECT sender, content, at FROM messages WHERE ns = ? AND agent = ? "


class Core:
    """One object's view of one namespace in one file."""

    def __init__(self, path: Any, namespace: object, log_limit: object) -> None:
        if not isinstance(namespace, str):
            raise TypeError(f"namespace must be a str, not '{type(namespace).__name__}'")
        if not namespace:
            raise ValueError("namespace must not be empty")
        if type(log_limit) is not int or log_limit < 1:
            raise ValueError(f"log_limit must be a positive int, not {log_limit!r}")
        self.ns = str.__str__(namespace)
        self.log_limit = log_limit
        self.store = _store.Store(_store.resolve(path), connection_setup(log_limit))
        self.session = Session()

    # ---- the frame of every call ----

    def run(self, work: Any, write: bool = True, owed: list[tuple[str, int]] | None = None
            ) -> Any:
        """Runs `work(db)` in one transaction, after deleting the drained
        batches this object owes a confirmation (`owed`, else the session's);
        raises a Refusal's RuntimeError after the commit."""
        if owed is None:
            owed = self.session.take_owed()
        if owed:
            ns = self.ns
            inner = work

            def work(db: sqlite3.Connection) -> Any:
                db.executemany("DELETE FROM messages WHERE ns = ? AND agent = ? AND batch = ?",
                               [(ns, agent, batch) for agent, batch in owed])
                return inner(db)
        try:
            result = self.store.run(work, write or bool(owed))
        except BaseException:
            if owed:
                self.session.give_back(owed)
            raise
        if type(result) is Refusal:
            raise RuntimeError(result.text)
        return result

    def fast(self, sql: str, params: tuple[Any, ...], carries: bool = False
             ) -> tuple[list[Any], int] | None:
        """One statement in autocommit, the common case of a call: its rows
        and its count of changed rows. The batches this object owes a
        confirmation go with it when it `carries` one and only one is owed,
        else in a transaction of their own first. None when the call must
        run as a transaction instead (nothing was changed, nothing is owed)."""
        owed = self.session.take_owed()
        done: tuple[Any, ...] = ()
        if carries:
            done = owed.pop() if len(owed) == 1 else (None, None)
        if owed:
            self.run(lambda db: None, owed=owed)
        try:
            rows, changed = self.store.statement(sql, params + done)
        except BaseException:
            if done and done[0] is not None:
                self.session.give_back([done])
            raise
        if not rows and not changed:
            if done and done[0] is not None:
                self.session.give_back([done])
            return None
        return rows, changed

    def _log(self, db: sqlite3.Connection, at: int, kind: str, agent: str | None = None,
             key: str | None = None, sender: str | None = None, recipient: str | None = None,
             content: str | None = None) -> None:
        db.execute(_LOG, (self.ns, at, kind, agent, key, sender, recipient, content))

    # ---- claims ----

    def claim(self, agent: str, name: str, prefix: str, task: bool) -> str:
        ns, key = self.ns, prefix + name
        # Granted when free or expired (one statement; the triggers set the
        # status and write the records); a refusal takes the transaction.
        if self.fast(_FAST_CLAIM, (ns, key, agent)):
            return agent

        def work(db: sqlite3.Connection) -> Any:
            now = _clock()
            # Granted when free or expired: live while now - renewed < LEASE,
            # so a clock set back keeps it live. Each grant takes the next
            # token; the triggers set the status and write the records.
            if db.execute(_GRANT, (agent, now, now, ns, key, now - LEASE)).rowcount:
                return agent
            row = db.execute(_HOLDER, (ns, key)).fetchone()
            if row is None:
                # A key's first grant (or first since a delete) starts above the floor.
                db.execute(_FIRST_GRANT, (ns, key, agent, now))
                return agent
            db.execute(_SEEN, (ns, agent, now))
            if task:
                return Refusal(str(METHODS["claim_task"].refusal("held", holder=row[0],
                                                                 task_id=name)))
            return Refusal(str(METHODS["claim_file"].refusal("held", holder=row[0], path=name)))

        result: str = self.run(work)
        return result

    def claim_many(self, agent: str, keys: list[str]) -> list[Lease]:
        if not keys:
            return []
        ns = self.ns

        def work(db: sqlite3.Connection) -> Any:
            now = _clock()
            for key in keys:  # every key checked before any is granted
                row = db.execute("SELECT holder, renewed_at FROM claims WHERE ns = ? AND key = ?",
                                 (ns, key)).fetchone()
                if row is not None and row[0] is not None and row[1] > now - LEASE:
                    db.execute(_SEEN, (ns, agent, now))
                    return Refusal(str(held_refusal(key, row[0])))
            granted = []
            for key in keys:
                if not db.execute(_GRANT, (agent, now, now, ns, key, now - LEASE)).rowcount:
                    db.execute(_FIRST_GRANT, (ns, key, agent, now))
                token = db.execute("SELECT token FROM claims WHERE ns = ? AND key = ?",
                                   (ns, key)).fetchone()[0]
                granted.append(Lease(key, agent, token, now, now, now + LEASE, True))
            return granted

        result: list[Lease] = self.run(work)
        return result

    def _holder_test(self, db: sqlite3.Connection, agent: str, key: str, method: str,
                     missing: str) -> Refusal | None:
        """Refuses a renewal or release by anyone but the holder, before the
        clock is read (a refusal answers under a faulty clock too)."""
        row = db.execute(_HOLDER, (self.ns, key)).fetchone()
        holder = None if row is None else row[0]
        if holder == agent:
            return None
        now = _clock_if_sane()
        if now is not None:
            db.execute(_SEEN, (self.ns, agent, now))
        if holder is None:
            return Refusal(missing)
        return Refusal(str(METHODS[method].refusal("held", agent_id=agent, holder=holder)))

    def _holder_only(self, agent: str, key: str, method: str, missing: str, fast: str,
                     change: str) -> None:
        """Renewal and release: the change when `agent` holds the key (one
        statement; a trigger notes the call), else the refusal, in a
        transaction; under a clock before 1970 the refusal still answers."""
        ns = self.ns
        if self.fast(fast, (ns, key, agent)):
            return

        def work(db: sqlite3.Connection) -> Any:
            now = _clock_if_sane()
            if now is not None and db.execute(change, (now, ns, key, agent)).rowcount:
                return None
            refused = self._holder_test(db, agent, key, method, missing)
            if refused is not None:
                return refused
            raise _rules.clock_fault(time.time())

        self.run(work)

    def renew(self, agent: str, key: str) -> str:
        missing = str(METHODS["renew_claim"].refusal("missing", resource_key=key))
        self._holder_only(agent, key, "renew_claim", missing, _FAST_RENEW, _RENEW)
        return agent

    def release(self, agent: str, key: str) -> None:
        missing = str(METHODS["release"].refusal("missing", agent_id=agent))
        self._holder_only(agent, key, "release", missing, _FAST_RELEASE, _RELEASE)

    def release_all(self, agent: str) -> list[str]:
        ns = self.ns

        def work(db: sqlite3.Connection) -> Any:
            now = _clock()
            keys = [k for (k,) in db.execute(
                "SELECT key FROM claims WHERE ns = ? AND holder = ? ORDER BY key", (ns, agent))]
            if keys:  # the trigger writes the records, in key order
                db.execute("UPDATE claims SET holder = NULL, renewed_at = ? "
                           "WHERE ns = ? AND holder = ?", (now, ns, agent))
            else:
                db.execute(_SEEN, (ns, agent, now))
            return keys

        result: list[str] = self.run(work)
        return result

    # ---- messages ----

    def send(self, sender: str, to: str, content: str) -> Message:
        ns = self.ns
        if RETURNING:
            done = self.fast(_FAST_SEND, (ns, sender, to, content), carries=True)
            if done:
                return (sender, to, content, done[0][0][0])

        def work(db: sqlite3.Connection) -> Any:
            now = _clock()
            db.execute("INSERT INTO messages (ns, agent, sender, content, at) "
                       "VALUES (?, ?, ?, ?, ?)", (ns, to, sender, content, now))
            db.execute(_KNOWN, (ns, to))
            db.execute(_SEEN, (ns, sender, now))
            self._log(db, now, "sent", sender=sender, recipient=to, content=content)
            return (sender, to, content, now)

        result: Message = self.run(work)
        return result

    def broadcast(self, sender: str, content: str) -> Message:
        ns = self.ns

        def work(db: sqlite3.Connection) -> Any:
            now = _clock()
            db.execute(_KNOWN_SEEN, (ns, sender, now))
            # Every agent known now, the sender included, in this transaction.
            db.execute("INSERT INTO messages (ns, agent, sender, content, at) "
                       "SELECT ns, agent, ?, ?, ? FROM agents "
                       "WHERE ns = ? AND status IS NOT NULL", (sender, content, now, ns))
            self._log(db, now, "broadcast", sender=sender, content=content)
            return (sender, "*", content, now)

        result: Message = self.run(work)
        return result

    def inbox(self, agent: str) -> list[Message]:
        ns = self.ns

        def work(db: sqlite3.Connection) -> Any:
            now = _clock_if_sane()
            if now is not None:
                db.execute(_SEEN, (ns, agent, now))
            return db.execute(_ROWS_OF + "ORDER BY id", (ns, agent)).fetchall()

        return _messages(agent, self.run(work))

    def inbox_batch(self, agent: str, count: int, size: int) -> tuple[list[Message], int]:
        ns = self.ns

        def work(db: sqlite3.Connection) -> Any:
            now = _clock_if_sane()
            if now is not None:
                db.execute(_SEEN, (ns, agent, now))
            waiting = db.execute("SELECT count(*) FROM messages WHERE ns = ? AND agent = ?",
                                 (ns, agent)).fetchone()[0]
            fits, batch = _Fits(count, size), []
            for row in db.execute(_ROWS_OF + "ORDER BY id", (ns, agent)):
                if not fits.take(row[1]):
                    break
                batch.append(row)
            return batch, waiting - len(batch)

        rows, left = self.run(work)
        return _messages(agent, rows), left

    def _taken_over(self, agent: str, now: int, mine: list[int]) -> tuple[str, tuple[Any, ...]]:
        """The condition and parameters picking the pending messages a drain
        takes over: this object's unanswered batches and the stale ones."""
        cond = "drained_at <= ?"
        if mine:
            cond += f" OR batch IN ({', '.join('?' * len(mine))})"
        return cond, (now - HANDOVER, *mine)

    def drain(self, agent: str, limits: tuple[int, int] | None = None, held: bool = False
              ) -> Drained:
        """The drained messages, how many are left, the batch holding them
        (None when empty) and how many of them were drained before; the
        batch stays unanswered until the caller has the result
        (Session.answered). A `held` batch is no concern of the object's:
        only its acknowledgement (or the hand-over) ends it."""
        ns, session = self.ns, self.session
        if limits is None and RETURNING and not held and not session.mine(agent):
            got = self._drain_fast(agent)
            if got is not None:
                return got

        def work(db: sqlite3.Connection) -> Any:
            clock = time.time()
            now = math.floor(clock)
            if clock >= 0:
                db.execute(_SEEN, (ns, agent, now))
            mine = session.mine(agent)
            batch = _new_batch()
            taken, params = self._taken_over(agent, now, mine)
            over = 0
            if limits is None:
                db.execute(f"UPDATE messages SET batch = ?, drained_at = ? "
                           f"WHERE ns = ? AND agent = ? AND (batch IS NULL OR {taken})",
                           (batch, now, ns, agent, *params))
                left = 0
            else:
                over = self._drain_limited(db, agent, batch, now, taken, params, _Fits(*limits))
                left = None
            rows = db.execute(_ROWS_OF + "AND batch = ? ORDER BY id", (ns, agent, batch)).fetchall()
            if held:  # other batches wait for their acknowledgement, not for this drain
                left = db.execute("SELECT count(*) FROM messages WHERE ns = ? AND agent = ? "
                                  "AND batch IS NULL", (ns, agent)).fetchone()[0]
            elif left is None:
                left = db.execute("SELECT count(*) FROM messages WHERE ns = ? AND agent = ?",
                                  (ns, agent)).fetchone()[0] - len(rows)
            if rows and not held:
                session.unanswer(agent, batch)  # harmless if the commit fails
            return rows, left, (batch if rows else None), mine, over

        rows, left, batch, mine, over = self.run(work)
        session.settled(agent, mine)
        return _messages(agent, rows), left, batch, over

    def _drain_fast(self, agent: str) -> Drained | None:
        """A whole drain as one statement; its batch is read after the commit
        (only this object's confirmation, or a hand-over long after, takes
        it away)."""
        ns, session = self.ns, self.session
        batch = _new_batch()
        session.unanswer(agent, batch)  # harmless if nothing is drained
        try:
            if not self.fast(_FAST_DRAIN, (ns, agent, batch), carries=True):
                session.settled(agent, [batch])
                return None
            rows = self.store.statement(_ROWS_OF + "AND batch = ? ORDER BY id",
                                        (ns, agent, batch), write=False)[0]
        except BaseException:
            # Maybe drained: it stays this object's, for its next drain.
            raise
        if not rows:
            session.settled(agent, [batch])
            return [], 0, None, 0
        return _messages(agent, rows), 0, batch, 0

    def _drain_limited(self, db: sqlite3.Connection, agent: str, batch: int, now: int,
                       taken: str, params: tuple[Any, ...], fits: _Fits) -> int:
        """Pending batches taken over first; what of them does not fit goes
        back to the head of the inbox (its ids are the lowest there); then the
        oldest inbox messages that fit. Returns how many were taken over."""
        ns = self.ns
        taken = f"ns = ? AND agent = ? AND batch IS NOT NULL AND ({taken})"
        params = (ns, agent, *params)
        last = None
        over = db.execute(f"SELECT id, content FROM messages WHERE {taken} ORDER BY id",
                          params).fetchall()
        for msg_id, content in over:
            if not fits.take(content):
                break
            last = msg_id
        if last is not None:
            db.execute(f"UPDATE messages SET batch = ?, drained_at = ? WHERE {taken} AND id <= ?",
                       (batch, now, *params, last))
        if fits.n < len(over):
            db.execute(f"UPDATE messages SET batch = NULL, drained_at = NULL WHERE {taken}",
                       params)
            return fits.n
        redelivered, last = fits.n, None
        for msg_id, content in db.execute(
                "SELECT id, content FROM messages WHERE ns = ? AND agent = ? AND batch IS NULL "
                "ORDER BY id LIMIT ?", (self.ns, agent, min(fits.count - fits.n, 2 ** 62))):
            if not fits.take(content):
                break
            last = msg_id
        if last is not None:
            db.execute("UPDATE messages SET batch = ?, drained_at = ? WHERE ns = ? AND agent = ? "
                       "AND batch IS NULL AND id <= ?", (batch, now, self.ns, agent, last))
        return redelivered

    def has_mail(self, db: sqlite3.Connection, agent: str) -> bool:
        row = db.execute("SELECT 1 FROM messages WHERE ns = ? AND agent = ? AND batch IS NULL "
                         "LIMIT 1", (self.ns, agent)).fetchone()
        return row is not None

    def status(self, agent: str) -> str:
        ns = self.ns

        def work(db: sqlite3.Connection) -> Any:
            return _store.any_value(db.execute(
                "SELECT status FROM agents WHERE ns = ? AND agent = ?", (ns, agent)).fetchone())

        word = self.run(work, write=False)
        return _rules.WORDS[0 if word is None else word]

    def confirm(self) -> None:
        if self.session.owes():
            self.run(lambda db: None, write=True)

    def acknowledge(self, agent: str, ack: str) -> int:
        # Handles are the batch ids this module mints: anything else names no batch.
        if not (ack.isascii() and ack.isdigit() and len(ack) <= 19):
            return 0
        ns, batch = self.ns, int(ack)

        def work(db: sqlite3.Connection) -> int:
            return db.execute("DELETE FROM messages WHERE ns = ? AND agent = ? AND batch = ?",
                              (ns, agent, batch)).rowcount

        done: int = self.run(work)
        return done

    # ---- views ----

    def _lease_rows(self, db: sqlite3.Connection, where: str, params: tuple[Any, ...]
                    ) -> tuple[int, Rows]:
        now = _clock()
        rows = db.execute("SELECT key, holder, token, granted_at, renewed_at FROM claims "
                          f"WHERE ns = ? AND {where} AND holder IS NOT NULL ORDER BY key",
                          (self.ns, *params)).fetchall()
        return now, rows

    @staticmethod
    def _lease(now: int, row: Sequence[Any]) -> Lease:
        key, holder, token, granted, renewed = row
        return Lease(key, holder, token, granted, renewed, renewed + LEASE,
                     max(now - renewed, 0) < LEASE)

    def lease(self, key: str) -> Lease | None:
        now, rows = self.run(lambda db: self._lease_rows(db, "key = ?", (key,)), write=False)
        return self._lease(now, rows[0]) if rows else None

    def lease_many(self, keys: list[str]) -> list[Lease | None]:
        def work(db: sqlite3.Connection) -> tuple[int, Rows]:
            now, rows = _clock(), []
            for start in range(0, len(keys), 500):  # within SQLite's bound on parameters
                part = keys[start:start + 500]
                rows += self._lease_rows(db, f"key IN ({', '.join('?' * len(part))})",
                                         tuple(part))[1]
            return now, rows

        now, rows = self.run(work, write=False)
        found = {row[0]: self._lease(now, row) for row in rows}
        return [found.get(key) for key in keys]

    def leases(self, prefix: str) -> list[Lease]:
        upper = _successor(prefix)
        # A range of the primary key: no scan of other keys.
        where, params = ("key >= ? AND key < ?", (prefix, upper)) if upper is not None else (
            "key >= ?", (prefix,))
        now, rows = self.run(lambda db: self._lease_rows(db, where, params), write=False)
        return [self._lease(now, row) for row in rows]

    def check_lease(self, agent: str, key: str, token: int) -> int:
        now, rows = self.run(lambda db: self._lease_rows(db, "key = ?", (key,)), write=False)
        return check_lease(self._lease(now, rows[0]) if rows else None, agent, key, token, now)

    def agents(self) -> list[AgentInfo]:
        ns = self.ns

        def work(db: sqlite3.Connection) -> Any:
            now = _clock()
            held = dict(db.execute(
                "SELECT holder, count(*) FROM claims WHERE ns = ? AND holder IS NOT NULL "
                "AND renewed_at > ? GROUP BY holder", (ns, now - LEASE)).fetchall())
            counts: dict[str, list[int]] = {}
            for agent, pending, n in db.execute(
                    "SELECT agent, batch IS NOT NULL, count(*) FROM messages WHERE ns = ? "
                    "GROUP BY agent, batch IS NOT NULL", (ns,)):
                counts.setdefault(agent, [0, 0])[pending] = n
            none = [0, 0]
            return [AgentInfo(agent, _rules.WORDS[status], counts.get(agent, none)[0],
                              counts.get(agent, none)[1], held.get(agent, 0), seen)
                    for agent, status, seen in db.execute(
                        "SELECT agent, status, seen FROM agents WHERE ns = ? AND status IS NOT "
                        "NULL ORDER BY agent", (ns,))]

        result: list[AgentInfo] = self.run(work, write=False)
        return result

    def activity(self, after: str | None, count: int) -> list[dict[str, Any]]:
        ns = self.ns
        columns = "seq, at, kind, agent, key, sender, recipient, content"
        if after is None:
            rows = self.run(lambda db: db.execute(
                f"SELECT {columns} FROM log WHERE ns = ? ORDER BY seq DESC LIMIT ?",
                (ns, count)).fetchall()[::-1], write=False)
        else:
            start = int(after)
            rows = self.run(lambda db: db.execute(
                f"SELECT {columns} FROM log WHERE ns = ? AND seq > ? ORDER BY seq LIMIT ?",
                (ns, start, count)).fetchall(), write=False)
        return [_record(row) for row in rows]


def _record(row: Sequence[Any]) -> dict[str, Any]:
    """One activity record, its fields in the order the Redis log has them."""
    seq, at, kind, agent, key, sender, recipient, content = row
    out: dict[str, Any] = {"id": str(seq), "kind": kind}
    if kind in ("claimed", "released"):
        out["agent"], out["key"] = agent, key
    else:
        out["from"] = sender
        if kind == "sent":
            out["to"] = recipient
        out["content"] = content
    out["at"] = at
    return out


def delete_namespace(path: Any, namespace: object) -> int:
    """Deletes every row of the namespace; its token floor and activity base
    stay, so no token or activity id is ever given again."""
    if not isinstance(namespace, str):
        raise TypeError(f"namespace must be a str, not '{type(namespace).__name__}'")
    ns = str.__str__(namespace)
    store = _store.Store(_store.resolve(path))

    def work(db: sqlite3.Connection) -> int:
        floor, base = db.execute(
            "SELECT max(coalesce((SELECT floor FROM spaces WHERE ns = ?1), 0), "
            "coalesce((SELECT max(token) FROM claims WHERE ns = ?1), 0)), "
            "max(coalesce((SELECT log_base FROM spaces WHERE ns = ?1), 0), "
            "coalesce((SELECT max(seq) FROM log WHERE ns = ?1), 0))", (ns,)).fetchone()
        removed = 0
        for table in ("claims", "agents", "messages", "log", "tasks", "task_deps"):
            removed += db.execute(f"DELETE FROM {table} WHERE ns = ?", (ns,)).rowcount
        if floor or base:
            db.execute("INSERT INTO spaces (ns, floor, log_base) VALUES (?, ?, ?) "
                       "ON CONFLICT (ns) DO UPDATE SET floor = excluded.floor, "
                       "log_base = excluded.log_base", (ns, floor, base))
        return removed

    return store.run(work, True)


class Poller:
    """A wait's own connection: PRAGMA data_version on it changes whenever
    another connection (any thread or process) commits to the file."""

    def __init__(self, core: Core, agent: str) -> None:
        self.core, self.agent = core, agent
        # A cancelled asyncio wait closes it while a poll may still run.
        self.lock = threading.Lock()
        self.db = core.store.reader()
        try:
            self.version = self._version()
        except BaseException:
            self.db.close()
            raise

    def _version(self) -> int:
        try:
            value: int = _store.retrying(
                lambda: self.db.execute("PRAGMA data_version").fetchone()[0])
            return value
        except sqlite3.Error as err:
            raise _store.file_error(self.core.store.path, err) from err

    def mail(self) -> bool:
        try:
            return _store.retrying(lambda: self.core.has_mail(self.db, self.agent))
        except sqlite3.Error as err:
            raise _store.file_error(self.core.store.path, err) from err

    def look(self) -> bool | None:
        """None when nothing was written since the last look; else whether
        the agent's inbox holds a message."""
        with self.lock:
            version = self._version()
            if version == self.version:
                return None
            self.version = version
            return self.mail()

    def close(self) -> None:
        with self.lock:
            self.db.close()


def next_delay(delay: float, seen: bool | None) -> float:
    """Polls come fast after a write anywhere in the file, slower when quiet."""
    return min(delay * POLL_GROWTH, LAST_POLL) if seen is None else FIRST_POLL


def wait(core: Core, agent: str, timeout: float, limits: tuple[int, int] | None = None,
         held: bool = False) -> Drained:
    """Drains; when that finds nothing, polls until a message arrives or the
    time is up, and drains again (a drain that finds nothing, because another
    drainer was first, waits on)."""
    got = core.drain(agent, limits, held)
    if got[0] or timeout <= 0:
        return got
    deadline = time.monotonic() + timeout
    poller = Poller(core, agent)
    try:
        # A send between the drain and the poller's first version is seen here.
        seen: bool | None = poller.mail()
        delay = FIRST_POLL
        while True:
            if seen:
                got = core.drain(agent, limits, held)
                if got[0]:
                    return got
            left = deadline - time.monotonic()
            if left <= 0:
                break
            time.sleep(min(delay, left))
            seen = poller.look()
            delay = next_delay(delay, seen)
    finally:
        poller.close()
    return core.drain(agent, limits, held)


# ---- the methods, as both classes call them ----

def _drain_inbox(core: Core, agent: str) -> list[Message]:
    got = core.drain(agent)
    # The caller has the result now: the object's next call confirms it.
    core.session.answered(agent, got[2])
    return got[0]


def _drain_batch(core: Core, agent: str, count: int, size: int) -> tuple[list[Message], int]:
    got = core.drain(agent, (count, size))
    core.session.answered(agent, got[2])
    return got[0], got[1]


def _wait_inbox(core: Core, agent: str, timeout: float) -> list[Message]:
    got = wait(core, agent, timeout)
    core.session.answered(agent, got[2])
    return got[0]


def held_batch(got: Drained) -> Batch:
    return Batch(got[0], got[1], "" if got[2] is None else str(got[2]), got[3])


def _take_batch(core: Core, agent: str, count: int, size: int, timeout: float) -> Batch:
    return held_batch(wait(core, agent, timeout, (count, size), held=True))


def now(core: Core) -> float:
    """The clock the calls read (SQLite reads the same one)."""
    return _store.wall_clock()


# Each method of the table: a function of the object's Core and the checked
# arguments, run in the calling thread.
CALLS: dict[str, Any] = {
    "claim_file": lambda core, agent, path: core.claim(agent, path, "file:", False),
    "claim_task": lambda core, agent, task: core.claim(agent, task, "task:", True),
    "claim_many": Core.claim_many,
    "release": Core.release,
    "renew_claim": Core.renew,
    "send_message": Core.send,
    "broadcast": Core.broadcast,
    "inbox": Core.inbox,
    "drain_inbox": _drain_inbox,
    "status": Core.status,
    "lease": Core.lease,
    "lease_many": Core.lease_many,
    "leases": Core.leases,
    "check_lease": Core.check_lease,
    "agents": Core.agents,
    "release_all": Core.release_all,
    "wait_inbox": _wait_inbox,
    "inbox_batch": Core.inbox_batch,
    "drain_batch": _drain_batch,
    "confirm": Core.confirm,
    "take_batch": _take_batch,
    "acknowledge": Core.acknowledge,
    "activity": Core.activity,
    "now": now,
}


class Face:
    """What the blocking class and its asyncio twin share: the file, the
    namespace and closing. Neither may be subclassed further."""

    __slots__ = ("_core",)

    def __init__(self, path: str | os.PathLike[str] | None = None, *,
                 namespace: str = DEFAULT_NAMESPACE, log_limit: int = DEFAULT_LOG_LIMIT) -> None:
        self._core = Core(path, namespace, log_limit)

    def __init_subclass__(cls, final: bool = False, **kwargs: Any) -> None:
        if not final:
            base = next(c for c in cls.__mro__[1:] if issubclass(c, Face))
            raise TypeError(f"type '{base.__module__}.{base.__qualname__}' is not an acceptable "
                            "base type")
        super().__init_subclass__(**kwargs)

    @property
    def namespace(self) -> str:
        return self._core.ns

    @property
    def path(self) -> Path:
        return self._core.store.path

    def __repr__(self) -> str:
        return (f"<{type(self).__module__}.{type(self).__qualname__} path={str(self.path)!r} "
                f"namespace={self.namespace!r}>")

    def close(self) -> None:
        """Closes the object's idle connections to the file now, rather than
        when the object is collected; using the object again reopens them."""
        self._core.store.close()
