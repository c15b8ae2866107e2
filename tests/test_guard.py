"""`halvex guard` and `halvex hook install` in real repositories: two
worktrees sharing one state, renames, deletions, paths with spaces and
non-ASCII characters, core.hooksPath, a hook already in place."""

import json
import os
import shutil
import stat
import subprocess
import sys

import pytest

from test_cli import command
from test_cli_state import repo, run  # noqa: F401 (a fixture)

git = shutil.which("git")
pytestmark = pytest.mark.skipif(git is None or os.name != "posix",
                                reason="needs git and POSIX processes")


def g(cwd, *args):
    return subprocess.run([git, "-c", "user.name=t", "-c", "user.email=t@t", *args],
                          cwd=str(cwd), capture_output=True, text=True)


def commit_as(agent, cwd):
    env = dict(os.environ, HALVEX_AGENT=agent)
    env = {k: v for k, v in env.items() if k not in ("HALVEX_STATE", "HALVEX_TOKENS")}
    return subprocess.run([git, "-c", "user.name=t", "-c", "user.email=t@t", "commit", "-qm",
                           "c"], cwd=str(cwd), capture_output=True, text=True, env=env)


def test_guard_refuses_commits_touching_files_claimed_elsewhere(repo, tmp_path):
    second = tmp_path / "second"
    for name in ("a b.txt", "ünï.txt", "old.txt", "gone.txt", "free.txt"):
        (repo / name).write_text("1\n")
    (repo / "sub").mkdir()
    (repo / "sub" / "x.txt").write_text("1\n")
    g(repo, "add", "-A")
    assert g(repo, "commit", "-qm", "files").returncode == 0
    # In the other worktree, from a subfolder: relative paths become the
    # repository's own, so the claims meet the guard's keys.
    g(second, "checkout", "-q", "--detach", g(repo, "rev-parse", "HEAD").stdout.strip())
    assert run("claim", "file:../ünï.txt", "--agent", "agent-b", cwd=second / "sub").returncode == 0
    assert run("claim", "file:" + str(second / "old.txt"), "--agent", "agent-b",
               cwd=second).returncode == 0
    assert run("claim", "file:a b.txt", "--agent", "agent-a", cwd=repo).returncode == 0
    assert run("claim", "file:free.txt", "--agent", "x\x1b]0;pwn\x07", cwd=repo).returncode == 0
    assert run("release", "file:free.txt", "--agent", "x\x1b]0;pwn\x07", cwd=repo).returncode == 0
    installed = run("hook", "install", cwd=second)
    assert installed.returncode == 0 and str(repo / ".git" / "hooks") in installed.stdout

    (repo / "a b.txt").write_text("2\n")
    (repo / "ünï.txt").write_text("2\n")
    g(repo, "mv", "old.txt", "new.txt")
    g(repo, "rm", "-q", "gone.txt")
    g(repo, "add", "-A")
    refused = commit_as("agent-a", repo)
    assert refused.returncode == 1, refused.stderr
    lines = [line.strip() for line in refused.stderr.splitlines()]
    assert [line.split(":")[0] for line in lines[1:]] == ["old.txt", "ünï.txt"]
    assert "held by agent-b (token 1) until" in lines[1]
    direct = run("guard", "--agent", "agent-b", "--require-claim", cwd=repo)
    assert direct.returncode == 1
    assert [line.split(":")[0].strip() for line in direct.stderr.splitlines()[1:]] == [
        "a b.txt", "gone.txt", "new.txt"]
    # Tokens from `halvex run` are checked against the agent's own claims.
    stale = run("guard", cwd=repo, env={"HALVEX_AGENT": "agent-b",
                                         "HALVEX_TOKENS": "file:ünï.txt=9"})
    assert "ünï.txt: token 9 is stale: agent-b holds token 1" in stale.stderr
    assert commit_as("agent-b", repo).returncode == 1  # a b.txt is agent-a's
    assert run("release", "file:a b.txt", "--agent", "agent-a", cwd=repo).returncode == 0
    done = commit_as("agent-b", repo)
    assert done.returncode == 0, done.stderr

    # A hostile holder's name reaches no terminal raw.
    assert run("claim", "file:free.txt", "--agent", "x\x1b]0;pwn\x07", cwd=repo).returncode == 0
    (repo / "free.txt").write_text("3\n")
    g(repo, "add", "-A")
    hostile = commit_as("agent-a", repo)
    assert "held by x\\x1b]0;pwn\\x07 (token 2)" in hostile.stderr and "\x1b" not in hostile.stderr
    # Unreachable state: refused, unless --allow-offline.
    offline = ["--redis", "redis://127.0.0.1:1/0", "--namespace", "n", "guard"]
    down = run(*offline, cwd=repo)
    assert down.returncode == 3 and "--allow-offline" in down.stderr
    passed = run(*offline, "--allow-offline", cwd=repo)
    assert passed.returncode == 0 and "not checked" in passed.stderr


def test_hook_install_chains_and_finds_where_git_looks(repo):
    hooks = repo / ".git" / "hooks"
    hooks.mkdir(exist_ok=True)
    mine = hooks / "pre-commit"
    mine.write_text("#!/bin/sh\necho mine >> \"$(git rev-parse --git-dir)/ran\"\n")
    mine.chmod(mine.stat().st_mode | stat.S_IXUSR)
    assert "kept the existing hook" in run("hook", "install", cwd=repo).stdout
    assert "already installed" in run("hook", "install", cwd=repo).stdout
    (repo / "f").write_text("1\n")
    g(repo, "add", "f")
    assert commit_as("a", repo).returncode == 0
    assert (repo / ".git" / "ran").read_text() == "mine\n"
    # core.hooksPath, relative to the work tree's top.
    g(repo, "config", "core.hooksPath", ".githooks")
    assert run("hook", "install", cwd=repo).returncode == 0
    assert "halvex_cli guard" in (repo / ".githooks" / "pre-commit").read_text()
    (repo / ".githooks" / "pre-commit").write_text("#!/bin/sh\nexit 0\n")
    assert run("hook", "install", cwd=repo).returncode == 0
    (repo / ".githooks" / "pre-commit").write_text("#!/bin/sh\nexit 0\n")
    refused = run("hook", "install", cwd=repo)  # a chained hook is there already
    assert refused.returncode == 2 and "--force" in refused.stderr
    assert run("hook", "install", "--force", cwd=repo).returncode == 0
    assert "halvex_cli guard" in (repo / ".githooks" / "pre-commit").read_text()
    # From a folder below the top, git names the hooks folder from there.
    g(repo, "config", "core.hooksPath", ".sub-hooks")
    (repo / "deep" / "er").mkdir(parents=True)
    assert run("hook", "install", cwd=repo / "deep" / "er").returncode == 0
    assert "halvex_cli guard" in (repo / ".sub-hooks" / "pre-commit").read_text()


def test_the_hook_runs_an_interpreter_whose_path_holds_quotes(monkeypatch, tmp_path):
    from halvex_cli import guard

    odd = tmp_path / "it's \"odd\""
    odd.mkdir()
    (odd / "python").write_text("#!/bin/sh\necho ran \"$@\"\n")
    (odd / "python").chmod(0o755)
    monkeypatch.setattr(sys, "executable", str(odd / "python"))
    (tmp_path / "pre-commit").write_text(guard._hook_text())
    done = subprocess.run(["sh", str(tmp_path / "pre-commit")], capture_output=True, text=True)
    assert done.stdout == "ran -m halvex_cli guard\n", done.stderr


def hook(payload, *args, cwd, env=None):
    base = {k: v for k, v in os.environ.items() if not k.startswith("HALVEX_")}
    return subprocess.run(command() + ["hook", *args], cwd=str(cwd), env=dict(base, **(env or {})),
                          input=json.dumps(payload) if payload is not None else None,
                          capture_output=True, text=True, timeout=60)


def test_edit_hooks_claim_renew_block_and_release(repo, tmp_path):
    def pre_edit(session, tool, **tool_input):  # a coding agent's PreToolUse payload
        return {"session_id": session, "cwd": str(repo), "hook_event_name": "PreToolUse",
                "tool_name": tool, "tool_input": tool_input}

    target = str(repo / "src" / "app.py")
    first = hook(pre_edit("s-one", "Edit", file_path=target, old_string="a", new_string="b"),
                 "edit", cwd=tmp_path)
    assert first.returncode == 0, first.stderr
    leases = json.loads(run("leases", "-o", "json", cwd=repo).stdout)
    assert [(x["resource_key"], x["holder"], x["token"]) for x in leases] == [
        ("file:src/app.py", "session-s-one", 1)]
    assert hook(pre_edit("s-one", "Write", file_path=target), "edit", cwd=repo).returncode == 0
    # Another session is blocked (exit 2, the reason on stderr for the model), also
    # when the held file comes among others; nothing of the batch is claimed.
    other = pre_edit("s-two", "MultiEdit", file_path=str(repo / "free.py"),
                     edits=[{"file_path": target}])
    blocked = hook(other, "edit", cwd=repo)
    assert blocked.returncode == 2
    assert blocked.stderr.startswith("halvex: src/app.py is claimed by session-s-one until ")
    assert "free.py" not in run("leases", cwd=repo).stdout
    # The plain form: paths as arguments, the agent from the environment;
    # a file outside the work tree is nobody's business.
    plain = hook(None, "edit", "src/app.py", "/etc/hosts", cwd=repo, env={"HALVEX_AGENT": "x"})
    assert plain.returncode == 2
    for path in ("../elsewhere", "", "."):  # outside, or no file at all: nothing claimed
        assert hook({"tool_input": {"file_path": path}}, "edit", cwd=repo,
                    env={"HALVEX_AGENT": "y"}).returncode == 0
    outside = tmp_path / "no-repository"
    outside.mkdir()
    assert run("guard", cwd=outside, env={"HALVEX_STATE": str(tmp_path / "s.db")}).stderr == (
        "halvex: not inside a git repository\n")
    assert "y" not in [x["holder"] for x in json.loads(run("leases", "-o", "json", cwd=repo).stdout)]
    ended = hook({"session_id": "s-one", "hook_event_name": "SessionEnd"}, "session-end", cwd=repo)
    assert ended.returncode == 0 and "released 1 claim" in ended.stderr
    assert hook(other, "edit", cwd=repo).returncode == 0
    assert hook(None, "edit", "src/app.py", cwd=repo, env={"HALVEX_AGENT": "x"}).returncode == 2


def test_the_guard_builds_only_its_own_parser_and_parses_as_the_full_one():
    from halvex_cli import cli

    assert cli.command_named(["--redis", "redis://h/0", "--namespace=ns", "-o", "json", "guard"]) == "guard"
    # Help, abbreviations, unknown options or commands: every parser, so usage lists them all.
    for argv in (["--help"], ["--red", "u", "guard"], ["--name", "guard", "leases"], ["bogus"], [], ["--", "guard"]):
        assert cli.command_named(argv) is None, argv
    for argv in (["--state", "s.db", "guard", "--require-claim", "--agent", "a"],
                 ["hook", "edit", "x.py", "--agent", "a"], ["task", "next", "--agent", "a"],
                 ["run", "--claim", "file:x", "--", "true"], ["token", "new", "n", "--role", "observer"],
                 ["claim-many", "a", "file:x", "task:y"]):
        assert vars(cli.parser(cli.command_named(argv)).parse_args(argv)) == vars(cli.parser().parse_args(argv))


def pre_commit():
    """The pre-commit framework's command, when it is installed."""
    try:
        import pre_commit  # noqa: F401
    except ImportError:
        found = shutil.which("pre-commit")
        return [found] if found else None
    return [sys.executable, "-m", "pre_commit"]


@pytest.mark.skipif(pre_commit() is None, reason="the pre-commit framework is not installed")
def test_the_pre_commit_framework_runs_the_shipped_hook(repo, tmp_path):
    # The shipped hook manifest, from a hooks repository of its own: the
    # framework clones it at a commit, as it would this project's.
    hooks = tmp_path / "hooks"
    hooks.mkdir()
    shutil.copy(os.path.join(os.path.dirname(__file__), os.pardir, ".pre-commit-hooks.yaml"), hooks)
    g(hooks, "init", "-q")
    g(hooks, "add", "-A")
    g(hooks, "commit", "-qm", "hooks")
    rev = g(hooks, "rev-parse", "HEAD").stdout.strip()
    (repo / ".pre-commit-config.yaml").write_text(
        f"repos:\n- repo: {hooks}\n  rev: {rev}\n  hooks:\n  - id: halvex-guard\n")
    # `halvex` on PATH runs this tree's code (PYTHONPATH), as the agents' own does.
    bin_dir = tmp_path / "bin"
    bin_dir.mkdir()
    shim = bin_dir / "halvex"
    shim.write_text(f"#!/bin/sh\nexec '{sys.executable}' -m halvex_cli \"$@\"\n")
    shim.chmod(0o755)
    env = {k: v for k, v in os.environ.items() if not k.startswith("HALVEX_")}
    env.update(PATH=str(bin_dir) + os.pathsep + env["PATH"], PRE_COMMIT_HOME=str(tmp_path / "cache"))
    done = subprocess.run(pre_commit() + ["install"], cwd=str(repo), env=env, capture_output=True, text=True)
    assert done.returncode == 0, done.stderr

    assert run("claim", "file:held.txt", "--agent", "agent-b", cwd=repo).returncode == 0
    for name in ("held.txt", "free.txt"):
        (repo / name).write_text("1\n")
    g(repo, "add", "-A")

    def commit(agent):
        return subprocess.run([git, "-c", "user.name=t", "-c", "user.email=t@t", "commit", "-qm", "c"],
                              cwd=str(repo), capture_output=True, text=True, env=dict(env, HALVEX_AGENT=agent))

    refused = commit("agent-a")
    assert refused.returncode == 1, refused.stdout + refused.stderr
    assert "held.txt: held by agent-b" in refused.stdout + refused.stderr
    g(repo, "reset", "-q", "held.txt")
    allowed = commit("agent-a")
    assert allowed.returncode == 0, allowed.stdout + allowed.stderr
    assert "halvex guard" in allowed.stdout + allowed.stderr  # the framework ran it
    (repo / "held.txt").write_text("2\n")
    g(repo, "add", "held.txt")
    assert commit("agent-b").returncode == 0  # the holder commits its own file
