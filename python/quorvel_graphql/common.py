"""Small rules every layer of the package shares: how a failure reads, what
a time limit may be, the engine's tool list, and the JSON shapes passed to
and read from the engine.  Of the package this module imports only the
leaf ``json_text``, so the host kit, the MCP adapter, the command line and
the gateway can all lean on it without leaning on each other."""

from __future__ import annotations

import json
from collections.abc import Iterable, Mapping
from typing import TYPE_CHECKING, Any

from . import json_text

if TYPE_CHECKING:
    from _graphql import SchemaEngine

__all__ = [
    "MAX_TIME_LIMIT",
    "JsonObject",
    "check_time_limit",
    "describe_exception",
    "engine_tools",
    "failed_fields",
    "tool_error_paths",
    "variables_json",
    "with_input_schemas",
]

JsonObject = dict[str, Any]

# A limit is turned into milliseconds for the receive timeout; past this the
# arithmetic stops being exact, and no tool call is meant to wait a year.
MAX_TIME_LIMIT = 365 * 24 * 3600.0


def describe_exception(error: BaseException) -> str:
    """The one-line message a failed call carries: ``"ValueError: bad path"``.
    Never raises, whatever the exception's ``__str__`` does."""
    name = type(error).__name__
    try:
        text = str(error)
    except Exception:
        text = "(its message could not be read)"
    return f"{name}: {text}" if text else name


def check_time_limit(limit: float | None, what: str = "time_limit") -> float | None:
    """``limit`` as seconds, or None; ValueError unless positive and finite."""
    if limit is None:
        return None
    try:
        seconds = float(limit)
    except (TypeError, ValueError):
        raise ValueError(f"{what} must be a number of seconds, not {limit!r}") from None
    if not (0 < seconds <= MAX_TIME_LIMIT):
        raise ValueError(f"{what} must be a positive, finite number of seconds (at most a year), not {limit!r}")
    return seconds


def engine_tools(engine: SchemaEngine) -> list[JsonObject]:
    """The engine's catalogue, one dict per tool field: ``server``, ``tool``,
    ``field`` (the GraphQL field name), ``description``, ``readOnly`` and
    ``inputSchema`` (None: the catalogue does not carry schemas).

    Field names come from the engine itself, so they always agree with what a
    query must use; its ``search`` field is the one way the module exposes them.
    """
    document = json.loads(engine.execute("{ search }"))
    return [
        {"server": hit["server"], "tool": hit["tool"], "field": hit["field"],
         "description": hit.get("description", ""), "readOnly": bool(hit.get("readOnly")), "inputSchema": None}
        for hit in document["data"]["search"]
    ]


def with_input_schemas(
    tools: Iterable[Mapping[str, Any]], schemas: Mapping[tuple[str, str], JsonObject]
) -> list[JsonObject]:
    """``tools`` (as :func:`engine_tools` lists them) with the JSON Schema of
    each one's arguments where ``schemas`` knows it, else None."""
    return [{**tool, "inputSchema": schemas.get((tool["server"], tool["tool"]))} for tool in tools]


def variables_json(variables: Mapping[str, Any] | str | None) -> str | None:
    """Query variables as the JSON text the engine takes (text is passed on
    as it is); ValueError saying why when they cannot be JSON.  ASCII escapes
    let the engine itself report a lone surrogate as a variables error."""
    if variables is None or isinstance(variables, str):
        return variables
    try:
        return json_text.dumps(dict(variables))
    except RecursionError:
        raise ValueError("the variables nest too deeply") from None
    except (TypeError, ValueError) as error:
        raise ValueError(f"the variables are not JSON: {error}") from None


def failed_fields(document: Mapping[str, Any]) -> list[str]:
    """The top-level fields of a response document whose tool call failed
    (their value is an error result, ``"isError": true``)."""
    data = document.get("data")
    if not isinstance(data, Mapping):
        return []
    return [name for name, value in data.items() if isinstance(value, Mapping) and value.get("isError") is True]


TOOL_ERROR = "TOOL_ERROR"


def tool_error_paths(document: Mapping[str, Any]) -> list[list[Any]]:
    """The paths of a typed response's errors that are failed tool calls
    (``extensions.code`` ``"TOOL_ERROR"``), not problems of the request."""
    paths: list[list[Any]] = []
    for error in document.get("errors") or ():
        extensions = error.get("extensions") if isinstance(error, Mapping) else None
        if isinstance(extensions, Mapping) and extensions.get("code") == TOOL_ERROR:
            paths.append(list(error.get("path") or []))
    return paths
