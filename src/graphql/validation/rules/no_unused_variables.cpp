// A variable defined and never used is a mistake worth reporting.
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "graphql/validation/rules/rules.hpp"
#include "graphql/validation/suggestions.hpp"

namespace quorvel::graphql::validation {

namespace {

class NoUnusedVariables final : public OperationRule {
public:
    using OperationRule::OperationRule;

private:
    void check(const OperationDefinition& operation) override {
        std::unordered_set<std::string_view> used;
        for (const VariableUsage& usage : context_.recursive_variable_usages(operation)) used.insert(usage.name);
        for (const VariableDefinition& definition : operation.variables) {
            if (used.count(definition.name)) continue;
            const std::string subject = "Variable \"$" + std::string(definition.name) + "\" is never used";
            context_.report(operation.name.empty() ? subject + "."
                                                   : subject + " in operation \"" + std::string(operation.name) + "\".",
                            {definition.location});
        }
    }
};

}  // namespace

Rule* no_unused_variables(ValidationContext& context, RuleArena& arena) { return arena.make<NoUnusedVariables>(context); }

}  // namespace quorvel::graphql::validation
