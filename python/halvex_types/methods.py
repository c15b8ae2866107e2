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
    "agent_id": "Your agent id: the name you act under, the same on every call (any text, "
                "e.g. \"agent-a\"). Claims, inboxes and status belong to it.",
    "from_agent": "Your agent id, as the sender.",
    "to_agent": "The agent id of the recipient.",
    "path": "The file's path relative to the repository's top, with / (e.g. \"src/app.py\"), "
            "as every agent and the commit guard spell it; the claim's key is \"file:<path>\".",
    "task_id": "The task's id (e.g. \"phase-7\"); the claim's key is \"task:<id>\".",
    "resource_key": "The claim's key: a resource key: \"file:<path>\" or \"task:<id>\", e.g. "
                    "\"file:src/app.py\".",
    "content": "The message text.",
    "prefix": "Only keys that start with this, e.g. \"file:src/\" or \"task:\"; empty for all.",
    "token": "The fencing token of your claim, as the lease tool reported it after you "
             "claimed.",
    "resource_keys": "The keys to claim together, e.g. [\"file:src/app.py\", "
                     "\"task:phase-7\"].",
    "ack": "The `ack` of a drain_inbox or wait_inbox result, confirming you received its "
           "messages.",
    "title": "What the task is, in a line.",
    "depends_on": "The ids of the tasks that must be done first, e.g. [\"phase-6\"].",
    "note": "The outcome, e.g. what changed.",
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
             f"Claims a file for you before you edit it, for a lease of {LEASE_SECS} seconds "
             "(renew it with renew_claim during longer work). Refused while another agent (or "
             "you) holds a live claim on it; the refusal names the holder. Returns your agent "
             "id. Call lease with \"file:<path>\" for the claim's fencing token.",
             False, False),
        {"held": "{holder} already holds claim on {path}"}),
    "claim_task": _Facts(
        False,
        "Claims a task for `agent_id`, as `claim_file` does for a file; the claim's\n"
        "key is `\"task:<task_id>\"`. Refused if another agent holds the task.",
        Tool("Claim a task",
             "Claims a task for you, as claim_file claims a file; the claim's key is "
             "\"task:<id>\". Refused while another agent (or you) holds a live claim on it.",
             False, False),
        {"held": "{holder} already holds claim on task {task_id}"}),
    "release": _Facts(
        False,
        f"Releases a claim keyed by e.g. {_KEY_EXAMPLE}.\n"
        "Only the holder may release it.",
        Tool("Release a claim",
             "Releases your claim on a key as soon as you are done, so others may claim it; "
             "your status becomes idle. Only the holder may release.",
             True, True),
        {"missing": "no claim found for {agent_id}",
         "held": "{agent_id} cannot release a claim held by {holder}"}),
    "renew_claim": _Facts(
        False,
        f"Renews a claim keyed by e.g. {_KEY_EXAMPLE},\n"
        "extending its lease so a long-running task isn't lost to the TTL.\n"
        "Only the holder may renew.",
        Tool("Renew a claim",
             f"Restarts the {LEASE_SECS}-second lease of your claim on a key (also after it "
             f"ran out, unless another agent took it over meanwhile). Renew well within the "
             f"{LEASE_SECS} seconds during long work. Only the holder may renew. Keeps the "
             "fencing token.",
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
             "Sends a message to the inbox of every known agent, you included; an agent is "
             "known once it has claimed or released, broadcast, or been sent a message. "
             "Returns the message, addressed to \"*\".",
             False, False)),
    "inbox": _Facts(
        True,
        "Pending messages for `agent_id`, oldest first. Does not clear them \u2014\n"
        "use `drain_inbox` for that.",
        Tool("Read your inbox",
             "Your messages, oldest first, without removing them (drain_inbox removes them). "
             "To wait for a message, use wait_inbox instead of calling this in a loop.",
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
             "Who holds the claim on a key, its fencing token, when it was granted and "
             "renewed, when it expires (server seconds) and whether it is still live; null "
             "when no claim is stored. Each grant of a key (first claim, claim after release, "
             "takeover of an expired claim) gets a higher token; renewal keeps it. Read your "
             "token here right after claiming and give it to whatever writes for you.",
             False, True)),
    "leases": _Facts(
        True,
        "Every stored claim whose key starts with `prefix`, expired ones\n"
        "included, as `Lease`s sorted by key.",
        Tool("List claims",
             "Every stored claim whose key starts with prefix, sorted by key, expired ones "
             "included (live false): who holds what.",
             False, True)),
    "check_lease": _Facts(
        True,
        "The whole seconds left on the claim when `agent_id` holds it live with\n"
        "fencing token `token`; otherwise `RuntimeError` saying why (no claim, a\n"
        "stale token, an expired lease). Changes nothing: call it right before\n"
        "each write that the claim guards.",
        Tool("Check a claim before writing",
             "Proves, right before each write the claim guards, that you still hold a live "
             "claim on the key with this fencing token: returns the whole seconds left. "
             "Otherwise an error says why (no claim, a stale token and who holds which, or "
             "how long ago the lease expired): then do not write. Changes nothing.",
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
             "Every known agent, sorted by id: status word, messages waiting, drained "
             "messages not yet confirmed, live claims held and the server second of its last "
             "call (null before any).",
             False, True)),
    "release_all": _Facts(
        False,
        "Releases every claim `agent_id` holds, expired ones included, each as\n"
        "`release` would; returns their keys, sorted.",
        Tool("Release all your claims",
             "Releases every claim you hold, expired ones included, each as release does. "
             "Returns the released keys, sorted. Use it when you stop working.",
             True, True)),
    "wait_inbox": _Facts(
        False,
        "As `drain_inbox`, but when the inbox is empty waits up to `timeout`\n"
        f"seconds (0 to {LEASE_SECS}) for a message, without polling, and drains then;\n"
        "`[]` when none came.",
        Tool("Wait for messages",
             "Takes your messages as drain_inbox does; when there are none, waits up to "
             "timeout seconds for one and takes it as soon as it arrives. An empty list means "
             "none came: call again to keep waiting. Use this instead of polling inbox or "
             "drain_inbox.",
             True, False)),
    "claim_many": _Facts(
        False,
        "Claims every key of `resource_keys` (`\"file:<path>\"` or `\"task:<id>\"`,\n"
        "a repeated key counted once) for `agent_id`, or none of them: when\n"
        "another agent (or `agent_id`) holds a live claim on any, nothing is\n"
        "granted and the refusal names the first such key, as `claim_file` or\n"
        "`claim_task` would. Returns each key's lease, in the order given.",
        Tool("Claim several at once",
             "Claims all the listed files and tasks for you, or none: use it when you need "
             "several, so you never hold half and wait on a peer holding the rest. Refused, "
             "with nothing claimed, when any is held; returns each key's lease and fencing "
             "token.",
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
             "Confirms that you received the messages of a drain_inbox or wait_inbox result: "
             "pass its `ack`. Passing `ack` to your next drain does the same; call this when "
             "you drain no more. Returns how many messages it confirmed.",
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
        "only for it become ready. Returns the task.",
        Tool("Complete a task",
             "Marks your task done (note: its outcome) and releases it; tasks waiting for "
             "it may become ready.",
             False, False),
        {"missing": "no task {task_id}",
         "unheld": "{agent_id} does not hold task {task_id}"}),
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
        "only the agent that failed it may. Returns the task.",
        Tool("Reset a failed task",
             "Makes a task you failed open again, so it can be claimed anew.",
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
