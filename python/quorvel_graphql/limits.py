"""How much one request, and the gateway as a whole, may ask for.

One record for every front and both query languages: the gateway enforces
what it can see from outside the engine, and the typed GraphQL layer takes
the same record as keyword arguments (``typed_arguments``) for what only a
full parse can see.  Each default is small enough that one client cannot
starve the others and large enough that no ordinary query meets it.
"""

from __future__ import annotations

import argparse
import dataclasses
import re
from dataclasses import dataclass
from typing import Any

__all__ = ["RequestLimits", "DEFAULT_TIME_LIMIT", "add_limit_options", "limits_from_args", "parse_byte_count"]

DEFAULT_TIME_LIMIT = 60.0
"""Seconds a gateway gives each tool call, from the moment it is received,
when the command line names no limit (``--time-limit none`` turns it off)."""


@dataclass(frozen=True)
class RequestLimits:
    """Limits on requests; ``None`` turns one off.

    * ``max_tool_calls``: tool calls one request may make (aliases count,
      each one is a call).
    * ``max_calls_in_flight``: tool calls of all requests of one gateway
      running or waiting at once; a request that would pass it waits for
      room (within the time limit) rather than crowding out the others.
    * ``max_document_bytes``: size of the query text in UTF-8.
    * ``max_response_bytes``: size of the response document.
    * ``max_depth``, ``max_selected_fields``: nesting and number of selected
      fields, checked by the typed GraphQL layer in its validation.
    """

    max_tool_calls: int | None = 100
    max_calls_in_flight: int | None = 256
    max_document_bytes: int | None = 128 << 10
    max_response_bytes: int | None = 32 << 20
    max_depth: int | None = 16
    max_selected_fields: int | None = 1000

    def __post_init__(self) -> None:
        for item in dataclasses.fields(self):
            value = getattr(self, item.name)
            if value is not None and (isinstance(value, bool) or not isinstance(value, int) or value < 1):
                raise ValueError(f"{item.name} must be a positive whole number or None, not {value!r}")

    @classmethod
    def unlimited(cls) -> RequestLimits:
        return cls(**{item.name: None for item in dataclasses.fields(cls)})

    def typed_arguments(self) -> dict[str, int | None]:
        """The keyword arguments of the typed layer's binding."""
        return {"max_depth": self.max_depth, "max_selected_fields": self.max_selected_fields,
                "max_tool_calls": self.max_tool_calls, "max_document_bytes": self.max_document_bytes}


_SIZE = re.compile(r"\s*([0-9]+)\s*(?:([kKmMgG])(?:i?[bB])?|[bB])?\s*")
_OPTIONS: dict[str, tuple[str, str]] = {
    "max_tool_calls": ("N", "tool calls one request may make"),
    "max_calls_in_flight": ("N", "tool calls of all requests at once; more wait for room"),
    "max_document_bytes": ("BYTES", "size of a query's text"),
    "max_response_bytes": ("BYTES", "size of a response document"),
    "max_depth": ("N", "nesting of a query (typed GraphQL layer)"),
    "max_selected_fields": ("N", "selected fields of a query (typed GraphQL layer)"),
}


def parse_byte_count(text: str) -> int:
    """``65536``, ``512K``, ``4M``, ``1G`` as a number of bytes."""
    match = _SIZE.fullmatch(text)
    if match is None or int(match.group(1)) < 1:
        raise argparse.ArgumentTypeError(f"not a positive size in bytes (e.g. 65536, 512K, 4M): {text!r}")
    unit = (match.group(2) or "").lower()
    return int(match.group(1)) << {"": 0, "k": 10, "m": 20, "g": 30}[unit]


def _limit(kind: str) -> Any:
    def parse(text: str) -> int | None:
        if text.strip().lower() == "none":
            return None
        if kind == "BYTES":
            return parse_byte_count(text)
        if not (text.isascii() and text.isdigit()) or int(text) < 1:
            raise argparse.ArgumentTypeError(f"not a positive whole number or 'none': {text!r}")
        return int(text)

    return parse


def add_limit_options(parser: argparse.ArgumentParser) -> None:
    """``--max-tool-calls`` and the rest, each taking ``none`` to turn it off."""
    defaults = RequestLimits()
    group = parser.add_argument_group("request limits ('none' turns one off)")
    for name, (kind, text) in _OPTIONS.items():
        default = getattr(defaults, name)
        shown = _shown(default) if kind == "BYTES" else default
        group.add_argument(f"--{name.replace('_', '-')}", dest=name, metavar=kind, type=_limit(kind),
                           default=default, help=f"{text} (default {shown})")


def limits_from_args(args: argparse.Namespace) -> RequestLimits:
    return RequestLimits(**{name: getattr(args, name) for name in _OPTIONS})


def _shown(size: int | None) -> str:
    if size is None:
        return "none"
    for shift, unit in ((30, "G"), (20, "M"), (10, "K")):
        if size >= 1 << shift and size % (1 << shift) == 0:
            return f"{size >> shift}{unit}"
    return str(size)
