"""A remote (streamable HTTP) MCP tool server for gateway tests, written
with the SDK: ``python remote_tool_server.py`` listens on a free port of
127.0.0.1 and prints ``listening on http://127.0.0.1:PORT/mcp``."""

from __future__ import annotations

import asyncio
import socket
import sys

import uvicorn
from mcp.server.mcpserver import MCPServer
from mcp.types import ToolAnnotations

server = MCPServer("remote-tools", version="1.0")


@server.tool(annotations=ToolAnnotations(readOnlyHint=True))
async def echo(text: str, ms: int = 0) -> str:
    """Answers with the text it was given, after ``ms`` milliseconds (at most 5000)."""
    await asyncio.sleep(min(max(ms, 0), 5000) / 1000)
    return text


@server.tool(annotations=ToolAnnotations(readOnlyHint=True))
async def pause(ms: int) -> int:
    """Answers after ``ms`` milliseconds (at most 5000), like a slow backend."""
    await asyncio.sleep(min(max(ms, 0), 5000) / 1000)
    return ms


@server.tool()
async def shout(text: str) -> str:
    """Answers with the text in capitals; says nothing of being read-only,
    like many real servers."""
    return text.upper()


def main() -> None:
    listener = socket.create_server(("127.0.0.1", 0), backlog=1024)
    port = listener.getsockname()[1]
    print(f"listening on http://127.0.0.1:{port}/mcp", file=sys.stderr, flush=True)
    app = server.streamable_http_app(stateless_http=True, json_response=True)
    uvicorn.Server(uvicorn.Config(app, log_level="warning", lifespan="on")).run(sockets=[listener])


if __name__ == "__main__":
    main()
