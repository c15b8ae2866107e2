"""The `halvex-mcp` command.

Kept importable on every interpreter the wheel serves, so that on one too old
for the MCP SDK the command still answers --help and says what it needs.
"""

from __future__ import annotations

import argparse
import ipaddress
import logging
import os
import socket
import sys
from typing import Any, List, Optional, Tuple

from . import __version__
from .tools import MAX_ARG_BYTES

TOKEN_ENV = "HALVEX_MCP_TOKEN"
# Every stdio server that a client configuration starts with the same --redis
# URL shares this namespace unless told otherwise.
DEFAULT_NAMESPACE = "halvex-mcp"

log = logging.getLogger("halvex_mcp")


class StartError(Exception):
    """The server cannot start as asked; the text says why."""


def _versions() -> str:
    try:
        from importlib.metadata import version

        return "halvex-mcp %s (mcp %s)" % (__version__, version("mcp"))
    except Exception:
        return "halvex-mcp %s (mcp not installed)" % __version__


def parser() -> argparse.ArgumentParser:
    ap = argparse.ArgumentParser(
        prog="halvex-mcp",
        description="Serves halvex_core's coordination state to MCP clients: one tool for each "
                    "method of halvex_core.CoordinationState, with the method's name and "
                    "parameters. Without --http it speaks MCP on stdin/stdout to one client.",
        epilog="Each tool argument may hold at most %d bytes of UTF-8. Logs go to stderr. "
               "SIGINT or SIGTERM stops the server." % MAX_ARG_BYTES)
    ap.add_argument("--http", metavar="[HOST:]PORT",
                    help="serve streamable HTTP at http://HOST:PORT/mcp instead of stdio; HOST "
                         "defaults to 127.0.0.1, PORT 0 picks a free port (logged at start). "
                         "Every client shares the one state of this process")
    ap.add_argument("--token", metavar="TOKEN",
                    help="with --http, require 'Authorization: Bearer TOKEN' on every request "
                         "(default: the %s environment variable); needed to bind an address "
                         "outside loopback" % TOKEN_ENV)
    ap.add_argument("--allow-host", metavar="HOST", action="append", default=[],
                    help="with --http, also accept requests whose Host (or Origin) header "
                         "names HOST, on any port; loopback names and the bound address are "
                         "always accepted. Repeatable")
    ap.add_argument("--redis", metavar="URL",
                    help="keep the state in Redis through halvex_redis (e.g. "
                         "redis://127.0.0.1:6379/0), so that many servers share it; default: "
                         "in this process")
    ap.add_argument("--namespace", metavar="NS",
                    help="with --redis, the halvex_redis namespace (default %r)" % DEFAULT_NAMESPACE)
    ap.add_argument("--agent", metavar="NAME",
                    help="act as agent NAME on every call: the tools then take no agent_id or "
                         "from_agent argument")
    ap.add_argument("--log-level", default="info",
                    choices=["debug", "info", "warning", "error"],
                    help="least severe log level written to stderr (default info)")
    ap.add_argument("--version", action="version", version=_versions())
    return ap


def parse_bind(text: str) -> Tuple[str, int]:
    """'PORT', 'HOST:PORT' or '[IPV6]:PORT' as (host, port)."""
    host, sep, port_text = text.rpartition(":")
    if not sep:
        host = "127.0.0.1"
    elif host.startswith("[") and host.endswith("]"):
        host = host[1:-1]
    if not host or not port_text.isdigit() or int(port_text) > 65535:
        raise StartError("--http wants [HOST:]PORT with PORT in 0-65535, not %r" % text)
    return host, int(port_text)


def bind_socket(host: str, port: int, token: Optional[str]) -> socket.socket:
    try:
        infos = socket.getaddrinfo(host, port, type=socket.SOCK_STREAM, flags=socket.AI_PASSIVE)
    except socket.gaierror as err:
        raise StartError("cannot resolve %r: %s" % (host, err))
    family, kind, proto, _name, address = infos[0]
    ip = str(address[0])
    if not ipaddress.ip_address(ip.split("%")[0]).is_loopback and not token:
        raise StartError(
            "refusing to serve on %s without a token: anyone who can reach it could act as any "
            "agent. Pass --token (or set %s) so that clients must send a bearer token, or bind "
            "127.0.0.1." % (ip, TOKEN_ENV))
    sock = socket.socket(family, kind, proto)
    try:
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        if family == socket.AF_INET6:
            sock.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 1)
        sock.bind(address)
    except OSError as err:
        sock.close()
        raise StartError("cannot bind %s port %d: %s" % (ip, port, err.strerror or err))
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


def make_state(args: argparse.Namespace) -> Tuple[Any, bool]:
    """The backend's state object, and whether its calls block on the network."""
    if args.redis is None:
        import halvex_core

        return halvex_core.CoordinationState(), False
    try:
        import halvex_redis
        import redis
    except ImportError as err:
        raise StartError("--redis needs the redis client: pip install 'halvex_core[redis]' (%s)"
                         % err)
    try:
        probe = redis.Redis.from_url(args.redis, socket_connect_timeout=5, socket_timeout=5)
        probe.ping()
        probe.close()
    except (redis.exceptions.RedisError, ValueError) as err:
        raise StartError("cannot reach Redis at %s: %s" % (_without_password(args.redis), err))
    namespace = DEFAULT_NAMESPACE if args.namespace is None else args.namespace
    try:
        state = halvex_redis.CoordinationState(args.redis, namespace=namespace)
    except ValueError as err:
        raise StartError("--namespace: %s" % err)
    log.info("state in Redis at %s, namespace %r", _without_password(args.redis), namespace)
    return state, True


def main(argv: Optional[List[str]] = None) -> int:
    ap = parser()
    args = ap.parse_args(argv)
    logging.basicConfig(stream=sys.stderr, level=args.log_level.upper(),
                        format="%(asctime)s halvex-mcp %(levelname)s %(message)s")
    if args.log_level != "debug":
        # The SDK and uvicorn are chatty at info level: one line per request.
        for name in ("mcp", "uvicorn", "httpx2", "httpcore2"):
            logging.getLogger(name).setLevel(max(logging.WARNING, log.getEffectiveLevel()))
    if sys.version_info < (3, 10):
        ap.exit(2, "halvex-mcp: the MCP SDK needs Python 3.10 or newer; this is %d.%d\n"
                % sys.version_info[:2])
    try:
        import mcp  # noqa: F401
    except ImportError:
        ap.exit(2, "halvex-mcp: the MCP SDK is not installed: pip install 'halvex_core[mcp]'\n")
    try:
        _serve(args)
    except StartError as err:
        ap.exit(2, "halvex-mcp: %s\n" % err)
    except KeyboardInterrupt:  # where no signal receiver runs (Windows)
        pass
    return 0


def _serve(args: argparse.Namespace) -> None:
    import anyio

    from .server import CoordinationServer, run_until_stopped, serve_http, serve_stdio

    if args.namespace is not None and args.redis is None:
        raise StartError("--namespace needs --redis")
    if args.http is None:
        if args.token is not None or args.allow_host:
            raise StartError("--token and --allow-host apply to --http only")
        state, blocking = make_state(args)
        app = CoordinationServer(state, args.agent, blocking)
        anyio.run(run_until_stopped, lambda on_stop: serve_stdio(app))
        return
    token = args.token if args.token is not None else (os.environ.get(TOKEN_ENV) or None)
    if token is not None:
        check_token(token)
    host, port = parse_bind(args.http)
    sock = bind_socket(host, port, token)
    try:
        state, blocking = make_state(args)
        app = CoordinationServer(state, args.agent, blocking)
        anyio.run(run_until_stopped,
                  lambda on_stop: serve_http(app, sock, host, token, args.allow_host, on_stop))
    finally:
        sock.close()
    log.info("stopped")
