"""GraphQL over HTTP: the gql client against real tool servers, and raw
requests for every refusal (status, media type, clear message)."""

from __future__ import annotations

import json
import pathlib
import time
from collections.abc import Iterator

import pytest

pytest.importorskip("starlette")
pytest.importorskip("uvicorn")
httpx = pytest.importorskip("httpx")

from conftest import EXAMPLE_CATALOGUE  # noqa: E402
from support.gateway import START_TIMEOUT, RunningGateway, git_repo, http_gateway, servers_config  # noqa: E402
from support.http_client import client as http  # noqa: E402

TOKEN = "t0ken-for-tests"


@pytest.fixture(scope="module")
def token_gateway() -> Iterator[RunningGateway]:
    """The gateway the raw requests go to; one for both the token checks and
    the rest, which carry the token: each gateway is a process importing the
    MCP SDK."""
    with http_gateway(["--catalogue", str(EXAMPLE_CATALOGUE), "--max-body", "4K", "-vv"],
                      {"QUORVEL_GATEWAY_TOKEN": TOKEN}) as gateway:
        yield gateway


@pytest.fixture(scope="module")
def open_gateway(token_gateway: RunningGateway) -> RunningGateway:
    return token_gateway


AUTHORIZED = {"authorization": f"Bearer {TOKEN}"}


def post(url: str, body: bytes | str, **headers: str) -> httpx.Response:
    headers.setdefault("content-type", "application/json")
    return http.post(f"{url}/graphql", content=body, headers={**AUTHORIZED, **headers}, timeout=30)


def test_gql_client_over_real_tool_servers(tmp_path: pathlib.Path) -> None:
    """gql fetches the schema by introspection and validates the query
    against it before sending: fragments, a variable default, @include and
    nested selections, answered by mcp-server-time and mcp-server-git."""
    pytest.importorskip("mcp_server_time")
    pytest.importorskip("mcp_server_git")
    gql = pytest.importorskip("gql")
    from gql.transport.httpx import HTTPXTransport
    from graphql import GraphQLError

    from support.time_server import time_server_over_http

    repo = git_repo(tmp_path / "repo")
    config = json.loads(servers_config(tmp_path, repo).read_text())
    # The time server's own code, from this process: over HTTP it needs no
    # process of its own importing the MCP SDK.
    with time_server_over_http() as time_url:
        config["servers"]["time"] = {"url": time_url}
        (tmp_path / "servers.json").write_text(json.dumps(config))
        # The gateway waits for its servers however slow a loaded machine
        # makes their start, rather than serving without the git server.
        with http_gateway(["--servers", str(tmp_path / "servers.json"), "--startup-timeout", str(START_TIMEOUT)]) \
                as gateway:
            transport = HTTPXTransport(url=f"{gateway.url}/graphql", timeout=START_TIMEOUT)
            with gql.Client(transport=transport, fetch_schema_from_transport=True) as session:
                query = gql.gql("""query Look($repo: String!, $zone: String = "Asia/Tokyo", $withLog: Boolean = false) {
                    servers { ...Named }
                    now: time_get_current_time(timezone: $zone) { timezone ...When }
                    status: git_git_status(repo_path: $repo) { text isError }
                    log: git_git_log(repo_path: $repo, max_count: 1) @include(if: $withLog) { text }
                }
                fragment Named on Server { name toolCount }
                fragment When on TimeGetCurrentTimeResult { datetime is_dst }""")
                query.variable_values = {"repo": str(repo)}
                data = session.execute(query)
                assert session.client.schema is not None and session.client.schema.get_type("ToolResult") is not None
                with pytest.raises(GraphQLError, match="nope"):  # refused by gql, from the schema
                    session.execute(gql.gql("{ nope }"))
    assert {server["name"] for server in data["servers"]} == {"time", "git"}
    assert all(server["toolCount"] > 0 for server in data["servers"])
    assert data["now"]["timezone"] == "Asia/Tokyo" and set(data["now"]) == {"timezone", "datetime", "is_dst"}
    assert data["status"]["isError"] is False and "branch" in data["status"]["text"].lower()
    assert "log" not in data


@pytest.mark.parametrize(
    ("body", "headers", "status", "message"),
    [
        (b"{not json", {}, 400, "not JSON"),
        (b"\xff\xfe", {}, 400, "not JSON"),
        (b"7", {}, 400, "JSON object"),
        (b'{"variables": {}}', {}, 400, '"query"'),
        (b'{"query": 7}', {}, 400, '"query"'),
        (b'{"query": "{ servers }", "variables": [1]}', {}, 400, '"variables"'),
        (b'{"query": "{ servers }", "operationName": 3}', {}, 400, "operationName"),
        (b'{"query": "{ servers }"}', {"content-type": "text/plain"}, 415, "application/json"),
        (b'{"query": "{ servers }"}', {"accept": "text/html"}, 406, "application/json"),
        (b"[" * 100_000 + b"]" * 100_000, {}, 413, "limit of 4096 bytes"),
        (b'{"query": "{ servers }"}', {"host": "evil.example"}, 421, "loopback"),
        (b'{"query": "{ servers }"}', {"origin": "http://evil.example"}, 403, "other origins"),
    ],
)
def test_refusals(open_gateway: RunningGateway, body: bytes, headers: dict[str, str], status: int,
                  message: str) -> None:
    response = post(open_gateway.url, body, **headers)
    assert response.status_code == status
    assert response.headers["content-type"].startswith("application/json")
    assert message in response.json()["errors"][0]["message"]
    code = {413: "QUERY_TOO_LARGE", 421: "FORBIDDEN", 403: "FORBIDDEN"}.get(status, "BAD_REQUEST")
    assert response.json()["errors"][0]["extensions"] == {"code": code}


def test_oversize_body_without_length_is_refused(open_gateway: RunningGateway) -> None:
    def chunks() -> Iterator[bytes]:
        for _ in range(10):
            yield b" " * 1000

    response = http.post(f"{open_gateway.url}/graphql", content=chunks(),
                          headers={"content-type": "application/json", **AUTHORIZED}, timeout=30)
    assert response.status_code == 413


@pytest.mark.parametrize("method", ["PUT", "DELETE", "PATCH"])
def test_other_methods_are_405(open_gateway: RunningGateway, method: str) -> None:
    response = http.request(method, f"{open_gateway.url}/graphql", headers=AUTHORIZED, timeout=30)
    assert response.status_code == 405 and "POST" in response.headers["allow"]


@pytest.mark.parametrize(
    ("accept", "query", "status", "media"),
    [
        (None, "{ servers { name } }", 200, "application/json"),
        ("application/graphql-response+json", "{ servers { name } }", 200, "application/graphql-response+json"),
        ("application/graphql-response+json, application/json;q=0.9", "{ nope(", 400,
         "application/graphql-response+json"),
        ("application/json", "{ nope(", 200, "application/json"),
        ("*/*", "{ __typename }", 200, "application/json"),
    ],
)
def test_media_types_and_status(open_gateway: RunningGateway, accept: str | None, query: str, status: int,
                                media: str) -> None:
    headers = {"accept": accept} if accept else {}
    response = post(open_gateway.url, json.dumps({"query": query}), **headers)
    assert response.status_code == status
    assert response.headers["content-type"].split(";")[0] == media
    document = response.json()
    # A request that could not run has errors and no data at all.
    assert ("data" in document) != (status == 400 or "nope" in query)


@pytest.mark.parametrize(
    ("body", "message"),
    [
        (b'{"query": "{ servers(a: \\"\\ud800\\") }"}', "lone surrogate"),
        (b'{"query": "{ servers { name } }", "variables": {"a": "\\udc00"}}', "Variables are invalid JSON"),
    ],
)
def test_lone_surrogates_are_refused_not_crashed(open_gateway: RunningGateway, body: bytes, message: str) -> None:
    response = post(open_gateway.url, body)
    assert response.status_code == 200 and message in response.json()["errors"][0]["message"]


def test_placeholder_fields_and_variables(open_gateway: RunningGateway) -> None:
    body = {"query": "query($n: [Float!]!) { s: math_sum(numbers: $n) { text } __typename }", "variables": {"n": [1, 2]}}
    document = post(open_gateway.url, json.dumps(body)).json()
    assert document["data"] == {"s": None, "__typename": "Query"}
    assert document["errors"][0]["path"] == ["s"] and "not wired" in document["errors"][0]["extensions"]["text"]


def test_one_log_line_per_request(open_gateway: RunningGateway) -> None:
    post(open_gateway.url, json.dumps({"query": "{ marker: servers { name } }"}))
    logged = open_gateway.wait_for_line("keys=marker")
    assert "POST /graphql keys=marker" in logged and " ms ok" in logged


@pytest.mark.parametrize(
    ("method", "path", "authorization", "status"),
    [
        ("POST", "/graphql", None, 401),
        ("POST", "/graphql", f"Bearer {TOKEN}x", 401),
        ("POST", "/graphql", f"bearer {TOKEN}", 200),  # RFC 9110: the scheme in any case
        ("POST", "/graphql", f"Bearer {TOKEN}", 200),
        ("GET", "/discovery", None, 401),
        ("GET", "/discovery", f"Bearer {TOKEN}", 200),
        ("POST", "/mcp", None, 401),
        ("GET", "/", None, 200),  # the page itself is static; its requests carry the token
        ("GET", "/graphql", None, 200),
    ],
)
def test_bearer_token(token_gateway: RunningGateway, method: str, path: str, authorization: str | None,
                      status: int) -> None:
    headers = {"content-type": "application/json"}
    if authorization:
        headers["authorization"] = authorization
    response = http.request(method, f"{token_gateway.url}{path}", headers=headers, timeout=30,
                             content=b'{"query": "{ servers }"}' if method == "POST" else None)
    assert response.status_code == status
    if status == 401:
        assert response.headers["www-authenticate"] == "Bearer"
    assert TOKEN not in token_gateway.stderr_so_far()


def test_discovery_endpoint(open_gateway: RunningGateway) -> None:
    found = http.get(f"{open_gateway.url}/discovery", params={"text": "sum", "server": "math"}, headers=AUTHORIZED,
                      timeout=30).json()
    assert [hit["field"] for hit in found["fields"]] == ["math_sum"]
    assert "math_sum" in found["sdl"] and "files_read_file" not in found["sdl"]
    page = http.get(f"{open_gateway.url}/", timeout=30)
    assert "default-src 'none'" in page.headers["content-security-policy"]
    assert "<script src" not in page.text and "<link" not in page.text


SLOW_SERVER = """
import pathlib, sys, time
from mcp.server.mcpserver import MCPServer
app = MCPServer("slow")

@app.tool()
def nap(seconds: float) -> str:
    pathlib.Path(sys.argv[1]).touch()
    time.sleep(seconds)
    return "rested"

app.run()
"""


def test_sigterm_answers_queries_in_flight_and_closes_servers(tmp_path: pathlib.Path) -> None:
    import concurrent.futures
    import sys

    from support.gateway import stop

    script = tmp_path / "slow_server.py"
    script.write_text(SLOW_SERVER)
    config = tmp_path / "servers.json"
    started = tmp_path / "nap-started"
    server = {"command": sys.executable, "args": [str(script), str(started)]}
    config.write_text(json.dumps({"servers": {"slow": server}}))
    with http_gateway(["--servers", str(config), "-v"]) as gateway, \
            concurrent.futures.ThreadPoolExecutor(1) as pool:
        pending = pool.submit(post, gateway.url, json.dumps(
            {"query": "mutation { slow_nap(seconds: 60) { result } }"}))
        deadline = time.monotonic() + 60
        while not started.exists():  # the call has reached the tool server
            assert time.monotonic() < deadline and gateway.process.poll() is None, "the tool call never started"
            time.sleep(0.02)
        assert stop(gateway.process) == 0
        answered = pending.result(30)
    assert answered.status_code == 200
    document = answered.json()
    # The tool is not read-only, so a mutation field; stopping answers it as a failed call.
    assert document["data"] == {"slow_nap": None} and document["errors"][0]["path"] == ["slow_nap"]


def test_serve_raw_speaks_the_engine_language() -> None:
    with http_gateway(["--catalogue", str(EXAMPLE_CATALOGUE), "--raw"]) as gateway:
        whole = post(gateway.url, json.dumps({"query": "{ c: clock_now servers }"})).json()
        typed = post(gateway.url, json.dumps({"query": "{ __schema { queryType { name } } }"})).json()
        refused = http.get(f"{gateway.url}/graphql", params={"query": 'mutation { notes_add_note(text: "x") }'},
                            timeout=30)
    # Whole results, the placeholder inside its field, and no introspection.
    assert whole["errors"] == [] and whole["data"]["c"]["isError"] is True and whole["data"]["servers"][0]["name"]
    assert typed["data"] is None and typed["errors"]
    assert refused.status_code == 405
