"""The table of the service's methods: each method's facts, written once.

For each method: its name, its group (the protocol that declares it), its
parameters (name, kind, default, read from the protocol's signature), its
result, whether it only reads, its identity parameters, its refusal texts,
its docstring and what a model reads about it as an MCP tool. halvex_redis's
two faces, halvex-mcp's tools and RemoteState, the `halvex` command and the
stubs' docstrings all derive from it; `install` gives a class the table's
methods.
"""

from __future__ import annotations

import inspect
from typing import Any, Callable, Iterable, NamedTuple

from . import protocols
from .protocols import Lease

# A claim's lease, in seconds: from its grant or its latest renewal.
LEASE_SECS = 300

# A drained batch left unconfirmed this long (its drainer went silent) goes
# back to the agent's next drain, from any object or session.
HANDOVER_SECS = 30

# Parameters that name the acting agent: a server pinned to one agent
# leaves them out and acts as that agent.
IDENTITY_PARAMS = ("agent_id", "from_agent")

EMPTY = inspect.Parameter.empty

# The protocol that declares each group, in the table's order.
GROUPS = {"state": protocols.CoordinationState, "service": protocols.CoordinationService,
          "server": protocols.ServerState, "tasks": protocols.TaskGraph}
ASYNC_GROUPS = {"state": protocols.AsyncCoordinationState,
                "service": protocols.AsyncCoordinationService,
                "server": protocols.AsyncServerState, "tasks": protocols.AsyncTaskGraph}


class Param(NamedTuple):
    name: str
    kind: str  # the annotation's text: "str", "int", "float", "str | None"
    default: Any  # EMPTY when required


class Tool(NamedTuple):
    """What a model reads about the method as a tool, and its hints."""
    title: str
    description: str
    destructive: bool
    idempotent: bool


class Method(NamedTuple):
    name: str
    group: str
    params: tuple[Param, ...]
    result: str  # the annotation's text, e.g. "list[Lease]"
    read_only: bool
    refusals: dict[str, str]  # reason -> RuntimeError text with {named} fields
    doc: str
    tool: Tool | None  # None: not offered as a tool

    @property
    def identity(self) -> tuple[str, ...]:
        return tuple(p.name for p in self.params if p.name in IDENTITY_PARAMS)

    def refusal(self, reason: str, **values: object) -> RuntimeError:
        return RuntimeError(self.refusals[reason].format(**values))


# What each parameter means to a model reading a tool, by name.
TOOL_PARAMS = {
    "agent_id": "Your agent id.",
    "from_agent": "Your agent id, as the sender.",
    "to_agent": "The agent id of the recipient.",
    "path": "The file's path from the repository's top, with / (e.g. \"src/app.py\"); key "
            "\"file:<path>\".",
    "task_id": "The task's id (e.g. \"phase-7\"); key \"task:<id>\".",
    "resource_key": "The claim's key: \"file:<path>\" or \"task:<id>\".",
    "content": "The message text.",
    "prefix": "Only keys starting with this, e.g. \"file:src/\"; empty or null for all.",
    "token": "Your claim's fencing token, as lease reported it.",
    "resource_keys": "The keys to claim together, e.g. [\"file:a.py\", \"task:t1\"].",
    "ack": "Your last drain result's `ack`: confirms its messages.",
    "title": "What the task is, in a line.",
    "depends_on": "Ids of tasks to be done first.",
    "note": "The outcome.",
    "reason": "Why it failed.",
}

_KEY_EXAMPLE = '`"file:src/lib.rs"` or `"task:phase-7"`'


class _Facts(NamedTuple):
    read_only: bool
    doc: str
    tool: Tool | None = None
    refusals: dict[str, str] = {}


# Everything but the signatures, in the protocols' order. A method's
# docstring is the native module's where it has one (a test holds them equal).
_FACTS: dict[str, _Facts] = {
    "claim_file": _Facts(
        False,
        "Claims a file for `agent_id`. Raises `RuntimeError` if another agent\n"
        "already holds it. Returns the claiming agent's id back on success \u2014\n"
        "a no-op value, useful mainly to confirm the call didn't raise.",
        Tool("Claim a file",
             f"Claims a file before you edit it, for {LEASE_SECS} s (renew_claim extends it). "
             "Refused, "
             "naming the holder, while anyone (you too) holds it live. Returns your agent "
             "id; lease gives its fencing token.",
             False, False),
        {"held": "{holder} already holds claim on {path}"}),
    "claim_task": _Facts(
        False,
        "Claims a task for `agent_id`, as `claim_file` does for a file; the claim's\n"
        "key is `\"task:<task_id>\"`. Refused if another agent holds the task.",
        Tool("Claim a task",
             "Claims a task as claim_file claims a file (key \"task:<id>\"), refused alike.",
             False, False),
        {"held": "{holder} already holds claim on task {task_id}"}),
    "release": _Facts(
        False,
        f"Releases a claim keyed by e.g. {_KEY_EXAMPLE}.\n"
        "Only the holder may release it.",
        Tool("Release a claim",
             "Releases your claim on a key when you are done; your status becomes idle. "
             "Holder only.",
             True, True),
        {"missing": "no claim found for {agent_id}",
         "held": "{agent_id} cannot release a claim held by {holder}"}),
    "renew_claim": _Facts(
        False,
        f"Renews a claim keyed by e.g. {_KEY_EXAMPLE},\n"
        "extending its lease so a long-running task isn't lost to the TTL.\n"
        "Only the holder may renew.",
        Tool("Renew a claim",
             f"Restarts your claim's {LEASE_SECS} s lease (also after it ran out, unless taken "
             "over); "
             "renew well within it. Keeps the fencing token.",
             False, False),
        {"missing": "no claim on {resource_key} to renew",
         "held": "{agent_id} cannot renew a claim held by {holder}"}),
    "send_message": _Facts(
        False,
        "Puts a message into `to_agent`'s inbox. Returns it as\n"
        "(from_agent, to_agent, content, timestamp).",
        Tool("Send a message", "Puts a message into one agent's inbox. Returns the message.",
             False, False)),
    "broadcast": _Facts(
        False,
        "Sends `content` to the inbox of every known agent, the sender included; an\n"
        "agent is known once it has claimed or released, broadcast, or been sent a\n"
        "message. Returns (from_agent, \"*\", content, timestamp).",
        Tool("Broadcast a message",
             "Sends a message to every known agent, you included. Returns it, addressed to "
             "\"*\".",
             False, False)),
    "inbox": _Facts(
        True,
        "Pending messages for `agent_id`, oldest first. Does not clear them \u2014\n"
        "use `drain_inbox` for that.",
        Tool("Read your inbox",
             "Your messages, oldest first, left in the inbox (drain_inbox takes them; "
             "wait_inbox waits for one).",
             False, True)),
    "drain_inbox": _Facts(
        False,
        "Pending messages for `agent_id`, oldest first, each as\n"
        "(from_agent, to_agent, content, timestamp); the inbox is emptied.",
        Tool("Take your messages", "Your messages, oldest first, removed from the inbox.",
             True, False)),
    "status": _Facts(
        True,
        "One of `\"idle\"`, `\"busy\"`, `\"completed\"`, `\"error\"`.",
        Tool("Agent status",
             "An agent's status word: \"idle\", \"busy\" (holds or took a claim), "
             "\"completed\" or \"error\".",
             False, True)),
    "lease": _Facts(
        True,
        f"The claim stored under a key such as {_KEY_EXAMPLE}, as a `Lease`\n"
        "(holder, fencing token, granted, renewed and expiry server seconds,\n"
        "live), expired or not; `None` when none is stored.",
        Tool("Look up a claim",
             "The claim on a key: holder, fencing token, times (server seconds), live; null "
             "if none. Each grant gets a higher token, renewal keeps it: give yours to "
             "whatever writes for you.",
             False, True)),
    "leases": _Facts(
        True,
        "Every stored claim whose key starts with `prefix`, expired ones\n"
        "included, as `Lease`s sorted by key.",
        Tool("List claims",
             "Every stored claim whose key starts with prefix, by key, expired ones included "
             "(live false).",
             False, True)),
    "check_lease": _Facts(
        True,
        "The whole seconds left on the claim when `agent_id` holds it live with\n"
        "fencing token `token`; otherwise `RuntimeError` saying why (no claim, a\n"
        "stale token, an expired lease). Changes nothing: call it right before\n"
        "each write that the claim guards.",
        Tool("Check a claim before writing",
             "Call right before each write the claim guards: returns the seconds left if you "
             "hold the key live with this token, else an error saying why (then do not "
             "write).",
             False, True),
        {"missing": "no claim on {resource_key}",
         "stale": "token {token:d} on {resource_key} is stale: {holder} holds token {held:d}",
         "expired": "lease on {resource_key} expired {ago:d} s ago"}),
    "agents": _Facts(
        True,
        "Every known agent, sorted by id, as an `AgentInfo`: status word,\n"
        "messages waiting, drained messages not yet confirmed, live claims held\n"
        "and the server second of its last call as the acting agent (or None).",
        Tool("List agents",
             "Every known agent: status, inbox size, drained messages not yet confirmed, "
             "live claims, last call (server seconds, or null).",
             False, True)),
    "release_all": _Facts(
        False,
        "Releases every claim `agent_id` holds, expired ones included, each as\n"
        "`release` would; returns their keys, sorted.",
        Tool("Release all your claims",
             "Releases all your claims, expired ones too; returns their keys. Use it when you "
             "stop.",
             True, True)),
    "wait_inbox": _Facts(
        False,
        "As `drain_inbox`, but when the inbox is empty waits up to `timeout`\n"
        f"seconds (0 to {LEASE_SECS}) for a message, without polling, and drains then;\n"
        "`[]` when none came.",
        Tool("Wait for messages",
             "As drain_inbox, but if the inbox is empty waits up to timeout seconds for a "
             "message ([] if none came: call again to keep waiting). Use it instead of polling.",
             True, False)),
    "claim_many": _Facts(
        False,
        "Claims every key of `resource_keys` (`\"file:<path>\"` or `\"task:<id>\"`,\n"
        "a repeated key counted once) for `agent_id`, or none of them: when\n"
        "another agent (or `agent_id`) holds a live claim on any, nothing is\n"
        "granted and the refusal names the first such key, as `claim_file` or\n"
        "`claim_task` would. Returns each key's lease, in the order given.",
        Tool("Claim several at once",
             "Claims all the listed keys for you, or none (refused, naming the first one "
             "held): never hold half of what you need. Returns each key's lease.",
             False, False)),
    "inbox_batch": _Facts(
        True,
        "The oldest messages for `agent_id`, as `inbox` lists them, but at most\n"
        "`max_count` and `max_bytes` bytes of UTF-8 content (at least one when any\n"
        "waits); and how many more wait. The inbox is kept."),
    "drain_batch": _Facts(
        False,
        "As `inbox_batch`, but the messages returned leave the inbox, with\n"
        "`drain_inbox`'s guarantees; the rest stays for later calls."),
    "confirm": _Facts(
        False,
        "Confirms now, in one round trip, the drained batches that this object\n"
        "received (nothing is sent when there are none), so none is delivered\n"
        "again. For a process or session that ends normally."),
    "lease_many": _Facts(
        True,
        "The claim stored under each of `keys`, as `lease` gives it (None where\n"
        "none is), in the order given, from one read however many keys: what\n"
        "a commit guard asks of the files it is about to commit."),
    "take_batch": _Facts(
        False,
        "As `drain_batch`, but the batch stays pending until `acknowledge` is\n"
        "called with its `ack` handle: no other call confirms it. A batch left\n"
        f"unacknowledged for {HANDOVER_SECS} seconds comes back first in the agent's next\n"
        "drain, counted in `redelivered`, until one acknowledges it. When no\n"
        "message waits, waits up to `timeout` seconds for one."),
    "acknowledge": _Facts(
        False,
        "Confirms the batch that `take_batch` returned for `agent_id` with the\n"
        "handle `ack`, so it is never delivered again; returns how many messages\n"
        "that removed (0 for an unknown handle, one acknowledged before, or one\n"
        "whose batch was redelivered since).",
        Tool("Confirm messages",
             "Confirms a drain result's messages by its `ack` when you drain no more. Returns "
             "how many.",
             False, True)),
    "activity": _Facts(
        True,
        "The activity log's records, oldest first, as dicts: \"id\", \"at\" (server\n"
        "seconds), \"kind\", and \"agent\"/\"key\" or \"from\"/\"to\"/\"content\".\n"
        "`after=None`: the newest `count`; an id: at most `count` written after it\n"
        "(\"0\": from the start). Pass the last id seen to read on."),
    "now": _Facts(
        True,
        "The server's clock in seconds, the one leases and last-seen times\n"
        "count by."),
    "add_task": _Facts(
        False,
        "Adds task `task_id` to the graph, ready once every task of `depends_on`\n"
        "is done (one not added yet keeps it blocked until it is added and done),\n"
        "or gives a task not yet started a new title and more dependencies.\n"
        "Refused when that would close a dependency cycle, naming the cycle.\n"
        "Returns the task.",
        Tool("Add a task",
             "Adds a task to the plan, ready once all tasks it depends on are done, or adds "
             "dependencies to a task not yet started. Refused when that closes a cycle.",
             False, True),
        {"cycle": "task {task_id} would close a dependency cycle: {cycle}",
         "started": "task {task_id} is {state}: only a task not yet started takes new "
                    "dependencies or a new title"}),
    "claim_next": _Facts(
        False,
        "Claims for `agent_id` the oldest ready task whose id starts with `prefix`\n"
        "(all dependencies done, not done or failed itself, no live claim), as\n"
        "`claim_task` would: a lease, a fencing token, status \"busy\". Returns\n"
        "`Next(task, \"\")`, or `Next(None, why)` saying why none is ready; with\n"
        f"`wait` (0 to {LEASE_SECS} seconds) it first waits, without polling, for one.",
        Tool("Claim the next ready task",
             "Claims the oldest task whose dependencies are all done and nobody holds; "
             "finish it with complete_task or fail_task. When none is ready, says why; "
             "wait (seconds) waits for one.",
             False, False)),
    "complete_task": _Facts(
        False,
        "Marks a task `agent_id` holds done with `note` as its outcome, releases\n"
        "its claim and sets the agent's status to \"completed\"; the tasks waiting\n"
        "only for it become ready. Returns the task. A task still waiting for\n"
        "others (held through claim_task) is refused.",
        Tool("Complete a task",
             "Marks your task done (note: its outcome) and releases it; tasks waiting for "
             "it may become ready.",
             False, False),
        {"missing": "no task {task_id}",
         "unheld": "{agent_id} does not hold task {task_id}",
         "blocked": "task {task_id} waits for tasks not done: it cannot be done before them"}),
    "fail_task": _Facts(
        False,
        "Marks a task `agent_id` holds failed with `reason`, releases its claim\n"
        "and sets the agent's status to \"error\"; the tasks depending on it stay\n"
        "blocked until `reset_task`. Returns the task.",
        Tool("Fail a task",
             "Marks your task failed with a reason and releases it; its dependants stay "
             "blocked until reset_task.",
             False, False),
        {"missing": "no task {task_id}",
         "unheld": "{agent_id} does not hold task {task_id}"}),
    "reset_task": _Facts(
        False,
        "Makes a failed task open again (ready when its dependencies are done);\n"
        "only the agent that failed it may, as `agent_id` (on halvex-mcp with\n"
        "credentials, an admin's token may name that agent). Returns the task.",
        Tool("Reset a failed task",
             "Makes a task you failed open again, so it can be claimed anew (an admin "
             "passes the id of the agent that failed it).",
             False, True),
        {"missing": "no task {task_id}",
         "open": "task {task_id} is not failed",
         "other": "{agent_id} cannot reset task {task_id}: {holder} failed it"}),
    "tasks": _Facts(
        True,
        "Every task whose id starts with `prefix`, oldest first, as a `Task`:\n"
        "state (ready, blocked, held, done, failed), title, holder, token, the\n"
        "dependencies it waits for and its outcome.",
        Tool("List tasks",
             "Every task (ids starting with prefix), oldest first: state (ready, blocked, "
             "held, done, failed), holder, token, what it waits for and its outcome.",
             False, True)),
}


def _annotation(value: Any) -> str:
    return value if isinstance(value, str) else getattr(value, "__name__", str(value))


def _build() -> dict[str, Method]:
    table: dict[str, Method] = {}
    for group, proto in GROUPS.items():
        for name, function in vars(proto).items():
            if name.startswith("_") or not inspect.isfunction(function):
                continue
            signature = inspect.signature(function)
            params = tuple(Param(p.name, _annotation(p.annotation), p.default)
                           for p in signature.parameters.values() if p.name != "self")
            facts = _FACTS[name]
            table[name] = Method(name, group, params, _annotation(signature.return_annotation),
                                 facts.read_only, dict(facts.refusals), facts.doc, facts.tool)
    missing = set(_FACTS) - set(table)
    if missing:
        raise AssertionError(f"facts of methods no protocol declares: {sorted(missing)}")
    return table


# Every method, in the protocols' order.
METHODS: dict[str, Method] = _build()


def names(*groups: str) -> list[str]:
    """The methods of the given groups (by default every one), in order."""
    return [m.name for m in METHODS.values() if not groups or m.group in groups]


def _document() -> None:
    for protos in (GROUPS, ASYNC_GROUPS):
        for group, proto in protos.items():
            for name in names(group):
                getattr(proto, name).__doc__ = METHODS[name].doc


_document()


def install(cls: type, methods: Iterable[str], *, call: str = "_call",
            coroutine: bool = False) -> None:
    """Gives `cls` the table's methods: each takes the method's parameters
    (by position or keyword, defaults included) and any surplus positional
    arguments, and returns `self.<call>(name, surplus, *arguments)` (awaited
    when `coroutine`). Each gets the table's docstring, and Python's own
    TypeError texts name `cls` for a missing or unknown argument."""
    prefix, wait = ("async ", "await ") if coroutine else ("", "")
    for name in methods:
        method = METHODS[name]
        namespace: dict[str, Any] = {}
        declared = []
        for i, p in enumerate(method.params):
            if p.default is EMPTY:
                declared.append(p.name)
            else:
                namespace[f"_default{i}"] = p.default
                declared.append(f"{p.name}=_default{i}")
        args = "".join(f", {p.name}" for p in method.params)
        source = (f"{prefix}def {name}(self, {''.join(d + ', ' for d in declared)}*surplus):\n"
                  f"    return {wait}self.{call}({name!r}, surplus{args})\n")
        exec(source, namespace)  # a real signature, as a hand-written method has
        function: Callable[..., Any] = namespace[name]
        function.__qualname__ = f"{cls.__qualname__}.{name}"
        function.__module__ = cls.__module__
        function.__doc__ = method.doc
        setattr(cls, name, function)


# Most keys one claim_many call takes.
MAX_CLAIM_KEYS = 1000

# The prefixes of resource keys, and the claim method each belongs to.
KEY_METHODS = {"file:": ("claim_file", "path"), "task:": ("claim_task", "task_id")}


def held_refusal(key: str, holder: str) -> RuntimeError:
    """claim_file's or claim_task's refusal for a live claim on `key`."""
    method, param = KEY_METHODS[key[:5]]
    return METHODS[method].refusal("held", holder=holder, **{param: key[5:]})


def check_lease(held: Lease | None, agent_id: str, resource_key: str, token: int,
                now: int) -> int:
    """The rule of `check_lease` for a stored claim (`held`, None when none)
    read at server second `now`: the whole seconds left, or RuntimeError
    saying why."""
    method = METHODS["check_lease"]
    if held is None:
        raise method.refusal("missing", resource_key=resource_key)
    if held.holder != agent_id or held.token != token:
        raise method.refusal("stale", token=token, resource_key=resource_key,
                             holder=held.holder, held=held.token)
    # Elapsed time saturates at zero: a clock set back leaves the claim fresh.
    elapsed = max(now - held.renewed_at, 0)
    if not held.live:
        raise method.refusal("expired", resource_key=resource_key, ago=elapsed - LEASE_SECS)
    return LEASE_SECS - elapsed
