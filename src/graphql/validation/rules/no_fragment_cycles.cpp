// A fragment that spreads itself, directly or through others, would expand
// forever. The request limits have already bounded how deep spreads chain
// once the spreads that close cycles are left out; a path of the search
// below may use those too, so its depth is bounded here as well.
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "graphql/validation/rules/rules.hpp"
#include "graphql/validation/suggestions.hpp"

namespace quorvel::graphql::validation {

namespace {

// Far beyond any path a document within the limits can ask for: 64
// fragments deep between two spreads that close a cycle.
constexpr std::size_t max_search_depth = 64 * 64;

class NoFragmentCycles final : public Rule {
public:
    using Rule::Rule;
    void leave_document() override {
        for (const FragmentDefinition& fragment : context_.document().fragments) detect_cycle(fragment);
    }

private:
    void detect_cycle(const FragmentDefinition& fragment) {
        if (path_.size() >= max_search_depth || !visited_.insert(fragment.name).second) return;
        const std::vector<const Selection*> spreads = context_.fragment_spreads(fragment.selection_set);
        if (spreads.empty()) return;
        path_index_[fragment.name] = path_.size();
        for (const Selection* spread : spreads) {
            path_.push_back(spread);
            const auto cycle = path_index_.find(spread->name);
            if (cycle == path_index_.end()) {
                if (const FragmentDefinition* next = context_.document().find_fragment(spread->name)) {
                    detect_cycle(*next);
                }
            } else {
                report_cycle(*spread, cycle->second);
            }
            path_.pop_back();
        }
        path_index_.erase(fragment.name);
    }

    void report_cycle(const Selection& spread, std::size_t from) {
        std::string via;
        std::vector<Location> locations;
        for (std::size_t i = from; i < path_.size(); ++i) {
            locations.push_back(path_[i]->location);
            if (i + 1 < path_.size()) via += (via.empty() ? "\"" : ", \"") + std::string(path_[i]->name) + "\"";
        }
        context_.report("Cannot spread fragment \"" + std::string(spread.name) + "\" within itself" +
                            (via.empty() ? "." : " via " + via + "."),
                        std::move(locations));
    }

    std::unordered_set<std::string_view> visited_;
    std::vector<const Selection*> path_;
    std::unordered_map<std::string_view, std::size_t> path_index_;
};

}  // namespace

Rule* no_fragment_cycles(ValidationContext& context, RuleArena& arena) { return arena.make<NoFragmentCycles>(context); }

}  // namespace quorvel::graphql::validation
