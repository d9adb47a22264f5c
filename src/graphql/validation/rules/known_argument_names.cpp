// Arguments are the ones the field or directive defines.
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "graphql/validation/rules/rules.hpp"
#include "graphql/validation/suggestions.hpp"

namespace quorvel::graphql::validation {

namespace {

class KnownArgumentNames final : public Rule {
public:
    using Rule::Rule;
    void enter_arguments(const NodeList<Argument>& arguments, TypeId parent, const Field* field,
                         const Directive* directive, Location) override {
        if (arguments.empty() || (!field && !directive)) return;
        const Schema& schema = context_.schema();
        std::vector<std::string_view> names;
        for (const Argument& argument : arguments) {
            const InputValue* definition =
                field ? schema.find_argument(*field, argument.name) : schema.find_argument(*directive, argument.name);
            if (definition) continue;
            if (names.empty()) {
                for (const InputValue* known : defined_arguments(schema, field, directive)) names.push_back(known->name);
            }
            const std::string owner = field ? "field \"" + std::string(schema.type(parent).name) + "." +
                                                  std::string(field->name) + "\""
                                            : "directive \"@" + std::string(directive->name) + "\"";
            context_.report("Unknown argument \"" + std::string(argument.name) + "\" on " + owner + "." +
                                did_you_mean(suggestion_list(argument.name, names)),
                            {argument.location});
        }
    }
};

}  // namespace

Rule* known_argument_names(ValidationContext& context, RuleArena& arena) { return arena.make<KnownArgumentNames>(context); }

}  // namespace quorvel::graphql::validation
