"""The texts of the task graph that every state writes alike: a cycle, and
why claim_next found nothing ready."""
from __future__ import annotations

import time
from typing import Sequence

from .methods import METHODS


def check_new_id(task_id: str) -> None:
    """An added task's id: an empty one would name no task."""
    if not task_id:
        raise ValueError("task_id must not be empty")


def cycle_refusal(task_id: str, path: Sequence[str]) -> RuntimeError:
    """add_task's refusal: `path` runs from the task through what each
    depends on back to the task."""
    return METHODS["add_task"].refusal("cycle", task_id=task_id, cycle=" -> ".join(path))


def clock(seconds: int) -> str:
    """A server second as the why text shows it (UTC)."""
    return time.strftime("%H:%M:%S", time.gmtime(seconds))


def held_text(holder: str, expires_at: int) -> str:
    return f"held by {holder} until {clock(expires_at)}"


def why(open_count: int, prefix: str, first: str | None, detail: str) -> str:
    """Why no task is ready: how many open tasks there are (none ready) and
    what the oldest of them waits for (`first`, `detail`)."""
    under = f" under {prefix!r}" if prefix else ""
    if open_count == 0:
        return f"no open tasks{under}"
    noun = "task" if open_count == 1 else "tasks"
    text = f"{open_count} {noun}{under} blocked"
    if first is not None:
        text += f": {first} {detail}"
    return text
