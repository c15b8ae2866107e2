"""The Redis-backed coordination state a user would write with redis-py by
hand: same nine methods, results and error texts as halvex_redis.

Plain commands, WATCH/MULTI for the read-modify-write of claims, a list per
inbox, JSON for messages and the client's clock for timestamps.
"""

import json
import time

import redis
from halvex_types import LEASE_SECS


class CoordinationState:
    def __init__(self, client, namespace):
        self.r = client
        self.p = "peer:{%s}:" % namespace

    # -- claims -----------------------------------------------------------

    def _watched(self, ckey, decide):
        """GET the claim under WATCH; decide(pipe, stored) raises or queues the
        writes after pipe.multi(); start again if another client wrote first."""
        with self.r.pipeline() as pipe:
            while True:
                try:
                    pipe.watch(ckey)
                    decide(pipe, pipe.get(ckey))
                    pipe.execute()
                    return
                except redis.WatchError:
                    continue

    def _claim(self, agent_id, key, name, what):
        def grant(pipe, held):
            now = int(time.time())
            previous = None
            if held is not None:
                at, holder = held.decode().split(":", 1)
                if now - int(at) < LEASE_SECS:
                    raise RuntimeError(f"{holder} already holds claim on {what}{name}")
                previous = holder
            pipe.multi()
            pipe.set(ckey, f"{now}:{agent_id}")
            pipe.hset(self.p + "status", agent_id, "busy")
            pipe.xadd(self.p + "log", {"kind": "claimed", "agent": agent_id, "key": key})
            if previous is not None:
                pipe.xadd(self.p + "log", {"kind": "released", "agent": previous, "key": key})

        ckey = self.p + "claim:" + key
        self._watched(ckey, grant)
        return agent_id

    def claim_file(self, agent_id, path):
        return self._claim(agent_id, "file:" + path, path, "")

    def claim_task(self, agent_id, task_id):
        return self._claim(agent_id, "task:" + task_id, task_id, "task ")

    def _holder_only(self, agent_id, resource_key, missing, verb, then):
        def check(pipe, held):
            if held is None:
                raise RuntimeError(missing)
            holder = held.decode().split(":", 1)[1]
            if holder != agent_id:
                raise RuntimeError(f"{agent_id} cannot {verb} a claim held by {holder}")
            pipe.multi()
            then(pipe, ckey)

        ckey = self.p + "claim:" + resource_key
        self._watched(ckey, check)
        return agent_id

    def renew_claim(self, agent_id, resource_key):
        def renew(pipe, ckey):
            pipe.set(ckey, f"{int(time.time())}:{agent_id}")

        return self._holder_only(agent_id, resource_key,
                                 f"no claim on {resource_key} to renew", "renew", renew)

    def release(self, agent_id, resource_key):
        def release(pipe, ckey):
            pipe.delete(ckey)
            pipe.hset(self.p + "status", agent_id, "idle")
            pipe.xadd(self.p + "log", {"kind": "released", "agent": agent_id, "key": resource_key})

        self._holder_only(agent_id, resource_key, f"no claim found for {agent_id}",
                          "release", release)

    # -- messages ---------------------------------------------------------

    def send_message(self, from_agent, to_agent, content):
        now = int(time.time())
        pipe = self.r.pipeline()
        pipe.rpush(self.p + "inbox:" + to_agent, json.dumps([from_agent, content, now]))
        pipe.hsetnx(self.p + "status", to_agent, "idle")
        pipe.xadd(self.p + "log", {"kind": "sent", "from": from_agent, "to": to_agent,
                                   "content": content})
        pipe.execute()
        return (from_agent, to_agent, content, now)

    def broadcast(self, from_agent, content):
        now = int(time.time())
        pipe = self.r.pipeline()
        pipe.hsetnx(self.p + "status", from_agent, "idle")
        pipe.hkeys(self.p + "status")
        _, agents = pipe.execute()
        message = json.dumps([from_agent, content, now])
        pipe = self.r.pipeline()
        for agent in agents:
            pipe.rpush(self.p.encode() + b"inbox:" + agent, message)
        pipe.xadd(self.p + "log", {"kind": "broadcast", "from": from_agent, "content": content})
        pipe.execute()
        return (from_agent, "*", content, now)

    def _listed(self, agent_id, raw):
        out = []
        for item in raw:
            sender, content, ts = json.loads(item)
            out.append((sender, agent_id, content, ts))
        return out

    def inbox(self, agent_id):
        return self._listed(agent_id, self.r.lrange(self.p + "inbox:" + agent_id, 0, -1))

    def drain_inbox(self, agent_id):
        pipe = self.r.pipeline()
        pipe.lrange(self.p + "inbox:" + agent_id, 0, -1)
        pipe.delete(self.p + "inbox:" + agent_id)
        raw, _ = pipe.execute()
        return self._listed(agent_id, raw)

    def status(self, agent_id):
        word = self.r.hget(self.p + "status", agent_id)
        return "idle" if word is None else word.decode()
