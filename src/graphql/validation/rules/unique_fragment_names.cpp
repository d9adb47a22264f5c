// Spreads name fragments, so each name is defined once.
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "graphql/validation/rules/rules.hpp"
#include "graphql/validation/suggestions.hpp"

namespace quorvel::graphql::validation {

namespace {

class UniqueFragmentNames final : public Rule {
public:
    using Rule::Rule;
    void enter_fragment_definition(const FragmentDefinition& fragment) override {
        const auto [known, fresh] = seen_.emplace(fragment.name, fragment.name_location);
        if (!fresh) {
            context_.report("There can be only one fragment named \"" + std::string(fragment.name) + "\".",
                            {known->second, fragment.name_location});
        }
    }

private:
    std::unordered_map<std::string_view, Location> seen_;
};

}  // namespace

Rule* unique_fragment_names(ValidationContext& context, RuleArena& arena) { return arena.make<UniqueFragmentNames>(context); }

}  // namespace quorvel::graphql::validation
