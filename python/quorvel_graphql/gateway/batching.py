"""GraphQL-over-HTTP request bodies, one request or a batch of them.

A batch is a JSON array of requests, answered by an array of results in the
same order, each with its own errors: one element that is not a request, or
whose persisted query is unknown, fails alone.  The batch is bounded as a
whole before any of its tools runs: so many operations at most, and the
tool calls of all its operations together within the per-request limit, so
that a batch never lets a client do more than one request could."""

from __future__ import annotations

import asyncio
import json
from collections.abc import Sequence
from dataclasses import dataclass
from typing import Any

from .. import json_text
from .core import Gateway, QueryResult
from .persisted import PersistedQueries, PersistedQueryError

DEFAULT_MAX_OPERATIONS = 16


@dataclass(frozen=True, slots=True)
class GraphQLRequest:
    """One request as GraphQL over HTTP has it; ``query`` may be missing
    only when ``extensions`` name a persisted query."""

    query: str | None
    variables: dict[str, Any] | None = None
    operation_name: str | None = None
    extensions: dict[str, Any] | None = None

    def text(self, persisted: PersistedQueries | None) -> str:
        """The query text to run; ValueError (a :class:`PersistedQueryError`
        for persisted queries) with the message for the client."""
        if persisted is not None:
            query = persisted.resolve(self.query, self.extensions)
        elif self.extensions is not None and "persistedQuery" in self.extensions:
            raise PersistedQueryError("PersistedQueryNotSupported", "PERSISTED_QUERY_NOT_SUPPORTED")
        else:
            query = self.query
        if query is None:
            raise ValueError('the request needs "query": the GraphQL query text')
        return query


def request_of(value: Any) -> GraphQLRequest:
    """A request from its decoded JSON form; ValueError with a message for
    the client when it is not one."""
    if not isinstance(value, dict):
        raise ValueError('a request must be a JSON object {"query": ..., "variables": ...}')
    extensions = value.get("extensions")
    if extensions is not None and not isinstance(extensions, dict):
        raise ValueError('"extensions" must be an object or null')
    query = value.get("query")
    if not isinstance(query, str) and not (query is None and extensions and "persistedQuery" in extensions):
        raise ValueError('the request body needs "query": the GraphQL query text')
    variables = value.get("variables")
    if variables is not None and not isinstance(variables, dict):
        raise ValueError('"variables" must be an object or null')
    operation_name = value.get("operationName")
    if operation_name is not None and not isinstance(operation_name, str):
        raise ValueError('"operationName" must be a string or null')
    return GraphQLRequest(query, variables, operation_name, extensions)


def read_body(body: bytes) -> GraphQLRequest | list[Any]:
    """A POST body: one request, or the elements of a batch as they are
    (each is read when the batch runs, so a bad one fails alone)."""
    try:
        value = json_text.loads(body)  # the standard library's verdict and message on bad bodies
    except (UnicodeDecodeError, json.JSONDecodeError) as error:
        raise ValueError(f"the request body is not JSON: {error}") from None
    except RecursionError:
        raise ValueError("the request body nests too deeply") from None
    if isinstance(value, list):
        return value
    if not isinstance(value, dict):
        raise ValueError('the request body must be a JSON object {"query": ..., "variables": ...} '
                         "or an array of them")
    return request_of(value)


def error_text(error: ValueError) -> str:
    document = error.document() if isinstance(error, PersistedQueryError) else {"errors": [{"message": str(error)}]}
    return json.dumps(document, ensure_ascii=False, separators=(",", ":"))


class BatchRefused(ValueError):
    """The batch as a whole is beyond a limit: none of it runs."""


@dataclass
class Batch:
    """The results of a batch, in order."""

    results: list[QueryResult | str]  # a result, or the error text of an element that did not run

    def body(self) -> bytes:
        return ("[" + ",".join(r if isinstance(r, str) else r.text for r in self.results) + "]").encode()

    @property
    def all_busy(self) -> bool:
        return all(isinstance(r, QueryResult) and r.busy for r in self.results)


class BatchRunner:
    """Runs batches for the HTTP front: every element read and resolved,
    the batch checked against its limits, then its operations run at once
    (as separate requests would be; a client that needs one operation's
    effect before another's sends them separately)."""

    VIA = "http POST /graphql batch"

    def __init__(self, gateway: Gateway, persisted: PersistedQueries | None,
                 max_operations: int = DEFAULT_MAX_OPERATIONS) -> None:
        if max_operations < 1:
            raise ValueError("a batch must be allowed at least one operation")
        self.gateway = gateway
        self.persisted = persisted
        self.max_operations = max_operations

    async def run(self, elements: Sequence[Any]) -> Batch:
        if not elements:
            raise BatchRefused("the batch is empty: send at least one request in the array")
        if len(elements) > self.max_operations:
            raise BatchRefused(f"the batch holds {len(elements)} operations; at most {self.max_operations} "
                               "are allowed in one batch")
        ready: list[GraphQLRequest | str] = []
        for element in elements:
            try:
                request = request_of(element)
                ready.append(GraphQLRequest(request.text(self.persisted), request.variables, request.operation_name))
            except ValueError as error:
                ready.append(error_text(error))
        await self._check_calls([r for r in ready if isinstance(r, GraphQLRequest)])
        results: list[QueryResult | str] = list(await asyncio.gather(*(
            self.gateway.execute(r.query or "", r.variables, via=self.VIA, operation_name=r.operation_name)
            if isinstance(r, GraphQLRequest) else _done(r) for r in ready)))
        return Batch(results)

    async def _check_calls(self, requests: list[GraphQLRequest]) -> None:
        limit = self.gateway.limits.max_tool_calls
        if limit is None:
            return
        total = 0
        for request in requests:
            total += await self.gateway.planned_tool_calls(request.query or "", request.variables,
                                                           request.operation_name)
            if total > limit:
                raise BatchRefused(f"the batch would make more than {limit} tool calls, the limit for one "
                                   "request and for all the operations of a batch together")


async def _done(text: str) -> str:
    return text
