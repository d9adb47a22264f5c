// Building the typed schema: the built-in scalars and directives, the
// introspection meta-types, then one field per tool, typed from the JSON
// Schemas the catalogue carries.
//
// Name mapping (documented in the README): a JSON Schema property or enum
// value that is not a GraphQL name gets every other character replaced by
// '_', a '_' in front of a leading digit, an 'x' in front of a leading
// "__" (reserved for introspection), and "_2", "_3", ... when that collides
// with a name already given in the same type. Each record keeps the
// original (json_name, json_value), so arguments reach the tool and results
// are read under their original names: the mapping is reversible through
// the schema.
#include <algorithm>
#include <cmath>
#include <initializer_list>
#include <string>
#include <unordered_set>

#include "catalogue/catalogue.hpp"
#include "common/graphql_name.hpp"
#include "common/unicode.hpp"
#include "graphql/type/introspection_text.hpp"
#include "graphql/type/schema.hpp"
#include "graphql/type/sdl_text.hpp"
#include "json/json.hpp"

namespace quorvel::graphql {

namespace {

// JSON Schemas nest (and references chain); past this depth a value is
// typed JSON.
constexpr int max_schema_depth = 32;

std::string mapped_name(std::string_view text) {
    std::string out;
    append_graphql_name(text, out);
    if (out.starts_with("__")) out.insert(out.begin(), 'x');
    return out;
}

// "files", "read_file" -> "FilesReadFile".
std::string pascal_case(std::string_view text) {
    std::string out;
    bool upper = true;
    for (char c : mapped_name(text)) {
        if (c == '_') {
            upper = true;
            continue;
        }
        out.push_back(upper && c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c);
        upper = false;
    }
    if (out.empty() || (out.front() >= '0' && out.front() <= '9')) out.insert(out.begin(), 'T');
    return out;
}

// Gives names unique within one scope.
class NameScope {
public:
    std::string claim(std::string name) {
        if (taken_.insert(name).second) return name;
        for (int suffix = 2;; ++suffix) {
            std::string candidate = name + "_" + std::to_string(suffix);
            if (taken_.insert(candidate).second) return candidate;
        }
    }
    void reserve(std::string_view name) { taken_.insert(std::string(name)); }

private:
    std::unordered_set<std::string> taken_;
};

// The members of the engine's catalogue walk that decide which objects are
// tools, so the second pass finds the same objects in the same order.
std::optional<std::string_view> non_blank_member(json::Ref object, std::initializer_list<std::string_view> keys) {
    for (std::string_view key : keys) {
        json::Ref value = object.find(key);
        if (!value) continue;
        if (value.is_object()) value = value.find("value");
        if (value && value.is_string() && !unicode::trim(value.string()).empty()) return unicode::trim(value.string());
    }
    return std::nullopt;
}

void collect_tool_objects(json::Ref value, bool server_known, std::vector<json::Ref>& out) {
    if (value.is_array()) {
        value.for_each_element([&](json::Ref element) { collect_tool_objects(element, server_known, out); });
        return;
    }
    if (!value.is_object()) return;
    if (non_blank_member(value, {"server", "server_id", "serverId", "server_name"})) server_known = true;
    if (json::Ref listed = value.find("tools"); listed && listed.is_array()) {
        listed.for_each_element([&](json::Ref entry) { collect_tool_objects(entry, server_known, out); });
        return;
    }
    if (server_known && non_blank_member(value, {"name", "tool", "tool_name", "toolName"})) out.push_back(value);
}

std::string_view string_member(json::Ref object, std::string_view key) {
    json::Ref value = object ? object.find(key) : json::Ref();
    return value && value.is_string() ? value.string() : std::string_view();
}

bool fits_int32(json::Ref bound) {
    if (!bound) return true;
    switch (bound.kind()) {
        case json::Kind::uint64: return bound.uint64() <= 2147483647u;
        case json::Kind::int64: return bound.int64() >= -2147483648LL && bound.int64() <= 2147483647LL;
        case json::Kind::real: return bound.real() >= -2147483648.0 && bound.real() <= 2147483647.0;
        default: return true;
    }
}

}  // namespace

class SchemaBuilder {
public:
    explicit SchemaBuilder(Schema& schema) : s_(schema) {}

    void build(const ToolCatalogue& catalogue, const std::vector<json::Ref>& tool_objects);

private:
    Schema& s_;
    NameScope type_names_;

    std::string_view keep(std::string_view text) {
        if (text.empty()) return {};
        return s_.texts_.emplace_back(text);
    }

    TypeId add_type(TypeKind kind, std::string_view name, std::string_view description = {}) {
        Type type;
        type.kind = kind;
        type.name = keep(name);
        type.description = keep(description);
        const TypeId id = static_cast<TypeId>(s_.types_.size());
        s_.types_.push_back(type);
        s_.types_by_name_.emplace(s_.types_[id].name, id);
        type_names_.reserve(name);
        return id;
    }

    TypeId wrap(TypeId inner, TypeKind kind) {
        TypeId& cached = kind == TypeKind::list ? s_.types_[inner].list_of : s_.types_[inner].non_null_of;
        if (cached != no_type) return cached;
        Type type;
        type.kind = kind;
        type.of_type = inner;
        const TypeId id = static_cast<TypeId>(s_.types_.size());
        s_.types_.push_back(type);
        // `cached` may dangle after the push.
        (kind == TypeKind::list ? s_.types_[inner].list_of : s_.types_[inner].non_null_of) = id;
        return id;
    }
    TypeId list(TypeId inner) { return wrap(inner, TypeKind::list); }
    TypeId non_null(TypeId inner) { return wrap(inner, TypeKind::non_null); }

    // "[__Type!]!" and the like, over types that already exist.
    TypeId ref(std::string_view expression) {
        if (expression.ends_with('!')) return non_null(ref(expression.substr(0, expression.size() - 1)));
        if (expression.starts_with('[')) return list(ref(expression.substr(1, expression.size() - 2)));
        return s_.find_type(expression);
    }

    Range append_input_values(const std::vector<InputValue>& values) {
        Range range{static_cast<std::uint32_t>(s_.input_values_.size()), static_cast<std::uint32_t>(values.size())};
        s_.input_values_.insert(s_.input_values_.end(), values.begin(), values.end());
        return range;
    }

    void set_fields(TypeId type, const std::vector<Field>& fields) {
        Range range{static_cast<std::uint32_t>(s_.fields_.size()), static_cast<std::uint32_t>(fields.size())};
        for (const Field& field : fields) {
            s_.fields_by_name_.emplace(Schema::FieldKey{type, field.name}, static_cast<std::uint32_t>(s_.fields_.size()));
            s_.fields_.push_back(field);
        }
        s_.types_[type].fields = range;
    }

    Field field(std::string_view name, std::string_view type, std::string_view description = {},
                FieldSource source = FieldSource::member, Range arguments = {}) {
        Field record;
        record.name = keep(name);
        record.json_name = record.name;
        record.description = keep(description);
        record.type = ref(type);
        record.source = source;
        record.arguments = arguments;
        return record;
    }

    InputValue input_value(std::string_view name, TypeId type, std::string_view description = {}) {
        InputValue value;
        value.name = keep(name);
        value.json_name = value.name;
        value.description = keep(description);
        value.type = type;
        return value;
    }

    void add_scalars();
    void unlist_unused_scalars();
    void add_directives();
    void add_introspection_types();

    // A schema node on one side (input or output), as the memo of typed
    // nodes keys it.
    struct NodeKey {
        const void* node;
        bool input;
        bool operator==(const NodeKey&) const = default;
    };
    struct NodeKeyHash {
        std::size_t operator()(const NodeKey& key) const noexcept {
            return std::hash<const void*>()(key.node) * 2 + (key.input ? 1 : 0);
        }
    };
    struct Shape {
        TypeId type;
        bool nullable;
    };
    struct Target {
        json::Ref node;    // null when the reference leads nowhere this builder follows
        std::string name;  // the $defs entry's name, or empty
    };
    struct Peeled {
        json::Ref core;  // null when a reference could not be followed
        bool nullable = false;
        std::string ref_name;  // the last $defs entry crossed
    };
    // References that only lead to references, and Optional[Optional[...]].
    static constexpr int max_peel_steps = 32;
    static constexpr int max_signature_depth = 64;
    static constexpr std::size_t max_signature_bytes = std::size_t{64} << 10;
    static constexpr std::size_t max_signature_references = 256;

    TypeId schema_type(json::Ref schema, const std::string& name_hint, bool input, int depth, bool& nullable);
    void read_document(json::Ref document);
    Target follow(std::string_view reference);
    Target find_target(std::string_view reference) const;
    Peeled peel(json::Ref schema);
    TypeId core_type(json::Ref schema, const std::string& name, bool input, int depth, bool& nullable);
    TypeId object_type(json::Ref schema, const std::string& name, bool input, int depth, bool nullable);
    TypeId enum_type(json::Ref values, const std::string& name, std::string_view description, bool& nullable);
    void break_required_input_cycles();
    bool sign(json::Ref node, int depth, std::size_t limit, std::string& out,
              std::vector<std::string_view>& references) const;
    std::optional<std::string> shared_signature(const Peeled& peeled, bool input);
    std::vector<InputValue> arguments_of(json::Ref input_schema, const std::string& name_hint);
    void set_default(InputValue& value, json::Ref default_value);
    Field tool_field(const ToolMetadata& tool, json::Ref object, std::uint32_t tool_index);

    TypeId tool_result_ = no_type;
    // The JSON Schema being read (one tool's inputSchema or outputSchema):
    // what its "#/..." references point into.
    json::Ref document_;
    std::unordered_map<std::string_view, Target> targets_;  // its references, followed once each
    std::unordered_map<NodeKey, Shape, NodeKeyHash> shapes_;
    std::unordered_set<NodeKey, NodeKeyHash> resolving_;
    // $defs entries by what they say (shared_signature), across documents.
    std::unordered_map<std::string, Shape> shared_;
    std::size_t signature_budget_ = std::size_t{16} << 20;  // bytes of signatures, for the whole catalogue
};

void SchemaBuilder::add_scalars() {
    s_.string_type_ = add_type(TypeKind::scalar, "String",
                               "The `String` scalar type represents textual data, represented as UTF-8 character "
                               "sequences. The String type is most often used by GraphQL to represent free-form "
                               "human-readable text.");
    s_.int_type_ = add_type(TypeKind::scalar, "Int",
                            "The `Int` scalar type represents non-fractional signed whole numeric values. Int can "
                            "represent values between -(2^31) and 2^31 - 1.");
    s_.float_type_ = add_type(TypeKind::scalar, "Float",
                              "The `Float` scalar type represents signed double-precision fractional values as "
                              "specified by [IEEE 754](https://en.wikipedia.org/wiki/IEEE_floating_point).");
    s_.boolean_type_ = add_type(TypeKind::scalar, "Boolean", "The `Boolean` scalar type represents `true` or `false`.");
    s_.id_type_ = add_type(TypeKind::scalar, "ID",
                           "The `ID` scalar type represents a unique identifier, often used to refetch an object or "
                           "as key for a cache. The ID type appears in a JSON response as a String; however, it is "
                           "not intended to be human-readable. When expected as an input type, any string (such as "
                           "`\"4\"`) or integer (such as `4`) input value will be accepted as an ID.");
    s_.json_type_ = add_type(TypeKind::scalar, "JSON",
                             "Any JSON value, passed through unchanged: what a tool's JSON Schema describes in a way "
                             "GraphQL types cannot (unions, free objects, mixed lists).");
}

void SchemaBuilder::add_directives() {
    auto directive = [&](std::string_view name, std::string_view description, std::uint32_t locations,
                         std::vector<InputValue> arguments) {
        Directive record;
        record.name = keep(name);
        record.description = keep(description);
        record.locations = locations;
        record.arguments = append_input_values(arguments);
        s_.directives_.push_back(record);
    };
    const TypeId boolean = non_null(s_.boolean_type_);
    directive("include",
              "Directs the executor to include this field or fragment only when the `if` argument is true.",
              location_field | location_fragment_spread | location_inline_fragment,
              {input_value("if", boolean, "Included when true.")});
    directive("skip", "Directs the executor to skip this field or fragment when the `if` argument is true.",
              location_field | location_fragment_spread | location_inline_fragment,
              {input_value("if", boolean, "Skipped when true.")});
    InputValue reason = input_value("reason", s_.string_type_,
                                    "Explains why this element was deprecated, usually also including a suggestion "
                                    "for how to access supported similar data. Formatted using the Markdown syntax, "
                                    "as specified by [CommonMark](https://commonmark.org/).");
    reason.default_literal = keep("\"No longer supported\"");
    reason.default_json = reason.default_literal;
    directive("deprecated", "Marks an element of a GraphQL schema as no longer supported.",
              location_field_definition | location_argument_definition | location_input_field_definition |
                  location_enum_value,
              {reason});
    directive("specifiedBy", "Exposes a URL that specifies the behavior of this scalar.", location_scalar,
              {input_value("url", non_null(s_.string_type_), "The URL that specifies the behavior of this scalar.")});
}

void SchemaBuilder::add_introspection_types() {
    const TypeId schema = add_type(TypeKind::object, "__Schema",
                                   "A GraphQL Schema defines the capabilities of a GraphQL server. It exposes all "
                                   "available types and directives on the server, as well as the entry points for "
                                   "query, mutation, and subscription operations.");
    const TypeId type = add_type(TypeKind::object, "__Type", meta_type_description);
    const TypeId kind = add_type(TypeKind::enum_type, "__TypeKind",
                                 "An enum describing what kind of type a given `__Type` is.");
    const TypeId field_type = add_type(TypeKind::object, "__Field",
                                       "Object and Interface types are described by a list of Fields, each of which "
                                       "has a name, potentially a list of arguments, and a return type.");
    const TypeId input = add_type(TypeKind::object, "__InputValue",
                                  "Arguments provided to Fields or Directives and the input fields of an "
                                  "InputObject are represented as Input Values which describe their type and "
                                  "optionally a default value.");
    const TypeId enum_value = add_type(TypeKind::object, "__EnumValue",
                                       "One possible value for a given Enum. Enum values are unique values, not a "
                                       "placeholder for a string or numeric value. However an Enum value is returned "
                                       "in a JSON response as a string.");
    const TypeId directive = add_type(TypeKind::object, "__Directive", meta_directive_description);
    const TypeId location = add_type(TypeKind::enum_type, "__DirectiveLocation",
                                     "A Directive can be adjacent to many parts of the GraphQL language, a "
                                     "__DirectiveLocation describes one such possible adjacencies.");

    Range kind_range{static_cast<std::uint32_t>(s_.enum_values_.size()), std::size(type_kind_values)};
    for (const auto& [name, description] : type_kind_values) {
        s_.enum_values_.push_back(EnumValue{keep(name), keep(name), keep(description), {}});
    }
    s_.types_[kind].enum_values = kind_range;
    Range location_range{static_cast<std::uint32_t>(s_.enum_values_.size()), directive_location_count};
    for (std::uint32_t bit = 0; bit < directive_location_count; ++bit) {
        const std::string_view name = directive_location_name(bit);
        s_.enum_values_.push_back(EnumValue{keep(name), keep(name), keep(directive_location_descriptions[bit]), {}});
    }
    s_.types_[location].enum_values = location_range;

    auto include_deprecated = [&] {
        InputValue flag = input_value("includeDeprecated", s_.boolean_type_);
        flag.default_literal = keep("false");
        flag.default_json = flag.default_literal;
        return append_input_values({flag});
    };
    constexpr FieldSource meta = FieldSource::introspection;
    set_fields(schema, {field("description", "String", {}, meta),
                        field("types", "[__Type!]!", "A list of all types supported by this server.", meta),
                        field("queryType", "__Type!", "The type that query operations will be rooted at.", meta),
                        field("mutationType", "__Type",
                              "If this server supports mutation, the type that mutation operations will be rooted at.",
                              meta),
                        field("subscriptionType", "__Type",
                              "If this server support subscription, the type that subscription operations will be "
                              "rooted at.",
                              meta),
                        field("directives", "[__Directive!]!", "A list of all directives supported by this server.",
                              meta)});
    set_fields(type, {field("kind", "__TypeKind!", {}, meta), field("name", "String", {}, meta),
                      field("description", "String", {}, meta), field("specifiedByURL", "String", {}, meta),
                      field("fields", "[__Field!]", {}, meta, include_deprecated()),
                      field("interfaces", "[__Type!]", {}, meta), field("possibleTypes", "[__Type!]", {}, meta),
                      field("enumValues", "[__EnumValue!]", {}, meta, include_deprecated()),
                      field("inputFields", "[__InputValue!]", {}, meta, include_deprecated()),
                      field("ofType", "__Type", {}, meta), field("isOneOf", "Boolean", {}, meta)});
    set_fields(field_type, {field("name", "String!", {}, meta), field("description", "String", {}, meta),
                            field("args", "[__InputValue!]!", {}, meta, include_deprecated()),
                            field("type", "__Type!", {}, meta), field("isDeprecated", "Boolean!", {}, meta),
                            field("deprecationReason", "String", {}, meta)});
    set_fields(input, {field("name", "String!", {}, meta), field("description", "String", {}, meta),
                       field("type", "__Type!", {}, meta),
                       field("defaultValue", "String",
                             "A GraphQL-formatted string representing the default value for this input value.", meta),
                       field("isDeprecated", "Boolean!", {}, meta), field("deprecationReason", "String", {}, meta)});
    set_fields(enum_value, {field("name", "String!", {}, meta), field("description", "String", {}, meta),
                            field("isDeprecated", "Boolean!", {}, meta),
                            field("deprecationReason", "String", {}, meta)});
    set_fields(directive, {field("name", "String!", {}, meta), field("description", "String", {}, meta),
                           field("isRepeatable", "Boolean!", {}, meta),
                           field("locations", "[__DirectiveLocation!]!", {}, meta),
                           field("args", "[__InputValue!]!", {}, meta, include_deprecated())});

    // The meta-fields are not in any type's field list, as introspection
    // never lists them.
    s_.meta_fields_.push_back(field("__typename", "String!", "The name of the current Object type at runtime.",
                                    FieldSource::typename_meta));
    s_.meta_fields_.push_back(field("__schema", "__Schema!", "Access the current type schema of this server.",
                                    FieldSource::schema_meta));
    Range name_argument = append_input_values({input_value("name", non_null(s_.string_type_))});
    s_.meta_fields_.push_back(field("__type", "__Type", "Request the type information of a single type.",
                                    FieldSource::type_meta, name_argument));
}

// An enum of strings that are GraphQL names, or no_type; a null among the
// values (Optional[Literal[...]]) makes it nullable instead.
TypeId SchemaBuilder::enum_type(json::Ref values, const std::string& name, std::string_view description,
                                bool& nullable) {
    std::vector<EnumValue> records;
    std::unordered_set<std::string_view> seen;
    bool usable = true;
    values.for_each_element([&](json::Ref value) {
        if (value.kind() == json::Kind::null) {
            nullable = true;
            return;
        }
        if (!value.is_string()) {
            usable = false;
            return;
        }
        std::string_view text = value.string();
        if (!is_graphql_name(text) || text == "true" || text == "false" || text == "null" || text.starts_with("__")) {
            usable = false;
        }
        if (seen.insert(text).second) records.push_back(EnumValue{text, text, {}, {}});
    });
    if (!usable || records.empty()) return no_type;
    const TypeId id = add_type(TypeKind::enum_type, type_names_.claim(name), description);
    Range range{static_cast<std::uint32_t>(s_.enum_values_.size()), static_cast<std::uint32_t>(records.size())};
    for (EnumValue& record : records) {
        record.name = keep(record.name);
        record.json_value = record.name;
        s_.enum_values_.push_back(record);
    }
    s_.types_[id].enum_values = range;
    return id;
}

// The GraphQL type of one JSON Schema, nullable; `nullable` says whether
// the schema admits null (or leaves it open) beside its type. Each schema
// node is typed once per side and remembered, so a $defs entry reached
// through many references is one type and the work stays linear in the
// document; a node met again while it is being typed is either an object
// (already registered, so the GraphQL type refers to itself) or a cycle no
// type can spell, which is JSON.
TypeId SchemaBuilder::schema_type(json::Ref schema, const std::string& name_hint, bool input, int depth,
                                  bool& nullable) {
    nullable = true;
    if (depth > max_schema_depth) return s_.json_type_;
    const Peeled peeled = peel(schema);
    if (!peeled.core) return s_.json_type_;
    const NodeKey key{peeled.core.raw(), input};
    if (auto found = shapes_.find(key); found != shapes_.end()) {
        nullable = peeled.nullable || found->second.nullable;
        return found->second.type;
    }
    std::optional<std::string> signature;
    if (!peeled.ref_name.empty()) signature = shared_signature(peeled, input);
    if (signature) {
        if (auto found = shared_.find(*signature); found != shared_.end()) {
            shapes_.insert_or_assign(key, found->second);
            nullable = peeled.nullable || found->second.nullable;
            return found->second.type;
        }
    }
    if (!resolving_.insert(key).second) return s_.json_type_;
    const std::string name = peeled.ref_name.empty() ? name_hint : mapped_name(peeled.ref_name);
    bool core_nullable = false;
    const TypeId type = core_type(peeled.core, name, input, depth, core_nullable);
    resolving_.erase(key);
    shapes_.insert_or_assign(key, Shape{type, core_nullable});
    if (signature) shared_.try_emplace(std::move(*signature), Shape{type, core_nullable});
    // An enum serves both sides; typing it again would only add a twin.
    if (s_.types_[type].kind == TypeKind::enum_type) {
        shapes_.try_emplace(NodeKey{key.node, !input}, Shape{type, core_nullable});
    }
    nullable = peeled.nullable || core_nullable;
    return type;
}

namespace {

bool is_null_schema(json::Ref schema) {
    if (!schema || !schema.is_object()) return false;
    if (string_member(schema, "type") == "null") return true;
    json::Ref constant = schema.find("const");
    return constant && constant.kind() == json::Kind::null;
}

// Whether a member of anyOf/oneOf may be null, as far as one look tells.
bool may_be_null(json::Ref schema) {
    if (!schema || !schema.is_object()) return true;
    if (is_null_schema(schema)) return true;
    for (std::string_view key : {"type", "$ref", "properties", "enum", "const", "items"}) {
        if (schema.find(key)) return false;
    }
    return true;
}

// The one member that is not null, of an anyOf/oneOf that only adds null
// to it (Optional[X] as pydantic writes it), or of an allOf of one member;
// `adds_null` says whether null was among the others.
json::Ref sole_member(json::Ref schema, bool& adds_null) {
    adds_null = false;
    if (json::Ref all = schema.find("allOf"); all && all.is_array() && all.size() == 1) {
        json::Ref only;
        all.for_each_element([&](json::Ref member) { only = member; });
        return only;
    }
    for (std::string_view key : {"anyOf", "oneOf"}) {
        json::Ref options = schema.find(key);
        if (!options || !options.is_array()) continue;
        json::Ref other;
        int others = 0;
        bool nulls = false;
        options.for_each_element([&](json::Ref option) {
            if (is_null_schema(option)) {
                nulls = true;
            } else {
                other = option;
                ++others;
            }
        });
        if (others != 1) return {};
        adds_null = nulls;
        return other;
    }
    return {};
}

// One reference token of a JSON Pointer: "~1" is '/', "~0" is '~'.
std::string pointer_token(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '~' && i + 1 < text.size() && (text[i + 1] == '0' || text[i + 1] == '1')) {
            out.push_back(text[++i] == '0' ? '~' : '/');
        } else {
            out.push_back(text[i]);
        }
    }
    return out;
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// A URI fragment is percent-encoded ("#/%24defs/A" is "#/$defs/A").
std::string percent_decoded(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const int high = text[i] == '%' && i + 2 < text.size() ? hex_digit(text[i + 1]) : -1;
        const int low = high >= 0 ? hex_digit(text[i + 2]) : -1;
        if (low >= 0) {
            out.push_back(static_cast<char>(high * 16 + low));
            i += 2;
        } else {
            out.push_back(text[i]);
        }
    }
    return out;
}

json::Ref child(json::Ref node, const std::string& token) {
    if (node.is_object()) return node.find(token);
    if (!node.is_array() || token.empty() || token.size() > 9) return {};
    std::size_t index = 0;
    for (char c : token) {
        if (c < '0' || c > '9') return {};
        index = index * 10 + static_cast<std::size_t>(c - '0');
    }
    json::Ref found;
    std::size_t at = 0;
    node.for_each_element([&](json::Ref element) {
        if (at++ == index) found = element;
    });
    return found;
}

}  // namespace

// Where a "$ref" of the current document points, and the name of the
// $defs (or definitions) entry it names. Only references inside the
// document are followed: another document, an anchor or a URL is not
// fetched, and its value is typed JSON.
SchemaBuilder::Target SchemaBuilder::follow(std::string_view reference) {
    // Every reference to an entry spells it the same way, and finding a
    // member is a walk over its object.
    auto found = targets_.find(reference);
    if (found == targets_.end()) found = targets_.emplace(reference, find_target(reference)).first;
    return found->second;
}

void SchemaBuilder::read_document(json::Ref document) {
    document_ = document;
    targets_.clear();
}

SchemaBuilder::Target SchemaBuilder::find_target(std::string_view reference) const {
    Target target;
    if (!document_ || !reference.starts_with('#')) return target;
    const std::string pointer = percent_decoded(reference.substr(1));
    if (!pointer.empty() && pointer.front() != '/') return target;
    json::Ref node = document_;
    std::string parent;
    std::string token;
    for (std::size_t at = 1; at <= pointer.size() && node;) {
        const std::size_t slash = std::min(pointer.find('/', at), pointer.size());
        parent = std::move(token);
        token = pointer_token(std::string_view(pointer).substr(at, slash - at));
        node = child(node, token);
        at = slash + 1;
    }
    target.node = node;
    if (node && (parent == "$defs" || parent == "definitions")) target.name = token;
    return target;
}

// Looks through what only forwards to another schema ($ref, allOf of one
// member) or only adds null to it; the steps are bounded, so a reference
// that leads back to itself ends as JSON.
SchemaBuilder::Peeled SchemaBuilder::peel(json::Ref schema) {
    Peeled out;
    for (int step = 0; step < max_peel_steps; ++step) {
        if (!schema || !schema.is_object()) return out;
        if (json::Ref reference = schema.find("$ref")) {
            if (!reference.is_string()) return out;
            Target target = follow(reference.string());
            if (!target.node) return out;
            if (!target.name.empty()) out.ref_name = std::move(target.name);
            schema = target.node;
            continue;
        }
        bool adds_null = false;
        if (json::Ref member = sole_member(schema, adds_null)) {
            out.nullable = out.nullable || adds_null;
            schema = member;
            continue;
        }
        out.core = schema;
        return out;
    }
    return out;
}

// A canonical text of a schema node, appended to `out`, and the references
// met inside it; false past the bounds.
bool SchemaBuilder::sign(json::Ref node, int depth, std::size_t limit, std::string& out,
                         std::vector<std::string_view>& references) const {
    if (depth > max_signature_depth || out.size() > limit || references.size() > max_signature_references) {
        return false;
    }
    bool fits = true;
    if (node.is_object()) {
        out.push_back('{');
        node.for_each_member([&](std::string_view key, json::Ref value) {
            if (!fits) return;
            json::write_string(key, out);
            out.push_back(':');
            if (key == "$ref" && value.is_string()) references.push_back(value.string());
            fits = sign(value, depth + 1, limit, out, references);
            out.push_back(',');
        });
        out.push_back('}');
    } else if (node.is_array()) {
        out.push_back('[');
        node.for_each_element([&](json::Ref value) {
            if (!fits) return;
            fits = sign(value, depth + 1, limit, out, references);
            out.push_back(',');
        });
        out.push_back(']');
    } else {
        json::write(node, out);
    }
    return fits;
}

// Real servers repeat their models in the schema of every tool that uses
// them; a $defs entry is one type wherever it and all it reaches through
// references read the same. The signature says exactly that: the side,
// the entry's name and text, then each reference met with the text it
// leads to. Past the bounds an entry is typed on its own.
std::optional<std::string> SchemaBuilder::shared_signature(const Peeled& peeled, bool input) {
    // Bounded before the work, not after: a signature that would not fit
    // is not written at all.
    const std::size_t limit = std::min(max_signature_bytes, signature_budget_);
    if (limit == 0) return std::nullopt;
    std::string out(1, peeled.core.find("enum") ? 'E' : input ? 'I' : 'O');
    out += peeled.ref_name;
    out.push_back('\0');
    std::vector<std::string_view> references;
    if (!sign(peeled.core, 0, limit, out, references)) return std::nullopt;
    std::unordered_set<std::string_view> seen;
    for (std::size_t i = 0; i < references.size(); ++i) {  // grows as targets are signed
        const std::string_view reference = references[i];
        if (!seen.insert(reference).second) continue;
        out.push_back('\0');
        out.append(reference);
        out.push_back('\0');
        const Target target = follow(reference);
        if (target.node && !sign(target.node, 0, limit, out, references)) {
            signature_budget_ -= std::min(signature_budget_, out.size());
            return std::nullopt;
        }
    }
    signature_budget_ -= std::min(signature_budget_, out.size());
    return out;
}

// The type of a schema with nothing left to look through.
TypeId SchemaBuilder::core_type(json::Ref schema, const std::string& name, bool input, int depth, bool& nullable) {
    nullable = false;
    if (schema.find("anyOf") || schema.find("oneOf")) {
        nullable = false;
        for (std::string_view key : {"anyOf", "oneOf"}) {
            json::Ref options = schema.find(key);
            if (!options || !options.is_array()) continue;
            options.for_each_element([&](json::Ref option) { nullable = nullable || may_be_null(option); });
        }
        return s_.json_type_;
    }
    if (schema.find("allOf") || schema.find("$ref")) {
        nullable = true;
        return s_.json_type_;
    }
    const std::string_view description = string_member(schema, "description");
    if (json::Ref values = schema.find("enum"); values && values.is_array()) {
        const TypeId made = enum_type(values, name, description, nullable);
        if (made != no_type) return made;
        bool all_strings = true;
        values.for_each_element([&](json::Ref value) { all_strings = all_strings && value.is_string(); });
        return all_strings ? s_.string_type_ : s_.json_type_;
    }
    std::string_view kind;
    if (json::Ref declared = schema.find("type"); declared && declared.is_string()) {
        kind = declared.string();
    } else if (declared && declared.is_array()) {
        int others = 0;
        declared.for_each_element([&](json::Ref entry) {
            if (entry.is_string() && entry.string() == "null") {
                nullable = true;
            } else if (entry.is_string()) {
                kind = entry.string();
                ++others;
            } else {
                ++others;
            }
        });
        if (others != 1) {
            nullable = nullable || others == 0;
            return s_.json_type_;
        }
    } else if (schema.find("properties")) {
        kind = "object";
    }
    if (kind == "string") return s_.string_type_;
    if (kind == "integer") {
        return fits_int32(schema.find("minimum")) && fits_int32(schema.find("maximum")) ? s_.int_type_
                                                                                          : s_.float_type_;
    }
    if (kind == "number") return s_.float_type_;
    if (kind == "boolean") return s_.boolean_type_;
    if (kind == "array") {
        bool element_nullable = false;
        const TypeId element = schema_type(schema.find("items"), name + "Item", input, depth + 1, element_nullable);
        // Output lists admit null elements, so one odd element fails alone.
        return list(input && !element_nullable ? non_null(element) : element);
    }
    if (kind == "object") {
        json::Ref properties = schema.find("properties");
        if (!properties || !properties.is_object() || properties.size() == 0) return s_.json_type_;
        return object_type(schema, name, input, depth, nullable);
    }
    nullable = true;
    return s_.json_type_;
}

TypeId SchemaBuilder::object_type(json::Ref schema, const std::string& name, bool input, int depth, bool nullable) {
    const TypeId id = add_type(input ? TypeKind::input_object : TypeKind::object,
                               type_names_.claim(input ? name + "Input" : name),
                               string_member(schema, "description"));
    // Before the properties, so that a property leading back here finds it.
    shapes_.insert_or_assign(NodeKey{schema.raw(), input}, Shape{id, nullable});
    std::unordered_set<std::string_view> required;
    if (json::Ref listed = schema.find("required"); listed && listed.is_array()) {
        listed.for_each_element([&](json::Ref entry) {
            if (entry.is_string()) required.insert(entry.string());
        });
    }
    NameScope member_names;
    std::vector<InputValue> input_fields;
    std::vector<Field> fields;
    schema.find("properties").for_each_member([&](std::string_view key, json::Ref property) {
        const std::string graphql_name = member_names.claim(mapped_name(key));
        bool property_nullable = false;
        TypeId type = schema_type(property, name + pascal_case(key), input, depth + 1, property_nullable);
        if (required.contains(key) && !property_nullable) type = non_null(type);
        const std::string_view description = string_member(property, "description");
        if (input) {
            InputValue value = input_value(graphql_name, type, description);
            value.json_name = keep(key);
            set_default(value, property.find("default"));
            input_fields.push_back(value);
        } else {
            Field record;
            record.name = keep(graphql_name);
            record.json_name = keep(key);
            record.description = keep(description);
            record.type = type;
            fields.push_back(record);
        }
    });
    if (input) {
        s_.types_[id].input_fields = append_input_values(input_fields);
    } else {
        set_fields(id, fields);
    }
    return id;
}

// A default is shown (and applied) only where it prints as a plain literal
// of the argument's type; others are left to the tool.
void SchemaBuilder::set_default(InputValue& value, json::Ref default_value) {
    if (!default_value) return;
    const TypeId named = s_.named_type(value.type);
    if (named != value.type && s_.nullable_type(value.type) != named) return;  // lists
    std::string literal;
    const json::Kind kind = default_value.kind();
    if (named == s_.string_type_ && kind == json::Kind::string) {
        literal = print_string_literal(default_value.string());
    } else if (named == s_.boolean_type_ && kind == json::Kind::boolean) {
        literal = default_value.boolean() ? "true" : "false";
    } else if ((named == s_.int_type_ || named == s_.float_type_) &&
               (kind == json::Kind::uint64 || kind == json::Kind::int64)) {
        json::write(default_value, literal);
    } else if (named == s_.float_type_ && kind == json::Kind::real) {
        json::write(default_value, literal);
    } else if (s_.types_[named].kind == TypeKind::enum_type && kind == json::Kind::string &&
               s_.find_enum_value(named, default_value.string())) {
        literal = default_value.string();
    } else {
        return;
    }
    std::string json_text;
    json::write(default_value, json_text);
    value.default_literal = keep(literal);
    value.default_json = keep(json_text);
}

std::vector<InputValue> SchemaBuilder::arguments_of(json::Ref document, const std::string& name_hint) {
    std::vector<InputValue> arguments;
    read_document(document);
    json::Ref input_schema = peel(document).core;
    if (!input_schema || !input_schema.is_object()) return arguments;
    json::Ref properties = input_schema.find("properties");
    if (!properties || !properties.is_object()) return arguments;
    std::unordered_set<std::string_view> required;
    if (json::Ref listed = input_schema.find("required"); listed && listed.is_array()) {
        listed.for_each_element([&](json::Ref entry) {
            if (entry.is_string()) required.insert(entry.string());
        });
    }
    NameScope names;
    properties.for_each_member([&](std::string_view key, json::Ref property) {
        // The engine's language names arguments with GraphQL names only, so
        // an argument it could not pass on is not offered at all.
        if (!is_graphql_name(key)) return;
        bool nullable = false;
        TypeId type = schema_type(property, name_hint + pascal_case(key), true, 1, nullable);
        if (required.contains(key) && !nullable) type = non_null(type);
        InputValue value = input_value(names.claim(mapped_name(key)), type, string_member(property, "description"));
        value.json_name = keep(key);
        set_default(value, property.find("default"));
        arguments.push_back(value);
    });
    return arguments;
}

Field SchemaBuilder::tool_field(const ToolMetadata& tool, json::Ref object, std::uint32_t tool_index) {
    const std::string base = pascal_case(tool.server_id) + pascal_case(tool.tool_name);
    json::Ref input_schema = object ? object.find("inputSchema") : json::Ref();
    json::Ref output_schema = object ? object.find("outputSchema") : json::Ref();
    Field record;
    record.name = keep(tool.field_name);
    record.json_name = record.name;
    record.description = keep(tool.description);
    record.source = FieldSource::tool;
    record.tool = tool_index;
    record.arguments = append_input_values(arguments_of(input_schema, base));
    record.type = tool_result_;
    if (output_schema && output_schema.is_object()) {
        read_document(output_schema);
        bool nullable = false;
        const TypeId typed = schema_type(output_schema, base + "Result", false, 1, nullable);
        if (s_.types_[typed].kind == TypeKind::object) {
            record.type = typed;
            s_.tools_[tool_index].typed_output = true;
        }
    }
    return record;
}

void SchemaBuilder::build(const ToolCatalogue& catalogue, const std::vector<json::Ref>& tool_objects) {
    add_scalars();
    add_directives();
    add_introspection_types();
    s_.query_type_ = add_type(TypeKind::object, "Query", "Tools that only read, and what the catalogue holds.");
    bool any_mutation = false;
    for (const ToolMetadata& tool : catalogue.tools()) any_mutation = any_mutation || !tool.read_only;
    if (any_mutation) s_.mutation_type_ = add_type(TypeKind::object, "Mutation", "Tools that change something.");

    tool_result_ = add_type(TypeKind::object, "ToolResult",
                            "What a tool answered, for tools without an output schema.");
    set_fields(tool_result_,
               {field("text", "String", "The text the tool answered (its text content, joined by newlines).",
                      FieldSource::tool_result),
                field("json", "JSON",
                      "The answer as JSON: the structured content, else the text read as JSON when it is JSON.",
                      FieldSource::tool_result),
                field("content", "[JSON!]", "The content items of an MCP tool result, as the server sent them.",
                      FieldSource::tool_result),
                field("structuredContent", "JSON", "The structured content of an MCP tool result.",
                      FieldSource::tool_result),
                field("isError", "Boolean!", "Whether the tool reported an error.", FieldSource::tool_result)});
    const TypeId server = add_type(TypeKind::object, "Server", "One tool server of the catalogue.");
    set_fields(server, {field("name", "String!", "The server's identifier."),
                        field("description", "String!", "The server's description, or \"\" when none was given."),
                        field("readOnlyCount", "Int!", "How many of its tools only read."),
                        field("toolCount", "Int!", "How many tools it offers.")});
    const TypeId hit = add_type(TypeKind::object, "SearchHit", "One tool of the catalogue.");
    set_fields(hit, {field("description", "String!", "The tool's description."),
                     field("field", "String!", "The GraphQL field that calls it."),
                     field("readOnly", "Boolean!", "Whether it only reads (a Query field) or not (a Mutation field)."),
                     field("server", "String!", "The identifier of its server."),
                     field("tool", "String!", "The tool's name on its server.")});

    std::vector<Field> query_fields;
    std::vector<Field> mutation_fields;
    query_fields.push_back(field("servers", "[Server!]!", "The catalogue's servers, by name.", FieldSource::servers));
    query_fields.push_back(field("search", "[SearchHit!]!", "Every tool of the catalogue, in catalogue order.",
                                 FieldSource::search));
    const bool objects_match = tool_objects.size() == catalogue.size();
    for (std::size_t i = 0; i < catalogue.size(); ++i) {
        const ToolMetadata& tool = catalogue.tools()[i];
        // The engine answers a field name with its first tool, and with its
        // built-in views before any tool.
        if (catalogue.find(tool.field_name) != &tool || tool.field_name == "servers" ||
            tool.field_name == "search" || tool.field_name.starts_with("__")) {
            continue;
        }
        const auto index = static_cast<std::uint32_t>(s_.tools_.size());
        s_.tools_.push_back(ToolBinding{keep(tool.field_name), keep(tool.server_id), keep(tool.tool_name),
                                        tool.read_only, false});
        Field record = tool_field(tool, objects_match ? tool_objects[i] : json::Ref(), index);
        (tool.read_only ? query_fields : mutation_fields).push_back(record);
    }
    set_fields(s_.query_type_, query_fields);
    if (any_mutation) set_fields(s_.mutation_type_, mutation_fields);
    break_required_input_cycles();
    unlist_unused_scalars();
}

// A JSON Schema may require an object inside itself (no finite value
// satisfies it); GraphQL refuses such input types, so the field that
// closes each cycle of required input-object fields is made nullable.
void SchemaBuilder::break_required_input_cycles() {
    enum Visit : std::uint8_t { unseen, open, done };
    std::vector<Visit> state(s_.types_.size(), unseen);
    struct Frame {
        TypeId type;
        std::uint32_t next;
    };
    std::vector<Frame> stack;  // not recursion: a chain of types may be as long as the catalogue
    for (TypeId start = 0; start < s_.types_.size(); ++start) {
        if (s_.types_[start].kind != TypeKind::input_object || state[start] != unseen) continue;
        state[start] = open;
        stack.push_back(Frame{start, 0});
        while (!stack.empty()) {
            Frame& top = stack.back();
            const Range fields = s_.types_[top.type].input_fields;
            if (top.next == fields.count) {
                state[top.type] = done;
                stack.pop_back();
                continue;
            }
            InputValue& value = s_.input_values_[fields.first + top.next++];
            const Type& wrapper = s_.types_[value.type];
            if (wrapper.kind != TypeKind::non_null || s_.types_[wrapper.of_type].kind != TypeKind::input_object) continue;
            const TypeId target = wrapper.of_type;
            if (state[target] == open) {
                value.type = target;
            } else if (state[target] == unseen) {
                state[target] = open;
                stack.push_back(Frame{target, 0});
            }
        }
    }
}

void SchemaBuilder::unlist_unused_scalars() {
    std::vector<bool> used(s_.types_.size(), false);
    for (const Field& field : s_.fields_) used[s_.named_type(field.type)] = true;
    for (const Field& field : s_.meta_fields_) used[s_.named_type(field.type)] = true;
    for (const InputValue& value : s_.input_values_) used[s_.named_type(value.type)] = true;
    for (TypeId scalar : {s_.string_type_, s_.int_type_, s_.float_type_, s_.boolean_type_, s_.id_type_}) {
        if (used[scalar]) continue;
        s_.types_[scalar].listed = false;
        s_.types_by_name_.erase(s_.types_[scalar].name);
    }
}

Result<Schema> Schema::from_catalogue_json(std::string_view catalogue_json) {
    Result<ToolCatalogue> catalogue = read_catalogue(catalogue_json);
    if (!catalogue) return std::move(catalogue).failure();
    Result<json::Document> document = json::read(catalogue_json);
    if (!document) return fail("invalid catalogue JSON: " + document.message());
    std::vector<json::Ref> tool_objects;
    collect_tool_objects(document.value().root(), false, tool_objects);
    Schema schema;
    SchemaBuilder(schema).build(catalogue.value(), tool_objects);
    return schema;
}

}  // namespace quorvel::graphql
