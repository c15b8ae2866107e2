"""The `halvex-mcp` command.

Kept importable on every interpreter the wheel serves, so that on one too old
for the MCP SDK the command still answers --help and says what it needs.
"""

from __future__ import annotations

import argparse
import gc
import ipaddress
import logging
import os
import shutil
import socket
import sys
import tempfile
from typing import Any, Callable

from halvex_types import LEASE_SECS

from . import __version__
from .tools import BATCH_BYTES, BATCH_MESSAGES, DEFAULT_MAX_WAITS, MAX_ARG_BYTES

TOKEN_ENV = "HALVEX_MCP_TOKEN"
# Every stdio server that a client configuration starts with the same --redis
# URL shares this namespace unless told otherwise.
DEFAULT_NAMESPACE = "halvex-mcp"
# In the SQLite file, halvex_sqlite's own default: the `halvex` command and
# every server of the repository meet there.
SQLITE_NAMESPACE = "default"

log = logging.getLogger("halvex_mcp")


class StartError(Exception):
    """The server cannot start as asked; the text says why."""


def _versions() -> str:
    try:
        from importlib.metadata import version

        return f"halvex-mcp {__version__} (mcp {version('mcp')})"
    except Exception:
        return f"halvex-mcp {__version__} (mcp not installed)"


def parser() -> argparse.ArgumentParser:
    ap = argparse.ArgumentParser(
        prog="halvex-mcp",
        description="Serves halvex_core's coordination state to MCP clients: one tool for each "
                    "method of halvex_core.CoordinationState, with the method's name and "
                    "parameters, and lease, leases, check_lease, agents, release_all and "
                    "wait_inbox as halvex_redis has them. Without --http it speaks MCP on "
                    "stdin/stdout to one client.",
        epilog=f"Each tool argument may hold at most {MAX_ARG_BYTES} bytes of UTF-8; inbox and "
               f"drain_inbox answer at most {BATCH_MESSAGES} messages and {BATCH_BYTES} bytes of "
               "content per call. Logs go to stderr. SIGINT or SIGTERM stops the server. "
               "Claims outlive the server that granted them; a dead agent's claims go when "
               f"their lease runs out ({LEASE_SECS} s after the last renewal), with "
               "release_all, or with `halvex release-all AGENT`.")
    ap.add_argument("--http", metavar="[HOST:]PORT",
                    help="serve streamable HTTP at http://HOST:PORT/mcp instead of stdio; HOST "
                         "defaults to 127.0.0.1, PORT 0 picks a free port (logged at start). "
                         "Every client shares the one state of this process")
    ap.add_argument("--token", metavar="TOKEN",
                    help="with --http, require 'Authorization: Bearer TOKEN' on every request "
                         f"(default: the {TOKEN_ENV} environment variable); needed to bind an "
                         "address "
                         "outside loopback")
    ap.add_argument("--credentials", metavar="FILE",
                    help="with --http, accept the per-agent tokens of FILE instead of one "
                         "shared token: one entry a line, 'NAME ROLE sha256:HEX', as `halvex "
                         "token new NAME --role ROLE` prints it. An agent acts only as NAME, an "
                         "observer calls only the read-only tools, an admin acts as anyone and "
                         "alone sees and calls delete_namespace (offered with --credentials "
                         "only). "
                         "SIGHUP reads FILE again; a faulty file leaves the previous entries")
    ap.add_argument("--allow-host", metavar="HOST", action="append", default=[],
                    help="with --http, also accept requests whose Host (or Origin) header "
                         "names HOST, on any port; loopback names and the bound address are "
                         "always accepted. Repeatable")
    ap.add_argument("--max-connections", metavar="N", type=_positive(int),
                    help="with --http, close new connections at once while N are open "
                         "(default 1000, lowered to fit under the file limit; kept 64 "
                         "descriptors below it)")
    ap.add_argument("--max-sessions", metavar="N", type=_positive(int),
                    help="with --http, answer 503 to a client opening a session while N are "
                         "open (default 1000)")
    ap.add_argument("--max-waits", metavar="N", type=_positive(int),
                    help=f"at most N wait_inbox calls waiting at once (default "
                         f"{DEFAULT_MAX_WAITS}); one more is refused at once, with the reason, "
                         "before it drains anything (a waiting claim_next counts too)")
    ap.add_argument("--task-tools", action="store_true",
                    help="also offer the task graph's tools (add_task, claim_next, "
                         "complete_task, fail_task, reset_task, tasks); left out by default, "
                         "so the tool list a model reads on every turn stays small")
    ap.add_argument("--session-idle", metavar="SECONDS", type=_positive(float),
                    help="with --http, end a session after SECONDS without a request "
                         "(default 600)")
    where = ap.add_mutually_exclusive_group()
    where.add_argument("--state", metavar="PATH",
                       help="keep the state in this SQLite file (default: the HALVEX_STATE "
                            "environment variable, else inside a git work tree "
                            "<git common dir>/halvex/state.db, shared by every worktree and "
                            "every program of the repository on this machine, else state.db "
                            "in the user's state folder)")
    where.add_argument("--memory", action="store_true",
                       help="keep a state private to this process, gone when it ends")
    where.add_argument("--redis", metavar="URL",
                       help="keep the state in Redis through halvex_redis (e.g. "
                            "redis://127.0.0.1:6379/0), so that servers on many hosts share it")
    ap.add_argument("--namespace", metavar="NS",
                    help="the namespace within the state file (default "
                         f"{SQLITE_NAMESPACE!r}, as the halvex command uses) or, with --redis, "
                         f"the halvex_redis namespace (default {DEFAULT_NAMESPACE!r})")
    ap.add_argument("--agent", metavar="NAME",
                    help="act as agent NAME on every call: the tools then take no agent_id or "
                         "from_agent argument")
    ap.add_argument("--release-on-exit", dest="release_on_exit", action="store_true",
                    default=False,
                    help="with --agent, release every claim of that agent when the server "
                         "ends normally (end of input on stdio, SIGINT or SIGTERM). Off by "
                         "default: clients that start a server for each call would lose every "
                         "claim at once")
    ap.add_argument("--no-release-on-exit", dest="release_on_exit", action="store_false",
                    help="keep the pinned agent's claims when the server ends (the default)")
    ap.add_argument("--log-level", default="info",
                    choices=["debug", "info", "warning", "error"],
                    help="least severe log level written to stderr (default info)")
    ap.add_argument("--version", action="version", version=_versions())
    return ap


def _positive(kind: Callable[[str], Any]) -> Callable[[str], Any]:
    def parse(text: str) -> Any:
        try:
            value = kind(text)
        except ValueError:
            value = None
        if value is None or not value > 0 or value == float("inf"):
            raise argparse.ArgumentTypeError(f"wants a positive number, not {text!r}")
        return value

    return parse


def parse_bind(text: str) -> tuple[str, int]:
    """'PORT', 'HOST:PORT' or '[IPV6]:PORT' as (host, port)."""
    host, sep, port_text = text.rpartition(":")
    if not sep:
        host = "127.0.0.1"
    elif host.startswith("[") and host.endswith("]"):
        host = host[1:-1]
    if not host or not port_text.isdigit() or int(port_text) > 65535:
        raise StartError(f"--http wants [HOST:]PORT with PORT in 0-65535, not {text!r}")
    return host, int(port_text)


def bind_socket(host: str, port: int, token: object | None) -> socket.socket:
    try:
        infos = socket.getaddrinfo(host, port, type=socket.SOCK_STREAM, flags=socket.AI_PASSIVE)
    except socket.gaierror as err:
        raise StartError(f"cannot resolve {host!r}: {err}") from None
    family, kind, proto, _name, address = infos[0]
    ip = str(address[0])
    if not ipaddress.ip_address(ip.split("%")[0]).is_loopback and not token:
        raise StartError(
            f"refusing to serve on {ip} without a token: anyone who can reach it could act as any "
            f"agent. Pass --token (or set {TOKEN_ENV}) so that clients must send a bearer "
            "token, or bind "
            "127.0.0.1.")
    sock = socket.socket(family, kind, proto)
    try:
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        if family == socket.AF_INET6:
            sock.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 1)
        sock.bind(address)
    except OSError as err:
        sock.close()
        raise StartError(f"cannot bind {ip} port {port:d}: {err.strerror or err}") from None
    return sock


def check_token(token: str) -> str:
    if not token or any(not 33 <= ord(c) <= 126 for c in token):
        raise StartError("the token must be printable ASCII without spaces")
    return token


def _without_password(url: str) -> str:
    """The URL as logs may show it: no user or password."""
    scheme, sep, rest = url.partition("://")
    authority, slash, path = rest.partition("/")
    return scheme + sep + authority.rpartition("@")[2] + slash + path if sep else url


def open_backend(args: argparse.Namespace) -> Callable[[], Any]:
    """Checks the backend now; returns what the server's lifespan calls to open it."""
    if args.redis is None:
        return _open_sqlite(args)
    try:
        import halvex_redis.asyncio  # noqa: F401
        import redis
    except ImportError as err:
        raise StartError("--redis needs the redis client: pip install 'halvex_core[redis]' "
                         f"({err})") from None
    try:
        probe = redis.Redis.from_url(args.redis, socket_connect_timeout=5, socket_timeout=5)
        probe.ping()
        probe.close()
    except (redis.exceptions.RedisError, ValueError) as err:
        raise StartError(f"cannot reach Redis at {_without_password(args.redis)}: {err}") from None
    namespace = DEFAULT_NAMESPACE if args.namespace is None else args.namespace
    try:
        halvex_redis.asyncio.CoordinationState(args.redis, namespace=namespace)
    except ValueError as err:
        raise StartError(f"--namespace: {err}") from None
    log.info("state in Redis at %s, namespace %r", _without_password(args.redis), namespace)

    def remote() -> Any:
        from .backend import RedisBackend

        return RedisBackend(args.redis, namespace)

    return remote


def _open_sqlite(args: argparse.Namespace) -> Callable[[], Any]:
    """The SQLite state: opened (and made, if new) once here, so that a file
    that cannot serve stops the start with halvex_sqlite's reason."""
    import halvex_sqlite

    namespace = SQLITE_NAMESPACE if args.namespace is None else args.namespace
    try:
        if args.memory:
            path = os.path.join(args.private_dir, "state.db")
        else:
            path = str(halvex_sqlite.default_path() if args.state is None else args.state)
        probe = halvex_sqlite.CoordinationState(path, namespace=namespace)
    except halvex_sqlite.StateFileError as err:
        raise StartError(str(err)) from None
    except ValueError as err:
        raise StartError(f"--namespace: {err}") from None
    path = str(probe.path)
    probe.close()
    if args.memory:
        log.info("state private to this process (in %s, removed at exit)", path)
    else:
        log.info("state in %s, namespace %r", path, namespace)

    def sqlite() -> Any:
        from .backend import SqliteBackend

        return SqliteBackend(path, namespace)

    return sqlite


def connection_cap(wanted: int | None, default: int, reserve: int) -> int:
    """The connection cap, kept below the process's file limit (raised when it may be)."""
    try:
        import resource
    except ImportError:  # not POSIX: no limit to check
        return wanted or default
    need = (wanted or default) + reserve
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if soft != resource.RLIM_INFINITY and soft < need:
        raised = need if hard == resource.RLIM_INFINITY else min(need, hard)
        try:
            resource.setrlimit(resource.RLIMIT_NOFILE, (raised, hard))
            soft = raised
        except (ValueError, OSError):
            pass
    room = need if soft == resource.RLIM_INFINITY else soft - reserve
    if wanted is not None:
        if wanted > room:
            raise StartError(f"--max-connections {wanted:d} does not fit under the file limit "
                             f"of {soft:d} descriptors ({reserve:d} are kept for other use); "
                             "lower it or raise the limit (ulimit -n)")
        return wanted
    if room < default:
        if room < 16:
            raise StartError(f"the file limit of {soft:d} descriptors leaves too few for "
                             "connections; raise it (ulimit -n)")
        log.info("at most %d connections: the file limit is %d descriptors", room, soft)
        return room
    return default


def main(argv: list[str] | None = None) -> int:
    ap = parser()
    args = ap.parse_args(argv)
    logging.basicConfig(stream=sys.stderr, level=args.log_level.upper(),
                        format="%(asctime)s halvex-mcp %(levelname)s %(message)s")
    if args.log_level != "debug":
        # The SDK and uvicorn are chatty at info level: one line per request.
        for name in ("mcp", "uvicorn", "httpx2", "httpcore2"):
            logging.getLogger(name).setLevel(max(logging.WARNING, log.getEffectiveLevel()))
    if sys.version_info < (3, 10):
        ap.exit(2, "halvex-mcp: the MCP SDK needs Python 3.10 or newer; this is "
                f"{sys.version_info[0]}.{sys.version_info[1]}\n")
    try:
        import mcp  # noqa: F401
    except ImportError:
        ap.exit(2, "halvex-mcp: the MCP SDK is not installed: pip install 'halvex_core[mcp]'\n")
    try:
        _serve(args)
    except StartError as err:
        ap.exit(2, f"halvex-mcp: {err}\n")
    except KeyboardInterrupt:  # where no signal receiver runs (Windows)
        pass
    return 0


def _limit_waits(app: Any, args: argparse.Namespace) -> None:
    if args.max_waits is not None:
        app.max_waits = args.max_waits


def _serve(args: argparse.Namespace) -> None:
    if args.namespace is not None and args.memory:
        raise StartError("--namespace does not apply to --memory: that state is the process's own")
    if args.release_on_exit and args.agent is None:
        raise StartError("--release-on-exit needs --agent")
    release = args.release_on_exit
    args.private_dir = None
    if args.memory:
        # A file in a folder of our own: the same state class as the default,
        # seen by no other process.
        args.private_dir = tempfile.mkdtemp(prefix="halvex-mcp-")
    try:
        _serve_with(args, release)
    finally:
        if args.private_dir is not None:
            shutil.rmtree(args.private_dir, ignore_errors=True)


def _keys(args: argparse.Namespace) -> Any:
    from .credentials import CredentialsError, Keys

    if args.credentials is None:
        token = args.token if args.token is not None else (os.environ.get(TOKEN_ENV) or None)
        return None if token is None else Keys(token=check_token(token))
    if args.token is not None:
        raise StartError("give --token or --credentials, not both")
    if args.agent is not None:
        raise StartError("--agent does not apply with --credentials: each token names its agent")
    try:
        return Keys(path=args.credentials)
    except CredentialsError as err:
        raise StartError(f"--credentials: {err}") from None


def _serve_with(args: argparse.Namespace, release: bool) -> None:
    import anyio

    from .server import CoordinationServer, run_until_stopped

    if args.http is None:
        if args.token is not None or args.credentials is not None or args.allow_host \
                or args.max_connections is not None or args.max_sessions is not None \
                or args.session_idle is not None:
            raise StartError("--token, --credentials, --allow-host, --max-connections, "
                             "--max-sessions and --session-idle apply to --http only")
        from .stdio import serve_stdio

        app = CoordinationServer(open_backend(args), args.agent, release_on_exit=release,
                                 task_tools=args.task_tools)
        _limit_waits(app, args)
        anyio.run(run_until_stopped, lambda on_stop: serve_stdio(app, on_stop))
        return
    from . import http

    keys = _keys(args)
    host, port = parse_bind(args.http)
    options = http.HttpOptions(
        host, keys, args.allow_host,
        connection_cap(args.max_connections, http.DEFAULT_MAX_CONNECTIONS, http.FD_RESERVE),
        http.DEFAULT_MAX_SESSIONS if args.max_sessions is None else args.max_sessions,
        http.DEFAULT_SESSION_IDLE if args.session_idle is None else args.session_idle)
    sock = bind_socket(host, port, keys)
    try:
        app = CoordinationServer(open_backend(args), args.agent, release_on_exit=release,
                                 task_tools=args.task_tools,
                                 admin_tools=keys is not None and keys.roles)
        _limit_waits(app, args)
        anyio.run(run_until_stopped,
                  lambda on_stop: http.serve_http(app, sock, options, on_stop))
    finally:
        sock.close()
    log.info("stopped")
    # What thousands of ended sessions left behind goes with the process: a
    # last full collection of it at exit would take seconds.
    gc.freeze()
