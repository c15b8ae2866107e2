"""A plan per method: the requests it sends (scripts, a wait on a wake list,
a plain read) and the decoding of their replies into the method's result.
A plan is a generator that yields requests and returns the result; `PLANS`
gives each method of halvex_types' table its plan and the fixed values the
plan takes first."""
from __future__ import annotations

import json
import math
import time
import uuid
from typing import Any, Callable, Generator, Generic, Sequence, Union

from halvex_types import (
    LEASE_SECS,
    METHODS,
    AgentInfo,
    Batch,
    Lease,
    Message,
    Next,
    Task,
    arguments,
)
from halvex_types import check_lease as lease_check
from halvex_types import tasks as texts
from halvex_types.methods import held_refusal

from ._calls import (
    _CHECKS,
    ACKNOWLEDGE_LUA,
    ADD_TASK_LUA,
    AGENTS_ALONE_LUA,
    AGENTS_LUA,
    BROADCAST_LUA,
    CLAIM_LUA,
    CLAIM_MANY_LUA,
    CLAIM_NEXT_LUA,
    CODES,
    CONFIRM_LUA,
    DELETE_LUA,
    DELETE_REST_LUA,
    DRAIN_BATCH_LUA,
    DRAIN_LUA,
    FINISH_TASK_LUA,
    HELD,
    INBOX_ALONE_LUA,
    INBOX_BATCH_ALONE_LUA,
    INBOX_BATCH_LUA,
    INBOX_LUA,
    LEASE_ALONE_LUA,
    LEASE_LUA,
    LEASE_MANY_ALONE_LUA,
    LEASE_MANY_LUA,
    LEASES_ALONE_LUA,
    LEASES_LUA,
    NO_AGENTS,
    NO_CLAIM,
    RELEASE_ALL_LUA,
    RELEASE_LUA,
    RENEW_LUA,
    RESET_TASK_LUA,
    SEND_LUA,
    STALE,
    STATUS_ALONE_LUA,
    STATUS_LUA,
    TASKS_ALONE_LUA,
    TASKS_LUA,
    WAIT_BATCH_LUA,
    WAIT_LUA,
    WORDS,
    Block,
    Command,
    Keys,
    Request,
    Session,
    T,
    Text,
    clock_fault,
    text,
)

Plan = Generator[Union[Request, Block, Command], Any, T]


def log_entry(entry_id: bytes, fields: dict[bytes, bytes]) -> dict[str, Any]:
    """One activity-log entry as text fields, its stream id under "id" and its
    "at" second as an int (what the `halvex` command and the board show)."""
    out: dict[str, Any] = {"id": entry_id.decode("ascii")}
    for name, value in fields.items():
        key, text = name.decode("utf-8", "replace"), value.decode("utf-8", "replace")
        out[key] = int(text) if key == "at" and text.lstrip("-").isdigit() else text
    return out


def messages(owner: str, raw: list[bytes]) -> list[Message]:
    out = []
    for item in raw:
        stamp, length, rest = item.split(b",", 2)
        n = int(length)
        out.append((rest[:n].decode("utf-8"), owner, rest[n:].decode("utf-8"), int(stamp)))
    return out


def claim(session: Session, prefix: bytes, method: str, param: str, agent: Text,
          name: Text) -> Plan[str]:
    keys = session.keys
    reply = yield Request(CLAIM_LUA, (keys.claims, keys.status, keys.log, keys.joined,
                                      keys.tokens, keys.floor, keys.seen),
                          (agent[1], prefix + name[1], session.log_limit))
    clock_fault(reply)
    if reply[1] == HELD:
        raise METHODS[method].refusal("held", holder=reply[2].decode("utf-8"),
                                      **{param: name[0]})
    return agent[0]


def claim_many(session: Session, agent: Text, keys_given: list[Text]) -> Plan[list[Lease]]:
    if not keys_given:
        return []
    keys = session.keys
    reply = yield Request(CLAIM_MANY_LUA, (keys.claims, keys.status, keys.log, keys.joined,
                                           keys.tokens, keys.floor, keys.seen),
                          (agent[1], session.log_limit, *[k[1] for k in keys_given]))
    clock_fault(reply)
    if reply[1] == HELD:
        place, _, holder = reply[2].partition(b":")
        raise held_refusal(keys_given[int(place) - 1][0], holder.decode("utf-8"))
    stamp, _, tokens = reply[2].partition(b" ")
    now = int(stamp)
    return [Lease(key[0], agent[0], int(token), now, now, now + LEASE_SECS, True)
            for key, token in zip(keys_given, tokens.split(b","))]


def _holder_only(reply: Sequence[Any], method: str, agent: str, key: str) -> None:
    clock_fault(reply)
    if reply[1] == NO_CLAIM:
        raise METHODS[method].refusal("missing", agent_id=agent, resource_key=key)
    if reply[1] == HELD:
        raise METHODS[method].refusal("held", agent_id=agent, resource_key=key,
                                      holder=reply[2].decode("utf-8"))


def renew(session: Session, agent: Text, key: Text) -> Plan[str]:
    keys = session.keys
    reply = yield Request(RENEW_LUA, (keys.claims, keys.seen), (agent[1], key[1]))
    _holder_only(reply, "renew_claim", agent[0], key[0])
    return agent[0]


def release(session: Session, agent: Text, key: Text) -> Plan[None]:
    keys = session.keys
    reply = yield Request(RELEASE_LUA, (keys.claims, keys.status, keys.log, keys.seen),
                          (agent[1], key[1], session.log_limit))
    _holder_only(reply, "release", agent[0], key[0])


def send(session: Session, sender: Text, to: Text, content: Text) -> Plan[Message]:
    keys = session.keys
    reply = yield Request(SEND_LUA, (keys.status, keys.log, keys.inbox + to[1], keys.joined,
                                 keys.owed, keys.seen, keys.waiting, keys.wake + to[1]),
                          (sender[1], to[1], content[1], session.log_limit))
    clock_fault(reply)
    return (sender[0], to[0], content[0], int(reply[2]))


def broadcast(session: Session, sender: Text, content: Text) -> Plan[Message]:
    keys = session.keys
    while True:
        seen = session.agents
        base, known, inboxes, names = seen
        own = sender[1] not in names
        targets = inboxes + [keys.inbox + sender[1]] if own else inboxes
        cut = len(keys.inbox)
        request_keys = [keys.status, keys.log, keys.joined, keys.owed, keys.seen, keys.waiting,
                        *targets, *[keys.wake + t[cut:] for t in targets]]
        reply = yield Request(BROADCAST_LUA, request_keys,
                              (sender[1], content[1], session.log_limit, base, known,
                               b"1" if own else b"0", keys.inbox))
        if reply[1] == STALE:  # a list of a deleted namespace: nothing was sent
            session.all_agents(reply[2], reply[3])
            continue
        clock_fault(reply)
        if len(reply) > 4:  # not a repeated call's stored reply
            session.saw_agents(seen, reply[3], reply[4])
        return (sender[0], "*", content[0], int(reply[2]))


def inbox(session: Session, agent: Text) -> Plan[list[Message]]:
    keys = session.keys
    reply = yield Request(INBOX_LUA, (keys.inbox + agent[1], keys.pending_list + agent[1],
                                      keys.owed, keys.seen), (agent[1],), alone=INBOX_ALONE_LUA)
    return messages(agent[0], reply[3])


def inbox_batch(session: Session, agent: Text, count: int,
                size: int) -> Plan[tuple[list[Message], int]]:
    keys = session.keys
    reply = yield Request(INBOX_BATCH_LUA, (keys.inbox + agent[1], keys.pending_list + agent[1],
                                            keys.owed, keys.seen), (count, size, agent[1]),
                          alone=INBOX_BATCH_ALONE_LUA)
    return messages(agent[0], reply[3]), int(reply[2])


def drain(session: Session, agent: Text) -> Plan[list[Message]]:
    keys = session.keys
    reply = yield Request(DRAIN_LUA, (keys.inbox + agent[1], keys.pending_list + agent[1],
                                      keys.pending, keys.owed, keys.seen), (agent[1], 0, 0, 0),
                          drain_agent=agent[1])
    return messages(agent[0], reply[3])


def drain_batch(session: Session, agent: Text, count: int,
                size: int) -> Plan[tuple[list[Message], int]]:
    keys = session.keys
    reply = yield Request(DRAIN_BATCH_LUA, (keys.inbox + agent[1], keys.pending_list + agent[1],
                                            keys.pending, keys.owed, keys.seen),
                          (agent[1], count, size, 0),
                          drain_agent=agent[1])
    return messages(agent[0], reply[3]), int(reply[2])


def status(session: Session, agent: Text) -> Plan[str]:
    reply = yield Request(STATUS_LUA, (session.keys.status,), (agent[1],), alone=STATUS_ALONE_LUA)
    return WORDS[reply[2] if len(reply) > 2 else None]


def confirm(session: Session) -> Plan[None]:
    if session.owes():
        yield Request(CONFIRM_LUA, (), ())


def delete(session: Session) -> Plan[int]:
    """Deletes every key of the namespace: those of the agents the session
    knows at once, with all the rest but the keys of agents that became
    known since; those in a second call."""
    keys = session.keys
    base, known, _inboxes, names = session.agents

    def of(agents: Sequence[bytes]) -> list[bytes]:
        return [k for a in agents for k in (keys.inbox + a, keys.pending_list + a, keys.wake + a)]

    reply = yield Request(DELETE_LUA, (keys.floor, keys.claims, keys.status, keys.log,
                                   keys.joined, keys.pending, keys.owed, keys.tokens, keys.seen,
                                   keys.waiting, keys.tasks, keys.dependants, keys.ready,
                                   keys.open, keys.open_ids, keys.task_seq, keys.task_waiters,
                                   keys.task_wake, *of(list(names))), (base, known))
    removed = int(reply[2])
    if len(reply) > 3 and reply[3]:
        reply = yield Request(DELETE_REST_LUA, of(reply[3]), ())
        removed += int(reply[2])
    session.agents = NO_AGENTS
    return removed


def wait(session: Session, agent: Text, timeout: float) -> Plan[list[Message]]:
    reply = yield from _waited(session, agent, timeout, 0, 0, False)
    return messages(agent[0], reply[3])


def take_batch(session: Session, agent: Text, count: int, size: int,
               timeout: float) -> Plan[Batch]:
    reply = yield from _waited(session, agent, timeout, count, size, True)
    found = messages(agent[0], reply[3])
    # Other drains' batches wait for their acknowledgement, not for this
    # agent's next drain: what is left for it is the inbox.
    return Batch(found, int(reply[5]), reply[0].decode("ascii") if found else "", int(reply[4]))


def acknowledge(session: Session, agent: Text, ack: Text) -> Plan[int]:
    keys = session.keys
    reply = yield Request(ACKNOWLEDGE_LUA, (keys.pending_list + agent[1], keys.pending),
                          (agent[1], ack[1]))
    return int(reply[2])


def _waited(session: Session, agent: Text, timeout: float, count: int, size: int,
            held: bool) -> Generator[Request | Block, Any, Any]:
    """Drains (at most count messages and size bytes; 0: all); when nothing
    came, blocks on the agent's wake list until an entry comes or the time
    is up, then drains again (a wake-up that finds nothing waits on for the
    rest of the time). Returns the last drain's reply."""
    keys = session.keys
    drain, waits = (DRAIN_BATCH_LUA, WAIT_BATCH_LUA) if count else (DRAIN_LUA, WAIT_LUA)
    drain_keys = (keys.inbox + agent[1], keys.pending_list + agent[1], keys.pending, keys.owed,
                  keys.seen)
    wake = keys.wake + agent[1]
    deadline = time.monotonic() + timeout
    left = timeout
    while True:
        # Registered a little longer than the wait lasts on this side, so a
        # message in its last moments still wakes it; 0: a plain drain.
        register = math.ceil(left) + 1 if left > 0 else 0
        if register:
            request = Request(waits, (*drain_keys, keys.waiting, wake),
                              (agent[1], count, size, register), drain_agent=agent[1], held=held)
        else:
            request = Request(drain, drain_keys, (agent[1], count, size, 0),
                              drain_agent=agent[1], held=held)
        reply = yield request
        if reply[3] or not register:
            return reply
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                left = 0
                break
            if (yield Block(wake, left)) is not None:
                left = max(deadline - time.monotonic(), 0)
                break


def _lease(key: bytes, stored: bytes, entry: bytes | None, now: int) -> Lease:
    renewed_text, _, holder = stored.partition(b":")
    renewed = int(renewed_text)
    token, granted = (int(v) for v in entry.split(b" ")) if entry else (0, renewed)
    # Live by the claims' rule: elapsed time saturates at zero (clock set back).
    return Lease(key.decode("utf-8"), holder.decode("utf-8"), token, granted, renewed,
                 renewed + LEASE_SECS, max(now - renewed, 0) < LEASE_SECS)


def _read_lease(session: Session,
                key: Text) -> Generator[Request, Any, tuple[Lease | None, int]]:
    """The lease under a key, and the server's clock when it was read."""
    keys = session.keys
    reply = yield Request(LEASE_LUA, (keys.claims, keys.tokens), (key[1],),
                          alone=LEASE_ALONE_LUA)
    clock_fault(reply)
    now = int(reply[2])
    if reply[3] is None:
        return None, now
    return _lease(key[1], reply[3], reply[4], now), now


def lease_many(session: Session, keys_given: list[Text]) -> Plan[list[Lease | None]]:
    """Each key's lease, or None, from one read however many keys."""
    keys = session.keys
    found: list[Lease | None] = []
    for start in range(0, len(keys_given), 1000):  # Lua's unpack() has a stack limit
        part = keys_given[start:start + 1000]
        reply = yield Request(LEASE_MANY_LUA, (keys.claims, keys.tokens), [k[1] for k in part],
                              alone=LEASE_MANY_ALONE_LUA)
        clock_fault(reply)
        now = int(reply[2])
        found += [None if stored is None else _lease(key[1], stored, entry, now)
                  for key, stored, entry in zip(part, reply[3], reply[4])]
    return found


def lease(session: Session, key: Text) -> Plan[Lease | None]:
    found, _now = yield from _read_lease(session, key)
    return found


def leases(session: Session, prefix: Text) -> Plan[list[Lease]]:
    keys = session.keys
    reply = yield Request(LEASES_LUA, (keys.claims, keys.tokens), (prefix[1],),
                          alone=LEASES_ALONE_LUA)
    clock_fault(reply)
    now, flat = int(reply[2]), reply[3]
    found = [_lease(flat[i], flat[i + 1], flat[i + 2], now) for i in range(0, len(flat), 3)]
    return sorted(found, key=lambda item: item.resource_key)


def check_lease(session: Session, agent: Text, key: Text, token: int) -> Plan[int]:
    held, now = yield from _read_lease(session, key)
    return lease_check(held, agent[0], key[0], token, now)


def agents(session: Session) -> Plan[list[AgentInfo]]:
    keys = session.keys
    while True:
        base, known, inboxes, _names = session.agents
        cut = len(keys.inbox)
        lists = [k for inbox in inboxes for k in (inbox, keys.pending_list + inbox[cut:])]
        reply = yield Request(AGENTS_LUA, (keys.status, keys.joined, keys.claims, keys.seen,
                                           keys.owed, *lists), (base, known),
                              alone=AGENTS_ALONE_LUA)
        if reply[1] == STALE:  # agents joined, or another life of the namespace
            session.all_agents(reply[2], reply[3])
            continue
        clock_fault(reply)
        found = [AgentInfo(name.decode("utf-8"), WORDS[word], int(waiting), int(pending),
                           int(held), None if seen is None else int(seen))
                 for name, word, waiting, pending, held, seen in reply[2]]
        return sorted(found, key=lambda info: info.agent_id)


def release_all(session: Session, agent: Text) -> Plan[list[str]]:
    keys = session.keys
    reply = yield Request(RELEASE_ALL_LUA, (keys.claims, keys.status, keys.log, keys.seen),
                          (agent[1], session.log_limit))
    clock_fault(reply)
    packed, found, pos = reply[2], [], 0
    while pos < len(packed):
        colon = packed.index(b":", pos)
        end = colon + 1 + int(packed[pos:colon])
        found.append(packed[colon + 1:end].decode("utf-8"))
        pos = end
    return sorted(found)


def activity(session: Session, after: str | None, count: int) -> Plan[list[dict[str, Any]]]:
    log = session.keys.log
    if after is None:
        newest = yield Command("XREVRANGE", log, "+", "-", "COUNT", count)
        return [log_entry(i, f) for i, f in reversed(newest or [])]
    reply = yield Command("XREAD", "COUNT", count, "STREAMS", log, after)
    return [log_entry(i, f) for _stream, entries in reply or [] for i, f in entries]


def now(session: Session) -> Plan[float]:
    seconds, micros = yield Command("TIME")
    return float(seconds) + float(micros) / 1e6


def _task(raw: dict[str, Any]) -> Task:
    def listed(value: Any) -> list[str]:
        return sorted(value) if isinstance(value, list) else []  # Lua's {} is an empty list

    return Task(raw["id"], raw["title"], raw["state"], raw["holder"], int(raw["token"]),
                listed(raw["waits"]), raw["outcome"], listed(raw["deps"]), int(raw["added"]))


def _task_reply(reply: Sequence[Any], method: str, agent: str, task_id: str) -> Task:
    clock_fault(reply)
    code = reply[1]
    refusal = METHODS[method].refusal
    if code == CODES["NO_CLAIM"]:
        raise refusal("missing", task_id=task_id)
    if code == CODES["UNHELD"]:
        if method == "reset_task":
            raise refusal("other", agent_id=agent, task_id=task_id,
                          holder=reply[2].decode("utf-8"))
        raise refusal("unheld", agent_id=agent, task_id=task_id)
    if code == CODES["NOT_FAILED"]:
        raise refusal("open", task_id=task_id)
    if code == CODES["BLOCKED"]:
        raise refusal("blocked", task_id=task_id)
    if code == CODES["STARTED"]:
        raise refusal("started", task_id=task_id, state=reply[2].decode("utf-8"))
    if code == CODES["CYCLE"]:
        raise texts.cycle_refusal(task_id, json.loads(reply[2]))
    return _task(json.loads(reply[2]))


def add_task(session: Session, agent: Text, task_id: Text, title: Text,
             deps: list[Text]) -> Plan[Task]:
    texts.check_new_id(task_id[0])
    reply = yield Request(ADD_TASK_LUA, session.keys.graph(),
                          (agent[1], task_id[1], title[1], *[d[1] for d in deps]))
    return _task_reply(reply, "add_task", agent[0], task_id[0])


def _why(prefix: str, raw: dict[str, Any]) -> str:
    first, detail = raw.get("first"), ""
    if first is not None and "holder" in raw:
        detail = texts.held_text(raw["holder"], int(raw["until"]))
    elif "dep" in raw:
        what = raw["what"]
        if what == "held":
            what = texts.held_text(raw["dep_holder"], int(raw["dep_until"]))
        detail = f"waits for {raw['dep']} ({what})"
    return texts.why(int(raw["n"]), prefix, first, detail)


def claim_next(session: Session, agent: Text, prefix: Text, wait: float
               ) -> Generator[Request | Block, Any, Next]:
    """Claims; when nothing is ready and `wait` allows, registers as a waiter
    and blocks on the wake list (a completion, reset or addition that makes
    a task ready pushes to it), or until a held ready task's lease ends."""
    keys = session.keys
    waiter = uuid.uuid4().hex.encode("ascii")
    deadline = time.monotonic() + wait
    left = wait
    while True:
        register = math.ceil(left) + 1 if left > 0 else 0
        reply = yield Request(CLAIM_NEXT_LUA, keys.graph(),
                              (agent[1], prefix[1], session.log_limit, register, waiter))
        clock_fault(reply)
        raw = json.loads(reply[2])
        if "task" in raw:
            return Next(_task(raw["task"]), "")
        if not register:
            return Next(None, _why(prefix[0], raw))
        until = deadline
        if raw.get("expiry") is not None:  # a lease ends: its task is free then
            until = min(until, time.monotonic() + max(raw["expiry"] - raw["now"], 0) + 0.5)
        while True:
            pause = until - time.monotonic()
            if pause <= 0 or (yield Block(keys.task_wake, pause)) is not None:
                break
        left = max(deadline - time.monotonic(), 0)


def finish_task(session: Session, method: str, state: bytes, word: bytes, agent: Text,
                task_id: Text, outcome: Text) -> Plan[Task]:
    reply = yield Request(FINISH_TASK_LUA, session.keys.graph(),
                          (agent[1], task_id[1], outcome[1], state, word, session.log_limit))
    return _task_reply(reply, method, agent[0], task_id[0])


def reset_task(session: Session, agent: Text, task_id: Text) -> Plan[Task]:
    reply = yield Request(RESET_TASK_LUA, session.keys.graph(), (agent[1], task_id[1]))
    return _task_reply(reply, "reset_task", agent[0], task_id[0])


def tasks(session: Session, prefix: Text) -> Plan[list[Task]]:
    reply = yield Request(TASKS_LUA, session.keys.graph(), (prefix[1],), alone=TASKS_ALONE_LUA)
    clock_fault(reply)
    raw = json.loads(reply[2])
    found = sorted(raw if isinstance(raw, list) else [], key=lambda item: item["seq"])
    return [_task(item) for item in found]


class Method(Generic[T]):
    """One method of both classes: its parameters (from halvex_types' table)
    and its plan with the fixed values it takes first."""

    __slots__ = ("name", "params", "plan", "fixed")

    def __init__(self, name: str, plan: Callable[..., Plan[T]], *fixed: object) -> None:
        self.name, self.plan, self.fixed = name, plan, fixed
        self.params = tuple(p.name for p in METHODS[name].params)

    def start(self, session: Session, surplus: tuple[object, ...],
              args: tuple[object, ...]) -> Plan[T]:
        """The plan for one call, its arguments checked in order (before
        anything is sent)."""
        values = arguments.checked(self.name, surplus, args, _CHECKS, text)
        return self.plan(session, *self.fixed, *values)


PLANS: dict[str, Method[Any]] = {m.name: m for m in (
    Method("claim_file", claim, b"file:", "claim_file", "path"),
    Method("claim_task", claim, b"task:", "claim_task", "task_id"),
    Method("claim_many", claim_many),
    Method("renew_claim", renew),
    Method("release", release),
    Method("send_message", send),
    Method("broadcast", broadcast),
    Method("inbox", inbox),
    Method("drain_inbox", drain),
    Method("status", status),
    Method("inbox_batch", inbox_batch),
    Method("drain_batch", drain_batch),
    Method("confirm", confirm),
    Method("take_batch", take_batch),
    Method("acknowledge", acknowledge),
    Method("lease", lease),
    Method("lease_many", lease_many),
    Method("leases", leases),
    Method("check_lease", check_lease),
    Method("agents", agents),
    Method("release_all", release_all),
    Method("wait_inbox", wait),
    Method("activity", activity),
    Method("now", now),
    Method("add_task", add_task),
    Method("claim_next", claim_next),
    Method("complete_task", finish_task, "complete_task", b"1", b"2"),
    Method("fail_task", finish_task, "fail_task", b"2", b"3"),
    Method("reset_task", reset_task),
    Method("tasks", tasks),
)}


def fresh_namespace() -> str:
    return uuid.uuid4().hex


def log_limit(value: object) -> int:
    if type(value) is not int or value < 1:
        raise ValueError(f"log_limit must be a positive int, not {value!r}")
    return value


def object_session(namespace: str | None, limit: object) -> Session:
    """What both classes' constructors check and derive: the namespace's keys
    (a fresh namespace when none is given) and the log limit, in a session."""
    return Session(Keys(fresh_namespace() if namespace is None else namespace), log_limit(limit))
