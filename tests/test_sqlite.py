"""What halvex_sqlite adds to the shared behaviour: views, fencing tokens,
hand-over of drained batches, the activity log, namespaces, where the file
lives, bad files, and many real processes on one file (racing, killed,
forked).

The behaviour itself (claims, leases, messages, status) is covered by the
shared tests, which run against it through make_state.
"""

import asyncio
import os
import random
import shutil
import signal
import sqlite3
import subprocess
import sys
import threading
import time
import warnings
from collections import Counter

import pytest

import _faketime
import _sqlite
from _support import TESTS_DIR

halvex_sqlite = pytest.importorskip("halvex_sqlite")
import halvex_sqlite.asyncio  # noqa: E402

from halvex_sqlite import StateFileError  # noqa: E402

posix_only = pytest.mark.skipif(os.name != "posix", reason="fork, SIGKILL and modes are POSIX")
faked_clock = pytest.mark.skipif(not _faketime.available(), reason="libfaketime is not installed")


@pytest.fixture(params=["sqlite", "sqlite-asyncio"])
def both(request, tmp_path):
    """Makes objects of one class on one file, and gives the file's path."""
    from conftest import BlockingAdapter

    path = str(tmp_path / "state.db")
    if request.param == "sqlite":
        return lambda **kw: halvex_sqlite.CoordinationState(path, **kw), path
    loop = request.getfixturevalue("redis_loop")
    return (lambda **kw: BlockingAdapter(halvex_sqlite.asyncio.CoordinationState(path, **kw),
                                         loop)), path


def _refused(call, *args):
    with pytest.raises(RuntimeError) as info:
        call(*args)
    assert type(info.value) is RuntimeError
    return str(info.value)


def _child(code, timeout=120, **popen):
    """A fresh interpreter running `code` with the tests folder importable."""
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in (TESTS_DIR, env.get("PYTHONPATH")) if p)
    return subprocess.Popen([sys.executable, "-c", code], env=env, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, **popen)


# ---- views, tokens, hand-over (on a faked clock) -------------------------------

@faked_clock
@pytest.mark.parametrize("kind", ["sqlite", "sqlite-asyncio"])
def test_fencing_tokens_lease_views_and_handover(tmp_path, kind):
    notes, _ = _sqlite.scenario_runner(tmp_path, kind)("""
s, other = CoordinationState(), CoordinationState()
s.claim_file("a", "p")
note("granted", tuple(s.lease("file:p")))
set_clock(T0 + 100)
s.renew_claim("a", "file:p")                  # renewal keeps the token
note("renewed", tuple(s.lease("file:p")))
note("left", (s.check_lease("a", "file:p", 1), call(s.check_lease, "a", "file:p", 2)))
set_clock(T0 + 412)
note("expired", (s.lease("file:p").live, call(s.check_lease, "a", "file:p", 1)))
s.claim_task("a", "t")
s.claim_file("a", "p")                        # own takeover: the next token
set_clock(T0 + 800)
s.claim_file("b", "p")                        # takeover
note("taken", (s.lease("file:p").token, call(s.check_lease, "a", "file:p", 2)))
set_clock(T0 + 700)                           # the clock set back: still live
note("set back", (s.lease("file:p").live, s.check_lease("b", "file:p", 3)))
s.release("b", "file:p")
note("released", (s.lease("file:p"), call(s.check_lease, "b", "file:p", 3)))
s.claim_file("c", "p")                        # after a release: counts on
note("views", [(x.resource_key, x.holder, x.token) for x in s.leases()])
note("prefix", ([x.resource_key for x in s.leases("task:")], s.leases("x")))
halvex_sqlite.delete_namespace("default", PATH)
note("deleted", (s.lease("file:p"), s.leases()))
s.claim_file("c", "p")
s.claim_file("c", "new")
note("after delete", [x.token for x in s.leases()])

# A drained batch stays pending until the drainer's next call; another
# object gets it only after the 30 s hand-over, first and in order.
set_clock(T0 + 1000)
for i in range(3):
    s.send_message("x", "q", "m%d" % i)
note("drained", [m[2] for m in s.drain_inbox("q")])
other.send_message("x", "q", "m3")
note("pending", [(i.agent_id, i.inbox, i.pending) for i in other.agents() if i.agent_id == "q"])
note("inbox shows it", [m[2] for m in other.inbox("q")])
set_clock(T0 + 1029)
note("at 29 s", [m[2] for m in other.drain_inbox("q")])
other.send_message("x", "q", "m4")
set_clock(T0 + 1030)
note("at 30 s", [m[2] for m in other.drain_inbox("q")])
note("s drains", [m[2] for m in s.drain_inbox("q")])
""")
    T0 = _faketime.T0
    assert notes == {
        "granted": ("file:p", "a", 1, T0, T0, T0 + 300, True),
        "renewed": ("file:p", "a", 1, T0, T0 + 100, T0 + 400, True),
        "left": (300, ("RuntimeError", ("token 2 on file:p is stale: a holds token 1",))),
        "expired": (False, ("RuntimeError", ("lease on file:p expired 12 s ago",))),
        "taken": (3, ("RuntimeError", ("token 2 on file:p is stale: b holds token 3",))),
        "set back": (True, 300),
        "released": (None, ("RuntimeError", ("no claim on file:p",))),
        "views": [("file:p", "c", 4), ("task:t", "a", 1)],
        "prefix": (["task:t"], []),
        "deleted": (None, []),
        "after delete": [5, 5],               # above every token granted before
        "drained": ["m0", "m1", "m2"],
        "pending": [("q", 1, 3)],
        "inbox shows it": ["m0", "m1", "m2", "m3"],
        "at 29 s": ["m3"],
        "at 30 s": ["m0", "m1", "m2", "m4"],
        "s drains": [],
    }


def test_agents_view_counts_messages_drains_and_claims(both):
    make, _path = both
    s, other = make(), make()
    assert s.agents() == []
    s.claim_file("a", "p")
    s.claim_task("a", "t")
    s.send_message("a", "b", "one")
    s.send_message("a", "b", "two")
    s.send_message("a", "d", "to d")       # d never acts: known, never seen
    other.broadcast("c", "all")
    s.drain_inbox("b")                     # pending until s's next call confirms it
    view = {i.agent_id: i for i in other.agents()}
    assert list(view) == ["a", "b", "c", "d"]
    assert view["a"][1:5] == ("busy", 1, 0, 2) and view["a"].last_seen is not None
    assert view["b"][1:5] == ("idle", 0, 3, 0) and view["b"].last_seen is not None
    assert view["c"][1:5] == ("idle", 1, 0, 0) and view["c"].last_seen is not None
    assert view["d"] == halvex_sqlite.AgentInfo("d", "idle", 2, 0, 0, None)
    _refused(s.renew_claim, "d", "file:p")  # a refused call is a call too
    assert [i.last_seen for i in other.agents() if i.agent_id == "d"] != [None]
    assert {i.agent_id: i.pending for i in s.agents()}["b"] == 0  # s's call confirmed
    s.release_all("a")
    assert [i.leases for i in other.agents() if i.agent_id == "a"] == [0]


def test_batches_are_bounded_in_order_and_unanswered_ones_come_back(both):
    make, _path = both
    s, other = make(), make()
    contents = ["aaa", "\xe9\xe9", "x" * 10, "", "yy", "\U0001f600"]
    for c in contents:
        s.send_message("from-\xfc", "q", c)
    listed = s.inbox("q")
    # At most max_count messages and max_bytes of UTF-8 content, never none.
    assert s.inbox_batch("q", 2, 100) == (listed[:2], 4)
    assert s.inbox_batch("q", 10, 7) == (listed[:2], 4)        # 3 + 4 bytes
    assert s.inbox_batch("q", 10, 1) == (listed[:1], 5)        # too big, alone
    assert s.inbox_batch("q", 10 ** 30, 10 ** 30) == (listed, 0)
    assert s.drain_batch("q", 10, 6) == (listed[:1], 5)
    assert s.inbox_batch("q", 100, 100) == (listed[1:], 0)     # the batch was confirmed
    assert s.drain_batch("q", 2, 10 ** 9) == (listed[1:3], 3)
    assert s.drain_batch("q", 3, 4) == (listed[3:5], 1)
    assert s.drain_batch("q", 1, 1) == (listed[5:], 0)
    assert s.drain_batch("q", 1, 1) == ([], 0) and s.inbox("q") == []
    for bad, error in ((0, ValueError), ("1", TypeError), (True, TypeError), (None, TypeError)):
        with pytest.raises(error):
            s.drain_batch("q", bad, 1)
        with pytest.raises(error):
            s.inbox_batch("q", 1, bad)
    # A drain whose result never reached its caller (interrupted, cancelled)
    # comes back first from the object's next drain, cut to that call's
    # limits; another object's drain meanwhile leaves it alone.
    for i in range(6):
        s.send_message("x", "r", "m%d" % i)
    core = getattr(s, "_target", s)._core
    lost = core.drain("r", (4, 100))
    assert [m[2] for m in lost[0]] == ["m0", "m1", "m2", "m3"]
    assert [m[2] for m in other.drain_batch("r", 10, 100)[0]] == ["m4", "m5"]
    assert [m[2] for m in s.drain_batch("r", 2, 100)[0]] == ["m0", "m1"]
    assert [m[2] for m in s.drain_inbox("r")] == ["m2", "m3"]
    s.confirm()
    other.confirm()
    assert s.inbox("r") == [] and core.session.owed == [] and not core.session.unanswered


def test_cancelled_async_drain_is_returned_by_the_next_drain(tmp_path):
    async def main():
        s = halvex_sqlite.asyncio.CoordinationState(str(tmp_path / "c.db"))
        got = []
        for i in range(60):
            await s.send_message("x", "q", str(i))
            task = asyncio.ensure_future(s.drain_inbox("q"))
            await asyncio.sleep(random.choice([0, 0, 0.0005, 0.002]))
            task.cancel()
            try:
                got.extend(m[2] for m in await task)
            except asyncio.CancelledError:
                pass
        got.extend(m[2] for m in await s.drain_inbox("q"))
        await s.confirm()
        assert await s.inbox("q") == []
        return got

    loop = asyncio.new_event_loop()
    try:
        got = loop.run_until_complete(main())
    finally:
        loop.close()
    assert got == [str(i) for i in range(60)]     # nothing lost, nothing twice, in order


def test_release_all_and_the_activity_log(both):
    make, path = both
    s = make(log_limit=100)
    for key in ("zz", "a b", "\xe9"):
        s.claim_file("a", key)
    s.claim_task("a", "t")
    s.claim_file("b", "kept")
    before = s.activity()[-1]["id"]
    assert s.release_all("a") == ["file:a b", "file:zz", "file:\xe9", "task:t"]
    assert s.status("a") == "idle" and s.status("b") == "busy"
    assert [(r["kind"], r["agent"], r["key"]) for r in s.activity(before)] == [
        ("released", "a", k) for k in ("file:a b", "file:zz", "file:\xe9", "task:t")]
    assert [x.resource_key for x in s.leases()] == ["file:kept"]
    assert s.release_all("a") == [] and s.release_all("nobody") == []
    with pytest.raises(TypeError):
        s.release_all(1)
    s.send_message("a", "b", "hi\x00")
    s.broadcast("c", "all")
    last = s.activity(count=2)
    assert [{k: v for k, v in r.items() if k not in ("id", "at")} for r in last] == [
        {"kind": "sent", "from": "a", "to": "b", "content": "hi\x00"},
        {"kind": "broadcast", "from": "c", "content": "all"}]
    assert list(last[0]) == ["id", "kind", "from", "to", "content", "at"]
    assert all(type(r["at"]) is int and type(r["id"]) is str for r in last)
    everything = s.activity("0", 1000)
    assert len(everything) == 11 and everything[-2:] == last
    ids = [int(r["id"]) for r in everything]
    assert ids == sorted(ids) and s.activity(everything[-1]["id"]) == []
    assert s.activity("0", 3) == everything[:3] and s.activity(None, 0) == []
    # The log keeps log_limit records; ids go on after a namespace is deleted.
    for i in range(300):
        s.send_message("a", "b", str(i))
    kept = s.activity("0", 1000)
    assert 0 < len(kept) <= 100 and kept[-1]["content"] == "299"
    assert kept == s.activity(None, 1000)
    halvex_sqlite.delete_namespace("default", path)
    assert s.activity() == []
    s.claim_file("z", "p")
    assert int(s.activity()[0]["id"]) > ids[-1] + 300
    for bad, error in ((1, TypeError), ("x", ValueError), ("-1", ValueError)):
        with pytest.raises(error):
            s.activity(bad)
    with pytest.raises(ValueError):
        s.activity(None, -1)


def test_namespaces_share_or_separate_in_one_file(tmp_path):
    path = tmp_path / "shared.db"
    a = halvex_sqlite.CoordinationState(path, namespace="team-\x00\xfc")
    b = halvex_sqlite.CoordinationState(str(path), namespace="team-\x00\xfc")
    default = halvex_sqlite.CoordinationState(path)
    assert a.namespace == "team-\x00\xfc" and default.namespace == "default"
    a.claim_file("agent-a", "p")
    assert _refused(b.claim_file, "agent-b", "p") == "agent-a already holds claim on p"
    assert default.claim_file("agent-b", "p") == "agent-b"
    b.send_message("x", "agent-a", "hi")
    default.send_message("x", "agent-a", "kept")
    assert [m[2] for m in a.drain_inbox("agent-a")] == ["hi"]
    assert halvex_sqlite.delete_namespace("team-\x00\xfc", path) > 0
    assert a.inbox("agent-a") == [] and a.status("agent-a") == "idle" and a.agents() == []
    assert [m[2] for m in default.inbox("agent-a")] == ["kept"]
    assert a.claim_file("z", "p") == "z" and a.lease("file:p").token == 2
    for bad, error in (("", ValueError), (None, TypeError)):
        with pytest.raises(error):
            halvex_sqlite.CoordinationState(path, namespace=bad)
    with pytest.raises(ValueError):
        halvex_sqlite.CoordinationState(path, log_limit=0)
    with pytest.raises(TypeError, match="not an acceptable base type"):
        type("Sub", (halvex_sqlite.CoordinationState,), {})


def test_wait_inbox_wakes_times_out_and_takes_what_is_there(both):
    make, path = both
    s, sender = make(), make()
    started = time.monotonic()
    assert s.wait_inbox("q", 0.3) == []
    assert time.monotonic() - started >= 0.3
    assert s.wait_inbox("q", 0) == []
    s.send_message("x", "q", "early")
    assert [m[2] for m in s.wait_inbox("q", 30)] == ["early"]
    for broadcast in (False, True):
        if broadcast:
            s.status("q")
            sender.send_message("x", "q", "known")   # q must be known to get a broadcast
            s.drain_inbox("q")
        timer = threading.Timer(0.3, (lambda: sender.broadcast("x", "late")) if broadcast
                                else (lambda: sender.send_message("x", "q", "late")))
        timer.start()
        started = time.monotonic()
        got = s.wait_inbox("q", 30)
        assert [m[2] for m in got] == ["late"] and 0.2 < time.monotonic() - started < 10
        timer.join()
    if os.name == "posix":  # a sender in another process
        proc = _child("import time, halvex_sqlite; time.sleep(0.3); "
                      "halvex_sqlite.CoordinationState(%r).send_message('p', 'q', 'other')" % path)
        assert [m[2] for m in s.wait_inbox("q", 60)] == ["other"]
        assert proc.wait(60) == 0
    assert s.inbox("q") == []
    for bad, error in (("1", TypeError), (True, TypeError), (None, TypeError),
                       (-0.1, ValueError), (300.5, ValueError), (float("nan"), ValueError)):
        with pytest.raises(error):
            s.wait_inbox("q", bad)


# ---- where the file lives -----------------------------------------------------

def _git(*args, cwd):
    subprocess.run(["git", *args], cwd=str(cwd), check=True, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)


@pytest.mark.skipif(os.name != "posix" or shutil.which("git") is None,
                    reason="needs git (run on POSIX)")
def test_worktrees_of_one_repository_share_one_state(tmp_path, monkeypatch):
    monkeypatch.delenv("HALVEX_STATE", raising=False)
    repo, tree = tmp_path / "repo", tmp_path / "elsewhere" / "tree"
    repo.mkdir()
    _git("init", "-q", cwd=repo)
    _git("-c", "user.name=t", "-c", "user.email=t@t", "commit", "-q", "--allow-empty", "-m", "x",
         cwd=repo)
    _git("worktree", "add", "-q", str(tree), cwd=repo)
    (repo / "sub").mkdir()
    expected = (repo / ".git" / "halvex" / "state.db").resolve()
    assert halvex_sqlite.default_path(tree) == expected
    assert halvex_sqlite.default_path(repo / "sub") == expected
    monkeypatch.chdir(tree)
    in_tree = halvex_sqlite.CoordinationState()           # no arguments inside a repo
    monkeypatch.chdir(repo / "sub")
    in_repo = halvex_sqlite.CoordinationState()
    assert in_tree.path == in_repo.path == expected
    in_tree.claim_file("agent-a", "src/app.py")
    assert _refused(in_repo.claim_file, "b", "src/app.py") == (
        "agent-a already holds claim on src/app.py")
    assert oct(expected.stat().st_mode & 0o777) == oct(0o600)
    assert oct(expected.parent.stat().st_mode & 0o777) == oct(0o700)
    # Outside a repository: the user's state folder; HALVEX_STATE overrides
    # both, and an explicit path overrides that.
    outside = tmp_path / "outside"
    outside.mkdir()
    monkeypatch.setenv("GIT_CEILING_DIRECTORIES", str(tmp_path))
    monkeypatch.setenv("XDG_STATE_HOME", str(tmp_path / "xdg"))
    if sys.platform != "darwin":
        assert halvex_sqlite.default_path(outside) == tmp_path / "xdg" / "halvex" / "state.db"
    monkeypatch.setenv("HALVEX_STATE", str(tmp_path / "env.db"))
    assert halvex_sqlite.default_path(tree) == tmp_path / "env.db"
    monkeypatch.chdir(outside)
    assert halvex_sqlite.CoordinationState().path == tmp_path / "env.db"
    assert halvex_sqlite.CoordinationState(tmp_path / "x.db").path == tmp_path / "x.db"


# ---- bad files ------------------------------------------------------------------

def _file_error(make):
    with pytest.raises(StateFileError) as info:
        make()
    err = info.value
    assert isinstance(err, OSError) and not isinstance(err, RuntimeError)
    assert err.filename in str(err)
    return str(err)


def test_damaged_foreign_and_newer_files_are_refused(tmp_path):
    garbage = tmp_path / "garbage.db"
    garbage.write_bytes(b"this is no database, just text\n" * 200)
    assert "damaged or not an SQLite database" in _file_error(
        lambda: halvex_sqlite.CoordinationState(garbage))
    # A database whose pages were overwritten in the middle.
    torn = tmp_path / "torn.db"
    s = halvex_sqlite.CoordinationState(torn)
    for i in range(300):
        s.send_message("a", "b", "x" * 200 + str(i))
    del s
    with sqlite3.connect(str(torn)) as db:
        db.execute("PRAGMA wal_checkpoint(TRUNCATE)")
    with open(str(torn), "r+b") as f:
        f.seek(4096 * 2)
        f.write(os.urandom(4096 * 3))
    assert "damaged" in _file_error(
        lambda: halvex_sqlite.CoordinationState(torn).inbox("b"))
    foreign = tmp_path / "foreign.db"
    with sqlite3.connect(str(foreign)) as db:
        db.execute("CREATE TABLE notes (x)")
    assert "another program's SQLite database" in _file_error(
        lambda: halvex_sqlite.CoordinationState(foreign))
    newer = tmp_path / "newer.db"
    halvex_sqlite.CoordinationState(newer).claim_file("a", "p")
    with sqlite3.connect(str(newer)) as db:
        db.execute("PRAGMA user_version = 99")
    assert "newer halvex (schema 99" in _file_error(
        lambda: halvex_sqlite.CoordinationState(newer))


def test_a_full_disk_changes_nothing(tmp_path):
    """SQLITE_FULL, reached here through a page limit on the connection."""
    s = halvex_sqlite.CoordinationState(tmp_path / "full.db")
    s.claim_file("a", "p")
    s.send_message("a", "b", "small")
    db = s._core.store._handle().db
    db.execute("PRAGMA max_page_count = %d" % db.execute("PRAGMA page_count").fetchone()[0])
    before = (s.inbox("b"), s.activity("0"), s.agents())
    assert "the disk is full" in _file_error(lambda: s.send_message("a", "b", "y" * 100000))
    assert "the disk is full" in _file_error(lambda: s.broadcast("a", "z" * 100000))
    db.execute("PRAGMA max_page_count = 1073741823")
    assert (s.inbox("b"), s.activity("0"), s.agents()) == before
    assert s.send_message("a", "b", "fits again")[2] == "fits again"


@posix_only
@pytest.mark.parametrize("what", ["file", "folder"])
def test_read_only_file_or_folder(tmp_path, what):
    """Made read-only by its mode, or for root (whom modes do not stop) by
    the immutable attribute."""
    folder = tmp_path / "ro"
    folder.mkdir()
    path = folder / "state.db"
    first = halvex_sqlite.CoordinationState(path)
    first.claim_file("a", "p")
    first.close()  # the last connection gone, so are the -wal and -shm files
    # The writers' lock file stays (removed, it could admit two writers at once).
    assert set(os.listdir(str(folder))) - {"state.db-lock"} == {"state.db"}
    target = path if what == "file" else folder
    root = os.geteuid() == 0
    if root:
        chattr = shutil.which("chattr")
        if chattr is None or subprocess.run([chattr, "+i", str(target)],
                                            stderr=subprocess.DEVNULL).returncode:
            pytest.skip("running as root, and chattr +i is not available here")
    else:
        os.chmod(str(target), 0o444 if what == "file" else 0o555)
    try:
        message = _file_error(lambda: halvex_sqlite.CoordinationState(path).status("a"))
    finally:
        if root:
            subprocess.run([chattr, "-i", str(target)])
        os.chmod(str(target), 0o600 if what == "file" else 0o700)
    assert message.startswith("halvex state file " + str(path))
    assert "read-only" in message or "cannot be opened" in message
    assert halvex_sqlite.CoordinationState(path).lease("file:p").holder == "a"


# ---- many processes on one file -------------------------------------------------

@posix_only
def test_writers_queue_at_the_lock_file_and_go_on_without_a_stuck_one(tmp_path, monkeypatch):
    import fcntl

    from halvex_sqlite import _store

    path = tmp_path / "turns.db"
    s = halvex_sqlite.CoordinationState(path)
    other = os.open(str(path) + "-lock", os.O_RDWR)   # another writer, holding its turn
    fcntl.flock(other, fcntl.LOCK_EX)
    done = []
    writer = threading.Thread(target=lambda: done.append(s.claim_file("b", "q")))
    writer.start()
    writer.join(0.5)
    assert done == [] and s.lease("file:q") is None    # reads do not queue
    fcntl.flock(other, fcntl.LOCK_UN)
    writer.join(60)
    assert done == ["b"]
    # A turn held past the busy timeout (a stopped process): SQLite's lock decides.
    monkeypatch.setattr(_store, "BUSY_TIMEOUT", 0.2)
    fcntl.flock(other, fcntl.LOCK_EX)
    assert s.claim_file("c", "r") == "c" and s.send_message("c", "d", "m")[2] == "m"
    fcntl.flock(other, fcntl.LOCK_UN)
    os.close(other)
    assert s.claim_file("d", "s") == "d" and [m[2] for m in s.drain_inbox("d")] == ["m"]


@posix_only
def test_writers_checkpoint_the_log_after_their_turn(tmp_path, monkeypatch):
    from halvex_sqlite import _store

    monkeypatch.setattr(_store, "AUTOCHECKPOINT", 40)
    path = tmp_path / "wal.db"
    keeper = halvex_sqlite.CoordinationState(path)
    wal, most = _store._wal_index(path), 0
    for i in range(300):
        keeper.claim_file("a", "f%d" % (i % 20))
        keeper.release("a", "file:f%d" % (i % 20))
        most = max(most, wal.frames())
    once = []                                     # objects that make one call (a process each)
    for i in range(60):
        once.append(halvex_sqlite.CoordinationState(path))
        once[-1].send_message("s", "r", "m%d" % i)
        most = max(most, wal.frames())
    assert 0 < most < 40 + 16 * 6                 # the log starts over, never far past the mark
    assert len(keeper.drain_inbox("r")) == 60
    for s in once + [keeper]:
        s.close()                                 # the last connection removes -wal and -shm
    again = halvex_sqlite.CoordinationState(path)
    again.claim_file("b", "g")
    assert wal.frames() > 0                       # read from the new index, not the removed one
    assert again.lease("file:f0") is None and again.lease("file:g").holder == "b"


@posix_only
def test_eight_processes_race_on_200_files_and_one_inbox(tmp_path):
    path = str(tmp_path / "race.db")
    halvex_sqlite.CoordinationState(path)
    procs = [_child("import _sqlite; _sqlite.racer(%r, 'w%d', 200, 2)" % (path, i))
             for i in range(8)]
    results = []
    for proc in procs:
        out, err = proc.communicate(timeout=300)
        assert proc.returncode == 0, err.decode()
        results.append(eval(out.decode().strip().splitlines()[-1]))
    granted = Counter(name for got, _ in results for name in got)
    assert sorted(granted) == sorted("f%d" % i for i in range(200))
    assert set(granted.values()) == {1}                     # nothing granted twice
    s = halvex_sqlite.CoordinationState(path)
    drained = [m for _, got in results for m in got] + [m[2] for m in s.drain_inbox("sink")]
    sent = ["w%d:%s" % (i, name) for i, (got, _) in enumerate(results) for name in got]
    assert sorted(drained) == sorted(sent)                  # nothing lost or doubled
    holders = {x.resource_key: (x.holder, x.token) for x in s.leases("file:")}
    for i, (got, _) in enumerate(results):
        for name in got:
            assert holders["file:" + name] == ("w%d" % i, 1)


@posix_only
def test_writers_killed_at_random_points(tmp_path):
    path = str(tmp_path / "killed.db")
    halvex_sqlite.CoordinationState(path)
    acked = []
    for round_ in range(3):
        # Unbuffered pipes: the first line read here must leave the rest
        # to communicate(), which reads the pipes' own descriptors.
        procs = [_child("import _sqlite; _sqlite.writer(%r, 'r%dw%d')" % (path, round_, i),
                        bufsize=0) for i in range(3)]
        procs.append(_child("import _sqlite; _sqlite.drainer(%r)" % path, bufsize=0))
        # Each child is at work (it has acknowledged a call) before the
        # kills start: an emulated interpreter may take seconds to start.
        for proc in procs:
            acked.append(proc.stdout.readline().decode("utf-8", "replace").rstrip("\n"))
        time.sleep(random.uniform(0.2, 0.6))
        for proc in random.sample(procs, len(procs)):
            time.sleep(random.uniform(0, 0.05))
            proc.send_signal(signal.SIGKILL)
        for proc in procs:
            out, _err = proc.communicate(timeout=60)
            acked.extend(out.decode("utf-8", "replace").splitlines())
    with sqlite3.connect(path) as db:
        assert db.execute("PRAGMA integrity_check").fetchone()[0] == "ok"
    s = halvex_sqlite.CoordinationState(path)
    claims = [line.split()[1] for line in acked if line.startswith("claim ")]
    sends = [line.split()[1] for line in acked if line.startswith("send ")]
    got = [line.split()[1] for line in acked if line.startswith("got ") and len(line.split()) > 1]
    assert claims and sends and got
    held = {x.resource_key: x.holder for x in s.leases("task:")}
    for task in claims:                                     # every acknowledged claim kept
        assert held["task:" + task] == task.rsplit("-", 1)[0]
    # What the drainers got before they died, and what is still there
    # (a killed drainer's batch stays pending: inbox() lists it first).
    there = [m[2] for m in s.inbox("sink")]
    assert len(set(there)) == len(there) and len(set(got)) == len(got)
    assert set(sends) <= set(got) | set(there)              # drains: at least once


@pytest.mark.skipif(not hasattr(os, "fork"), reason="no fork here")
def test_object_shared_across_fork(tmp_path):
    s = halvex_sqlite.CoordinationState(tmp_path / "fork.db")
    s.claim_file("parent", "before")
    s.send_message("parent", "sink", "before")
    children = []
    for k in range(4):
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)  # fork with threads alive
            pid = os.fork()
        if pid == 0:  # the child: the parent's object, on connections of its own
            code = 1
            try:
                for i in range(200):
                    try:
                        s.claim_file("c%d" % k, "f%d" % i)
                    except RuntimeError:
                        continue
                    s.send_message("c%d" % k, "sink", "c%d:f%d" % (k, i))
                code = 0
            finally:
                os._exit(code)
        children.append(pid)
    s.send_message("parent", "sink", "during")                # the parent goes on too
    for pid in children:
        assert os.waitpid(pid, 0)[1] == 0
    got = [m[2] for m in s.drain_inbox("sink")]
    assert got[0] == "before" and len(got) == len(set(got)) == 202
    holders = {x.resource_key: x.holder for x in s.leases("file:f")}
    assert len(holders) == 200
    assert sorted(got[1:]) == sorted(["during"] + ["%s:%s" % (h, k[5:])
                                                   for k, h in holders.items()])


# ---- the table's methods, the shared fault, statements and transactions ----

@pytest.mark.parametrize("face", ["blocking", "asyncio"])
def test_methods_come_from_the_table(tmp_path, redis_loop, face):
    import inspect

    from conftest import BlockingAdapter
    from halvex_types import METHODS, names

    cls = (halvex_sqlite.CoordinationState if face == "blocking"
           else halvex_sqlite.asyncio.CoordinationState)
    for name in names():
        method = getattr(cls, name)
        assert method.__doc__ == METHODS[name].doc, name
        assert inspect.iscoroutinefunction(method) == (face == "asyncio"), name
        params = list(inspect.signature(method).parameters.values())[1:-1]
        assert [(p.name, p.default) for p in params] == [
            (p.name, p.default) for p in METHODS[name].params], name
    s = cls(str(tmp_path / "state.db"))
    if face == "asyncio":
        s = BlockingAdapter(s, redis_loop)
    with pytest.raises(TypeError, match=r"claim_file\(\) takes 2 positional arguments but 3"):
        s.claim_file("a", "p", "x")
    with pytest.raises(TypeError, match="argument 'agent_id'"):
        s.claim_file(1, "p")
    with pytest.raises(TypeError, match="after must be a str or None"):
        s.activity(5)
    with pytest.raises(ValueError, match="count must not be negative"):
        s.activity(None, -1)
    assert s.activity(count=0) == [] and s.leases() == []  # defaults from the table
    assert s.wait_inbox("a", timeout=0) == []
    # now() is the clock the calls stamp: a send made between two readings
    # carries a second between them.
    before = s.now()
    at = s.send_message("a", "b", "m")[3]
    after = s.now()
    assert type(before) is float and int(before) <= at <= after


def test_one_panic_exception_for_both_python_states(capsys):
    pytest.importorskip("redis")
    import halvex_types
    from halvex_redis import _calls
    from halvex_sqlite import _rules

    raised = [_calls.panic("from redis"), _rules.clock_fault(-1.0)]
    assert [type(e) for e in raised] == [halvex_types.PanicException] * 2
    assert issubclass(halvex_types.PanicException, BaseException)
    assert not issubclass(halvex_types.PanicException, Exception)
    err = capsys.readouterr().err
    assert "halvex_redis: internal fault: from redis\n" in err
    assert "halvex_sqlite: internal fault: system clock before unix epoch" in err


# Sends and whole drains are one statement each where SQLite has a sound RETURNING
# (3.37.2), else a transaction: both must give the same state.
_PATHS = """
import halvex_sqlite._core
halvex_sqlite._core.RETURNING = %r
s, other = CoordinationState(), CoordinationState()
def view():
    return [(i.agent_id, i.status, i.inbox, i.pending, i.last_seen) for i in other.agents()]
note("sent", s.send_message("a", "b", "m1"))
s.claim_file("a", "p")
set_clock(T0 + 5)
s.renew_claim("a", "file:p")                  # notes a's last call
note("renewed", view())
note("drained", s.drain_inbox("b"))
note("pending", view())
s.send_message("a", "c", "m2")                # confirms b's batch on the way
note("confirmed by a send", view())
s.send_message("a", "b", "m3")
note("two drains", (s.drain_inbox("b"), s.drain_inbox("c")))  # the second confirms the first
note("one owed", view())
s.claim_file("a", "q")
note("none owed", view())
s.send_message("a", "b", "m4")
s.drain_inbox("b")
set_clock(T0 + 40)
note("handed over", other.drain_inbox("b"))
note("then", (s.drain_inbox("b"), view()))
note("log", [(r["kind"], r["at"]) for r in other.activity()])
"""


@faked_clock
def test_statements_and_transactions_give_the_same_state(tmp_path):
    run = _sqlite.scenario_runner(tmp_path)
    fast, _ = run(_PATHS % True)
    slow, _ = run(_PATHS % False)
    assert fast == slow
    T0 = _faketime.T0
    assert fast["sent"] == ("a", "b", "m1", T0)
    assert fast["renewed"] == [("a", "busy", 0, 0, T0 + 5), ("b", "idle", 1, 0, None)]
    assert fast["pending"] == [("a", "busy", 0, 0, T0 + 5), ("b", "idle", 0, 1, T0 + 5)]
    assert fast["confirmed by a send"][1:] == [("b", "idle", 0, 0, T0 + 5),
                                               ("c", "idle", 1, 0, None)]
    assert fast["one owed"][1:] == [("b", "idle", 0, 0, T0 + 5), ("c", "idle", 0, 1, T0 + 5)]
    assert fast["none owed"][1:] == [("b", "idle", 0, 0, T0 + 5), ("c", "idle", 0, 0, T0 + 5)]
    assert fast["handed over"] == [("a", "b", "m4", T0 + 5)]
    assert fast["then"][0] == []
    assert [k for k, _ in fast["log"]] == ["sent", "claimed", "sent", "sent", "claimed", "sent"]


def test_new_files_get_small_pages_and_older_files_keep_theirs(tmp_path, monkeypatch):
    from halvex_sqlite import _store

    def page_size(path):
        with sqlite3.connect(str(path)) as db:
            return db.execute("PRAGMA page_size").fetchone()[0]

    halvex_sqlite.CoordinationState(tmp_path / "new.db").close()
    assert page_size(tmp_path / "new.db") == 1024
    monkeypatch.setattr(_store, "PAGE_SIZE", 4096)  # a file written before 1 KB pages
    old = halvex_sqlite.CoordinationState(tmp_path / "old.db")
    old.claim_file("a", "x")
    old.close()
    monkeypatch.undo()
    s = halvex_sqlite.CoordinationState(tmp_path / "old.db")
    assert page_size(tmp_path / "old.db") == 4096
    assert s.lease("file:x").holder == "a"
    s.claim_file("a", "y")  # same status and second: the agent's row is left as it was
    s.release("a", "file:x")
    assert [(i.agent_id, i.status) for i in s.agents()] == [("a", "idle")]
    assert [(r["kind"], r["key"]) for r in s.activity("0")] == [
        ("claimed", "file:x"), ("claimed", "file:y"), ("released", "file:x")]
