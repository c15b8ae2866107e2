"""The commit guard and all-or-none claims, on the SQLite state and on Redis.

Measured:
  * `halvex guard` with 1,000 staged files in a real repository, the whole
    command (interpreter start included) and its one lease read alone, with
    10,000 other claims in the state (goal: under 200 ms);
  * claim_many of 50 keys against 50 single claims (claim_file), each
    released after.

    python bench/guard_bench.py [--files N] [--others N] [--redis-server PATH]

Figures and where the time goes: bench/GUARD.md.
"""
from __future__ import annotations

import argparse
import os
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "python"))

GOAL = 0.2  # seconds for the guard with 1,000 staged files


def _median(f, n=5):
    times = []
    for _ in range(n):
        started = time.perf_counter()
        f()
        times.append(time.perf_counter() - started)
    return statistics.median(times)


def _process(argv: list[str], folder: Path, env: dict[str, str]) -> tuple[float, float]:
    """A command's wall time and the CPU time (user and system) of its processes:
    the CPU time hardly moves with the load of other programs on the machine."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    started = time.perf_counter()
    subprocess.run(argv, cwd=folder, env=env, capture_output=True, check=True)
    wall = time.perf_counter() - started
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    return wall, (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)


def _interleaved(runs: dict[str, list[str]], folder: Path, env: dict[str, str],
                 n: int = 15) -> dict[str, tuple[float, float]]:
    """Each command's median wall and CPU times, the commands taking turns so
    that a change in the machine's load weighs on all of them alike."""
    times: dict[str, list[tuple[float, float]]] = {key: [] for key in runs}
    for _ in range(n):
        for key, argv in runs.items():
            times[key].append(_process(argv, folder, env))
    return {key: (statistics.median(t[0] for t in got), statistics.median(t[1] for t in got))
            for key, got in times.items()}


def _ms(seconds: float) -> str:
    return f"{seconds * 1000:.0f} ms"


def _repo(folder: Path, files: int) -> None:
    def git(*args):
        subprocess.run(["git", "-c", "user.name=b", "-c", "user.email=b@b", *args], cwd=folder,
                       check=True, capture_output=True)

    git("init", "-q")
    for i in range(files):
        (folder / f"f{i:04d}.py").write_text("x\n")
    git("add", "-A")


def _states(folder: Path, redis_server: str | None):
    import halvex_sqlite

    yield "sqlite", halvex_sqlite.CoordinationState(str(folder / "state.db")), \
        ["--state", str(folder / "state.db")]
    server = redis_server or shutil.which("redis-server")
    if server is None:
        print("redis: left out (no redis-server)")
        return
    import halvex_redis

    port = 6390 + os.getpid() % 500
    proc = subprocess.Popen([server, "--port", str(port), "--save", "", "--appendonly", "no"],
                            stdout=subprocess.DEVNULL)
    try:
        url = f"redis://127.0.0.1:{port}/0"
        for _ in range(100):
            try:
                state = halvex_redis.CoordinationState(url, namespace="bench")
                state.status("x")
                break
            except Exception:
                time.sleep(0.05)
        yield "redis", state, ["--redis", url, "--namespace", "bench"]
    finally:
        proc.terminate()
        proc.wait()


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--files", type=int, default=1000)
    ap.add_argument("--others", type=int, default=10000)
    ap.add_argument("--redis-server", help="the redis-server to start (default: from PATH)")
    args = ap.parse_args()
    print(f"Python {sys.version.split()[0]}, {os.cpu_count()} cores, load average "
          f"{os.getloadavg()[0]:.1f}")
    with tempfile.TemporaryDirectory() as tmp:
        folder = Path(tmp)
        _repo(folder, args.files)
        for name, state, target in _states(folder, args.redis_server):
            for start in range(0, args.others, 1000):
                state.claim_many("other", [f"file:elsewhere/{i}" for i in
                                           range(start, min(start + 1000, args.others))])
            state.claim_many("mine", [f"file:f{i:04d}.py" for i in range(0, args.files, 2)])
            keys = [f"file:f{i:04d}.py" for i in range(args.files)]
            read = _median(lambda: state.lease_many(keys))
            # Bytecode cached, as a hook runs from an installed wheel (compiled
            # at install): in a folder of the run's own, not the source tree.
            env = dict(os.environ, HALVEX_AGENT="mine", PYTHONPYCACHEPREFIX=str(folder / "pyc"),
                       PYTHONPATH=os.pathsep.join([str(ROOT / "python"),
                                                   os.environ.get("PYTHONPATH", "")]))
            env.pop("PYTHONDONTWRITEBYTECODE", None)
            command = [sys.executable, "-m", "halvex_cli", *target, "guard"]

            runs = {"guard": command, "python": [sys.executable, "-c", "import halvex_cli"]}
            if name == "redis":  # the client's own import: no command over Redis starts faster
                runs["redis-py"] = [sys.executable, "-c", "import redis"]
            _process(command, folder, env)  # fills the bytecode cache
            got = _interleaved(runs, folder, env)
            whole, cpu = got["guard"]
            start_up = got["python"][0]
            floor = ""
            if "redis-py" in got:
                alone, alone_cpu = got["redis-py"]
                floor = (f"; `python -c 'import redis'` alone: {_ms(alone)}, "
                         f"{_ms(alone_cpu)} CPU")
            print(f"{name}: guard, {args.files} staged files, {args.others} other claims: "
                  f"{_ms(whole)} for the command, {_ms(cpu)} CPU ({_ms(start_up)} of it "
                  f"starting Python{floor}), {read * 1000:.1f} ms for its lease read; goal "
                  f"{GOAL * 1000:.0f} ms: ratio {GOAL / whole:.2f}")

            def singles():
                for i in range(50):
                    state.claim_file("solo", f"s{i}")
                state.release_all("solo")

            def many():
                state.claim_many("solo", [f"file:s{i}" for i in range(50)])
                state.release_all("solo")

            one, fifty = _median(singles), _median(many)
            print(f"{name}: 50 keys: claim_many {fifty * 1000:.1f} ms, 50 claim_file "
                  f"{one * 1000:.1f} ms (release_all included in both): "
                  f"ratio {one / fifty:.1f}")


if __name__ == "__main__":
    main()
