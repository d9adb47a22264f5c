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
import re
from typing import Any

import orjson

__all__ = ["JsonText", "dumps", "loads", "loads_engine_text"]

# Subclasses, dataclasses and dates go to the standard library, which refuses
# them as json.dumps always did (or, for str and int subclasses, writes them).
_OPTIONS = orjson.OPT_PASSTHROUGH_SUBCLASS | orjson.OPT_PASSTHROUGH_DATACLASS | orjson.OPT_PASSTHROUGH_DATETIME


# The shortest integer orjson may widen to a float: 2**63 has 19 digits.
_LONG_DIGITS_TEXT = re.compile(r"[0-9]{19}")
_LONG_DIGITS_BYTES = re.compile(rb"[0-9]{19}")


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
    """The value of JSON text, exactly as the standard library reads it.

    orjson reads an integer past 64 bits as a float, so text with a run of
    19 digits (where such an integer would be) is read by the standard
    library, as is text orjson refuses (a lone surrogate's escape, nesting
    past orjson's limit); the standard library's ValueError says what is
    wrong with text that is not JSON."""
    try:
        value = orjson.loads(text)
    except orjson.JSONDecodeError:
        return json.loads(text)
    if (_LONG_DIGITS_TEXT if isinstance(text, str) else _LONG_DIGITS_BYTES).search(text):
        return json.loads(text)
    return value


def loads_engine_text(text: str) -> Any:
    """The value of JSON text the engine wrote.  The engine holds integers
    in 64 bits (a wider one is a float to it, written as one), so orjson
    reads its text exactly and no scan for long integers is needed; what
    orjson refuses is still the standard library's to read or refuse."""
    try:
        return orjson.loads(text)
    except orjson.JSONDecodeError:
        return json.loads(text)
