// A GraphQL executable document (GraphQL, October 2021) as records in one
// pool, and the parser that reads it.
//
// Rules of use:
//  1. A Document owns its pool and a copy of the source text. Every node,
//     name and string is a view into that pool, valid while the Document
//     lives; moving the Document keeps them valid.
//  2. Nodes are plain records that refer to each other by pointer into the
//     pool; lists are NodeList views (pointer and count). Nothing in a node
//     owns memory, so nothing is freed node by node.
//  3. Names and literal texts are string_views. A string value is already
//     decoded (escapes resolved, block strings dedented); an Int or Float
//     value keeps its literal text, which the reader of the value converts.
//  4. An absent optional part is empty: an empty string_view for a missing
//     alias, name or type condition, nullptr for a missing default value,
//     an empty NodeList for missing arguments, directives or selection set
//     (the grammar forbids an empty `{}`, so empty always means absent).
//  5. Every node carries the line and column (1-based, columns counted in
//     characters, as graphql-core counts them) of its first token, as
//     GraphQL errors report them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <memory_resource>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <variant>
#include <vector>

namespace quorvel::graphql {

struct Location {
    std::uint32_t line = 0;
    std::uint32_t column = 0;
    friend bool operator==(const Location&, const Location&) = default;
};

// What a response's error reports, for clients to branch on: the error's
// extensions.code. Most GraphQL servers' clients know the first five; the
// limits and the tools' failures have codes of their own. The README's
// table of codes is the same list.
enum class ErrorCode : std::uint8_t {
    parse_failed,          // the document is not GraphQL
    validation_failed,     // it is, but asks what the schema does not offer
    bad_user_input,        // a variable or argument value does not fit its type
    bad_request,           // the request around the document (variables JSON, GET, subscriptions)
    operation_not_found,   // no operation, or not the one operationName names
    query_too_large,       // the request limits, each its own
    query_too_deep,
    too_many_fields,
    too_many_tool_calls,
    tool_error,            // the tool failed or answered no usable value
    invalid_tool_result,   // the tool's answer does not fit its output type
    internal,              // the engine refused the lowered request
};

constexpr std::string_view error_code_name(ErrorCode code) {
    switch (code) {
        case ErrorCode::parse_failed: return "GRAPHQL_PARSE_FAILED";
        case ErrorCode::validation_failed: return "GRAPHQL_VALIDATION_FAILED";
        case ErrorCode::bad_user_input: return "BAD_USER_INPUT";
        case ErrorCode::bad_request: return "BAD_REQUEST";
        case ErrorCode::operation_not_found: return "OPERATION_RESOLUTION_FAILURE";
        case ErrorCode::query_too_large: return "QUERY_TOO_LARGE";
        case ErrorCode::query_too_deep: return "QUERY_TOO_DEEP";
        case ErrorCode::too_many_fields: return "TOO_MANY_FIELDS";
        case ErrorCode::too_many_tool_calls: return "TOO_MANY_TOOL_CALLS";
        case ErrorCode::tool_error: return "TOOL_ERROR";
        case ErrorCode::invalid_tool_result: return "INVALID_TOOL_RESULT";
        case ErrorCode::internal: return "INTERNAL_SERVER_ERROR";
    }
    return "INTERNAL_SERVER_ERROR";
}

// A request error as GraphQL responses carry it: the message in
// graphql-js's wording, where in the document it points, and its code. The
// lexer and parser make most of them, hence the default.
struct GraphqlError {
    std::string message;
    std::vector<Location> locations;
    ErrorCode code = ErrorCode::parse_failed;
};

// A failure that is a GraphqlError, in the style of common/result.hpp.
template <class T>
class [[nodiscard]] GraphqlResult {
public:
    GraphqlResult(T value) : state_(std::in_place_index<0>, std::move(value)) {}
    GraphqlResult(GraphqlError error) : state_(std::in_place_index<1>, std::move(error)) {}

    bool ok() const noexcept { return state_.index() == 0; }
    explicit operator bool() const noexcept { return ok(); }

    T& value() & { return std::get<0>(state_); }
    const T& value() const& { return std::get<0>(state_); }
    T&& value() && { return std::get<0>(std::move(state_)); }
    const GraphqlError& error() const& { return std::get<1>(state_); }
    GraphqlError&& error() && { return std::get<1>(std::move(state_)); }

private:
    std::variant<T, GraphqlError> state_;
};

// A view of consecutive nodes in the pool. Works with incomplete element
// types, which the recursive records below need.
template <class T>
struct NodeList {
    const T* items = nullptr;
    std::uint32_t count = 0;

    const T* begin() const { return items; }
    const T* end() const { return items + count; }
    std::size_t size() const { return count; }
    bool empty() const { return count == 0; }
    const T& operator[](std::size_t index) const { return items[index]; }
};

struct Value;
struct ObjectField;

enum class ValueKind : std::uint8_t { variable, int_value, float_value, string, boolean, null, enum_value, list, object };

// Value[Const]: Variable | IntValue | FloatValue | StringValue | BooleanValue
//              | NullValue | EnumValue | ListValue | ObjectValue
struct Value {
    ValueKind kind = ValueKind::null;
    bool boolean = false;  // boolean: its value
    bool block = false;    // string: written as a block string
    Location location;
    // variable: its name without '$'; int_value/float_value: the literal as
    // written; string: the decoded content; enum_value: the name.
    std::string_view text;
    NodeList<Value> list;           // list: the items
    NodeList<ObjectField> fields;   // object: the fields in document order
};

// ObjectField: Name : Value
struct ObjectField {
    std::string_view name;
    Location location;
    Value value;
};

// Argument: Name : Value
struct Argument {
    std::string_view name;
    Location location;
    Value value;
};

// Directive: @ Name Arguments?  (DirectiveNode: the schema has its own Directive records)
struct DirectiveNode {
    std::string_view name;
    Location location;  // of the '@'
    NodeList<Argument> arguments;
};

enum class TypeRefKind : std::uint8_t { named, list, non_null };

// Type: NamedType | ListType | NonNullType
struct TypeRef {
    TypeRefKind kind = TypeRefKind::named;
    Location location;
    std::string_view name;            // named: the type's name
    const TypeRef* of_type = nullptr;  // list, non_null: the wrapped type
};

enum class SelectionKind : std::uint8_t { field, fragment_spread, inline_fragment };

// Selection: Field | FragmentSpread | InlineFragment
struct Selection {
    SelectionKind kind = SelectionKind::field;
    Location location;
    std::string_view alias;           // field: empty when none
    std::string_view name;            // field: its name; fragment_spread: the fragment's name
    Location name_location;
    std::string_view type_condition;  // inline_fragment: empty when none
    Location type_condition_location;
    NodeList<Argument> arguments;     // field
    NodeList<DirectiveNode> directives;
    NodeList<Selection> selection_set;  // field (empty for a leaf), inline_fragment
    Location selection_set_location;    // of the '{', when there is a selection set

    std::string_view response_key() const { return alias.empty() ? name : alias; }
};

// VariableDefinition: Variable : Type DefaultValue? Directives[Const]?
struct VariableDefinition {
    std::string_view name;  // without '$'
    Location location;      // of the '$'
    Location name_location;
    const TypeRef* type = nullptr;
    const Value* default_value = nullptr;
    NodeList<DirectiveNode> directives;
};

enum class OperationKind : std::uint8_t { query, mutation, subscription };

// OperationDefinition: SelectionSet
//                    | OperationType Name? VariableDefinitions? Directives? SelectionSet
struct OperationDefinition {
    OperationKind kind = OperationKind::query;
    std::string_view name;  // empty for an anonymous operation
    Location location;      // of the first token (the '{' of a shorthand query)
    Location name_location;
    NodeList<VariableDefinition> variables;
    NodeList<DirectiveNode> directives;
    NodeList<Selection> selection_set;
};

// FragmentDefinition: fragment FragmentName TypeCondition Directives? SelectionSet
struct FragmentDefinition {
    std::string_view name;
    Location location;  // of the `fragment` keyword
    Location name_location;
    std::string_view type_condition;
    Location type_condition_location;
    NodeList<DirectiveNode> directives;
    NodeList<Selection> selection_set;
};

// A type system definition or extension met in a document: it is parsed
// over (not kept) so that validation can refuse it as not executable.
struct ForeignDefinition {
    std::string_view name;  // empty for `schema` definitions and extensions
    Location location;
};

// How far parsing may go before it refuses the document.
struct ParseLimits {
    std::size_t max_document_bytes = 1 << 20;
    // Selection sets, list and object values and type wrappers each nest at
    // most this deep; the parser recurses once per level.
    std::size_t max_nesting = 128;
    // Bounds the work a document of many small tokens can ask for.
    std::size_t max_tokens = 200000;
};

// Document: Definition+ (executable definitions; others are recorded as
// ForeignDefinition). Move-only: nodes point into the pool it owns.
class Document {
public:
    Document() = default;
    Document(Document&&) noexcept = default;
    Document& operator=(Document&&) noexcept = default;
    Document(const Document&) = delete;
    Document& operator=(const Document&) = delete;

    NodeList<OperationDefinition> operations;  // in document order
    NodeList<FragmentDefinition> fragments;    // in document order
    NodeList<ForeignDefinition> foreign_definitions;

    // The first fragment of that name, or nullptr.
    const FragmentDefinition* find_fragment(std::string_view name) const;
    // The operation a request runs: the one named `operation_name`, or the
    // only one when no name is given. nullptr when there is none such
    // (execution reports "Unknown operation named ..." / "Must provide
    // operation name if query contains multiple operations.").
    const OperationDefinition* find_operation(std::string_view operation_name) const;
    std::string_view source() const { return source_; }

private:
    friend class Parser;
    friend GraphqlResult<Document> parse_document(std::string_view source, const ParseLimits& limits);
    std::unique_ptr<std::pmr::monotonic_buffer_resource> pool_;
    std::string_view source_;  // the pool's copy of the text
    std::unordered_map<std::string_view, const FragmentDefinition*> fragment_index_;
};

// Reads an executable document. A syntax error is reported in graphql-js's
// wording ("Syntax Error: Expected Name, found <EOF>.") with its location.
GraphqlResult<Document> parse_document(std::string_view source, const ParseLimits& limits = {});

}  // namespace quorvel::graphql
