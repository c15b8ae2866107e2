"""Throwaway redis-server processes for the tests, the demo and the benchmark.

Kept free of pytest imports so that spawned worker processes and scripts can
use it. A server listens on a free 127.0.0.1 port, keeps its files in its
own temporary directory and is stopped (and the directory removed) by stop().
"""

import ctypes.util
import glob
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time


def server_binary():
    # Test servers are POSIX processes tied to their parent; a Windows
    # interpreter (under Wine) may see the Linux binary but cannot run it so.
    if os.name != "posix":
        return None
    return shutil.which("redis-server")


def client_available():
    try:
        import redis  # noqa: F401
    except ImportError:
        return False
    return True


def _elf_machine(path):
    try:
        with open(path, "rb") as f:
            header = f.read(20)
    except OSError:
        return None
    return header[18:20] if header[:4] == b"\x7fELF" else None


def libfaketime():
    """Path of a libfaketime.so.1 built for the redis-server's machine; None if absent.

    Several architectures' copies may be installed side by side, so the
    candidates are matched to the server binary's ELF machine field.
    """
    patterns = ["/usr/lib/*/faketime/libfaketime.so.1", "/usr/lib*/faketime/libfaketime.so.1",
                "/usr/local/lib*/faketime/libfaketime.so.1", "/usr/local/lib*/libfaketime.so.1"]
    binary = server_binary()
    want = _elf_machine(os.path.realpath(binary)) if binary else None
    for pattern in patterns:
        for found in sorted(glob.glob(pattern)):
            if want is not None and _elf_machine(found) == want:
                return found
    return None


def _die_with_parent():
    """In the child before exec: on Linux, ask for SIGTERM when the parent dies,
    so that a test run killed from outside leaves no server behind."""
    if sys.platform.startswith("linux"):
        libc = ctypes.CDLL(None, use_errno=True)
        libc.prctl(1, signal.SIGTERM)  # PR_SET_PDEATHSIG


def free_port(cluster=False):
    """A free loopback port; for a cluster node one at most 55535 whose bus
    port (10000 higher) is free too."""
    import random

    while True:
        port = random.randint(20000, 55535) if cluster else 0
        try:
            with socket.socket() as a, socket.socket() as b:
                a.bind(("127.0.0.1", port))
                if cluster:
                    b.bind(("127.0.0.1", port + 10000))
                return a.getsockname()[1]
        except OSError:
            continue


def clock_text(epoch):
    return time.strftime("%Y-%m-%d %H:%M:%S", time.gmtime(epoch))


class RedisServer(object):
    """One redis-server; `aof` turns on the append-only file with the given fsync policy.

    With `frozen_clock` set, the server runs under libfaketime with its wall
    clock frozen at that second until set_clock() moves it (the same
    frozen-timestamp-file technique as the in-process clock tests).
    """

    def __init__(self, aof=None, frozen_clock=None, extra=()):
        self.dir = tempfile.mkdtemp(prefix="halvex-redis-")
        self.extra = list(extra)
        self.port = free_port(cluster="--cluster-enabled" in self.extra)
        self.url = "redis://127.0.0.1:%d/0" % self.port
        self.aof = aof
        self.clock_file = None
        self.env = dict(os.environ)
        if frozen_clock is not None:
            lib = libfaketime()
            if lib is None:
                raise RuntimeError("libfaketime is not installed")
            self.clock_file = os.path.join(self.dir, "clock")
            with open(self.clock_file, "w") as f:
                f.write(clock_text(frozen_clock) + "\n")
            # libfaketime and jemalloc (Debian's redis-server uses it) deadlock
            # while starting up; putting the C library right behind
            # libfaketime lets its malloc serve the server instead.
            libc = ctypes.util.find_library("c") or "libc.so.6"
            self.env.update({"LD_PRELOAD": lib + ":" + libc,
                             "FAKETIME_TIMESTAMP_FILE": self.clock_file,
                             "FAKETIME_NO_CACHE": "1", "DONT_FAKE_MONOTONIC": "1", "TZ": "UTC"})
        self.proc = None
        self._client = None
        self.start()

    def start(self, timeout=10.0):
        args = [server_binary(), "--port", str(self.port), "--bind", "127.0.0.1",
                "--dir", self.dir, "--save", "", "--logfile", "server.log",
                "--protected-mode", "yes"]
        if self.aof:
            args += ["--appendonly", "yes", "--appendfsync", self.aof]
        else:
            args += ["--appendonly", "no"]
        args += self.extra
        self.proc = subprocess.Popen(args, env=self.env, cwd=self.dir,
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                     preexec_fn=_die_with_parent)
        deadline = time.monotonic() + timeout
        while True:
            if self.proc.poll() is not None:
                raise RuntimeError("redis-server exited with %s; log: %s"
                                   % (self.proc.returncode, self.log_tail()))
            if self._ping():
                return
            if time.monotonic() > deadline:
                self.stop()
                raise RuntimeError("redis-server did not answer within %ss" % timeout)
            time.sleep(0.02)

    def _ping(self):
        try:
            with socket.create_connection(("127.0.0.1", self.port), timeout=1) as s:
                s.sendall(b"PING\r\n")
                return s.recv(64).startswith(b"+PONG")
        except OSError:
            return False

    def log_tail(self):
        try:
            with open(os.path.join(self.dir, "server.log")) as f:
                return "".join(f.readlines()[-15:])
        except OSError:
            return "(no log)"

    def kill9(self):
        self.proc.kill()
        self.proc.wait(10)

    def stop(self):
        if self.proc is not None and self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait(10)

    def close(self):
        self.stop()
        shutil.rmtree(self.dir, ignore_errors=True)

    def set_clock(self, epoch):
        """Moves the frozen server clock to `epoch` and checks that TIME agrees."""
        import redis

        with open(self.clock_file, "w") as f:
            f.write(clock_text(epoch) + "\n")
        if self._client is None:
            self._client = redis.Redis.from_url(self.url)
        seconds, _micros = self._client.time()
        assert seconds == epoch, (seconds, epoch)


def redis_cli():
    return shutil.which("redis-cli")


class Cluster(object):
    """Three cluster-enabled redis-servers on loopback, joined by redis-cli."""

    def __init__(self):
        import redis

        self.nodes = [RedisServer(extra=["--cluster-enabled", "yes"]) for _ in range(3)]
        try:
            subprocess.run([redis_cli(), "--cluster", "create", "--cluster-yes"]
                           + ["127.0.0.1:%d" % n.port for n in self.nodes],
                           check=True, stdout=subprocess.DEVNULL, timeout=60)
            self.clients = [redis.Redis(port=n.port) for n in self.nodes]
            self.ids = [c.execute_command("CLUSTER", "MYID") for c in self.clients]
            deadline = time.monotonic() + 30
            while not all(c.cluster("info")["cluster_state"] == "ok" for c in self.clients):
                assert time.monotonic() < deadline, "the cluster did not come up"
                time.sleep(0.1)
        except BaseException:
            self.close()
            raise
        self.url = "redis://127.0.0.1:%d/0?cluster=yes" % self.nodes[0].port

    def owner(self, slot):
        """Index of the node serving `slot`."""
        for start, end, primary, *_ in self.clients[0].execute_command("CLUSTER", "SLOTS"):
            if start <= slot <= end:
                return [n.port for n in self.nodes].index(primary[1])

    def move_slot(self, slot, to, pause=0.0):
        """Moves `slot` to node `to` two keys at a time, as a resharding does,
        sleeping `pause` in between so that calls run while the slot is split."""
        src = self.owner(slot)
        source, target = self.clients[src], self.clients[to]
        if src == to:
            return
        target.execute_command("CLUSTER", "SETSLOT", slot, "IMPORTING", self.ids[src])
        source.execute_command("CLUSTER", "SETSLOT", slot, "MIGRATING", self.ids[to])
        while True:
            keys = source.execute_command("CLUSTER", "GETKEYSINSLOT", slot, 2)
            if not keys:
                break
            source.execute_command("MIGRATE", "127.0.0.1", self.nodes[to].port, "", 0, 5000,
                                   "KEYS", *keys)
            time.sleep(pause)
        for c in [target, source] + self.clients:
            c.execute_command("CLUSTER", "SETSLOT", slot, "NODE", self.ids[to])

    def close(self):
        for n in self.nodes:
            n.close()


class DroppingProxy(object):
    """A TCP proxy on loopback that forwards every request to `port` and drops
    a fraction `rate` of the scripts' replies after the server ran them: it
    closes the client's connection instead of passing the reply on. (Replies
    to the client's connection handshake always pass.)"""

    def __init__(self, port, rate, seed=1):
        import random
        import threading

        self.target, self.rate, self.random = port, rate, random.Random(seed)
        self.dropped = 0
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.port = self.listener.getsockname()[1]
        self.url = "redis://127.0.0.1:%d/0" % self.port
        self.threads = threading
        self.closed = False
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        while True:
            try:
                client, _ = self.listener.accept()
            except OSError:
                return
            self.threads.Thread(target=self._pipe, args=(client,), daemon=True).start()

    def _pipe(self, client):
        import select

        armed = False  # the next reply answers a script call
        try:
            with client, socket.create_connection(("127.0.0.1", self.target)) as server:
                while not self.closed:
                    for s in select.select([client, server], [], [], 0.5)[0]:
                        data = s.recv(1 << 16)
                        if not data:
                            return
                        if s is client:
                            armed = armed or b"\r\nEVAL" in data
                            server.sendall(data)
                        elif armed and self.random.random() < self.rate:
                            self.dropped += 1
                            return
                        else:
                            armed = False
                            client.sendall(data)
        except OSError:
            pass

    def close(self):
        self.closed = True
        self.listener.close()


class SentinelGroup(object):
    """A primary, its replica and one sentinel that watches them as `service`."""

    def __init__(self, service="halvex"):
        import redis

        self.service = service
        self.primary = RedisServer()
        self.replica = RedisServer(extra=["--replicaof", "127.0.0.1", str(self.primary.port)])
        self.port = free_port()
        self.dir = tempfile.mkdtemp(prefix="halvex-sentinel-")
        self.url = "redis://127.0.0.1:%d/0?sentinel=%s" % (self.port, service)
        conf = os.path.join(self.dir, "sentinel.conf")
        with open(conf, "w") as f:
            f.write("port %d\nbind 127.0.0.1\ndir %s\n" % (self.port, self.dir)
                    + "sentinel monitor %s 127.0.0.1 %d 1\n" % (service, self.primary.port)
                    + "sentinel down-after-milliseconds %s 1000\n" % service
                    + "sentinel failover-timeout %s 5000\n" % service)
        self.proc = subprocess.Popen([server_binary(), conf, "--sentinel"], cwd=self.dir,
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                     preexec_fn=_die_with_parent)
        try:
            self.client = redis.Redis(port=self.port, socket_timeout=2)
            deadline = time.monotonic() + 30
            while True:  # up, and aware of the replica (so it can fail over)
                try:
                    if self.client.execute_command("SENTINEL", "REPLICAS", service):
                        break
                except redis.exceptions.RedisError:
                    pass
                assert time.monotonic() < deadline, "the sentinel did not come up"
                time.sleep(0.1)
        except BaseException:
            self.close()
            raise

    def in_sync(self, timeout=30):
        """Waits until the replica has every write of the primary."""
        import redis

        primary, replica = (redis.Redis(port=n.port) for n in (self.primary, self.replica))
        deadline = time.monotonic() + timeout
        while True:
            info = replica.info("replication")
            if (info.get("master_link_status") == "up" and info.get("slave_repl_offset")
                    == primary.info("replication")["master_repl_offset"]):
                return
            assert time.monotonic() < deadline, "the replica did not catch up"
            time.sleep(0.05)

    def role(self, server):
        import redis

        return redis.Redis(port=server.port).info("replication")["role"]

    def primary_port(self):
        return int(self.client.execute_command("SENTINEL", "GET-MASTER-ADDR-BY-NAME",
                                               self.service)[1])

    def fail_over(self):
        self.client.execute_command("SENTINEL", "FAILOVER", self.service)

    def close(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            self.proc.wait(10)
        self.primary.close()
        self.replica.close()
        shutil.rmtree(self.dir, ignore_errors=True)
