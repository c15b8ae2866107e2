"""Shared helpers for the Python suite.

Kept free of pytest imports: child interpreters started by the clock and
memory-failure tests import it too.
"""

import os
import subprocess
import sys

TESTS_DIR = os.path.dirname(os.path.abspath(__file__))

# Every method with its parameters, in binding order.
METHODS = {
    "claim_file": ("agent_id", "path"),
    "claim_task": ("agent_id", "task_id"),
    "release": ("agent_id", "resource_key"),
    "renew_claim": ("agent_id", "resource_key"),
    "send_message": ("from_agent", "to_agent", "content"),
    "broadcast": ("from_agent", "content"),
    "inbox": ("agent_id",),
    "drain_inbox": ("agent_id",),
    "status": ("agent_id",),
}

# An agent id that no test uses for anything else.
_PROBE = "\x00probe\x00"


def holder_of(state, key):
    """The holder of the claim stored under `key`, or None.

    A renewal by a non-holder fails without touching anything and names the
    holder, so it reads the claims map without changing it (and without
    reading the clock).
    """
    try:
        state.renew_claim(_PROBE, key)
    except RuntimeError as e:
        (msg,) = e.args
        if msg == "no claim on %s to renew" % key:
            return None
        prefix = _PROBE + " cannot renew a claim held by "
        assert msg.startswith(prefix), msg
        return msg[len(prefix):]
    raise AssertionError("the probe agent renewed a claim on %r" % key)


def broadcast_reach(state, candidates):
    """Which of `candidates` a broadcast reaches, with the copies each got.

    Sends a broadcast and drains the candidates' inboxes, so it changes the
    state: call it last.
    """
    sender = "\x00reach\x00"
    state.broadcast(sender, "reach probe")
    reached = {}
    for agent in candidates:
        copies = sum(1 for m in state.drain_inbox(agent) if m[0] == sender)
        if copies:
            reached[agent] = copies
    return reached


def run_child(code, env=None, timeout=60):
    """Runs `code` in a fresh interpreter of this venv.

    Returns (stdout, stderr); a non-zero exit fails with the child's stderr.
    The timeout also turns a lock left held (a hang) into a failure.
    """
    full_env = dict(os.environ)
    # Keep the caller's path: where no venv is used (an embedded or emulated
    # interpreter), the module itself is found through it.
    full_env["PYTHONPATH"] = os.pathsep.join(
        p for p in (TESTS_DIR, os.environ.get("PYTHONPATH")) if p)
    if env:
        full_env.update(env)
    proc = subprocess.run(
        [sys.executable, "-c", code],
        env=full_env,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        timeout=timeout,
    )
    out = proc.stdout.decode("utf-8", "replace")
    err = proc.stderr.decode("utf-8", "replace")
    if proc.returncode != 0:
        raise AssertionError("child exited with %d\n--- stdout\n%s\n--- stderr\n%s"
                             % (proc.returncode, out, err))
    return out, err


def last_line_value(stdout):
    """The Python literal that a child printed on its last line."""
    import ast

    return ast.literal_eval(stdout.strip().splitlines()[-1])
