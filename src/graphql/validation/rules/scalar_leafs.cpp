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
        const std::string type = schema.type_name(definition->type);
        const std::string name(field.name);
        if (schema.is_leaf(definition->type)) {
            if (!field.selection_set.empty()) {
                context_.report("Field \"" + name + "\" must not have a selection since type \"" + type +
                                    "\" has no subfields.",
                                {field.selection_set_location});
            }
        } else if (field.selection_set.empty()) {
            context_.report("Field \"" + name + "\" of type \"" + type +
                                "\" must have a selection of subfields. Did you mean \"" + name + " { ... }\"?",
                            {field.location});
        }
    }
};

}  // namespace

std::unique_ptr<Rule> scalar_leafs(ValidationContext& context) { return std::make_unique<ScalarLeafs>(context); }

}  // namespace quorvel::graphql::validation
