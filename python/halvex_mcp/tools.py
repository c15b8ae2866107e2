"""The tools: one per method of halvex_core.CoordinationState, read off the class.

Names, parameters and their order come from the methods' text signatures,
descriptions from their docstrings, so the tool list follows the class.
Nothing here imports the MCP SDK: this is the plain-data half of the server.
"""

from __future__ import annotations

import inspect
import json
from typing import Any, Dict, List, Mapping, Optional, Tuple

import halvex_core

# Bytes of UTF-8 allowed in one argument. Agent ids, paths and task ids are
# short; 64 KiB leaves a message room for a sizeable patch or log excerpt while
# keeping one caller from filling the server's memory through an inbox.
MAX_ARG_BYTES = 64 * 1024

# Parameters that name the caller: `--agent` fixes them for every call.
IDENTITY_PARAMS = ("agent_id", "from_agent")

# For the methods that carry no docstring of their own.
_FALLBACK_DOCS = {
    "claim_task": "Claims a task for `agent_id`, as `claim_file` does for a file; the claim's "
                  "key is `\"task:<task_id>\"`. Refused if another agent holds the task.",
    "send_message": "Puts a message into `to_agent`'s inbox. Returns it as "
                    "[from_agent, to_agent, content, timestamp].",
    "broadcast": "Sends `content` to the inbox of every known agent, the sender included; an "
                 "agent is known once it has claimed or released, broadcast, or been sent a "
                 "message. Returns [from_agent, \"*\", content, timestamp].",
    "drain_inbox": "Pending messages for `agent_id`, oldest first, each as "
                   "[from_agent, to_agent, content, timestamp]; the inbox is emptied.",
}


class ArgumentError(Exception):
    """A call's arguments do not fit the tool's parameters."""


class Tool(object):
    """One method as a tool: its parameters and, with a pinned agent, the fixed ones."""

    __slots__ = ("name", "params", "fixed", "description")

    def __init__(self, name: str, method: Any, pinned: Optional[str]) -> None:
        self.name = name
        signature = inspect.signature(method)
        all_params = [p for p in signature.parameters if p != "self"]
        self.fixed: Dict[str, str] = {}
        if pinned is not None:
            self.fixed = {p: pinned for p in all_params if p in IDENTITY_PARAMS}
        self.params = [p for p in all_params if p not in self.fixed]
        doc = inspect.cleandoc(method.__doc__ or _FALLBACK_DOCS.get(name, ""))
        for param in self.fixed:
            doc += "\nThis server acts as agent %s: `%s` is always %s." % (
                json.dumps(pinned), param, json.dumps(pinned))
        self.description = doc

    def input_schema(self) -> Dict[str, Any]:
        return {
            "type": "object",
            "properties": {p: {"type": "string"} for p in self.params},
            "required": list(self.params),
            "additionalProperties": False,
        }

    def bind(self, arguments: Optional[Mapping[str, Any]]) -> Dict[str, str]:
        """The method's keyword arguments, or ArgumentError naming the first bad one."""
        given = dict(arguments or {})
        for name in given:
            if name not in self.params:
                if name in self.fixed:
                    raise ArgumentError("unexpected argument '%s': this server acts as agent %s"
                                        % (name, json.dumps(self.fixed[name])))
                raise ArgumentError("unexpected argument '%s'; %s takes %s"
                                    % (name, self.name, _listing(self.params)))
        bound = dict(self.fixed)
        for name in self.params:
            if name not in given:
                raise ArgumentError("missing argument '%s'; %s takes %s"
                                    % (name, self.name, _listing(self.params)))
            bound[name] = check_text(name, given[name])
        return bound

    def call(self, state: Any, bound: Mapping[str, str]) -> Any:
        # By name: the state may be halvex_redis's twin of the class.
        return getattr(state, self.name)(**bound)


def _listing(params: List[str]) -> str:
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
        raise ArgumentError("argument '%s' must be a string, not %s" % (name, _json_type(value)))
    # More characters than the limit has bytes cannot fit, whatever they are:
    # no need to encode megabytes to refuse them.
    if len(value) > MAX_ARG_BYTES:
        size = "%d characters" % len(value)
    else:
        try:
            encoded = len(value.encode("utf-8"))
        except UnicodeEncodeError:
            # JSON can spell a lone surrogate ("\ud800"); the state takes only
            # text that has a UTF-8 form.
            raise ArgumentError("argument '%s' is not valid Unicode text (it holds a lone "
                                "surrogate)" % name) from None
        if encoded <= MAX_ARG_BYTES:
            return value
        size = "%d bytes" % encoded
    raise ArgumentError("argument '%s' is too large (%s); the limit is %d bytes of UTF-8"
                        % (name, size, MAX_ARG_BYTES))


def build_tools(pinned: Optional[str] = None) -> Dict[str, Tool]:
    """Every public method of the class, in the class's own order."""
    cls = halvex_core.CoordinationState
    return {name: Tool(name, method, pinned)
            for name, method in vars(cls).items()
            if not name.startswith("_") and callable(method)}


def to_json(value: Any) -> Any:
    """A method's result as JSON data: tuples become arrays."""
    if isinstance(value, (tuple, list)):
        return [to_json(v) for v in value]
    return value


def result_payload(value: Any) -> Tuple[Dict[str, Any], str]:
    """The structured content of a result and the same JSON as text."""
    structured = {"result": to_json(value)}
    return structured, json.dumps(structured, ensure_ascii=False)
