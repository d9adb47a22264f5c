// Every variable an operation uses (through its fragments too) is defined by it.
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "graphql/validation/rules/rules.hpp"
#include "graphql/validation/suggestions.hpp"

namespace quorvel::graphql::validation {

namespace {

class NoUndefinedVariables final : public OperationRule {
public:
    using OperationRule::OperationRule;

private:
    void check(const OperationDefinition& operation) override {
        std::unordered_set<std::string_view> defined;
        for (const VariableDefinition& definition : operation.variables) defined.insert(definition.name);
        for (const VariableUsage& usage : context_.recursive_variable_usages(operation)) {
            if (defined.count(usage.name)) continue;
            const std::string subject = "Variable \"$" + std::string(usage.name) + "\" is not defined";
            context_.report(operation.name.empty() ? subject + "."
                                                   : subject + " by operation \"" + std::string(operation.name) + "\".",
                            {usage.location, operation.location});
        }
    }
};

}  // namespace

Rule* no_undefined_variables(ValidationContext& context, RuleArena& arena) { return arena.make<NoUndefinedVariables>(context); }

}  // namespace quorvel::graphql::validation
