"""The internal fault the Python states raise, as halvex_core raises it."""
from __future__ import annotations

import sys

_PANIC_DOC = (
    "\n"
    "The exception raised when a halvex state stops on an internal fault.\n"
    "\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n")

# The same kind of fault as halvex_core's: a BaseException subclass of that
# name, not exported, written to standard error when raised.
PanicException: type[BaseException] = type(
    "PanicException", (BaseException,), {"__module__": "pyo3_runtime", "__doc__": _PANIC_DOC})


def panic(source: str, message: str) -> BaseException:
    """The fault to raise, once `source: internal fault: message` is on
    standard error (if it can be written)."""
    try:
        sys.stderr.write(f"{source}: internal fault: {message}\n")
    except Exception:
        pass
    return PanicException(message)
