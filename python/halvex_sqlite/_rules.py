"""What halvex_sqlite checks of a call's arguments before it touches the
file, and its clock fault. The lease, the hand-over, the refusal texts and
check_lease's rule are halvex_types'.
"""
from __future__ import annotations

from halvex_types import arguments, panic
from halvex_types.arguments import CHECKS, Check, not_text

WORDS = {0: "idle", 1: "busy", 2: "completed", 3: "error"}


def clock_fault(now: float) -> BaseException:
    return panic("halvex_sqlite",
                 f"system clock before unix epoch: the local clock reads {now!r} s")


def text(name: str, value: object) -> str:
    """The exact str of an argument, or the binding's TypeError; a lone
    surrogate raises UnicodeEncodeError here, before anything is written."""
    if type(value) is not str:
        if not isinstance(value, str):
            raise not_text(name, value)
        value = str.__str__(value)  # a subclass is taken as its characters
    if not value.isascii():
        value.encode("utf-8")
    return value


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


_CHECKS: dict[str, Check] = {**CHECKS, "after": record_id, "count": count,
                             "resource_keys": lambda n, v: arguments.resource_keys(n, v, text),
                             "keys": lambda n, v: arguments.resource_keys(n, v, text, False),
                             "depends_on": lambda n, v: arguments.task_ids(n, v, text)}


def checked(method: str, surplus: tuple[object, ...], args: tuple[object, ...]) -> list[object]:
    """A call's arguments checked in order, before anything is read or written."""
    return arguments.checked(method, surplus, args, _CHECKS, text)
