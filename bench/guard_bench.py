"""The commit guard and all-or-none claims, on the SQLite state and on Redis.

Measured:
  * `halvex guard` with 1,000 staged files in a real repository, the whole
    command (interpreter start included) and its one lease read alone, with
    10,000 other claims in the state (goal: under 200 ms);
  * claim_many of 50 keys against 50 single claims (claim_file), each
    released after.

    python bench/guard_bench.py [--files N] [--others N] [--redis-server PATH]
"""
from __future__ import annotations

import argparse
import os
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
            env = dict(os.environ, HALVEX_AGENT="mine",
                       PYTHONPATH=os.pathsep.join([str(ROOT / "python"),
                                                   os.environ.get("PYTHONPATH", "")]))
            command = [sys.executable, "-m", "halvex_cli", *target, "guard"]
            whole = _median(lambda: subprocess.run(command, cwd=folder, env=env,
                                                   capture_output=True, check=True))
            start_up = _median(lambda: subprocess.run([sys.executable, "-c", "import halvex_cli"],
                                                      env=env, check=True))
            print(f"{name}: guard, {args.files} staged files, {args.others} other claims: "
                  f"{whole * 1000:.0f} ms for the command ({start_up * 1000:.0f} ms of it "
                  f"starting Python), {read * 1000:.1f} ms for its lease read; goal "
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
