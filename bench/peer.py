"""The plain-Python coordination state a user would write instead of the
native module: same nine methods, same results and error texts.

Written the way a competent Python developer would write it, not to lose:
one lock, dicts, deques for inboxes, tuples for records.
"""
import threading
import time
from collections import deque

LEASE_SECS = 300


class CoordinationState:
    def __init__(self):
        self._lock = threading.Lock()
        self._claims = {}  # resource key -> (holder, claimed_at, renewed_at)
        self._statuses = {}  # agent id -> status word; its keys are the known agents
        self._inboxes = {}  # agent id -> deque of (from_agent, to_agent, content, ts)
        self._log = []  # activity records, append-only

    # -- claims -----------------------------------------------------------

    def _claim(self, agent_id, key, name, what):
        now = int(time.time())
        with self._lock:
            held = self._claims.get(key)
            if held is not None and now - max(held[1], held[2]) < LEASE_SECS:
                raise RuntimeError(f"{held[0]} already holds claim on {what}{name}")
            self._claims[key] = (agent_id, now, now)
            self._statuses[agent_id] = "busy"
            self._log.append(("claimed", agent_id, key, now))
            if held is not None:  # took over an expired claim
                self._log.append(("released", held[0], key, now))
        return agent_id

    def claim_file(self, agent_id, path):
        return self._claim(agent_id, "file:" + path, path, "")

    def claim_task(self, agent_id, task_id):
        return self._claim(agent_id, "task:" + task_id, task_id, "task ")

    def renew_claim(self, agent_id, resource_key):
        now = int(time.time())
        with self._lock:
            held = self._claims.get(resource_key)
            if held is None:
                raise RuntimeError(f"no claim on {resource_key} to renew")
            if held[0] != agent_id:
                raise RuntimeError(f"{agent_id} cannot renew a claim held by {held[0]}")
            self._claims[resource_key] = (held[0], now, now)
        return held[0]

    def release(self, agent_id, resource_key):
        with self._lock:
            held = self._claims.get(resource_key)
            if held is None:
                raise RuntimeError(f"no claim found for {agent_id}")
            if held[0] != agent_id:
                raise RuntimeError(f"{agent_id} cannot release a claim held by {held[0]}")
            del self._claims[resource_key]
            self._statuses[agent_id] = "idle"
            self._log.append(("released", agent_id, resource_key, int(time.time())))

    # -- messaging --------------------------------------------------------

    def send_message(self, from_agent, to_agent, content):
        now = int(time.time())
        msg = (from_agent, to_agent, content, now)
        with self._lock:
            inbox = self._inboxes.get(to_agent)
            if inbox is None:
                inbox = self._inboxes[to_agent] = deque()
            inbox.append(msg)
            self._statuses.setdefault(to_agent, "idle")
            self._log.append(("sent", from_agent, to_agent, content, now))
        return msg

    def broadcast(self, from_agent, content):
        now = int(time.time())
        msg = (from_agent, None, content, now)  # tuples are immutable: one serves every inbox
        with self._lock:
            self._statuses.setdefault(from_agent, "idle")
            inboxes = self._inboxes
            for agent in self._statuses:
                inbox = inboxes.get(agent)
                if inbox is None:
                    inbox = inboxes[agent] = deque()
                inbox.append(msg)
            self._log.append(("broadcast", from_agent, content, now))
        return (from_agent, "*", content, now)

    def inbox(self, agent_id):
        with self._lock:
            inbox = self._inboxes.get(agent_id)
            if inbox is None:
                inbox = self._inboxes[agent_id] = deque()
            return [(m[0], agent_id, m[2], m[3]) for m in inbox]

    def drain_inbox(self, agent_id):
        with self._lock:
            inbox = self._inboxes.get(agent_id)
            if inbox is None:
                self._inboxes[agent_id] = deque()
                return []
            out = [(m[0], agent_id, m[2], m[3]) for m in inbox]
            inbox.clear()
            return out

    # -- status -----------------------------------------------------------

    def status(self, agent_id):
        with self._lock:
            return self._statuses.get(agent_id, "idle")
