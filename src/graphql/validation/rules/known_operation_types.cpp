// An operation needs its root type. Tools answer once, so the schema never
// has a Subscription type and every subscription is refused here; that is
// also why the single-field-subscriptions rule has nothing left to check.
// A mutation is refused the same way when no tool writes.
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "graphql/validation/rules/rules.hpp"
#include "graphql/validation/suggestions.hpp"

namespace quorvel::graphql::validation {

namespace {

class KnownOperationTypes final : public Rule {
public:
    using Rule::Rule;
    void enter_operation(const OperationDefinition& operation) override {
        const Schema& schema = context_.schema();
        if (operation.kind == OperationKind::subscription && schema.subscription_type() == no_type) {
            context_.report("The subscription operation is not supported by the schema.", {operation.location});
        } else if (operation.kind == OperationKind::mutation && schema.mutation_type() == no_type) {
            context_.report("The mutation operation is not supported by the schema.", {operation.location});
        }
    }
};

}  // namespace

Rule* known_operation_types(ValidationContext& context, RuleArena& arena) { return arena.make<KnownOperationTypes>(context); }

}  // namespace quorvel::graphql::validation
