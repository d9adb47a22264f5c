// Not one of the rules every request runs: graphql-js's
// NoSchemaIntrospectionCustomRule, for a server that keeps its schema to
// itself. The walk goes through fragments, so `__schema` and `__type` are
// refused wherever they stand, while `__typename` (a String) still answers.
// Only the two entry points are named: every other introspection field is
// reached through one of them, and graphql-js's message for each would
// only repeat the point.
#include <string>

#include "graphql/validation/rules/rules.hpp"

namespace quorvel::graphql::validation {

namespace {

class NoSchemaIntrospection final : public Rule {
public:
    using Rule::Rule;
    void enter_field(const Selection& field, TypeId, const Field* definition) override {
        if (!definition || (field.name != "__schema" && field.name != "__type")) return;
        const Schema& schema = context_.schema();
        const std::string_view type = schema.type(schema.named_type(definition->type)).name;
        if (type != "__Schema" && type != "__Type") return;
        context_.report("GraphQL introspection has been disabled, but the requested query contained the field \"" +
                            std::string(field.name) + "\".",
                        {field.location});
    }
};

}  // namespace

Rule* no_schema_introspection(ValidationContext& context, RuleArena& arena) {
    return arena.make<NoSchemaIntrospection>(context);
}

}  // namespace quorvel::graphql::validation
