"""The few checks of incoming JSON-RPC text that the SDK answers with silence
or with a dump of its validator, for stdio and HTTP alike. Everything else
about JSON-RPC is the SDK's."""

from __future__ import annotations

import json
import re
from typing import Any

INVALID_REQUEST = -32600
PARSE_ERROR = -32700
UNAUTHORIZED = -32001  # an HTTP request without the server's bearer token

# The SDK writes a response as {"jsonrpc":"2.0","id":ID,...}: the id is read
# from the start of the line instead of parsing megabytes of result.
_SURROGATE_ESCAPE = re.compile(r"\\u[dD][89a-fA-F][0-9a-fA-F]{2}")
_RESPONSE_ID = re.compile(r'\{"jsonrpc":"2\.0","id":(-?\d+|"(?:[^"\\]|\\.)*")[,}]')


def id_problem(message: Any) -> str | None:
    """Why a parsed message cannot be answered as a request: an id that is
    neither a string nor an integer (1.5, null, true, an object or an array).
    The SDK takes such a message for a notification and never replies."""
    if not isinstance(message, dict) or "method" not in message or "id" not in message:
        return None
    ident = message["id"]
    if isinstance(ident, str) or (isinstance(ident, int) and not isinstance(ident, bool)):
        return None
    return "Invalid Request: the id must be a string or an integer"


def error_reply(code: int, message: str, ident: Any = None) -> str:
    """A JSON-RPC error, for `ident` or for a request whose id cannot be used."""
    return json.dumps({"jsonrpc": "2.0", "id": ident, "error": {"code": code, "message": message}},
                      separators=(",", ":"))


def has_lone_surrogate(line: str, message: Any) -> bool:
    """Whether the parsed `line` holds a string with a lone surrogate ("\\ud800"
    unpaired): JSON can spell one, but it is not Unicode text and the SDK drops
    such a message without a word."""
    if _SURROGATE_ESCAPE.search(line) is None:  # the common case, without a walk
        return False
    try:
        json.dumps(message, ensure_ascii=False).encode("utf-8")
    except UnicodeEncodeError:
        return True
    return False


def classify(line: str) -> tuple[str, Any]:
    """What one stdio line is: ("request", id), ("cancel", id of the request
    cancelled), ("refuse", error reply) or ("other", None)."""
    try:
        message = json.loads(line)
    except (ValueError, RecursionError):
        if not line.strip():
            return "other", None
        return "refuse", error_reply(PARSE_ERROR, "Parse error: the line is not JSON")
    if not isinstance(message, dict):
        return "refuse", error_reply(INVALID_REQUEST, "Invalid Request: not a JSON-RPC object")
    problem = id_problem(message)
    if problem is not None:
        return "refuse", error_reply(INVALID_REQUEST, problem)
    if has_lone_surrogate(line, message):
        ident = message.get("id")
        if (not isinstance(ident, (str, int)) or isinstance(ident, bool)
                or has_lone_surrogate(line, ident)):
            ident = None
        return "refuse", error_reply(PARSE_ERROR, "Parse error: the message holds a lone "
                                     "surrogate (such as \\ud800 without its pair), which is "
                                     "not Unicode text", ident)
    if "method" in message and "id" in message:
        return "request", message["id"]
    if message.get("method") == "notifications/cancelled":
        params = message.get("params")
        if isinstance(params, dict):
            return "cancel", params.get("requestId")
    return "other", None


def response_id(line: str) -> tuple[bool, Any]:
    """(True, id) when the line the SDK wrote is a response or error reply."""
    found = _RESPONSE_ID.match(line)
    if found is None:
        if '"method"' in line[:200]:  # a request or notification of the server's
            return False, None
        try:
            message = json.loads(line)
        except (ValueError, RecursionError):
            return False, None
        if isinstance(message, dict) and "id" in message and "method" not in message:
            return True, message["id"]
        return False, None
    return True, json.loads(found.group(1))
