"""What every Python state checks of a call's arguments before it reads or
writes anything, so that Redis and a state file refuse alike, with the
binding's own texts: surplus arguments first, then each argument in the
table's order."""

from __future__ import annotations

from typing import Callable

from .methods import KEY_METHODS, LEASE_SECS, MAX_CLAIM_KEYS, METHODS

# The longest wait_inbox: as long as a lease.
MAX_WAIT = LEASE_SECS

# Larger limits are the same as none (Lua would print larger numbers as floats).
LIMIT_CAP = 10 ** 12

Check = Callable[[str, object], object]


def not_text(name: str, value: object) -> TypeError:
    try:
        type_name = type(value).__qualname__
    except Exception:
        type_name = "<failed to extract type name>"
    return TypeError(f"argument '{name}': '{type_name}' object cannot be converted to "
                     "'PyString'")


def limit(name: str, value: object) -> int:
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{name} must be an int, not '{type(value).__name__}'")
    if value < 1:
        raise ValueError(f"{name} must be at least 1, not {value:d}")
    return min(value, LIMIT_CAP)


def token(name: str, value: object) -> int:
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{name} must be an int, not '{type(value).__name__}'")
    return value


def seconds(name: str, value: object) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise TypeError(f"{name} must be a number, not '{type(value).__name__}'")
    if not 0 <= value <= MAX_WAIT:  # NaN fails too
        raise ValueError(f"{name} must be from 0 to {MAX_WAIT:d} seconds, not {value!r}")
    return float(value)


def _distinct(name: str, value: object, text: Check, most: int, what: str,
              check: Callable[[str], None] | None = None) -> list[object]:
    """A list or tuple (not one str, which would read as its characters) of
    at most `most` strs, each checked and converted by `text`, a repeated
    one kept once, in order."""
    if isinstance(value, str) or not isinstance(value, (list, tuple)):
        raise TypeError(f"{name} must be a list of str, not '{type(value).__name__}'")
    if len(value) > most:
        raise ValueError(f"{name} holds {len(value)} {what}; at most {most} go in one call")
    seen: set[str] = set()
    out: list[object] = []
    for item in value:
        if not isinstance(item, str):
            raise TypeError(f"{name} must be a list of str, not of '{type(item).__name__}'")
        if check is not None:
            check(item)
        converted = text(name, item)
        if item not in seen:
            seen.add(item)
            out.append(converted)
    return out


def _claimable(key: str) -> None:
    if key[:5] not in KEY_METHODS:
        raise ValueError(f"a resource key starts with 'file:' or 'task:', not {key!r}")


def resource_keys(name: str, value: object, text: Check, claims: bool = True) -> list[object]:
    """Keys, each converted by `text`. For `claims` (claim_many): at most
    MAX_CLAIM_KEYS `file:`/`task:` keys, a repeated key kept once, in order;
    otherwise (a read) any keys, as given."""
    if claims:
        return _distinct(name, value, text, MAX_CLAIM_KEYS, "keys", _claimable)
    if not isinstance(value, (list, tuple)):
        raise TypeError(f"{name} must be a list of str, not '{type(value).__name__}'")
    for item in value:
        if not isinstance(item, str):
            raise TypeError(f"{name} must be a list of str, not of '{type(item).__name__}'")
    return [text(name, item) for item in value]


# Most dependencies one add_task call takes.
MAX_DEPENDENCIES = 1000


def task_ids(name: str, value: object, text: Check) -> list[object]:
    """add_task's dependencies: task ids, a repeated one kept once, in order."""
    return _distinct(name, value, text, MAX_DEPENDENCIES, "tasks")


# The checks every state shares, by parameter name.
CHECKS: dict[str, Check] = {"max_count": limit, "max_bytes": limit, "token": token,
                            "timeout": seconds, "wait": seconds}

_PARAMS = {name: tuple(p.name for p in method.params) for name, method in METHODS.items()}


def checked(method: str, surplus: tuple[object, ...], args: tuple[object, ...],
            checks: dict[str, Check], text: Check) -> list[object]:
    """A call's arguments checked in order (`text` for the parameters
    `checks` does not name); surplus positional arguments are refused first."""
    params = _PARAMS[method]
    if surplus:
        raise TypeError(f"CoordinationState.{method}() takes {len(params)} positional "
                        f"arguments but {len(params) + len(surplus)} were given")
    return [checks.get(p, text)(p, v) for p, v in zip(params, args)]
