from __future__ import annotations

from halvex_cli.cli import entry

entry()
