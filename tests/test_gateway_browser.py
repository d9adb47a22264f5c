"""The playground in a real browser: headless Chromium (Debian's chromium and
chromium-driver) driven by selenium, against a gateway with a real tool
server and a bearer token.  A screenshot is kept under test-artifacts/."""

from __future__ import annotations

import json
import os
import pathlib
import shutil
import sys
import urllib.request
from collections.abc import Iterator
from typing import Any

import pytest

pytestmark = pytest.mark.browser

pytest.importorskip("starlette")
pytest.importorskip("mcp_server_time")
webdriver = pytest.importorskip("selenium.webdriver")

from selenium.webdriver.common.action_chains import ActionChains  # noqa: E402
from selenium.webdriver.common.by import By  # noqa: E402
from selenium.webdriver.common.keys import Keys  # noqa: E402
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


# -- the editor: click-to-insert, errors as you type, prettify, the side
# editors, the docs pane and completion, against one gateway over the
# example catalogue (tool fields give placeholders).  Each test loads the
# page afresh: the default document, nothing typed.

@pytest.fixture(scope="module")
def catalogue_gateway() -> Iterator[Any]:
    from conftest import EXAMPLE_CATALOGUE

    with http_gateway(["--catalogue", str(EXAMPLE_CATALOGUE)]) as gateway:
        yield gateway


def fresh_page(browser: Any, gateway: Any) -> Any:
    browser.get(f"{gateway.url}/")
    wait = WebDriverWait(browser, WAIT)
    wait.until(lambda b: b.find_elements(By.CSS_SELECTOR, "#fields li code"))
    return wait


def field_entry(browser: Any, name: str) -> Any:
    return next(e for e in browser.find_elements(By.CSS_SELECTOR, "#fields li code") if e.text == name)


def checked(browser: Any, wait: Any) -> list[str]:
    """The problems the gateway found in the document as it is now, once it
    has answered for exactly this text."""
    query = browser.find_element(By.ID, "query")
    problems = browser.find_element(By.ID, "query-problems")
    wait.until(lambda b: problems.get_attribute("data-for") == query.get_attribute("value"))
    return [item.text for item in problems.find_elements(By.TAG_NAME, "li")]


def run(browser: Any, wait: Any) -> dict[str, Any]:
    status = browser.find_element(By.ID, "status")
    browser.execute_script("arguments[0].textContent = ''", status)
    browser.find_element(By.ID, "run").click()
    wait.until(lambda b: "HTTP" in status.text or "not JSON" in status.text)
    document: dict[str, Any] = json.loads(browser.find_element(By.ID, "response").text) \
        if status.text.startswith("HTTP") else {"status": status.text}
    return document


def ran_every_field(document: dict[str, Any]) -> bool:
    """The request was not refused: it has data, and its only errors are the
    placeholders' failed tool calls."""
    return "data" in document and all(
        error.get("extensions", {}).get("code") == "TOOL_ERROR" for error in document.get("errors", []))


def type_at(browser: Any, offset: int, text: str) -> None:
    """Types ``text`` with the caret at ``offset`` of the query, as a user
    who clicked there would (send_keys on the element would move it to the end)."""
    query = browser.find_element(By.ID, "query")
    browser.execute_script("arguments[0].focus(); arguments[0].setSelectionRange(arguments[1], arguments[1])",
                           query, offset)
    ActionChains(browser).send_keys(text).perform()


@pytest.mark.parametrize(("clicks", "operation"), [
    (["math_stats"], "query"),
    (["math_stats", "math_stats"], "query"),  # the second call gets an alias of its own
    (["files_write_scratch"], "mutation"),
    (["files_write_scratch", "math_sum", "files_write_scratch"], "mutation"),
])
def test_clicking_fields_builds_a_document_that_runs(browser: Any, catalogue_gateway: Any, clicks: list[str],
                                                      operation: str) -> None:
    wait = fresh_page(browser, catalogue_gateway)
    for name in clicks:
        field_entry(browser, name).click()
    query = browser.find_element(By.ID, "query").get_attribute("value")
    assert checked(browser, wait) == [], query
    document = run(browser, wait)
    assert ran_every_field(document), (query, document)
    selected = browser.find_element(By.ID, "operation").get_attribute("value")
    if operation == "mutation":
        # A mutation field goes into a mutation of its own, which is the one run.
        assert query.count("mutation ") == 1 and selected
        assert set(document["data"]) == {field for field in clicks if field.startswith("files_")} | (
            {"files_write_scratch2"} if clicks.count("files_write_scratch") > 1 else set())
    else:
        assert "servers" in document["data"] and "math_stats" in document["data"]
        assert len(document["data"]) == 2 + len(clicks)


def test_a_click_inserts_at_the_cursor_when_it_is_in_the_operation(browser: Any, catalogue_gateway: Any) -> None:
    wait = fresh_page(browser, catalogue_gateway)
    query = browser.find_element(By.ID, "query")
    query.clear()
    query.send_keys("{ servers { name } clock_now { text } }")
    type_at(browser, len("{ servers { name } "), "")
    field_entry(browser, "math_sum").click()
    assert query.get_attribute("value") == "{ servers { name } math_sum(numbers: []) { text } clock_now { text } }"
    type_at(browser, len("{ servers { na"), "")  # inside a nested selection: the call goes to the end instead
    field_entry(browser, "notes_list_notes").click()
    assert query.get_attribute("value").endswith("clock_now { text } notes_list_notes { text } }")
    assert checked(browser, wait) == []


@pytest.mark.parametrize(("document", "variables", "where", "message", "marked"), [
    ("{\n  servers {\n    nme\n  }\n}", "{}", "3:5", 'Cannot query field "nme" on type "Server".', "nme"),
    ("{ servers {", "{}", "1:12", "Syntax Error: Expected Name, found <EOF>.", " "),
    ("query($n: [Float!]!) {\n  math_sum(numbers: $n) { text }\n}", '{"n": "x"}', "1:7",
     'Variable "$n" got invalid value "x"', "$"),
])
def test_errors_are_marked_at_their_line_and_column(browser: Any, catalogue_gateway: Any, document: str,
                                                    variables: str, where: str, message: str, marked: str) -> None:
    wait = fresh_page(browser, catalogue_gateway)
    box = browser.find_element(By.ID, "variables")
    box.clear()
    box.send_keys(variables)
    query = browser.find_element(By.ID, "query")
    query.clear()
    query.send_keys(document)
    problems = checked(browser, wait)
    assert len(problems) == 1 and problems[0].startswith(where) and message in problems[0], problems
    line = int(where.split(":")[0])
    assert [e.text for e in browser.find_elements(By.CSS_SELECTOR, "#query-editor .gutter .err")] == [str(line)]
    assert [e.text for e in browser.find_elements(By.CSS_SELECTOR, "#query-editor .backdrop .err")] == [marked]
    # Mended, the marks go.
    query.clear()
    query.send_keys("{ servers { name } }")
    assert checked(browser, wait) == []
    assert not browser.find_elements(By.CSS_SELECTOR, "#query-editor .err")


def test_prettify_lays_out_the_document_and_the_variables(browser: Any, catalogue_gateway: Any) -> None:
    wait = fresh_page(browser, catalogue_gateway)
    query = browser.find_element(By.ID, "query")
    query.clear()
    query.send_keys('query Sum($n:[Float!]!,$skip:Boolean=false){s:math_sum(numbers:$n)@skip(if:$skip){text} '
                    'servers{name ...on Server{toolCount}}}')
    variables = browser.find_element(By.ID, "variables")
    variables.clear()
    variables.send_keys('{"n":[1,2]}')
    browser.find_element(By.ID, "prettify").click()
    assert query.get_attribute("value") == (
        "query Sum($n: [Float!]!, $skip: Boolean = false) {\n"
        "  s: math_sum(numbers: $n) @skip(if: $skip) {\n"
        "    text\n"
        "  }\n"
        "  servers {\n"
        "    name\n"
        "    ... on Server {\n"
        "      toolCount\n"
        "    }\n"
        "  }\n"
        "}")
    assert variables.get_attribute("value") == '{\n  "n": [\n    1,\n    2\n  ]\n}'
    assert checked(browser, wait) == []
    assert ran_every_field(run(browser, wait))


def test_the_variables_editor_marks_json_faults_and_feeds_the_request(browser: Any, catalogue_gateway: Any) -> None:
    wait = fresh_page(browser, catalogue_gateway)
    query = browser.find_element(By.ID, "query")
    query.clear()
    query.send_keys("query($skip: Boolean!) { servers @skip(if: $skip) { name } __typename }")
    variables = browser.find_element(By.ID, "variables")
    variables.clear()
    variables.send_keys('{\n  "skip": tru\n}')
    problems = browser.find_element(By.ID, "variables-problems")
    assert problems.text.startswith("2:11")
    assert [e.text for e in browser.find_elements(By.CSS_SELECTOR, "#variables-pane .gutter .err")] == ["2"]
    assert run(browser, wait)["status"].startswith("Variables are not JSON")
    variables.clear()
    variables.send_keys('{\n  "skip": true\n}\n}')
    assert problems.text == "4:1unexpected text after the value"
    variables.clear()
    variables.send_keys('{"skip": true}')
    assert problems.text == ""
    assert run(browser, wait) == {"data": {"__typename": "Query"}}


def test_the_headers_editor_sends_its_headers(browser: Any) -> None:
    from conftest import EXAMPLE_CATALOGUE

    with http_gateway(["--catalogue", str(EXAMPLE_CATALOGUE)], {"QUORVEL_GATEWAY_TOKEN": TOKEN}) as gateway:
        browser.get(f"{gateway.url}/")
        wait = WebDriverWait(browser, WAIT)
        wait.until(lambda b: "token" in b.find_element(By.ID, "status").text)  # the schema needs the token
        browser.find_element(By.ID, "tab-headers").click()
        headers = browser.find_element(By.ID, "headers")
        headers.clear()
        headers.send_keys(json.dumps({"Authorization": f"Bearer {TOKEN}"}))
        browser.find_element(By.ID, "filter").click()  # leaving the box loads the schema with them
        wait.until(lambda b: b.find_elements(By.CSS_SELECTOR, "#fields li code"))
        query = browser.find_element(By.ID, "query")
        query.clear()
        query.send_keys("{ servers { name } }")
        assert checked(browser, wait) == []  # the check is sent with the headers too
        assert run(browser, wait)["data"]["servers"][0]["name"] == "clock"


def reachable_types(url: str) -> set[str]:
    """Every type reachable from the root types, read from introspection
    with a client of its own."""
    ref = "name ofType { name ofType { name ofType { name } } }"
    query = (f"{{ __schema {{ queryType {{ name }} mutationType {{ name }} types {{ name "
             f"fields {{ type {{ {ref} }} args {{ type {{ {ref} }} }} }} inputFields {{ type {{ {ref} }} }} }} }} }}")
    request = urllib.request.Request(f"{url}/graphql", json.dumps({"query": query}).encode(),
                                     {"Content-Type": "application/json"})
    with urllib.request.urlopen(request, timeout=WAIT) as answer:
        schema = json.load(answer)["data"]["__schema"]
    types = {t["name"]: t for t in schema["types"]}

    def name_of(ref: dict[str, Any]) -> str:
        return ref["name"] or name_of(ref["ofType"])

    seen: set[str] = set()
    queue = [schema["queryType"]["name"], schema["mutationType"]["name"]]
    while queue:
        name = queue.pop()
        if name in seen:
            continue
        seen.add(name)
        kind = types[name]
        for field in (kind.get("fields") or []) + (kind.get("inputFields") or []):
            queue.append(name_of(field["type"]))
            queue.extend(name_of(arg["type"]) for arg in field.get("args") or [])
    return seen


def test_the_docs_pane_reaches_every_type_from_the_roots(browser: Any, catalogue_gateway: Any) -> None:
    wait = fresh_page(browser, catalogue_gateway)
    browser.find_element(By.ID, "docs-schema").click()
    listed = {e.text for e in browser.find_elements(By.CSS_SELECTOR, "#all-types li a")}
    assert listed == reachable_types(catalogue_gateway.url)
    assert {"MathStatsResult", "ToolResult", "Server", "Mutation"} <= listed
    next(e for e in browser.find_elements(By.CSS_SELECTOR, "#all-types li a") if e.text == "Mutation").click()
    docs = browser.find_element(By.ID, "docs")
    wait.until(lambda b: docs.find_element(By.TAG_NAME, "h2").text == "object Mutation")
    assert "files_write_scratch(name: String!, text: String!): ToolResult" in docs.text
    next(e for e in docs.find_elements(By.CSS_SELECTOR, "a.field-link") if e.text == "files_write_scratch").click()
    assert docs.find_element(By.TAG_NAME, "h2").text == "mutation files_write_scratch: ToolResult"
    next(e for e in docs.find_elements(By.CSS_SELECTOR, "a.type-link") if e.text == "ToolResult").click()
    assert docs.find_element(By.TAG_NAME, "h2").text == "object ToolResult"
    browser.find_element(By.ID, "docs-back").click()
    assert docs.find_element(By.TAG_NAME, "h2").text == "mutation files_write_scratch: ToolResult"


# "|" marks the cursor.
@pytest.mark.parametrize(("document", "typed", "offered", "result"), [
    # The cursor in the middle of a document: the rest stays where it is.
    ("{ | servers { name } }", "math_su", ["math_sum"], "{ math_sum servers { name } }"),
    ("{ servers { | name } }", "toolC", ["toolCount"], "{ servers { toolCount name } }"),
    ("query($numbers: [Float!]!) { math_sum(numbers: $|) { text } }", "nu", ["numbers"],
     "query($numbers: [Float!]!) { math_sum(numbers: $numbers) { text } }"),
    ("{ servers { name } | }", "@sk", ["skip"], "{ servers { name } @skip }"),
    ("mutation { | }", "files_w", ["files_write_scratch"], "mutation { files_write_scratch }"),
    ("{ math_stats(numbers: [1]) { | } }", "m", ["mean", "min", "max"], "{ math_stats(numbers: [1]) { mean } }"),
])
def test_completion_at_the_cursor(browser: Any, catalogue_gateway: Any, document: str, typed: str,
                                  offered: list[str], result: str) -> None:
    offset = document.index("|")
    document = document.replace("|", "")
    fresh_page(browser, catalogue_gateway)
    query = browser.find_element(By.ID, "query")
    query.clear()
    query.send_keys(document)
    type_at(browser, offset, typed)
    wait = WebDriverWait(browser, WAIT)
    shown = wait.until(lambda b: [e.text for e in b.find_elements(By.CSS_SELECTOR, "#completions li code")])
    assert shown == offered
    ActionChains(browser).send_keys(Keys.TAB).perform()
    assert query.get_attribute("value") == result
    assert not browser.find_elements(By.CSS_SELECTOR, "#completions li")
