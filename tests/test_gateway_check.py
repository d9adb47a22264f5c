"""Checking a request without running it (``Gateway.check``, ``POST
/validate``): the verdict of the real run, and not one tool called."""

from __future__ import annotations

import asyncio
import json
from collections.abc import Iterator
from typing import Any

import pytest

pytest.importorskip("starlette")
httpx = pytest.importorskip("httpx")

from conftest import EXAMPLE_CATALOGUE  # noqa: E402

from quorvel_graphql import ToolHost  # noqa: E402
from quorvel_graphql.gateway import Gateway, create_app  # noqa: E402
from quorvel_graphql.limits import RequestLimits  # noqa: E402

CATALOGUE = EXAMPLE_CATALOGUE.read_text()


class CountingTools:
    def __init__(self) -> None:
        self.calls: list[str] = []

    def math_sum(self, numbers: list[float]) -> float:
        self.calls.append("math_sum")
        return sum(numbers)

    def notes_add_note(self, text: str) -> int:
        self.calls.append("notes_add_note")
        return 1


@pytest.fixture(scope="module")
def served() -> Iterator[tuple[ToolHost, CountingTools]]:
    tools = CountingTools()
    host = ToolHost(CATALOGUE)
    host.register_methods(tools)
    host.catalogue_json = CATALOGUE
    with host:
        yield host, tools


def verdicts(gateway: Gateway, query: str, variables: dict[str, Any] | None) -> tuple[list[Any], list[Any]]:
    """The check's errors, and those of the request run for real when it is
    refused as a whole (none when it runs)."""
    async def both() -> tuple[list[Any], list[Any]]:
        checked = await gateway.check(query, variables)
        result = await gateway.execute(query, variables, via="test")
        return checked, (result.document.get("errors", []) if result.request_failed else [])

    try:
        return asyncio.run(asyncio.wait_for(both(), 30))
    finally:
        gateway.close()


@pytest.mark.parametrize(("raw", "limits", "query", "variables", "refused"), [
    (False, None, "{ servers { nam } }", None, True),
    (False, None, "{ servers { name ", None, True),
    (False, None, "query($n: [Float!]!) { math_sum(numbers: $n) { json } }", {"n": "x"}, True),
    (False, None, "query A { __typename } query B { __typename }", None, True),
    (False, RequestLimits(max_tool_calls=1), "{ a: math_sum(numbers: [1]) { json } b: math_sum(numbers: [2]) { json } }",
     None, True),
    (False, None, "query($n: [Float!]!) { math_sum(numbers: $n) { json } }", {"n": [1, 2]}, False),
    (False, None, 'mutation { notes_add_note(text: "milk") { json } }', None, False),
    (True, None, "{ nope }", None, True),
    (True, None, "{ math_sum(numbers: [1, 2]) }", None, False),
])
def test_the_check_gives_the_runs_verdict_and_calls_no_tool(
        served: tuple[ToolHost, CountingTools], raw: bool, limits: RequestLimits | None, query: str,
        variables: dict[str, Any] | None, refused: bool) -> None:
    host, tools = served
    tools.calls.clear()
    gateway = Gateway(host, raw=raw, limits=limits)
    calls_before_the_run: list[str] = []
    original = gateway.execute

    async def execute(*args: Any, **kwargs: Any) -> Any:
        calls_before_the_run.extend(tools.calls)
        return await original(*args, **kwargs)

    gateway.execute = execute  # type: ignore[method-assign]
    checked, ran = verdicts(gateway, query, variables)
    assert calls_before_the_run == []
    assert checked == ran
    assert bool(checked) == refused
    if refused:
        assert all(error["message"] for error in checked)
    else:
        assert tools.calls  # the tools are really served: the check's zero is its own


@pytest.mark.parametrize(("method", "body", "headers", "status", "answer"), [
    ("POST", {"query": "{ servers { nam } }"}, {}, 200,
     {"errors": [{"message": 'Cannot query field "nam" on type "Server". Did you mean "name"?',
                  "locations": [{"line": 1, "column": 13}]}]}),
    ("POST", {"query": "{ servers { name } }"}, {}, 200, {"errors": []}),
    ("POST", {"query": "{ __typename }"}, {"authorization": None}, 401, None),
    ("POST", {"variables": {}}, {}, 400, None),
    ("POST", "not json", {"content-type": "text/plain"}, 415, None),
    ("GET", None, {}, 405, None),
])
def test_the_validate_endpoint(method: str, body: Any, headers: dict[str, str | None], status: int,
                               answer: dict[str, Any] | None) -> None:
    from _graphql import SchemaEngine

    sent = {"authorization": "Bearer secret", "content-type": "application/json", **headers}

    async def request() -> httpx.Response:
        app = create_app(Gateway(SchemaEngine(CATALOGUE), catalogue_json=CATALOGUE), token="secret")
        transport = httpx.ASGITransport(app=app)
        async with httpx.AsyncClient(transport=transport, base_url="http://127.0.0.1") as client:
            return await client.request(method, "/validate", headers={k: v for k, v in sent.items() if v is not None},
                                        content=None if body is None else body if isinstance(body, str)
                                        else json.dumps(body))

    response = asyncio.run(asyncio.wait_for(request(), 30))
    assert response.status_code == status
    if answer is not None:
        assert response.json() == answer
