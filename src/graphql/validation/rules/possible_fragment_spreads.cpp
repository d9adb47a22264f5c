// A fragment applies only where its type can be the parent's. The schema
// has object types only, and two object types overlap only when they are
// the same.
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "graphql/validation/rules/rules.hpp"
#include "graphql/validation/suggestions.hpp"

namespace quorvel::graphql::validation {

namespace {

class PossibleFragmentSpreads final : public Rule {
public:
    using Rule::Rule;
    void enter_inline_fragment(const Selection& fragment, TypeId parent) override {
        if (fragment.type_condition.empty()) return;
        const TypeId type = composite(fragment.type_condition);
        if (never_overlap(type, parent)) {
            context_.report("Fragment cannot be spread here as objects of type \"" + name(parent) +
                                "\" can never be of type \"" + name(type) + "\".",
                            {fragment.location});
        }
    }
    void enter_fragment_spread(const Selection& spread, TypeId parent) override {
        const FragmentDefinition* fragment = context_.document().find_fragment(spread.name);
        if (!fragment) return;
        const TypeId type = composite(fragment->type_condition);
        if (never_overlap(type, parent)) {
            context_.report("Fragment \"" + std::string(spread.name) + "\" cannot be spread here as objects of type \"" +
                                name(parent) + "\" can never be of type \"" + name(type) + "\".",
                            {spread.location});
        }
    }

private:
    TypeId composite(std::string_view type_name) const {
        const TypeId type = context_.schema().find_type(type_name);
        return type != no_type && context_.schema().is_composite(type) ? type : no_type;
    }
    bool never_overlap(TypeId a, TypeId b) const {
        if (a == no_type || b == no_type || a == b) return false;
        const Schema& schema = context_.schema();
        return schema.type(a).kind == TypeKind::object && schema.type(b).kind == TypeKind::object;
    }
    std::string name(TypeId type) const { return std::string(context_.schema().type(type).name); }
};

}  // namespace

Rule* possible_fragment_spreads(ValidationContext& context, RuleArena& arena) { return arena.make<PossibleFragmentSpreads>(context); }

}  // namespace quorvel::graphql::validation
