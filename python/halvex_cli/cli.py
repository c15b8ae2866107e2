"""The `halvex` command: see docs/cli.md.

Exit statuses: 0 done, 1 refused by the state (its text on stderr), 2 usage,
3 target unreachable; `run` adds its own (run.py).
"""

from __future__ import annotations

import argparse
import gc
import json
import os
import sys
import time
from typing import Any, Callable, Sequence, cast

from halvex_types import LEASE_SECS, METHODS, names
from halvex_types.methods import EMPTY

from .guard import add_guard_parser, add_hook_parser, cmd_guard, cmd_hook, repo_key
from .show import (
    agent_table,
    event_line,
    lease_table,
    live_view,
    message_table,
    print_json,
    rich_console,
    visible,
)
from .targets import (
    McpTarget,
    RedisTarget,
    Refused,
    SqliteTarget,
    Target,
    Unreachable,
    Unsupported,
    as_json,
)

OK, REFUSED, USAGE, UNREACHABLE = 0, 1, 2, 3

ENV_REDIS, ENV_NAMESPACE = "HALVEX_REDIS_URL", "HALVEX_NAMESPACE"
ENV_MCP, ENV_TOKEN = "HALVEX_MCP_URL", "HALVEX_MCP_TOKEN"
ENV_AGENT, ENV_TOKENS = "HALVEX_AGENT", "HALVEX_TOKENS"

# The methods the hand-made commands call. Every other method of the
# service is a command of its own, named after it ("lease", "status"), its
# parameters positional in the method's order.
HAND_MADE = ("claim_file", "claim_task", "renew_claim", "release", "release_all",
             "check_lease", "send_message", "broadcast", "inbox", "drain_inbox", "wait_inbox",
             "leases", "agents")
_KINDS: dict[str, Callable[[str], Any]] = {"str": str, "int": int, "float": float}


def one_to_one() -> dict[str, str]:
    """The commands made from the table: command name -> method name."""
    return {name.replace("_", "-"): name for name in names("state", "service")
            if name not in HAND_MADE}


def _common(bearer: bool = True) -> argparse.ArgumentParser:
    """Options taken before or after the command name (SUPPRESS: a value
    given before is not reset by the command's own parser). After `check`,
    --token is the fencing token; the bearer token goes before it."""
    common = argparse.ArgumentParser(add_help=False)
    group = common.add_argument_group("target")
    group.add_argument("--redis", metavar="URL", default=argparse.SUPPRESS,
                       help=f"a Redis URL, as halvex_redis takes it (default: ${ENV_REDIS})")
    group.add_argument("--state", metavar="PATH", default=argparse.SUPPRESS,
                       help="a halvex_sqlite state file (default: $HALVEX_STATE, else the "
                            "repository's own, <git common dir>/halvex/state.db, else the "
                            "user's); the target when no other is named")
    group.add_argument("--namespace", metavar="NS", default=argparse.SUPPRESS,
                       help=f"the namespace in Redis or the state file (default: "
                            f"${ENV_NAMESPACE}; required with Redis; 'default' in a state "
                            "file). A halvex-mcp --redis server uses 'halvex-mcp' unless told "
                            "otherwise")
    group.add_argument("--mcp", metavar="URL", default=argparse.SUPPRESS,
                       help="the URL of a running halvex-mcp --http, e.g. "
                            f"http://127.0.0.1:8000/mcp (default: ${ENV_MCP})")
    if bearer:
        group.add_argument("--token", metavar="T", dest="mcp_token", default=argparse.SUPPRESS,
                           help=f"the bearer token of that server (default: ${ENV_TOKEN})")
    common.add_argument("-o", "--output", choices=("table", "json"), default=argparse.SUPPRESS,
                        help="tables for people (default) or JSON for programs")
    return common


def _agent(p: argparse.ArgumentParser, flag: str = "--agent", dest: str = "agent") -> None:
    p.add_argument(flag, dest=dest, metavar="A", default=os.environ.get(ENV_AGENT),
                   help=f"the acting agent's id (default: ${ENV_AGENT}, which `halvex run` sets)")


def _watching(p: argparse.ArgumentParser) -> None:
    p.add_argument("--watch", action="store_true", help="refresh in place until Ctrl-C")
    p.add_argument("--interval", type=float, default=2.0, metavar="S",
                   help="seconds between refreshes (default 2)")
    p.add_argument("--for", dest="duration", type=float, metavar="S",
                   help="stop watching after S seconds")


class _Version(argparse.Action):
    """--version, looked up only when asked for."""

    def __init__(self, option_strings: Sequence[str], dest: str = argparse.SUPPRESS,
                 **kwargs: Any) -> None:
        super().__init__(option_strings, dest, nargs=0, default=argparse.SUPPRESS, **kwargs)

    def __call__(self, parser: argparse.ArgumentParser, *_args: Any) -> None:
        from . import __version__

        parser.exit(message=f"halvex {__version__}\n")


class _Unbuilt:
    """The parser of a command this run does not use: every call on it does nothing."""

    def __getattr__(self, name: str) -> Callable[..., Any]:
        return lambda *args, **kwargs: self


# The options before the command that take a value, as _common spells them.
_VALUED = ("--redis", "--state", "--namespace", "--mcp", "--token", "-o", "--output")


def command_named(argv: Sequence[str]) -> str | None:
    """The command that `argv` names, when only target options precede it;
    None otherwise (help, a mistake, an abbreviated option): then every
    command's parser is built, as usage and errors list them all."""
    i = 0
    while i < len(argv):
        word = argv[i]
        if word in _VALUED:
            i += 2
        elif word.startswith("-") and word.partition("=")[0] in _VALUED:
            i += 1
        elif word.startswith("-"):
            return None
        else:
            return word if word in COMMANDS or word in ("run", "token") else None
    return None


def parser(only: str | None = None) -> argparse.ArgumentParser:
    """The command's parser; with `only`, of that command alone: a git hook
    runs `halvex guard` at every commit, and building all of them costs
    more than its check."""
    common = _common()
    ap = argparse.ArgumentParser(
        prog="halvex", parents=[common],
        description="Watch and steer an agent team's claims and messages: in the "
                    "repository's state file (the default, shared by every halvex-mcp on "
                    "this machine that names no other), in Redis, or in a running "
                    "halvex-mcp --http.",
        epilog="Exit status: 0 done, 1 refused by the state (its text on stderr), 2 usage, "
               "3 target unreachable; `halvex run` adds its own (see its --help).")
    ap.add_argument("--version", action=_Version, help="show the version and exit")
    sub = ap.add_subparsers(dest="command", metavar="COMMAND")
    sub.required = True

    def command(name: str, text: str, bearer: bool = True) -> argparse.ArgumentParser:
        if only is not None and name != only:
            return cast(argparse.ArgumentParser, _Unbuilt())
        return sub.add_parser(name, parents=[common if bearer else _common(False)], help=text,
                              description=text)

    p = command("leases", "List stored claims (expired ones included) with their fencing tokens.")
    p.add_argument("--prefix", default="", help="only keys starting with this, e.g. file:src/")
    p.add_argument("--agent", help="only claims held by this agent")
    _watching(p)
    p = command("agents", "List known agents: status, inbox, pending, leases held, last seen.")
    _watching(p)
    for name, text in (("claim", f"Claim KEY (file:<path> or task:<id>) for {LEASE_SECS} seconds."),
                       ("renew", "Renew the agent's claim on KEY."),
                       ("release", "Release the agent's claim on KEY.")):
        p = command(name, text)
        p.add_argument("key", metavar="KEY")
        _agent(p)
    p = command("release-all", "Release every claim an agent holds (e.g. one that died).")
    p.add_argument("agent", metavar="A")
    p = command("check", "Check that the agent holds KEY live under fencing token N; prints the "
                         "seconds left. (A bearer --token T goes before `check`.)", bearer=False)
    p.add_argument("key", metavar="KEY")
    _agent(p)
    p.add_argument("--token", dest="fencing_token", type=int, metavar="N",
                   help=f"the fencing token (default: KEY's in ${ENV_TOKENS}, which `halvex "
                        "run` sets)")
    p = command("send", "Send TEXT to agent TO's inbox.")
    _agent(p, "--from", "sender")
    p.add_argument("to", metavar="TO")
    p.add_argument("text", metavar="TEXT")
    p = command("broadcast", "Send TEXT to every known agent, the sender included.")
    _agent(p, "--from", "sender")
    p.add_argument("text", metavar="TEXT")
    p = command("inbox", "Show an agent's inbox.")
    p.add_argument("agent", metavar="A")
    p.add_argument("--drain", action="store_true", help="empty the inbox as it is read")
    p.add_argument("--wait", type=float, metavar="SECONDS",
                   help="when the inbox is empty, wait up to SECONDS for a message, then "
                        "drain (implies --drain)")
    p = command("watch", "Print claims, releases and messages as they happen (not over --mcp).")
    p.add_argument("--replay", action="store_true",
                   help="first print the records the activity log still holds")
    p.add_argument("--count", type=int, metavar="N", help="stop after N events")
    p.add_argument("--for", dest="duration", type=float, metavar="S",
                   help="stop after S seconds")
    p = command("delete-namespace", "Delete every key of the namespace (over --mcp: with an "
                                    "admin's token of a server with --credentials).")
    p.add_argument("--yes", action="store_true", help="really delete (required)")
    if only in (None, "board"):
        from .board import add_board_parser

        add_board_parser(command("board", "Open the live board of the target's state in a "
                                          "browser (a halvex-mcp on a free loopback port draws "
                                          "it)."))
    add_guard_parser(command("guard", "Refuse a commit (exit 1) whose staged files another "
                                      "agent holds a live claim on: a git pre-commit check."))
    add_hook_parser(command("hook", "Hooks: install `halvex guard` as the repository's "
                                    "pre-commit hook; a coding agent's pre-edit and "
                                    "session-end hooks (see docs/hooks.md)."))
    if only in (None, "token"):
        from halvex_mcp.credentials import AGENT, ROLES

        p = command("token", "Make a bearer token for halvex-mcp --http --credentials FILE: "
                             "prints the token once and the line to add to FILE (which keeps "
                             "only its hash).", bearer=False)
        p.add_argument("action", choices=["new"], help="new: a fresh random token")
        p.add_argument("name", metavar="NAME", help="the agent (or person) the token is for")
        p.add_argument("--role", choices=ROLES, default=AGENT,
                       help="agent: acts only as NAME; observer: reads only; admin: acts as "
                            "anyone (default agent)")
    for cmd, method in one_to_one().items():
        p = command(cmd, METHODS[method].doc.split("\n\n")[0].replace("\n", " "))
        for param in METHODS[method].params:
            optional = param.default is not EMPTY
            listed = param.kind.startswith("list[")  # the rest of the arguments
            p.add_argument(param.name, metavar=param.name.upper(),
                           type=_KINDS[param.kind[5:-1] if listed else param.kind],
                           nargs="+" if listed else "?" if optional else None,
                           default=param.default if optional else None)
    p = command("task", "The task graph: add tasks with dependencies, claim the next ready one, "
                        "mark it done or failed, list them.")
    actions = p.add_subparsers(dest="action", metavar="ACTION")
    actions.required = True

    def action(name: str, text: str) -> argparse.ArgumentParser:
        q = actions.add_parser(name, parents=[common], help=text, description=text)
        _agent(q)
        return q

    q = action("add", "Add task ID (or give one not yet started more dependencies); it is "
                      "ready once every DEP is done.")
    q.add_argument("task_id", metavar="ID")
    q.add_argument("title", metavar="TITLE")
    q.add_argument("depends_on", metavar="DEP", nargs="*")
    q = action("next", "Claim the oldest ready task; exit status 1, with the reason on "
                       "stderr, when none is ready.")
    q.add_argument("--prefix", default="", help="only tasks whose id starts with this")
    q.add_argument("--wait", type=float, default=0.0, metavar="SECONDS",
                   help="wait up to SECONDS for a task to become ready")
    q = action("done", "Mark the agent's task ID done, with an optional NOTE.")
    q.add_argument("task_id", metavar="ID")
    q.add_argument("note", metavar="NOTE", nargs="?", default="")
    q = action("fail", "Mark the agent's task ID failed with REASON.")
    q.add_argument("task_id", metavar="ID")
    q.add_argument("reason", metavar="REASON")
    q = action("reset", "Reopen task ID, which the agent failed.")
    q.add_argument("task_id", metavar="ID")
    q = action("list", "List the tasks: state, holder, token, what each waits for.")
    q.add_argument("--prefix", default="", help="only tasks whose id starts with this")
    if only in (None, "run"):
        from .run import add_run_parser

        add_run_parser(command("run", "Hold claims around a command: claim every KEY (all or "
                                      "none), renew while CMD runs, release when it ends."))
    return ap


def target_of(args: argparse.Namespace) -> Target:
    """The target the options name, else the environment, else the state
    file of the repository (or user) the command runs in."""
    given = {flag: getattr(args, dest, None)
             for flag, dest in (("--redis", "redis"), ("--mcp", "mcp"), ("--state", "state"))}
    chosen = [flag for flag, value in given.items() if value]
    if len(chosen) > 1:
        raise Unsupported(f"give one of --redis, --mcp and --state, not {' and '.join(chosen)}")
    redis_url, mcp_url, state = given["--redis"], given["--mcp"], given["--state"]
    if not chosen:
        redis_url, mcp_url = os.environ.get(ENV_REDIS), os.environ.get(ENV_MCP)
        if redis_url and mcp_url:
            raise Unsupported(f"both ${ENV_REDIS} and ${ENV_MCP} are set: pick one with --redis "
                              "or --mcp")
    namespace = getattr(args, "namespace", None) or os.environ.get(ENV_NAMESPACE)
    if redis_url:
        if not namespace:
            raise Unsupported(f"--redis needs --namespace NS (or ${ENV_NAMESPACE})")
        return RedisTarget(redis_url, namespace)
    if mcp_url:
        return McpTarget(mcp_url, getattr(args, "mcp_token", None) or os.environ.get(ENV_TOKEN))
    # halvex_sqlite itself reads $HALVEX_STATE when no path is given.
    return SqliteTarget(state, namespace)


def _need(value: str | None, what: str) -> str:
    if not value:
        raise Unsupported(f"{what} is required")
    return value


def token_from_env(key: str) -> int | None:
    """KEY's token in $HALVEX_TOKENS: one `key=token` a line."""
    for line in os.environ.get(ENV_TOKENS, "").splitlines():
        name, sep, value = line.rpartition("=")
        if sep and name == key and value.isdigit():
            return int(value)
    return None


def _show(args: argparse.Namespace, value: Any, table: Callable[[], Any]) -> None:
    if args.as_json:
        print_json(value)
        return
    shown = table()
    # Plain text (keys may hold rich's markup brackets): a str is one line,
    # a list holds our own lines; a line break inside a name shows escaped.
    if isinstance(shown, str):
        sys.stdout.write(visible(shown) + "\n")
    elif isinstance(shown, list):
        sys.stdout.write("".join(visible(line) + "\n" for line in shown))
    else:
        rich_console().print(shown)


def _lease_or_key(target: Target, key: str) -> dict[str, Any]:
    try:
        found = target.lease(key)
    except Unsupported:  # an MCP server without the lease tool
        found = None
    return found or {"resource_key": key}


def _view(args: argparse.Namespace, target: Target, fetch: Callable[[], Any],
          table: Callable[[Any, Any, str], Any], kind: str) -> int:
    """One table of the target, or a live view of it with --watch."""
    title = f"{kind} at {target.label}"
    if args.watch:
        return live_view(fetch, table, title, kind, args.as_json, args.interval, args.duration)
    rows, now = fetch()
    _show(args, rows, lambda: table(rows, now, title))
    return OK


def cmd_leases(args: argparse.Namespace, target: Target) -> int:
    def fetch() -> Any:
        rows = [r for r in target.leases(args.prefix)
                if args.agent is None or r["holder"] == args.agent]
        return rows, target.now()

    return _view(args, target, fetch, lease_table, "leases")


def cmd_agents(args: argparse.Namespace, target: Target) -> int:
    return _view(args, target, lambda: (target.agents(), target.now()), agent_table, "agents")


def cmd_key(args: argparse.Namespace, target: Target) -> int:
    agent = _need(args.agent, "--agent")
    key = repo_key(args.key)
    if args.command == "release":
        target.release(agent, key)
        _show(args, {"resource_key": key, "agent": agent, "released": True},
              lambda: f"{agent} released {key}")
        return OK
    if args.command == "claim":
        target.claim(agent, key)
    else:
        target.renew(agent, key)
    found = _lease_or_key(target, key)
    token = found.get("token")
    verb = "claimed" if args.command == "claim" else "renewed"
    tail = "" if token is None else f" (fencing token {token:d})"
    _show(args, found, lambda: f"{agent} {verb} {key}{tail}")
    return OK


def cmd_release_all(args: argparse.Namespace, target: Target) -> int:
    keys = target.release_all(args.agent)
    _show(args, {"agent": args.agent, "released": keys},
          lambda: f"{args.agent} released {', '.join(keys) if keys else 'nothing'}")
    return OK


def cmd_check(args: argparse.Namespace, target: Target) -> int:
    agent = _need(args.agent, "--agent")
    args.key = repo_key(args.key)
    token = args.fencing_token if args.fencing_token is not None else token_from_env(args.key)
    if token is None:
        raise Unsupported(f"--token N is required (no token for {args.key} in ${ENV_TOKENS})")
    left = target.check(agent, args.key, token)
    _show(args, {"resource_key": args.key, "agent": agent, "token": token, "seconds_left": left},
          lambda: f"{agent} holds {args.key} with token {token:d}: {left:d} s left")
    return OK


def cmd_send(args: argparse.Namespace, target: Target) -> int:
    sender = _need(args.sender, "--from")
    if args.command == "send":
        sent = target.send(sender, args.to, args.text)
    else:
        sent = target.broadcast(sender, args.text)
    _show(args, sent, lambda: message_table([sent], "sent"))
    return OK


def cmd_inbox(args: argparse.Namespace, target: Target) -> int:
    rows = target.inbox(args.agent, args.drain, args.wait)
    verb = "drained from" if args.drain or args.wait is not None else "waiting in"
    _show(args, rows, lambda: message_table(
        rows, f"{len(rows)} message(s) {verb} {args.agent}'s inbox"))
    return OK


def cmd_watch(args: argparse.Namespace, target: Target) -> int:
    end = None if args.duration is None else time.monotonic() + args.duration
    seen, down = 0, False
    try:
        for event in target.events(args.replay):
            if event is None:
                if not down:
                    sys.stderr.write(f"halvex watch: {target.label} cannot be reached; retrying\n")
                    sys.stderr.flush()
                down = True
            elif event:
                if down:
                    sys.stderr.write("halvex watch: reconnected\n")
                    down = False
                if args.as_json:
                    print_json(event)
                else:
                    sys.stdout.write(event_line(event) + "\n")
                    sys.stdout.flush()
                seen += 1
                if args.count is not None and seen >= args.count:
                    return OK
            if end is not None and time.monotonic() >= end:
                return OK
    except KeyboardInterrupt:
        return OK
    return OK


def cmd_method(args: argparse.Namespace, target: Target) -> int:
    """A command made from the table: the method's result as JSON data."""
    name = one_to_one()[args.command]
    given = {p.name: getattr(args, p.name) for p in METHODS[name].params}
    if "resource_key" in given:
        given["resource_key"] = repo_key(given["resource_key"])
    if "resource_keys" in given:
        given["resource_keys"] = [repo_key(k) for k in given["resource_keys"]]
    value = as_json(name, target.call(name, *given.values()))
    _show(args, value, lambda: value if isinstance(value, str)
          else json.dumps(value, indent=2, ensure_ascii=False).split("\n"))
    return OK


def _task_line(task: dict[str, Any]) -> str:
    line = f"{task['task_id']}  {task['state']}"
    if task["holder"]:
        line += f"  {task['holder']} (token {task['token']})"
    if task["waits_for"]:
        line += f"  waits for {', '.join(task['waits_for'])}"
    line += f"  {task['title']}"
    return line + (f"  -> {task['outcome']}" if task["outcome"] else "")


def cmd_task(args: argparse.Namespace, target: Target) -> int:
    act = args.action
    if act == "list":
        rows = as_json("tasks", target.call("tasks", args.prefix))
        _show(args, rows, lambda: [_task_line(t) for t in rows] or "no tasks")
        return OK
    agent = _need(args.agent, "--agent")
    if act == "next":
        got = as_json("claim_next", target.call("claim_next", agent, args.prefix, args.wait))
        if got["task"] is None:
            if args.as_json:
                print_json(got)
            return fail(REFUSED, got["why"])
        _show(args, got, lambda: _task_line(got["task"]))
        return OK
    name, extra = {"add": ("add_task", ("title", "depends_on")),
                   "done": ("complete_task", ("note",)), "fail": ("fail_task", ("reason",)),
                   "reset": ("reset_task", ())}[act]
    task = as_json(name, target.call(name, agent, args.task_id,
                                     *[getattr(args, e) for e in extra]))
    _show(args, task, lambda: _task_line(task))
    return OK


def cmd_board(args: argparse.Namespace, target: Target) -> int:
    from .board import cmd_board as board

    return board(args, target)


def cmd_delete(args: argparse.Namespace, target: Target) -> int:
    if not args.yes:
        raise Unsupported("delete-namespace deletes every claim and message of the namespace: "
                          "add --yes")
    removed = target.delete_namespace()
    _show(args, {"deleted_keys": removed}, lambda: f"deleted {removed:d} key(s)")
    return OK


COMMANDS: dict[str, Callable[[argparse.Namespace, Target], int]] = {
    "leases": cmd_leases, "agents": cmd_agents, "claim": cmd_key, "renew": cmd_key,
    "release": cmd_key, "release-all": cmd_release_all, "check": cmd_check, "send": cmd_send,
    "broadcast": cmd_send, "inbox": cmd_inbox, "watch": cmd_watch,
    "delete-namespace": cmd_delete, "board": cmd_board, "task": cmd_task, "guard": cmd_guard,
    "hook": cmd_hook,
    **{cmd: cmd_method for cmd in one_to_one()},
}


def cmd_token(args: argparse.Namespace) -> int:
    from halvex_mcp.credentials import CredentialsError, entry_line, new_token

    token = new_token()
    try:
        line = entry_line(args.name, args.role, token)
    except CredentialsError as err:
        return fail(USAGE, str(err))
    # Printed once, never stored: the file holds the line, the agent the token.
    _show(args, {"name": args.name, "role": args.role, "token": token, "line": line},
          lambda: [f"token (shown only now): {token}", "add to the credentials file:", line])
    return OK


def fail(status: int, text: str | list[str]) -> int:
    # Names in a text are anyone's: never raw to a terminal, a line break in
    # one included. A list holds our own lines.
    text = visible(text) if isinstance(text, str) else "\n".join(map(visible, text))
    sys.stderr.write((f"halvex: {text}\n") if status != REFUSED else text + "\n")
    sys.stderr.flush()
    return status


def main(argv: Sequence[str] | None = None) -> int:
    if argv is None:
        argv = sys.argv[1:]
    args = parser(command_named(argv)).parse_args(argv)
    args.as_json = getattr(args, "output", "table") == "json"
    if args.command == "run":
        from .run import run_command
        return run_command(args, target_of)
    if args.command == "hook":
        from .guard import install_hook, prepare_hook
        try:
            prepare_hook(args)
            if args.action == "install":
                return install_hook(args)
        except Unsupported as err:
            return fail(USAGE, str(err))
    if args.command == "token":
        return cmd_token(args)
    if args.command == "guard":
        from .guard import start_staged

        args.staged = start_staged()
    target: Target | None = None
    try:
        target = target_of(args)
        status = COMMANDS[args.command](args, target)
        opened: Target = target
        target = None  # closed here, where a failure to confirm a drain is reported
        opened.close()
        return status
    except Refused as err:
        return fail(REFUSED, err.lines or str(err))
    except Unsupported as err:
        return fail(USAGE, str(err))
    except Unreachable as err:
        return fail(UNREACHABLE, str(err))
    except BrokenPipeError:  # e.g. piped into head
        return OK
    except KeyboardInterrupt:
        return 128 + 2
    finally:
        if target is not None:  # the command failed already
            try:
                target.close()
            except Unreachable:
                pass


def entry() -> None:
    status = main()
    # What the command loaded goes with the process: the collections at exit
    # (redis-py's modules alone hold most of it) would cost it some 30 ms, as
    # much as a git hook's whole check. Files and the state are closed by now.
    gc.freeze()
    sys.exit(status)


__all__: list[str] = ["main", "entry"]
