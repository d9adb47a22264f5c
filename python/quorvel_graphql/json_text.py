"""JSON in and out of the host kit, with as little Python work as possible.

orjson reads and writes where it can; wherever it would answer differently
from the standard library (NaN and infinities written as null, integers past
64 bits, keys that are not strings, subclasses, nesting past its own limit)
the standard library decides, so results and error messages stay those of
``json.dumps(value, allow_nan=False)``.  :class:`JsonText` marks text that is
JSON already, so a handler that has it can hand it on unread.
"""

from __future__ import annotations

import json
from typing import Any

import orjson

__all__ = ["JsonText", "dumps", "loads"]

# Subclasses, dataclasses and dates go to the standard library, which refuses
# them as json.dumps always did (or, for str and int subclasses, writes them).
_OPTIONS = orjson.OPT_PASSTHROUGH_SUBCLASS | orjson.OPT_PASSTHROUGH_DATACLASS | orjson.OPT_PASSTHROUGH_DATETIME


class JsonText(str):
    """Text that is one JSON value already: a handler's result of this type
    is answered as it is, without being read and written again (a plain
    ``str`` result is still a JSON string).  The engine reads it and fails
    the call with a clear message if it is not JSON."""

    __slots__ = ()


def dumps(value: Any) -> str:
    """``value`` as compact JSON text; raises what ``json.dumps(value,
    allow_nan=False)`` raises for a value that is not JSON."""
    if isinstance(value, JsonText):
        return str.__str__(value)
    try:
        text = orjson.dumps(value, option=_OPTIONS)
    except (TypeError, orjson.JSONEncodeError):
        return json.dumps(value, allow_nan=False, separators=(",", ":"))
    if b"null" in text and value is not None:  # maybe a NaN or an infinity that orjson wrote as null
        return json.dumps(value, allow_nan=False, separators=(",", ":"))
    return text.decode()


def loads(text: str | bytes) -> Any:
    """The value of JSON text; the standard library reads what orjson
    refuses (a lone surrogate's escape, nesting past orjson's limit) and
    raises its ValueError for text that is not JSON."""
    try:
        return orjson.loads(text)
    except orjson.JSONDecodeError:
        return json.loads(text)
