// A spread names a fragment the document defines.
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "graphql/validation/rules/rules.hpp"
#include "graphql/validation/suggestions.hpp"

namespace quorvel::graphql::validation {

namespace {

class KnownFragmentNames final : public Rule {
public:
    using Rule::Rule;
    void enter_fragment_spread(const Selection& spread, TypeId) override {
        if (context_.document().find_fragment(spread.name)) return;
        context_.report("Unknown fragment \"" + std::string(spread.name) + "\".", {spread.name_location});
    }
};

}  // namespace

Rule* known_fragment_names(ValidationContext& context, RuleArena& arena) { return arena.make<KnownFragmentNames>(context); }

}  // namespace quorvel::graphql::validation
