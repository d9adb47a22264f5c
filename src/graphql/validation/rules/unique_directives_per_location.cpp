// A directive that is not repeatable appears once per place.
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "graphql/validation/rules/rules.hpp"
#include "graphql/validation/suggestions.hpp"

namespace quorvel::graphql::validation {

namespace {

class UniqueDirectivesPerLocation final : public Rule {
public:
    using Rule::Rule;
    void enter_directives(const NodeList<DirectiveNode>& directives, DirectivePlace) override {
        if (directives.size() < 2) return;
        std::unordered_map<std::string_view, Location> seen;
        for (const DirectiveNode& directive : directives) {
            const Directive* definition = context_.schema().find_directive(directive.name);
            if (!definition || definition->repeatable) continue;
            const auto [known, fresh] = seen.emplace(directive.name, directive.location);
            if (!fresh) {
                context_.report("The directive \"@" + std::string(directive.name) +
                                    "\" can only be used once at this location.",
                                {known->second, directive.location});
            }
        }
    }
};

}  // namespace

Rule* unique_directives_per_location(ValidationContext& context, RuleArena& arena) { return arena.make<UniqueDirectivesPerLocation>(context); }

}  // namespace quorvel::graphql::validation
