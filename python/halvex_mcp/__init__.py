"""An MCP server over halvex_core's coordination state, for agents that are
separate programs: `halvex-mcp` serves the CoordinationState methods as tools
over stdio or streamable HTTP. Needs the `mcp` extra (Python 3.10+).

`import halvex_core` never imports this package.
"""
from __future__ import annotations

from importlib.metadata import PackageNotFoundError, version

try:
    __version__ = version("halvex_core")
except PackageNotFoundError:  # running from a source tree
    __version__ = "0+unknown"

__all__ = ["__version__"]
