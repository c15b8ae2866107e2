import pytest

import halvex_core


@pytest.fixture
def state():
    return halvex_core.CoordinationState()
