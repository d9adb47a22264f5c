"""What an operator watches a running gateway through: Prometheus metrics
(requests, tool calls, tool servers, queues) and OpenTelemetry spans.

Under ``serve --workers N`` the workers count into one set of metrics
through prometheus_client's multiprocess mode: the supervisor gives them a
private folder in ``PROMETHEUS_MULTIPROC_DIR`` before they start (the
library reads it on import), each writes its values there, and whichever
worker answers a scrape adds up all of them.  The tool servers' state is
the answering worker's own (each worker runs its own servers).

Both libraries are optional.  Without ``prometheus_client`` there are no
metrics and ``/metrics`` says how to get them; without ``opentelemetry-api``,
or with it but no tracer provider configured, no span is recorded.  Tool
calls reach the host on the engine's threads, with no trace context of the
request that made them, so a tool span starts a trace of its own."""

from __future__ import annotations

import contextlib
import importlib.metadata
import os
import time
from collections.abc import Callable, Iterator
from typing import Any

try:
    import prometheus_client as prometheus
    from prometheus_client.exposition import choose_encoder
    from prometheus_client.core import CounterMetricFamily, GaugeMetricFamily
    from prometheus_client.multiprocess import MultiProcessCollector
except ImportError:  # pragma: no cover - depends on the environment
    prometheus = None

try:
    from opentelemetry import trace as otel
except ImportError:  # pragma: no cover - depends on the environment
    otel = None

JsonObject = dict[str, Any]
ServerStatus = Callable[[], list[JsonObject]]

DISTRIBUTION = "quorvel-graphql"
PREFIX = "quorvel_gateway"
# From a built-in field answered inline (well under a millisecond) to a tool
# that runs into a generous time limit.
LATENCY_BUCKETS = (0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1.0, 2.5, 5.0, 10.0, 30.0,
                   60.0, 120.0)
MULTIPROCESS_VARIABLE = "PROMETHEUS_MULTIPROC_DIR"
# Read once, as prometheus_client itself decides on import where values live.
MULTIPROCESS = MULTIPROCESS_VARIABLE in os.environ
METRICS_MISSING = "metrics need prometheus_client: pip install prometheus_client (it is in the gateway extra)"


def package_version() -> str:
    """The installed distribution's version, for ``serverInfo`` and spans."""
    try:
        return importlib.metadata.version(DISTRIBUTION)
    except importlib.metadata.PackageNotFoundError:  # run from a source tree that was never installed
        return "0+unknown"


class _NoSpan:
    """Stands in for a span where nothing is traced."""

    def set_attribute(self, key: str, value: Any) -> None:
        pass

    def set_attributes(self, attributes: JsonObject) -> None:
        pass

    def end(self) -> None:
        pass

    def is_recording(self) -> bool:
        return False


NO_SPAN = _NoSpan()
_UNTRACED = contextlib.nullcontext(NO_SPAN)


class Telemetry:
    """Metrics and spans of one gateway.

    ``registry`` defaults to a registry of its own, so several gateways in
    one process (tests, embedding programs) never count into each other;
    ``tracer_provider`` defaults to OpenTelemetry's global one.  The object is
    also the tool host's call observer: ``call_started`` and ``call_ended``
    come from the host's threads and the tool servers' loop, in any order
    across calls."""

    def __init__(self, *, registry: Any = None, tracer_provider: Any = None) -> None:
        self.version = package_version()
        self._calls: dict[str, tuple[str, str, float, Any]] = {}
        self._per_request: dict[tuple[str, str], tuple[Any, Any]] = {}
        self._per_call: dict[tuple[str, str, str], tuple[Any, Any]] = {}
        self._server_status: ServerStatus | None = None
        self._tracer = self._make_tracer(tracer_provider)
        self.registry = None
        if prometheus is not None:
            self.registry = registry if registry is not None else prometheus.CollectorRegistry()
            self._define_metrics(self.registry)

    def _make_tracer(self, provider: Any) -> Any:
        if otel is None:
            return None
        provider = provider if provider is not None else otel.get_tracer_provider()
        if isinstance(provider, (otel.ProxyTracerProvider, otel.NoOpTracerProvider)):
            # Nothing configured: even a span that records nothing costs
            # microseconds per request.  A provider is set before the gateway
            # is made (opentelemetry-instrument does so before any import).
            return None
        return provider.get_tracer("quorvel_graphql.gateway", self.version)

    def _define_metrics(self, registry: Any) -> None:
        Counter, Histogram = prometheus.Counter, prometheus.Histogram

        def Gauge(*args: Any, **kwargs: Any) -> Any:
            # Across workers a gauge of things under way is their sum over
            # the workers alive (ignored outside multiprocess mode).
            return prometheus.Gauge(*args, multiprocess_mode="livesum", **kwargs)

        self.requests = Counter(f"{PREFIX}_requests", "GraphQL requests by front and outcome",
                                ("front", "outcome"), registry=registry)
        self.request_seconds = Histogram(f"{PREFIX}_request_duration_seconds", "GraphQL request latency by front",
                                         ("front",), buckets=LATENCY_BUCKETS, registry=registry)
        self.tool_calls = Counter(f"{PREFIX}_tool_calls", "Tool calls by server, tool and outcome",
                                  ("server", "tool", "outcome"), registry=registry)
        self.tool_seconds = Histogram(f"{PREFIX}_tool_call_duration_seconds", "Tool call latency",
                                      ("server", "tool"), buckets=LATENCY_BUCKETS, registry=registry)
        self.tools_in_flight = Gauge(f"{PREFIX}_tool_calls_in_flight", "Tool calls sent and not answered yet",
                                     registry=registry)
        self.queries_running = Gauge(f"{PREFIX}_queries_running", "Queries running in the engine",
                                     registry=registry)
        self.queries_queued = Gauge(f"{PREFIX}_queries_queued",
                                    "Queries waiting for one of the --max-concurrent-queries slots",
                                    registry=registry)
        registry.register(_ServerCollector(self))
        self._scraped = registry
        if MULTIPROCESS:
            # The values of every worker, from the shared folder, beside this
            # worker's tool servers (which are in no file).
            self._scraped = prometheus.CollectorRegistry()
            MultiProcessCollector(self._scraped)
            self._scraped.register(_ServerCollector(self))

    # -- Prometheus ---------------------------------------------------------

    @property
    def has_metrics(self) -> bool:
        return self.registry is not None

    def exposition(self, accept: str | None) -> tuple[bytes, str]:
        """The metrics in the format the scraper asks for (Prometheus text,
        or OpenMetrics), and its media type."""
        if self.registry is None:
            raise RuntimeError(METRICS_MISSING)
        encoder, media_type = choose_encoder(accept or "")
        return encoder(self._scraped), media_type

    def watch_servers(self, status: ServerStatus | None) -> None:
        """Where the up/down state and restart counts of tool servers come
        from; read at each scrape, so they are never stale."""
        self._server_status = status

    def server_status(self) -> list[JsonObject]:
        return self._server_status() if self._server_status is not None else []

    # -- requests -----------------------------------------------------------

    def request_span(self, via: str) -> contextlib.AbstractContextManager[Any]:
        """The request's span as a context manager (the current span inside)."""
        if self._tracer is None:
            return _UNTRACED
        return self._tracer.start_as_current_span(f"graphql {via}", kind=otel.SpanKind.SERVER)

    def request_done(self, front: str, outcome: str, seconds: float, span: Any) -> None:
        span.set_attribute("quorvel.outcome", outcome)
        if self.registry is not None:
            counted = self._per_request.get((front, outcome))
            if counted is None:  # labels() takes a lock and builds a key each time: once per pair is enough
                counted = self._per_request[(front, outcome)] = (self.requests.labels(front, outcome),
                                                                 self.request_seconds.labels(front))
            counted[0].inc()
            counted[1].observe(seconds)

    def query_queued(self) -> None:
        if self.registry is not None:
            self.queries_queued.inc()

    def query_started(self) -> None:
        if self.registry is not None:
            self.queries_queued.dec()
            self.queries_running.inc()

    def query_dropped(self) -> None:
        if self.registry is not None:
            self.queries_queued.dec()

    def query_ended(self) -> None:
        if self.registry is not None:
            self.queries_running.dec()

    # -- tool calls (the host's call observer) ------------------------------

    def call_started(self, request_id: str, server: str, tool: str) -> None:
        span = NO_SPAN
        if self._tracer is not None:
            span = self._tracer.start_span(f"tool {server}.{tool}", kind=otel.SpanKind.CLIENT,
                                           attributes={"quorvel.server": server, "quorvel.tool": tool})
        self._calls[request_id] = (server, tool, time.perf_counter(), span)
        if self.registry is not None:
            self.tools_in_flight.inc()

    def call_ended(self, request_id: str, outcome: str) -> None:
        started = self._calls.pop(request_id, None)
        if started is None:  # a second answer attempt for the same call, or one never seen starting
            return
        server, tool, at, span = started
        if self.registry is not None:
            self.tools_in_flight.dec()
            counted = self._per_call.get((server, tool, outcome))
            if counted is None:  # as for requests: the catalogue's tools and a few outcomes bound the table
                counted = self._per_call[(server, tool, outcome)] = (self.tool_calls.labels(server, tool, outcome),
                                                                     self.tool_seconds.labels(server, tool))
            counted[0].inc()
            counted[1].observe(time.perf_counter() - at)
        if span is not NO_SPAN:
            span.set_attribute("quorvel.outcome", outcome)
            if outcome != "ok":
                span.set_status(otel.Status(otel.StatusCode.ERROR, outcome))
            span.end()


class _ServerCollector:
    """Tool server state as metrics, read from the servers at scrape time."""

    def __init__(self, telemetry: Telemetry) -> None:
        self._telemetry = telemetry

    def describe(self) -> list[Any]:
        return []  # unknown until the first scrape: the servers come and go with the config

    def collect(self) -> Iterator[Any]:
        up = GaugeMetricFamily(f"{PREFIX}_server_up", "1 while the tool server has a live session",
                               labels=("server",))
        restarts = CounterMetricFamily(f"{PREFIX}_server_restarts", "Times the tool server was started again "
                                       "after it went down", labels=("server",))
        for server in self._telemetry.server_status():
            up.add_metric((server["name"],), 1.0 if server["state"] == "up" else 0.0)
            restarts.add_metric((server["name"],), float(server["restarts"]))
        yield up
        yield restarts
