"""Host-side kit for the ``_graphql`` extension: a ready tool host loop, an
optional MCP tool-server adapter (``quorvel_graphql.mcp_adapter``) and a
command line (``python -m quorvel_graphql``)."""

from __future__ import annotations

from _graphql import SchemaEngine

from .host import Handler, ToolCall, ToolHost, describe_exception

__all__ = ["Handler", "SchemaEngine", "ToolCall", "ToolHost", "describe_exception"]
