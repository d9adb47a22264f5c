// An anonymous operation cannot be chosen by name, so it must be alone.
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "graphql/validation/rules/rules.hpp"
#include "graphql/validation/suggestions.hpp"

namespace quorvel::graphql::validation {

namespace {

class LoneAnonymousOperation final : public Rule {
public:
    using Rule::Rule;
    void enter_operation(const OperationDefinition& operation) override {
        if (operation.name.empty() && context_.document().operations.size() > 1) {
            context_.report("This anonymous operation must be the only defined operation.", {operation.location});
        }
    }
};

}  // namespace

Rule* lone_anonymous_operation(ValidationContext& context, RuleArena& arena) { return arena.make<LoneAnonymousOperation>(context); }

}  // namespace quorvel::graphql::validation
