// An input object names each field once.
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "graphql/validation/rules/rules.hpp"
#include "graphql/validation/suggestions.hpp"

namespace quorvel::graphql::validation {

namespace {

class UniqueInputFieldNames final : public Rule {
public:
    using Rule::Rule;
    void enter_arguments(const NodeList<Argument>& arguments, TypeId, const Field*, const Directive*,
                         Location) override {
        for (const Argument& argument : arguments) check(argument.value);
    }
    void enter_variable_definition(const VariableDefinition& definition) override {
        if (definition.default_value) check(*definition.default_value);
    }

private:
    void check(const Value& value) {
        if (value.kind == ValueKind::list) {
            for (const Value& item : value.list) check(item);
        } else if (value.kind == ValueKind::object) {
            std::unordered_map<std::string_view, Location> seen;
            for (const ObjectField& field : value.fields) {
                const auto [known, fresh] = seen.emplace(field.name, field.location);
                if (!fresh) {
                    context_.report("There can be only one input field named \"" + std::string(field.name) + "\".",
                                    {known->second, field.location});
                }
                check(field.value);
            }
        }
    }
};

}  // namespace

Rule* unique_input_field_names(ValidationContext& context, RuleArena& arena) { return arena.make<UniqueInputFieldNames>(context); }

}  // namespace quorvel::graphql::validation
