// The typed schema that standard GraphQL clients see: types, fields,
// arguments, enum values and directives as records in one pool, built from
// the same catalogue JSON as the engine (each tool's inputSchema and
// outputSchema read again), with the introspection meta-types as ordinary
// types of the pool.
//
// Records refer to each other by position (TypeId, and Range into the
// pool's vectors); every text is a view into the schema's own text pool,
// so a Schema is self-contained, move-only and immutable once built.
//
// Wrapper types (List, NonNull) are records too and are interned: two type
// references are the same type exactly when their TypeIds are equal.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "catalogue/catalogue.hpp"
#include "common/result.hpp"

namespace quorvel::graphql {

using TypeId = std::uint32_t;
inline constexpr TypeId no_type = UINT32_MAX;
inline constexpr std::uint32_t no_tool = UINT32_MAX;

// Named kinds first, then the two wrappers; the order is the one of
// introspection's __TypeKind.
enum class TypeKind : std::uint8_t { scalar, object, interface, union_type, enum_type, input_object, list, non_null };

// A run of records in one of the schema's vectors.
struct Range {
    std::uint32_t first = 0;
    std::uint32_t count = 0;
    std::uint32_t end() const { return first + count; }
};

// Where execution finds a field's value.
enum class FieldSource : std::uint8_t {
    member,         // the member `json_name` of the parent JSON object
    tool,           // a call of tools()[tool] through the engine
    servers,        // the engine's built-in views
    search,
    tool_result,    // a field of ToolResult, read out of a tool's reply
    typename_meta,  // __typename
    schema_meta,    // __schema
    type_meta,      // __type(name:)
    introspection,  // a field of a __Schema/__Type/... meta-type
};

struct Type {
    TypeKind kind = TypeKind::scalar;
    std::string_view name;  // empty for List and NonNull
    std::string_view description;
    TypeId of_type = no_type;  // the wrapped type of List and NonNull
    Range fields;              // object: into Schema::fields()
    Range input_fields;        // input object: into Schema::input_values()
    Range enum_values;         // enum: into Schema::enum_values()
    std::string_view specified_by_url;
    TypeId list_of = no_type;      // the interned [this], once made
    TypeId non_null_of = no_type;  // the interned this!, once made
    // False for a built-in scalar nothing refers to: as in graphql-js, such
    // a type is not part of the schema (not found by name, not introspected).
    bool listed = true;
};

// An argument of a field or directive, or a field of an input object.
struct InputValue {
    std::string_view name;
    std::string_view json_name;  // the JSON Schema property it fills (same as name unless mapped)
    std::string_view description;
    TypeId type = no_type;
    std::optional<std::string_view> default_literal;  // GraphQL literal text, as SDL and introspection show it
    std::optional<std::string_view> default_json;     // the same value as JSON text, as a tool receives it
};

struct Field {
    std::string_view name;
    std::string_view json_name;  // the result member it reads (same as name unless mapped)
    std::string_view description;
    TypeId type = no_type;
    Range arguments;  // into Schema::input_values()
    FieldSource source = FieldSource::member;
    std::uint32_t tool = no_tool;  // tool fields: into Schema::tools()
    std::optional<std::string_view> deprecation_reason;
};

struct EnumValue {
    std::string_view name;
    std::string_view json_value;  // the JSON string the tool exchanges
    std::string_view description;
    std::optional<std::string_view> deprecation_reason;
};

enum DirectiveLocation : std::uint32_t {
    location_query = 1u << 0,
    location_mutation = 1u << 1,
    location_subscription = 1u << 2,
    location_field = 1u << 3,
    location_fragment_definition = 1u << 4,
    location_fragment_spread = 1u << 5,
    location_inline_fragment = 1u << 6,
    location_variable_definition = 1u << 7,
    location_schema = 1u << 8,
    location_scalar = 1u << 9,
    location_object = 1u << 10,
    location_field_definition = 1u << 11,
    location_argument_definition = 1u << 12,
    location_interface = 1u << 13,
    location_union = 1u << 14,
    location_enum = 1u << 15,
    location_enum_value = 1u << 16,
    location_input_object = 1u << 17,
    location_input_field_definition = 1u << 18,
};
inline constexpr std::uint32_t directive_location_count = 19;
// The introspection names of the locations, by bit position.
std::string_view directive_location_name(std::uint32_t bit);

struct Directive {
    std::string_view name;
    std::string_view description;
    std::uint32_t locations = 0;  // DirectiveLocation bits
    Range arguments;              // into Schema::input_values()
    bool repeatable = false;
};

// The tool behind a field of Query or Mutation.
struct ToolBinding {
    std::string_view engine_field;  // the field name the engine's language knows it by
    std::string_view server_id;
    std::string_view tool_name;
    bool read_only = true;
    // True when the result type comes from the tool's outputSchema: the
    // value is then the reply's structuredContent (or the reply itself when
    // it is not an MCP result). Otherwise the field is a ToolResult.
    bool typed_output = false;
};

class Schema {
public:
    Schema();
    Schema(Schema&&) noexcept;
    Schema& operator=(Schema&&) noexcept;
    Schema(const Schema&) = delete;
    Schema& operator=(const Schema&) = delete;
    ~Schema();

    // The schema of a catalogue text: its tools as the engine reads them
    // (names, field names, read-only flag; a field name bound twice keeps
    // its first tool, as in the engine), typed from each tool's inputSchema
    // and outputSchema. Fails only when the text is not JSON.
    static Result<Schema> from_catalogue_json(std::string_view catalogue_json);

    const Type& type(TypeId id) const { return types_[id]; }
    std::size_t type_count() const { return types_.size(); }
    // A named type, or no_type.
    TypeId find_type(std::string_view name) const;
    // The named type under any List/NonNull wrappers.
    TypeId named_type(TypeId id) const;
    TypeId nullable_type(TypeId id) const { return types_[id].kind == TypeKind::non_null ? types_[id].of_type : id; }
    bool is_leaf(TypeId id) const;          // scalar or enum, under wrappers
    bool is_input_type(TypeId id) const;    // scalar, enum or input object, under wrappers
    bool is_output_type(TypeId id) const;   // anything but an input object, under wrappers
    bool is_composite(TypeId id) const;     // object, interface or union, under wrappers
    // "[String!]!", as messages and introspection print type references.
    std::string type_name(TypeId id) const;

    TypeId query_type() const { return query_type_; }
    TypeId mutation_type() const { return mutation_type_; }  // no_type when no tool writes
    // Schemas here have no subscriptions.
    TypeId subscription_type() const { return no_type; }

    // A field of an object type by name, O(1): its declared fields, plus
    // __typename on every object type and __schema and __type on Query.
    const Field* find_field(TypeId object_type, std::string_view name) const;
    const InputValue* find_argument(const Field& field, std::string_view name) const;
    const InputValue* find_argument(const Directive& directive, std::string_view name) const;
    const InputValue* find_input_field(TypeId input_object, std::string_view name) const;
    const EnumValue* find_enum_value(TypeId enum_type, std::string_view name) const;
    const Directive* find_directive(std::string_view name) const;

    const std::vector<Field>& fields() const { return fields_; }
    const std::vector<InputValue>& input_values() const { return input_values_; }
    const std::vector<EnumValue>& enum_values() const { return enum_values_; }
    const std::vector<Directive>& directives() const { return directives_; }
    const std::vector<ToolBinding>& tools() const { return tools_; }
    const Field& typename_field() const { return meta_fields_[0]; }

    // Built-in scalars, always present.
    TypeId string_type() const { return string_type_; }
    TypeId int_type() const { return int_type_; }
    TypeId float_type() const { return float_type_; }
    TypeId boolean_type() const { return boolean_type_; }
    TypeId id_type() const { return id_type_; }
    TypeId json_type() const { return json_type_; }

    // The schema in SDL, laid out as graphql-js's printSchema lays it out
    // (built-in scalars, directives and the introspection types left out).
    std::string sdl() const;
    // The same for a part of it: Query and Mutation with only their
    // built-in fields and the tool fields named, and the types those reach.
    std::string sdl(const std::vector<std::string_view>& tool_fields) const;

private:
    friend class SchemaBuilder;

    std::deque<std::string> texts_;  // every view of the records points in here; a deque never moves them
    std::vector<Type> types_;
    std::vector<Field> fields_;
    std::vector<InputValue> input_values_;
    std::vector<EnumValue> enum_values_;
    std::vector<Directive> directives_;
    std::vector<ToolBinding> tools_;
    std::vector<Field> meta_fields_;  // __typename, __schema, __type; their arguments are in input_values_

    struct FieldKey {
        TypeId type;
        std::string_view name;
        bool operator==(const FieldKey&) const = default;
    };
    struct FieldKeyHash {
        std::size_t operator()(const FieldKey& key) const noexcept;
    };
    std::unordered_map<std::string_view, TypeId> types_by_name_;
    std::unordered_map<FieldKey, std::uint32_t, FieldKeyHash> fields_by_name_;

    TypeId query_type_ = no_type;
    TypeId mutation_type_ = no_type;
    TypeId string_type_ = no_type;
    TypeId int_type_ = no_type;
    TypeId float_type_ = no_type;
    TypeId boolean_type_ = no_type;
    TypeId id_type_ = no_type;
    TypeId json_type_ = no_type;
};

}  // namespace quorvel::graphql
