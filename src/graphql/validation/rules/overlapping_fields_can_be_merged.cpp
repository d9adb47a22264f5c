// Fields that share a response key must be one field: same name, same
// arguments, types of the same shape, and subfields that merge in turn.
//
// Comparing every pair of fields that share a key costs the square of their
// number, and 500 alternating `x: servers { name }` / `x: __typename` ask for
// 125,000 comparisons. So the work is bounded four ways:
// - fields are grouped by response key (fragments expanded once per set), so
//   an ordinary document, whose keys are distinct, costs a pass per set;
// - fields of one shape (parent type, name, arguments and subselection,
//   locations aside) compare alike, so the verdict for a pair of shapes is
//   kept, and a field is compared with each shape that follows it once, not
//   with each copy of it; a pair is worked out in full only to report it;
// - a pair of nodes is worked out once, however many places bring it back
//   (a fragment spread in many sets, as graphql-js's comparedFragmentPairs
//   remembers fragment pairs), and reporting stops once the error list is
//   full, as nothing past it is shown;
// - what is left (many fields of distinct shapes under one key) has a budget,
//   past which the document is refused, as graphql-js's complexity budget
//   does.
#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "graphql/validation/rules/rules.hpp"

namespace quorvel::graphql::validation {

namespace {

// graphql-js's bounds on one conflict's message and the nodes it points at.
constexpr std::size_t max_conflict_detail = 1000;
constexpr std::size_t max_conflict_nodes = 20;
// Pairs worked out in full per document, a few milliseconds' work. Fields
// of distinct shapes that share a key reach it only when well over a hundred
// of them do, which no document written to be run needs.
constexpr std::size_t comparison_budget = 5000;
// Subfields compared below a pair; only fragment cycles, which their own
// rule refuses, reach past the depth the request limits allow.
constexpr std::size_t max_compare_depth = 256;

// Fragments expanded one inside another while fields are collected.
constexpr std::size_t max_collect_spreads = 64 * 64;

using Shape = std::uint32_t;

struct FieldEntry {
    TypeId parent = no_type;
    const Selection* node = nullptr;
    const Field* definition = nullptr;
    Shape shape = 0;
};

// The fields under one response key, and where each shape's copies stand
// among them (shapes in order of first appearance).
struct KeyedFields {
    std::vector<FieldEntry> entries;
    std::vector<std::pair<Shape, std::vector<std::size_t>>> shapes;
};

// Fields by response key, keys in order of first appearance.
struct FieldMap {
    std::vector<std::string_view> keys;
    std::unordered_map<std::string_view, KeyedFields> fields;
};

struct Conflict {
    std::string key;
    std::string reason;
    std::vector<Location> fields1;
    std::vector<Location> fields2;
};
using ConflictPtr = std::shared_ptr<const Conflict>;

std::string abbreviate(std::string_view text) {
    if (text.size() <= max_conflict_detail) return std::string(text);
    return std::string(text.substr(0, max_conflict_detail)) + "...";
}

// The conflicts of subfields folded into one, as graphql-js words and
// trims it: the message stops growing past its bound, and each side points
// at its own field and then at the last nodes of each subconflict until
// there are max_conflict_nodes.
class SubconflictMerge {
public:
    SubconflictMerge(const FieldEntry& a, const FieldEntry& b) : fields1_{a.node->location}, fields2_{b.node->location} {}

    void add(const Conflict& conflict) {
        empty_ = false;
        if (message_.size() <= max_conflict_detail) {
            if (!message_.empty()) message_ += " and ";
            message_ += "subfields \"" + abbreviate(conflict.key) + "\" conflict because " + conflict.reason;
        }
        take_last(fields1_, conflict.fields1);
        take_last(fields2_, conflict.fields2);
    }
    // Whether further subconflicts would change nothing.
    bool settled() const {
        return message_.size() > max_conflict_detail && fields1_.size() == max_conflict_nodes &&
               fields2_.size() == max_conflict_nodes;
    }
    ConflictPtr result(std::string_view key) {
        if (empty_) return nullptr;
        return std::make_shared<const Conflict>(
            Conflict{std::string(key), abbreviate(message_), std::move(fields1_), std::move(fields2_)});
    }

private:
    static void take_last(std::vector<Location>& nodes, const std::vector<Location>& more) {
        if (nodes.size() >= max_conflict_nodes) return;
        const std::size_t room = max_conflict_nodes - nodes.size();
        const std::size_t skip = more.size() > room ? more.size() - room : 0;
        nodes.insert(nodes.end(), more.begin() + static_cast<std::ptrdiff_t>(skip), more.end());
    }

    bool empty_ = true;
    std::string message_;
    std::vector<Location> fields1_;
    std::vector<Location> fields2_;
};

template <class First, class Second>
struct PairHash {
    std::size_t operator()(const std::pair<First, Second>& pair) const noexcept {
        return std::hash<First>{}(pair.first) * 0x9E3779B97F4A7C15ULL ^ std::hash<Second>{}(pair.second);
    }
};

// Two fields in their places, and whether their parents already exclude
// each other.
struct NodePair {
    const Selection* a;
    const Selection* b;
    TypeId parent_a;
    TypeId parent_b;
    bool parents_exclusive;
    bool operator==(const NodePair&) const = default;
};

struct NodePairHash {
    std::size_t operator()(const NodePair& pair) const noexcept {
        std::size_t hash = std::hash<const void*>{}(pair.a);
        hash = hash * 0x9E3779B97F4A7C15ULL ^ std::hash<const void*>{}(pair.b);
        hash = hash * 31 + pair.parent_a;
        hash = hash * 31 + pair.parent_b;
        return hash * 2 + pair.parents_exclusive;
    }
};

class OverlappingFieldsCanBeMerged final : public Rule {
public:
    using Rule::Rule;
    void enter_selection_set(const NodeList<Selection>& selection_set, TypeId parent) override {
        // One field has nothing to merge with, and one spread brings the
        // fragment's own fields, judged where the fragment is defined (as
        // graphql-js does); passing over such a set keeps many operations
        // that spread one large fragment from expanding it each time.
        if (selection_set.size() == 1 && selection_set[0].kind != SelectionKind::inline_fragment) return;
        if (stopped()) return;
        const FieldMap& map = collect(selection_set, parent);
        for (const std::string_view key : map.keys) {
            compare_within(key, map.fields.at(key));
            if (stopped()) return;
        }
    }

private:
    enum class Verdict : std::uint8_t { open, clear, conflicts };

    bool stopped() const { return aborted_ || context_.full(); }

    // Each field against those after it under the same key, in graphql-js's
    // order; a shape whose verdict with this field's is clear is passed over
    // with all its copies.
    void compare_within(std::string_view key, const KeyedFields& fields) {
        const std::vector<FieldEntry>& entries = fields.entries;
        std::vector<std::size_t> partners;
        for (std::size_t i = 0; i + 1 < entries.size(); ++i) {
            partners.clear();
            for (const auto& [shape, positions] : fields.shapes) {
                if (positions.back() <= i) continue;
                const auto first = std::upper_bound(positions.begin(), positions.end(), i);
                if (!find_conflict(false, key, entries[i], entries[*first], 0)) continue;
                partners.insert(partners.end(), first, positions.end());
            }
            std::sort(partners.begin(), partners.end());
            for (const std::size_t j : partners) {
                if (const ConflictPtr conflict = find_conflict(false, key, entries[i], entries[j], 0)) report(*conflict);
                if (stopped()) return;
            }
        }
    }

    const FieldMap& collect(const NodeList<Selection>& selection_set, TypeId parent) {
        const auto key = std::make_pair(&selection_set, parent);
        if (const auto found = collected_.find(key); found != collected_.end()) return found->second;
        FieldMap map;
        std::unordered_set<std::string_view> expanded;
        collect_into(selection_set, parent, map, expanded);
        for (const std::string_view field_key : map.keys) {
            KeyedFields& fields = map.fields.at(field_key);
            std::unordered_map<Shape, std::size_t> index;
            for (std::size_t i = 0; i < fields.entries.size(); ++i) {
                const Shape shape = fields.entries[i].shape;
                const auto [slot, fresh] = index.try_emplace(shape, fields.shapes.size());
                if (fresh) fields.shapes.emplace_back(shape, std::vector<std::size_t>{});
                fields.shapes[slot->second].second.push_back(i);
            }
        }
        return collected_.emplace(key, std::move(map)).first->second;
    }

    // `spreads` counts the fragments expanded on the way here: the request
    // limits bound it for every document without cycles, and a cycle (its
    // own rule refuses it) may not take the recursion further.
    void collect_into(const NodeList<Selection>& selection_set, TypeId parent, FieldMap& map,
                      std::unordered_set<std::string_view>& expanded, std::size_t spreads = 0) {
        for (const Selection& selection : selection_set) {
            switch (selection.kind) {
                case SelectionKind::field: {
                    const std::string_view key = selection.response_key();
                    auto& entries = map.fields[key].entries;
                    if (entries.empty()) map.keys.push_back(key);
                    entries.push_back(FieldEntry{parent, &selection, find_field(parent, selection),
                                                 shape_of(selection, parent)});
                    break;
                }
                case SelectionKind::inline_fragment:
                    collect_into(selection.selection_set, inline_type(selection, parent), map, expanded, spreads);
                    break;
                case SelectionKind::fragment_spread: {
                    if (spreads >= max_collect_spreads || !expanded.insert(selection.name).second) break;
                    if (const FragmentDefinition* fragment = context_.document().find_fragment(selection.name)) {
                        collect_into(fragment->selection_set, composite(fragment->type_condition), map, expanded,
                                     spreads + 1);
                    }
                    break;
                }
            }
        }
    }

    // The shape of a field where it stands: everything a comparison reads,
    // written out with its subfields' shapes by number, so that two fields
    // have one shape exactly when they compare alike with any third.
    Shape shape_of(const Selection& field, TypeId parent) {
        const auto key = std::make_pair(&field, parent);
        if (const auto found = shapes_.find(key); found != shapes_.end()) return found->second;
        std::string text = std::to_string(parent) + ' ' + std::string(field.name) + '(';
        std::vector<std::string> arguments;
        for (const Argument& argument : field.arguments) {
            arguments.push_back(std::string(argument.name) + ':' + value_key(argument.value));
        }
        std::sort(arguments.begin(), arguments.end());
        for (const std::string& argument : arguments) text += argument + ',';
        text += ')';
        if (!field.selection_set.empty()) {
            text += '{';
            describe(field.selection_set, type_of(find_field(parent, field)), text);
            text += '}';
        }
        const Shape shape = shape_ids_.try_emplace(std::move(text), static_cast<Shape>(shape_ids_.size())).first->second;
        shapes_.emplace(key, shape);
        return shape;
    }

    void describe(const NodeList<Selection>& selection_set, TypeId parent, std::string& text) {
        for (const Selection& selection : selection_set) {
            switch (selection.kind) {
                case SelectionKind::field:
                    text += std::string(selection.response_key()) + ':' + std::to_string(shape_of(selection, parent)) + ' ';
                    break;
                case SelectionKind::inline_fragment:
                    text += "...on " + std::string(selection.type_condition) + '{';
                    describe(selection.selection_set, inline_type(selection, parent), text);
                    text += '}';
                    break;
                case SelectionKind::fragment_spread: text += "..." + std::string(selection.name) + ' '; break;
            }
        }
    }

    static bool simple_leaf(const FieldEntry& entry) {
        return entry.node->arguments.empty() && entry.node->selection_set.empty();
    }

    static TypeId type_of_entry(const FieldEntry& entry) {
        return entry.definition ? entry.definition->type : no_type;
    }

    ConflictPtr find_conflict(bool parents_exclusive, std::string_view key, const FieldEntry& a, const FieldEntry& b,
                              std::size_t depth) {
        // Leaves of one name and type without arguments never conflict
        // (graphql-js's fast path), whatever their parents.
        if (simple_leaf(a) && simple_leaf(b) && a.node->name == b.node->name && type_of_entry(a) == type_of_entry(b)) {
            return nullptr;
        }
        if (aborted_) return nullptr;
        const std::uint64_t shapes = (std::uint64_t{a.shape} << 33) | (std::uint64_t{b.shape} << 1) | parents_exclusive;
        const auto [verdict, fresh] = verdicts_.try_emplace(shapes, Verdict::open);
        // Clear, or being worked out further up: the way back to it is a
        // fragment cycle, which adds nothing.
        if (!fresh && verdict->second != Verdict::conflicts) return nullptr;
        const NodePair pair{a.node, b.node, a.parent, b.parent, parents_exclusive};
        const auto [known, first] = details_.try_emplace(pair, nullptr);
        if (!first) return known->second;
        if (++comparisons_ > comparison_budget) {
            aborted_ = true;
            context_.report("Validation aborted: too many fields share a response key to compare them all.",
                            {a.node->location});
            return nullptr;
        }
        ConflictPtr found = compare(parents_exclusive, key, a, b, depth);
        // The maps may have grown below, so look the slots up again.
        details_[pair] = found;
        if (fresh) verdicts_[shapes] = found ? Verdict::conflicts : Verdict::clear;
        return found;
    }

    ConflictPtr compare(bool parents_exclusive, std::string_view key, const FieldEntry& a, const FieldEntry& b,
                        std::size_t depth) {
        const Schema& schema = context_.schema();
        const bool exclusive = parents_exclusive ||
                               (a.parent != b.parent && a.parent != no_type && b.parent != no_type &&
                                schema.type(a.parent).kind == TypeKind::object &&
                                schema.type(b.parent).kind == TypeKind::object);
        auto conflict = [&](std::string reason) {
            return std::make_shared<const Conflict>(
                Conflict{std::string(key), std::move(reason), {a.node->location}, {b.node->location}});
        };
        if (!exclusive) {
            if (a.node->name != b.node->name) {
                return conflict("\"" + abbreviate(a.node->name) + "\" and \"" + abbreviate(b.node->name) +
                                "\" are different fields");
            }
            if (!same_arguments(*a.node, *b.node)) return conflict("they have differing arguments");
        }
        if (a.definition && b.definition && types_conflict(a.definition->type, b.definition->type)) {
            return conflict("they return conflicting types \"" + schema.type_name(a.definition->type) + "\" and \"" +
                            schema.type_name(b.definition->type) + "\"");
        }
        if (a.node->selection_set.empty() || b.node->selection_set.empty()) return nullptr;
        if (depth >= max_compare_depth) return nullptr;
        const FieldMap& map_a = collect(a.node->selection_set, type_of(a.definition));
        const FieldMap& map_b = collect(b.node->selection_set, type_of(b.definition));
        SubconflictMerge merged(a, b);
        for (const std::string_view sub_key : map_a.keys) {
            const auto other = map_b.fields.find(sub_key);
            if (other == map_b.fields.end()) continue;
            const std::vector<FieldEntry>& entries_b = other->second.entries;
            for (const FieldEntry& sub_a : map_a.fields.at(sub_key).entries) {
                for (const auto& [shape, positions] : other->second.shapes) {
                    if (!find_conflict(exclusive, sub_key, sub_a, entries_b[positions.front()], depth + 1)) continue;
                    for (const std::size_t j : positions) {
                        if (const ConflictPtr sub = find_conflict(exclusive, sub_key, sub_a, entries_b[j], depth + 1)) {
                            merged.add(*sub);
                            if (merged.settled()) return merged.result(key);
                        }
                    }
                }
            }
        }
        return merged.result(key);
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

    const Field* find_field(TypeId parent, const Selection& selection) const {
        return parent == no_type ? nullptr : context_.schema().find_field(parent, selection.name);
    }

    TypeId type_of(const Field* definition) const {
        const Schema& schema = context_.schema();
        return definition && schema.is_composite(definition->type) ? schema.named_type(definition->type) : no_type;
    }

    TypeId inline_type(const Selection& fragment, TypeId parent) const {
        return fragment.type_condition.empty() ? parent : composite(fragment.type_condition);
    }

    TypeId composite(std::string_view name) const {
        const TypeId type = context_.schema().find_type(name);
        return type != no_type && context_.schema().is_composite(type) ? context_.schema().named_type(type) : no_type;
    }

    void report(const Conflict& conflict) {
        std::vector<Location> locations = conflict.fields1;
        locations.insert(locations.end(), conflict.fields2.begin(), conflict.fields2.end());
        context_.report("Fields \"" + abbreviate(conflict.key) + "\" conflict because " + conflict.reason +
                            ". Use different aliases on the fields to fetch both if this was intentional.",
                        std::move(locations));
    }

    std::unordered_map<std::pair<const NodeList<Selection>*, TypeId>, FieldMap,
                       PairHash<const NodeList<Selection>*, TypeId>>
        collected_;
    std::unordered_map<std::pair<const Selection*, TypeId>, Shape, PairHash<const Selection*, TypeId>> shapes_;
    std::unordered_map<std::string, Shape> shape_ids_;
    std::unordered_map<std::uint64_t, Verdict> verdicts_;
    std::unordered_map<NodePair, ConflictPtr, NodePairHash> details_;
    std::size_t comparisons_ = 0;
    bool aborted_ = false;
};

}  // namespace

Rule* overlapping_fields_can_be_merged(ValidationContext& context, RuleArena& arena) { return arena.make<OverlappingFieldsCanBeMerged>(context); }

}  // namespace quorvel::graphql::validation
