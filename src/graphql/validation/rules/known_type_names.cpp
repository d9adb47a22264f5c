// Type conditions and variable types name types of the schema.
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "graphql/validation/rules/rules.hpp"
#include "graphql/validation/suggestions.hpp"

namespace quorvel::graphql::validation {

namespace {

class KnownTypeNames final : public Rule {
public:
    using Rule::Rule;
    void enter_named_type(std::string_view name, Location location) override {
        const Schema& schema = context_.schema();
        if (schema.find_type(name) != no_type) return;
        if (names_.empty()) {
            for (std::size_t id = 0; id < schema.type_count(); ++id) {
                // A built-in scalar nothing refers to is not in the schema,
                // so it is no suggestion for itself.
                const Type& type = schema.type(static_cast<TypeId>(id));
                if (!type.name.empty() && type.listed) names_.push_back(type.name);
            }
        }
        context_.report("Unknown type \"" + std::string(name) + "\"." + did_you_mean(suggestion_list(name, names_)),
                        {location});
    }

private:
    std::vector<std::string_view> names_;
};

}  // namespace

Rule* known_type_names(ValidationContext& context, RuleArena& arena) { return arena.make<KnownTypeNames>(context); }

}  // namespace quorvel::graphql::validation
