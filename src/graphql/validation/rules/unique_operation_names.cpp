// Operation names pick the operation to run, so each names one.
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "graphql/validation/rules/rules.hpp"
#include "graphql/validation/suggestions.hpp"

namespace quorvel::graphql::validation {

namespace {

class UniqueOperationNames final : public Rule {
public:
    using Rule::Rule;
    void enter_operation(const OperationDefinition& operation) override {
        if (operation.name.empty()) return;
        const auto [known, fresh] = seen_.emplace(operation.name, operation.name_location);
        if (!fresh) {
            context_.report("There can be only one operation named \"" + std::string(operation.name) + "\".",
                            {known->second, operation.name_location});
        }
    }

private:
    std::unordered_map<std::string_view, Location> seen_;
};

}  // namespace

Rule* unique_operation_names(ValidationContext& context, RuleArena& arena) { return arena.make<UniqueOperationNames>(context); }

}  // namespace quorvel::graphql::validation
