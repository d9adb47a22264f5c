"""Type information for the ``_graphql_typed`` extension module."""

from collections.abc import Sequence
from typing import Self, final

from _graphql import SchemaEngine

__all__ = ["TypedSchema"]

@final
class TypedSchema:
    """Standard GraphQL in front of a SchemaEngine: a typed schema from the
    catalogue's tool schemas, validation, introspection, and results
    completed by selection sets."""

    def __new__(
        cls,
        engine: SchemaEngine,
        catalogue_json: str,
        *,
        max_depth: int = 32,
        max_selected_fields: int = 1000,
        max_tool_calls: int = 100,
        max_document_bytes: int = 1048576,
    ) -> Self: ...
    def execute(
        self,
        query: str,
        variables_json: str | None = None,
        operation_name: str | None = None,
        *,
        allow_mutations: bool = True,
        allow_introspection: bool = True,
    ) -> str: ...
    def tool_calls(
        self,
        query: str,
        variables_json: str | None = None,
        operation_name: str | None = None,
        *,
        allow_mutations: bool = True,
        allow_introspection: bool = True,
    ) -> int: ...
    def sdl(self, fields: Sequence[str] | None = None) -> str: ...
    def tool_count(self) -> int: ...
