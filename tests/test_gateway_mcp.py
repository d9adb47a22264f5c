"""The gateway's MCP front with real clients (the SDK's ClientSession over
stdio and streamable HTTP, fastmcp's Client) and real tool servers
(mcp-server-time, mcp-server-git on a temporary repository)."""

from __future__ import annotations

import asyncio
import importlib.metadata
import json
import pathlib
import signal
import subprocess
import sys
from collections.abc import Iterator
from typing import Any

import pytest

pytest.importorskip("mcp")
pytest.importorskip("starlette")
pytest.importorskip("uvicorn")
pytest.importorskip("mcp_server_time")
pytest.importorskip("mcp_server_git")

import httpx2  # noqa: E402
from mcp import ClientSession, StdioServerParameters  # noqa: E402
from mcp.client.stdio import stdio_client  # noqa: E402
from mcp.client.streamable_http import streamable_http_client  # noqa: E402
from support.gateway import (  # noqa: E402
    STOP_TIMEOUT, RunningGateway, child_env, gateway_command, git_repo, http_gateway, servers_config,
)
from support.line_tool_server import SCRIPT as LINE_TOOL_SERVER  # noqa: E402
from support.time_server import time_server_over_http  # noqa: E402
from support.proc import alive, children_of  # noqa: E402

TIME_LIMIT = 90.0
TOKEN = "s3cret"
QUERY = """query($repo: String!) {
  now: time_get_current_time(timezone: "Europe/Paris") { timezone is_dst }
  log: git_git_log(repo_path: $repo, max_count: 1) { text isError }
  bad: time_get_current_time(timezone: "Not/AZone") { timezone }
}"""
TWO_OPERATIONS = """query Paris { t: time_get_current_time(timezone: "Europe/Paris") { timezone } }
query Tokyo { t: time_get_current_time(timezone: "Asia/Tokyo") { timezone } }"""


@pytest.fixture(scope="module")
def setup(tmp_path_factory: pytest.TempPathFactory) -> tuple[pathlib.Path, pathlib.Path]:
    folder = tmp_path_factory.mktemp("gateway")
    repo = git_repo(folder / "repo")
    return servers_config(folder, repo), repo


@pytest.fixture(scope="module")
def time_over_http(setup: tuple[pathlib.Path, pathlib.Path]) -> Iterator[pathlib.Path]:
    """The servers' config with the time server's own code served from this
    process: over HTTP it needs no process of its own importing the MCP SDK.
    The git server stays a stdio child."""
    config = json.loads(setup[0].read_text())
    with time_server_over_http() as time_url:
        config["servers"]["time"] = {"url": time_url}
        path = setup[0].with_name("servers-over-http.json")
        path.write_text(json.dumps(config))
        yield path


@pytest.fixture(scope="module")
def http_gateway_with_token(time_over_http: pathlib.Path) -> Iterator[RunningGateway]:
    """One gateway over HTTP for the clients that take a bearer token."""
    with http_gateway(["--servers", str(time_over_http)], {"QUORVEL_GATEWAY_TOKEN": TOKEN}) as gateway:
        yield gateway


def run(coroutine: Any) -> Any:
    return asyncio.run(asyncio.wait_for(coroutine, TIME_LIMIT))


async def exercise(session: ClientSession, repo: pathlib.Path) -> None:
    """What an agent does: list tools, discover, then one query over both servers."""
    listed = await session.list_tools()
    tools = {tool.name: tool for tool in listed.tools}
    assert set(tools) == {"graphql", "search_tools"}
    description = tools["graphql"].description or ""
    assert "alias" in description.lower() and "operationName" in tools["graphql"].input_schema["properties"]
    # The typed form, with the fields listed by their typed signatures.
    assert "- Query.time_get_current_time(timezone: String!): TimeGetCurrentTimeResult" in description
    assert 'time_get_current_time(timezone: "...") { timezone datetime }' in description

    found = await session.call_tool("search_tools", {"text": "LOG", "server": "git"})
    hits = found.structured_content["fields"]
    assert [hit["field"] for hit in hits] == ["git_git_log"]
    assert hits[0]["readOnly"] in (True, False) and "inputSchema" in hits[0]
    assert "git_git_log" in found.structured_content["sdl"] and "type Query" in found.structured_content["sdl"]

    result = await session.call_tool("graphql", {"query": QUERY, "variables": {"repo": str(repo)}})
    assert not result.is_error
    document = result.structured_content
    assert json.loads(result.content[0].text) == document
    data = document["data"]
    assert data["now"]["timezone"] == "Europe/Paris" and set(data["now"]) == {"timezone", "is_dst"}
    assert "first commit of the gateway test" in data["log"]["text"] and data["log"]["isError"] is False
    # One tool's failure is its field's null and one error with its path.
    assert data["bad"] is None and [error["path"] for error in document["errors"]] == [["bad"]]
    assert "Not/AZone" in document["errors"][0]["extensions"]["text"]

    for name, zone in (("Tokyo", "Asia/Tokyo"), ("Paris", "Europe/Paris")):
        picked = await session.call_tool("graphql", {"query": TWO_OPERATIONS, "operationName": name})
        assert picked.structured_content == {"data": {"t": {"timezone": zone}}}

    refused = await session.call_tool("graphql", {"query": "{ nope(", "variables": None})
    assert refused.is_error and "data" not in refused.structured_content
    assert refused.structured_content["errors"][0]["locations"] == [{"line": 1, "column": 8}]
    bad_arguments = await session.call_tool("graphql", {"query": "{ servers }", "variables": [1]})
    assert bad_arguments.is_error and "variables" in bad_arguments.content[0].text


def test_stdio_client_session(setup: tuple[pathlib.Path, pathlib.Path], time_over_http: pathlib.Path) -> None:
    _, repo = setup
    command = gateway_command("--servers", str(time_over_http))
    params = StdioServerParameters(command=command[0], args=command[1:], env=child_env())

    async def scenario() -> None:
        async with stdio_client(params) as (read, write), ClientSession(read, write) as session:
            await session.initialize()
            await exercise(session, repo)

    run(scenario())


def test_streamable_http_client_session_with_token(setup: tuple[pathlib.Path, pathlib.Path],
                                                   http_gateway_with_token: RunningGateway) -> None:
    _, repo = setup
    url = f"{http_gateway_with_token.url}/mcp"

    async def scenario() -> None:
        async with httpx2.AsyncClient(timeout=30) as http:
            refused = await http.post(url, json={})
            assert refused.status_code == 401
        headers = {"Authorization": f"Bearer {TOKEN}"}
        async with httpx2.AsyncClient(headers=headers, timeout=30) as http, \
                streamable_http_client(url, http_client=http) as (read, write), \
                ClientSession(read, write) as session:
            await session.initialize()
            await exercise(session, repo)

    run(scenario())
    assert TOKEN not in http_gateway_with_token.stderr_so_far()


def test_fastmcp_client(setup: tuple[pathlib.Path, pathlib.Path], http_gateway_with_token: RunningGateway) -> None:
    fastmcp = pytest.importorskip("fastmcp")
    _, repo = setup

    async def scenario() -> None:
        async with fastmcp.Client(f"{http_gateway_with_token.url}/mcp", auth=TOKEN) as client:
            names = {tool.name for tool in await client.list_tools()}
            assert names == {"graphql", "search_tools"}
            found = await client.call_tool("search_tools", {"text": "current time"})
            assert [hit["field"] for hit in found.structured_content["fields"]] == ["time_get_current_time"]
            result = await client.call_tool("graphql", {"query": QUERY, "variables": {"repo": str(repo)}})
            assert result.structured_content["data"]["now"]["timezone"] == "Europe/Paris"

    run(scenario())


@pytest.mark.parametrize(("signal_number", "first"), [
    (signal.SIGTERM, [sys.executable, "-m", "mcp_server_time", "--local-timezone", "UTC"]),
    (signal.SIGINT, [sys.executable, str(LINE_TOOL_SERVER), "first"]),
], ids=["SIGTERM", "SIGINT"])
def test_stdio_gateway_stops_on_signal_and_closes_tool_servers(tmp_path: pathlib.Path, signal_number: int,
                                                               first: list[str]) -> None:
    # Servers answered by hand cost no import of the MCP SDK; one run has a
    # real server among the children the signal must end.
    config = tmp_path / "servers.json"
    config.write_text(json.dumps({"servers": {
        "first": {"command": first[0], "args": first[1:]},
        "lines": {"command": sys.executable, "args": [str(LINE_TOOL_SERVER)]}}}))
    # The context closes the pipes; the gateway has ended by then, or been killed.
    with subprocess.Popen(gateway_command("--servers", str(config), "-v"), env=child_env(), stdin=subprocess.PIPE,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True) as process:
        try:
            assert process.stderr is not None
            for _ in range(50):  # the start-up line comes after every server answered its handshake
                line = process.stderr.readline()
                if "serving" in line or not line:
                    break
            servers = children_of(process.pid)
            assert len(servers) == 2, line
            process.send_signal(signal_number)
            assert process.wait(STOP_TIMEOUT) == 0
            assert not [pid for pid in servers if alive(pid)]
        finally:
            if process.poll() is None:
                process.kill()
                process.wait(5)


@pytest.mark.parametrize(
    ("args", "message", "status"),
    [
        (["--servers", "/nonexistent/servers.json"], "cannot read server config", 2),
        (["--catalogue", "/nonexistent.json", "--http", "0.0.0.0:0"], "without a bearer token", 2),
        (["--catalogue", "/nonexistent.json", "--token", "x"], "--token applies to --http only", 2),
        (["--catalogue", "/nonexistent.json", "--http", "nope"], "--http needs", 2),
        (["--servers", "cfg", "--time-limit", "inf"], "positive, finite", 2),
        (["--servers", "cfg", "--max-body", "0"], "positive size", 2),
    ],
)
def test_bad_options_give_one_line_and_status(args: list[str], message: str, status: int) -> None:
    done = subprocess.run(gateway_command(*args), env=child_env(), capture_output=True, text=True,
                          timeout=60, stdin=subprocess.DEVNULL)
    assert done.returncode == status
    assert message in done.stderr and "Traceback" not in done.stderr


def test_server_that_fails_to_start_exits_3(tmp_path: pathlib.Path) -> None:
    config = tmp_path / "servers.json"
    config.write_text(json.dumps({"servers": {"ghost": {"command": "no-such-mcp-server-here"}}}))
    done = subprocess.run(gateway_command("--servers", str(config)), env=child_env(), capture_output=True,
                          text=True, timeout=60, stdin=subprocess.DEVNULL)
    assert done.returncode == 3 and "ghost" in done.stderr and "Traceback" not in done.stderr


INITIALIZE = json.dumps({"jsonrpc": "2.0", "id": 1, "method": "initialize", "params": {
    "protocolVersion": "2025-06-18", "capabilities": {}, "clientInfo": {"name": "test", "version": "1"}}}) + "\n"


@pytest.mark.parametrize("stdin_kind", ["file", "devnull", "pipe"])
def test_stdio_ends_cleanly_at_end_of_input(tmp_path: pathlib.Path, stdin_kind: str) -> None:
    from conftest import EXAMPLE_CATALOGUE

    source = tmp_path / "input.jsonl"
    source.write_text(INITIALIZE)
    command = gateway_command("--catalogue", str(EXAMPLE_CATALOGUE))
    if stdin_kind == "pipe":
        done = subprocess.run(command, env=child_env(), input=INITIALIZE, capture_output=True, text=True, timeout=60)
    else:
        with open(source if stdin_kind == "file" else "/dev/null") as stdin:
            done = subprocess.run(command, env=child_env(), stdin=stdin, capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    assert "Traceback" not in done.stderr
    if stdin_kind != "devnull":
        info = json.loads(done.stdout.splitlines()[0])["result"]["serverInfo"]
        assert info["name"] == "quorvel-graphql" and info["version"] == importlib.metadata.version("quorvel-graphql")


def test_read_only_gateway_refuses_tools_that_change_things(tmp_path: pathlib.Path) -> None:
    repo = git_repo(tmp_path / "repo")
    # Only the server with a tool that changes things: the time server would
    # be one more process importing the MCP SDK, for nothing this test asks.
    config = tmp_path / "git.json"
    config.write_text(json.dumps({"servers": {"git": json.loads(servers_config(tmp_path, repo).read_text())
                                              ["servers"]["git"]}}))
    # Through the package's own command line, which hands "serve" to the gateway.
    command = [sys.executable, "-m", "quorvel_graphql", "serve", "--servers", str(config), "--read-only"]
    params = StdioServerParameters(command=command[0], args=command[1:], env=child_env())
    query = 'mutation($r: String!) { made: git_git_create_branch(repo_path: $r, branch_name: "nope") { text } }'

    async def scenario() -> dict[str, Any]:
        async with stdio_client(params) as (read, write), ClientSession(read, write) as session:
            await session.initialize()
            graphql = next(t for t in (await session.list_tools()).tools if t.name == "graphql")
            assert graphql.annotations.read_only_hint is True
            result = await session.call_tool("graphql", {"query": query, "variables": {"r": str(repo)}})
            return result.structured_content

    document = run(scenario())
    assert document["data"] == {"made": None}
    assert document["errors"][0]["extensions"]["text"].startswith("ReadOnlyError: refused git.git_create_branch")
    branches = subprocess.run(["git", "-C", str(repo), "branch", "--list", "nope"], capture_output=True, text=True)
    assert branches.stdout.strip() == ""
