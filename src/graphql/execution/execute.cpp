#include "graphql/execution/execute.hpp"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <forward_list>
#include <functional>
#include <unordered_map>
#include <utility>
#include <variant>
#include <vector>

#include "execution/execution.hpp"
#include "graphql/execution/scalars.hpp"
#include "graphql/execution/values.hpp"
#include "graphql/language/ast.hpp"
#include "graphql/type/sdl_text.hpp"
#include "graphql/validation/validate.hpp"
#include "json/json.hpp"

namespace quorvel::graphql {

namespace {

// What a field's value is read from: JSON out of a tool's answer, a
// tool's whole reply (for ToolResult), or a record of the schema itself
// (for introspection).
struct Source {
    enum class Kind : std::uint8_t {
        null, json, reply, text, boolean, list, schema, type, field, input_value, enum_value, directive
    };
    Kind kind = Kind::null;
    json::Ref ref;
    std::string_view text;
    bool flag = false;
    TypeId type = no_type;
    const void* record = nullptr;
    std::vector<Source> items;

    static Source of_json(json::Ref value) {
        Source source;
        if (value && value.kind() != json::Kind::null) {
            source.kind = Kind::json;
            source.ref = value;
        }
        return source;
    }
    static Source of_text(std::string_view text) {
        Source source;
        source.kind = Kind::text;
        source.text = text;
        return source;
    }
    static Source of_optional_text(std::string_view text) { return text.empty() ? Source() : of_text(text); }
    static Source of_boolean(bool flag) {
        Source source;
        source.kind = Kind::boolean;
        source.flag = flag;
        return source;
    }
    static Source of_type(TypeId type) {
        Source source;
        if (type != no_type) {
            source.kind = Kind::type;
            source.type = type;
        }
        return source;
    }
    static Source of_record(Kind kind, const void* record) {
        Source source;
        source.kind = kind;
        source.record = record;
        return source;
    }
    static Source of_list() {
        Source source;
        source.kind = Kind::list;
        return source;
    }
};

enum class Outcome : std::uint8_t {
    value,
    null_value,  // a plain null; a non-null position above makes it an error
    errored,     // null because of an error already recorded
};

struct FieldGroup {
    std::string_view key;
    std::vector<const Selection*> nodes;
    const Field* field = nullptr;  // looked up once, when collected
};
using GroupedFields = std::vector<FieldGroup>;

struct PathSegment {
    std::string_view key;
    std::size_t index = 0;
    bool is_index = false;
};

// Keys, argument numbers, lines and columns: small counts written many
// times a request, where the JSON writer's general integer path shows.
void append_count(std::size_t count, std::string& out) {
    char digits[20];
    out.append(digits, static_cast<std::size_t>(std::to_chars(digits, digits + sizeof digits, count).ptr - digits));
}

bool is_mcp_result(json::Ref reply) {
    if (!reply.is_object()) return false;
    json::Ref content = reply.find("content");
    return content && content.is_array();
}

bool is_error_reply(json::Ref reply) {
    if (!reply || !reply.is_object()) return false;
    json::Ref flag = reply.find("isError");
    return flag && flag.is_boolean() && flag.boolean();
}

// The text content items of an MCP result, joined by newlines.
std::optional<std::string> joined_text(json::Ref reply) {
    std::optional<std::string> joined;
    reply.find("content").for_each_element([&](json::Ref item) {
        if (!item.is_object()) return;
        json::Ref text = item.find("text");
        if (!text || !text.is_string()) return;
        if (joined) {
            joined->push_back('\n');
        } else {
            joined.emplace();
        }
        joined->append(text.string());
    });
    return joined;
}

// The tool's own words for its failure: a view into the reply, or into
// `joined` when they had to be joined from content items.
std::string_view error_text(json::Ref reply, std::string& joined) {
    json::Ref text = reply.find("text");
    if (text && text.is_string()) return text.string();
    if (is_mcp_result(reply)) {
        if (auto items = joined_text(reply)) return joined = std::move(*items);
    }
    return "the tool reported an error";
}

class Executor {
public:
    Executor(const Schema& schema, const Document& document, const VariableValues& variables, std::string& out)
        : schema_(schema), document_(document), variables_(variables), out_(out) {
        path_.reserve(16);
    }

    GroupedFields collect_fields(TypeId type, const std::vector<const Selection*>& nodes) const {
        GroupedFields groups;
        std::vector<std::string_view> visited;
        for (const Selection* node : nodes) collect(type, node->selection_set, groups, visited);
        return groups;
    }

    GroupedFields collect_root(TypeId type, const OperationDefinition& operation) const {
        GroupedFields groups;
        std::vector<std::string_view> visited;
        collect(type, operation.selection_set, groups, visited);
        return groups;
    }

    // Writes `"key":value` for one field whose value is already at hand.
    // False when a non-null field became null, which nulls its parent.
    bool write_field(TypeId parent, const FieldGroup& group, const Source& source);

    bool write_resolved(TypeId parent, const Field& field, const FieldGroup& group, const Source& value);
    // A field whose arguments were refused: null, and the error.
    bool write_refused(const Field& field, const FieldGroup& group, const GraphqlError& error);
    bool write_tool_field(const Field& field, const FieldGroup& group, json::Ref reply);

    // A response key is a GraphQL name (letters, digits, '_'), which never
    // needs escaping in JSON.
    void write_key(std::string_view key) {
        out_.reserve(out_.size() + key.size() + 3);
        out_.push_back('"');
        out_.append(key);
        out_ += "\":";
    }

    // A field error points at every node merged under the field's response
    // key, as graphql-js reports it.
    void add_error(std::string_view message, const FieldGroup& group, ErrorCode code) {
        open_error(message, group);
        close_error(code);
    }

    // An error about a field's arguments points where graphql-js points:
    // at the value at fault.
    void add_argument_error(const GraphqlError& error) {
        open_error(error.message, error.locations);
        close_error(error.code);
    }

    // The error up to its extensions, for the caller to add them.
    void open_error(std::string_view message, const FieldGroup& group) {
        std::vector<Location> locations;
        locations.reserve(group.nodes.size());
        for (const Selection* node : group.nodes) locations.push_back(node->location);
        open_error(message, locations);
    }

    void close_error(ErrorCode code) {
        errors_ += ",\"extensions\":{\"code\":\"";
        errors_ += error_code_name(code);
        errors_ += "\"}}";
    }

    void open_error(std::string_view message, const std::vector<Location>& locations) {
        if (errors_.empty()) {
            errors_.reserve(256);
            errors_ += "{\"message\":";
        } else {
            errors_ += ",{\"message\":";
        }
        json::write_string(message, errors_);
        errors_ += ",\"locations\":[";
        for (std::size_t i = 0; i < locations.size(); ++i) {
            errors_ += i == 0 ? "{\"line\":" : ",{\"line\":";
            append_count(locations[i].line, errors_);
            errors_ += ",\"column\":";
            append_count(locations[i].column, errors_);
            errors_.push_back('}');
        }
        errors_.push_back(']');
        errors_ += ",\"path\":[";
        for (std::size_t i = 0; i < path_.size(); ++i) {
            if (i > 0) errors_.push_back(',');
            if (path_[i].is_index) {
                append_count(path_[i].index, errors_);
            } else {
                json::write_string(path_[i].key, errors_);
            }
        }
        errors_.push_back(']');
    }

    std::string& errors() { return errors_; }
    std::vector<PathSegment>& path() { return path_; }

private:
    const Schema& schema_;
    const Document& document_;
    const VariableValues& variables_;
    std::string& out_;
    std::string errors_;
    std::vector<PathSegment> path_;
    // Lists, not deques: most requests keep nothing here, and an empty
    // deque already costs two allocations.
    std::forward_list<std::string> owned_texts_;       // ToolResult.text joined from content items
    std::forward_list<json::Document> parsed_texts_;  // ToolResult.json read from text, kept while completing
    std::string_view parent_type_name_;         // the object type whose field is being completed

    // Subfields by the group they were collected for. Groups live in the
    // root's list or in this map's nodes, which never move.
    struct CollectKey {
        const FieldGroup* group;
        TypeId type;
        bool operator==(const CollectKey&) const = default;
    };
    struct CollectKeyHash {
        std::size_t operator()(const CollectKey& key) const noexcept {
            return std::hash<const void*>{}(key.group) ^ (std::size_t{key.type} << 1);
        }
    };
    std::unordered_map<CollectKey, GroupedFields, CollectKeyHash> collected_;

    void collect(TypeId type, const NodeList<Selection>& set, GroupedFields& groups,
                 std::vector<std::string_view>& visited) const;
    bool applies(std::string_view type_condition, TypeId type) const {
        return type_condition.empty() || schema_.type(type).name == type_condition;
    }

    Outcome complete_value(TypeId type, const Source& source, const FieldGroup& group);
    Outcome complete_list(TypeId item_type, const Source& source, const FieldGroup& group);
    Outcome complete_object(TypeId type, const Source& source, const FieldGroup& group);
    Outcome complete_leaf(TypeId type, const Source& source, const FieldGroup& group);
    Outcome leaf_error(std::string_view message, const FieldGroup& group) {
        add_error(message, group, ErrorCode::invalid_tool_result);
        return Outcome::errored;
    }

    Source resolve(const Field& field, const Source& parent, const FieldGroup& group);
    Source resolve_tool_result(const Field& field, json::Ref reply);
    Source resolve_introspection(const Field& field, const Source& parent);
    Source type_argument(const FieldGroup& group) const;
};

void Executor::collect(TypeId type, const NodeList<Selection>& set, GroupedFields& groups,
                       std::vector<std::string_view>& visited) const {
    for (const Selection& selection : set) {
        if (!should_include(selection.directives, variables_)) continue;
        switch (selection.kind) {
            case SelectionKind::field: {
                const std::string_view key = selection.response_key();
                FieldGroup* group = nullptr;
                for (FieldGroup& candidate : groups) {
                    if (candidate.key == key) {
                        group = &candidate;
                        break;
                    }
                }
                if (group == nullptr) {
                    group = &groups.emplace_back(FieldGroup{key, {}, schema_.find_field(type, selection.name)});
                }
                group->nodes.push_back(&selection);
                break;
            }
            case SelectionKind::inline_fragment:
                if (applies(selection.type_condition, type)) collect(type, selection.selection_set, groups, visited);
                break;
            case SelectionKind::fragment_spread: {
                bool seen = false;
                for (std::string_view name : visited) seen = seen || name == selection.name;
                if (seen) break;
                visited.push_back(selection.name);
                const FragmentDefinition* fragment = document_.find_fragment(selection.name);
                if (fragment != nullptr && applies(fragment->type_condition, type)) {
                    collect(type, fragment->selection_set, groups, visited);
                }
                break;
            }
        }
    }
}

bool Executor::write_field(TypeId parent, const FieldGroup& group, const Source& source) {
    const Field* field = group.field;
    if (field == nullptr) {  // validation refused it; nothing to say
        write_key(group.key);
        out_ += "null";
        return true;
    }
    if (field->arguments.count > 0) {
        if (std::optional<GraphqlError> error = argument_error(schema_, *field, *group.nodes.front(), variables_)) {
            return write_refused(*field, group, *error);
        }
    }
    const std::string_view saved_parent = std::exchange(parent_type_name_, schema_.type(parent).name);
    const Source value = resolve(*field, source, group);
    parent_type_name_ = saved_parent;
    return write_resolved(parent, *field, group, value);
}

bool Executor::write_refused(const Field& field, const FieldGroup& group, const GraphqlError& error) {
    write_key(group.key);
    path_.push_back(PathSegment{group.key});
    add_argument_error(error);
    path_.pop_back();
    out_ += "null";
    return schema_.type(field.type).kind != TypeKind::non_null;
}

bool Executor::write_resolved(TypeId parent, const Field& field, const FieldGroup& group, const Source& value) {
    write_key(group.key);
    const std::size_t start = out_.size();
    path_.push_back(PathSegment{group.key});
    const std::string_view saved_parent = std::exchange(parent_type_name_, schema_.type(parent).name);
    const Outcome outcome = complete_value(field.type, value, group);
    parent_type_name_ = saved_parent;
    path_.pop_back();
    if (outcome != Outcome::errored) return true;
    if (schema_.type(field.type).kind == TypeKind::non_null) return false;
    out_.resize(start);
    out_ += "null";
    return true;
}

bool Executor::write_tool_field(const Field& field, const FieldGroup& group, json::Ref reply) {
    write_key(group.key);
    const std::size_t start = out_.size();
    path_.push_back(PathSegment{group.key});
    const ToolBinding& tool = schema_.tools()[field.tool];
    parent_type_name_ = schema_.type(tool.read_only ? schema_.query_type() : schema_.mutation_type()).name;
    // A typed tool's value is its structured content; an MCP answer without
    // one cannot fill the type, which is the tool's failure, not a null.
    const bool unstructured = reply && tool.typed_output && is_mcp_result(reply) && !reply.find("structuredContent");
    Outcome outcome;
    if (!reply || is_error_reply(reply) || unstructured) {
        // A tool that reported an error rarely sends structured content with
        // it; its own words say more than the missing content does.
        std::string joined;
        const std::string_view text = !reply                  ? "the engine gave no answer for this field"
                                      : is_error_reply(reply) ? error_text(reply, joined)
                                                              : "the tool answered no structured content for its "
                                                                "output schema";
        open_error(text, group);
        errors_ += ",\"extensions\":{\"code\":\"";
        errors_ += error_code_name(ErrorCode::tool_error);
        errors_ += "\",\"server\":";
        json::write_string(tool.server_id, errors_);
        errors_ += ",\"tool\":";
        json::write_string(tool.tool_name, errors_);
        errors_ += ",\"text\":";
        json::write_string(text, errors_);
        errors_ += "}}";
        outcome = Outcome::errored;
    } else if (tool.typed_output) {
        json::Ref value = is_mcp_result(reply) ? reply.find("structuredContent") : reply;
        outcome = complete_value(field.type, Source::of_json(value), group);
    } else {
        Source source;
        source.kind = Source::Kind::reply;
        source.ref = reply;
        outcome = complete_value(field.type, source, group);
    }
    path_.pop_back();
    if (outcome != Outcome::errored) return true;
    if (schema_.type(field.type).kind == TypeKind::non_null) return false;
    out_.resize(start);
    out_ += "null";
    return true;
}

Outcome Executor::complete_value(TypeId type, const Source& source, const FieldGroup& group) {
    const Type& record = schema_.type(type);
    if (record.kind == TypeKind::non_null) {
        const Outcome inner = complete_value(record.of_type, source, group);
        if (inner == Outcome::null_value) {
            const Selection* node = group.nodes.front();
            add_error("Cannot return null for non-nullable field " + std::string(parent_type_name_) + "." +
                          std::string(node->name) + ".",
                      group, ErrorCode::invalid_tool_result);
            return Outcome::errored;
        }
        return inner;
    }
    if (source.kind == Source::Kind::null) {
        out_ += "null";
        return Outcome::null_value;
    }
    switch (record.kind) {
        case TypeKind::list: return complete_list(record.of_type, source, group);
        case TypeKind::object: return complete_object(type, source, group);
        default: return complete_leaf(type, source, group);
    }
}


Outcome Executor::complete_list(TypeId item_type, const Source& source, const FieldGroup& group) {
    const bool items_non_null = schema_.type(item_type).kind == TypeKind::non_null;
    std::size_t index = 0;
    bool failed = false;
    auto item = [&](const Source& value) {
        if (failed) return;
        if (index > 0) out_.push_back(',');
        const std::size_t start = out_.size();
        path_.push_back(PathSegment{{}, index, true});
        const Outcome outcome = complete_value(item_type, value, group);
        path_.pop_back();
        ++index;
        if (outcome != Outcome::errored) return;
        if (items_non_null) {
            failed = true;
            return;
        }
        out_.resize(start);
        out_ += "null";
    };
    if (source.kind == Source::Kind::list) {
        out_.push_back('[');
        for (const Source& value : source.items) item(value);
    } else if (source.kind == Source::Kind::json && source.ref.is_array()) {
        out_.push_back('[');
        source.ref.for_each_element([&](json::Ref value) { item(Source::of_json(value)); });
    } else {
        return leaf_error("Expected Iterable, but did not find one for field \"" + std::string(parent_type_name_) +
                              "." + std::string(group.nodes.front()->name) + "\".",
                          group);
    }
    if (failed) return Outcome::errored;
    out_.push_back(']');
    return Outcome::value;
}

Outcome Executor::complete_object(TypeId type, const Source& source, const FieldGroup& group) {
    // Every element of a list completes the same nodes for the same type,
    // and directives read only the request's variables: collect once.
    auto [cached, fresh] = collected_.try_emplace(CollectKey{&group, type});
    if (fresh) cached->second = collect_fields(type, group.nodes);
    const GroupedFields& fields = cached->second;
    out_.push_back('{');
    for (std::size_t i = 0; i < fields.size(); ++i) {
        if (i > 0) out_.push_back(',');
        if (!write_field(type, fields[i], source)) return Outcome::errored;
    }
    out_.push_back('}');
    return Outcome::value;
}

Outcome Executor::complete_leaf(TypeId type, const Source& source, const FieldGroup& group) {
    if (source.kind == Source::Kind::text) {
        json::write_string(source.text, out_);
        return Outcome::value;
    }
    if (source.kind == Source::Kind::boolean) {
        out_ += source.flag ? "true" : "false";
        return Outcome::value;
    }
    if (source.kind != Source::Kind::json) return leaf_error("Expected a value for a leaf field.", group);
    const Status written = serialize_leaf(schema_, type, source.ref, out_);
    return written ? Outcome::value : leaf_error(written.message(), group);
}

Source Executor::resolve(const Field& field, const Source& parent, const FieldGroup& group) {
    switch (field.source) {
        case FieldSource::member:
            if (parent.kind != Source::Kind::json || !parent.ref.is_object()) return Source();
            return Source::of_json(parent.ref.find(field.json_name));
        case FieldSource::tool_result: return resolve_tool_result(field, parent.ref);
        case FieldSource::typename_meta: return Source::of_text(parent_type_name_);
        case FieldSource::schema_meta: {
            Source schema;
            schema.kind = Source::Kind::schema;
            return schema;
        }
        case FieldSource::type_meta: return type_argument(group);
        case FieldSource::introspection: return resolve_introspection(field, parent);
        default: return Source();  // root fields, resolved through the engine
    }
}

Source Executor::resolve_tool_result(const Field& field, json::Ref reply) {
    const bool mcp = is_mcp_result(reply);
    const std::string_view name = field.name;
    if (name == "isError") return Source::of_boolean(is_error_reply(reply));
    if (name == "structuredContent") return mcp ? Source::of_json(reply.find("structuredContent")) : Source();
    if (name == "content") return mcp ? Source::of_json(reply.find("content")) : Source();
    if (name == "text") {
        if (!mcp) {
            if (reply.is_string()) return Source::of_text(reply.string());
            std::string& text = owned_texts_.emplace_front();
            json::write(reply, text);
            return Source::of_text(text);
        }
        std::optional<std::string> joined = joined_text(reply);
        if (!joined) return Source();
        return Source::of_text(owned_texts_.emplace_front(std::move(*joined)));
    }
    // json: the structured content, else the text when it reads as JSON.
    if (!mcp) return Source::of_json(reply);
    if (json::Ref structured = reply.find("structuredContent")) return Source::of_json(structured);
    std::optional<std::string> joined = joined_text(reply);
    if (!joined) return Source();
    Result<json::Document> parsed = json::read(owned_texts_.emplace_front(std::move(*joined)));
    if (!parsed) return Source();
    return Source::of_json(parsed_texts_.emplace_front(std::move(parsed).value()).root());
}

Source Executor::type_argument(const FieldGroup& group) const {
    for (const Argument& argument : group.nodes.front()->arguments) {
        if (argument.name != "name") continue;
        if (argument.value.kind == ValueKind::string) return Source::of_type(schema_.find_type(argument.value.text));
        if (argument.value.kind != ValueKind::variable) return Source();
        auto found = variables_.find(argument.value.text);
        if (found == variables_.end()) return Source();
        Result<json::Document> name = json::read(found->second);
        if (!name || !name.value().root().is_string()) return Source();
        return Source::of_type(schema_.find_type(name.value().root().string()));
    }
    return Source();
}

Source Executor::resolve_introspection(const Field& field, const Source& parent) {
    using Kind = Source::Kind;
    const std::string_view name = field.name;
    auto records = [&](Kind kind, const auto& pool, Range range) {
        Source list = Source::of_list();
        list.items.reserve(range.end() - range.first);
        for (std::uint32_t i = range.first; i < range.end(); ++i) list.items.push_back(Source::of_record(kind, &pool[i]));
        return list;
    };
    auto deprecation = [&](const std::optional<std::string_view>& reason) {
        if (name == "isDeprecated") return Source::of_boolean(reason.has_value());
        return reason ? Source::of_text(*reason) : Source();
    };
    switch (parent.kind) {
        case Kind::schema: {
            if (name == "queryType") return Source::of_type(schema_.query_type());
            if (name == "mutationType") return Source::of_type(schema_.mutation_type());
            if (name == "types") {
                Source list = Source::of_list();
                list.items.reserve(schema_.type_count());
                for (TypeId id = 0; id < schema_.type_count(); ++id) {
                    const Type& type = schema_.type(id);
                    if (!type.name.empty() && type.listed) list.items.push_back(Source::of_type(id));
                }
                return list;
            }
            if (name == "directives") {
                const auto& pool = schema_.directives();
                return records(Kind::directive, pool, Range{0, static_cast<std::uint32_t>(pool.size())});
            }
            return Source();  // description, subscriptionType
        }
        case Kind::type: {
            const Type& type = schema_.type(parent.type);
            if (name == "kind") {
                static constexpr std::string_view kinds[] = {"SCALAR", "OBJECT", "INTERFACE", "UNION",
                                                             "ENUM", "INPUT_OBJECT", "LIST", "NON_NULL"};
                return Source::of_text(kinds[static_cast<int>(type.kind)]);
            }
            if (name == "name") return Source::of_optional_text(type.name);
            if (name == "description") return Source::of_optional_text(type.description);
            if (name == "specifiedByURL") return Source::of_optional_text(type.specified_by_url);
            if (name == "ofType") return Source::of_type(type.of_type);
            if (name == "fields" && type.kind == TypeKind::object) return records(Kind::field, schema_.fields(), type.fields);
            if (name == "interfaces" && type.kind == TypeKind::object) return Source::of_list();
            if (name == "enumValues" && type.kind == TypeKind::enum_type) {
                return records(Kind::enum_value, schema_.enum_values(), type.enum_values);
            }
            if (name == "inputFields" && type.kind == TypeKind::input_object) {
                return records(Kind::input_value, schema_.input_values(), type.input_fields);
            }
            if (name == "isOneOf" && type.kind == TypeKind::input_object) return Source::of_boolean(false);
            return Source();
        }
        case Kind::field: {
            const auto& record = *static_cast<const Field*>(parent.record);
            if (name == "name") return Source::of_text(record.name);
            if (name == "description") return Source::of_optional_text(record.description);
            if (name == "type") return Source::of_type(record.type);
            if (name == "args") return records(Kind::input_value, schema_.input_values(), record.arguments);
            return deprecation(record.deprecation_reason);
        }
        case Kind::input_value: {
            const auto& record = *static_cast<const InputValue*>(parent.record);
            if (name == "name") return Source::of_text(record.name);
            if (name == "description") return Source::of_optional_text(record.description);
            if (name == "type") return Source::of_type(record.type);
            if (name == "defaultValue") return record.default_literal ? Source::of_text(*record.default_literal) : Source();
            return deprecation(std::nullopt);
        }
        case Kind::enum_value: {
            const auto& record = *static_cast<const EnumValue*>(parent.record);
            if (name == "name") return Source::of_text(record.name);
            if (name == "description") return Source::of_optional_text(record.description);
            return deprecation(record.deprecation_reason);
        }
        case Kind::directive: {
            const auto& record = *static_cast<const Directive*>(parent.record);
            if (name == "name") return Source::of_text(record.name);
            if (name == "description") return Source::of_optional_text(record.description);
            if (name == "isRepeatable") return Source::of_boolean(record.repeatable);
            if (name == "args") return records(Kind::input_value, schema_.input_values(), record.arguments);
            if (name == "locations") {
                Source list = Source::of_list();
                for (std::uint32_t bit = 0; bit < directive_location_count; ++bit) {
                    if (record.locations & (1u << bit)) list.items.push_back(Source::of_text(directive_location_name(bit)));
                }
                return list;
            }
            return Source();
        }
        default: return Source();
    }
}

// ---- the request -------------------------------------------------------------

std::string errors_document(const std::vector<GraphqlError>& errors) {
    std::string out = "{\"errors\":[";
    for (std::size_t i = 0; i < errors.size(); ++i) {
        if (i > 0) out.push_back(',');
        out += "{\"message\":";
        json::write_string(errors[i].message, out);
        if (!errors[i].locations.empty()) {
            out += ",\"locations\":[";
            for (std::size_t j = 0; j < errors[i].locations.size(); ++j) {
                if (j > 0) out.push_back(',');
                out += "{\"line\":";
                json::write_uint64(errors[i].locations[j].line, out);
                out += ",\"column\":";
                json::write_uint64(errors[i].locations[j].column, out);
                out.push_back('}');
            }
            out.push_back(']');
        }
        out += ",\"extensions\":{\"code\":\"";
        out += error_code_name(errors[i].code);
        out += "\"}}";
    }
    out += "]}";
    return out;
}

std::string errors_document(std::string message, ErrorCode code) {
    return errors_document({GraphqlError{std::move(message), {}, code}});
}

bool is_engine_field(const Field& field) {
    return field.source == FieldSource::tool || field.source == FieldSource::servers ||
           field.source == FieldSource::search;
}

// One engine request: the lowered fields and the variables that carry
// their argument values, so no literal is ever spelled in the engine's
// language. Both texts are written in place and kept closed after each
// field, so the engine reads them as they stand.
class Lowering {
public:
    Lowering(const Schema& schema, const VariableValues& variables) : schema_(schema), variables_(variables) {
        query_.reserve(128);
        variables_json_.reserve(128);
        query_ = "{}";
        variables_json_ = "{}";
    }

    std::size_t add(const Field& field, const Selection& node) {
        const std::size_t key = keys_++;
        query_.pop_back();
        query_ += " k";
        append_count(key, query_);
        query_.push_back(':');
        if (field.source != FieldSource::tool) {
            query_ += field.name;
            query_.push_back('}');
            return key;
        }
        query_ += schema_.tools()[field.tool].engine_field;
        bool first = true;
        for (std::uint32_t i = field.arguments.first; i < field.arguments.end(); ++i) {
            const InputValue& definition = schema_.input_values()[i];
            const Argument* given = nullptr;
            for (const Argument& argument : node.arguments) {
                if (argument.name == definition.name) given = &argument;
            }
            const bool present = given != nullptr && literal_given(given->value, variables_);
            if (!present && !definition.default_json) continue;
            const std::size_t variable = arguments_++;
            query_.push_back(first ? '(' : ',');
            first = false;
            query_ += definition.json_name;
            query_ += ":$a";
            append_count(variable, query_);
            variables_json_.pop_back();
            variables_json_ += variables_json_.size() > 1 ? ",\"a" : "\"a";
            append_count(variable, variables_json_);
            variables_json_ += "\":";
            if (present) {
                write_literal(schema_, given->value, definition.type, variables_, variables_json_);
            } else {
                variables_json_ += *definition.default_json;
            }
            variables_json_.push_back('}');
        }
        if (!first) query_.push_back(')');
        query_.push_back('}');
        return key;
    }

    bool empty() const { return keys_ == 0; }
    std::size_t keys() const { return keys_; }
    std::string_view query() const { return query_; }
    std::string_view variables() const { return variables_json_; }

private:
    const Schema& schema_;
    const VariableValues& variables_;
    std::string query_;
    std::string variables_json_;
    std::size_t keys_ = 0;
    std::size_t arguments_ = 0;
};

// The engine's answer to one lowered request: the value of each lowered
// field by its key, or the engine's own error when it answered no data. A
// tool's reply is the document the engine read it into, taken over as it
// stands, so a large reply is read once and only what the selection picks
// out of it is ever written.
struct EngineAnswer {
    std::vector<json::Document> values;  // by key; empty documents for keys the engine did not answer
    std::string failure;

    json::Ref value(std::size_t key) const { return key < values.size() ? values[key].root() : json::Ref(); }
};

// The lowered keys are "k0", "k1", ...: the number after the 'k'.
std::optional<std::size_t> lowered_key(std::string_view alias) {
    if (alias.size() < 2 || alias.front() != 'k') return std::nullopt;
    std::size_t key = 0;
    for (char digit : alias.substr(1)) {
        if (digit < '0' || digit > '9' || key > (std::size_t{1} << 32)) return std::nullopt;
        key = key * 10 + static_cast<std::size_t>(digit - '0');
    }
    return key;
}

class AnswerTaker final : public AnswerReader {
public:
    explicit AnswerTaker(std::size_t keys) { answer.values.resize(keys); }

    void refused(std::string_view message) override {
        answer.failure = message.empty() ? std::string_view("the engine refused the request") : message;
    }

    void answered(std::pmr::vector<FieldValue>& values) override {
        for (FieldValue& value : values) {
            const std::optional<std::size_t> key = lowered_key(value.alias);
            if (!key || *key >= answer.values.size()) continue;
            answer.values[*key] = take_value(value);
        }
    }

    EngineAnswer answer;

private:
    // A built-in view is JSON text already and is read as it stands; a
    // placeholder or a tool's error is read from the small text the
    // engine's response document gives it. The engine wrote them all, so
    // they read.
    static json::Document take_value(FieldValue& value) {
        if (value.reply.root()) return std::move(value.reply);
        if (!value.is_tool) return read_written(value.text);
        std::string text;
        write_field_value(value, text);
        return read_written(text);
    }
    static json::Document read_written(std::string_view text) {
        Result<json::Document> read = json::read(text);
        return read ? std::move(read).value() : json::Document();
    }
};

std::optional<EngineAnswer> run_engine(const EngineRecord& engine, const Lowering& lowering,
                                       InterruptCheck* interrupt) {
    AnswerTaker taker(lowering.keys());
    if (!execute_fields(engine, lowering.query(), lowering.variables(), taker, interrupt)) return std::nullopt;
    return std::move(taker.answer);
}

}  // namespace

std::shared_ptr<const Document> DocumentCache::find(std::string_view query) {
    if (query.size() > max_query_bytes) return nullptr;
    std::lock_guard lock(mutex_);
    auto found = entries_.find(query);
    return found == entries_.end() ? nullptr : found->second;
}

void DocumentCache::keep(std::string_view query, std::shared_ptr<const Document> document) {
    if (query.size() > max_query_bytes) return;
    std::lock_guard lock(mutex_);
    if (entries_.size() >= capacity) entries_.clear();
    entries_.emplace(std::string(query), std::move(document));
}

namespace {

// A request ready to run: everything decided before any tool is called.
struct Prepared {
    std::shared_ptr<const Document> document;
    const OperationDefinition* operation = nullptr;
    bool mutation = false;
    TypeId root = no_type;
    VariableValues variables;
};

// Parse and validate (or the cached document), pick the operation, apply the
// mutation rule and coerce the variables; a refusal is the response
// document that says why.
std::variant<Prepared, std::string> prepare(const Schema& schema, const Request& request,
                                            const RequestLimits& limits, DocumentCache* cache) {
    Prepared ready;
    ready.document = cache != nullptr ? cache->find(request.query) : nullptr;
    if (ready.document == nullptr) {
        GraphqlResult<Document> parsed = parse_document(request.query, parse_limits(limits));
        if (!parsed) return errors_document({std::move(parsed).error()});
        if (std::vector<GraphqlError> errors = validate(schema, parsed.value(), limits); !errors.empty()) {
            return errors_document(errors);
        }
        ready.document = std::make_shared<const Document>(std::move(parsed).value());
        if (cache != nullptr) cache->keep(request.query, ready.document);
    }
    if (!request.allow_introspection) {
        if (std::vector<GraphqlError> errors = validate_no_introspection(schema, *ready.document); !errors.empty()) {
            return errors_document(errors);
        }
    }
    // An empty operationName names no operation (an anonymous one has no
    // name), as graphql-js reads it; only an absent one picks the lone one.
    const bool named = request.operation_name.has_value();
    ready.operation = named && request.operation_name->empty()
                          ? nullptr
                          : ready.document->find_operation(request.operation_name.value_or(""));
    if (ready.operation == nullptr) {
        if (named) {
            return errors_document("Unknown operation named \"" + std::string(*request.operation_name) + "\".",
                                   ErrorCode::operation_not_found);
        }
        if (ready.document->operations.empty()) {
            return errors_document("Must provide an operation.", ErrorCode::operation_not_found);
        }
        return errors_document("Must provide operation name if query contains multiple operations.",
                               ErrorCode::operation_not_found);
    }
    if (ready.operation->kind == OperationKind::subscription) {
        return errors_document("Subscriptions are not supported.", ErrorCode::bad_request);
    }
    ready.mutation = ready.operation->kind == OperationKind::mutation;
    if (ready.mutation && !request.allow_mutations) {
        return errors_document("Can only perform a mutation operation from a POST request.", ErrorCode::bad_request);
    }
    ready.root = ready.mutation ? schema.mutation_type() : schema.query_type();
    if (ready.root == no_type) {
        return errors_document("Schema is not configured for mutations.", ErrorCode::validation_failed);
    }
    if (std::vector<GraphqlError> errors =
            coerce_variable_values(schema, *ready.operation, request.variables_json, ready.variables);
        !errors.empty()) {
        return errors_document(errors);
    }
    return ready;
}

}  // namespace

std::size_t count_tool_calls(const Schema& schema, const Request& request, const RequestLimits& limits,
                             DocumentCache* cache) {
    std::variant<Prepared, std::string> prepared = prepare(schema, request, limits, cache);
    const Prepared* ready = std::get_if<Prepared>(&prepared);
    if (ready == nullptr) return 0;  // refused as a whole: it calls no tool
    std::string unused;
    const Executor executor(schema, *ready->document, ready->variables, unused);
    std::size_t calls = 0;
    for (const FieldGroup& group : executor.collect_root(ready->root, *ready->operation)) {
        const Field* field = group.field;
        if (field == nullptr || field->source != FieldSource::tool) continue;
        // A field whose arguments the variables fail calls nothing.
        if (!argument_error(schema, *field, *group.nodes.front(), ready->variables)) ++calls;
    }
    return calls;
}

std::optional<std::string> execute_request(const Schema& schema, const EngineRecord& engine, const Request& request,
                                           const RequestLimits& limits, InterruptCheck* interrupt,
                                           DocumentCache* cache) {
    std::variant<Prepared, std::string> prepared = prepare(schema, request, limits, cache);
    if (std::string* refusal = std::get_if<std::string>(&prepared)) return std::move(*refusal);
    Prepared& ready = std::get<Prepared>(prepared);
    const Document& document = *ready.document;
    const OperationDefinition* operation = ready.operation;
    const bool mutation = ready.mutation;
    const TypeId root = ready.root;
    const VariableValues& variables = ready.variables;

    std::string out;
    out.reserve(512);
    out = "{\"data\":";
    const std::size_t data_start = out.size();
    Executor executor(schema, document, variables, out);
    const GroupedFields groups = executor.collect_root(root, *operation);
    const Source root_source;
    bool data_null = false;

    // Fields of a query go to the engine in one request and so run
    // together; a mutation's run one request each, in document order.
    std::vector<std::optional<std::size_t>> keys(groups.size());
    // A tool whose arguments the variables leave null where they may not
    // be is never called: its field is null with the error.
    std::vector<std::optional<GraphqlError>> refused(groups.size());
    for (std::size_t i = 0; i < groups.size(); ++i) {
        const Field* field = groups[i].field;
        if (field != nullptr && is_engine_field(*field) && field->arguments.count > 0) {
            refused[i] = argument_error(schema, *field, *groups[i].nodes.front(), variables);
        }
    }
    Lowering together(schema, variables);
    if (!mutation) {
        for (std::size_t i = 0; i < groups.size(); ++i) {
            const Field* field = groups[i].field;
            if (field != nullptr && is_engine_field(*field) && !refused[i]) {
                keys[i] = together.add(*field, *groups[i].nodes.front());
            }
        }
    }
    std::optional<EngineAnswer> answer;
    if (!together.empty()) {
        answer = run_engine(engine, together, interrupt);
        if (!answer) return std::nullopt;
    }
    out.push_back('{');
    for (std::size_t i = 0; i < groups.size(); ++i) {
        if (i > 0) out.push_back(',');
        const FieldGroup& group = groups[i];
        const Field* field = group.field;
        if (field == nullptr || !is_engine_field(*field)) {
            data_null = !executor.write_field(root, group, root_source) || data_null;
            continue;
        }
        if (refused[i]) {
            data_null = !executor.write_refused(*field, group, *refused[i]) || data_null;
            continue;
        }
        if (mutation) {
            Lowering alone(schema, variables);
            keys[i] = alone.add(*field, *group.nodes.front());
            answer = run_engine(engine, alone, interrupt);
            if (!answer) return std::nullopt;
        }
        json::Ref value = answer->value(*keys[i]);
        if (field->source == FieldSource::tool && answer->failure.empty()) {
            data_null = !executor.write_tool_field(*field, group, value) || data_null;
            continue;
        }
        if (!answer->failure.empty()) {
            executor.path().push_back(PathSegment{group.key});
            executor.add_error(answer->failure, group, ErrorCode::internal);
            executor.path().pop_back();
        }
        data_null = !executor.write_resolved(root, *field, group, Source::of_json(value)) || data_null;
    }
    out.push_back('}');
    if (data_null) {
        out.resize(data_start);
        out += "null";
    }
    if (!executor.errors().empty()) {
        out += ",\"errors\":[";
        out += executor.errors();
        out.push_back(']');
    }
    out.push_back('}');
    return out;
}

}  // namespace quorvel::graphql
