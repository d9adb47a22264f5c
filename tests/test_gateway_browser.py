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


# One Chromium for the module: each test opens its own gateway, on its own
# port, so pages share no origin and no stored state.
@pytest.fixture(scope="module")
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
        query.send_keys('query($z: String!) { now: time_get_current_time(timezone: $z) { timezone } '
                        'servers { name } }')
        variables = browser.find_element(By.ID, "variables")
        variables.clear()
        variables.send_keys('{"z": "Asia/Tokyo"}')
        browser.find_element(By.ID, "run").click()

        wait.until(lambda b: "HTTP" in b.find_element(By.ID, "status").text)
        assert browser.find_element(By.ID, "status").text.startswith("HTTP 200")
        document = json.loads(browser.find_element(By.ID, "response").text)
        ARTIFACTS.mkdir(parents=True, exist_ok=True)
        browser.save_screenshot(str(ARTIFACTS / "playground.png"))
    assert document["data"]["now"]["timezone"] == "Asia/Tokyo"
    assert document["data"]["servers"][0]["name"] == "time"
    loaded = [entry["name"] for entry in browser.execute_script(
        "return performance.getEntriesByType('resource').map(e => ({name: e.name}))")]
    assert all(url.startswith(gateway.url) for url in loaded), loaded


def test_playground_completes_documents_and_shows_errors(browser: Any) -> None:
    from conftest import EXAMPLE_CATALOGUE

    with http_gateway(["--catalogue", str(EXAMPLE_CATALOGUE)]) as gateway:
        browser.get(f"{gateway.url}/")
        wait = WebDriverWait(browser, WAIT)
        entry = wait.until(lambda b: [e for e in b.find_elements(By.CSS_SELECTOR, "#fields li code")
                                      if e.text == "math_sum"])
        entry[0].click()  # shows the field's documentation and inserts a call that validates
        docs = browser.find_element(By.ID, "docs").text
        assert "numbers: [Float!]!" in docs and "math_sum: ToolResult" in docs

        query = browser.find_element(By.ID, "query")
        query.clear()
        query.send_keys("{ math_s")
        offered = wait.until(lambda b: [e.text for e in b.find_elements(By.CSS_SELECTOR, "#completions li code")])
        assert set(offered) == {"math_sum", "math_stats"}
        query.send_keys("tats(n")  # inside the argument list, argument names are offered
        wait.until(lambda b: [e for e in b.find_elements(By.CSS_SELECTOR, "#completions li code")
                              if e.text == "numbers"])
        query.send_keys("\t: [1, 2]) { me")
        wait.until(lambda b: [e for e in b.find_elements(By.CSS_SELECTOR, "#completions li code")
                              if e.text == "mean"])
        query.send_keys("\t }}")
        assert query.get_attribute("value") == "{ math_stats(numbers: [1, 2]) { mean }}"

        browser.find_element(By.ID, "run").click()
        status = wait.until(lambda b: b.find_element(By.ID, "status") if "HTTP" in b.find_element(
            By.ID, "status").text else None)
        # The placeholder tool failed: HTTP 200, but the response carries an error.
        assert status.text.startswith("HTTP 200") and "1 error" in status.text
        assert "bad" in status.get_attribute("class")
        document = json.loads(browser.find_element(By.ID, "response").text)
        assert document["data"] == {"math_stats": None} and document["errors"][0]["path"] == ["math_stats"]

        query.clear()
        query.send_keys("{ servers { name } }")
        browser.find_element(By.ID, "run").click()
        wait.until(lambda b: "good" in b.find_element(By.ID, "status").get_attribute("class"))
        history = [o.text for o in browser.find_elements(By.CSS_SELECTOR, "#history option")]
        assert history[1:3] == ["{ servers { name } }", "{ math_stats(numbers: [1, 2]) { mean }}"]
