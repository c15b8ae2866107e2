"""The `halvex` command: lists leases and agents, claims, checks fencing
tokens, sends and reads messages, watches events and holds claims around a
command, against halvex_redis or a running `halvex-mcp --http`. Needs the
`redis` or the `mcp` extra. See docs/cli.md.
"""
from __future__ import annotations

from typing import Any


def __getattr__(name: str) -> Any:
    # Read on demand: importlib.metadata costs a git hook's run tens of ms.
    if name != "__version__":
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    from importlib.metadata import PackageNotFoundError, version

    try:
        return version("halvex_core")
    except PackageNotFoundError:  # running from a source tree
        return "0+unknown"


__all__ = ["__version__"]
