"""CMD and everything it starts, as one unit that `halvex run` can stop: on
POSIX a process group of its own (holding the terminal while it runs in the
foreground, so that Ctrl-C and the keyboard reach it as before); elsewhere
the process alone."""

from __future__ import annotations

import os
import signal
import subprocess
import sys
import time
from typing import Any

POSIX = os.name == "posix"


def _own_group() -> None:  # in the child, before exec
    os.setpgid(0, 0)


def start(cmd: list[str], env: dict[str, str]) -> subprocess.Popen[bytes]:
    if not POSIX:
        return subprocess.Popen(cmd, env=env)
    # A group of its own: set by the C side of the fork where Python can,
    # else by a function run in the child.
    own: dict[str, Any] = ({"process_group": 0} if sys.version_info >= (3, 11)
                           else {"preexec_fn": _own_group})
    child = subprocess.Popen(cmd, env=env, **own)
    _hand_terminal(child.pid)
    return child


def _terminal() -> int | None:
    """stdin's descriptor when it is a terminal whose foreground we are."""
    try:
        fd = sys.stdin.fileno()
        return fd if os.isatty(fd) and os.tcgetpgrp(fd) == os.getpgrp() else None
    except (OSError, AttributeError, ValueError):
        return None


_handed: list[int] = []  # the terminal we gave the group, to take back


def _hand_terminal(group: int) -> None:
    fd = _terminal()
    if fd is None:
        return
    try:
        os.tcsetpgrp(fd, group)
        _handed.append(fd)
    except OSError:
        pass


def take_terminal_back() -> None:
    """Makes our group the terminal's foreground again (a background group
    asking for it gets SIGTTOU, ignored meanwhile)."""
    while _handed:
        fd = _handed.pop()
        previous = signal.signal(signal.SIGTTOU, signal.SIG_IGN)
        try:
            os.tcsetpgrp(fd, os.getpgrp())
        except OSError:
            pass
        finally:
            signal.signal(signal.SIGTTOU, previous)


def holds_terminal() -> bool:
    """Whether the terminal's keys (Ctrl-C) go to CMD's group by themselves."""
    return bool(_handed)


def send(child: subprocess.Popen[bytes], signum: int) -> None:
    """`signum` to CMD and everything of its group still running."""
    if not POSIX:
        if child.poll() is None:
            child.send_signal(signum)
        return
    try:
        os.killpg(child.pid, signum)
    except (ProcessLookupError, PermissionError):
        pass


def _group_alive(child: subprocess.Popen[bytes]) -> bool:
    child.poll()  # reaps CMD itself, which would otherwise count as alive
    try:
        os.killpg(child.pid, 0)
    except (ProcessLookupError, PermissionError):
        return False
    return True


def stop(child: subprocess.Popen[bytes], grace: float) -> Any:
    """SIGTERM to the whole group, then SIGKILL to what is left after
    `grace` seconds; returns CMD's status."""
    if not POSIX:
        try:
            child.terminate()
            return child.wait(grace)
        except subprocess.TimeoutExpired:
            child.kill()
            return child.wait()
    send(child, signal.SIGTERM)
    deadline = time.monotonic() + grace
    while _group_alive(child) and time.monotonic() < deadline:
        time.sleep(0.02)
    send(child, signal.SIGKILL)
    return child.wait()


