"""Makes docs/board.png: the board of a `halvex-mcp --http` server while the
demo's agents work through a task graph (demo.py --graph), as headless
chromium shows it.

    python scripts/board_screenshot.py [OUT.png]

Needs the wheel with its `mcp` extra, selenium, and Debian's chromium and
chromium-driver (bash scripts/setup.sh browser) in the running environment.
"""

import os
import re
import subprocess
import sys
import time

from selenium import webdriver
from selenium.webdriver.chrome.service import Service

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def start_server():
    server = subprocess.Popen([sys.executable, "-m", "halvex_mcp", "--http", "127.0.0.1:0",
                               "--memory", "--task-tools"],
                              stderr=subprocess.PIPE, stdin=subprocess.DEVNULL)
    assert server.stderr is not None
    for line in server.stderr:
        found = re.search(r"serving MCP on (http://\S+)", line.decode())
        if found:
            return server, found.group(1)
    raise SystemExit("halvex-mcp did not start")


def main(out):
    server, url = start_server()
    demo = subprocess.Popen([sys.executable, os.path.join(ROOT, "examples", "demo.py"),
                             "--graph", "--backend", "mcp", "--mcp-url", url, "--agents", "4",
                             "--tasks", "14", "--pace", "0.5", "--quiet", "--linger", "0"],
                            stdout=subprocess.DEVNULL)
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for flag in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage",
                 "--window-size=1280,860", "--hide-scrollbars"):
        options.add_argument(flag)
    driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
    try:
        driver.get(url.replace("/mcp", "/board"))
        time.sleep(9)  # the agents are well into the plan by now
        driver.save_screenshot(out)
    finally:
        driver.quit()
        demo.kill()  # its agents are processes tied to it; the demo's result is not wanted
        demo.wait(30)
        server.terminate()
        server.wait(30)
    print("wrote", out)


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "docs", "board.png"))
