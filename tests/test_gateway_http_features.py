"""GraphQL over HTTP beyond one request: batches, automatic persisted
queries (POST and GET, with the operator's Cache-Control), and compressed
answers, and introspection turned off, against a running gateway."""

from __future__ import annotations

import gzip
import hashlib
import json
from collections.abc import Iterator
from typing import Any

import pytest

pytest.importorskip("starlette")
httpx = pytest.importorskip("httpx")

from conftest import EXAMPLE_CATALOGUE  # noqa: E402
from support.gateway import RunningGateway, http_gateway  # noqa: E402
from support.http_client import client as http  # noqa: E402

CACHE = "public, max-age=60"
SERVERS = "{ servers { name } }"
# Two tool calls: the batch limit below is three.
TWO_CALLS = '{ a: clock_now { text } b: clock_now { text } }'


@pytest.fixture(scope="module")
def gateway() -> Iterator[RunningGateway]:
    with http_gateway(["--catalogue", str(EXAMPLE_CATALOGUE), "--max-batch", "4", "--max-tool-calls", "3",
                       "--persisted-queries", "1K", "--get-cache-control", CACHE, "--compress-from", "600",
                       "--no-introspection"]) as running:
        yield running


def post(gateway: RunningGateway, body: Any, **headers: str) -> httpx.Response:
    return http.post(f"{gateway.url}/graphql", json=body, headers=headers)


def persisted(query: str, version: int = 1) -> dict[str, Any]:
    return {"persistedQuery": {"version": version, "sha256Hash": hashlib.sha256(query.encode()).hexdigest()}}


def padded(name: str, size: int) -> str:
    # A valid query of about `size` bytes, distinct by name.
    return f"query {name} {{ __typename }}" + " " * (size - len(name) - 22)


# -- batches ------------------------------------------------------------------


def test_batch_answers_in_order_each_with_its_own_errors(gateway: RunningGateway) -> None:
    response = post(gateway, [
        {"query": SERVERS},
        7,
        {"query": "{ nope }"},
        {"extensions": persisted("{ never_sent }")},
    ])
    assert response.status_code == 200
    first, second, third, fourth = response.json()
    assert [s["name"] for s in first["data"]["servers"]] == ["clock", "files", "math", "notes"]
    assert "errors" not in first
    assert "JSON object" in second["errors"][0]["message"] and "data" not in second
    assert 'Cannot query field "nope"' in third["errors"][0]["message"]
    assert fourth["errors"][0]["extensions"]["code"] == "PERSISTED_QUERY_NOT_FOUND"


def test_gql_client_batch(gateway: RunningGateway) -> None:
    gql = pytest.importorskip("gql")
    from gql.transport.httpx import HTTPXTransport

    with gql.Client(transport=HTTPXTransport(url=f"{gateway.url}/graphql", timeout=30)) as session:
        results = session.execute_batch([gql.GraphQLRequest("{ __typename }"),
                                         gql.GraphQLRequest("query($n: Boolean!) { servers @include(if: $n) { name } }",
                                                            variable_values={"n": True})])
    assert results[0] == {"__typename": "Query"}
    assert results[1]["servers"][0] == {"name": "clock"}


@pytest.mark.parametrize(
    ("batch", "message"),
    [
        ([], "empty"),
        ([{"query": "{ __typename }"}] * 5, "at most 4"),
        # Within the per-request limit each, beyond it together.
        ([{"query": TWO_CALLS}, {"query": TWO_CALLS}], "more than 3 tool calls"),
    ],
)
def test_batch_limits_apply_to_the_whole_batch(gateway: RunningGateway, batch: list[Any], message: str) -> None:
    response = post(gateway, batch)
    assert response.status_code == 400
    assert message in response.json()["errors"][0]["message"]


def test_batch_within_the_call_limit_runs(gateway: RunningGateway) -> None:
    response = post(gateway, [{"query": TWO_CALLS}, {"query": "{ clock_now { text } }"}, {"query": "{ nope }"}])
    assert response.status_code == 200
    results = response.json()
    assert set(results[0]["data"]) == {"a", "b"} and set(results[1]["data"]) == {"clock_now"}
    assert "nope" in results[2]["errors"][0]["message"]


# -- persisted queries -------------------------------------------------------


def test_persisted_query_round_trip_by_post(gateway: RunningGateway) -> None:
    query = "query Round { servers { name } }"
    miss = post(gateway, {"extensions": persisted(query)})
    assert miss.status_code == 200
    assert miss.json() == {"errors": [{"message": "PersistedQueryNotFound",
                                       "extensions": {"code": "PERSISTED_QUERY_NOT_FOUND"}}]}
    sent = post(gateway, {"query": query, "extensions": persisted(query)})
    hit = post(gateway, {"extensions": persisted(query)})
    assert sent.json() == hit.json() and "clock" in hit.text


@pytest.mark.parametrize(
    ("body", "status", "expected"),
    [
        ({"query": "{ __typename }", "extensions": persisted("{ servers { name } }")}, 400, "does not match"),
        ({"extensions": persisted("{ __typename }", version=2)}, 200, "PERSISTED_QUERY_NOT_SUPPORTED"),
        ({"extensions": {"persistedQuery": {"version": 1, "sha256Hash": "abc"}}}, 400, "64 hexadecimal"),
    ],
)
def test_bad_persisted_queries_are_refused(gateway: RunningGateway, body: dict[str, Any], status: int,
                                           expected: str) -> None:
    response = post(gateway, body)
    assert response.status_code == status
    assert expected in response.text and "data" not in response.json()


def test_persisted_query_by_get_is_cacheable_once_known(gateway: RunningGateway) -> None:
    query = "query ByGet { servers { name } }"
    params = {"extensions": json.dumps(persisted(query))}
    miss = http.get(f"{gateway.url}/graphql", params=params)
    assert miss.json()["errors"][0]["extensions"]["code"] == "PERSISTED_QUERY_NOT_FOUND"
    assert miss.headers["cache-control"] == "no-store"  # a proxy must not keep the miss
    http.get(f"{gateway.url}/graphql", params={**params, "query": query})
    hit = http.get(f"{gateway.url}/graphql", params=params)
    assert hit.status_code == 200 and "clock" in hit.text
    assert hit.headers["cache-control"] == CACHE and "accept" in hit.headers["vary"].lower()


@pytest.mark.parametrize(("query", "cache"), [("{ __typename }", CACHE), ("{ nope }", "no-store"),
                                              ("{ clock_now { text } }", "no-store")])
def test_get_answers_with_errors_are_not_kept(gateway: RunningGateway, query: str, cache: str) -> None:
    # The bare catalogue's tool field fails (no tool is attached): a partial answer.
    response = http.get(f"{gateway.url}/graphql", params={"query": query})
    assert response.headers["cache-control"] == cache


def test_the_store_is_bounded_least_recently_used_out(gateway: RunningGateway) -> None:
    first, second, third = padded("First", 400), padded("Second", 400), padded("Third", 400)
    for query in (first, second):
        assert post(gateway, {"query": query, "extensions": persisted(query)}).status_code == 200
    assert "data" in post(gateway, {"extensions": persisted(first)}).json()  # now the most recently used
    post(gateway, {"query": third, "extensions": persisted(third)})  # 1200 bytes: one must go
    codes = {name: post(gateway, {"extensions": persisted(query)}).json().get("errors", [{}])[0]
             .get("extensions", {}).get("code") for name, query in (("first", first), ("second", second),
                                                                    ("third", third))}
    assert codes == {"first": None, "second": "PERSISTED_QUERY_NOT_FOUND", "third": None}


# -- compression ---------------------------------------------------------------

LARGE = "{ search { field server tool description readOnly } }"


@pytest.mark.parametrize(
    ("accept", "encoding"),
    [
        ("gzip", "gzip"),
        ("gzip, deflate, br", "br"),
        ("br;q=0.5, gzip", "gzip"),
        ("gzip;q=0, br", "br"),
        ("identity", None),
        ("br;q=0, gzip;q=0", None),
    ],
)
def test_large_answers_are_compressed_as_the_client_prefers(gateway: RunningGateway, accept: str,
                                                            encoding: str | None) -> None:
    pytest.importorskip("brotli")
    plain = http.post(f"{gateway.url}/graphql", json={"query": LARGE}, headers={"accept-encoding": "identity"})
    response = http.post(f"{gateway.url}/graphql", json={"query": LARGE}, headers={"accept-encoding": accept})
    assert response.headers.get("content-encoding") == encoding
    assert "accept-encoding" in response.headers.get("vary", "").lower()
    assert response.json() == plain.json() and len(plain.content) > 600
    if encoding is not None:
        assert int(response.headers["content-length"]) < len(plain.content) / 2


def test_small_answers_and_gets_go_as_they_are(gateway: RunningGateway) -> None:
    small = http.post(f"{gateway.url}/graphql", json={"query": SERVERS}, headers={"accept-encoding": "gzip"})
    assert "content-encoding" not in small.headers
    with http.stream("GET", f"{gateway.url}/graphql", params={"query": LARGE},
                     headers={"accept-encoding": "gzip"}) as large:
        raw = b"".join(large.iter_raw())
    assert large.headers["content-encoding"] == "gzip" and large.headers["cache-control"] == CACHE
    assert json.loads(gzip.decompress(raw))["data"]["search"]


# -- introspection turned off --------------------------------------------------


@pytest.mark.parametrize(
    ("query", "field"),
    [
        ("{ __schema { queryType { name } } }", "__schema"),
        ('{ servers { name } t: __type(name: "Query") { name } }', "__type"),
        ("query { ...F } fragment F on Query { __schema { types { name } } }", "__schema"),
        ("{ ... on Query { ... on Query { __type(name: \"Server\") { fields { name } } } } }", "__type"),
    ],
)
def test_no_introspection_refuses_schema_and_type_anywhere(gateway: RunningGateway, query: str, field: str) -> None:
    for response in (post(gateway, {"query": query}), http.get(f"{gateway.url}/graphql", params={"query": query})):
        document = response.json()
        assert "data" not in document, document
        (error,) = document["errors"]
        assert error["message"] == ("GraphQL introspection has been disabled, but the requested query contained the "
                                    f'field "{field}".')
        assert error["locations"][0]["line"] >= 1
    # The playground's check gives the run's verdict.
    checked = http.post(f"{gateway.url}/validate", json={"query": query}).json()["errors"]
    assert [e["message"] for e in checked] == [error["message"]]


def test_no_introspection_keeps_typename(gateway: RunningGateway) -> None:
    response = post(gateway, {"query": "{ __typename servers { __typename name } }"})
    assert response.json()["data"]["__typename"] == "Query"
    assert response.json()["data"]["servers"][0] == {"__typename": "Server", "name": "clock"}
