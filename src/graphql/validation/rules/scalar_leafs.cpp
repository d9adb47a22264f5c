// Leaves have no subfields to select; objects must have some selected.
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "graphql/validation/rules/rules.hpp"
#include "graphql/validation/suggestions.hpp"

namespace quorvel::graphql::validation {

namespace {

class ScalarLeafs final : public Rule {
public:
    using Rule::Rule;
    void enter_field(const Selection& field, TypeId, const Field* definition) override {
        if (!definition) return;
        const Schema& schema = context_.schema();
        // Names are printed only for an error: this runs for every field.
        auto type = [&] { return schema.type_name(definition->type); };
        const std::string_view name = field.name;
        if (schema.is_leaf(definition->type)) {
            if (!field.selection_set.empty()) {
                context_.report("Field \"" + std::string(name) + "\" must not have a selection since type \"" + type() +
                                    "\" has no subfields.",
                                {field.selection_set_location});
            }
        } else if (field.selection_set.empty()) {
            context_.report("Field \"" + std::string(name) + "\" of type \"" + type() +
                                "\" must have a selection of subfields. Did you mean \"" + std::string(name) +
                                " { ... }\"?",
                            {field.location});
        }
    }
};

}  // namespace

Rule* scalar_leafs(ValidationContext& context, RuleArena& arena) { return arena.make<ScalarLeafs>(context); }

}  // namespace quorvel::graphql::validation
