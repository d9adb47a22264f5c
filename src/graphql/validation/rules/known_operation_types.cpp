// Subscriptions select one field each; tools answer once, so the schema has
// no Subscription type and every subscription operation is refused here
// (graphql-js reports it only when executing), as is a mutation when no
// tool writes.
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "graphql/validation/rules/rules.hpp"
#include "graphql/validation/suggestions.hpp"

namespace quorvel::graphql::validation {

namespace {

class SingleFieldSubscriptions final : public Rule {
public:
    using Rule::Rule;
    void enter_operation(const OperationDefinition& operation) override {
        const Schema& schema = context_.schema();
        if (operation.kind == OperationKind::subscription && schema.subscription_type() == no_type) {
            context_.report("Schema is not configured to execute subscription operation.", {operation.location});
        } else if (operation.kind == OperationKind::mutation && schema.mutation_type() == no_type) {
            context_.report("Schema is not configured to execute mutation operation.", {operation.location});
        }
    }
};

}  // namespace

std::unique_ptr<Rule> single_field_subscriptions(ValidationContext& context) { return std::make_unique<SingleFieldSubscriptions>(context); }

}  // namespace quorvel::graphql::validation
