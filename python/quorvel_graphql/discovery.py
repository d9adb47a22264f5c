"""Discovery: what an agent needs to write a correct query without listing
hundreds of tools.

Both functions are pure and take the tool list in the shape the host kit
gives (``McpServers.tools()``, ``ToolHost.catalogue_tools()``): dicts with
``field``, ``server``, ``tool``, ``description``, ``readOnly`` and
``inputSchema`` (a JSON Schema object, or None when the server gave none).

:func:`describe_sdl` renders an SDL-style ``type Query`` in which every tool
field has typed arguments derived from its JSON Schema; :func:`search_tools`
filters the list by words and server.
"""

from __future__ import annotations

import json
import math
import re
from collections.abc import Iterable, Mapping
from typing import Any

__all__ = ["describe_sdl", "field_signature", "graphql_type", "search_tools"]

JsonObject = dict[str, Any]

_NAME = re.compile(r"[_A-Za-z][_0-9A-Za-z]*\Z")
_SCALARS = {"string": "String", "integer": "Int", "number": "Float", "boolean": "Boolean"}
# Deeper schemas than this are real but useless to spell out as nested lists;
# the bound also keeps a hostile schema from exhausting the stack.
_MAX_DEPTH = 16

_PREAMBLE = '''\
"""Any JSON value: a tool's whole result, or an argument of a type GraphQL cannot spell."""
scalar JSON

"""The tool only reads; calling it changes nothing."""
directive @readOnly on FIELD_DEFINITION

"""The tool may change something; a read-only gateway refuses to call it."""
directive @mutation on FIELD_DEFINITION

"""A tool server (sub-selections are optional: the whole object is returned)."""
type Server {
  name: String!
  description: String!
  toolCount: Int!
  readOnlyCount: Int!
}

"""A tool of the catalogue (sub-selections are optional: the whole object is returned)."""
type Tool {
  field: String!
  server: String!
  tool: String!
  description: String!
  readOnly: Boolean!
}
'''

_BUILT_INS = '''\
  """Every tool server with its tool counts."""
  servers: [Server!]!
  """Every tool of the catalogue: field name, server, tool, description, read-only flag."""
  search: [Tool!]!
'''


def describe_sdl(tools: Iterable[Mapping[str, Any]]) -> str:
    """SDL-style description of the built-in fields and of every tool field,
    in the order given.  Every tool field returns its tool's whole result
    (``JSON``); arguments are typed from the tool's ``inputSchema``."""
    fields = "".join(_describe_field(tool) for tool in tools)
    return f"{_PREAMBLE}\ntype Query {{\n{_BUILT_INS}{fields}}}\n"


def search_tools(
    tools: Iterable[Mapping[str, Any]], text: str | None = None, server: str | None = None
) -> list[JsonObject]:
    """Tools of ``server`` (any server when None) whose field name, tool name
    or description contains every word of ``text``, ignoring case."""
    words = (text or "").casefold().split()
    wanted_server = server.casefold() if server else None
    matches: list[JsonObject] = []
    for tool in tools:
        if wanted_server is not None and str(tool.get("server", "")).casefold() != wanted_server:
            continue
        haystack = " ".join(str(tool.get(key) or "") for key in ("field", "tool", "description")).casefold()
        if all(word in haystack for word in words):
            matches.append(dict(tool))
    return matches


def field_signature(tool: Mapping[str, Any]) -> str:
    """``field(arg: Type!, ...)``: one line of a short listing."""
    arguments, _ = _arguments(tool.get("inputSchema"), with_notes=False)
    listed = ", ".join(line.strip() for line in arguments)
    return f"{tool.get('field')}({listed})" if listed else str(tool.get("field"))


def graphql_type(schema: Any, required: bool = False) -> str:
    """The GraphQL input type for a JSON Schema: the four scalars, lists of
    them, and ``JSON`` for everything else; ``!`` when required and the
    schema does not allow null."""
    spelled, nullable = _type_of(schema, 0)
    return f"{spelled}!" if required and not nullable else spelled


def _type_of(schema: Any, depth: int) -> tuple[str, bool]:
    """(type, whether null is allowed)."""
    if not isinstance(schema, Mapping) or depth > _MAX_DEPTH:
        return "JSON", True
    nullable = False
    kind = schema.get("type")
    if isinstance(kind, list):
        nullable = "null" in kind
        kinds = [k for k in kind if k != "null"]
        kind = kinds[0] if len(kinds) == 1 else None
    elif kind is None:
        single = _single_option(schema)
        if single is not None:
            return _type_of(single[0], depth + 1)[0], single[1]
    if "enum" in schema or "const" in schema:
        return "JSON", nullable
    if kind == "array":
        items = schema.get("items")
        item_type = _type_of(items, depth + 1)[0] if isinstance(items, Mapping) else "JSON"
        return f"[{item_type}]", nullable
    return _SCALARS.get(kind, "JSON") if isinstance(kind, str) else "JSON", nullable


def _single_option(schema: Mapping[str, Any]) -> tuple[Any, bool] | None:
    """The one non-null branch of an ``anyOf``/``oneOf`` (Pydantic spells
    ``Optional[str]`` that way), and whether null was another branch."""
    for key in ("anyOf", "oneOf"):
        options = schema.get(key)
        if not isinstance(options, list):
            continue
        real = [o for o in options if not (isinstance(o, Mapping) and o.get("type") == "null")]
        if len(real) == 1:
            return real[0], len(real) < len(options)
    return None


def _describe_field(tool: Mapping[str, Any]) -> str:
    name = str(tool.get("field") or "")
    if not _NAME.match(name):
        return f"  # {json.dumps(name)}: not a GraphQL field name\n"
    lines = _description_lines(str(tool.get("description") or ""), "  ")
    arguments, unwritable = _arguments(tool.get("inputSchema"))
    lines.extend(f"  # argument {json.dumps(arg)} cannot be written in a query: not a GraphQL name"
                 for arg in unwritable)
    mark = "@readOnly" if tool.get("readOnly") is True else "@mutation"
    if not arguments:
        lines.append(f"  {name}: JSON {mark}")
    else:
        lines.append(f"  {name}(")
        lines.extend(arguments)
        lines.append(f"  ): JSON {mark}")
    return "\n".join(lines) + "\n"


def _arguments(schema: Any, with_notes: bool = True) -> tuple[list[str], list[str]]:
    if not isinstance(schema, Mapping) or not isinstance(schema.get("properties"), Mapping):
        return [], []
    required = schema.get("required")
    required_names = {r for r in required if isinstance(r, str)} if isinstance(required, list) else set()
    lines: list[str] = []
    unwritable: list[str] = []
    for name, prop in schema["properties"].items():
        if not isinstance(name, str) or not _NAME.match(name):
            unwritable.append(str(name))
            continue
        if with_notes:
            lines.extend(_description_lines(_argument_note(prop), "    "))
        default = _default_literal(prop)
        suffix = f" = {default}" if default is not None else ""
        lines.append(f"    {name}: {graphql_type(prop, name in required_names)}{suffix}")
    return lines, unwritable


def _argument_note(prop: Any) -> str:
    if not isinstance(prop, Mapping):
        return ""
    parts = [str(prop.get("description") or prop.get("title") or "").strip()]
    if isinstance(prop.get("enum"), list):
        parts.append("One of: " + ", ".join(json.dumps(v, ensure_ascii=False) for v in prop["enum"]) + ".")
    elif "const" in prop:
        parts.append(f"Always {json.dumps(prop['const'], ensure_ascii=False)}.")
    return " ".join(p for p in parts if p)


def _default_literal(prop: Any) -> str | None:
    if not isinstance(prop, Mapping) or "default" not in prop:
        return None
    return _literal(prop["default"], 0)


def _literal(value: Any, depth: int) -> str | None:
    """A JSON value as a GraphQL value literal, or None when it has none
    (object keys that are not names, non-finite numbers, too deep)."""
    if depth > _MAX_DEPTH:
        return None
    if value is None or isinstance(value, bool):
        return json.dumps(value)
    if isinstance(value, int | str):
        return json.dumps(value, ensure_ascii=False)
    if isinstance(value, float):
        return json.dumps(value) if math.isfinite(value) else None
    if isinstance(value, list):
        items = [_literal(v, depth + 1) for v in value]
        return None if None in items else "[" + ", ".join(items) + "]"  # type: ignore[arg-type]
    if isinstance(value, Mapping):
        pairs = []
        for key, item in value.items():
            literal = _literal(item, depth + 1)
            if not isinstance(key, str) or not _NAME.match(key) or literal is None:
                return None
            pairs.append(f"{key}: {literal}")
        return "{" + ", ".join(pairs) + "}"
    return None


def _description_lines(text: str, indent: str) -> list[str]:
    text = text.strip()
    if not text:
        return []
    if "\n" not in text and "\r" not in text:
        return [indent + json.dumps(text, ensure_ascii=False)]
    body = text.replace("\r\n", "\n").replace("\r", "\n").replace('"""', '\\"""')
    return [indent + '"""', *(indent + line if line else "" for line in body.split("\n")), indent + '"""']
