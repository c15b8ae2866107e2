"""The `halvex` command on its default target: the state file of the
repository it runs in, shared by every worktree."""

import json
import os
import shutil
import subprocess
import urllib.request

import pytest

from test_cli import command

git = shutil.which("git")
pytestmark = pytest.mark.skipif(git is None or os.name != "posix",
                                reason="needs git and POSIX processes")


def run(*args, cwd, env=None):
    base = {k: v for k, v in os.environ.items() if not k.startswith("HALVEX_")}
    return subprocess.run(command() + list(args), cwd=str(cwd), env=dict(base, **(env or {})),
                          capture_output=True, text=True, timeout=60)


@pytest.fixture
def repo(tmp_path):
    main = tmp_path / "main"
    main.mkdir()
    for args in (["init", "-q"], ["-c", "user.name=t", "-c", "user.email=t@t", "commit", "-q",
                                  "--allow-empty", "-m", "start"],
                 ["worktree", "add", "-q", str(tmp_path / "second")]):
        subprocess.run([git, *args], cwd=str(main), check=True, capture_output=True)
    return main


def test_worktrees_share_the_repository_state(repo):
    second = repo.parent / "second"
    assert run("claim", "file:src/app.py", "--agent", "a", cwd=repo / ".").returncode == 0
    seen = json.loads(run("leases", "-o", "json", cwd=second).stdout)
    assert [(r["resource_key"], r["holder"], r["token"]) for r in seen] == \
        [("file:src/app.py", "a", 1)]
    refused = run("claim", "file:src/app.py", "--agent", "b", cwd=second)
    assert refused.returncode == 1 and "a already holds claim on src/app.py" in refused.stderr
    state = repo / ".git" / "halvex" / "state.db"
    assert state.stat().st_mode & 0o777 == 0o600
    assert (state.parent.stat().st_mode & 0o777) == 0o700
    events = run("watch", "--replay", "--count", "1", "-o", "json", cwd=second)
    assert json.loads(events.stdout)["kind"] == "claimed"

    # $HALVEX_STATE and --state name another file; naming two targets is a usage error.
    other = str(repo.parent / "other.db")
    assert json.loads(run("leases", "-o", "json", cwd=repo,
                          env={"HALVEX_STATE": other}).stdout) == []
    assert json.loads(run("--state", other, "leases", "-o", "json", cwd=repo).stdout) == []
    both = run("--state", other, "--redis", "redis://127.0.0.1:9/0", "leases", cwd=repo)
    assert both.returncode == 2 and "give one of" in both.stderr


@pytest.mark.mcp
def test_board_serves_the_repository_state(repo):
    pytest.importorskip("mcp")
    run("claim", "task:t1", "--agent", "a", cwd=repo)
    board = subprocess.Popen(command() + ["board", "--no-open", "--for", "60"], cwd=str(repo),
                             stdout=subprocess.PIPE, text=True)
    try:
        line = board.stdout.readline()
        assert "/board" in line, line
        url = line.rsplit(" ", 1)[1].strip()
        # The board's event stream opens with a snapshot of the state.
        with urllib.request.urlopen(url + "/events", timeout=30) as stream:
            first = b""
            while not first.startswith(b"data:"):
                first = stream.readline()
        assert b"task:t1" in first
    finally:
        board.terminate()
        assert board.wait(30) == 0
