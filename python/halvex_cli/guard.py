"""`halvex guard`, the git pre-commit check that claims are honoured, and
`halvex hook install`, which puts it where git looks.

The guard turns the staged paths (added, modified, deleted, both names of a
rename) into `file:` keys, reads their leases in one call, and refuses the
commit when another agent holds a live claim on any of them (or, with
--require-claim, when the committing agent holds none).
"""

from __future__ import annotations

import argparse
import json
import os
import shlex
import stat
import subprocess
import sys
import time
from pathlib import Path
from typing import Any

from .show import visible
from .targets import Refused, Unreachable, Unsupported

ENV_AGENT, ENV_TOKENS = "HALVEX_AGENT", "HALVEX_TOKENS"
MARK = "# installed by `halvex hook install`"
CHAINED = "pre-commit.halvex-chained"


def add_guard_parser(p: argparse.ArgumentParser) -> None:
    p.add_argument("--agent", default=os.environ.get(ENV_AGENT),
                   help=f"the committing agent (default: ${ENV_AGENT}); its own claims pass")
    p.add_argument("--require-claim", action="store_true",
                   help="also refuse staged paths that the committing agent holds no live "
                        "claim on")
    p.add_argument("--allow-offline", action="store_true",
                   help="let the commit pass, with a warning, when the state cannot be reached")


def add_hook_parser(p: argparse.ArgumentParser) -> None:
    p.add_argument("action", choices=["install", "edit", "session-end"],
                   help="install: write the git pre-commit hook; edit: a coding agent's "
                        "pre-edit hook (claims or renews the files, or blocks the edit); "
                        "session-end: releases the agent's claims")
    p.add_argument("paths", nargs="*", metavar="PATH",
                   help="edit: the files (else read from the hook's JSON payload on stdin)")
    p.add_argument("--force", action="store_true",
                   help="install: replace an existing pre-commit hook instead of chaining it")
    p.add_argument("--agent", default=os.environ.get(ENV_AGENT),
                   help=f"edit, session-end: the agent (default: ${ENV_AGENT}, else a name "
                        "made from the payload's session id)")


class Git:
    """A git command, started at once; `output` waits for it."""

    def __init__(self, *args: str) -> None:
        self.args = args
        try:
            self.proc: subprocess.Popen[bytes] | None = subprocess.Popen(
                ["git", *args], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                stderr=subprocess.PIPE)
        except FileNotFoundError:
            self.proc = None

    def output(self) -> bytes:
        if self.proc is None:
            raise Unsupported("git is not installed")
        out, err = self.proc.communicate()
        if self.proc.returncode:
            # Outside a repository `git diff --cached` answers with its usage.
            if subprocess.run(["git", "rev-parse", "--git-dir"], capture_output=True,
                              check=False).returncode:
                raise Unsupported("not inside a git repository")
            said = err.decode("utf-8", "replace").strip().split("\n")
            raise Unsupported(f"git {' '.join(self.args)}: {said[0]}")
        return out


def _git(*args: str) -> bytes:
    return Git(*args).output()


def start_staged() -> Git:
    """The staged changes, asked of git now: it answers while the target's
    client loads (redis-py's import takes most of the guard's time)."""
    return Git("diff", "--cached", "--name-status", "-z", "-M", "--no-ext-diff")


def staged_paths(started: Git | None = None) -> list[str]:
    """Repository-relative POSIX paths of what the commit changes: added,
    modified and deleted paths, and both names of a rename."""
    fields = (started or start_staged()).output().split(b"\0")
    paths: list[str] = []
    i = 0
    while i < len(fields) and fields[i]:
        status = fields[i][:1]
        names = 2 if status in (b"R", b"C") else 1
        chosen = fields[i + 1:i + 1 + names]
        if status == b"C":  # a copy leaves its source as it was
            chosen = chosen[1:]
        paths += [p.decode("utf-8", "replace") for p in chosen]
        i += 1 + names
    return list(dict.fromkeys(paths))


_TOP: list[str | None] = []


def _work_tree() -> str | None:
    """The top folder of the git work tree around the current folder, or None."""
    if not _TOP:
        try:
            done = subprocess.run(["git", "rev-parse", "--show-toplevel"], capture_output=True,
                                  check=False)
            top = done.stdout.decode().strip() if done.returncode == 0 else ""
        except OSError:
            top = ""
        _TOP.append(os.path.realpath(top) if top else None)
    return _TOP[0]


def repo_key(key: str) -> str:
    """A `file:` key as the repository names its path, so that an agent's
    claim and the guard meet: a path relative to the current folder, or an
    absolute one inside the work tree, becomes relative to the work tree's
    top, with `/` between its parts. Other keys, paths outside the work tree
    and keys given outside one stay as they are."""
    if not key.startswith("file:") or not key[5:]:
        return key
    top = _work_tree()
    if top is None:
        return key
    full = os.path.join(os.getcwd(), key[5:])  # an absolute path stays itself
    # Symbolic links in the folders (not the file itself) resolve as git's do.
    full = os.path.join(os.path.realpath(os.path.dirname(full)), os.path.basename(full))
    rel = os.path.relpath(full, top)
    if rel == os.curdir or rel == os.pardir or rel.startswith(os.pardir + os.sep):
        return key
    return "file:" + rel.replace(os.sep, "/")


def tokens_from_env() -> dict[str, int]:
    """Key -> fencing token, one `key=token` a line ($HALVEX_TOKENS, as
    `halvex run` sets it)."""
    found = {}
    for line in os.environ.get(ENV_TOKENS, "").splitlines():
        key, sep, token = line.rpartition("=")
        if sep and token.strip().isdigit():
            found[key] = int(token)
    return found


def _until(seconds: int) -> str:
    return time.strftime("%Y-%m-%d %H:%M:%S UTC", time.gmtime(seconds))


def cmd_guard(args: argparse.Namespace, target: Any) -> int:
    me: str | None = args.agent
    if args.require_claim and not me:
        raise Unsupported(f"--require-claim needs the committing agent: --agent or ${ENV_AGENT}")
    paths = staged_paths(getattr(args, "staged", None))
    if not paths:
        return 0
    try:
        found = target.lease_many(["file:" + p for p in paths])
    except Unreachable as err:
        if not args.allow_offline:
            raise Unreachable(f"{err}; the commit is refused (--allow-offline lets it pass "
                              "unchecked)") from None
        sys.stderr.write(f"halvex guard: warning: {visible(str(err))}; the staged files were "
                         "not checked\n")
        return 0
    tokens = tokens_from_env()
    problems = []
    for path, lease in zip(paths, found):
        key = "file:" + path
        live = lease is not None and lease["live"]
        mine = live and lease["holder"] == me
        if live and not mine:
            problems.append(f"{path}: held by {lease['holder']} (token {lease['token']}) until "
                            f"{_until(lease['expires_at'])}")
        elif args.require_claim and not mine:
            problems.append(f"{path}: {me} holds no live claim on it")
        elif mine and key in tokens and tokens[key] != lease["token"]:
            problems.append(f"{path}: token {tokens[key]} is stale: {me} holds token "
                            f"{lease['token']}")
    if problems:  # shown visibly by the command's error output
        head = "halvex guard: the commit touches files claimed elsewhere:"
        lines = [head, *("  " + p for p in problems)]
        raise Refused("\n".join(lines), lines)
    return 0


def _hook_text() -> str:
    python = shlex.quote(sys.executable)  # a folder's name may hold a quote
    return f"""#!/bin/sh
{MARK}: refuses a commit that touches files
# another agent holds (see `halvex guard --help`). A hook that was here before
# runs first, as {CHAINED}.
here=$(dirname "$0")
if [ -x "$here/{CHAINED}" ]; then
  "$here/{CHAINED}" "$@" || exit $?
fi
if [ -x {python} ]; then
  exec {python} -m halvex_cli guard
fi
exec halvex guard
"""


def prepare_hook(args: argparse.Namespace) -> None:
    """Before the target is chosen: reads an edit hook's payload and moves
    to its folder, whose repository (and state file) is the agent's."""
    args.payload = _payload() if args.action != "install" and not args.paths else {}
    if args.payload.get("cwd"):
        try:
            os.chdir(str(args.payload["cwd"]))
        except OSError:
            pass


def cmd_hook(args: argparse.Namespace, target: Any) -> int:
    if args.action == "install":
        return install_hook(args)
    payload: dict[str, Any] = args.payload
    agent = args.agent or _session_agent(payload)
    if agent is None:
        raise Unsupported(f"no agent: set ${ENV_AGENT}, pass --agent, or run as a hook whose "
                          "payload has a session_id")
    if args.action == "session-end":
        released = target.release_all(agent)
        sys.stderr.write(f"halvex: released {len(released)} claim(s) of {visible(agent)}\n")
        return 0
    return _edit(target, agent, args.paths or _paths_of(payload))


# Keys under which hosts name the file(s) a tool is about to change.
_PATH_KEYS = ("file_path", "notebook_path", "path", "filePath", "target_file")
_LIST_KEYS = ("paths", "file_paths", "files")


def _payload() -> dict[str, Any]:
    if sys.stdin is None or sys.stdin.isatty():
        return {}
    text = sys.stdin.read()
    try:
        found = json.loads(text) if text.strip() else {}
    except ValueError:
        raise Unsupported("the hook's payload on stdin is not JSON") from None
    return found if isinstance(found, dict) else {}


def _paths_of(payload: dict[str, Any]) -> list[str]:
    found: list[str] = []
    for where in (payload.get("tool_input"), payload):
        if not isinstance(where, dict):
            continue
        found += [where[k] for k in _PATH_KEYS if isinstance(where.get(k), str)]
        for k in _LIST_KEYS:
            if isinstance(where.get(k), list):
                found += [p for p in where[k] if isinstance(p, str)]
        for edit in where.get("edits") or []:  # several edits in one call
            if isinstance(edit, dict) and isinstance(edit.get("file_path"), str):
                found.append(edit["file_path"])
    return list(dict.fromkeys(found))


def _session_agent(payload: dict[str, Any]) -> str | None:
    session = payload.get("session_id") or payload.get("sessionId")
    return f"session-{str(session)[:12]}" if session else None


def _outside(path: str) -> bool:
    """Whether a path as repo_key left it names no file inside the work tree:
    an absolute one, one relative to the current folder that leaves it, or
    none at all (empty, or the folder itself)."""
    first = path.replace(os.sep, "/").split("/", 1)[0]
    return os.path.isabs(path) or first == os.pardir or path in ("", os.curdir)


def _edit(target: Any, agent: str, paths: list[str]) -> int:
    """Claims the files inside the work tree for `agent` (renewing its own
    claims), all or none; exit 2 with the reason on stderr, which the host
    shows to the model, when another agent holds one."""
    keys = [k for k in (repo_key("file:" + p) for p in paths) if not _outside(k[5:])]
    if not keys:
        return 0  # nothing inside a work tree: nothing to coordinate
    try:
        found = target.lease_many(keys)
        held = [(k, f) for k, f in zip(keys, found) if f and f["live"] and f["holder"] != agent]
        if not held:
            mine = [k for k, f in zip(keys, found) if f and f["live"]]
            for key in mine:
                target.renew(agent, key)
            rest = [k for k in keys if k not in mine]
            if rest:
                target.claim_many(agent, rest)
            return 0
    except Refused as err:  # taken between the read and the claim
        sys.stderr.write(f"halvex: {visible(str(err))}; edit another file or wait\n")
        return 2
    except Unreachable as err:
        # An unreachable state must not stop every edit: the commit guard
        # still checks before anything is committed.
        sys.stderr.write(f"halvex: claims not checked: {visible(str(err))}\n")
        return 0
    now = time.time()
    for key, lease in held:
        left = max(int(lease["expires_at"] - now), 0)
        sys.stderr.write(f"halvex: {visible(key[5:])} is claimed by {visible(lease['holder'])} "
                         f"until {_until(lease['expires_at'])} ({left} s from now); edit "
                         "another file, or message that agent and wait\n")
    return 2


def install_hook(args: argparse.Namespace) -> int:
    """Writes the pre-commit hook where git runs hooks from: core.hooksPath,
    else the common hooks folder (shared by every worktree)."""
    _git("rev-parse", "--show-toplevel")  # a work tree: a bare repository runs no pre-commit
    # git gives the folder relative to the current one (a relative
    # core.hooksPath already taken from the top of the work tree).
    hooks = Path(os.path.abspath(_git("rev-parse", "--git-path", "hooks").decode().strip()))
    hooks.mkdir(parents=True, exist_ok=True)
    hook = hooks / "pre-commit"
    if hook.exists():
        old = hook.read_text("utf-8", "replace")
        if MARK in old:
            sys.stdout.write(f"the guard is already installed in {hook}\n")
            return 0
        if not args.force:
            chained = hooks / CHAINED
            if chained.exists():
                raise Unsupported(f"{hook} and {chained} both exist; --force replaces {hook}")
            hook.rename(chained)
            sys.stdout.write(f"kept the existing hook as {chained}; it runs first\n")
    hook.write_text(_hook_text(), "utf-8")
    hook.chmod(hook.stat().st_mode | stat.S_IXUSR | stat.S_IXGRP | stat.S_IXOTH)
    sys.stdout.write(f"installed the guard in {hook}\n")
    return 0
