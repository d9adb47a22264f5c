"""Per-tool settings in the server config: checked when read, merged by
name and glob, and applied to a real (streamable HTTP) tool server: a
renamed field, a description, a read-only mark the server never gave, and a
time limit of one tool's own."""

from __future__ import annotations

import json
import logging
from typing import Any

import pytest

from quorvel_graphql.config import ToolSettings, parse_config
from quorvel_graphql.errors import ConfigError


def server_with(settings: Any) -> dict[str, Any]:
    return {"servers": {"s": {"command": "x", "tool_settings": settings}}}


@pytest.mark.parametrize(
    ("settings", "message"),
    [
        ([], "must map tool names or glob patterns"),
        ({"get_*": {"name": "now"}}, "needs the tool's exact name, not a pattern"),
        ({"t": {"read_only": "yes"}}, '"read_only" must be true or false'),
        ({"t": {"read_only": True, "readOnly": True}}, 'not both'),
        ({"t": {"time_limit": True}}, '"time_limit" must be a positive, finite number'),
        ({"t": {"time_limit": -1}}, '"time_limit"'),
        ({"t": {"description": ""}}, '"description" must be a non-empty string'),
        ({"t": {"title": "x"}}, "unknown key 'title'"),
        ({"": {"read_only": True}}, "must not be empty"),
    ],
)
def test_bad_tool_settings_are_refused_with_where_and_why(settings: Any, message: str) -> None:
    with pytest.raises(ConfigError, match="server 's': .?tool_settings") as caught:
        parse_config(server_with(settings))
    assert message in str(caught.value)


def test_globs_apply_in_order_and_the_exact_name_last() -> None:
    config = parse_config(server_with({
        "get_time": {"time_limit": 3, "name": "now"},
        "get_*": {"readOnly": False, "time_limit": 9, "description": "from the glob"},
        "*_time": {"readOnly": True},
    }))["s"]
    assert config.settings_for("get_time") == ToolSettings("get_time", True, 3.0, "from the glob", "now")
    assert config.settings_for("get_zone") == ToolSettings("get_zone", False, 9.0, "from the glob", None)
    assert config.settings_for("set_zone") is None


def test_settings_reach_a_real_tool_server(caplog: pytest.LogCaptureFixture) -> None:
    pytest.importorskip("mcp")
    pytest.importorskip("uvicorn")
    from quorvel_graphql.mcp_adapter import serve_config
    from support.in_process import serving_in_thread
    from support.remote_tool_server import server

    # The same tool server the gateway tests start as a child, served here
    # in this process: the settings are applied on our side of the session.
    with serving_in_thread(server.streamable_http_app(stateless_http=True, json_response=True)) as base:
        url = base + "/mcp"
        config = parse_config({"servers": {"remote": {"url": url, "time_limit": 30, "tool_settings": {
            "echo": {"name": "say", "description": "Says it back"},
            "shout": {"readOnly": True},
            "pause": {"time_limit": 0.2},
            "whisper*": {"readOnly": True},
        }}}})
        with caplog.at_level(logging.WARNING), serve_config(config, read_only=True) as host:
            tools = {tool["tool"]: tool for tool in host.catalogue_tools()}
            document = host.execute('{ said: remote_say(text: "hi") loud: remote_shout(text: "hi") }')
            document["data"].update(host.execute("{ slow: remote_pause(ms: 3000) }")["data"])
            document["data"].update(host.execute("{ quick: remote_pause(ms: 1) }")["data"])
            old_name = host.execute('{ remote_echo(text: "hi") }')
    assert set(tools) == {"say", "shout", "pause"}
    assert tools["say"]["description"] == "Says it back" and tools["say"]["field"] == "remote_say"
    assert tools["shout"]["readOnly"] is True  # the server gave no hint; --read-only lets it through now
    data = document["data"]
    assert data["said"]["content"][0]["text"] == "hi"  # the real tool behind the new name
    assert data["loud"]["isError"] is False and data["loud"]["content"][0]["text"] == "HI"
    assert data["slow"]["isError"] is True and "did not answer pause within 0.2 s" in data["slow"]["text"]
    assert data["quick"]["isError"] is False, data["quick"]  # the same tool within its limit, the session intact
    assert old_name["data"] is None and "remote_echo" in json.dumps(old_name["errors"])
    assert any("tool_settings 'whisper*' matches none of its tools" in r.getMessage() for r in caplog.records)
