// Required arguments (non-null, without a default) are given.
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "graphql/validation/rules/rules.hpp"
#include "graphql/validation/suggestions.hpp"

namespace quorvel::graphql::validation {

namespace {

class ProvidedRequiredArguments final : public Rule {
public:
    using Rule::Rule;
    void enter_arguments(const NodeList<Argument>& arguments, TypeId parent, const Field* field,
                         const Directive* directive, Location owner) override {
        if (!field && !directive) return;
        const Schema& schema = context_.schema();
        for (const InputValue* argument_definition : defined_arguments(schema, field, directive)) {
            const InputValue& definition = *argument_definition;
            if (schema.type(definition.type).kind != TypeKind::non_null || definition.default_literal) continue;
            bool given = false;
            for (const Argument& argument : arguments) given = given || argument.name == definition.name;
            if (given) continue;
            const std::string owner_name = field ? std::string(schema.type(parent).name) + "." + std::string(field->name)
                                                 : "@" + std::string(directive->name);
            context_.report("Argument \"" + owner_name + "(" + std::string(definition.name) + ":)\" of type \"" +
                                schema.type_name(definition.type) + "\" is required, but it was not provided.",
                            {owner});
        }
    }
};

}  // namespace

Rule* provided_required_arguments(ValidationContext& context, RuleArena& arena) { return arena.make<ProvidedRequiredArguments>(context); }

}  // namespace quorvel::graphql::validation
