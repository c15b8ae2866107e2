"""The exchange with the server: `exchange` runs a plan, framing each
request with its call id and confirmations, retrying it with the same id
after a lost reply, and feeding replies back. It does no I/O itself: it
yields actions (a command to run, a pause, dropping idle connections) that
the blocking or the asyncio runner carries out."""
from __future__ import annotations

from typing import Any, Generator, Tuple

import redis
from redis.exceptions import NoScriptError

from ._calls import (
    RETRYABLE,
    SOCKET_TIMEOUT,
    Block,
    Budget,
    Command,
    Frame,
    OutOfStep,
    Session,
    T,
)
from ._clients import CheckedClients, eviction_fault
from ._plans import Plan

# What exchange asks its runner to do: run a command (and send back its
# reply), block on a wake list (a command run on the waits' own client),
# sleep, or drop the client's idle pooled connections.
CALL, BLOCK, SLEEP, DROP = "call", "block", "sleep", "drop"
Action = Tuple[str, Any]
Steps = Generator[Action, Any, T]


def socket_timeout(client: Any) -> float | None:
    """The read timeout of the client's connections (None: none)."""
    for source in ("get_connection_kwargs", "connection_pool", "connection_kwargs"):
        kwargs: Any = getattr(client, source, None)
        try:
            if callable(kwargs):
                kwargs = kwargs()
            elif source == "connection_pool":
                kwargs = getattr(kwargs, "connection_kwargs", None)
        except Exception:
            continue
        if isinstance(kwargs, dict):
            value = kwargs.get("socket_timeout")
            return None if value is None else float(value)
    return SOCKET_TIMEOUT


def _block(client: Any, block: Block) -> Generator[Action, Any, Any]:
    """One BLPOP, shorter than the connection's read timeout (the plan
    blocks again while its wait lasts). A fault counts as a wake-up: the
    plan's next drain tells what came and has the retries."""
    limit = socket_timeout(client)
    wait = block.seconds if limit is None else min(block.seconds, max(0.01, limit * 0.8))
    try:
        try:
            reply = yield BLOCK, ("BLPOP", block.key, f"{max(0.001, wait):.3f}")
        except redis.exceptions.ResponseError:
            # Redis before 6 takes whole seconds only.
            reply = yield BLOCK, ("BLPOP", block.key, max(1, int(wait)))
    except RETRYABLE:
        return b"fault"
    return reply


def exchange(session: Session, client: Any, checked: CheckedClients,
             plan: Plan[T]) -> Steps[T]:
    try:
        request = next(plan)  # checks the arguments before anything is sent
    except StopIteration as stop:  # nothing to send
        nothing: T = stop.value
        return nothing
    budget = Budget()
    while True:
        if isinstance(request, Block):
            woke = yield from _block(client, request)
            try:
                request = plan.send(woke)
            except StopIteration as stop:
                after: T = stop.value
                return after
            budget = Budget()  # a wait's next drain has retries of its own
            continue
        if isinstance(request, Command):
            reply = yield from _plain(client, request, budget)
            try:
                request = plan.send(reply)
            except StopIteration as stop:
                read: T = stop.value
                return read
            continue
        frame = session.frame(request)
        finished = settled = False
        try:
            reply = yield from _send(frame, client, checked, budget)
            try:
                request = plan.send(reply)
            except StopIteration as stop:
                result: T = stop.value
                finished = True
            except Exception:
                if frame.request.drain_agent is None:  # a refusal the reply carried
                    frame.answered()
                    settled = True
                raise
            # Answered only once the result is made: an exception raised by
            # a signal handler until here (even inside answered) leaves a
            # drain unanswered, for the object's next drain to take over.
            frame.answered()
        except BaseException:  # cancelled or interrupted too: the call may have run
            if not settled:
                frame.failed()
            raise
        if finished:
            return result
        if not budget.another_round():
            raise redis.exceptions.TryAgainError(
                "the namespace was deleted again and again during the call")


def _plain(client: Any, command: Command, budget: Budget) -> Generator[Action, Any, Any]:
    while True:
        try:
            reply = yield CALL, command.args
        except RETRYABLE:
            wait = budget.wait()
            if wait is None:
                raise
            yield SLEEP, wait
            continue
        return reply


def _send(frame: Frame, client: Any, checked: CheckedClients,
          budget: Budget) -> Generator[Action, Any, Any]:
    while True:
        try:
            if id(client) not in checked.ids:
                fault = eviction_fault((yield CALL, ("INFO", "memory")))
                if fault is not None:
                    raise fault
                checked.add(client)
            try:
                reply = yield CALL, frame.command(False)
            except NoScriptError:
                # A restarted or flushed server forgets its scripts.
                reply = yield CALL, frame.command(True)
            if type(reply) is not list or not reply or reply[0] != frame.call_id:
                # The connection is out of step: our own reply still waits
                # on it. Drop it; the same id is answered from its record.
                yield DROP, None
                raise OutOfStep("a reply of another call arrived; the connection is dropped")
        except RETRYABLE:
            wait = budget.wait()
            if wait is None:
                raise
            yield SLEEP, wait
            continue
        return reply
