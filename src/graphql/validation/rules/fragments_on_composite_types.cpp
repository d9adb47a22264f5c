// Fragments select fields, so their type must have fields.
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "graphql/validation/rules/rules.hpp"
#include "graphql/validation/suggestions.hpp"

namespace quorvel::graphql::validation {

namespace {

class FragmentsOnCompositeTypes final : public Rule {
public:
    using Rule::Rule;
    void enter_inline_fragment(const Selection& fragment, TypeId) override {
        if (fragment.type_condition.empty() || composite_or_unknown(fragment.type_condition)) return;
        context_.report("Fragment cannot condition on non composite type \"" + std::string(fragment.type_condition) +
                            "\".",
                        {fragment.type_condition_location});
    }
    void enter_fragment_definition(const FragmentDefinition& fragment) override {
        if (composite_or_unknown(fragment.type_condition)) return;
        context_.report("Fragment \"" + std::string(fragment.name) + "\" cannot condition on non composite type \"" +
                            std::string(fragment.type_condition) + "\".",
                        {fragment.type_condition_location});
    }

private:
    bool composite_or_unknown(std::string_view name) const {
        const TypeId type = context_.schema().find_type(name);
        return type == no_type || context_.schema().is_composite(type);
    }
};

}  // namespace

Rule* fragments_on_composite_types(ValidationContext& context, RuleArena& arena) { return arena.make<FragmentsOnCompositeTypes>(context); }

}  // namespace quorvel::graphql::validation
