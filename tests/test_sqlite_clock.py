"""test_clock's scenarios on halvex_sqlite: each runs in a child interpreter
whose wall clock libfaketime sets, on a state file of its own."""

import pytest

import _faketime
import _sqlite
import test_clock
from _faketime import CLOCK_FAULT

pytestmark = pytest.mark.skipif(not _faketime.available(),
                                reason="libfaketime is not installed")

# The lease scenarios as test_clock has them; here `clock_scenario` (below)
# runs them on halvex_sqlite.
globals().update({name: getattr(test_clock, name) for name in dir(test_clock)
                  if name.startswith("test_")
                  and "clock_scenario" in getattr(test_clock, name).__code__.co_varnames})


# The blocking class: the asyncio one runs the same transactions in a
# thread, and meets the faked clock in test_sqlite's lease-view scenario.
@pytest.fixture
def clock_scenario(tmp_path):
    return _sqlite.scenario_runner(tmp_path)


@pytest.mark.parametrize("scenario", sorted(test_clock.FAULT_SCENARIOS))
def test_clock_before_1970_is_the_native_fault(scenario, tmp_path):
    body, expected = test_clock.FAULT_SCENARIOS[scenario]
    notes, stderr = _sqlite.scenario_runner(tmp_path)(body)
    assert notes == expected
    assert stderr.count("system clock before unix epoch") == sum(
        1 for v in expected.values() if v is CLOCK_FAULT)
