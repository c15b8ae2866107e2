import os

import pytest

import halvex_core

import _redis

# The redis stage sets this, so a missing server or client fails there
# instead of skipping.
REDIS_REQUIRED = os.environ.get("HALVEX_REDIS_REQUIRED") == "1"


def _redis_missing():
    if _redis.server_binary() is None:
        return "redis-server is not installed"
    if not _redis.client_available():
        return "the redis client package is not installed"
    return None


@pytest.fixture(scope="session")
def redis_server():
    """One throwaway redis-server for the session, stopped at the end."""
    missing = _redis_missing()
    if missing:
        if REDIS_REQUIRED:
            pytest.fail(missing)
        pytest.skip(missing)
    server = _redis.RedisServer()
    try:
        yield server
    finally:
        server.close()


@pytest.fixture(params=["native", "redis"])
def make_state(request):
    """Builds fresh, empty CoordinationState objects of one backend."""
    if request.param == "native":
        return halvex_core.CoordinationState
    import halvex_redis

    url = request.getfixturevalue("redis_server").url
    return lambda: halvex_redis.CoordinationState(url)


@pytest.fixture
def state(make_state):
    return make_state()


@pytest.fixture
def native_state():
    """For tests of the native binding itself."""
    return halvex_core.CoordinationState()
