"""The tools: one per method of a CoordinationState (halvex_mcp.state).

Names, parameters, their order and the descriptions come from the
`CoordinationState` protocol, the one place they are written. `inbox` and
`drain_inbox` also take two optional limits and answer in bounded batches.
Nothing here imports the MCP SDK: this is the plain-data half of the server.
"""

from __future__ import annotations

import json
from typing import Any, Dict, List, Mapping, Optional, Tuple

from . import state

# Bytes of UTF-8 allowed in one argument. Agent ids, paths and task ids are
# short; 64 KiB leaves a message room for a sizeable patch or log excerpt while
# keeping one caller from filling the server's memory through an inbox.
MAX_ARG_BYTES = 64 * 1024

# One inbox or drain_inbox result holds at most this many messages and this
# many bytes of UTF-8 content (but always one message when any waits), so a
# large inbox is read in several calls and no single reply stalls the server.
BATCH_MESSAGES = 1000
BATCH_BYTES = 1024 * 1024

# Parameters that name the caller: `--agent` fixes them for every call.
IDENTITY_PARAMS = ("agent_id", "from_agent")

# The tools that answer in batches, and their optional limits.
BATCHED = ("inbox", "drain_inbox")
LIMITS = {"max_messages": BATCH_MESSAGES, "max_bytes": BATCH_BYTES}

_BATCH_DOC = (
    "\nAt most max_messages messages (default and ceiling %d) and max_bytes bytes of "
    "content (default and ceiling %d, but always one message when any waits) come back "
    "per call; `remaining` in the result says how many still wait for the next call."
    % (BATCH_MESSAGES, BATCH_BYTES))
_DRAIN_DOC = (
    "\nA drained batch is confirmed by this session's next request; if its reply never "
    "arrived, a later drain of this agent returns it again (at least once).")


class ArgumentError(Exception):
    """A call's arguments do not fit the tool's parameters."""


class Tool(object):
    """One method as a tool: its parameters and, with a pinned agent, the fixed ones."""

    __slots__ = ("name", "params", "fixed", "description", "batched")

    def __init__(self, name: str, params: List[str], doc: str, pinned: Optional[str]) -> None:
        self.name = name
        self.fixed: Dict[str, str] = {}
        if pinned is not None:
            self.fixed = {p: pinned for p in params if p in IDENTITY_PARAMS}
        self.params = [p for p in params if p not in self.fixed]
        self.batched = name in BATCHED
        if self.batched:
            doc += _BATCH_DOC + (_DRAIN_DOC if name == "drain_inbox" else "")
        for param in self.fixed:
            doc += "\nThis server acts as agent %s: `%s` is always %s." % (
                json.dumps(pinned), param, json.dumps(pinned))
        self.description = doc

    def input_schema(self) -> Dict[str, Any]:
        properties: Dict[str, Any] = {p: {"type": "string"} for p in self.params}
        if self.batched:
            properties.update({name: {"type": "integer", "minimum": 1, "maximum": ceiling}
                               for name, ceiling in LIMITS.items()})
        return {
            "type": "object",
            "properties": properties,
            "required": list(self.params),
            "additionalProperties": False,
        }

    def bind(self, arguments: Optional[Mapping[str, Any]]
             ) -> Tuple[Dict[str, str], Tuple[int, int]]:
        """The method's keyword arguments and the batch limits, or ArgumentError
        naming the first bad argument."""
        given = dict(arguments or {})
        limits = dict(LIMITS)
        for name in given:
            if self.batched and name in LIMITS:
                limits[name] = check_limit(name, given[name], LIMITS[name])
            elif name not in self.params:
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
        return bound, (limits["max_messages"], limits["max_bytes"])


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


def check_limit(name: str, value: Any, ceiling: int) -> int:
    if isinstance(value, bool) or not isinstance(value, int):
        raise ArgumentError("argument '%s' must be an integer, not %s" % (name, _json_type(value)))
    if value < 1 or value > ceiling:
        raise ArgumentError("argument '%s' must be between 1 and %d, not %d"
                            % (name, ceiling, value))
    return value


def build_tools(pinned: Optional[str] = None) -> Dict[str, Tool]:
    """Every method of the protocol, in its order."""
    return {name: Tool(name, params, doc, pinned)
            for name, (params, doc) in state.methods().items()}


def to_json(value: Any) -> Any:
    """A method's result as JSON data: tuples become arrays."""
    if isinstance(value, (tuple, list)):
        return [to_json(v) for v in value]
    return value


def result_payload(value: Any, remaining: Optional[int] = None) -> Tuple[Dict[str, Any], str]:
    """The structured content of a result and the same JSON as text; a batch
    also says how many messages remain."""
    structured: Dict[str, Any] = {"result": to_json(value)}
    if remaining is not None:
        structured["remaining"] = remaining
    return structured, json.dumps(structured, ensure_ascii=False)
