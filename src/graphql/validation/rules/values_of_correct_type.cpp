// Literal values fit the input type expected where they stand: scalars
// parse, enum values exist, input objects have their required fields and
// no others, null only where null is allowed. Worded as graphql-js 17
// words them (graphql-core 3.3 alike, but for Python's "None").
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "graphql/validation/rules/rules.hpp"
#include "graphql/validation/suggestions.hpp"

namespace quorvel::graphql::validation {

namespace {

bool fits_int32(std::string_view text) {
    if (text.size() > 12) return false;
    const std::string copy(text);
    errno = 0;
    const long long value = std::strtoll(copy.c_str(), nullptr, 10);
    return errno == 0 && value >= INT32_MIN && value <= INT32_MAX;
}

// A number literal the double that carries it to the tool cannot hold:
// JSON has no infinity.
bool infinite(const Value& value) {
    if (value.kind != ValueKind::int_value && value.kind != ValueKind::float_value) return false;
    const std::string copy(value.text);
    return std::isinf(std::strtod(copy.c_str(), nullptr));
}

// The first infinite number inside a literal of the JSON scalar.
const Value* infinite_inside(const Value& value) {
    if (infinite(value)) return &value;
    for (const Value& element : value.list) {
        if (const Value* found = infinite_inside(element)) return found;
    }
    for (const ObjectField& field : value.fields) {
        if (const Value* found = infinite_inside(field.value)) return found;
    }
    return nullptr;
}

class ValuesOfCorrectType final : public Rule {
public:
    using Rule::Rule;
    void enter_arguments(const NodeList<Argument>& arguments, TypeId, const Field* field, const Directive* directive,
                         Location) override {
        if (!field && !directive) return;
        const Schema& schema = context_.schema();
        for (const Argument& argument : arguments) {
            const InputValue* definition =
                field ? schema.find_argument(*field, argument.name) : schema.find_argument(*directive, argument.name);
            if (definition) check(argument.value, InputType{definition->type, nullptr});
        }
    }
    void enter_variable_definition(const VariableDefinition& definition) override {
        if (definition.default_value) check(*definition.default_value, InputType{no_type, definition.type});
    }

private:
    // graphql-js's validateInputLiteral: non-null first, then lists (a
    // single value standing for a list of one), input objects and leaves.
    void check(const Value& value, const InputType& type) {
        const Schema& schema = context_.schema();
        if (!type.known(schema) || value.kind == ValueKind::variable) return;
        if (type.is_non_null(schema)) {
            if (value.kind == ValueKind::null) {
                report(value, "Expected value of non-null type \"" + type.print(schema) + "\" not to be null.");
                return;
            }
            return check(value, type.of_type(schema));
        }
        if (value.kind == ValueKind::null) return;
        if (type.is_list(schema)) {
            const InputType item = type.of_type(schema);
            if (value.kind != ValueKind::list) return check(value, item);
            for (const Value& element : value.list) check(element, item);
            return;
        }
        if (schema.type(type.named(schema)).kind == TypeKind::input_object) return check_object(value, type);
        check_leaf(value, type);
    }

    void check_object(const Value& value, const InputType& type) {
        const Schema& schema = context_.schema();
        const TypeId named = type.named(schema);
        const Type& object = schema.type(named);
        const std::string type_text = "Expected value of type \"" + std::string(object.name) + "\"";
        if (value.kind != ValueKind::object) {
            report(value, type_text + " to be an object, found: " + print_value(value) + ".");
            return;
        }
        std::vector<std::string_view> names;
        for (std::uint32_t i = object.input_fields.first; i < object.input_fields.end(); ++i) {
            const InputValue& definition = schema.input_values()[i];
            names.push_back(definition.name);
            const ObjectField* given = nullptr;
            for (const ObjectField& field : value.fields) {
                if (field.name == definition.name) {
                    given = &field;
                    break;
                }
            }
            if (given) {
                check(given->value, InputType{definition.type, nullptr});
            } else if (schema.type(definition.type).kind == TypeKind::non_null && !definition.default_literal) {
                report(value, type_text + " to include required field \"" + std::string(definition.name) +
                                  "\", found: " + print_value(value) + ".");
            }
        }
        for (const ObjectField& field : value.fields) {
            if (schema.find_input_field(named, field.name)) continue;
            const std::string hint = did_you_mean(suggestion_list(field.name, names));
            context_.report(type_text + " not to include unknown field \"" + std::string(field.name) + "\"" +
                                (hint.empty() ? ", found: " : "." + hint + " Found: ") + print_value(value) + ".",
                            {field.location});
        }
    }

    // graphql-js's isValidValueNode: the literal must parse as the named
    // leaf type, each scalar refusing in its own words.
    void check_leaf(const Value& value, const InputType& type) {
        const Schema& schema = context_.schema();
        const TypeId named = type.named(schema);
        const Type& leaf = schema.type(named);
        if (leaf.kind == TypeKind::enum_type) return check_enum(value, leaf, named);
        // Printed only for an error: this runs for every literal.
        const auto printed = [&] { return print_value(value); };
        if (leaf.kind != TypeKind::scalar) {
            report(value, "Expected value of type \"" + type.print(schema) + "\", found: " + printed() + ".");
            return;
        }
        const ValueKind kind = value.kind;
        if (named == schema.int_type()) {
            if (kind != ValueKind::int_value) {
                report(value, "Int cannot represent non-integer value: " + printed());
            } else if (!fits_int32(value.text)) {
                report(value, "Int cannot represent non 32-bit signed integer value: " + printed());
            }
        } else if (named == schema.float_type()) {
            if ((kind != ValueKind::int_value && kind != ValueKind::float_value) || infinite(value)) {
                report(value, "Float cannot represent non numeric value: " + printed());
            }
        } else if (named == schema.string_type()) {
            if (kind != ValueKind::string) report(value, "String cannot represent a non string value: " + printed());
        } else if (named == schema.boolean_type()) {
            if (kind != ValueKind::boolean) report(value, "Boolean cannot represent a non boolean value: " + printed());
        } else if (named == schema.id_type()) {
            if (kind != ValueKind::string && kind != ValueKind::int_value) {
                report(value, "ID cannot represent a non-string and non-integer value: " + printed());
            }
        } else if (const Value* number = infinite_inside(value)) {
            // The JSON scalar takes any literal that JSON can hold.
            report(*number, std::string(leaf.name) + " cannot represent non-finite number: " + print_value(*number));
        }
    }

    void check_enum(const Value& value, const Type& type, TypeId named) {
        const Schema& schema = context_.schema();
        if (value.kind == ValueKind::enum_value && schema.find_enum_value(named, value.text)) return;
        const std::string printed = print_value(value);
        std::vector<std::string_view> names;
        for (std::uint32_t i = type.enum_values.first; i < type.enum_values.end(); ++i) {
            names.push_back(schema.enum_values()[i].name);
        }
        const std::string hint = did_you_mean("the enum value", suggestion_list(printed, names));
        if (value.kind != ValueKind::enum_value) {
            report(value, "Enum \"" + std::string(type.name) + "\" cannot represent non-enum value: " + printed + "." +
                              hint);
        } else {
            report(value, "Value \"" + printed + "\" does not exist in \"" + std::string(type.name) + "\" enum." + hint);
        }
    }

    void report(const Value& value, std::string message) { context_.report(std::move(message), {value.location}); }
};

}  // namespace

Rule* values_of_correct_type(ValidationContext& context, RuleArena& arena) { return arena.make<ValuesOfCorrectType>(context); }

}  // namespace quorvel::graphql::validation
