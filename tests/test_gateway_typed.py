"""The gateway's fronts over the typed GraphQL layer, in process: GET runs
only queries, operationName picks the operation, a skipped mutation calls
no tool, the token guards GET queries too, and raw mode keeps the engine's
language.  Every tool call is recorded at the tool itself."""

from __future__ import annotations

import asyncio
import json
from collections.abc import Iterator
from typing import Any

import pytest

pytest.importorskip("starlette")
httpx = pytest.importorskip("httpx")

from quorvel_graphql import ToolHost  # noqa: E402
from quorvel_graphql.gateway import Gateway, create_app  # noqa: E402
from quorvel_graphql.gateway.core import QueryResult  # noqa: E402

CATALOGUE = json.dumps([{"server": "lab", "tools": [
    {"name": "echo", "annotations": {"readOnlyHint": True},
     "inputSchema": {"type": "object", "properties": {"text": {"type": "string"}}, "required": ["text"]}},
    {"name": "delete_everything", "annotations": {"readOnlyHint": False},
     "inputSchema": {"type": "object", "properties": {"confirm": {"type": "boolean"}}, "required": ["confirm"]}},
]}])
TOKEN = "typed-token"
TWO_OPERATIONS = ('query Look { e: lab_echo(text: "look") { text } } '
                  "mutation Wipe { d: lab_delete_everything(confirm: true) { text } }")


@pytest.fixture
def lab() -> Iterator[tuple[ToolHost, list[tuple[str, Any]]]]:
    calls: list[tuple[str, Any]] = []
    with ToolHost(CATALOGUE) as host:
        host.catalogue_json = CATALOGUE  # the text carries the tools' schemas
        host.register("lab", "echo", lambda text: calls.append(("echo", text)) or text)
        host.register("lab", "delete_everything", lambda confirm: calls.append(("delete", confirm)) or "gone")
        yield host, calls


def request(host: ToolHost, method: str, path: str, *, raw: bool = False, token: str | None = None,
            **kwargs: Any) -> httpx.Response:
    async def send() -> httpx.Response:
        gateway = Gateway(host, raw=raw)
        try:
            transport = httpx.ASGITransport(app=create_app(gateway, token=token))
            async with httpx.AsyncClient(transport=transport, base_url="http://127.0.0.1") as client:
                return await client.request(method, path, **kwargs)
        finally:
            gateway.close()

    return asyncio.run(asyncio.wait_for(send(), 30))


@pytest.mark.parametrize(
    ("params", "status", "calls"),
    [
        ({"query": '{ e: lab_echo(text: "hi") { text } }'}, 200, [("echo", "hi")]),
        ({"query": "query($t: String = \"dflt\") { e: lab_echo(text: $t) { text } }"}, 200, [("echo", "dflt")]),
        ({"query": "mutation { d: lab_delete_everything(confirm: true) { text } }"}, 405, []),
        ({"query": TWO_OPERATIONS, "operationName": "Wipe"}, 405, []),
        ({"query": TWO_OPERATIONS, "operationName": "Look"}, 200, [("echo", "look")]),
        ({"query": TWO_OPERATIONS}, 200, []),  # two operations and no name: a request error, no call
        ({"query": "{ servers { name } }", "variables": "{oops"}, 400, []),
        ({"query": "{ servers { name } }", "variables": "[1]"}, 400, []),
    ],
)
def test_get_runs_only_query_operations(lab: tuple[ToolHost, list[Any]], params: dict[str, str], status: int,
                                        calls: list[Any]) -> None:
    host, made = lab
    response = request(host, "GET", "/graphql", params=params)
    assert response.status_code == status, response.text
    assert made == calls
    document = response.json()
    if status == 405:
        assert response.headers["allow"] == "POST" and "POST" in document["errors"][0]["message"]
    elif calls:
        assert "errors" not in document and document["data"]["e"] == {"text": calls[0][1]}
    else:
        assert document["errors"] and document.get("data") is None


@pytest.mark.parametrize(
    ("query", "variables", "calls"),
    [
        ("mutation($go: Boolean!) { d: lab_delete_everything(confirm: true) @include(if: $go) { text } }",
         {"go": False}, []),
        ("mutation { d: lab_delete_everything(confirm: true) @skip(if: true) { text } }", None, []),
        ("mutation($go: Boolean!) { d: lab_delete_everything(confirm: true) @include(if: $go) { text } }",
         {"go": True}, [("delete", True)]),
    ],
)
def test_a_skipped_mutation_calls_no_tool(lab: tuple[ToolHost, list[Any]], query: str,
                                          variables: dict[str, Any] | None, calls: list[Any]) -> None:
    host, made = lab
    document = request(host, "POST", "/graphql", json={"query": query, "variables": variables}).json()
    assert made == calls
    assert document["data"] == ({"d": {"text": "gone"}} if calls else {})


def test_operation_name_picks_the_operation_over_post(lab: tuple[ToolHost, list[Any]]) -> None:
    host, made = lab
    document = request(host, "POST", "/graphql", json={"query": TWO_OPERATIONS, "operationName": "Wipe"}).json()
    assert document == {"data": {"d": {"text": "gone"}}} and made == [("delete", True)]


@pytest.mark.parametrize(
    ("params", "authorization", "status"),
    [
        ({"query": "{ __typename }"}, None, 401),
        ({"query": "{ __typename }"}, f"Bearer {TOKEN}", 200),
        ({"x": "1", "query": "{ __typename }"}, None, 401),  # the query need not come first
        ({}, None, 200),  # the playground page itself
        ({"queryish": "1"}, None, 200),
    ],
)
def test_get_queries_need_the_token_the_page_does_not(lab: tuple[ToolHost, list[Any]], params: dict[str, str],
                                                       authorization: str | None, status: int) -> None:
    headers = {"authorization": authorization} if authorization else {}
    response = request(lab[0], "GET", "/graphql", token=TOKEN, params=params, headers=headers)
    assert response.status_code == status
    if status == 200 and "query" in params:
        assert response.json() == {"data": {"__typename": "Query"}}
    elif status == 200:
        assert response.headers["content-type"].startswith("text/html")


def test_raw_mode_speaks_the_engine_language(lab: tuple[ToolHost, list[Any]]) -> None:
    host, made = lab
    whole = request(host, "POST", "/graphql", raw=True, json={"query": '{ e: lab_echo(text: "raw") }'}).json()
    assert whole == {"data": {"e": "raw"}, "errors": []}
    typed_only = request(host, "POST", "/graphql", raw=True, json={"query": "{ __schema { queryType { name } } }"})
    assert typed_only.json()["data"] is None  # no introspection in the engine's language
    refused = request(host, "GET", "/graphql", raw=True,
                      params={"query": "mutation { lab_delete_everything(confirm: true) }"})
    assert refused.status_code == 405 and made == [("echo", "raw")]


@pytest.mark.parametrize(
    ("document", "outcome"),
    [
        ({"data": {"a": None, "b": {"text": "x"}}, "errors": [
            {"message": "boom", "path": ["a"], "extensions": {"code": "TOOL_ERROR"}}]}, "1 of 2 fields failed"),
        ({"data": {"a": {"isError": True}, "b": 1}, "errors": []}, "1 of 2 fields failed"),
        ({"errors": [{"message": "Cannot query field \"x\" on type \"Query\"."}]}, "refused: Cannot query field"),
        ({"data": {"a": None}, "errors": [{"message": "Int cannot represent", "path": ["a"]}]}, "1 errors"),
        ({"data": {"a": 1}}, "ok"),
    ],
)
def test_the_log_line_tells_tool_failures_from_request_errors(document: dict[str, Any], outcome: str) -> None:
    assert QueryResult(json.dumps(document), (), 0.0).outcome.startswith(outcome)


def test_a_type_looked_up_by_name_over_get(lab: tuple[ToolHost, list[Any]]) -> None:
    # __type(name:) once read its argument from the wrong table and crashed the process.
    response = request(lab[0], "GET", "/graphql", params={"query": '{ __type(name: "Query") { name fields { name } } }'})
    found = response.json()["data"]["__type"]
    assert found["name"] == "Query" and {"servers", "search", "lab_echo"} <= {f["name"] for f in found["fields"]}
