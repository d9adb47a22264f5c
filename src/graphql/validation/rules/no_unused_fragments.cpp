// A fragment no operation reaches is a mistake worth reporting.
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "graphql/validation/rules/rules.hpp"
#include "graphql/validation/suggestions.hpp"

namespace quorvel::graphql::validation {

namespace {

class NoUnusedFragments final : public Rule {
public:
    using Rule::Rule;
    void leave_document() override {
        const Document& document = context_.document();
        std::unordered_map<std::string_view, bool> used;
        for (const OperationDefinition& operation : document.operations) {
            for (const FragmentDefinition* fragment : context_.referenced_fragments(operation)) {
                used[fragment->name] = true;
            }
        }
        for (const FragmentDefinition& fragment : document.fragments) {
            if (!used.count(fragment.name)) {
                context_.report("Fragment \"" + std::string(fragment.name) + "\" is never used.", {fragment.location});
            }
        }
    }
};

}  // namespace

Rule* no_unused_fragments(ValidationContext& context, RuleArena& arena) { return arena.make<NoUnusedFragments>(context); }

}  // namespace quorvel::graphql::validation
