"""An MCP server over halvex_core's coordination state, for agents that are
separate programs: `halvex-mcp` serves the CoordinationState methods as tools
over stdio or streamable HTTP. Needs the `mcp` extra (Python 3.10+).

`import halvex_core` never imports this package.
"""
from __future__ import annotations

from typing import Any


def __getattr__(name: str) -> Any:
    # Read on demand: importlib.metadata costs the `halvex` command (which
    # reads the roles of credentials.py) tens of ms at every start.
    if name != "__version__":
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    from importlib.metadata import PackageNotFoundError, version

    try:
        found = version("halvex_core")
    except PackageNotFoundError:  # running from a source tree
        found = "0+unknown"
    globals()["__version__"] = found
    return found


__all__ = ["__version__"]
