"""The smallest MCP tool server over stdio: JSON-RPC lines answered by hand,
without the SDK, so that a test that only needs *a* server beside the one
it is about starts a child that costs milliseconds instead of an SDK
import.  ``python line_tool_server.py [MARKER]``: the marker only names the
process, so that a test can look for it among its descendants.  With
``--nap FILE`` as the arguments, a call writes FILE and then sleeps for a
minute, like a tool that is still at work when the client gives up.  With
``--tools-from FILE``, its tools are the names FILE lists (one a line) when
it starts, each answering pong, like a server upgraded between runs."""

from __future__ import annotations

import json
import pathlib
import sys
import time

SCRIPT = pathlib.Path(__file__).resolve()
TOOLS = [{"name": "ping", "description": "Answers pong.", "inputSchema": {"type": "object", "properties": {}},
          "annotations": {"readOnlyHint": True}}]


def answer(request: dict) -> dict | None:
    method, request_id = request.get("method"), request.get("id")
    if request_id is None:
        return None  # a notification
    if method == "initialize":
        version = request.get("params", {}).get("protocolVersion", "2025-06-18")
        result = {"protocolVersion": version, "capabilities": {"tools": {}},
                  "serverInfo": {"name": "line-tools", "version": "1.0"}}
    elif method == "tools/list":
        result = {"tools": _tools()}
    elif method == "tools/call":
        if sys.argv[1:2] == ["--nap"]:
            pathlib.Path(sys.argv[2]).write_text("started")
            time.sleep(60)
        result = {"content": [{"type": "text", "text": "pong"}], "isError": False}
    elif method == "ping":
        result = {}
    else:
        return {"jsonrpc": "2.0", "id": request_id, "error": {"code": -32601, "message": f"no method {method}"}}
    return {"jsonrpc": "2.0", "id": request_id, "result": result}


def _tools() -> list[dict]:
    if sys.argv[1:2] != ["--tools-from"]:
        return TOOLS
    names = pathlib.Path(sys.argv[2]).read_text().split()
    return [{**TOOLS[0], "name": name} for name in names]


def main() -> None:
    for line in sys.stdin:
        if not line.strip():
            continue
        reply = answer(json.loads(line))
        if reply is not None:
            sys.stdout.write(json.dumps(reply) + "\n")
            sys.stdout.flush()


if __name__ == "__main__":
    main()
