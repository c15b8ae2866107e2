"""Real `halvex-mcp --http` processes, and a worker body that drives one from
a spawned process through the MCP SDK's client. Free of pytest imports: the
workers and the benchmark use it too."""

import atexit
import itertools
import os
import random
import re
import signal
import shutil
import subprocess
import sys
import tempfile
import threading
import time

from _redis import _die_with_parent

KEYS = ["file:k0", "file:k1", "file:k2"]
BOXES = ["box0", "box1"]  # inboxes that every worker sends to and drains


def command():
    """The installed console script, or the module where there is none."""
    script = os.path.join(os.path.dirname(sys.executable), "halvex-mcp")
    return [script] if os.path.exists(script) else [sys.executable, "-m", "halvex_mcp"]


_states = []  # the folder of the servers' state files, made at first use


def environ(**extra):
    """The environment for a server: no token, and a state file of its own
    (HALVEX_STATE, a new file in a temporary folder), so that no test writes
    into the repository's state and each server starts from an empty one."""
    if not _states:
        _states.append(tempfile.mkdtemp(prefix="halvex-mcp-tests-"))
        atexit.register(shutil.rmtree, _states[0], True)
    env = {k: v for k, v in os.environ.items() if k != "HALVEX_MCP_TOKEN"}
    env["HALVEX_STATE"] = os.path.join(_states[0], "state-%d.db" % next(_state_ids))
    env.update(extra)
    return env


_state_ids = itertools.count()


class HttpServer(object):
    """`halvex-mcp --http 127.0.0.1:0 ARGS...`, ready once it has logged its URL."""

    def __init__(self, *args, env=None, files=None):
        def prepare():
            _die_with_parent()
            if files is not None:  # a file-descriptor limit of `files`
                import resource

                resource.setrlimit(resource.RLIMIT_NOFILE, (files, files))

        self.proc = subprocess.Popen(command() + ["--http", "127.0.0.1:0"] + list(args),
                                     env=env or environ(), stdin=subprocess.DEVNULL,
                                     stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                                     preexec_fn=prepare)
        self.log, self.url, self.port, ready = [], None, None, threading.Event()

        def read_log():
            for line in self.proc.stderr:
                self.log.append(line.decode("utf-8", "replace"))
                found = re.search(r"serving MCP on (http://\S+)", self.log[-1])
                if found:
                    self.url = found.group(1)
                    self.port = int(self.url.rsplit(":", 1)[1].split("/")[0])
                    ready.set()
            ready.set()

        threading.Thread(target=read_log, daemon=True).start()
        if not ready.wait(30) or self.url is None:
            self.stop()
            raise RuntimeError("halvex-mcp did not start:\n" + "".join(self.log))

    def stop(self, sig=signal.SIGTERM, timeout=15):
        """Sends `sig` (once) and returns the exit status."""
        if self.proc.poll() is None:
            self.proc.send_signal(sig)
        return self.proc.wait(timeout)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        # A stop first: a --memory server removes its private folder then.
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
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


ACCEPT = {"Accept": "application/json, text/event-stream", "Content-Type": "application/json"}
INITIALIZE = {"jsonrpc": "2.0", "id": 0, "method": "initialize",
              "params": {"protocolVersion": "2025-06-18", "capabilities": {},
                         "clientInfo": {"name": "raw", "version": "1"}}}


def raw_session(http, url, **headers):
    """A session opened with plain HTTP requests (httpx2): its headers for later requests."""
    reply = http.post(url, json=INITIALIZE, headers=dict(ACCEPT, **headers))
    assert reply.status_code == 200, reply.text
    session = dict(ACCEPT, **headers)
    session.update({"mcp-session-id": reply.headers["mcp-session-id"],
                    "mcp-protocol-version": "2025-06-18"})
    http.post(url, json={"jsonrpc": "2.0", "method": "notifications/initialized"},
              headers=session)
    return session


def post_and_hang_up(port, headers, message):
    """POSTs one JSON-RPC message on a raw socket and closes it without reading the reply."""
    import json
    import socket

    body = json.dumps(message).encode()
    head = "".join("%s: %s\r\n" % kv for kv in headers.items())
    with socket.create_connection(("127.0.0.1", port), timeout=10) as sock:
        sock.sendall(("POST /mcp HTTP/1.1\r\nHost: 127.0.0.1:%d\r\n%sContent-Length: %d\r\n\r\n"
                      % (port, head, len(body))).encode() + body)
        time.sleep(0.5)  # the server has answered; closing with the reply unread resets it


def call(name, ident, **arguments):
    return {"jsonrpc": "2.0", "id": ident, "method": "tools/call",
            "params": {"name": name, "arguments": arguments}}


def structured(reply):
    """The structured content of a tools/call reply read over plain HTTP (one SSE event)."""
    import json

    data = [line[5:] for line in reply.text.splitlines() if line.startswith("data:")]
    return json.loads(data[-1])["result"]["structuredContent"]
