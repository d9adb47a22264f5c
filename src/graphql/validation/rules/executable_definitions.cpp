// A document for execution holds only operations and fragments.
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "graphql/validation/rules/rules.hpp"
#include "graphql/validation/suggestions.hpp"

namespace quorvel::graphql::validation {

namespace {

class ExecutableDefinitions final : public Rule {
public:
    using Rule::Rule;
    void enter_foreign_definition(const ForeignDefinition& definition) override {
        const std::string name = definition.name.empty() ? "schema" : "\"" + std::string(definition.name) + "\"";
        context_.report("The " + name + " definition is not executable.", {definition.location});
    }
};

}  // namespace

Rule* executable_definitions(ValidationContext& context, RuleArena& arena) { return arena.make<ExecutableDefinitions>(context); }

}  // namespace quorvel::graphql::validation
