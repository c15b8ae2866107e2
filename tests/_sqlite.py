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
