"""The `halvex` command: lists leases and agents, claims, checks fencing
tokens, sends and reads messages, watches events and holds claims around a
command, against halvex_redis or a running `halvex-mcp --http`. Needs the
`redis` or the `mcp` extra. See docs/cli.md.
"""
from __future__ import annotations

from importlib.metadata import PackageNotFoundError, version

try:
    __version__ = version("halvex_core")
except PackageNotFoundError:  # running from a source tree
    __version__ = "0+unknown"

__all__ = ["__version__"]
