"""Type information for the ``_graphql`` extension module."""

from collections.abc import Sequence
from typing import Self, SupportsIndex, final

__all__ = ["SchemaEngine", "TypedSchema", "graphql_stub"]

@final
class SchemaEngine:
    """Minimal GraphQL schema engine exposed to Python."""

    def __new__(cls, catalogue_json: str | None = None) -> Self: ...
    @classmethod
    def build(cls, catalogue_json: str) -> SchemaEngine: ...
    @classmethod
    def from_tool_metadata(cls, catalogue_json: str) -> SchemaEngine: ...
    def describe(self) -> str: ...
    def tool_count(self) -> int: ...
    def attach_call_bridge(self) -> None: ...
    def detach_call_bridge(self) -> None: ...
    def receive_tool_call(self, timeout_ms: SupportsIndex = ...) -> str | None: ...
    def respond_tool_call(self, request_id: str, result_json: str) -> bool: ...
    def fail_tool_call(self, request_id: str, message: str) -> bool: ...
    def execute(self, query: str, variables_json: str | None = None) -> str: ...

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

def graphql_stub() -> str: ...
