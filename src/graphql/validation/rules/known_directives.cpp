// Directives are the schema's, used where they are allowed.
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "graphql/validation/rules/rules.hpp"
#include "graphql/validation/suggestions.hpp"

namespace quorvel::graphql::validation {

namespace {

class KnownDirectives final : public Rule {
public:
    using Rule::Rule;
    void enter_directive(const DirectiveNode& directive, const Directive* definition, DirectivePlace place) override {
        const std::string name(directive.name);
        if (!definition) {
            context_.report("Unknown directive \"@" + name + "\".", {directive.location});
        } else if ((definition->locations & static_cast<std::uint32_t>(place)) == 0) {
            context_.report("Directive \"@" + name + "\" may not be used on " + std::string(place_name(place)) + ".",
                            {directive.location});
        }
    }
};

}  // namespace

Rule* known_directives(ValidationContext& context, RuleArena& arena) { return arena.make<KnownDirectives>(context); }

}  // namespace quorvel::graphql::validation
