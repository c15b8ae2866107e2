"""The state file: where it lives, its schema, one connection per thread and
process, transactions, and what a bad file turns into (StateFileError).

Every call is one statement in autocommit (`statement`) or one transaction
(`run`). Writes take the file's write lock first (the statement as it
starts, the transaction with BEGIN IMMEDIATE), so calls from any process on
the machine run one after another, and read the clock only once they hold
it: a later grant never carries an earlier second than the one it follows.
Before that, writers queue for their turn at a lock file (Turns). The journal is a
write-ahead log with synchronous=NORMAL: a committed call survives a killed
process; a power cut may lose the last calls. Where writers take turns, the
log is copied into the file (checkpointed) by a writer after its turn, not
inside a commit (see AUTOCHECKPOINT).
"""
from __future__ import annotations

import os
import random
import sqlite3
import struct
import subprocess
import sys
import threading
import time
import weakref
from pathlib import Path
from typing import Any, Callable, TypeVar

try:
    import fcntl
except ImportError:  # Windows: writers meet at SQLite's lock alone
    fcntl = None  # type: ignore[assignment]

T = TypeVar("T")

# PRAGMA user_version of the files this module writes; a file with a higher
# one was written by a newer halvex_sqlite and is refused.
SCHEMA_VERSION = 2
# PRAGMA application_id: marks a file as halvex state ("HLVX").
APPLICATION_ID = 0x484C5658

# How long a call waits for the write lock before it gives up. Calls hold it
# for well under a millisecond; only a stuck process holds it this long.
BUSY_TIMEOUT = 60.0
# Waits between tries for the lock: SQLite's own handler sleeps 1, 2, 5,
# 10 ms..., so a call that meets the lock twice would wait 8 ms; ours tries
# again after about 0.1 ms, doubling up to 2 ms (with jitter, so writers
# that met do not meet again).
RETRY_FIRST = 0.0001
RETRY_MAX = 0.002

# Pages written to the WAL before they are copied into the file (a
# checkpoint: two fsyncs): 16 MB instead of 4 MB makes that a quarter as
# often.
AUTOCHECKPOINT = 4000
# SQLite's own checkpoint runs in the commit that fills the WAL, with the
# writer's turn at the lock file (Turns) still held: every other writer
# waited out its fsyncs (the longest turns, 10 to 20 ms). Where writers
# take turns it is off: a writer looks at the WAL's length every
# CHECK_EVERY writes, after its turn, and checkpoints then; only the frames
# written meanwhile are copied with a turn held (about 0.6 ms).
CHECK_EVERY = 16

# Journal durability: NORMAL keeps every committed call across a killed
# process (docs/sqlite.md gives the price of FULL, measured).
SYNCHRONOUS = "NORMAL"

# Page size of new files (an existing file keeps its own). A call dirties
# about three pages (the claim or message, the agent, the activity record),
# each written whole to the WAL: 1 KB pages instead of SQLite's 4 KB cut a
# call's CPU by a fifth (docs/sqlite.md, "CPU per call").
PAGE_SIZE = 1024

_SCHEMA = """
CREATE TABLE spaces (
  ns TEXT PRIMARY KEY,
  floor INTEGER NOT NULL DEFAULT 0,     -- highest token of the space's earlier lives
  log_base INTEGER NOT NULL DEFAULT 0   -- highest activity id of its earlier lives
) WITHOUT ROWID;
CREATE TABLE claims (
  ns TEXT NOT NULL,
  key TEXT NOT NULL,
  holder TEXT,                          -- NULL once released: the row keeps the token
  token INTEGER NOT NULL,
  granted_at INTEGER NOT NULL,
  renewed_at INTEGER NOT NULL,
  PRIMARY KEY (ns, key)
) WITHOUT ROWID;
CREATE TABLE agents (
  ns TEXT NOT NULL,
  agent TEXT NOT NULL,
  status INTEGER,                       -- NULL: seen acting, never made known
  seen INTEGER,                         -- second of its last call as the acting agent
  PRIMARY KEY (ns, agent)
) WITHOUT ROWID;
CREATE TABLE messages (
  id INTEGER PRIMARY KEY,               -- arrival order
  ns TEXT NOT NULL,
  agent TEXT NOT NULL,                  -- the inbox's owner
  sender TEXT NOT NULL,
  content TEXT NOT NULL,
  at INTEGER NOT NULL,
  batch INTEGER,                        -- NULL: in the inbox, else the drain holding it
  drained_at INTEGER
);
CREATE INDEX messages_by_inbox ON messages (ns, agent, batch);
CREATE TABLE log (
  ns TEXT NOT NULL,
  seq INTEGER NOT NULL,
  at INTEGER NOT NULL,
  kind TEXT NOT NULL,
  agent TEXT,
  key TEXT,
  sender TEXT,
  recipient TEXT,
  content TEXT,
  PRIMARY KEY (ns, seq)
) WITHOUT ROWID;
"""

# Schema 2 adds the task graph; a file of schema 1 gets these tables.
_TASKS_SCHEMA = """
CREATE TABLE tasks (
  ns TEXT NOT NULL,
  id TEXT NOT NULL,
  seq INTEGER NOT NULL,                 -- order of addition: claim_next takes the oldest
  title TEXT NOT NULL,
  added_at INTEGER NOT NULL,
  waiting INTEGER NOT NULL,             -- dependencies not done (added or not)
  state INTEGER NOT NULL DEFAULT 0,     -- 0 open, 1 done, 2 failed
  finisher TEXT,                        -- who completed or failed it
  outcome TEXT NOT NULL DEFAULT '',
  PRIMARY KEY (ns, id)
) WITHOUT ROWID;
CREATE INDEX tasks_ready ON tasks (ns, state, waiting, seq);
CREATE INDEX tasks_order ON tasks (ns, seq);
CREATE TABLE task_deps (
  ns TEXT NOT NULL,
  task TEXT NOT NULL,
  dep TEXT NOT NULL,
  PRIMARY KEY (ns, task, dep)
) WITHOUT ROWID;
CREATE INDEX task_deps_by_dep ON task_deps (ns, dep, task);
"""


class StateFileError(OSError):
    """The state file cannot be used: damaged, not a state file, of a newer
    schema, read-only, on a full disk, or locked for too long. The message
    names the file and what to do; `filename` holds its path. The call that
    raises it changed nothing."""

    def __str__(self) -> str:
        return str(self.args[0]) if self.args else ""


# ---- where the file lives -----------------------------------------------------

def _git_common_dir(cwd: Path) -> Path | None:
    try:
        done = subprocess.run(["git", "rev-parse", "--git-common-dir"], cwd=str(cwd),
                              stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                              stderr=subprocess.DEVNULL, timeout=30)
    except (OSError, subprocess.SubprocessError):
        return None  # no git, or cwd is gone
    if done.returncode != 0:
        return None
    found = done.stdout.decode(sys.getfilesystemencoding(), "surrogateescape").strip()
    if not found:
        return None
    return (cwd / found).resolve()


def _user_state_dir() -> Path:
    if os.name == "nt":
        base = os.environ.get("LOCALAPPDATA")
        return (Path(base) if base else Path.home() / "AppData" / "Local") / "halvex"
    if sys.platform == "darwin":
        return Path.home() / "Library" / "Application Support" / "halvex"
    base = os.environ.get("XDG_STATE_HOME")
    if base and os.path.isabs(base):
        return Path(base) / "halvex"
    return Path.home() / ".local" / "state" / "halvex"


def default_path(cwd: str | os.PathLike[str] | None = None) -> Path:
    """Where the state lives when no path is given: $HALVEX_STATE if set;
    inside a git work tree `<git common dir>/halvex/state.db`, so every
    worktree of a repository shares one state; otherwise `state.db` in the
    user's state folder."""
    given = os.environ.get("HALVEX_STATE")
    if given:
        return Path(given)
    where = Path(cwd) if cwd is not None else Path.cwd()
    common = _git_common_dir(where)
    if common is not None:
        return common / "halvex" / "state.db"
    return _user_state_dir() / "state.db"


def _prepare(path: Path) -> None:
    """Creates a missing folder (0700) and a missing file (0600): messages may
    be private, and SQLite gives its -wal and -shm files the file's mode."""
    folder = path.parent
    if not folder.is_dir():
        try:
            folder.mkdir(mode=0o700, parents=True, exist_ok=True)
        except OSError as err:
            raise _error(path, f"its folder cannot be created ({err.strerror}): create "
                               f"{folder} or choose another path (HALVEX_STATE)") from err
    try:
        fd = os.open(str(path), os.O_RDWR | os.O_CREAT | os.O_EXCL, 0o600)
    except FileExistsError:
        return
    except OSError as err:
        if os.path.exists(path):
            return  # unreadable or read-only: opening it says so
        raise _error(path, f"it cannot be created ({err.strerror}): make {folder} "
                           "writable or choose another path (HALVEX_STATE)") from err
    os.close(fd)
    if os.name != "nt":
        os.chmod(str(path), 0o600)  # whatever the umask


# ---- errors -------------------------------------------------------------------

def _error(path: Path | str, what: str) -> StateFileError:
    err = StateFileError(f"halvex state file {str(path)}: {what}")
    err.filename = str(path)
    return err


def file_error(path: Path | str, err: sqlite3.Error) -> StateFileError:
    """The StateFileError that an SQLite error on the file means."""
    text = str(err)
    low = text.lower()
    name = getattr(err, "sqlite_errorname", "")  # 3.11+
    if "readonly" in low or "read-only" in low or name.startswith("SQLITE_READONLY"):
        what = ("it is read-only for this user (SQLite also writes the -wal and -shm files "
                "next to it): give write access to the file and its folder, or choose "
                "another path (HALVEX_STATE)")
    elif "not a database" in low or "malformed" in low or "corrupt" in low:
        what = ("it is damaged or not an SQLite database: move it away (its state is lost) "
                "and halvex starts a new one, or choose another path (HALVEX_STATE)")
    elif "full" in low:
        what = "the disk is full: free some space and call again (nothing was changed)"
    elif "locked" in low or "busy" in low:
        what = (f"another process has held its write lock for more than {BUSY_TIMEOUT:.0f} s: "
                "find it (fuser/lsof on the file) and end it")
    elif "unable to open" in low or "cannot open" in low:
        what = ("it cannot be opened: check that its folder exists and is writable (SQLite "
                "keeps -wal and -shm files next to it), or choose another path "
                "(HALVEX_STATE)")
    else:
        what = f"SQLite failed: {text}"
    out = _error(path, what)
    out.__cause__ = err
    return out


# ---- connections ----------------------------------------------------------------

class _Handle:
    """One thread's connection to one file; `busy` while a call uses it, so a
    fork leaves it alone (see _before_fork)."""

    __slots__ = ("db", "busy", "__weakref__")

    def __init__(self) -> None:
        self.db: sqlite3.Connection | None = None
        self.busy = False


_handles: weakref.WeakSet[_Handle] = weakref.WeakSet()
_handles_lock = threading.Lock()
# Connections in use by another thread when this process forked: never used
# or closed here (closing would drop locks the parent's copy holds).
_orphans: list[sqlite3.Connection] = []
_forks = [0]


def _before_fork() -> None:
    # Idle connections are closed and reopened on demand, so the child starts
    # with none of the parent's; the GIL keeps their threads out meanwhile.
    for handle in list(_handles):
        db = handle.db
        if db is not None and not handle.busy:
            handle.db = None
            try:
                db.close()
            except Exception:
                pass


def _after_fork_in_child() -> None:
    global _handles_lock
    _handles_lock = threading.Lock()
    _forks[0] += 1
    for handle in list(_handles):
        if handle.db is not None:
            _orphans.append(handle.db)
            handle.db = None
            handle.busy = False


if hasattr(os, "register_at_fork"):
    os.register_at_fork(before=_before_fork, after_in_child=_after_fork_in_child)


def busy(err: BaseException) -> bool:
    """Whether an error means "another connection holds the lock" (the work
    is tried again) rather than a fault of the file."""
    if not isinstance(err, sqlite3.OperationalError):
        return False
    name = getattr(err, "sqlite_errorname", None)  # 3.11+
    if name is not None:
        return str(name).startswith("SQLITE_BUSY")
    return str(err).startswith("database is locked")


def retrying(work: Callable[[], T]) -> T:
    """`work()`, tried again while the file is locked, up to BUSY_TIMEOUT."""
    delay = RETRY_FIRST
    deadline = 0.0
    while True:
        try:
            return work()
        except sqlite3.OperationalError as err:
            if not busy(err):
                raise
            now = time.monotonic()
            if not deadline:
                deadline = now + BUSY_TIMEOUT
            elif now >= deadline:
                raise
        time.sleep(delay * random.uniform(0.5, 1.5))
        delay = min(delay * 2, RETRY_MAX)


def connect(path: Path) -> sqlite3.Connection:
    # No busy timeout of SQLite's own: `retrying` waits instead.
    db = sqlite3.connect(str(path), timeout=0, isolation_level=None,
                         check_same_thread=False, cached_statements=256)

    def setup() -> None:
        # Only a file without tables takes it: a no-op on any other.
        db.execute(f"PRAGMA page_size={PAGE_SIZE}")
        mode = db.execute("PRAGMA journal_mode=WAL").fetchone()[0]
        if str(mode).lower() != "wal":
            # A file system without shared memory for the WAL index (some
            # network mounts): the rollback journal works there, with readers
            # and the writer taking turns.
            db.execute("PRAGMA journal_mode=DELETE")
        db.execute(f"PRAGMA synchronous={SYNCHRONOUS}")
        db.execute(f"PRAGMA wal_autocheckpoint={AUTOCHECKPOINT if fcntl is None else 0}")

    try:
        retrying(setup)
    except BaseException:
        db.close()
        raise
    return db


def _create(db: sqlite3.Connection, schema: str) -> None:
    for statement in schema.split(";"):
        if statement.strip():
            db.execute(statement)


def _init_schema(db: sqlite3.Connection, path: Path) -> None:
    """Creates the tables in a new file; refuses a file that is another
    program's or of a newer schema."""
    version = db.execute("PRAGMA user_version").fetchone()[0]
    if version == SCHEMA_VERSION:
        return
    db.execute("BEGIN IMMEDIATE")
    try:
        version = db.execute("PRAGMA user_version").fetchone()[0]
        app = db.execute("PRAGMA application_id").fetchone()[0]
        if version > SCHEMA_VERSION:
            raise _error(path, f"it was written by a newer halvex (schema {version}; this one "
                               f"reads up to {SCHEMA_VERSION}): upgrade halvex_core, or "
                               "choose another path (HALVEX_STATE)")
        if version == 0:
            if db.execute("SELECT count(*) FROM sqlite_master").fetchone()[0] or app not in (
                    0, APPLICATION_ID):
                raise _error(path, "it is another program's SQLite database: choose another "
                                   "path (HALVEX_STATE)")
            _create(db, _SCHEMA + _TASKS_SCHEMA)
            db.execute(f"PRAGMA application_id={APPLICATION_ID}")
            db.execute(f"PRAGMA user_version={SCHEMA_VERSION}")
        elif app != APPLICATION_ID:
            raise _error(path, "it is another program's SQLite database: choose another "
                               "path (HALVEX_STATE)")
        elif version == 1:
            _create(db, _TASKS_SCHEMA)
            db.execute(f"PRAGMA user_version={SCHEMA_VERSION}")
        db.execute("COMMIT")
    except BaseException:
        if db.in_transaction:
            db.execute("ROLLBACK")
        raise


# ---- writers' turns -------------------------------------------------------------

class Turns:
    """Writers of one file queue at a lock file next to it (`<file>-lock`,
    flock) before they ask SQLite for its write lock: a writer blocked in
    flock wakes the moment the holder lets go, where SQLite's busy retries
    sleep between tries, and with many writers on few cores those sleeps
    made the slowest calls. `retrying` stays the fallback: for writers that
    do not queue here (Windows, a lock file that cannot be opened), and
    for a queue that has not moved for BUSY_TIMEOUT.

    One per Store and process: flock excludes open files, not threads, so
    the threads of a Store queue at `mutex` first. A blocking flock cannot
    time out, so it runs in a helper thread while the caller waits for it
    with a timeout; the helper ends when no one has asked for IDLE seconds."""

    IDLE = 1.0

    def __init__(self, path: Path) -> None:
        self.path = str(path) + "-lock"
        self.fd: int | None = None
        self._renew()

    def _renew(self) -> None:
        # In a child after fork: the parent's open lock file (and its lock)
        # stays the parent's; closing our copy of it releases nothing.
        if self.fd is not None:
            os.close(self.fd)
        self.generation = _forks[0]
        self.mutex = threading.Lock()
        self.cond = threading.Condition(threading.Lock())
        self.fd = self._open()
        self.helper = self.asked = self.wanted = self.got = False

    def _open(self) -> int | None:
        if fcntl is None:
            return None
        for flags in (os.O_RDWR | os.O_CREAT, os.O_RDONLY):  # flock needs no write access
            try:
                return os.open(self.path, flags | getattr(os, "O_CLOEXEC", 0), 0o600)
            except OSError:
                continue
        return None

    def __del__(self) -> None:
        if self.fd is not None and self.generation == _forks[0]:
            os.close(self.fd)

    def take(self) -> bool:
        """Waits for this thread's turn; False when it meets SQLite's lock
        unqueued this time. The caller must then call `give(taken)`."""
        if self.generation != _forks[0]:
            self._renew()
        self.mutex.acquire()
        fd = self.fd
        if fd is None:
            return False
        try:
            # Uncontended, without the condition: with `mutex` held only
            # this thread sets `asked`, so a False read stays False.
            if not self.asked:
                try:
                    fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
                    return True
                except BlockingIOError:
                    pass
            with self.cond:
                if not self.asked:  # else the helper waits for us already
                    try:
                        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
                        return True
                    except BlockingIOError:
                        pass
                    self.asked = True
                    if not self.helper:
                        self.helper = True
                        threading.Thread(target=self._serve, args=(fd,), daemon=True,
                                         name="halvex-sqlite-turns").start()
                    self.cond.notify_all()
                self.wanted = True
                self.cond.wait_for(lambda: self.got or not self.helper, BUSY_TIMEOUT)
                taken, self.wanted, self.got = self.got, False, False
                return taken
        except OSError:  # no flock on this file system: SQLite's lock alone
            self.fd = None
            return False
        except BaseException:
            self.mutex.release()
            raise

    def _serve(self, fd: int) -> None:
        while True:
            with self.cond:
                if not self.cond.wait_for(lambda: self.asked, self.IDLE):
                    self.helper = False
                    return
            try:
                fcntl.flock(fd, fcntl.LOCK_EX)
                failed = False
            except OSError:
                failed = True
            with self.cond:
                self.asked = False
                if failed:  # its caller meets SQLite's lock alone
                    self.helper = False
                    self.cond.notify_all()
                    return
                if self.wanted:
                    self.got = True
                    self.cond.notify_all()
                else:
                    fcntl.flock(fd, fcntl.LOCK_UN)  # its caller gave up

    def give(self, taken: bool) -> None:
        try:
            if taken and self.fd is not None:
                fcntl.flock(self.fd, fcntl.LOCK_UN)
        finally:
            self.mutex.release()


class _WalIndex:
    """Reads how many frames the WAL holds from the header of its index (the
    -shm file; SQLite documents its layout: mxFrame at byte 16). The file
    stays open: closing any descriptor of it would drop the POSIX locks
    SQLite holds on it in this process. A descriptor of a file SQLite has
    removed (the last connection closed) is let go: no connection uses it
    any more."""

    VERSION = 3007000

    def __init__(self, path: Path) -> None:
        self.path = str(path) + "-shm"
        self.fd: int | None = None

    def frames(self) -> int:
        fd = self.fd
        try:
            if fd is not None and os.fstat(fd).st_nlink == 0:
                self.fd = None
                os.close(fd)
                fd = None
            if fd is None:
                fd = self.fd = os.open(self.path, os.O_RDONLY | getattr(os, "O_CLOEXEC", 0))
            head = os.pread(fd, 24, 0)
        except OSError:
            return 0
        if len(head) < 24:
            return 0
        version, _, _, ready, _, _, frames = struct.unpack_from("=IIIBBHI", head)
        return frames if version == self.VERSION and ready else 0


_wal_indexes: dict[str, _WalIndex] = {}


def _wal_index(path: Path) -> _WalIndex:
    with _handles_lock:
        return _wal_indexes.setdefault(str(path), _WalIndex(path))


class Store:
    """One state file as used by this process: a connection per thread."""

    def __init__(self, path: Path, setup: tuple[str, ...] = ()) -> None:
        self.path = path
        self.setup = setup
        self.turns = Turns(path)
        self.wal = _wal_index(path) if fcntl is not None else None
        self.writes = 0
        self._local = threading.local()
        self._mine: weakref.WeakSet[_Handle] = weakref.WeakSet()
        _prepare(path)
        try:
            db = self._open()
            try:
                # The first write proves the file is writable now, not at a
                # later call.
                retrying(lambda: db.execute("BEGIN IMMEDIATE"))
                db.execute(f"PRAGMA user_version={SCHEMA_VERSION}")
                db.execute("COMMIT")
            except BaseException:
                db.close()
                raise
        except sqlite3.Error as err:
            raise file_error(path, err) from err
        self._adopt(db)

    def _open(self) -> sqlite3.Connection:
        db = connect(self.path)
        try:
            retrying(lambda: _init_schema(db, self.path))
            for statement in self.setup:
                db.execute(statement)
        except BaseException:
            db.close()
            raise
        return db

    def _adopt(self, db: sqlite3.Connection) -> _Handle:
        handle = _Handle()
        handle.db = db
        self._local.handle = handle
        with _handles_lock:
            _handles.add(handle)
            self._mine.add(handle)
        return handle

    def _handle(self) -> _Handle:
        handle: _Handle | None = getattr(self._local, "handle", None)
        if handle is None:
            handle = _Handle()
            self._local.handle = handle
            with _handles_lock:
                _handles.add(handle)
                self._mine.add(handle)
        return handle

    def close(self) -> None:
        """Closes the connections no call is using (a later call reopens its
        thread's). The last connection to close removes the -wal and -shm
        files."""
        with _handles_lock:
            handles = list(self._mine)
        for handle in handles:
            db = handle.db
            if db is not None and not handle.busy:
                handle.db = None
                db.close()

    def run(self, work: Callable[[sqlite3.Connection], T], write: bool) -> T:
        """Runs `work` in one transaction (a write takes the write lock first)
        and commits; anything raised rolls it back, and the whole of it is
        tried again while another connection holds the lock. SQLite's errors
        come out as StateFileError."""
        result = self._run(work, write)
        if write:
            self._written()
        return result

    def _run(self, work: Callable[[sqlite3.Connection], T], write: bool) -> T:
        handle = self._handle()
        taken = self.turns.take() if write else False
        handle.busy = True  # before reading db: a fork in between leaves it be
        try:
            try:
                return self._once(handle, self._db(handle), work, write)
            except sqlite3.OperationalError as err:
                if not busy(err):
                    raise
            return retrying(lambda: self._once(handle, self._db(handle), work, write))
        except sqlite3.Error as err:
            raise file_error(self.path, err) from err
        finally:
            handle.busy = False
            if write:
                self.turns.give(taken)

    def statement(self, sql: str, params: tuple[Any, ...], write: bool = True
                  ) -> tuple[list[Any], int]:
        """One statement in autocommit, tried again while another connection
        holds the lock: its rows and its count of changed rows. A statement
        that writes takes the write lock as it starts and gives it up as it
        ends, so the lock is never held while Python runs."""
        result = self._statement(sql, params, write)
        if write:
            self._written()
        return result

    def _statement(self, sql: str, params: tuple[Any, ...], write: bool
                   ) -> tuple[list[Any], int]:
        handle = self._handle()
        taken = self.turns.take() if write else False
        handle.busy = True
        try:
            db = self._db(handle)
            try:
                cursor = db.execute(sql, params)
                return cursor.fetchall(), cursor.rowcount if write else 0
            except sqlite3.OperationalError as err:
                if not busy(err):
                    raise

            def again() -> tuple[list[Any], int]:
                cursor = self._db(handle).execute(sql, params)
                return cursor.fetchall(), cursor.rowcount if write else 0

            return retrying(again)
        except sqlite3.Error as err:
            raise file_error(self.path, err) from err
        finally:
            handle.busy = False
            if write:
                self.turns.give(taken)

    def _written(self) -> None:
        """After a write, its turn given up: at the first write and every
        CHECK_EVERY writes after it (processes that make one call and end
        look too), a checkpoint when the WAL has grown long. A checkpoint
        that fails changes nothing the calls committed; the next writer to
        look tries again."""
        self.writes += 1
        if self.wal is None or self.writes % CHECK_EVERY != 1:
            return
        if self.wal.frames() < AUTOCHECKPOINT:
            return
        handle = self._handle()
        db = handle.db
        if db is None or db.in_transaction:
            return
        handle.busy = True
        try:
            blocked, _, copied = db.execute("PRAGMA wal_checkpoint(PASSIVE)").fetchone()
            if not blocked and 0 <= copied < self.wal.frames():
                # Writers went on meanwhile: the few frames they added are
                # copied with the turn held, so that the checkpoint catches
                # up and the next writer starts the WAL over.
                taken = self.turns.take()
                try:
                    db.execute("PRAGMA wal_checkpoint(PASSIVE)").fetchall()
                finally:
                    self.turns.give(taken)
        except sqlite3.Error:
            pass
        finally:
            handle.busy = False

    def _db(self, handle: _Handle) -> sqlite3.Connection:
        db = handle.db
        if db is None:
            db = handle.db = self._open()
        return db

    @staticmethod
    def _once(handle: _Handle, db: sqlite3.Connection,
              work: Callable[[sqlite3.Connection], T], write: bool) -> T:
        db.execute("BEGIN IMMEDIATE" if write else "BEGIN")
        try:
            result = work(db)
            db.execute("COMMIT")
        except BaseException:
            if db.in_transaction:
                try:
                    db.execute("ROLLBACK")
                except sqlite3.Error:
                    # A failed rollback leaves the connection unusable: drop
                    # it, SQLite rolls back on the next open.
                    handle.db = None
                    db.close()
            raise
        return result

    def reader(self) -> sqlite3.Connection:
        """A connection of its own, for a wait's polling (PRAGMA data_version
        changes with every commit of another connection)."""
        try:
            return connect(self.path)
        except sqlite3.Error as err:
            raise file_error(self.path, err) from err


def resolve(path: str | os.PathLike[str] | None) -> Path:
    if path is None:
        return default_path()
    if not isinstance(path, (str, os.PathLike)):
        raise TypeError(f"path must be a str or os.PathLike, not '{type(path).__name__}'")
    return Path(os.path.abspath(os.fspath(path)))


def wall_clock() -> float:
    return time.time()


def any_value(row: Any) -> Any:
    return None if row is None else row[0]
