"""The tools: one per method of a CoordinationService (halvex_types).

Names, parameters and their order, titles, descriptions and hints come from
halvex_types' table of methods; what a model reads about each parameter and
the schema of each result are written here, once (a result's schema follows
from its type, with a few methods saying more).
`inbox`, `drain_inbox` and `wait_inbox` also take two optional limits and
answer in bounded batches. Nothing here imports the MCP SDK: this is the
plain-data half of the server.
"""

from __future__ import annotations

import json
import math
from typing import Any, Mapping, NamedTuple

from halvex_types import (
    HANDOVER_SECS,
    IDENTITY_PARAMS,
    LEASE_SECS,
    METHODS,
    AgentInfo,
    Batch,
    Lease,
    Param,
    Task,
    names,
)
from halvex_types.methods import EMPTY, MAX_CLAIM_KEYS, TOOL_PARAMS

# The groups of halvex_types' table that are tools, and the tools of other groups.
TOOL_GROUPS = ("state", "service", "tasks")
TOOL_NAMES = (*names("state", "service"), "acknowledge", *names("tasks"))


def methods() -> dict[str, tuple[list[Param], str]]:
    """Each tool's parameters and docstring, in the table's order."""
    return {name: (list(METHODS[name].params), METHODS[name].doc) for name in TOOL_NAMES}


# Bytes of UTF-8 allowed in one argument. Agent ids, paths and task ids are
# short; 64 KiB leaves a message room for a sizeable patch or log excerpt while
# keeping one caller from filling the server's memory through an inbox.
MAX_ARG_BYTES = 64 * 1024

# One inbox or drain_inbox result holds at most this many messages and this
# many bytes of UTF-8 content (but always one message when any waits), so a
# large inbox is read in several calls and no single reply stalls the server.
BATCH_MESSAGES = 1000
BATCH_BYTES = 1024 * 1024

# wait_inbox over MCP: clients give up on a tool call after their own timeout
# (often 60 s or more), so a wait stays well within it.
WAIT_DEFAULT = 25.0
WAIT_MAX = 120.0
# Concurrent wait_inbox calls per server (--max-waits). With --redis each
# holds a connection of the client's pool (100 by default) for its whole
# wait: the bound leaves the rest of the pool to every other call.
DEFAULT_MAX_WAITS = 64

# The tools that answer in batches, and their optional limits.
BATCHED = ("inbox", "drain_inbox", "wait_inbox")
DRAINS = ("drain_inbox", "wait_inbox")
LIMITS = {"max_messages": BATCH_MESSAGES, "max_bytes": BATCH_BYTES}

_BATCH_DOC = "\nIn batches: `remaining` counts the messages left for the next call."
_DRAIN_DOC = ("\nPass each result's `ack` to your next drain (or acknowledge) to confirm its "
              f"messages; unconfirmed ones come back after {HANDOVER_SECS} s, as `redelivered`.")

# What each parameter means to a model, by name: the table's, and the
# parameters only the tools have.
PARAM_DOCS = {
    **TOOL_PARAMS,
    "timeout": f"Seconds to wait if the inbox is empty (default {WAIT_DEFAULT:g}).",
    "max_messages": f"Cap on messages (default {BATCH_MESSAGES}).",
    "max_bytes": f"Cap on content bytes (default {BATCH_BYTES}; one message at least).",
    "wait": f"Seconds to wait for a ready task (default 0, at most {WAIT_MAX:g}).",
}

# The task graph's tools, whose prefix is one of task ids.
TASKS = frozenset(names("tasks"))
_TASK_PREFIX = "Only tasks whose id starts with this; empty for all."

_JSON_TYPES = {"str": "string", "int": "integer", "float": "number", "list[str]": "array",
               "Sequence[str]": "array"}
_LISTS = ("list[str]", "Sequence[str]")

# -- results ---------------------------------------------------------------------

_MESSAGE = {"type": "array", "description": "[from_agent, to_agent, content, timestamp]; "
            "to_agent is \"*\" for a broadcast",
            "prefixItems": [{"type": "string"}, {"type": "string"}, {"type": "string"},
                            {"type": "integer"}],
            "items": False, "minItems": 4, "maxItems": 4}
_MESSAGES = {"type": "array", "items": _MESSAGE, "description": "oldest first"}
_LEASE = {
    "type": "object",
    "properties": {
        "resource_key": {"type": "string"},
        "holder": {"type": "string", "description": "the agent id holding the claim"},
        "token": {"type": "integer", "minimum": 1,
                  "description": "fencing token: grows with every grant of this key"},
        "granted_at": {"type": "integer", "description": "server seconds (Unix time)"},
        "renewed_at": {"type": "integer", "description": "server seconds (Unix time)"},
        "expires_at": {"type": "integer", "description": f"renewed_at + {LEASE_SECS}"},
        "live": {"type": "boolean",
                 "description": "false once the lease ran out: anyone may take it over"},
    },
    "required": list(Lease._fields),
    "additionalProperties": False,
}
_AGENT = {
    "type": "object",
    "properties": {
        "agent_id": {"type": "string"},
        "status": {"enum": ["idle", "busy", "completed", "error"]},
        "inbox": {"type": "integer", "minimum": 0, "description": "messages waiting"},
        "pending": {"type": "integer", "minimum": 0,
                    "description": "drained messages whose delivery is not yet confirmed"},
        "leases": {"type": "integer", "minimum": 0, "description": "live claims held"},
        "last_seen": {"type": ["integer", "null"],
                      "description": "server seconds of its last call as this agent"},
    },
    "required": list(AgentInfo._fields),
    "additionalProperties": False,
}
_TASK = {
    "type": "object",
    "properties": {
        "task_id": {"type": "string"},
        "title": {"type": "string"},
        "state": {"enum": ["ready", "blocked", "held", "done", "failed"]},
        "holder": {"type": ["string", "null"],
                   "description": "who holds it live, or who finished it"},
        "token": {"type": "integer", "minimum": 0,
                  "description": "fencing token of its latest claim (0: never claimed)"},
        "waits_for": {"type": "array", "items": {"type": "string"},
                      "description": "dependencies not yet done"},
        "outcome": {"type": "string", "description": "the note or the failure's reason"},
        "depends_on": {"type": "array", "items": {"type": "string"}},
        "added_at": {"type": "integer", "description": "server seconds (Unix time)"},
    },
    "required": list(Task._fields),
    "additionalProperties": False,
}
_NEXT = {
    "type": "object",
    "properties": {"task": {"anyOf": [{"type": "null"}, _TASK],
                            "description": "the task you now hold; null when none was ready"},
                   "why": {"type": "string", "description": "why none was ready"}},
    "required": ["task", "why"],
    "additionalProperties": False,
}
_BATCH_REST = {"remaining": {"type": "integer", "minimum": 0,
                             "description": "messages still waiting for the next call"}}
_DRAIN_REST = {
    "ack": {"type": ["string", "null"],
            "description": "pass to your next drain (or acknowledge) to confirm these messages"},
    "redelivered": {"type": "integer", "minimum": 0,
                    "description": "leading messages delivered before but never confirmed"},
    "next": {"type": "string", "description": "how to confirm"},
}


class Facts(NamedTuple):
    title: str
    description: str
    read_only: bool
    destructive: bool
    idempotent: bool
    result: dict[str, Any]  # the schema of the structured content's "result"


_STATUS = {"enum": ["idle", "busy", "completed", "error"]}
_AGENT_ID = {"type": "string", "description": "your agent id"}

# A result's schema by its type in the table, and where a method says more.
_BY_TYPE: dict[str, dict[str, Any]] = {
    "str": {"type": "string"}, "int": {"type": "integer"}, "float": {"type": "number"},
    "bool": {"type": "boolean"}, "None": {"type": "null"}, "Message": _MESSAGE,
    "list[Message]": _MESSAGES, "Lease | None": {"anyOf": [{"type": "null"}, _LEASE]},
    "list[Lease]": {"type": "array", "items": _LEASE},
    "list[AgentInfo]": {"type": "array", "items": _AGENT},
    "list[str]": {"type": "array", "items": {"type": "string"}},
    "Task": _TASK, "Next": _NEXT, "list[Task]": {"type": "array", "items": _TASK},
}
_RESULTS: dict[str, dict[str, Any]] = {
    "claim_file": _AGENT_ID, "claim_task": _AGENT_ID, "renew_claim": _AGENT_ID,
    "status": _STATUS,
    "check_lease": {"type": "integer", "minimum": 1,
                    "description": "whole seconds left on the lease"},
}


def _facts(name: str) -> Facts:
    method = METHODS[name]
    tool = method.tool
    assert tool is not None, name
    return Facts(tool.title, tool.description, method.read_only, tool.destructive,
                 tool.idempotent, _RESULTS.get(name) or _BY_TYPE[method.result])


FACTS: dict[str, Facts] = {name: _facts(name) for name in TOOL_NAMES}

# Tools that only an admin's token may call, offered with --credentials alone:
# not methods of the state, and no shared token should wipe every agent's work.
ADMIN_TOOLS = ("delete_namespace",)
FACTS["delete_namespace"] = Facts(
    "Delete the namespace",
    "Deletes every claim, message, agent and task of the namespace this server serves; "
    "fencing tokens never repeat afterwards. Returns how many entries went. Admin only.",
    False, True, True, {"type": "integer", "minimum": 0, "description": "entries deleted"})


class ArgumentError(Exception):
    """A call's arguments do not fit the tool's parameters."""


class Tool:
    """One method as a tool: its parameters and, with a pinned agent, the fixed ones."""

    __slots__ = ("name", "params", "fixed", "description", "batched", "facts", "optional")

    def __init__(self, name: str, params: list[Param], pinned: str | None) -> None:
        self.name = name
        self.facts = FACTS[name]
        self.fixed: dict[str, str] = {}
        if pinned is not None:
            self.fixed = {p.name: pinned for p in params if p.name in IDENTITY_PARAMS}
        self.params = [p for p in params if p.name not in self.fixed]
        self.optional = {p.name: (WAIT_DEFAULT if p.name == "timeout" else p.default)
                         for p in self.params if p.default is not EMPTY}
        self.batched = name in BATCHED
        doc = self.facts.description
        if self.batched and name != "wait_inbox":  # a wait says "as drain_inbox"
            doc += _BATCH_DOC + (_DRAIN_DOC if name in DRAINS else "")
        for param in self.fixed:
            name_json = json.dumps(pinned)
            doc += f"\nThis server acts as agent {name_json}: `{param}` is always {name_json}."
        self.description = doc

    def input_schema(self) -> dict[str, Any]:
        # An optional parameter also takes null, meaning "not given", and
        # names its default in words rather than a `default` key: strict
        # conversions (openai-agents) make every parameter required and refuse
        # `default`, and this keeps "leave it out" expressible after them.
        properties: dict[str, Any] = {}
        for p in self.params:
            kind = _JSON_TYPES[p.kind]
            prop: dict[str, Any] = {"type": [kind, "null"] if p.name in self.optional else kind}
            if p.kind in _LISTS:
                prop.update(items={"type": "string"}, maxItems=MAX_CLAIM_KEYS)
            if p.name == "timeout":
                prop.update(minimum=0, maximum=WAIT_MAX)
            prop["description"] = (_TASK_PREFIX if p.name == "prefix" and self.name in TASKS
                                   else PARAM_DOCS[p.name])
            properties[p.name] = prop
        if self.batched:
            properties.update({name: {"type": ["integer", "null"], "minimum": 1,
                                      "maximum": ceiling, "description": PARAM_DOCS[name]}
                               for name, ceiling in LIMITS.items()})
        if self.name in DRAINS:
            properties["ack"] = {"type": ["string", "null"], "description": PARAM_DOCS["ack"]}
        return {
            "type": "object",
            "properties": properties,
            "required": [p.name for p in self.params if p.name not in self.optional],
            "additionalProperties": False,
        }

    def output_schema(self) -> dict[str, Any]:
        properties: dict[str, Any] = {"result": self.facts.result}
        if self.batched:
            properties.update(_BATCH_REST)
        if self.name in DRAINS:
            properties.update(_DRAIN_REST)
        return {"type": "object", "properties": properties,
                "required": [p for p in properties if p != "next"],
                "additionalProperties": False}

    def annotations(self) -> dict[str, Any]:
        """The hints, under their protocol names."""
        f = self.facts
        return {"title": f.title, "readOnlyHint": f.read_only, "destructiveHint": f.destructive,
                "idempotentHint": f.idempotent, "openWorldHint": False}

    def bind(self, arguments: Mapping[str, Any] | None
             ) -> tuple[dict[str, Any], tuple[int, int]]:
        """The method's keyword arguments and the batch limits, or ArgumentError
        naming the first bad argument."""
        given = dict(arguments or {})
        # Clients that advertise optional parameters as nullable send null for
        # "not given"; required ones still refuse it below.
        drain = self.name in DRAINS
        for name in [n for n, v in given.items() if v is None]:
            if name in self.optional or (self.batched and name in LIMITS) or \
                    (drain and name == "ack"):
                del given[name]
        limits = dict(LIMITS)
        names = [p.name for p in self.params]
        bound: dict[str, Any] = dict(self.fixed)
        for name in given:
            if self.batched and name in LIMITS:
                limits[name] = check_limit(name, given[name], LIMITS[name])
            elif drain and name == "ack":
                bound["ack"] = check_text(name, given[name])
            elif name not in names:
                if name in self.fixed:
                    raise ArgumentError(f"unexpected argument '{name}': this server acts as "
                                        f"agent {json.dumps(self.fixed[name])}")
                raise ArgumentError(f"unexpected argument '{name}'; {self.name} takes "
                                    f"{_listing(names)}")
        for p in self.params:
            if p.name not in given:
                if p.name in self.optional:
                    bound[p.name] = self.optional[p.name]
                    continue
                raise ArgumentError(f"missing argument '{p.name}'; {self.name} takes "
                                    f"{_listing(names)}")
            value = given[p.name]
            if p.kind == "int":
                bound[p.name] = check_integer(p.name, value)
            elif p.kind == "float":
                bound[p.name] = check_seconds(p.name, value, WAIT_MAX)
            elif p.kind in _LISTS:
                if not isinstance(value, list):
                    raise ArgumentError(f"argument '{p.name}' must be an array of strings, not "
                                        f"{_json_type(value)}")
                bound[p.name] = [check_text(p.name, item) for item in value]
            else:
                bound[p.name] = check_text(p.name, value)
        if self.name == "add_task" and bound.get("task_id") == "":
            # Refused here, where the reply can say that nothing was done.
            raise ArgumentError("argument 'task_id' must not be empty")
        return bound, (limits["max_messages"], limits["max_bytes"])


def _listing(params: list[str]) -> str:
    return ", ".join(params) if params else "no arguments"


def _json_type(value: Any) -> str:
    if value is None:
        return "null"
    if isinstance(value, bool):
        return "boolean"
    if isinstance(value, (int, float)):
        return "number"
    if isinstance(value, (list, tuple)):
        return "array"
    if isinstance(value, dict):
        return "object"
    return type(value).__name__


def check_text(name: str, value: Any) -> str:
    if not isinstance(value, str):
        raise ArgumentError(f"argument '{name}' must be a string, not {_json_type(value)}")
    # More characters than the limit has bytes cannot fit, whatever they are:
    # no need to encode megabytes to refuse them.
    if len(value) > MAX_ARG_BYTES:
        size = f"{len(value)} characters"
    else:
        try:
            encoded = len(value.encode("utf-8"))
        except UnicodeEncodeError:
            # JSON can spell a lone surrogate ("\ud800"); the state takes only
            # text that has a UTF-8 form.
            raise ArgumentError(f"argument '{name}' is not valid Unicode text (it holds a lone "
                                "surrogate)") from None
        if encoded <= MAX_ARG_BYTES:
            return value
        size = f"{encoded} bytes"
    raise ArgumentError(f"argument '{name}' is too large ({size}); the limit is {MAX_ARG_BYTES} "
                        "bytes of UTF-8")


def check_integer(name: str, value: Any) -> int:
    if isinstance(value, bool) or not isinstance(value, int):
        raise ArgumentError(f"argument '{name}' must be an integer, not {_json_type(value)}")
    return value


def check_seconds(name: str, value: Any, ceiling: float) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise ArgumentError(f"argument '{name}' must be a number, not {_json_type(value)}")
    if not (0 <= value <= ceiling) or math.isnan(value):
        raise ArgumentError(f"argument '{name}' must be from 0 to {ceiling:g} seconds, not "
                            f"{value!r}")
    return float(value)


def check_limit(name: str, value: Any, ceiling: int) -> int:
    if isinstance(value, bool) or not isinstance(value, int):
        raise ArgumentError(f"argument '{name}' must be an integer, not {_json_type(value)}")
    if value < 1 or value > ceiling:
        raise ArgumentError(f"argument '{name}' must be between 1 and {ceiling:d}, not {value:d}")
    return value


def build_tools(pinned: str | None = None, task_tools: bool = False,
                admin_tools: bool = False) -> dict[str, Tool]:
    """Every method of the protocol, in its order (the task graph's only
    with `task_tools`), then the admin's tools with `admin_tools`."""
    tools = {name: Tool(name, params, pinned)
             for name, (params, _doc) in methods().items()
             if task_tools or name not in TASKS}
    if admin_tools:
        tools.update((name, Tool(name, [], pinned)) for name in ADMIN_TOOLS)
    return tools


def to_json(value: Any) -> Any:
    """A method's result as JSON data: named tuples (Lease, AgentInfo) become
    objects, other tuples arrays."""
    if isinstance(value, tuple) and hasattr(value, "_asdict"):
        return {k: to_json(v) for k, v in value._asdict().items()}
    if isinstance(value, (tuple, list)):
        return [to_json(v) for v in value]
    return value


def result_payload(value: Any, remaining: int | None = None) -> tuple[dict[str, Any], str]:
    """The structured content of a result and the same JSON as text; a batch
    also says how many messages remain, and a drained one how to confirm it."""
    if isinstance(value, Batch):
        structured = {"result": to_json(value.messages), "remaining": value.remaining,
                      "ack": value.ack or None, "redelivered": value.redelivered}
        if value.ack:
            structured["next"] = (f"Pass ack={json.dumps(value.ack)} to your next drain_inbox "
                                  "or wait_inbox call to confirm these messages.")
    else:
        structured = {"result": to_json(value)}
        if remaining is not None:
            structured["remaining"] = remaining
    return structured, json.dumps(structured, ensure_ascii=False)
