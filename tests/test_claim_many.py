"""claim_many: all or none of several claims, on every shared state; and
processes racing on overlapping key sets, where no partial grant is ever
visible."""
from __future__ import annotations

import os
import subprocess
import sys

import pytest

import halvex_core
from _support import TESTS_DIR


def test_claim_many_grants_all_or_none(make_state):
    s = make_state()
    if isinstance(s, halvex_core.CoordinationState):
        pytest.skip("the native class keeps its nine methods")
    got = s.claim_many("a", ["file:src/x.py", "task:t1", "file:src/x.py"])
    assert [(x.resource_key, x.holder, x.token, x.live) for x in got] == [
        ("file:src/x.py", "a", 1, True), ("task:t1", "a", 1, True)]
    assert got[0].expires_at == got[0].granted_at + 300 and s.status("a") == "busy"
    # The first key held live names the refusal, and nothing else is granted.
    for keys, text in ((["file:free", "task:t1", "file:src/x.py"], "a already holds claim on task t1"),
                       (["file:src/x.py"], "a already holds claim on src/x.py")):
        with pytest.raises(RuntimeError) as refused:
            s.claim_many("b", keys)
        assert str(refused.value) == text
    assert s.lease("file:free") is None and s.status("b") == "idle"
    s.release("a", "task:t1")
    again = s.claim_many("b", ["task:t1", "file:free"])
    assert [(x.resource_key, x.token) for x in again] == [("task:t1", 2), ("file:free", 1)]
    assert s.check_lease("b", "task:t1", 2) == 300 and s.claim_many("b", []) == []
    for bad, error, text in (("file:x", TypeError, "resource_keys must be a list of str, not 'str'"),
                             (["file:x", 3], TypeError, "resource_keys must be a list of str, not of 'int'"),
                             (["src/x.py"], ValueError, "a resource key starts with 'file:' or 'task:', not 'src/x.py'"),
                             (["task:%d" % i for i in range(1001)], ValueError,
                              "resource_keys holds 1001 keys; at most 1000 go in one call")):
        with pytest.raises(error) as caught:
            s.claim_many("c", bad)
        assert str(caught.value) == text


RACER = """
import json, random, sys
kind, where, me = sys.argv[1:4]
if kind == "sqlite":
    import halvex_sqlite
    s = halvex_sqlite.CoordinationState(where)
else:
    import halvex_redis
    url, ns = where.split(" ")
    s = halvex_redis.CoordinationState(url, namespace=ns)
keys = ["file:k%d" % i for i in range(6)]
won, seen = 0, []
for _ in range(60):
    want = random.sample(keys, 3)
    try:
        got = s.claim_many(me, want)
    except RuntimeError:
        continue
    won += 1
    assert [x.resource_key for x in got] == want
    # Everyone's holdings are whole grants of three keys, never a part.
    held = {}
    for lease in s.leases("file:"):
        held[lease.holder] = held.get(lease.holder, 0) + 1
    seen.append(sorted(held.values()))
    assert s.release_all(me) == sorted(want)
print(json.dumps([won, seen]))
"""


@pytest.mark.parametrize("kind", ["sqlite", pytest.param("redis", marks=pytest.mark.redis)])
def test_claim_many_races_of_processes(kind, tmp_path, request):
    if kind == "sqlite":
        if os.name != "posix":
            pytest.skip("racing processes on the state file run on POSIX here")
        where = str(tmp_path / "race.db")
    else:
        where = request.getfixturevalue("redis_server").url + " race-%d" % os.getpid()
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(
        p for p in (TESTS_DIR, os.environ.get("PYTHONPATH")) if p))
    procs = [subprocess.Popen([sys.executable, "-c", RACER, kind, where, "r%d" % i],
                              env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
             for i in range(4)]
    results = []
    for proc in procs:
        out, err = proc.communicate(timeout=300)
        assert proc.returncode == 0, err.decode()
        results.append(eval(out.decode()))
    assert sum(won for won, _ in results) >= 4
    for _won, seen in results:
        for counts in seen:
            assert set(counts) <= {3}, counts
