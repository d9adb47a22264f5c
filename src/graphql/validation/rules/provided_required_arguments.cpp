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
    void enter_arguments(const NodeList<Argument>& arguments, TypeId, const Field* field, const Directive* directive,
                         Location owner) override {
        if (!field && !directive) return;
        const Schema& schema = context_.schema();
        const Range defined = field ? field->arguments : directive->arguments;
        for (std::uint32_t i = defined.first; i < defined.end(); ++i) {
            const InputValue& definition = schema.input_values()[i];
            if (schema.type(definition.type).kind != TypeKind::non_null || definition.default_literal) continue;
            bool given = false;
            for (const Argument& argument : arguments) given = given || argument.name == definition.name;
            if (given) continue;
            const std::string tail = " argument \"" + std::string(definition.name) + "\" of type \"" +
                                     schema.type_name(definition.type) + "\" is required, but it was not provided.";
            context_.report(field ? "Field \"" + std::string(field->name) + "\"" + tail
                                  : "Directive \"@" + std::string(directive->name) + "\"" + tail,
                            {owner});
        }
    }
};

}  // namespace

std::unique_ptr<Rule> provided_required_arguments(ValidationContext& context) { return std::make_unique<ProvidedRequiredArguments>(context); }

}  // namespace quorvel::graphql::validation
