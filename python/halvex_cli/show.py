"""Output: rich tables for people, JSON for programs, and the views that
refresh in place (rich's Live) and say so when the target stops answering."""

from __future__ import annotations

import json
import sys
import time
from typing import Any, Callable, Dict, List

from .targets import REDIS_MISSING, Unreachable, Unsupported

Rows = List[Dict[str, Any]]

# Message contents longer than this are shortened in tables (JSON has them whole).
CONTENT_WIDTH = 60


def rich_console(stderr: bool = False) -> Any:
    try:
        from rich.console import Console
    except ImportError:
        raise Unsupported("tables need the rich package, which the redis and mcp extras "
                          f"install ({REDIS_MISSING}); -o json works without it") from None
    return Console(stderr=stderr, highlight=False)


def print_json(value: Any) -> None:
    sys.stdout.write(json.dumps(value, ensure_ascii=False) + "\n")
    sys.stdout.flush()


def span(seconds: float) -> str:
    """A duration as people read it: 45s, 4m05s, 2h03m, 3d04h."""
    s = int(max(seconds, 0))
    if s < 60:
        return f"{s}s"
    if s < 3600:
        return f"{s // 60}m{s % 60:02d}s"
    if s < 86400:
        return f"{s // 3600}h{s % 3600 // 60:02d}m"
    return f"{s // 86400}d{s % 86400 // 3600:02d}h"


def stamp(seconds: float | None) -> str:
    if seconds is None:
        return "-"
    return time.strftime("%Y-%m-%d %H:%M:%S", time.gmtime(seconds))


# Characters that would act on a terminal, hide text or reorder it rather
# than show: C0 and C1 controls, DEL, bidi controls, zero-width and other
# invisible format characters. Shown escaped in every human-readable output.
_HIDDEN = {*range(0x20), *range(0x7F, 0xA0),
    0x00AD, 0x034F, 0x061C, 0x115F, 0x1160, 0x17B4, 0x17B5, 0x180B, 0x180C, 0x180D, 0x180E,
    0x180F, 0x3164, 0xFEFF, 0xFFA0, *range(0x200B, 0x2010), *range(0x2028, 0x202F),
    *range(0x205F, 0x2070), *range(0xFE00, 0xFE10), *range(0xFFF0, 0xFFFC),
    *range(0xE0000, 0xE1000)}
_ESCAPES = {c: (f"\\x{c:02x}" if c < 0x100 else f"\\u{c:04x}" if c < 0x10000 else f"\\U{c:08x}")
            for c in _HIDDEN}


def visible(text: str) -> str:
    """`text` with every character that would not simply show escaped
    (\\x1b, \\u202e...), so that an agent id, key or message can neither
    drive the terminal nor pass for something else."""
    return text.translate(_ESCAPES)


def shorten(text: str, width: int = CONTENT_WIDTH) -> str:
    text = visible(text.replace("\n", " "))
    return text if len(text) <= width else text[:width - 1] + "…"


def _table(title: str, columns: list[str], right: tuple[str, ...] = ()) -> Any:
    """A table whose title and cells are plain text: agent ids, keys and
    messages may hold rich's markup brackets."""
    from rich.table import Table
    from rich.text import Text

    table = Table(title=Text(visible(title)), title_justify="left")
    for name in columns:
        table.add_column(name, justify="right" if name in right else "left")
    return table


def _row(table: Any, cells: list[str], style: str | None = None) -> None:
    from rich.text import Text

    table.add_row(*[Text(visible(c)) for c in cells], style=style)


def lease_table(rows: Rows, now: float, title: str) -> Any:
    table = _table(title, ["KEY", "HOLDER", "TOKEN", "HELD FOR", "EXPIRES IN"], ("TOKEN",))
    for row in rows:
        left = row["expires_at"] - now
        expiry = span(left) if row["live"] else f"expired {span(-left)} ago"
        _row(table, [row["resource_key"], row["holder"], str(row["token"]),
                     span(now - row["granted_at"]), expiry], None if row["live"] else "dim")
    if not rows:
        table.caption = "no claims"
    return table


def agent_table(rows: Rows, now: float, title: str) -> Any:
    table = _table(title, ["AGENT", "STATUS", "INBOX", "PENDING", "LEASES", "LAST SEEN"],
                   ("INBOX", "PENDING", "LEASES"))
    for row in rows:
        seen = row["last_seen"]
        _row(table, [row["agent_id"], row["status"], str(row["inbox"]), str(row["pending"]),
                     str(row["leases"]), "never" if seen is None else span(now - seen) + " ago"])
    if not rows:
        table.caption = "no agents"
    return table


def message_table(rows: Rows, title: str) -> Any:
    table = _table(title, ["FROM", "TO", "AT", "CONTENT"])
    for row in rows:
        _row(table, [row["from"], row["to"], stamp(row["timestamp"]), shorten(row["content"])])
    if not rows:
        table.caption = "no messages"
    return table


def event_line(event: dict[str, Any]) -> str:
    """One activity record as one line of text, every value shown visibly."""
    event = {k: v if isinstance(v, int) else visible(str(v)) for k, v in event.items()}
    at = stamp(event.get("at"))
    kind = event.get("kind", "?")
    head = f"{at}  {kind:<9}"
    if kind in ("claimed", "released"):
        return f"{head} {event.get('key')}  by {event.get('agent')}"
    content = shorten(str(event.get("content", "")))
    if kind == "sent":
        return f"{head} {event.get('from')} -> {event.get('to')}: {content}"
    if kind == "broadcast":
        return f"{head} {event.get('from')} -> *: {content}"
    extra = " ".join(f"{k}={v}" for k, v in event.items() if k not in ("id", "at", "kind"))
    return f"{head} {extra}"


def live_view(fetch: Callable[[], tuple[Rows, float]],
              render: Callable[[Rows, float, str], Any], title: str, name: str,
              as_json: bool, interval: float, duration: float | None) -> int:
    """Shows fetch()'s rows every `interval` seconds until Ctrl-C (or for
    `duration` seconds). While the target does not answer, the last rows stay
    on screen under a title that says since when it is disconnected; the view
    recovers by itself. With JSON, one object a refresh: {"at", name} or
    {"at", "error"}."""
    end = None if duration is None else time.monotonic() + duration
    console = None if as_json else rich_console()
    rows: Rows = []
    now = 0.0
    lost_since: float | None = None
    live: Any = None
    try:
        if console is not None:
            from rich.live import Live

            live = Live(console=console, auto_refresh=False, transient=False)
            live.start()
        while True:
            try:
                rows, now = fetch()
                lost_since, problem = None, ""
            except Unreachable as err:
                if lost_since is None:
                    lost_since = time.time()
                problem = str(err)
            if as_json:
                print_json({"at": now, name: rows} if not problem
                           else {"at": time.time(), "error": problem})
            else:
                if problem:
                    head = (f"{title}  [DISCONNECTED since {stamp(lost_since)} UTC, "
                            f"retrying: {problem}]")
                    view = render(rows, now, head)
                    view.title_style = "bold red"
                    view.border_style = "red"
                else:
                    view = render(rows, now, f"{title}  (updated {stamp(now)} UTC)")
                live.update(view, refresh=True)
            if end is not None and time.monotonic() + interval > end:
                return 0
            time.sleep(interval)
    except KeyboardInterrupt:
        return 0
    finally:
        if live is not None:
            live.stop()
