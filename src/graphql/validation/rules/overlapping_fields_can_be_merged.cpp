// Fields that share a response key must be one field: same name, same
// arguments, types of the same shape, and subfields that merge in turn.
// Fields are grouped by response key (fragments expanded once per set), so
// an ordinary document, whose keys are distinct, costs one pass per
// selection set; only fields that share a key are compared.
#include <map>
#include <memory>
#include <optional>
#include <tuple>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "graphql/validation/rules/rules.hpp"

namespace quorvel::graphql::validation {

namespace {

struct FieldEntry {
    TypeId parent = no_type;
    const Selection* node = nullptr;
    const Field* definition = nullptr;
};

// Fields by response key, keys in order of first appearance.
struct FieldMap {
    std::vector<std::string_view> keys;
    std::unordered_map<std::string_view, std::vector<FieldEntry>> fields;
};

struct Reason {
    std::string key;
    std::string message;
    std::vector<Reason> subreasons;
};

struct Conflict {
    Reason reason;
    std::vector<Location> fields1;
    std::vector<Location> fields2;
};

std::string reason_message(const Reason& reason) {
    if (reason.subreasons.empty()) return reason.message;
    std::string out;
    for (const Reason& sub : reason.subreasons) {
        if (!out.empty()) out += " and ";
        out += "subfields \"" + sub.key + "\" conflict because " + reason_message(sub);
    }
    return out;
}

class OverlappingFieldsCanBeMerged final : public Rule {
public:
    using Rule::Rule;
    void enter_selection_set(const NodeList<Selection>& selection_set, TypeId parent) override {
        const FieldMap map = collect(selection_set, parent);
        for (const std::string_view key : map.keys) {
            const std::vector<FieldEntry>& entries = map.fields.at(key);
            for (std::size_t i = 0; i < entries.size(); ++i) {
                for (std::size_t j = i + 1; j < entries.size(); ++j) {
                    if (auto conflict = find_conflict(false, key, entries[i], entries[j])) report(*conflict);
                }
            }
        }
    }

private:
    FieldMap collect(const NodeList<Selection>& selection_set, TypeId parent) const {
        FieldMap map;
        std::unordered_set<std::string_view> expanded;
        collect_into(selection_set, parent, map, expanded);
        return map;
    }

    void collect_into(const NodeList<Selection>& selection_set, TypeId parent, FieldMap& map,
                      std::unordered_set<std::string_view>& expanded) const {
        const Schema& schema = context_.schema();
        for (const Selection& selection : selection_set) {
            switch (selection.kind) {
                case SelectionKind::field: {
                    const std::string_view key = selection.response_key();
                    auto& entries = map.fields[key];
                    if (entries.empty()) map.keys.push_back(key);
                    const Field* definition = parent == no_type ? nullptr : schema.find_field(parent, selection.name);
                    entries.push_back(FieldEntry{parent, &selection, definition});
                    break;
                }
                case SelectionKind::inline_fragment: {
                    const TypeId type = selection.type_condition.empty() ? parent : composite(selection.type_condition);
                    collect_into(selection.selection_set, type, map, expanded);
                    break;
                }
                case SelectionKind::fragment_spread: {
                    if (!expanded.insert(selection.name).second) break;
                    if (const FragmentDefinition* fragment = context_.document().find_fragment(selection.name)) {
                        collect_into(fragment->selection_set, composite(fragment->type_condition), map, expanded);
                    }
                    break;
                }
            }
        }
    }

    TypeId composite(std::string_view name) const {
        const TypeId type = context_.schema().find_type(name);
        return type != no_type && context_.schema().is_composite(type) ? context_.schema().named_type(type) : no_type;
    }

    static bool same_arguments(const Selection& a, const Selection& b) {
        if (a.arguments.size() != b.arguments.size()) return false;
        for (const Argument& argument : a.arguments) {
            const Argument* other = nullptr;
            for (const Argument& candidate : b.arguments) {
                if (candidate.name == argument.name) {
                    other = &candidate;
                    break;
                }
            }
            if (!other || !same_value(argument.value, other->value)) return false;
        }
        return true;
    }

    bool types_conflict(TypeId a, TypeId b) const {
        const Schema& schema = context_.schema();
        const Type& type_a = schema.type(a);
        const Type& type_b = schema.type(b);
        if (type_a.kind == TypeKind::list) return type_b.kind != TypeKind::list || types_conflict(type_a.of_type, type_b.of_type);
        if (type_b.kind == TypeKind::list) return true;
        if (type_a.kind == TypeKind::non_null) {
            return type_b.kind != TypeKind::non_null || types_conflict(type_a.of_type, type_b.of_type);
        }
        if (type_b.kind == TypeKind::non_null) return true;
        if (schema.is_leaf(a) || schema.is_leaf(b)) return a != b;
        return false;
    }

    // Each pair of fields is compared once: fragments spread in several
    // places (or in a cycle) bring the same pairs back, and comparing them
    // again at every place would cost exponentially in the nesting. A pair
    // met again while its own comparison runs is a cycle and adds nothing.
    std::optional<Conflict> find_conflict(bool parents_exclusive, std::string_view key, const FieldEntry& a,
                                          const FieldEntry& b, std::size_t depth = 0) const {
        const PairKey pair{a.node, b.node, a.parent, b.parent, parents_exclusive};
        if (const auto known = compared_.find(pair); known != compared_.end()) return known->second;
        compared_.emplace(pair, std::nullopt);
        std::optional<Conflict> found = compare(parents_exclusive, key, a, b, depth);
        compared_[pair] = found;
        return found;
    }

    std::optional<Conflict> compare(bool parents_exclusive, std::string_view key, const FieldEntry& a,
                                    const FieldEntry& b, std::size_t depth) const {
        const Schema& schema = context_.schema();
        const bool exclusive = parents_exclusive ||
                               (a.parent != b.parent && a.parent != no_type && b.parent != no_type &&
                                schema.type(a.parent).kind == TypeKind::object &&
                                schema.type(b.parent).kind == TypeKind::object);
        auto conflict = [&](std::string message) {
            return Conflict{Reason{std::string(key), std::move(message), {}}, {a.node->location}, {b.node->location}};
        };
        if (!exclusive) {
            if (a.node->name != b.node->name) {
                return conflict("\"" + std::string(a.node->name) + "\" and \"" + std::string(b.node->name) +
                                "\" are different fields");
            }
            if (!same_arguments(*a.node, *b.node)) return conflict("they have differing arguments");
        }
        if (a.definition && b.definition && types_conflict(a.definition->type, b.definition->type)) {
            return conflict("they return conflicting types \"" + schema.type_name(a.definition->type) + "\" and \"" +
                            schema.type_name(b.definition->type) + "\"");
        }
        if (a.node->selection_set.empty() || b.node->selection_set.empty()) return std::nullopt;
        // Fragment cycles (refused by their own rule) would make the
        // subfields endless; no selection the limits accept is this deep.
        if (depth > context_.limits().max_depth) return std::nullopt;
        const TypeId type_a = a.definition ? composite_of(a.definition->type) : no_type;
        const TypeId type_b = b.definition ? composite_of(b.definition->type) : no_type;
        const FieldMap map_a = collect(a.node->selection_set, type_a);
        const FieldMap map_b = collect(b.node->selection_set, type_b);
        Conflict merged{Reason{std::string(key), {}, {}}, {a.node->location}, {b.node->location}};
        for (const std::string_view sub_key : map_a.keys) {
            const auto other = map_b.fields.find(sub_key);
            if (other == map_b.fields.end()) continue;
            for (const FieldEntry& sub_a : map_a.fields.at(sub_key)) {
                for (const FieldEntry& sub_b : other->second) {
                    if (auto sub = find_conflict(exclusive, sub_key, sub_a, sub_b, depth + 1)) {
                        merged.reason.subreasons.push_back(std::move(sub->reason));
                        merged.fields1.insert(merged.fields1.end(), sub->fields1.begin(), sub->fields1.end());
                        merged.fields2.insert(merged.fields2.end(), sub->fields2.begin(), sub->fields2.end());
                    }
                }
            }
        }
        if (merged.reason.subreasons.empty()) return std::nullopt;
        return merged;
    }

    using PairKey = std::tuple<const Selection*, const Selection*, TypeId, TypeId, bool>;
    mutable std::map<PairKey, std::optional<Conflict>> compared_;

    TypeId composite_of(TypeId type) const {
        return context_.schema().is_composite(type) ? context_.schema().named_type(type) : no_type;
    }

    void report(Conflict& conflict) {
        std::vector<Location> locations = std::move(conflict.fields1);
        locations.insert(locations.end(), conflict.fields2.begin(), conflict.fields2.end());
        context_.report("Fields \"" + conflict.reason.key + "\" conflict because " + reason_message(conflict.reason) +
                            ". Use different aliases on the fields to fetch both if this was intentional.",
                        std::move(locations));
    }
};

}  // namespace

Rule* overlapping_fields_can_be_merged(ValidationContext& context, RuleArena& arena) { return arena.make<OverlappingFieldsCanBeMerged>(context); }

}  // namespace quorvel::graphql::validation
