"""The seams between the package's parts: the gateway works through a host's
public face (a running ToolHost, or the placeholder host of a bare engine),
shutting down stops tool calls through that host, and the server
configuration is read without the MCP SDK."""

from __future__ import annotations

import asyncio
import json
import os
import subprocess
import sys
import textwrap
import threading

import pytest

from conftest import JOIN_TIMEOUT, catalogue
from quorvel_graphql import ToolHost
from quorvel_graphql.common import engine_tools
from quorvel_graphql.gateway import Gateway, PlaceholderHost
from quorvel_graphql.gateway.admission import CUT_OFF

CATALOGUE = catalogue(("slow", "wait", False), ("files", "read_file", True))


def test_gateway_shutdown_answers_waiting_queries_through_the_host() -> None:
    started, release = threading.Event(), threading.Event()

    def wait() -> str:
        started.set()
        release.wait(JOIN_TIMEOUT)
        return "late"

    async def scenario(gateway: Gateway) -> dict:
        pending = asyncio.ensure_future(gateway.execute("mutation { slow_wait { text } }", None, via="test"))
        assert await asyncio.to_thread(started.wait, JOIN_TIMEOUT)
        gateway.stop_calling_tools()
        result = await asyncio.wait_for(pending, JOIN_TIMEOUT)
        return result.document

    with ToolHost(CATALOGUE) as host:
        host.register("slow", "wait", wait)
        gateway = Gateway(host)
        gateway.call_grace = 0.05  # the tool never answers in it
        try:
            document = asyncio.run(scenario(gateway))
        finally:
            release.set()
            gateway.close()
        assert host.running  # stopping the calls is not closing the host
    assert document["data"] == {"slow_wait": None}
    # The gateway says why in its own words, not the bridge's: the call
    # was running, so it may have done its work.
    assert document["errors"][0]["path"] == ["slow_wait"], document
    assert document["errors"][0]["message"] == CUT_OFF and "CallBridge" not in json.dumps(document), document


def test_a_stopped_host_calls_no_more_tools_and_closes_cleanly() -> None:
    calls: list[str] = []
    host = ToolHost(CATALOGUE)
    host.stop_calling_tools()  # not started: nothing to stop, and no error
    with host:
        host.register("files", "read_file", lambda path: calls.append(path) or path)
        assert host.execute('{ files_read_file(path: "one") }')["data"]["files_read_file"] == "one"
        host.stop_calling_tools()
        host.stop_calling_tools()
        later = host.execute('{ files_read_file(path: "two") }')
    host.stop_calling_tools()  # closed: still no error
    assert calls == ["one"] and later["data"]["files_read_file"] != "two"


@pytest.mark.parametrize("read_only", [False, True])
def test_gateway_takes_tools_and_policy_from_the_host(read_only: bool) -> None:
    host = ToolHost(CATALOGUE, read_only=read_only)
    host.input_schemas[("slow", "wait")] = {"type": "object", "properties": {"ms": {"type": "integer"}}}
    gateway = Gateway(host)
    try:
        assert gateway.calls_tools and gateway.host is host
        assert gateway.tools() == host.catalogue_tools()
        assert "ms: Int" in gateway.sdl()
        # slow.wait is not read-only, so only the host's policy makes the whole surface read-only
        assert gateway.all_read_only() is read_only
    finally:
        gateway.close()


def test_a_bare_engine_gets_a_placeholder_host_that_answers_inline() -> None:
    gateway = Gateway(ToolHost(CATALOGUE).engine)
    try:
        assert isinstance(gateway.host, PlaceholderHost) and not gateway.calls_tools
        assert gateway.tools() == engine_tools(gateway.engine)
        assert not gateway.all_read_only()
        gateway.stop_calling_tools()
        result = asyncio.run(gateway.execute("{ files_read_file { text } }", None, via="test"))
        assert result.document["data"] == {"files_read_file": None}
        assert result.document["errors"][0]["extensions"]["code"] == "TOOL_ERROR"
    finally:
        gateway.close()


CONFIG_WITHOUT_SDK = textwrap.dedent("""
    import json, os, sys
    sys.modules["mcp"] = None  # as if the SDK were not installed
    from quorvel_graphql.config import load_config
    from quorvel_graphql.errors import ConfigError
    servers = load_config(sys.argv[1])
    try:
        load_config(sys.argv[2])
    except ConfigError as error:
        bad = str(error)
    loaded = sorted(m for m in sys.modules if m.startswith("mcp"))
    try:
        import quorvel_graphql.mcp_adapter
    except ImportError as error:
        missing = str(error)
    print(json.dumps({"headers": dict(servers["s"].headers), "cwd": servers["s"].cwd, "bad": bad,
                      "missing": missing, "loaded": loaded}))
""")


def test_server_config_needs_no_mcp_sdk(tmp_path) -> None:
    good = tmp_path / "good.json"
    good.write_text(json.dumps({"servers": {"s": {"command": "x", "cwd": "sub",
                                                  "headers": {"A": "Bearer ${SEAM_TOKEN}"}}}}))
    bad = tmp_path / "bad.json"
    bad.write_text(json.dumps({"servers": {"s": {"command": "x", "colour": "red"}}}))
    env = {**os.environ, "SEAM_TOKEN": "t0k"}
    finished = subprocess.run([sys.executable, "-c", CONFIG_WITHOUT_SDK, str(good), str(bad)], env=env,
                              capture_output=True, text=True, timeout=JOIN_TIMEOUT)
    assert finished.returncode == 0, finished.stderr
    outcome = json.loads(finished.stdout)
    assert outcome["headers"] == {"A": "Bearer t0k"} and outcome["cwd"] == str(tmp_path / "sub")
    assert "unknown key 'colour'" in outcome["bad"]
    assert "mcp>=2" in outcome["missing"] and outcome["loaded"] == ["mcp"]


MCP_ON_FIRST_USE = textwrap.dedent("""
    import concurrent.futures, json, sys
    from starlette.testclient import TestClient
    from _graphql import SchemaEngine
    from quorvel_graphql.gateway import Gateway, create_app

    INITIALIZE = {"jsonrpc": "2.0", "id": 1, "method": "initialize", "params": {
        "protocolVersion": "2025-06-18", "capabilities": {}, "clientInfo": {"name": "seam", "version": "1"}}}
    HEADERS = {"accept": "application/json, text/event-stream"}
    seen = {}
    with TestClient(create_app(Gateway(SchemaEngine("[]"))), base_url="http://127.0.0.1") as client:
        seen["graphql"] = client.post("/graphql", json={"query": "{ servers { name } }"}).status_code
        seen["before"] = sorted(m for m in sys.modules if m == "mcp" or m.startswith("mcp."))
        # Several first clients at once: one session manager starts, every client gets a session.
        with concurrent.futures.ThreadPoolExecutor(4) as pool:
            answers = list(pool.map(lambda _: client.post("/mcp", json=INITIALIZE, headers=HEADERS), range(4)))
        seen["mcp"] = [answer.status_code for answer in answers]
        seen["sessions"] = len({answer.headers.get("mcp-session-id") for answer in answers})
        seen["after"] = "mcp" in sys.modules
    print(json.dumps(seen))
""")


def test_the_http_front_loads_the_mcp_sdk_on_the_first_mcp_request() -> None:
    finished = subprocess.run([sys.executable, "-c", MCP_ON_FIRST_USE], capture_output=True, text=True,
                              timeout=JOIN_TIMEOUT * 3)
    assert finished.returncode == 0, finished.stderr
    seen = json.loads(finished.stdout)
    assert seen["graphql"] == 200 and seen["before"] == []
    assert seen["mcp"] == [200] * 4 and seen["sessions"] == 4 and seen["after"] is True


NO_SERVER_CAN_START = textwrap.dedent("""
    import json, sys
    sys.modules["mcp"] = None  # loading the SDK would fail the run
    from quorvel_graphql.cli import main
    status = main(["--servers", sys.argv[1], "{ servers { name } }"])
    print(json.dumps({"status": status}))
""")


def test_a_config_where_no_server_can_start_fails_before_the_sdk_loads(tmp_path) -> None:
    config = tmp_path / "servers.json"
    config.write_text(json.dumps({"servers": {"ghost": {"command": "no-such-mcp-command-7"},
                                              "lost": {"command": sys.executable, "cwd": "no-such-folder"}}}))
    finished = subprocess.run([sys.executable, "-c", NO_SERVER_CAN_START, str(config)], capture_output=True,
                              text=True, timeout=JOIN_TIMEOUT)
    assert json.loads(finished.stdout) == {"status": 3}, finished.stderr
    assert finished.stderr == ("python -m quorvel_graphql: error: "
                               "MCP server 'ghost' failed to start: command not found: no-such-mcp-command-7; "
                               f"MCP server 'lost' failed to start: working directory not found: "
                               f"{tmp_path / 'no-such-folder'}\n")


@pytest.mark.parametrize(("server", "path", "reason"), [
    ({"command": "no-such-mcp-command-7"}, "/usr/bin:/bin", "command not found: no-such-mcp-command-7"),
    ({"command": "sh", "env": {"PATH": "/no/such/dir"}}, "/usr/bin:/bin", "command not found: sh"),
    ({"command": "sh"}, "/usr/bin:/bin", None),
    # Judged from the child's working directory, which only starting it shows.
    ({"command": "no-such-mcp-command-7"}, "bin:/usr/bin", None),
    ({"command": "no-such-mcp-command-7"}, ":/usr/bin", None),
    ({"command": "./no-such-mcp-command-7"}, "/usr/bin", None),
    ({"url": "http://127.0.0.1:1/mcp"}, "/usr/bin", None),
], ids=["missing", "missing-on-own-path", "found", "relative-folder", "empty-folder", "with-a-slash", "url"])
def test_a_server_is_judged_unable_to_start_only_when_that_is_certain(monkeypatch, server, path, reason) -> None:
    from quorvel_graphql.config import parse_config

    monkeypatch.setenv("PATH", path)
    assert parse_config({"servers": {"s": server}})["s"].cannot_start() == reason
