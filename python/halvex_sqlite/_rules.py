"""What halvex_sqlite checks of a call's arguments before it touches the
file, and its clock fault. The lease, the hand-over, the refusal texts and
check_lease's rule are halvex_types'.
"""
from __future__ import annotations

from typing import Callable

from halvex_types import LEASE_SECS, METHODS, panic

# The longest wait_inbox: as long as a lease.
MAX_WAIT = LEASE_SECS

WORDS = {0: "idle", 1: "busy", 2: "completed", 3: "error"}


def clock_fault(now: float) -> BaseException:
    return panic("halvex_sqlite",
                 f"system clock before unix epoch: the local clock reads {now!r} s")


def text(name: str, value: object) -> str:
    """The exact str of an argument, or the binding's TypeError; a lone
    surrogate raises UnicodeEncodeError here, before anything is written."""
    if type(value) is not str:
        if not isinstance(value, str):
            try:
                type_name = type(value).__qualname__
            except Exception:
                type_name = "<failed to extract type name>"
            raise TypeError(
                f"argument '{name}': '{type_name}' object cannot be converted to 'PyString'")
        value = str.__str__(value)  # a subclass is taken as its characters
    if not value.isascii():
        value.encode("utf-8")
    return value


# Larger limits are the same as none.
_LIMIT_CAP = 10 ** 12


def limit(name: str, value: object) -> int:
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{name} must be an int, not '{type(value).__name__}'")
    if value < 1:
        raise ValueError(f"{name} must be at least 1, not {value}")
    return min(value, _LIMIT_CAP)


def token(name: str, value: object) -> int:
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{name} must be an int, not '{type(value).__name__}'")
    return value


def seconds(name: str, value: object) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise TypeError(f"{name} must be a number, not '{type(value).__name__}'")
    if not 0 <= value <= MAX_WAIT:  # NaN fails too
        raise ValueError(f"{name} must be from 0 to {MAX_WAIT} seconds, not {value!r}")
    return float(value)


def record_id(name: str, value: object) -> str | None:
    """An activity id to read after (digits), or None for the newest."""
    if value is not None:
        if not isinstance(value, str):
            raise TypeError(f"{name} must be a str or None, not '{type(value).__name__}'")
        if not (value.isascii() and value.isdigit()):
            raise ValueError(f"{name} must be an activity id such as '0', not {value!r}")
    return value


def count(name: str, value: object) -> int:
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{name} must be an int, not '{type(value).__name__}'")
    if value < 0:
        raise ValueError(f"{name} must not be negative, not {value}")
    return value


_CHECKS: dict[str, Callable[[str, object], object]] = {
    "max_count": limit, "max_bytes": limit, "token": token, "timeout": seconds,
    "after": record_id, "count": count}

# Each method's parameter names, in the table's order.
_PARAMS = {name: tuple(p.name for p in method.params) for name, method in METHODS.items()}


def checked(method: str, surplus: tuple[object, ...], args: tuple[object, ...]) -> list[object]:
    """A call's arguments checked in order, before anything is read or
    written; surplus positional arguments are refused first."""
    params = _PARAMS[method]
    if surplus:
        raise TypeError(f"CoordinationState.{method}() takes {len(params)} positional "
                        f"arguments but {len(params) + len(surplus)} were given")
    return [_CHECKS.get(p, text)(p, v) for p, v in zip(params, args)]
