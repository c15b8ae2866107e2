"""Lists a wheel's files and fails unless it carries the module, both forms
of its type stubs, the shared shapes and method table, the Redis-backed and
file-backed twins, the MCP server with its board's page and the `halvex`
command, and not the reference implementation that tests and benchmarks share.

    python wheel_contents.py WHEEL
"""
import sys
import zipfile

WANT = {"halvex_core.abi3.so", "halvex_core.pyi", "halvex_core-stubs/__init__.pyi",
        "halvex_redis/__init__.py", "halvex_redis/_scripts.py",
        "halvex_redis/_calls.py", "halvex_redis/asyncio.py",
        "halvex_mcp/__init__.py", "halvex_mcp/cli.py", "halvex_mcp/server.py",
        "halvex_mcp/tools.py", "halvex_mcp/client.py", "halvex_types/__init__.py",
        "halvex_mcp/backend.py", "halvex_mcp/http.py", "halvex_mcp/stdio.py",
        "halvex_mcp/wire.py", "halvex_mcp/board.py", "halvex_mcp/board/index.html",
        "halvex_mcp/board/login.html", "halvex_mcp/board/board.js", "halvex_mcp/board/board.css",
        "halvex_cli/__init__.py", "halvex_cli/__main__.py", "halvex_cli/cli.py",
        "halvex_cli/run.py", "halvex_cli/show.py", "halvex_cli/targets.py",
        "halvex_cli/board.py", "halvex_types/methods.py", "halvex_types/protocols.py",
        "halvex_types/arguments.py", "halvex_types/faults.py", "halvex_redis/_plans.py",
        "halvex_redis/_exchange.py", "halvex_redis/_clients.py", "halvex_sqlite/__init__.py",
        "halvex_sqlite/asyncio.py", "halvex_sqlite/_core.py", "halvex_sqlite/_store.py",
        "halvex_sqlite/_rules.py"}


def main(path):
    names = zipfile.ZipFile(path).namelist()
    print("\n".join(names))
    missing = WANT - set(names)
    if missing:
        return "missing from the wheel: %s" % sorted(missing)
    stray = [n for n in names if n.startswith("reference/")]
    return "not for the wheel: %s" % stray if stray else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
