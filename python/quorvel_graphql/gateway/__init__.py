"""The engine served to MCP clients (stdio or streamable HTTP) and as a
GraphQL-over-HTTP endpoint with a playground page.

``python -m quorvel_graphql serve --servers CONFIG [--http [HOST:]PORT]``, or
from Python: wrap a running ``ToolHost`` (any :class:`Host`, or a bare
``SchemaEngine``) in a :class:`Gateway` and serve it with :func:`create_app` (any ASGI server) or
:func:`build_mcp_server` (any MCP transport of the SDK).  Needs the
``gateway`` extra (mcp, starlette, uvicorn)."""

from __future__ import annotations

from .cli import main
from .core import Gateway, Host, PlaceholderHost, QueryResult

__all__ = ["Gateway", "Host", "PlaceholderHost", "QueryResult", "build_mcp_server", "create_app", "main"]


def __getattr__(name: str) -> object:
    # The fronts import the SDK and Starlette; load them only when used.
    if name == "create_app":
        from .http_front import create_app

        return create_app
    if name == "build_mcp_server":
        from .mcp_front import build_mcp_server

        return build_mcp_server
    raise AttributeError(name)
