// Every selected field exists on the type it is selected from.
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "graphql/validation/rules/rules.hpp"
#include "graphql/validation/suggestions.hpp"

namespace quorvel::graphql::validation {

namespace {

class FieldsOnCorrectType final : public Rule {
public:
    using Rule::Rule;
    void enter_field(const Selection& field, TypeId parent, const Field* definition) override {
        if (parent == no_type || definition) return;
        const Schema& schema = context_.schema();
        const Type& type = schema.type(parent);
        std::vector<std::string_view> names;
        names.reserve(type.fields.count);
        for (std::uint32_t i = type.fields.first; i < type.fields.end(); ++i) names.push_back(schema.fields()[i].name);
        context_.report("Cannot query field \"" + std::string(field.name) + "\" on type \"" + std::string(type.name) +
                            "\"." + did_you_mean(suggestion_list(field.name, names)),
                        {field.location});
    }
};

}  // namespace

Rule* fields_on_correct_type(ValidationContext& context, RuleArena& arena) { return arena.make<FieldsOnCorrectType>(context); }

}  // namespace quorvel::graphql::validation
