"""The rules halvex_sqlite shares with halvex_core and halvex_redis: lease
length, hand-over, the texts of refusals and argument errors, the clock
fault. Kept in this one place so that they can move out whole.
"""
# moves to halvex_types: everything in this module down to `seconds`.
from __future__ import annotations

import sys
from typing import Callable

# Seconds a claim stays live after its grant or latest renewal.
LEASE = 300

# A drained batch left unconfirmed this long (its drainer stopped calling) is
# returned by the next drain of that agent from any object.
HANDOVER = 30

# The longest wait_inbox: as long as a lease.
MAX_WAIT = 300

WORDS = {0: "idle", 1: "busy", 2: "completed", 3: "error"}


def conflict(holder: str, name: str, task: bool) -> str:
    return f"{holder} already holds claim on task {name}" if task else \
        f"{holder} already holds claim on {name}"


def no_claim_to_renew(key: str) -> str:
    return f"no claim on {key} to renew"


def no_claim_found(agent: str) -> str:
    return f"no claim found for {agent}"


def not_holder(agent: str, verb: str, holder: str) -> str:
    return f"{agent} cannot {verb} a claim held by {holder}"


def check_lease_refusal(key: str, agent: str, token: int, holder: str | None,
                        held_token: int, elapsed: int) -> str | None:
    """Why check_lease refuses, or None when the lease is held live with that
    token. `elapsed` saturates at zero (a clock set back keeps a claim fresh)."""
    if holder is None:
        return f"no claim on {key}"
    if holder != agent or held_token != token:
        return f"token {token} on {key} is stale: {holder} holds token {held_token}"
    if elapsed >= LEASE:
        return f"lease on {key} expired {elapsed - LEASE} s ago"
    return None


_PANIC_DOC = (
    "\n"
    "The exception raised when halvex_sqlite stops on an internal fault.\n"
    "\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n")

# The same kind of fault as halvex_core's: a BaseException subclass of that
# name, not exported, written to standard error when raised.
PanicException: type[BaseException] = type(
    "PanicException", (BaseException,), {"__module__": "pyo3_runtime", "__doc__": _PANIC_DOC})


def clock_fault(now: float) -> BaseException:
    message = f"system clock before unix epoch: the local clock reads {now!r} s"
    try:
        sys.stderr.write(f"halvex_sqlite: internal fault: {message}\n")
    except Exception:
        pass
    return PanicException(message)


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


CHECKS: dict[str, Callable[[str, object], object]] = {
    "max_count": limit, "max_bytes": limit, "token": token, "timeout": seconds}


def surplus_error(method: str, params: int, given: int) -> TypeError:
    return TypeError(f"CoordinationState.{method}() takes {params} positional arguments but "
                     f"{given} were given")
