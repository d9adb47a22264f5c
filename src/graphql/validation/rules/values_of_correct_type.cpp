// Literal values fit the input type expected where they stand: scalars
// parse, enum values exist, input objects have their required fields and
// no others, null only where null is allowed.
#include <cerrno>
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
    void check(const Value& value, const InputType& type) {
        const Schema& schema = context_.schema();
        if (!type.known(schema)) return;
        switch (value.kind) {
            case ValueKind::variable: return;
            case ValueKind::null:
                if (type.is_non_null(schema)) expected(value, type);
                return;
            case ValueKind::list: {
                const InputType list = type.nullable(schema);
                if (!list.is_list(schema)) return check_leaf(value, type);
                for (const Value& item : value.list) check(item, list.of_type(schema));
                return;
            }
            case ValueKind::object: return check_object(value, type);
            default: return check_leaf(value, type);
        }
    }

    void check_object(const Value& value, const InputType& type) {
        const Schema& schema = context_.schema();
        const TypeId named = type.named(schema);
        const Type& object = schema.type(named);
        if (object.kind != TypeKind::input_object) return check_leaf(value, type);
        std::vector<std::string_view> names;
        for (std::uint32_t i = object.input_fields.first; i < object.input_fields.end(); ++i) {
            const InputValue& definition = schema.input_values()[i];
            names.push_back(definition.name);
            if (schema.type(definition.type).kind != TypeKind::non_null || definition.default_literal) continue;
            bool given = false;
            for (const ObjectField& field : value.fields) given = given || field.name == definition.name;
            if (!given) {
                context_.report("Field \"" + std::string(object.name) + "." + std::string(definition.name) +
                                    "\" of required type \"" + schema.type_name(definition.type) +
                                    "\" was not provided.",
                                {value.location});
            }
        }
        for (const ObjectField& field : value.fields) {
            if (const InputValue* definition = schema.find_input_field(named, field.name)) {
                check(field.value, InputType{definition->type, nullptr});
            } else {
                context_.report("Field \"" + std::string(field.name) + "\" is not defined by type \"" +
                                    std::string(object.name) + "\"." + did_you_mean(suggestion_list(field.name, names)),
                                {field.location});
            }
        }
    }

    // graphql-js's isValidValueNode: the literal must parse as the named
    // leaf type, each scalar refusing in its own words.
    void check_leaf(const Value& value, const InputType& type) {
        const Schema& schema = context_.schema();
        const TypeId named = type.named(schema);
        const Type& leaf = schema.type(named);
        const std::string printed = print_value(value);
        if (leaf.kind == TypeKind::enum_type) return check_enum(value, leaf, named, printed);
        if (leaf.kind == TypeKind::input_object) {
            return report(value, "Expected value of type \"" + type.print(schema) + "\" to be an object, found: " +
                                     printed + ".");
        }
        if (leaf.kind != TypeKind::scalar) return expected(value, type);
        const ValueKind kind = value.kind;
        if (named == schema.int_type()) {
            if (kind != ValueKind::int_value) {
                report(value, "Int cannot represent non-integer value: " + printed);
            } else if (!fits_int32(value.text)) {
                report(value, "Int cannot represent non 32-bit signed integer value: " + printed);
            }
        } else if (named == schema.float_type()) {
            if (kind != ValueKind::int_value && kind != ValueKind::float_value) {
                report(value, "Float cannot represent non numeric value: " + printed);
            }
        } else if (named == schema.string_type()) {
            if (kind != ValueKind::string) report(value, "String cannot represent a non string value: " + printed);
        } else if (named == schema.boolean_type()) {
            if (kind != ValueKind::boolean) report(value, "Boolean cannot represent a non boolean value: " + printed);
        } else if (named == schema.id_type()) {
            if (kind != ValueKind::string && kind != ValueKind::int_value) {
                report(value, "ID cannot represent a non-string and non-integer value: " + printed);
            }
        }
        // Other scalars (JSON) take any literal.
    }

    void check_enum(const Value& value, const Type& type, TypeId named, const std::string& printed) {
        const Schema& schema = context_.schema();
        if (value.kind == ValueKind::enum_value && schema.find_enum_value(named, value.text)) return;
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

    void expected(const Value& value, const InputType& type) {
        report(value, "Expected value of type \"" + type.print(context_.schema()) + "\", found " + print_value(value) +
                          ".");
    }
    void report(const Value& value, std::string message) { context_.report(std::move(message), {value.location}); }
};

}  // namespace

std::unique_ptr<Rule> values_of_correct_type(ValidationContext& context) {
    return std::make_unique<ValuesOfCorrectType>(context);
}

}  // namespace quorvel::graphql::validation
