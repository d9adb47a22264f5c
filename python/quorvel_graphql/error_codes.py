"""The codes a response's errors carry as ``extensions.code``: what clients
branch on instead of the message text.

The first five are the ones most GraphQL servers use and their clients
already know; the limits, the tools' failures and the gateway's own
refusals have codes of their own.  The typed layer writes its codes in C++
(``ErrorCode`` in ``src/graphql/language/ast.hpp``) with these same names;
the gateway's refusals take theirs from here.  The README's table lists
them all.
"""

from __future__ import annotations

from enum import StrEnum

__all__ = ["ErrorCode"]


class ErrorCode(StrEnum):
    GRAPHQL_PARSE_FAILED = "GRAPHQL_PARSE_FAILED"
    """The document is not GraphQL (a syntax error)."""
    GRAPHQL_VALIDATION_FAILED = "GRAPHQL_VALIDATION_FAILED"
    """The document asks for what the schema does not offer."""
    BAD_USER_INPUT = "BAD_USER_INPUT"
    """A variable's or argument's value does not fit its type."""
    BAD_REQUEST = "BAD_REQUEST"
    """The request around the document is wrong: variables that are not a
    JSON object, a mutation over GET, a subscription, a malformed HTTP
    request."""
    OPERATION_RESOLUTION_FAILURE = "OPERATION_RESOLUTION_FAILURE"
    """No operation to run, or none by the name ``operationName`` gives."""
    QUERY_TOO_LARGE = "QUERY_TOO_LARGE"
    """The query text (or the request body) is larger than allowed."""
    QUERY_TOO_DEEP = "QUERY_TOO_DEEP"
    """Selections, fragment spreads or values nest deeper than allowed."""
    TOO_MANY_FIELDS = "TOO_MANY_FIELDS"
    """The operation selects more fields than allowed."""
    TOO_MANY_TOOL_CALLS = "TOO_MANY_TOOL_CALLS"
    """The operation calls more tools than one request (or the gateway at
    once) may."""
    RESPONSE_TOO_LARGE = "RESPONSE_TOO_LARGE"
    """The response would be larger than allowed."""
    UNAUTHENTICATED = "UNAUTHENTICATED"
    """The gateway wants a bearer token the request did not bring."""
    FORBIDDEN = "FORBIDDEN"
    """The request comes from a host or page the gateway does not serve."""
    GATEWAY_BUSY = "GATEWAY_BUSY"
    """The gateway has no room for the request now (or this client tried
    too many tokens); worth a retry later."""
    SHUTTING_DOWN = "SHUTTING_DOWN"
    """The gateway is stopping."""
    TOOL_ERROR = "TOOL_ERROR"
    """A tool failed, or answered no value its field can use."""
    INVALID_TOOL_RESULT = "INVALID_TOOL_RESULT"
    """A tool's answer does not fit its output type (a field null in the
    answer where its type forbids it, a text where a number belongs)."""
    INTERNAL_SERVER_ERROR = "INTERNAL_SERVER_ERROR"
    """The engine refused the request the typed layer made of the query."""
