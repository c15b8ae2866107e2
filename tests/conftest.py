import asyncio
import os
import threading

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


class BlockingAdapter(object):
    """Runs each coroutine method of a halvex_redis.asyncio object to the end
    on an event loop in a thread of its own, so the shared behaviour tests
    drive it as they drive the blocking classes (calls from several threads
    run as concurrent coroutines)."""

    def __init__(self, target, loop):
        self._target = target
        self._loop = loop

    def __getattr__(self, name):
        attr = getattr(self._target, name)
        if not asyncio.iscoroutinefunction(attr):
            return attr

        def call(*args, **kwargs):
            coroutine = attr(*args, **kwargs)
            return asyncio.run_coroutine_threadsafe(coroutine, self._loop).result()

        return call


@pytest.fixture(scope="session")
def redis_loop():
    loop = asyncio.new_event_loop()
    thread = threading.Thread(target=loop.run_forever, daemon=True)
    thread.start()
    yield loop
    loop.call_soon_threadsafe(loop.stop)
    thread.join(10)
    loop.close()


def pytest_collection_modifyitems(items):
    # A test that starts from the session's redis-server is a redis test
    # wherever it lives (tests reaching it through getfixturevalue carry
    # the marker themselves).
    for item in items:
        if {"redis_server", "faked_redis"} & set(getattr(item, "fixturenames", ())):
            item.add_marker(pytest.mark.redis)


# Each call of the asyncio twin crosses threads twice, which Wine's Windows
# CPython makes milliseconds long: its 20,000-send scenario alone ran for
# over ten minutes. There the shared scenarios run the blocking class, and
# test_sqlite.py runs both.
_SQLITE_ASYNCIO_HERE = pytest.mark.skipif(
    os.name == "nt", reason="the shared scenarios run halvex_sqlite's blocking class on Windows")


@pytest.fixture(params=["native", pytest.param("redis", marks=pytest.mark.redis),
                        pytest.param("redis-asyncio", marks=pytest.mark.redis),
                        "sqlite", pytest.param("sqlite-asyncio", marks=_SQLITE_ASYNCIO_HERE)])
def make_state(request):
    """Builds fresh, empty CoordinationState objects of one backend."""
    if request.param == "native":
        return halvex_core.CoordinationState
    if request.param.startswith("sqlite"):
        import _sqlite

        return _sqlite.maker(request.param, request.getfixturevalue("tmp_path"),
                             lambda: request.getfixturevalue("redis_loop"))
    url = request.getfixturevalue("redis_server").url
    if request.param == "redis":
        import halvex_redis

        return lambda: halvex_redis.CoordinationState(url)
    import halvex_redis.asyncio

    loop = request.getfixturevalue("redis_loop")
    return lambda: BlockingAdapter(halvex_redis.asyncio.CoordinationState(url), loop)


@pytest.fixture
def state(make_state):
    return make_state()


@pytest.fixture
def native_state():
    """For tests of the native binding itself."""
    return halvex_core.CoordinationState()
