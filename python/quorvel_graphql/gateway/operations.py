"""The endpoints an operator and a load balancer use: ``/healthz`` (the
process serves), ``/readyz`` (it should get traffic) and ``/metrics``
(Prometheus); and cross-origin access for the origins the operator names."""

from __future__ import annotations

from collections.abc import Iterable
from typing import Any
from urllib.parse import urlsplit

from starlette.middleware.cors import CORSMiddleware
from starlette.requests import Request
from starlette.responses import JSONResponse, Response
from starlette.routing import Route

from .core import Gateway
from .telemetry import METRICS_MISSING

HEALTH_PATHS = ("/healthz", "/readyz")
# What a page may send and read: the GraphQL and MCP requests of this
# gateway, with the token and the MCP session header.
CORS_METHODS = ("GET", "POST", "DELETE")
CORS_HEADERS = ("authorization", "content-type", "accept", "mcp-session-id", "mcp-protocol-version",
                "last-event-id")
CORS_EXPOSED = ("mcp-session-id", "mcp-protocol-version")
CORS_MAX_AGE = 600
NO_STORE = {"cache-control": "no-store"}


def operation_routes(gateway: Gateway) -> list[Route]:
    async def healthz(request: Request) -> Response:
        return JSONResponse({"status": "ok", "version": gateway.telemetry.version}, headers=NO_STORE)

    async def readyz(request: Request) -> Response:
        readiness = gateway.readiness()
        return JSONResponse(readiness, status_code=200 if readiness["ready"] else 503, headers=NO_STORE)

    async def metrics(request: Request) -> Response:
        if not gateway.telemetry.has_metrics:
            return JSONResponse({"errors": [{"message": METRICS_MISSING}]}, status_code=501)
        body, media_type = gateway.telemetry.exposition(request.headers.get("accept"))
        return Response(body, headers={"content-type": media_type, **NO_STORE})

    methods = ["GET", "HEAD"]
    return [Route("/healthz", healthz, methods=methods), Route("/readyz", readyz, methods=methods),
            Route("/metrics", metrics, methods=methods)]


def check_origin(text: str) -> str:
    """An origin as browsers send it (``scheme://host[:port]``, lower case);
    ValueError for anything else, including ``*``: each origin is named."""
    origin = text.strip().lower().rstrip("/")
    parts = urlsplit(origin)
    if parts.scheme not in ("http", "https") or not parts.hostname or parts.path or parts.query or parts.fragment \
            or parts.username is not None:
        raise ValueError(f"not an origin (scheme://host[:port], e.g. https://app.example.org): {text!r}")
    try:
        parts.port  # noqa: B018 - raises for a port that is not a number or out of range
    except ValueError:
        raise ValueError(f"not an origin: the port of {text!r} is not valid") from None
    return origin


class CorsOrigins:
    """Cross-origin access for the named origins only: their preflights are
    answered here (a preflight carries no token), and their requests get the
    CORS headers and pass the guard's origin check.  A request from any
    other origin, or with none, goes to the guard exactly as before."""

    def __init__(self, guard: Any, origins: Iterable[str]) -> None:
        self.origins = frozenset(origins)
        self.guard = guard
        guard.allowed_origins = self.origins
        self.cors = CORSMiddleware(guard, allow_origins=sorted(self.origins), allow_methods=CORS_METHODS,
                                   allow_headers=CORS_HEADERS, expose_headers=CORS_EXPOSED, max_age=CORS_MAX_AGE)

    async def __call__(self, scope: Any, receive: Any, send: Any) -> None:
        if scope["type"] == "http" and _origin(scope) in self.origins:
            await self.cors(scope, receive, send)
        else:
            await self.guard(scope, receive, send)


def _origin(scope: Any) -> str | None:
    for key, value in scope["headers"]:
        if key.lower() == b"origin":
            return value.decode("latin-1").lower()
    return None
