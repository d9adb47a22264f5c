"""The MCP adapter against the real time and git servers, plus start-up, crash and shutdown faults."""

from __future__ import annotations

import json
import os
import pathlib
import subprocess
import sys

import pytest

pytest.importorskip("mcp")
pytest.importorskip("mcp_server_time")
pytest.importorskip("mcp_server_git")

from conftest import execute_in_thread  # noqa: E402
from quorvel_graphql import ToolHost  # noqa: E402
from quorvel_graphql.mcp_adapter import (  # noqa: E402
    ConfigError, McpServers, ServerConfig, ServerStartError, load_config, serve_config,
)

TIME = ServerConfig("time", sys.executable, ("-m", "mcp_server_time", "--local-timezone", "UTC"))
FRAGILE_SERVER = """
import os, time
try:
    from mcp.server.mcpserver import MCPServer as Server
except ImportError:
    from mcp.server.fastmcp import FastMCP as Server
app = Server("fragile")

@app.tool()
def echo(text: str) -> str:
    return text

@app.tool()
def crash(delay: float = 0.2) -> str:
    time.sleep(delay)
    os._exit(7)

app.run()
"""


@pytest.fixture
def repo(tmp_path: pathlib.Path) -> pathlib.Path:
    path = tmp_path / "repo"
    path.mkdir()
    git = ["git", "-C", str(path), "-c", "user.name=Test", "-c", "user.email=test@example.org"]
    subprocess.run(["git", "init", "-q", str(path)], check=True)
    (path / "notes.txt").write_text("hello\n")
    subprocess.run([*git, "add", "notes.txt"], check=True)
    subprocess.run([*git, "commit", "-qm", "first commit of the adapter test"], check=True)
    return path


def git_server(repo: pathlib.Path) -> ServerConfig:
    return ServerConfig("git", sys.executable, ("-m", "mcp_server_git", "--repository", str(repo)))


def processes_mentioning(marker: str) -> list[str]:
    found = []
    for cmdline in pathlib.Path("/proc").glob("[0-9]*/cmdline"):
        try:
            text = cmdline.read_bytes().replace(b"\0", b" ").decode(errors="replace")
        except OSError:
            continue
        if marker in text and str(os.getpid()) != cmdline.parent.name:
            found.append(text)
    return found


def run(host, query: str, variables: dict | None = None) -> dict:
    return json.loads(execute_in_thread(host.engine, query, json.dumps(variables) if variables else None, 60))


def test_one_query_calls_both_servers_and_shutdown_ends_them(repo):
    configs = {"time": TIME, "git": git_server(repo)}
    with McpServers(configs) as servers, ToolHost(servers.engine()) as host:
        servers.serve(host)
        listed = servers.tools
        query = """query($repo: String!) { servers { name toolCount readOnlyCount }
            now: time_get_current_time(timezone: "UTC")
            log: git_git_log(repo_path: $repo, max_count: 1)
            bad: time_get_current_time(timezone: "Nowhere/Nothing") }"""
        document = run(host, query, {"repo": str(repo)})
        assert processes_mentioning(str(repo))
    summaries = {s["name"]: s for s in document["data"]["servers"]}
    for name, tools in listed.items():
        read_only = [t for t in tools if (t.get("annotations") or {}).get("readOnlyHint", True)]
        assert (summaries[name]["toolCount"], summaries[name]["readOnlyCount"]) == (len(tools), len(read_only))
    now, log, bad = (document["data"][key] for key in ("now", "log", "bad"))
    assert now["isError"] is False and json.loads(now["content"][0]["text"])["timezone"] == "UTC"
    assert log["isError"] is False and "first commit of the adapter test" in log["content"][0]["text"]
    assert bad["isError"] is True and "Nowhere/Nothing" in bad["content"][0]["text"]
    assert processes_mentioning(str(repo)) == []


def test_a_server_dying_mid_call_fails_only_calls_routed_to_it(tmp_path):
    script = tmp_path / "fragile_server.py"
    script.write_text(FRAGILE_SERVER)
    configs = {"fragile": ServerConfig("fragile", sys.executable, (str(script),)), "time": TIME}
    with serve_config(configs) as host:
        echoed = run(host, '{ e: fragile_echo(text: "still here") }')["data"]["e"]
        first = run(host, '{ c: fragile_crash t: time_get_current_time(timezone: "UTC") }')["data"]
        second = run(host, '{ c: fragile_echo(text: "gone") t: time_get_current_time(timezone: "UTC") }')["data"]
    assert echoed == {"content": [{"type": "text", "text": "still here"}],
                      "structuredContent": {"result": "still here"}, "isError": False}
    for data in (first, second):
        assert data["c"]["isError"] is True and "MCP server 'fragile'" in data["c"]["text"]
        assert data["t"]["isError"] is False
    assert processes_mentioning(str(script)) == []


@pytest.mark.parametrize(
    "config, reason",
    [
        (ServerConfig("ghost", "no-such-mcp-command-1234"), "command not found: no-such-mcp-command-1234"),
        (ServerConfig("quitter", sys.executable, ("-c", "import sys; sys.exit(3)")), "Connection closed"),
        (ServerConfig("nowhere", sys.executable, cwd="/no/such/dir"), "working directory not found: /no/such/dir"),
        (ServerConfig("mute", sys.executable, ("-c", "import time; time.sleep(120)")), "no MCP handshake within 6"),
    ],
    ids=["missing-command", "exits-at-once", "missing-cwd", "never-answers"],
)
def test_startup_failure_names_the_server_and_stops_the_others(repo, config, reason):
    with pytest.raises(ServerStartError) as caught:
        McpServers({"git": git_server(repo), config.name: config}, startup_timeout=6 if config.name == "mute" else 30).start()
    assert list(caught.value.failures) == [config.name]
    assert str(caught.value).startswith(f"MCP server '{config.name}' failed to start: ")
    assert reason in str(caught.value)
    assert processes_mentioning(str(repo)) == [] and processes_mentioning("time.sleep(120)") == []


@pytest.mark.parametrize(
    "content, problem",
    [
        ('{"mcpServers": {"t": {"command": "x", "args": ["-v"]}}}', None),
        ('{"servers": {"t": {"command": "x"}', "is not valid JSON"),
        ('{"servers": {"t": {"args": []}}}', "server 't' needs a non-empty string \"command\""),
    ],
)
def test_config_files(tmp_path, content, problem):
    path = tmp_path / "servers.json"
    path.write_text(content)
    if problem is None:
        assert load_config(path) == {"t": ServerConfig("t", "x", ("-v",))}
    else:
        with pytest.raises(ConfigError, match=problem):
            load_config(path)
