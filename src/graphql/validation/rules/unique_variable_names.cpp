// A variable name stands for one value per operation.
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "graphql/validation/rules/rules.hpp"
#include "graphql/validation/suggestions.hpp"

namespace quorvel::graphql::validation {

namespace {

class UniqueVariableNames final : public Rule {
public:
    using Rule::Rule;
    void enter_operation(const OperationDefinition& operation) override {
        std::vector<std::pair<std::string_view, std::vector<Location>>> groups;
        std::unordered_map<std::string_view, std::size_t> index;
        for (const VariableDefinition& definition : operation.variables) {
            const auto [found, fresh] = index.emplace(definition.name, groups.size());
            if (fresh) groups.emplace_back(definition.name, std::vector<Location>{});
            groups[found->second].second.push_back(definition.name_location);
        }
        for (auto& [name, locations] : groups) {
            if (locations.size() > 1) {
                context_.report("There can be only one variable named \"$" + std::string(name) + "\".",
                                std::move(locations));
            }
        }
    }
};

}  // namespace

Rule* unique_variable_names(ValidationContext& context, RuleArena& arena) { return arena.make<UniqueVariableNames>(context); }

}  // namespace quorvel::graphql::validation
