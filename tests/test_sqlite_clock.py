"""test_clock's scenarios on halvex_sqlite: each runs in a child interpreter
whose wall clock libfaketime sets, on a state file of its own."""

import textwrap

import pytest

import _faketime
import test_clock
from _faketime import CLOCK_FAULT, T0

pytestmark = pytest.mark.skipif(not _faketime.available(),
                                reason="libfaketime is not installed")

# The lease scenarios as test_clock has them; here `clock_scenario` (below)
# runs them on halvex_sqlite.
globals().update({name: getattr(test_clock, name) for name in dir(test_clock)
                  if name.startswith("test_")
                  and "clock_scenario" in getattr(test_clock, name).__code__.co_varnames})


def _on_sqlite(folder, kind):
    """A scenario's CoordinationState() made on a fresh file (the asyncio
    class through a blocking adapter, as the shared tests drive it)."""
    counter = [0]

    def run(body, start=T0):
        counter[0] += 1
        path = str(folder / ("clock-%d.db" % counter[0]))
        if kind == "sqlite":
            prelude = "import halvex_sqlite\n" \
                      "CoordinationState = lambda: halvex_sqlite.CoordinationState(%r)\n" % path
        else:
            prelude = textwrap.dedent("""
                import asyncio, threading
                import halvex_sqlite.asyncio
                from conftest import BlockingAdapter
                _loop = asyncio.new_event_loop()
                threading.Thread(target=_loop.run_forever, daemon=True).start()
                CoordinationState = lambda: BlockingAdapter(
                    halvex_sqlite.asyncio.CoordinationState(%r), _loop)
                """) % path
        return _faketime.run_scenario(prelude + textwrap.dedent(body), start)

    return run


# The asyncio class runs the same transactions in a thread: one lease
# scenario on it is enough.
@pytest.fixture(params=["sqlite", pytest.param("sqlite-asyncio", marks=pytest.mark.skipif(
    False, reason=""))])
def clock_scenario(request, tmp_path):
    return _on_sqlite(tmp_path, request.param)


@pytest.mark.parametrize("scenario", sorted(test_clock.FAULT_SCENARIOS))
def test_clock_before_1970_is_the_native_fault(scenario, tmp_path):
    body, expected = test_clock.FAULT_SCENARIOS[scenario]
    notes, stderr = _on_sqlite(tmp_path, "sqlite")(body)
    assert notes == expected
    assert stderr.count("system clock before unix epoch") == sum(
        1 for v in expected.values() if v is CLOCK_FAULT)
