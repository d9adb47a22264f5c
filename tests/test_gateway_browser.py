"""The playground in a real browser: headless Chromium (Debian's chromium and
chromium-driver) driven by selenium, against a gateway with a real tool
server and a bearer token.  A screenshot is kept under test-artifacts/."""

from __future__ import annotations

import json
import os
import pathlib
import shutil
import sys
from collections.abc import Iterator
from typing import Any

import pytest

pytestmark = pytest.mark.browser

pytest.importorskip("starlette")
pytest.importorskip("mcp_server_time")
webdriver = pytest.importorskip("selenium.webdriver")

from selenium.webdriver.common.by import By  # noqa: E402
from selenium.webdriver.support.ui import WebDriverWait  # noqa: E402
from support.gateway import http_gateway  # noqa: E402

CHROMIUM = shutil.which("chromium") or shutil.which("chromium-browser")
DRIVER = shutil.which("chromedriver")
ARTIFACTS = pathlib.Path(os.environ.get("QUORVEL_TEST_ARTIFACTS", pathlib.Path(__file__).parent.parent / "test-artifacts"))
TOKEN = "browser-token"
WAIT = 30


@pytest.fixture
def browser() -> Iterator[Any]:
    if not (CHROMIUM and DRIVER):
        pytest.skip("needs Debian's chromium and chromium-driver (apt-get install -y chromium chromium-driver)")
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for flag in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--window-size=1400,900"):
        options.add_argument(flag)
    driver = webdriver.Chrome(service=webdriver.ChromeService(executable_path=DRIVER), options=options)
    driver.set_page_load_timeout(WAIT)
    try:
        yield driver
    finally:
        driver.quit()


def test_playground_runs_a_query(browser: Any, tmp_path: pathlib.Path) -> None:
    config = tmp_path / "servers.json"
    config.write_text(json.dumps({"servers": {"time": {
        "command": sys.executable, "args": ["-m", "mcp_server_time", "--local-timezone", "UTC"]}}}))
    with http_gateway(["--servers", str(config)], {"QUORVEL_GATEWAY_TOKEN": TOKEN}) as gateway:
        browser.get(f"{gateway.url}/")
        wait = WebDriverWait(browser, WAIT)
        token = browser.find_element(By.ID, "token")
        token.send_keys(TOKEN)
        browser.find_element(By.ID, "filter").click()  # leaving the box commits the token, loading the fields
        fields = wait.until(lambda b: [e for e in b.find_elements(By.CSS_SELECTOR, "#fields li code")
                                       if e.text == "time_get_current_time"])

        query = browser.find_element(By.ID, "query")
        query.clear()
        query.send_keys("{ now: ")
        fields[0].click()  # inserts the call with its required arguments
        assert 'time_get_current_time(timezone: "")' in query.get_attribute("value")
        query.clear()
        query.send_keys('query($z: String!) { now: time_get_current_time(timezone: $z) servers }')
        variables = browser.find_element(By.ID, "variables")
        variables.clear()
        variables.send_keys('{"z": "Asia/Tokyo"}')
        browser.find_element(By.ID, "run").click()

        wait.until(lambda b: "HTTP" in b.find_element(By.ID, "status").text)
        assert browser.find_element(By.ID, "status").text.startswith("HTTP 200")
        document = json.loads(browser.find_element(By.ID, "response").text)
        ARTIFACTS.mkdir(parents=True, exist_ok=True)
        browser.save_screenshot(str(ARTIFACTS / "playground.png"))
    assert document["data"]["now"]["structuredContent"]["timezone"] == "Asia/Tokyo"
    assert document["data"]["servers"][0]["name"] == "time"
    loaded = [entry["name"] for entry in browser.execute_script(
        "return performance.getEntriesByType('resource').map(e => ({name: e.name}))")]
    assert all(url.startswith(gateway.url) for url in loaded), loaded
