"""The kit's JSON writer answers exactly as ``json.dumps(allow_nan=False)``
would (value or error), whatever orjson does differently."""

from __future__ import annotations

import dataclasses
import datetime
import enum
import functools
import json
import math
from typing import Any

import pytest
from hypothesis import given, settings, strategies as st

from conftest import examples
from quorvel_graphql.json_text import JsonText, dumps, loads

JSON_VALUES = st.recursive(
    st.none() | st.booleans() | st.integers() | st.floats(allow_nan=False, allow_infinity=False) | st.text(),
    lambda inner: st.lists(inner, max_size=4) | st.dictionaries(st.text(max_size=4), inner, max_size=4),
    max_leaves=30,
)


@settings(max_examples=examples(300), deadline=None)
@given(JSON_VALUES)
def test_json_values_read_back_as_the_standard_library_writes_them(value: Any) -> None:
    assert loads(dumps(value)) == json.loads(json.dumps(value))


class Level(enum.IntEnum):
    HIGH = 3


@dataclasses.dataclass
class Point:
    x: int


def deep(levels: int) -> list[Any]:
    value: list[Any] = []
    for _ in range(levels):
        value = [value]
    return value


@pytest.mark.parametrize(
    "value",
    [{1: "int key"}, 2**80, Level.HIGH, deep(400), {"text": JsonText("[1]")}, [None, 1.5], "\ud800",
     float("nan"), [float("inf")], {"a": [None, -math.inf]}, {1, 2}, Point(1), datetime.date(2024, 1, 2),
     functools.partial(deep, 100_000)],  # built when run, not kept by the collection
    ids=["int-key", "big-int", "int-enum", "deep-400", "nested-marker", "null", "lone-surrogate", "nan",
         "inf", "null-and-inf", "set", "dataclass", "date", "too-deep"],
)
def test_where_orjson_differs_the_standard_library_decides(value: Any) -> None:
    value = value() if isinstance(value, functools.partial) else value
    try:
        expected: Any = json.loads(json.dumps(value, allow_nan=False))
    except (TypeError, ValueError, RecursionError) as error:
        with pytest.raises(type(error)) as raised:
            dumps(value)
        assert str(raised.value) == str(error)
    else:
        assert loads(dumps(value)) == expected


@pytest.mark.parametrize("text", ['"\\ud800"', "[" * 500 + "]" * 500, "{bad", ""])  # lone surrogate, deep, bad, empty
def test_reading_agrees_with_the_standard_library(text: str) -> None:
    try:
        expected = json.loads(text)
    except ValueError as error:
        with pytest.raises(ValueError, match=str(error).split(":")[0]):
            loads(text)
    else:
        assert loads(text) == expected


@pytest.mark.parametrize("text", ['{"b": 1, "a": [true, null]}', "not json at all", '"a string"'])
def test_marked_text_passes_unread(text: str) -> None:
    assert dumps(JsonText(text)) == text
    assert type(dumps(JsonText(text))) is str
    assert dumps(text) == json.dumps(text, ensure_ascii=False)  # a plain str stays a JSON string


@pytest.mark.parametrize("text", ["-9223372036854775809", "18446744073709551616", '{"n": [123456789012345678901234567890]}'])
def test_integers_past_64_bits_read_exactly(text: str) -> None:
    assert loads(text) == loads(text.encode()) == json.loads(text)
