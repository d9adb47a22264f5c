"""Host-side kit for the ``_graphql`` extension: a ready tool host loop,
standard GraphQL in front of it (``GraphQL``), an optional MCP tool-server
adapter (``quorvel_graphql.mcp_adapter``) and a command line
(``python -m quorvel_graphql``)."""

from __future__ import annotations

from _graphql import SchemaEngine

from .common import describe_exception
from .error_codes import ErrorCode
from .errors import (
    ConfigError,
    HostStateError,
    McpCallError,
    QuorvelError,
    ReadOnlyError,
    ServerStartError,
    ToolHandlerError,
    UnknownToolError,
)
from .host import Handler, HostState, ToolCall, ToolHost
from .json_text import JsonText
from .typed import GraphQL

__all__ = [
    "ConfigError",
    "ErrorCode",
    "GraphQL",
    "Handler",
    "HostState",
    "HostStateError",
    "JsonText",
    "McpCallError",
    "QuorvelError",
    "ReadOnlyError",
    "SchemaEngine",
    "ServerStartError",
    "ToolCall",
    "ToolHandlerError",
    "ToolHost",
    "UnknownToolError",
    "describe_exception",
]
