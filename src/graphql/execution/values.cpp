#include "graphql/execution/values.hpp"

#include <cmath>

#include "graphql/execution/scalars.hpp"
#include "graphql/validation/suggestions.hpp"

namespace quorvel::graphql {

namespace {

// Variables nest no deeper than JSON may (json::max_read_depth), so the
// coercion's recursion is bounded by the read.
struct Problem {
    std::string reason;
    std::string path;  // "a.b[0]", empty at the variable itself
    json::Ref at;      // the value at fault, as graphql-js shows it
};

bool is_integer(json::Ref value) {
    const json::Kind kind = value.kind();
    if (kind == json::Kind::uint64 || kind == json::Kind::int64) return true;
    if (kind != json::Kind::real) return false;
    const double real = value.real();
    return std::isfinite(real) && std::floor(real) == real;
}

bool is_number(json::Ref value) {
    const json::Kind kind = value.kind();
    return kind == json::Kind::uint64 || kind == json::Kind::int64 || kind == json::Kind::real;
}

bool fits_int32(json::Ref value) {
    switch (value.kind()) {
        case json::Kind::uint64: return value.uint64() <= 2147483647u;
        case json::Kind::int64: return value.int64() >= -2147483648LL && value.int64() <= 2147483647LL;
        default: return value.real() >= -2147483648.0 && value.real() <= 2147483647.0;
    }
}

void write_integer(json::Ref value, std::string& out) {
    if (value.kind() == json::Kind::real) {
        json::write_int64(static_cast<std::int64_t>(value.real()), out);
    } else {
        json::write(value, out);
    }
}

bool coerce_scalar(const Schema& schema, json::Ref value, TypeId type, std::string& out, Problem& problem) {
    const std::string_view name = schema.type(type).name;
    if (type == schema.json_type()) {
        json::write(value, out);
        return true;
    }
    if (type == schema.string_type()) {
        if (!value.is_string()) {
            problem.at = value;
            problem.reason = "String cannot represent a non string value: " + inspect(value);
            return false;
        }
        json::write(value, out);
        return true;
    }
    if (type == schema.boolean_type()) {
        if (!value.is_boolean()) {
            problem.at = value;
            problem.reason = "Boolean cannot represent a non boolean value: " + inspect(value);
            return false;
        }
        json::write(value, out);
        return true;
    }
    if (type == schema.int_type()) {
        if (!is_integer(value)) {
            problem.at = value;
            problem.reason = "Int cannot represent non-integer value: " + inspect(value);
            return false;
        }
        if (!fits_int32(value)) {
            problem.at = value;
            problem.reason = "Int cannot represent non 32-bit signed integer value: " + inspect(value);
            return false;
        }
        write_integer(value, out);
        return true;
    }
    if (type == schema.float_type()) {
        if (!is_number(value)) {
            problem.at = value;
            problem.reason = "Float cannot represent non numeric value: " + inspect(value);
            return false;
        }
        json::write(value, out);
        return true;
    }
    if (type == schema.id_type()) {
        if (value.is_string()) {
            json::write(value, out);
        } else if (is_integer(value) && value.kind() != json::Kind::real) {
            std::string digits;
            json::write(value, digits);
            json::write_string(digits, out);
        } else {
            problem.at = value;
            problem.reason = "ID cannot represent value: " + inspect(value);
            return false;
        }
        return true;
    }
    problem.at = value;
    problem.reason = "Unknown scalar " + std::string(name);
    return false;
}

bool coerce_input(const Schema& schema, json::Ref value, TypeId type, std::string& out, Problem& problem);

bool coerce_input_object(const Schema& schema, json::Ref value, TypeId type, std::string& out, Problem& problem) {
    const Type& record = schema.type(type);
    if (!value.is_object()) {
        problem.at = value;
        problem.reason = "Expected type \"" + std::string(record.name) + "\" to be an object.";
        return false;
    }
    bool unknown = false;
    value.for_each_member([&](std::string_view key, json::Ref) {
        if (unknown || schema.find_input_field(type, key)) return;
        unknown = true;
        std::vector<std::string_view> names;
        for (std::uint32_t i = record.input_fields.first; i < record.input_fields.end(); ++i) {
            names.push_back(schema.input_values()[i].name);
        }
        problem.at = value;
        problem.reason = "Field \"" + std::string(key) + "\" is not defined by type \"" + std::string(record.name) +
                         "\"." + validation::did_you_mean(validation::suggestion_list(key, names));
    });
    if (unknown) return false;
    out.push_back('{');
    bool first = true;
    for (std::uint32_t i = record.input_fields.first; i < record.input_fields.end(); ++i) {
        const InputValue& field = schema.input_values()[i];
        json::Ref member = value.find(field.name);
        if (!member && !field.default_json) {
            if (schema.type(field.type).kind == TypeKind::non_null) {
                problem.at = value;
                problem.reason = "Field \"" + std::string(field.name) + "\" of required type \"" +
                                 schema.type_name(field.type) + "\" was not provided.";
                return false;
            }
            continue;
        }
        if (!first) out.push_back(',');
        first = false;
        json::write_string(field.json_name, out);
        out.push_back(':');
        if (!member) {
            out += *field.default_json;
            continue;
        }
        if (!coerce_input(schema, member, field.type, out, problem)) {
            problem.path = std::string(field.name) + (problem.path.empty() || problem.path[0] == '[' ? "" : ".") +
                           problem.path;
            return false;
        }
    }
    out.push_back('}');
    return true;
}

bool coerce_input(const Schema& schema, json::Ref value, TypeId type, std::string& out, Problem& problem) {
    const Type& record = schema.type(type);
    if (record.kind == TypeKind::non_null) {
        if (!value || value.kind() == json::Kind::null) {
            problem.at = value;
            problem.reason = "Expected non-nullable type \"" + schema.type_name(type) + "\" not to be null.";
            return false;
        }
        return coerce_input(schema, value, record.of_type, out, problem);
    }
    if (!value || value.kind() == json::Kind::null) {
        out += "null";
        return true;
    }
    switch (record.kind) {
        case TypeKind::list: {
            if (!value.is_array()) {
                out.push_back('[');
                if (!coerce_input(schema, value, record.of_type, out, problem)) return false;
                out.push_back(']');
                return true;
            }
            out.push_back('[');
            std::size_t index = 0;
            bool ok = true;
            value.for_each_element([&](json::Ref element) {
                if (!ok) return;
                if (index > 0) out.push_back(',');
                if (!coerce_input(schema, element, record.of_type, out, problem)) {
                    problem.path = "[" + std::to_string(index) + "]" +
                                   (problem.path.empty() || problem.path[0] == '[' ? "" : ".") + problem.path;
                    ok = false;
                }
                ++index;
            });
            out.push_back(']');
            return ok;
        }
        case TypeKind::enum_type: {
            const EnumValue* found = value.is_string() ? schema.find_enum_value(type, value.string()) : nullptr;
            if (found == nullptr) {
                // graphql-js suggests names near the string given, or near
                // the printed value when it is no string.
                const std::string printed = inspect(value);
                std::vector<std::string_view> names;
                for (std::uint32_t i = record.enum_values.first; i < record.enum_values.end(); ++i) {
                    names.push_back(schema.enum_values()[i].name);
                }
                const std::string hint = validation::did_you_mean(
                    "the enum value", validation::suggestion_list(value.is_string() ? value.string() : printed, names));
                problem.at = value;
                problem.reason = value.is_string() ? "Value " + printed + " does not exist in \"" +
                                                         std::string(record.name) + "\" enum." + hint
                                                   : "Enum \"" + std::string(record.name) +
                                                         "\" cannot represent non-string value: " + printed + "." + hint;
                return false;
            }
            json::write_string(found->json_value, out);
            return true;
        }
        case TypeKind::input_object: return coerce_input_object(schema, value, type, out, problem);
        default: return coerce_scalar(schema, value, type, out, problem);
    }
}

// "[Int!]!": a document's type reference as messages print it. The schema
// interns only the wrappers it uses itself, so variables are coerced by
// their reference, not by a TypeId.
std::string ref_name(const TypeRef& ref) {
    switch (ref.kind) {
        case TypeRefKind::list: return "[" + ref_name(*ref.of_type) + "]";
        case TypeRefKind::non_null: return ref_name(*ref.of_type) + "!";
        default: return std::string(ref.name);
    }
}

bool coerce_by_ref(const Schema& schema, json::Ref value, const TypeRef& ref, std::string& out, Problem& problem) {
    if (ref.kind == TypeRefKind::named) return coerce_input(schema, value, schema.find_type(ref.name), out, problem);
    if (ref.kind == TypeRefKind::non_null) {
        if (!value || value.kind() == json::Kind::null) {
            problem.at = value;
            problem.reason = "Expected non-nullable type \"" + ref_name(ref) + "\" not to be null.";
            return false;
        }
        return coerce_by_ref(schema, value, *ref.of_type, out, problem);
    }
    if (!value || value.kind() == json::Kind::null) {
        out += "null";
        return true;
    }
    out.push_back('[');
    if (!value.is_array()) {
        if (!coerce_by_ref(schema, value, *ref.of_type, out, problem)) return false;
        out.push_back(']');
        return true;
    }
    std::size_t index = 0;
    bool ok = true;
    value.for_each_element([&](json::Ref element) {
        if (!ok) return;
        if (index > 0) out.push_back(',');
        if (!coerce_by_ref(schema, element, *ref.of_type, out, problem)) {
            problem.path = "[" + std::to_string(index) + "]" +
                           (problem.path.empty() || problem.path[0] == '[' ? "" : ".") + problem.path;
            ok = false;
        }
        ++index;
    });
    out.push_back(']');
    return ok;
}

void write_literal_by_ref(const Schema& schema, const Value& value, const TypeRef& ref,
                          const VariableValues& variables, std::string& out) {
    if (ref.kind == TypeRefKind::named) {
        write_literal(schema, value, schema.find_type(ref.name), variables, out);
    } else if (ref.kind == TypeRefKind::non_null) {
        write_literal_by_ref(schema, value, *ref.of_type, variables, out);
    } else if (value.kind == ValueKind::null) {
        out += "null";
    } else if (value.kind != ValueKind::list) {
        out.push_back('[');
        write_literal_by_ref(schema, value, *ref.of_type, variables, out);
        out.push_back(']');
    } else {
        out.push_back('[');
        for (std::size_t i = 0; i < value.list.size(); ++i) {
            if (i > 0) out.push_back(',');
            write_literal_by_ref(schema, value.list[i], *ref.of_type, variables, out);
        }
        out.push_back(']');
    }
}

GraphqlError variable_error(std::string message, const VariableDefinition& definition) {
    return GraphqlError{std::move(message), {definition.location}, ErrorCode::bad_user_input};
}

}  // namespace

std::vector<GraphqlError> coerce_variable_values(const Schema& schema, const OperationDefinition& operation,
                                                 std::optional<std::string_view> variables_json,
                                                 VariableValues& values) {
    std::vector<GraphqlError> errors;
    json::Document document;
    json::Ref given;
    if (variables_json && !variables_json->empty()) {
        Result<json::Document> read = json::read(*variables_json);
        if (!read) return {GraphqlError{"Variables are invalid JSON: " + read.message() + ".", {}, ErrorCode::bad_request}};
        document = std::move(read).value();
        given = document.root();
        if (given.kind() == json::Kind::null) {
            given = json::Ref();
        } else if (!given.is_object()) {
            return {GraphqlError{"Variables must be provided as an Object where each property is a variable value.",
                                 {}, ErrorCode::bad_request}};
        }
    }
    for (const VariableDefinition& definition : operation.variables) {
        const TypeRef* innermost = definition.type;
        while (innermost->kind != TypeRefKind::named) innermost = innermost->of_type;
        const TypeId named = schema.find_type(innermost->name);
        // Validation refused unknown and non-input types already.
        if (named == no_type || !schema.is_input_type(named)) continue;
        const TypeRef& ref = *definition.type;
        const bool required = ref.kind == TypeRefKind::non_null;
        // Spelled only for an error: most requests coerce without one.
        auto dollar_name = [&definition] { return "$" + std::string(definition.name); };
        json::Ref value = given ? given.find(definition.name) : json::Ref();
        if (!value) {
            if (definition.default_value != nullptr) {
                std::string text;
                write_literal_by_ref(schema, *definition.default_value, ref, values, text);
                values.emplace(definition.name, std::move(text));
            } else if (required) {
                errors.push_back(variable_error(
                    "Variable \"" + dollar_name() + "\" of required type \"" + ref_name(ref) + "\" was not provided.",
                    definition));
            }
            continue;
        }
        if (value.kind() == json::Kind::null && required) {
            errors.push_back(variable_error(
                "Variable \"" + dollar_name() + "\" of non-null type \"" + ref_name(ref) + "\" must not be null.",
                definition));
            continue;
        }
        std::string text;
        Problem problem;
        if (!coerce_by_ref(schema, value, ref, text, problem)) {
            std::string message = "Variable \"" + dollar_name() + "\" got invalid value " +
                                  (problem.at ? inspect(problem.at) : std::string("null"));
            if (!problem.path.empty()) {
                message += " at \"" + std::string(definition.name) + (problem.path[0] == '[' ? "" : ".") + problem.path + "\"";
            }
            errors.push_back(variable_error(message + "; " + problem.reason, definition));
            continue;
        }
        values.emplace(definition.name, std::move(text));
    }
    return errors;
}

namespace {

// graphql-js's check of an argument literal at execution: validation has
// let each variable stand where its type fits, but only the request's
// variables tell whether one is null (or absent) where null is not allowed.
class ArgumentCheck {
public:
    ArgumentCheck(const Schema& schema, const VariableValues& variables) : schema_(schema), variables_(variables) {}

    // `covered`: a default stands in for an absent value here.
    std::optional<GraphqlError> check(const Value& value, TypeId type, bool covered) {
        const Type& record = schema_.type(type);
        if (value.kind == ValueKind::variable) {
            if (record.kind != TypeKind::non_null) return std::nullopt;
            auto found = variables_.find(value.text);
            if (found == variables_.end()) {
                if (covered) return std::nullopt;
                return refuse("Expected variable \"$" + std::string(value.text) + "\" provided to type \"" +
                                  schema_.type_name(type) + "\" to provide a runtime value.",
                              value.location);
            }
            if (found->second != "null") return std::nullopt;
            return refuse("Expected variable \"$" + std::string(value.text) + "\" provided to non-null type \"" +
                              schema_.type_name(type) + "\" not to be null.",
                          value.location);
        }
        const TypeId nullable = schema_.nullable_type(type);
        const Type& inner = schema_.type(nullable);
        if (inner.kind == TypeKind::list) {
            if (value.kind != ValueKind::list) return check(value, inner.of_type, false);
            for (std::size_t i = 0; i < value.list.size(); ++i) {
                const std::size_t mark = path_.size();
                path_ += "[" + std::to_string(i) + "]";
                if (auto error = check(value.list[i], inner.of_type, false)) return error;
                path_.resize(mark);
            }
            return std::nullopt;
        }
        if (inner.kind != TypeKind::input_object || value.kind != ValueKind::object) return std::nullopt;
        for (const ObjectField& field : value.fields) {
            const InputValue* definition = schema_.find_input_field(nullable, field.name);
            if (definition == nullptr) continue;
            const std::size_t mark = path_.size();
            path_ += "." + std::string(field.name);
            const bool field_covered =
                definition->default_json.has_value() || schema_.type(definition->type).kind != TypeKind::non_null;
            if (auto error = check(field.value, definition->type, field_covered)) return error;
            path_.resize(mark);
        }
        return std::nullopt;
    }

    std::string_view path() const { return path_; }

private:
    std::optional<GraphqlError> refuse(std::string reason, Location location) {
        return GraphqlError{std::move(reason), {location}, ErrorCode::bad_user_input};
    }

    const Schema& schema_;
    const VariableValues& variables_;
    std::string path_;  // ".a[0]" below the argument, as graphql-js prints it
};

}  // namespace

std::optional<GraphqlError> argument_error(const Schema& schema, const Field& field, const Selection& node,
                                           const VariableValues& variables) {
    for (const Argument& argument : node.arguments) {
        const InputValue* definition = schema.find_argument(field, argument.name);
        if (definition == nullptr) continue;
        ArgumentCheck check(schema, variables);
        std::optional<GraphqlError> error = check.check(argument.value, definition->type,
                                                        definition->default_json.has_value());
        if (!error) continue;
        const std::string where = check.path().empty() ? "" : " at " + std::string(check.path());
        error->message = "Argument \"" + std::string(argument.name) + "\" has invalid value" + where + ": " +
                         error->message;
        return error;
    }
    return std::nullopt;
}

bool literal_given(const Value& value, const VariableValues& variables) {
    return value.kind != ValueKind::variable || variables.contains(value.text);
}

namespace {

// A literal under the JSON scalar: written as the JSON it spells.
void write_free_literal(const Value& value, const VariableValues& variables, std::string& out) {
    switch (value.kind) {
        case ValueKind::variable: {
            auto found = variables.find(value.text);
            out += found == variables.end() ? std::string_view("null") : std::string_view(found->second);
            return;
        }
        case ValueKind::int_value:
        case ValueKind::float_value: out += value.text; return;
        case ValueKind::string:
        case ValueKind::enum_value: json::write_string(value.text, out); return;
        case ValueKind::boolean: out += value.boolean ? "true" : "false"; return;
        case ValueKind::null: out += "null"; return;
        case ValueKind::list: {
            out.push_back('[');
            for (std::size_t i = 0; i < value.list.size(); ++i) {
                if (i > 0) out.push_back(',');
                write_free_literal(value.list[i], variables, out);
            }
            out.push_back(']');
            return;
        }
        case ValueKind::object: {
            out.push_back('{');
            bool first = true;
            for (const ObjectField& field : value.fields) {
                if (!literal_given(field.value, variables)) continue;
                if (!first) out.push_back(',');
                first = false;
                json::write_string(field.name, out);
                out.push_back(':');
                write_free_literal(field.value, variables, out);
            }
            out.push_back('}');
            return;
        }
    }
}

void write_number_literal(const Value& value, TypeId named, const Schema& schema, std::string& out) {
    if (named == schema.id_type() || named == schema.string_type()) {
        json::write_string(value.text, out);
        return;
    }
    // GraphQL number literals are JSON numbers, except that JSON has no
    // room for an exponent on an integer-looking Int (validation refused it).
    out += value.text;
}

}  // namespace

void write_literal(const Schema& schema, const Value& value, TypeId type, const VariableValues& variables,
                   std::string& out) {
    type = schema.nullable_type(type);
    if (value.kind == ValueKind::variable) {
        auto found = variables.find(value.text);
        out += found == variables.end() ? std::string_view("null") : std::string_view(found->second);
        return;
    }
    if (value.kind == ValueKind::null) {
        out += "null";
        return;
    }
    const Type& record = schema.type(type);
    if (record.kind == TypeKind::list) {
        if (value.kind != ValueKind::list) {
            out.push_back('[');
            write_literal(schema, value, record.of_type, variables, out);
            out.push_back(']');
            return;
        }
        out.push_back('[');
        for (std::size_t i = 0; i < value.list.size(); ++i) {
            if (i > 0) out.push_back(',');
            write_literal(schema, value.list[i], record.of_type, variables, out);
        }
        out.push_back(']');
        return;
    }
    if (record.kind == TypeKind::input_object && value.kind == ValueKind::object) {
        out.push_back('{');
        bool first = true;
        for (std::uint32_t i = record.input_fields.first; i < record.input_fields.end(); ++i) {
            const InputValue& field = schema.input_values()[i];
            const ObjectField* given = nullptr;
            for (const ObjectField& candidate : value.fields) {
                if (candidate.name == field.name) given = &candidate;
            }
            const bool present = given != nullptr && literal_given(given->value, variables);
            if (!present && !field.default_json) continue;
            if (!first) out.push_back(',');
            first = false;
            json::write_string(field.json_name, out);
            out.push_back(':');
            if (present) {
                write_literal(schema, given->value, field.type, variables, out);
            } else {
                out += *field.default_json;
            }
        }
        out.push_back('}');
        return;
    }
    if (record.kind == TypeKind::enum_type && value.kind == ValueKind::enum_value) {
        const EnumValue* found = schema.find_enum_value(type, value.text);
        json::write_string(found != nullptr ? found->json_value : value.text, out);
        return;
    }
    if (type == schema.json_type()) {
        write_free_literal(value, variables, out);
        return;
    }
    switch (value.kind) {
        case ValueKind::int_value:
        case ValueKind::float_value: write_number_literal(value, type, schema, out); return;
        case ValueKind::string:
        case ValueKind::enum_value: json::write_string(value.text, out); return;
        case ValueKind::boolean: out += value.boolean ? "true" : "false"; return;
        default: write_free_literal(value, variables, out); return;
    }
}

bool should_include(const NodeList<DirectiveNode>& directives, const VariableValues& variables) {
    for (const DirectiveNode& directive : directives) {
        const bool skip = directive.name == "skip";
        if (!skip && directive.name != "include") continue;
        for (const Argument& argument : directive.arguments) {
            if (argument.name != "if") continue;
            bool condition = false;
            if (argument.value.kind == ValueKind::boolean) {
                condition = argument.value.boolean;
            } else if (argument.value.kind == ValueKind::variable) {
                auto found = variables.find(argument.value.text);
                condition = found != variables.end() && found->second == "true";
            }
            if (skip == condition) return false;
        }
    }
    return true;
}

}  // namespace quorvel::graphql
