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
        const std::string other = other_root_hint(field, parent);
        context_.report("Cannot query field \"" + std::string(field.name) + "\" on type \"" + std::string(type.name) +
                            "\"." + (other.empty() ? did_you_mean(suggestion_list(field.name, names)) : other),
                        {field.location});
    }

private:
    // Tools of servers that give no read-only hint land on Mutation, so
    // asking Query for one is the first error many users meet: say where
    // the field is rather than suggest a near name.
    std::string other_root_hint(const Selection& field, TypeId parent) const {
        const Schema& schema = context_.schema();
        const bool from_query = parent == schema.query_type();
        if (!from_query && parent != schema.mutation_type()) return {};
        const TypeId other = from_query ? schema.mutation_type() : schema.query_type();
        if (other == no_type || schema.find_field(other, field.name) == nullptr) return {};
        const std::string name(field.name);
        return from_query ? " \"" + name + "\" is a Mutation field: use `mutation { " + name + " }`."
                          : " \"" + name + "\" is a Query field: use `query { " + name + " }`.";
    }
};

}  // namespace

Rule* fields_on_correct_type(ValidationContext& context, RuleArena& arena) { return arena.make<FieldsOnCorrectType>(context); }

}  // namespace quorvel::graphql::validation
