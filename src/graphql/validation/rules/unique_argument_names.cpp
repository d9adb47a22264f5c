// An argument is given once.
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "graphql/validation/rules/rules.hpp"
#include "graphql/validation/suggestions.hpp"

namespace quorvel::graphql::validation {

namespace {

class UniqueArgumentNames final : public Rule {
public:
    using Rule::Rule;
    void enter_arguments(const NodeList<Argument>& arguments, TypeId, const Field*, const Directive*,
                         Location) override {
        if (arguments.size() < 2) return;
        std::vector<std::pair<std::string_view, std::vector<Location>>> groups;
        std::unordered_map<std::string_view, std::size_t> index;
        for (const Argument& argument : arguments) {
            const auto [found, fresh] = index.emplace(argument.name, groups.size());
            if (fresh) groups.emplace_back(argument.name, std::vector<Location>{});
            groups[found->second].second.push_back(argument.location);
        }
        for (auto& [name, locations] : groups) {
            if (locations.size() > 1) {
                context_.report("There can be only one argument named \"" + std::string(name) + "\".",
                                std::move(locations));
            }
        }
    }
};

}  // namespace

Rule* unique_argument_names(ValidationContext& context, RuleArena& arena) { return arena.make<UniqueArgumentNames>(context); }

}  // namespace quorvel::graphql::validation
