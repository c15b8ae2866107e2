"""Real `halvex-mcp` server processes, and worker bodies that drive them from
spawned processes through the MCP SDK's client.

Kept free of pytest imports: spawned workers and the benchmark use it too.
"""

import os
import random
import re
import signal
import subprocess
import sys
import threading
import time

from _redis import _die_with_parent

KEYS = ["file:k0", "file:k1", "file:k2"]
BOXES = ["box0", "box1"]  # inboxes that every worker sends to and drains


def command():
    """The installed console script, or the module where there is none."""
    script = os.path.join(os.path.dirname(sys.executable), "halvex-mcp")
    return [script] if os.path.exists(script) else [sys.executable, "-m", "halvex_mcp"]


def environ(**extra):
    env = {k: v for k, v in os.environ.items() if k != "HALVEX_MCP_TOKEN"}
    env.update(extra)
    return env


class HttpServer(object):
    """`halvex-mcp --http 127.0.0.1:0 ARGS...`, up once it logs its URL."""

    def __init__(self, *args, env=None, timeout=30.0):
        self.proc = subprocess.Popen(
            command() + ["--http", "127.0.0.1:0"] + list(args), env=env or environ(),
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
            preexec_fn=_die_with_parent)
        self.log = []
        self._ready = threading.Event()
        self.url = None
        threading.Thread(target=self._read_log, daemon=True).start()
        if not self._ready.wait(timeout) or self.url is None:
            self.stop()
            raise RuntimeError("halvex-mcp did not start:\n" + "".join(self.log))

    def _read_log(self):
        for raw in self.proc.stderr:
            line = raw.decode("utf-8", "replace")
            self.log.append(line)
            found = re.search(r"serving MCP on (http://\S+)", line)
            if found:
                self.url = found.group(1)
                self._ready.set()
        self._ready.set()

    @property
    def origin(self):
        return self.url[:-len("/mcp")]

    def stop(self, sig=signal.SIGTERM, timeout=15):
        """Sends `sig` and returns the exit status."""
        if self.proc.poll() is None:
            self.proc.send_signal(sig)
        try:
            return self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait(10)
            raise

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()


def race(url, index, rounds, marker_dir, barrier):
    """Claims, sends and drains in a random mix against a shared server.

    A claimed key is also marked by creating a file exclusively: two live
    holders of one key would show as a failed creation (an overlap).
    Each drain records its monotonic start and end, so that the test can
    order batches that did not overlap in time.
    """
    from halvex_mcp.client import RemoteState

    me = "w%d" % index
    rng = random.Random(index)
    sent = {box: [] for box in BOXES}
    batches = []  # (box, started, ended, [(sender, seq)])
    grants = refusals = overlaps = 0
    seq = 0
    with RemoteState(url) as state:
        barrier.wait(120)
        for _ in range(rounds):
            roll = rng.random()
            if roll < 0.4:
                key = rng.choice(KEYS)
                try:
                    state.claim_file(me, key[len("file:"):])
                except RuntimeError:
                    refusals += 1
                    continue
                grants += 1
                marker = os.path.join(marker_dir, key.replace(":", "-"))
                try:
                    os.close(os.open(marker, os.O_CREAT | os.O_EXCL | os.O_WRONLY))
                except FileExistsError:
                    overlaps += 1
                else:
                    state.renew_claim(me, key)  # hold it a little while
                    os.unlink(marker)
                state.release(me, key)
            elif roll < 0.75:
                seq += 1
                box = rng.choice(BOXES)
                state.send_message(me, box, "%s:%d" % (me, seq))
                sent[box].append(seq)
            else:
                box = rng.choice(BOXES)
                started = time.monotonic()
                got = state.drain_inbox(box)
                batches.append((box, started, time.monotonic(), parse(got)))
    return {"agent": me, "sent": sent, "batches": batches, "grants": grants,
            "refusals": refusals, "overlaps": overlaps}


def parse(messages):
    out = []
    for _sender, _owner, content, _stamp in messages:
        who, seq = content.split(":")
        out.append((who, int(seq)))
    return out

