"""The MCP adapter against real servers (time and git over stdio, SDK servers over HTTP, a PyPI proxy),
plus config, start-up, crash, restart and shutdown faults."""

from __future__ import annotations

import json
import logging
import os
import pathlib
import socket
import subprocess
import sys
import time

import pytest

pytest.importorskip("mcp")
pytest.importorskip("mcp_server_time")
pytest.importorskip("mcp_server_git")

from conftest import execute_in_thread, git_repo  # noqa: E402
from support.proc import command_line, descendants_of  # noqa: E402
from support.line_tool_server import SCRIPT as LINE_TOOL_SERVER  # noqa: E402
from support.in_process import serving_in_thread  # noqa: E402
from quorvel_graphql import QuorvelError, ToolHost  # noqa: E402
from quorvel_graphql.mcp_adapter import (  # noqa: E402
    ConfigError, McpServers, ServerConfig, ServerStartError, load_config, parse_config, serve_config,
)

TIME = ServerConfig("time", sys.executable, ("-m", "mcp_server_time", "--local-timezone", "UTC"))
FRAGILE_SERVER = """
import os, time
import anyio
try:
    from mcp.server.mcpserver import MCPServer as Server
except ImportError:
    from mcp.server.fastmcp import FastMCP as Server
import sys
from mcp.types import ToolAnnotations
app = Server("fragile")
print("fragile server says hello on stderr", file=sys.stderr, flush=True)

@app.tool(annotations=ToolAnnotations(readOnlyHint=True))
def echo(text: str) -> str:
    return text

@app.tool(name="dup-name")
def dup_dash() -> str:
    return "dash"

@app.tool(name="dup_name")
def dup_underscore() -> str:
    return "underscore"

@app.tool()
async def nap(seconds: float) -> str:
    # Asleep on the loop rather than in a thread, so that the server still
    # reads its input and ends as soon as the client leaves.
    await anyio.sleep(seconds)
    return "rested"

@app.tool()
def crash(delay: float = 0.2) -> str:
    time.sleep(delay)
    os._exit(7)

app.run()
"""


def free_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


@pytest.fixture
def repo(tmp_path: pathlib.Path) -> pathlib.Path:
    return git_repo(tmp_path / "repo", "first commit of the adapter test")


def git_server(repo: pathlib.Path) -> ServerConfig:
    return ServerConfig("git", sys.executable, ("-m", "mcp_server_git", "--repository", str(repo)))


def processes_mentioning(marker: str) -> list[str]:
    """Command lines of this test process's own descendants that mention ``marker``."""
    return [line for line in map(command_line, descendants_of(os.getpid())) if marker in line]


def run(host, query: str, variables: dict | None = None) -> dict:
    return json.loads(execute_in_thread(host.engine, query, json.dumps(variables) if variables else None, 60))


def test_one_query_calls_both_servers_and_shutdown_ends_them(repo):
    configs = {"time": TIME, "git": git_server(repo)}
    with McpServers(configs) as servers, ToolHost(servers.engine()) as host:
        servers.serve(host)
        listed = servers.tools()
        catalogue_tools = host.catalogue_tools()
        query = """query($repo: String!) { servers { name toolCount readOnlyCount }
            now: time_get_current_time(timezone: "UTC")
            log: git_git_log(repo_path: $repo, max_count: 1)
            bad: time_get_current_time(timezone: "Nowhere/Nothing") }"""
        document = run(host, query, {"repo": str(repo)})
        assert processes_mentioning(str(repo))
    summaries = {s["name"]: s for s in document["data"]["servers"]}
    for name in configs:
        tools = [t for t in listed if t["server"] == name]
        read_only = [t for t in tools if t["readOnly"]]  # no hint means not read-only, as MCP says
        assert (summaries[name]["toolCount"], summaries[name]["readOnlyCount"]) == (len(tools), len(read_only))
    assert catalogue_tools == listed
    log_tool = next(t for t in listed if t["field"] == "git_git_log")
    assert log_tool["tool"] == "git_log" and "repo_path" in log_tool["inputSchema"]["properties"]
    now, log, bad = (document["data"][key] for key in ("now", "log", "bad"))
    assert now["isError"] is False and json.loads(now["content"][0]["text"])["timezone"] == "UTC"
    assert log["isError"] is False and "first commit of the adapter test" in log["content"][0]["text"]
    assert bad["isError"] is True and "Nowhere/Nothing" in bad["content"][0]["text"]
    assert processes_mentioning(str(repo)) == []


def test_a_server_dying_mid_call_fails_only_its_fields_and_restarts_on_the_next_call(tmp_path, caplog):
    script = tmp_path / "fragile_server.py"
    script.write_text(FRAGILE_SERVER)
    # The other server only has to stay up while its neighbour dies: the
    # hand-written one does that without a second SDK import.
    bystander = ServerConfig("bystander", sys.executable, (str(LINE_TOOL_SERVER), str(script)))
    configs = {"fragile": ServerConfig("fragile", sys.executable, (str(script),)), "bystander": bystander}
    caplog.set_level(logging.INFO, logger="quorvel_graphql")
    with serve_config(configs) as host:
        echoed = run(host, '{ e: fragile_echo(text: "still here") }')["data"]["e"]
        first = run(host, '{ c: fragile_crash t: bystander_ping }')["data"]
        second = run(host, '{ e: fragile_echo(text: "back") c: fragile_crash }')["data"]
        third = run(host, '{ e: fragile_echo(text: "paused") }')["data"]  # died twice quickly: back-off
    assert echoed == {"content": [{"type": "text", "text": "still here"}],
                      "structuredContent": {"result": "still here"}, "isError": False}
    assert first["c"]["isError"] is True and "MCP server 'fragile'" in first["c"]["text"]
    assert first["t"]["isError"] is False and first["t"]["content"][0]["text"] == "pong"
    assert second["e"]["structuredContent"] == {"result": "back"} and second["c"]["isError"] is True
    assert third["e"]["isError"] is True and "MCP server 'fragile' is down" in third["e"]["text"]
    assert "next restart attempt in" in third["e"]["text"]
    messages = [(r.name, r.getMessage()) for r in caplog.records]
    assert ("quorvel_graphql.server.fragile", "fragile server says hello on stderr") in messages
    assert any("dup-name" in m and "dup_name" in m for _, m in messages)  # both tools named in the warning
    assert processes_mentioning(str(script)) == []


def test_per_server_time_limit_and_concurrency(tmp_path):
    script = tmp_path / "fragile_server.py"
    script.write_text(FRAGILE_SERVER)
    config = ServerConfig("fragile", sys.executable, (str(script),), time_limit=0.5, max_concurrency=1)
    with serve_config({"fragile": config}) as host:
        data = run(host, '{ slow: fragile_nap(seconds: 30) quick: fragile_echo(text: "after") }')["data"]
    assert data["slow"]["text"] == "McpCallError: MCP server 'fragile' did not answer nap within 0.5 s"
    # The limit runs from when the call is received, so the wait for the slot
    # uses it up, unless the slot comes free in the very last moment.
    quick = data["quick"]
    assert quick.get("structuredContent") == {"result": "after"} or quick["text"].startswith(
        "McpCallError: MCP server 'fragile' did not answer echo within 0.5 s")


def test_waiting_for_a_slot_counts_against_the_time_limit_of_every_call(tmp_path):
    script = tmp_path / "fragile_server.py"
    script.write_text(FRAGILE_SERVER)
    config = ServerConfig("fragile", sys.executable, (str(script),), time_limit=1.0, max_concurrency=2)
    naps = " ".join(f"n{i}: fragile_nap(seconds: 30)" for i in range(6))
    with serve_config({"fragile": config}) as host:
        data = run(host, "{ " + naps + " }")["data"]
    texts = sorted(value["text"] for value in data.values())
    assert all(text.startswith("McpCallError: MCP server 'fragile' did not answer nap within 1 s") for text in texts)
    # Two waiting calls at most can take the two slots given back in the last
    # moment; the others never held one.
    assert 2 <= sum("waited the whole time" in text for text in texts) <= 4


@pytest.fixture(scope="module")
def limited_host(tmp_path_factory):
    """One server with a 4 KiB result limit for the cases that must leave it in use."""
    script = tmp_path_factory.mktemp("limited") / "fragile_server.py"
    script.write_text(FRAGILE_SERVER)
    config = ServerConfig("fragile", sys.executable, (str(script),), max_result_bytes=4096)
    with serve_config({"fragile": config}) as host:
        yield host


@pytest.mark.parametrize(("size", "refusal"), [
    (100, None),
    (5000, "larger than its limit of 4096 bytes"),
    # Too long to be read at all: skipped as it arrives, and the call answered at once.
    (3 << 20, "answer is longer than the limit of"),
])
def test_a_result_larger_than_the_server_limit_is_refused(limited_host, size, refusal):
    host = limited_host
    value = run(host, 'query($t: String!) { e: fragile_echo(text: $t) }', {"t": "y" * size})["data"]["e"]
    after = run(host, '{ after: fragile_echo(text: "fine") }')["data"]["after"]
    if refusal is None:
        assert value["content"][0]["text"] == "y" * size
    else:
        assert value["isError"] is True and refusal in value["text"]
    assert after["structuredContent"] == {"result": "fine"}  # the server is still in use


@pytest.mark.parametrize(
    "config, reason",
    [
        (ServerConfig("ghost", "no-such-mcp-command-1234"), "command not found: no-such-mcp-command-1234"),
        (ServerConfig("quitter", sys.executable, ("-c", "import sys; sys.exit(3)")), "Connection closed"),
        (ServerConfig("nowhere", sys.executable, cwd="/no/such/dir"), "working directory not found: /no/such/dir"),
        (ServerConfig("mute", sys.executable, ("-c", "import time; time.sleep(120)")), "no MCP handshake within 1 s"),
        (ServerConfig("refused", url=f"http://127.0.0.1:{free_port()}/mcp"), "cannot connect to http://127.0.0.1:"),
    ],
    ids=["missing-command", "exits-at-once", "missing-cwd", "never-answers", "refused-url"],
)
def test_startup_failure_names_the_server_and_stops_the_others(tmp_path, config, reason):
    # The server that never answers comes alone: beside another one, its time
    # limit would have to cover that server's start on a loaded machine, while
    # the others are stopped after a time-out just as after any failure.
    # The other one is a hand-written stdio server: what is checked is that it
    # is stopped, and it starts without the cost of an SDK import.
    marker = str(tmp_path / "bystander")
    bystander = ServerConfig("bystander", sys.executable, (str(LINE_TOOL_SERVER), marker))
    servers = {config.name: config} if config.name == "mute" else {"bystander": bystander, config.name: config}
    with pytest.raises(ServerStartError) as caught:
        McpServers(servers, startup_timeout=1 if config.name == "mute" else 30).start()
    assert list(caught.value.failures) == [config.name]
    assert str(caught.value).startswith(f"MCP server '{config.name}' failed to start: ")
    assert reason in str(caught.value)
    assert processes_mentioning(marker) == [] and processes_mentioning("time.sleep(120)") == []


def test_the_bystander_server_is_a_server_that_stays_up(tmp_path):
    # Without this, the test above could pass with a bystander that never
    # started at all.
    marker = str(tmp_path / "bystander")
    bystander = ServerConfig("bystander", sys.executable, (str(LINE_TOOL_SERVER), marker))
    with serve_config({"bystander": bystander}) as host:
        assert len(processes_mentioning(marker)) == 1
        pong = run(host, "{ p: bystander_ping }")["data"]["p"]
    assert pong["content"][0]["text"] == "pong" and processes_mentioning(marker) == []


@pytest.mark.parametrize(
    "content, problem",
    [
        ('{"mcpServers": {"t": {"command": "x", "args": ["-v"]}}}', None),
        ('{"servers": {"t": {"command": "x"}', "is not valid JSON"),
        ('{"servers": {"t": {"args": []}}}', "server 't' needs either a non-empty string \"command\" or a \"url\""),
        ('{"servers": {"t": {"command": "x", "comand": "y"}}}', "server 't': unknown key 'comand'"),
        ('{"servers": {}, "readonly": true}', "unknown key 'readonly'"),
        ('{"servers": {"t": {"command": "x", "time_limit": 1e999}}}', "\"time_limit\" must be a positive, finite"),
        ('{"servers": {"t": {"command": "x", "time_limit": 0}}}', "\"time_limit\" must be a positive, finite"),
        ('{"servers": {"t": {"command": "x", "max_concurrency": 0}}}', "\"max_concurrency\" must be a whole"),
        ('{"servers": {"t": {"command": "x", "max_result_bytes": true}}}', "\"max_result_bytes\" must be a whole"),
        ('{"servers": {"t": {"command": "x", "url": "http://h/"}}}', "either a non-empty string \"command\""),
        ('{"servers": {"t": {"url": "ftp://h/"}}}', "\"url\" must be an http:// or https:// URL"),
        ('{"servers": {"t": {"url": "http://h/", "transport": "stdio"}}}', "does not fit a server given by url"),
        ('{"servers": {"t": {"url": "http://h/", "headers": {"A": "${QV_UNSET_VARIABLE}"}}}}',
         "header 'A' names the environment variable QV_UNSET_VARIABLE, which is not set"),
        ('{"servers": {"t": {"command": "x", "tools": {"include": "get_*"}}}}', "must be a list of glob patterns"),
        (b'{"servers": {"t": {"command": "\xff"}}}', "is not UTF-8 text"),
    ],
    ids=["ok", "json", "no-command", "unknown-key", "unknown-top-key", "limit-inf", "limit-zero", "concurrency",
         "result-size", "command-and-url", "url-scheme", "transport", "unset-variable", "filters", "utf-8"],
)
def test_config_files(tmp_path, content, problem):
    path = tmp_path / "servers.json"
    path.write_bytes(content if isinstance(content, bytes) else content.encode())
    if problem is None:
        assert load_config(path) == {"t": ServerConfig("t", "x", ("-v",))}
    else:
        with pytest.raises(ConfigError, match=problem.replace("$", r"\$").replace("{", r"\{")) as caught:
            load_config(path)
        assert isinstance(caught.value, QuorvelError) and isinstance(caught.value, ValueError)


def test_config_resolves_cwd_and_secrets_stay_out_of_its_text(tmp_path, monkeypatch):
    monkeypatch.setenv("QV_TEST_TOKEN", "s3cret-token")
    configs = parse_config({"read_only": True, "servers": {
        "local": {"command": "x", "cwd": "tools/here", "tools": {"include": ["get_*"], "exclude": ["*_raw"]}},
        "remote": {"url": "http://127.0.0.1:9/mcp", "headers": {"Authorization": "Bearer ${QV_TEST_TOKEN}"},
                   "read_only": False, "type": "sse"}}}, base_dir=str(tmp_path))
    local, remote = configs["local"], configs["remote"]
    assert local.cwd == str(tmp_path / "tools" / "here") and local.read_only and not remote.read_only
    assert [local.keeps(t) for t in ("get_a", "get_raw", "set_a")] == [True, False, False]
    assert remote.transport == "sse" and remote.headers == {"Authorization": "Bearer s3cret-token"}
    assert "s3cret" not in repr(configs)


def guarded_tool_app(transport: str, token: str):
    """An SDK server (greet read-only, forget not) behind a bearer-token check, as an ASGI app."""
    from mcp.server.mcpserver import MCPServer
    from mcp.types import ToolAnnotations

    app = MCPServer("remote")

    @app.tool(annotations=ToolAnnotations(readOnlyHint=True))
    def greet(name: str) -> str:
        return f"hello {name}"

    @app.tool()
    def forget(key: str) -> str:
        return f"forgot {key}"

    inner = app.sse_app() if transport == "sse" else app.streamable_http_app()

    async def guarded(scope, receive, send):
        headers = dict(scope.get("headers") or [])
        if scope["type"] == "http" and headers.get(b"authorization") != f"Bearer {token}".encode():
            await send({"type": "http.response.start", "status": 401, "headers": []})
            await send({"type": "http.response.body", "body": b"no"})
            return
        await inner(scope, receive, send)

    return guarded


PROXY = """
import sys
from fastmcp.server import create_proxy
port = int(sys.argv[1])
proxy = create_proxy({"mcpServers": {"time": {"command": sys.executable,
                                              "args": ["-m", "mcp_server_time", "--local-timezone", "UTC"]}}})
proxy.run(transport="http", host="127.0.0.1", port=port, show_banner=False)
"""


def listening(*command: str, port: int, log: pathlib.Path) -> subprocess.Popen:
    """Starts a server process and waits (bounded) until it accepts on 127.0.0.1:port."""
    with log.open("w") as output:  # the child has its own copy
        process = subprocess.Popen([sys.executable, *command], stdout=output, stderr=subprocess.STDOUT)
    deadline = time.monotonic() + 30
    while time.monotonic() < deadline and process.poll() is None:
        with socket.socket() as probe:
            if probe.connect_ex(("127.0.0.1", port)) == 0:
                return process
        time.sleep(0.1)
    process.kill()
    pytest.fail(f"server {command} did not listen on port {port}: {log.read_text()[-2000:]}")


@pytest.fixture(params=["streamable-http", "sse"])
def http_server(request):
    # In this process: the test is about our client's side of the transport.
    with serving_in_thread(guarded_tool_app(request.param, "t0ken")) as base:
        yield request.param, base + ("/sse" if request.param == "sse" else "/mcp")


def test_remote_server_with_a_bearer_token_and_a_read_only_policy(http_server, monkeypatch):
    transport, url = http_server
    monkeypatch.setenv("QV_TEST_TOKEN", "t0ken")
    entry = {"url": url, "transport": transport, "headers": {"Authorization": "Bearer ${QV_TEST_TOKEN}"}}
    with serve_config(parse_config({"servers": {"remote": entry}}), read_only=True) as host:
        document = run(host, '{ g: remote_greet(name: "you") f: remote_forget(key: "k") }')
        listed = host.catalogue_tools()
    assert document["data"]["g"]["structuredContent"] == {"result": "hello you"}
    assert document["data"]["f"] == {"isError": True, "json": None, "text":
                                      "ReadOnlyError: refused remote.forget: the tool is not read-only and this "
                                      "host serves read-only calls only"}
    assert {t["tool"]: t["readOnly"] for t in listed} == {"greet": True, "forget": False}
    assert listed[0]["inputSchema"]["required"] == ["name"]
    entry["headers"] = {"Authorization": "Bearer wrong"}
    with pytest.raises(ServerStartError) as caught:
        McpServers(parse_config({"servers": {"remote": entry}}), startup_timeout=15).start()
    assert "MCP server 'remote' failed to start" in str(caught.value) and "wrong" not in str(caught.value)


def test_a_stdio_server_behind_a_pypi_proxy_over_http(tmp_path):
    pytest.importorskip("fastmcp")
    script = tmp_path / "proxy.py"
    script.write_text(PROXY)
    port = free_port()
    process = listening(str(script), str(port), port=port, log=tmp_path / "proxy.log")
    try:
        config = {"proxied": ServerConfig("proxied", url=f"http://127.0.0.1:{port}/mcp")}
        with serve_config(config) as host:
            document = run(host, '{ t: proxied_get_current_time(timezone: "Asia/Tokyo") }')
    finally:
        process.terminate()
        process.wait(10)
    assert json.loads(document["data"]["t"]["content"][0]["text"])["timezone"] == "Asia/Tokyo"


@pytest.mark.parametrize("chunk", [1, 7, 4096, 1 << 20])
def test_lines_are_split_the_same_whatever_the_chunks(chunk):
    from quorvel_graphql.stdio_transport import ID_WINDOW, LineReader

    stream = b'{"id":1}\n' + b'{"id":2,"r":"' + b"x" * 10_000 + b'"}\n\n{"id":"three"}\n{"partial'
    reader = LineReader(max_line=5000)
    lines = [line for start in range(0, len(stream), chunk) for line in reader.feed(stream[start:start + chunk])]
    assert [oversize for _, oversize in lines] == [False, True, False, False]
    assert lines[0][0] == b'{"id":1}' and lines[2][0] == b"" and lines[3][0] == b'{"id":"three"}'
    assert lines[1][0].startswith(b'{"id":2,') and len(lines[1][0]) == ID_WINDOW


@pytest.mark.parametrize(("head", "request_id"), [
    (b'{"jsonrpc":"2.0","id":17,"result":{"content":[', 17),
    (b'{"result":{"x":1},"jsonrpc":"2.0","id":"a\\"b"', 'a\\"b'),
    (b'{"jsonrpc":"2.0","result":{"content":[{"text":"xxx', None),
])
def test_an_oversize_answer_fails_the_request_it_answers(head, request_id):
    from quorvel_graphql.stdio_transport import oversize_answer

    answer = oversize_answer(head, 100)
    if request_id is None:
        assert answer is None
    else:
        assert answer.message.id == request_id and "longer than the limit of 100" in answer.message.error.message
