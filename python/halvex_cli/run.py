"""`halvex run`: holds claims around a command.

It claims every key (all or none), starts CMD with HALVEX_AGENT and
HALVEX_TOKENS in its environment, renews the claims well inside the
300-second lease while CMD runs, and releases them when CMD ends. A renewal
that finds a claim lost (refused, a stale token, or no renewal getting
through before the lease could have run out) stops CMD and everything it
started (its process group): SIGTERM, then SIGKILL after a grace period.
"""

from __future__ import annotations

import argparse
import os
import signal
import subprocess
import sys
import time
from typing import Any, Callable

from halvex_types import LEASE_SECS

from . import _group
from .guard import repo_key
from .show import visible
from .targets import Refused, Target, Unreachable, Unsupported, as_json, split_key

# Statuses of its own; otherwise `run` exits with CMD's status (128 + N when
# a signal N ended CMD).
REFUSED, USAGE, UNREACHABLE = 1, 2, 3
CANNOT_EXECUTE, NOT_FOUND = 126, 127   # as shells report them
LOST = 75                              # a claim was lost while CMD ran; CMD was stopped

LEASE = LEASE_SECS
RENEW_EVERY = 60.0
GRACE = 10.0
# After a failed renewal, try again this soon (never later than the usual time).
RETRY_EVERY = 5.0


def add_run_parser(p: argparse.ArgumentParser) -> None:
    p.add_argument("--agent", metavar="A", default=os.environ.get("HALVEX_AGENT"),
                   help="the agent that holds the claims (default: $HALVEX_AGENT)")
    p.add_argument("--claim", dest="claims", action="append", default=[], metavar="KEY",
                   help="a key to hold, file:<path> or task:<id>; repeatable")
    p.add_argument("--next", dest="next_prefix", metavar="PREFIX",
                   help="instead of --claim: claim the oldest ready task whose id starts with "
                        "PREFIX ('' for any), and when CMD ends mark it done (status 0) or "
                        "failed (any other status)")
    p.add_argument("--renew-every", type=float, default=RENEW_EVERY, metavar="S",
                   help=f"seconds between renewals (default {RENEW_EVERY:.0f}; must be under the "
                        f"{LEASE}-second lease)")
    p.add_argument("--grace", type=float, default=GRACE, metavar="S",
                   help="seconds between SIGTERM and SIGKILL when a claim is lost "
                        f"(default {GRACE:.0f})")
    p.add_argument("cmd", nargs=argparse.REMAINDER, metavar="-- CMD ARGS",
                   help="the command to run")
    p.epilog = ("Exit status: CMD's own (128+N when signal N ended it); 1 a claim was refused "
                "(nothing ran, the claims already made were released), or with --next no task "
                "was ready (the reason on stderr); 2 usage; 3 target "
                f"unreachable before CMD started; {LOST} a claim was lost while CMD ran (CMD was "
                f"stopped); {CANNOT_EXECUTE}/{NOT_FOUND} CMD could not be executed / was not "
                f"found. With --next, when CMD exits 0 but its task cannot be marked done: {LOST} "
                "(the claim went to another agent) or 3 (the target did not answer).")


def _say(text: str) -> None:
    try:
        sys.stderr.write(f"halvex run: {visible(text)}\n")
        sys.stderr.flush()
    except OSError:
        pass


def _failed(err: Exception) -> int:
    """The status for a failure before CMD starts: a refusal in the state's
    own words, anything else under our name."""
    if isinstance(err, Refused):
        sys.stderr.write(f"{visible(str(err))}\n")
        return REFUSED
    _say(str(err))
    return USAGE if isinstance(err, Unsupported) else UNREACHABLE


def _release(target: Target, agent: str, keys: list[str], quiet: bool = False) -> None:
    for key in keys:
        try:
            target.release(agent, key)
        except (Refused, Unreachable) as err:
            if not quiet:
                _say(f"could not release {key}: {err}")


def claim_all(target: Target, agent: str, keys: list[str]) -> dict[str, int | None]:
    """Claims every key, or none: on a refusal the ones made are released and
    Refused raised. Returns each key's fencing token (None when the target
    has no lease view)."""
    try:  # one call where the target has it: no other agent sees part of the grant
        return {found["resource_key"]: int(found["token"])
                for found in target.claim_many(agent, keys)}
    except Unsupported:
        pass
    held: list[str] = []
    tokens: dict[str, int | None] = {}
    try:
        for key in keys:
            target.claim(agent, key)
            held.append(key)
            try:
                lease = target.lease(key)
            except Unsupported:
                lease = None
            tokens[key] = None if lease is None else int(lease["token"])
    except BaseException:
        _release(target, agent, held)
        raise
    return tokens


class Renewer:
    """Renews the claims on a schedule; says when one is lost."""

    def __init__(self, target: Target, agent: str, tokens: dict[str, int | None],
                 every: float) -> None:
        self.target, self.agent, self.tokens, self.every = target, agent, tokens, every
        self.last_good = time.monotonic()
        self.due = self.last_good + every
        self.can_check = True

    def tick(self) -> str | None:
        """Renews when due; the reason when a claim is lost, else None."""
        now = time.monotonic()
        if now < self.due:
            return None
        try:
            for key, token in self.tokens.items():
                self.target.renew(self.agent, key)
                if token is not None and self.can_check:
                    try:
                        self.target.check(self.agent, key, token)
                    except Unsupported:
                        self.can_check = False
        except Refused as err:
            return str(err)
        except Unreachable as err:
            # The lease may still run; it is given up once a renewal could no
            # longer come in time (margin: one interval).
            if time.monotonic() - self.last_good >= LEASE - self.every:
                silent = int(time.monotonic() - self.last_good)
                return f"no renewal got through for {silent} s: {err}"
            _say(f"renewal failed, retrying: {err}")
            self.due = time.monotonic() + min(RETRY_EVERY, self.every)
            return None
        self.last_good = time.monotonic()
        self.due = self.last_good + self.every
        return None


def _status(code: int) -> int:
    return 128 - code if code < 0 else code


def run_command(args: argparse.Namespace,
                target_of: Callable[[argparse.Namespace], Target]) -> int:
    cmd: list[str] = list(args.cmd)
    if cmd and cmd[0] == "--":
        cmd = cmd[1:]
    task = getattr(args, "next_prefix", None)
    problem = ("--agent A (or $HALVEX_AGENT) is required" if not args.agent else
               "give --claim KEY or --next PREFIX, not both" if args.claims and task is not None
               else "at least one --claim KEY (or --next PREFIX) is required"
               if not args.claims and task is None else
               "no command given: halvex run ... -- CMD ARGS" if not cmd else
               f"--renew-every must be from 0 to {LEASE} seconds"
               if not 0 < args.renew_every < LEASE else "")
    try:
        for key in args.claims:
            split_key(key)
        if problem:
            raise Unsupported(problem)
        target = target_of(args)
    except (Unsupported, Unreachable) as err:
        return _failed(err)
    keys = list(dict.fromkeys(repo_key(k) for k in args.claims))
    try:
        return _hold(args, target, keys, cmd, task)
    finally:
        try:
            target.close()
        except Unreachable:
            pass


def _claim_next(target: Target, agent: str,
                prefix: str) -> tuple[str | None, dict[str, int | None]]:
    """The task claim_next granted (None, its reason said, when none was
    ready) and its key's fencing token."""
    got = as_json("claim_next", target.call("claim_next", agent, prefix, 0.0))
    if got["task"] is None:
        sys.stderr.write(f"{visible(got['why'])}\n")
        return None, {}
    task = got["task"]
    return task["task_id"], {"task:" + task["task_id"]: int(task["token"])}


def _settle(target: Target, agent: str, task: str, status: int) -> int:
    """Marks the task done (CMD's status 0) or failed, which releases it; the
    status to exit with. A task that could not be marked done is not done,
    so not 0: LOST when its claim went to another agent before CMD ended,
    UNREACHABLE when the state did not answer (it comes back after its lease)."""
    try:
        if status == 0:
            target.call("complete_task", agent, task, "exit status 0")
        else:
            target.call("fail_task", agent, task, f"exit status {status}")
    except (Refused, Unreachable) as err:
        _say(f"could not mark task {task} {'done' if status == 0 else 'failed'}: {err}")
        if status == 0:
            return LOST if isinstance(err, Refused) else UNREACHABLE
    return status


def _hold(args: argparse.Namespace, target: Target, keys: list[str], cmd: list[str],
          prefix: str | None = None) -> int:
    agent: str = args.agent
    task: str | None = None
    try:
        if prefix is None:
            tokens = claim_all(target, agent, keys)
        else:
            task, tokens = _claim_next(target, agent, prefix)
            if task is None:
                return REFUSED
            keys = list(tokens)
    except (Refused, Unreachable, Unsupported) as err:
        return _failed(err)
    env = dict(os.environ)
    env["HALVEX_AGENT"] = agent
    env["HALVEX_TOKENS"] = "\n".join(f"{k}={t}" for k, t in tokens.items() if t is not None)
    child: subprocess.Popen[bytes] | None = None
    pending: list[int] = []

    def forward(signum: int, _frame: Any) -> None:
        if signum == signal.SIGINT and _group.holds_terminal():
            return  # the terminal sent it to CMD's group itself
        if child is not None:
            _group.send(child, signum)
        else:
            pending.append(signum)

    previous = {s: signal.signal(s, forward) for s in (signal.SIGINT, signal.SIGTERM)}
    try:
        try:
            child = _group.start(cmd, env)
        except FileNotFoundError as err:
            _say(f"cannot run {cmd[0]}: {err.strerror}")
            _release(target, agent, keys)
            return NOT_FOUND
        except OSError as err:
            _say(f"cannot run {cmd[0]}: {err.strerror}")
            _release(target, agent, keys)
            return CANNOT_EXECUTE
        for signum in pending:
            _group.send(child, signum)
        renewer = Renewer(target, agent, tokens, args.renew_every)
        while True:
            try:
                code = child.wait(max(0.05, min(1.0, renewer.due - time.monotonic())))
                break
            except subprocess.TimeoutExpired:
                pass
            try:
                lost = renewer.tick()
            except BaseException:  # a fault of ours: CMD must not run on unguarded
                _group.stop(child, args.grace)
                _release(target, agent, keys, quiet=True)
                raise
            if lost is not None:
                _say(f"claim lost ({lost}); stopping {cmd[0]} and what it started")
                _group.stop(child, args.grace)
                _release(target, agent, keys, quiet=True)  # the lost one is refused
                return LOST
        if task is not None:
            return _settle(target, agent, task, _status(code))
        _release(target, agent, keys)
        return _status(code)
    finally:
        _group.take_terminal_back()
        for signum, handler in previous.items():
            signal.signal(signum, handler)
