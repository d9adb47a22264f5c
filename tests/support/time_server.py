"""mcp-server-time, the PyPI package's own server, served from a thread of
the test process over streamable HTTP: for tests about our side of the
connection, where its stdio process would be one more import of the MCP SDK."""

from __future__ import annotations

import contextlib
from collections.abc import Iterator

from support.in_process import serving_in_thread


@contextlib.contextmanager
def time_server_over_http(local_timezone: str = "UTC") -> Iterator[str]:
    """Yields the URL of its MCP endpoint."""
    from mcp_server_time.server import create_server

    app = create_server(local_timezone).streamable_http_app(stateless_http=True, json_response=True)
    with serving_in_thread(app) as base:
        yield f"{base}/mcp"
