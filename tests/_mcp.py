"""Real `halvex-mcp --http` processes, and a worker body that drives one from
a spawned process through the MCP SDK's client. Free of pytest imports: the
workers and the benchmark use it too."""

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
    """`halvex-mcp --http 127.0.0.1:0 ARGS...`, ready once it has logged its URL."""

    def __init__(self, *args, env=None):
        self.proc = subprocess.Popen(command() + ["--http", "127.0.0.1:0"] + list(args),
                                     env=env or environ(), stdin=subprocess.DEVNULL,
                                     stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                                     preexec_fn=_die_with_parent)
        self.log, self.url, ready = [], None, threading.Event()

        def read_log():
            for line in self.proc.stderr:
                self.log.append(line.decode("utf-8", "replace"))
                found = re.search(r"serving MCP on (http://\S+)", self.log[-1])
                if found:
                    self.url = found.group(1)
                    ready.set()
            ready.set()

        threading.Thread(target=read_log, daemon=True).start()
        if not ready.wait(30) or self.url is None:
            self.stop()
            raise RuntimeError("halvex-mcp did not start:\n" + "".join(self.log))

    def stop(self, sig=signal.SIGTERM):
        """Sends `sig` (once) and returns the exit status."""
        if self.proc.poll() is None:
            self.proc.send_signal(sig)
        return self.proc.wait(15)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        if self.proc.poll() is None:
            self.proc.kill()
        self.proc.wait(15)


def race(url, index, rounds, marker_dir, barrier):
    """Claims, sends and drains in a random mix. A granted claim also creates
    its key's marker file exclusively: a second live holder would fail to (an
    overlap). Each drain records its monotonic start and end."""
    from halvex_mcp.client import RemoteState

    me, rng, seq = "w%d" % index, random.Random(index), 0
    out = {"agent": me, "sent": {box: [] for box in BOXES}, "batches": [],
           "grants": 0, "refusals": 0, "overlaps": 0}
    with RemoteState(url) as state:
        barrier.wait(120)
        for _ in range(rounds):
            roll, key, box = rng.random(), rng.choice(KEYS), rng.choice(BOXES)
            if roll < 0.4:
                try:
                    state.claim_file(me, key[len("file:"):])
                except RuntimeError:
                    out["refusals"] += 1
                    continue
                out["grants"] += 1
                marker = os.path.join(marker_dir, key.replace(":", "-"))
                try:
                    os.close(os.open(marker, os.O_CREAT | os.O_EXCL | os.O_WRONLY))
                except FileExistsError:
                    out["overlaps"] += 1
                else:
                    state.renew_claim(me, key)  # hold it a little while
                    os.unlink(marker)
                state.release(me, key)
            elif roll < 0.75:
                seq += 1
                state.send_message(me, box, "%s:%d" % (me, seq))
                out["sent"][box].append(seq)
            else:
                started = time.monotonic()
                got = parse(state.drain_inbox(box))
                out["batches"].append((box, started, time.monotonic(), got))
    return out


def parse(messages):
    """(sender, sequence number) of each drained message."""
    return [(content.split(":")[0], int(content.split(":")[1])) for _f, _t, content, _s in messages]
