"""Helpers of the halvex_sqlite tests: fresh objects on fresh files."""

import itertools
import os


def maker(kind, folder, loop):
    """A function making fresh halvex_sqlite objects of `kind` ("sqlite" or
    "sqlite-asyncio"), each on a new file in `folder`; `loop()` gives the
    event loop the asyncio ones run on."""
    import halvex_sqlite

    counter = itertools.count()

    def path():
        return os.path.join(str(folder), "state-%d.db" % next(counter))

    if kind == "sqlite":
        return lambda: halvex_sqlite.CoordinationState(path())
    import halvex_sqlite.asyncio
    from conftest import BlockingAdapter

    return lambda: BlockingAdapter(halvex_sqlite.asyncio.CoordinationState(path()), loop())


def scenario_runner(folder, kind="sqlite"):
    """Runs _faketime scenarios (a child interpreter whose clock the body
    sets) with CoordinationState() making objects on one fresh file per
    scenario; PATH names it, for delete_namespace and second objects."""
    import textwrap

    import _faketime

    counter = itertools.count()

    def run(body, start=_faketime.T0):
        path = os.path.join(str(folder), "clock-%d.db" % next(counter))
        if kind == "sqlite":
            prelude = ("import halvex_sqlite\nPATH = %r\n"
                       "CoordinationState = lambda: halvex_sqlite.CoordinationState(PATH)\n"
                       % path)
        else:
            prelude = textwrap.dedent("""
                import asyncio, threading
                import halvex_sqlite, halvex_sqlite.asyncio
                from conftest import BlockingAdapter
                PATH = %r
                _loop = asyncio.new_event_loop()
                threading.Thread(target=_loop.run_forever, daemon=True).start()
                CoordinationState = lambda: BlockingAdapter(
                    halvex_sqlite.asyncio.CoordinationState(PATH), _loop)
                """) % path
        return _faketime.run_scenario(prelude + textwrap.dedent(body), start)

    return run


# ---- workers, run as `python -c "import _sqlite; _sqlite.<worker>(...)"` ----

def racer(path, agent, files, rounds):
    """Claims each of `files` shared files in a random order; for each grant
    sends one message to the shared inbox "sink", and between claims drains
    that inbox. Prints what it was granted and what it drained, as a literal."""
    import random

    import halvex_sqlite

    s = halvex_sqlite.CoordinationState(path)
    granted, drained = [], []
    names = ["f%d" % i for i in range(files)]
    for _ in range(rounds):
        random.shuffle(names)
        for name in names:
            try:
                s.claim_file(agent, name)
            except RuntimeError:
                pass
            else:
                granted.append(name)
                s.send_message(agent, "sink", "%s:%s" % (agent, name))
            drained.extend(m[2] for m in s.drain_inbox("sink"))
    s.confirm()
    print(repr((granted, drained)))


def writer(path, agent):
    """Claims tasks and sends to "sink" until killed; prints a line after
    each call returns (the call is then acknowledged)."""
    import sys

    import halvex_sqlite

    s = halvex_sqlite.CoordinationState(path)
    i = 0
    while True:
        s.claim_task(agent, "%s-%d" % (agent, i))
        sys.stdout.write("claim %s-%d\n" % (agent, i))
        s.send_message(agent, "sink", "%s-%d" % (agent, i))
        sys.stdout.write("send %s-%d\n" % (agent, i))
        sys.stdout.flush()
        i += 1


def drainer(path):
    """Drains "sink" until killed; prints each message it got."""
    import sys

    import halvex_sqlite

    s = halvex_sqlite.CoordinationState(path)
    while True:
        for m in s.drain_inbox("sink"):
            sys.stdout.write("got %s\n" % m[2])
        sys.stdout.flush()
