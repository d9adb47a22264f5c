// Variables carry input: scalars, enums and input objects.
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "graphql/validation/rules/rules.hpp"
#include "graphql/validation/suggestions.hpp"

namespace quorvel::graphql::validation {

namespace {

class VariablesAreInputTypes final : public Rule {
public:
    using Rule::Rule;
    void enter_variable_definition(const VariableDefinition& definition) override {
        const InputType type{no_type, definition.type};
        const TypeId named = type.named(context_.schema());
        if (named == no_type || context_.schema().is_input_type(named)) return;
        context_.report("Variable \"$" + std::string(definition.name) + "\" cannot be non-input type \"" +
                            print_type_ref(*definition.type) + "\".",
                        {definition.type->location});
    }
};

}  // namespace

Rule* variables_are_input_types(ValidationContext& context, RuleArena& arena) { return arena.make<VariablesAreInputTypes>(context); }

}  // namespace quorvel::graphql::validation
