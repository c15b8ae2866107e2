"""The board of `halvex-mcp --http` in a real headless browser: Debian's
chromium and chromedriver, driven by selenium (nothing is downloaded).

Skipped where the SDK, selenium or the browser is missing, unless
HALVEX_MCP_REQUIRED=1 (the MCP stage), where that is a failure.
"""

import os
import shutil
import signal
import socket
import time
from contextlib import contextmanager

import pytest

import _mcp

pytestmark = pytest.mark.mcp

CHROMIUM, DRIVER = shutil.which("chromium"), shutil.which("chromedriver")

if os.environ.get("HALVEX_MCP_REQUIRED") != "1":
    pytest.importorskip("mcp", reason="the MCP SDK is not installed (it needs Python 3.10+)")
    pytest.importorskip("selenium", reason="selenium is not installed")
    if not (CHROMIUM and DRIVER):
        pytest.skip("chromium and chromium-driver are not installed "
                    "(bash scripts/setup.sh browser)", allow_module_level=True)

import httpx2  # noqa: E402
from selenium import webdriver  # noqa: E402
from selenium.common.exceptions import StaleElementReferenceException, WebDriverException  # noqa: E402
from selenium.webdriver.chrome.service import Service  # noqa: E402
from selenium.webdriver.common.by import By  # noqa: E402
from selenium.webdriver.support.ui import WebDriverWait  # noqa: E402

from halvex_mcp.client import RemoteState  # noqa: E402


@contextmanager
def browser():
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for flag in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage",
                 "--disable-gpu", "--window-size=1400,900"):
        options.add_argument(flag)
    try:
        driver = webdriver.Chrome(service=Service(DRIVER), options=options)
    except WebDriverException:
        # A browser's first start on a cold machine can miss the driver's
        # start-up deadline; starting it is not what these tests look at.
        driver = webdriver.Chrome(service=Service(DRIVER), options=options)
    try:
        yield driver
    finally:
        driver.quit()


# What the board shows, and a stop, come within this on a loaded 2-core machine
# (a few seconds at worst); their usual speed is bench/mcp_prompt.py's.
SHOWN = 15


def wait_for(driver, what, seconds=SHOWN):
    # An element found just before the page navigates (the sign-in's
    # redirect, a refresh) goes stale: not there yet, look again.
    return WebDriverWait(driver, seconds, poll_frequency=0.1,
                         ignored_exceptions=(StaleElementReferenceException,)).until(lambda d: what(d))


def state_of(driver):
    return driver.find_element(By.TAG_NAME, "body").get_attribute("data-state")


def rows(driver, table):
    return driver.find_elements(By.CSS_SELECTOR, "#%s tbody tr" % table)


def lease_row(driver, key):
    found = driver.find_elements(By.CSS_SELECTOR, '#leases tr[data-key="%s"]' % key)
    return found[0] if found else None


def free_port():
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        return sock.getsockname()[1]


def test_board_live_rows_disconnect_and_recovery():
    """The default backend (a state file of its own): a claim made by another
    client shows and its release removes it; the activity shortens long
    messages; a stopped server (which still stops promptly with the stream
    open) shows as disconnected, and one restarted on the same port is picked
    up again."""
    port = free_port()
    with browser() as driver:
        with _mcp.HttpServer("--http", "127.0.0.1:%d" % port) as server:
            board = "http://127.0.0.1:%d/board" % port
            driver.get(board)
            wait_for(driver, lambda d: state_of(d) == "live")
            assert rows(driver, "leases") == [] and rows(driver, "agents") == []
            with RemoteState(server.url) as remote:
                remote.claim_file("ann", "src/app.py")
                start = time.monotonic()
                row = wait_for(driver, lambda d: lease_row(d, "file:src/app.py"))
                assert time.monotonic() - start < SHOWN
                cells = [c.text for c in row.find_elements(By.TAG_NAME, "td")]
                assert cells[1:3] == ["ann", "1"] and cells[4].endswith(" s")
                remote.send_message("bob", "ann", "x" * 5000)
                wait_for(driver, lambda d: "bob \u2192 ann" in d.find_element(By.ID, "activity").text)
                shown = driver.find_element(By.ID, "activity").text
                assert "x" * 119 + "\u2026" in shown and "x" * 121 not in shown
                agents = {r.get_attribute("data-agent"): r.text for r in rows(driver, "agents")}
                assert set(agents) == {"ann"} and "busy" in agents["ann"]  # a sender is not known
                remote.release("ann", "file:src/app.py")
                start = time.monotonic()
                wait_for(driver, lambda d: lease_row(d, "file:src/app.py") is None)
                assert time.monotonic() - start < SHOWN
                # Watching is no agent's call: ann's inbox is untouched, and
                # nobody new became known.
                assert [(a.agent_id, a.inbox) for a in remote.agents()] == [("ann", 1)]
            started = time.monotonic()
            assert server.stop(signal.SIGTERM) == 0
            assert time.monotonic() - started < SHOWN
            wait_for(driver, lambda d: state_of(d) == "disconnected", 15)
            assert "disconnected" in driver.find_element(By.ID, "conn").text
        with _mcp.HttpServer("--http", "127.0.0.1:%d" % port) as server:
            # The page retries every 2 s, or after 12 s of silence.
            wait_for(driver, lambda d: state_of(d) == "live", 30)
            with RemoteState(server.url) as remote:
                remote.claim_task("cy", "build")
                wait_for(driver, lambda d: lease_row(d, "task:build"))


def test_board_with_token_and_redis(redis_server):
    """--redis with a bearer token: the page asks for the token once, sets a
    cookie that holds no token, then shows claims read from the namespace's
    log; the Host check and the bearer check of /mcp still hold."""
    import halvex_redis

    namespace = "board-%d" % os.getpid()
    token = "s3cret-%d" % os.getpid()
    env = _mcp.environ(HALVEX_MCP_TOKEN=token)
    try:
        with _mcp.HttpServer("--redis", redis_server.url, "--namespace", namespace,
                             env=env) as server, browser() as driver:
            board = server.url.replace("/mcp", "/board")
            with httpx2.Client(timeout=10) as http:
                assert http.get(board + "/events").status_code == 401
                assert http.post(server.url, json={}).status_code == 401
                assert http.get(board, headers={"Host": "evil.example"}).status_code == 421
                wrong = http.post(board + "/login", data={"token": "nope"})
                assert wrong.status_code == 401 and "wrong token" in wrong.text
                good = http.post(board + "/login", data={"token": token})
                assert good.status_code == 303
                cookie = good.headers["set-cookie"]
                for part in ("HttpOnly", "SameSite=Strict", "Path=/board"):
                    assert part in cookie
                assert token not in cookie
            driver.get(board)
            field = wait_for(driver, lambda d: d.find_element(By.ID, "token"))
            assert state_of(driver) is None  # the sign-in form, not the board
            field.send_keys(token)
            driver.find_element(By.CSS_SELECTOR, "#login button").click()
            wait_for(driver, lambda d: state_of(d) == "live")
            assert token not in driver.current_url
            with RemoteState(server.url, token) as remote:
                remote.claim_file("dee", "docs/a.md")
                wait_for(driver, lambda d: lease_row(d, "file:docs/a.md"))
                wait_for(driver, lambda d: "docs/a.md by dee" in d.find_element(By.ID, "activity").text)
                remote.release("dee", "file:docs/a.md")
                wait_for(driver, lambda d: lease_row(d, "file:docs/a.md") is None)
            driver.refresh()  # the cookie is kept: no second sign-in
            wait_for(driver, lambda d: state_of(d) == "live")
    finally:
        halvex_redis.delete_namespace(namespace, redis_server.url)


def first_snapshot(http, url):
    """The first snapshot of a board stream, read with a plain HTTP client."""
    import json

    with http.stream("GET", url) as reply:
        assert reply.status_code == 200
        assert reply.headers["content-type"].startswith("text/event-stream")
        for line in reply.iter_lines():
            if line.startswith("data: "):
                return json.loads(line[len("data: "):])
    raise AssertionError("the stream ended without a snapshot")


def test_board_snapshots_are_bounded_and_streams_capped():
    """510 leases, 60 activity records and 55 ready tasks: a snapshot carries
    500 leases, 50 tasks a state and the count of the rest, the latest 50
    records, no message beyond 120 characters; the board refuses writes, and
    a 33rd stream gets 503."""
    from contextlib import ExitStack

    with _mcp.HttpServer("--task-tools") as server, httpx2.Client(timeout=10) as http:
        events = server.url.replace("/mcp", "/board/events")
        with RemoteState(server.url) as remote:
            for i in range(510):
                remote.claim_task("ann", "t%03d" % i)
            for i in range(55):
                remote.add_task("ann", "r%02d" % i, "z" * 500)
            remote.send_message("bob", "ann", "y" * 60000)
        snap = first_snapshot(http, events)
        ready = snap["tasks"]["ready"]
        assert [t["task_id"] for t in ready] == ["r%02d" % i for i in range(50)]
        assert snap["more_tasks"]["ready"] == 5 and len(ready[0]["title"]) == 120
        assert len(snap["leases"]) == 500 and snap["more_leases"] == 10
        assert [a["agent_id"] for a in snap["agents"]] == ["ann"]
        assert snap["agents"][0]["inbox"] == 1 and snap["agents"][0]["leases"] == 510
        assert len(snap["activity"]) == 50 and snap["activity"][0]["kind"] == "sent"
        assert len(snap["activity"][0]["content"]) == 120
        assert http.post(events).status_code == 405
        with ExitStack() as open_streams:
            for _ in range(32):
                reply = open_streams.enter_context(http.stream("GET", events))
                assert reply.status_code == 200
            assert http.get(events).status_code == 503
        assert server.stop() == 0


def task_row(driver, state, task_id):
    found = driver.find_elements(By.CSS_SELECTOR, '#tasks-%s tr[data-task="%s"]' % (state, task_id))
    return found[0] if found else None


def test_board_tasks_panel():
    """The Tasks panel is hidden with no tasks; then each task shows under its
    state (a blocked one with what it waits for, a held one with holder and
    token, a failed one with its reason), and a hostile title renders as text."""
    hostile = '<img src=x onerror="document.body.dataset.pwned=1">\u202eevil'
    with _mcp.HttpServer("--task-tools") as server, browser() as driver:
        driver.get(server.url.replace("/mcp", "/board"))
        wait_for(driver, lambda d: state_of(d) == "live")
        assert not driver.find_element(By.ID, "tasks").is_displayed()
        with RemoteState(server.url) as remote:
            for task_id, title, deps in (("a", "first", []), ("b", hostile, []),
                                         ("c", "third", []), ("d", "fourth", ["a", "zz"]),
                                         ("e", "fifth", [])):
                remote.add_task("plan", task_id, title, deps)
            assert remote.claim_next("ann").task.task_id == "a"
            remote.complete_task("ann", "a", "built")
            assert remote.claim_next("bob").task.task_id == "b"
            assert remote.claim_next("cy").task.task_id == "c"
            remote.fail_task("cy", "c", "disk <b>full</b>")
            wait_for(driver, lambda d: task_row(d, "failed", "c"))
        cells = {}
        for state, task_id in (("done", "a"), ("held", "b"), ("failed", "c"),
                               ("blocked", "d"), ("ready", "e")):
            row = task_row(driver, state, task_id)
            assert row is not None, (state, task_id)
            cells[task_id] = [c.text for c in row.find_elements(By.TAG_NAME, "td")]
        assert cells["a"] == ["a", "first", "ann", "built"]
        assert cells["b"][0] == "b" and cells["b"][2:4] == ["bob", "1"]
        assert cells["b"][4].endswith(" s")
        assert cells["c"][2:] == ["cy", "disk <b>full</b>"]
        assert cells["d"][2] == "zz"  # a is done; zz was never added
        # The title is the literal text, its bidi override spelled out.
        title = task_row(driver, "held", "b").find_elements(By.TAG_NAME, "td")[1]
        assert title.get_attribute("title") == hostile.replace("\u202e", "\\u202E")
        assert driver.find_elements(By.CSS_SELECTOR, "#tasks img, #tasks b") == []
        assert driver.execute_script("return document.body.dataset.pwned") is None
        assert driver.find_element(By.ID, "task-count").text == "(5)"
