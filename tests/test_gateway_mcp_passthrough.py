"""The gateway's MCP front beyond its own tools, with the SDK's client over
streamable HTTP: the tool servers' resources and prompts passed through
under each server's prefix, and list-change notices when a server joins
late or comes back with other tools (the GraphQL schema over HTTP follows)."""

from __future__ import annotations

import asyncio
import contextlib
import json
import os
import pathlib
import signal
import sys
from collections.abc import Iterator
from typing import Any

import pytest

pytest.importorskip("mcp")
pytest.importorskip("starlette")

import httpx2  # noqa: E402
from mcp import ClientSession, MCPError  # noqa: E402
from mcp.client.streamable_http import streamable_http_client  # noqa: E402
from support.gateway import RunningGateway, http_gateway  # noqa: E402
from support.http_client import client as http  # noqa: E402
from support.line_tool_server import SCRIPT as LINE_TOOL_SERVER  # noqa: E402
from support.proc import children_of  # noqa: E402

LIBRARY = pathlib.Path(__file__).resolve().parent / "support" / "library_server.py"
# As in test_gateway_partial_start: the first start fails, a later one waits
# for the flag, so the server joins when the test says.
LATE_SERVER = """\
import pathlib, runpy, sys, threading, time
flag, server = pathlib.Path(sys.argv[1]), sys.argv[2]
tried = flag.with_name(flag.name + ".tried")
if not tried.exists():
    tried.touch()
    sys.exit(1)
deadline = time.monotonic() + 60
while not flag.exists() and time.monotonic() < deadline:
    threading.Event().wait(0.05)
runpy.run_path(server, run_name="__main__")
"""
NOTICE_SECONDS = 90.0  # the retry's back-off, then the new host


@pytest.fixture(scope="module")
def gateway(tmp_path_factory: pytest.TempPathFactory) -> Iterator[tuple[RunningGateway, pathlib.Path]]:
    folder = tmp_path_factory.mktemp("passthrough")
    flag, script = folder / "late-ready", folder / "late_server.py"
    script.write_text(LATE_SERVER)
    servers = {"library": {"command": sys.executable, "args": [str(LIBRARY)]},
               "late": {"command": sys.executable, "args": [str(script), str(flag), str(LINE_TOOL_SERVER)]}}
    (folder / "servers.json").write_text(json.dumps({"servers": servers}))
    with http_gateway(["--servers", str(folder / "servers.json")]) as running:
        yield running, flag


async def _session(url: str, run: Any, handler: Any = None) -> Any:
    async with httpx2.AsyncClient(timeout=30) as client, \
            streamable_http_client(f"{url}/mcp", http_client=client) as (read, write), \
            ClientSession(read, write, message_handler=handler) as session:
        await session.initialize()
        return await run(session)


def test_resources_and_prompts_pass_through(gateway: tuple[RunningGateway, pathlib.Path]) -> None:
    async def run(session: ClientSession) -> dict[str, Any]:
        resources = (await session.list_resources()).resources
        templates = (await session.list_resource_templates()).resource_templates
        prompts = (await session.list_prompts()).prompts
        fixed = await session.read_resource("notes://today")
        by_template = await session.read_resource("notes://day/friday")
        prompt = await session.get_prompt("library_summarize", {"topic": "maps"})
        with pytest.raises(MCPError, match="unknown prompt 'summarize'"):
            await session.get_prompt("summarize", {"topic": "maps"})
        with pytest.raises(MCPError, match="no tool server offers it"):
            await session.read_resource("notes://elsewhere")
        return {"resources": resources, "templates": templates, "prompts": prompts, "fixed": fixed,
                "by_template": by_template, "prompt": prompt}

    seen = asyncio.run(_session(gateway[0].url, run))
    (resource,) = seen["resources"]
    assert (resource.name, str(resource.uri), resource.title) == ("library_today", "notes://today",
                                                                  "Today's note (library)")
    assert [(t.name, t.uri_template) for t in seen["templates"]] == [("library_day", "notes://day/{day}")]
    (prompt,) = seen["prompts"]
    assert prompt.name == "library_summarize" and [a.name for a in prompt.arguments] == ["topic"]
    assert seen["fixed"].contents[0].text == "Read aloud at eleven."
    assert seen["by_template"].contents[0].text == "Count the returns."
    assert "about maps" in seen["prompt"].messages[0].content.text


class _Notices:
    """The list-change notices a client session got."""

    def __init__(self) -> None:
        self.methods: list[str] = []
        self.tools_changed = asyncio.Event()

    async def handler(self, message: Any) -> None:
        method = getattr(message, "method", None)
        if isinstance(method, str) and method.endswith("list_changed"):
            self.methods.append(method)
            if method == "notifications/tools/list_changed":
                self.tools_changed.set()


async def _graphql_description(session: ClientSession) -> str:
    return next(t for t in (await session.list_tools()).tools if t.name == "graphql").description or ""


def test_a_late_server_is_announced_and_served(gateway: tuple[RunningGateway, pathlib.Path]) -> None:
    running, flag = gateway
    notices = _Notices()

    async def run(session: ClientSession) -> tuple[Any, str, str]:
        capabilities = session.server_capabilities
        before = await _graphql_description(session)
        flag.touch()
        await asyncio.wait_for(notices.tools_changed.wait(), NOTICE_SECONDS)
        return capabilities, before, await _graphql_description(session)

    capabilities, before, after = asyncio.run(_session(running.url, run, notices.handler))
    notices = notices.methods
    assert capabilities.tools.list_changed and capabilities.prompts.list_changed
    assert "late_ping" not in before and "late_ping" in after
    assert {"notifications/tools/list_changed", "notifications/resources/list_changed",
            "notifications/prompts/list_changed"} <= set(notices)
    answer = http.post(f"{running.url}/graphql", json={"query": "{ late_ping { text } }"}).json()
    assert answer == {"data": {"late_ping": {"text": "pong"}}}


def test_a_server_back_with_other_tools_is_announced(tmp_path: pathlib.Path) -> None:
    tools = tmp_path / "tools"
    tools.write_text("ping\n")
    servers = {"flip": {"command": sys.executable, "args": [str(LINE_TOOL_SERVER), "--tools-from", str(tools)]}}
    (tmp_path / "servers.json").write_text(json.dumps({"servers": servers}))
    notices = _Notices()
    with http_gateway(["--servers", str(tmp_path / "servers.json")]) as running:

        async def run(session: ClientSession) -> tuple[str, str]:
            before = await _graphql_description(session)
            tools.write_text("ping\npong\n")
            (server,) = children_of(running.process.pid)
            os.kill(server, signal.SIGKILL)
            # A call finds it gone, a later one (past the restart pause)
            # starts it again, and the new tool list comes with it.
            deadline = asyncio.get_running_loop().time() + NOTICE_SECONDS
            while not notices.tools_changed.is_set():
                assert asyncio.get_running_loop().time() < deadline, "no notice after the server came back"
                await asyncio.to_thread(http.post, f"{running.url}/graphql", json={"query": "{ flip_ping { text } }"})
                with contextlib.suppress(TimeoutError):
                    await asyncio.wait_for(notices.tools_changed.wait(), 1.0)
            return before, await _graphql_description(session)

        before, after = asyncio.run(_session(running.url, run, notices.handler))
        answer = http.post(f"{running.url}/graphql", json={"query": "{ flip_pong { text } }"}).json()
    assert "flip_pong" not in before and "flip_pong" in after
    assert answer == {"data": {"flip_pong": {"text": "pong"}}}
