// A variable stands only where its type fits the expected one.
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "graphql/validation/rules/rules.hpp"
#include "graphql/validation/suggestions.hpp"

namespace quorvel::graphql::validation {

namespace {

class VariablesInAllowedPosition final : public OperationRule {
public:
    using OperationRule::OperationRule;

private:
    void check(const OperationDefinition& operation) override {
        const Schema& schema = context_.schema();
        std::unordered_map<std::string_view, const VariableDefinition*> definitions;
        for (const VariableDefinition& definition : operation.variables) definitions.emplace(definition.name, &definition);
        for (const VariableUsage& usage : context_.recursive_variable_usages(operation)) {
            const auto found = definitions.find(usage.name);
            if (found == definitions.end() || !usage.expected.known(schema)) continue;
            const VariableDefinition& definition = *found->second;
            const InputType declared{no_type, definition.type};
            if (!declared.known(schema) || allowed(declared, definition.default_value, usage)) continue;
            context_.report("Variable \"$" + std::string(usage.name) + "\" of type \"" + declared.print(schema) +
                                "\" used in position expecting type \"" + usage.expected.print(schema) + "\".",
                            {definition.location, usage.location});
        }
    }

    bool allowed(const InputType& declared, const Value* declared_default, const VariableUsage& usage) const {
        const Schema& schema = context_.schema();
        if (usage.expected.is_non_null(schema) && !declared.is_non_null(schema)) {
            const bool non_null_default = declared_default && declared_default->kind != ValueKind::null;
            if (!non_null_default && !usage.location_has_default) return false;
            return is_subtype(declared, usage.expected.of_type(schema));
        }
        return is_subtype(declared, usage.expected);
    }

    bool is_subtype(const InputType& sub, const InputType& super) const {
        const Schema& schema = context_.schema();
        if (super.is_non_null(schema)) {
            return sub.is_non_null(schema) && is_subtype(sub.of_type(schema), super.of_type(schema));
        }
        if (sub.is_non_null(schema)) return is_subtype(sub.of_type(schema), super);
        if (super.is_list(schema)) return sub.is_list(schema) && is_subtype(sub.of_type(schema), super.of_type(schema));
        if (sub.is_list(schema)) return false;
        return sub.named(schema) == super.named(schema);
    }
};

}  // namespace

Rule* variables_in_allowed_position(ValidationContext& context, RuleArena& arena) { return arena.make<VariablesInAllowedPosition>(context); }

}  // namespace quorvel::graphql::validation
