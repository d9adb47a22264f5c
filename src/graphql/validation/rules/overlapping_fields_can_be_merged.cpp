// Fields that share a response key must be one field: same name, same
// arguments, types of the same shape, and subfields that merge in turn.
//
// The comparisons follow graphql-js (and so report what graphql-core
// reports): a selection set's own fields among themselves, each spread
// fragment against them, and the spread fragments pairwise, each pair of
// fragments and each pair of a set and a fragment once per document; a
// fragment's fields are never copied into the sets that spread it, so many
// operations spreading one large fragment do not each pay for it.
//
// Comparing every pair of fields that share a key costs the square of their
// number, and 500 alternating `x: servers { name }` / `x: __typename` ask for
// 125,000 comparisons. So, beyond graphql-js:
// - fields of one shape (parent type, name, arguments and subselection,
//   locations aside) compare alike, so a pair of shapes found clear once is
//   passed over with all its copies;
// - comparing stops once the error list is full, as nothing past it is
//   shown;
// - what is left (many fields of distinct shapes under one key, or conflicts
//   nested deep) has a budget, past which the document is refused, as
//   graphql-js's complexity budget does.
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

// Fragments followed one inside another while fields are compared.
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

// Where the conflicts found go: reported, or folded into the conflict of
// the fields whose subfields they are. `add` answers whether to go on.
class ConflictSink {
public:
    virtual bool add(const ConflictPtr& conflict) = 0;

protected:
    ~ConflictSink() = default;
};

// The conflicts of subfields folded into one, as graphql-js words and
// trims it: the message stops growing past its bound, and each side points
// at its own field and then at the last nodes of each subconflict until
// there are max_conflict_nodes.
class SubconflictMerge final : public ConflictSink {
public:
    SubconflictMerge(const FieldEntry& a, const FieldEntry& b) : fields1_{a.node->location}, fields2_{b.node->location} {}

    bool add(const ConflictPtr& conflict) override {
        fold(*conflict);
        return !settled();
    }

    void fold(const Conflict& conflict) {
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

// Fields by response key in one selection set (inline fragments flattened
// into it), and the fragments it spreads, each once, in order: graphql-js's
// collected fields and fragment names. A spread fragment's fields are not
// copied in; they are compared where they are needed.
struct Collected {
    FieldMap fields;
    std::vector<const FragmentDefinition*> spreads;
};

class OverlappingFieldsCanBeMerged final : public Rule, private ConflictSink {
public:
    using Rule::Rule;
    void enter_inline_fragment(const Selection& fragment, TypeId) override { inline_sets_.insert(&fragment.selection_set); }

    // graphql-js's findConflictsWithinSelectionSet: the fields among
    // themselves, each spread fragment against them, and the spread
    // fragments pairwise. An inline fragment's set is judged as part of the
    // set it stands in, and a set of one field or one spread brings nothing
    // to compare that is not judged elsewhere.
    void enter_selection_set(const NodeList<Selection>& selection_set, TypeId parent) override {
        if (inline_sets_.count(&selection_set)) return;
        if (selection_set.size() <= 1 && (selection_set.empty() || selection_set[0].kind != SelectionKind::inline_fragment)) {
            return;
        }
        if (stopped()) return;
        const Collected& collected = collect(selection_set, parent);
        if (!within(collected.fields, *this)) return;
        const std::vector<const FragmentDefinition*>& spreads = collected.spreads;
        if (spreads.empty() || (collected.fields.keys.empty() && spreads.size() < 2)) return;
        for (std::size_t i = 0; i < spreads.size(); ++i) {
            if (!fields_and_fragment(false, collected, spreads[i], *this, 0)) return;
            for (std::size_t j = i + 1; j < spreads.size(); ++j) {
                if (!between_fragments(false, spreads[i], spreads[j], *this, 0)) return;
            }
        }
    }

private:
    enum class Verdict : std::uint8_t { open, clear, conflicts };

    bool stopped() const { return aborted_ || context_.full(); }

    bool add(const ConflictPtr& conflict) override {
        report(*conflict);
        return !stopped();
    }

    bool within(const FieldMap& map, ConflictSink& out) {
        for (const std::string_view key : map.keys) {
            if (!compare_within(key, map.fields.at(key), out)) return false;
        }
        return !aborted_;
    }

    // Each field against those after it under the same key, in graphql-js's
    // order.
    bool compare_within(std::string_view key, const KeyedFields& fields, ConflictSink& out) {
        for (std::size_t i = 0; i + 1 < fields.entries.size(); ++i) {
            if (!against(false, key, fields.entries[i], fields, i + 1, out, 0)) return false;
        }
        return true;
    }

    // `field` against the fields of `others` from position `from` on, in
    // order, passing over every copy of a shape whose verdict with its own
    // is clear.
    bool against(bool exclusive, std::string_view key, const FieldEntry& field, const KeyedFields& others,
                 std::size_t from, ConflictSink& out, std::size_t depth) {
        std::vector<std::size_t> candidates;
        for (const auto& [shape, positions] : others.shapes) {
            if (positions.back() < from || known_clear(exclusive, field, others.entries[positions.front()])) continue;
            candidates.insert(candidates.end(), std::lower_bound(positions.begin(), positions.end(), from),
                              positions.end());
        }
        std::sort(candidates.begin(), candidates.end());
        for (const std::size_t j : candidates) {
            const FieldEntry& other = others.entries[j];
            if (known_clear(exclusive, field, other)) continue;
            const ConflictPtr conflict = find_conflict(exclusive, key, field, other, depth);
            if (conflict && !out.add(conflict)) return false;
            if (aborted_) return false;
        }
        return true;
    }

    // Whether `a` and `b` are known not to conflict: leaves graphql-js
    // passes over, or shapes already compared without a conflict.
    bool known_clear(bool parents_exclusive, const FieldEntry& a, const FieldEntry& b) const {
        if (simple_leaf(a) && simple_leaf(b) && a.node->name == b.node->name && type_of_entry(a) == type_of_entry(b)) {
            return true;
        }
        const auto verdict = verdicts_.find(shape_pair(a, b, parents_exclusive));
        return verdict != verdicts_.end() && verdict->second == Verdict::clear;
    }

    static std::uint64_t shape_pair(const FieldEntry& a, const FieldEntry& b, bool parents_exclusive) {
        return (std::uint64_t{a.shape} << 33) | (std::uint64_t{b.shape} << 1) | parents_exclusive;
    }

    // The fields of `a` against those of `b` that share their keys.
    bool between(bool exclusive, const FieldMap& a, const FieldMap& b, ConflictSink& out, std::size_t depth) {
        if (a.keys.empty() || b.keys.empty()) return true;
        for (const std::string_view key : a.keys) {
            const auto other = b.fields.find(key);
            if (other == b.fields.end()) continue;
            for (const FieldEntry& field : a.fields.at(key).entries) {
                if (!against(exclusive, key, field, other->second, 0, out, depth)) return false;
            }
        }
        return true;
    }

    // graphql-js's collectConflictsBetweenFieldsAndFragment: the fields of
    // a set against a fragment's, and against the fragments it spreads, each
    // pair once (a pair compared as exclusive holds for both).
    bool fields_and_fragment(bool exclusive, const Collected& collected, const FragmentDefinition* fragment,
                             ConflictSink& out, std::size_t depth) {
        if (collected.fields.keys.empty()) return true;
        if (depth >= max_collect_spreads) return true;
        const auto [seen, fresh] = fields_and_fragments_.try_emplace(std::make_pair(&collected, fragment), exclusive);
        if (!fresh) {
            if (exclusive || !seen->second) return true;
            seen->second = exclusive;
        }
        const Collected& other = collect_fragment(*fragment);
        if (&other == &collected) return true;
        if (!between(exclusive, collected.fields, other.fields, out, depth)) return false;
        for (const FragmentDefinition* inner : other.spreads) {
            if (!fields_and_fragment(exclusive, collected, inner, out, depth + 1)) return false;
        }
        return true;
    }

    // graphql-js's collectConflictsBetweenFragments, each unordered pair once.
    bool between_fragments(bool exclusive, const FragmentDefinition* a, const FragmentDefinition* b,
                           ConflictSink& out, std::size_t depth) {
        if (a == b || depth >= max_collect_spreads) return true;
        const auto ordered = a < b ? std::make_pair(a, b) : std::make_pair(b, a);
        const auto [seen, fresh] = fragment_pairs_.try_emplace(ordered, exclusive);
        if (!fresh) {
            if (exclusive || !seen->second) return true;
            seen->second = exclusive;
        }
        const Collected& collected_a = collect_fragment(*a);
        const Collected& collected_b = collect_fragment(*b);
        if (!between(exclusive, collected_a.fields, collected_b.fields, out, depth)) return false;
        for (const FragmentDefinition* inner : collected_b.spreads) {
            if (!between_fragments(exclusive, a, inner, out, depth + 1)) return false;
        }
        for (const FragmentDefinition* inner : collected_a.spreads) {
            if (!between_fragments(exclusive, inner, b, out, depth + 1)) return false;
        }
        return true;
    }

    const Collected& collect_fragment(const FragmentDefinition& fragment) {
        return collect(fragment.selection_set, composite(fragment.type_condition));
    }

    const Collected& collect(const NodeList<Selection>& selection_set, TypeId parent) {
        const auto key = std::make_pair(&selection_set, parent);
        if (const auto found = collected_.find(key); found != collected_.end()) return found->second;
        Collected collected;
        std::unordered_set<const FragmentDefinition*> spread;
        collect_into(selection_set, parent, collected, spread);
        FieldMap& map = collected.fields;
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
        return collected_.emplace(key, std::move(collected)).first->second;
    }

    void collect_into(const NodeList<Selection>& selection_set, TypeId parent, Collected& collected,
                      std::unordered_set<const FragmentDefinition*>& spread) {
        for (const Selection& selection : selection_set) {
            switch (selection.kind) {
                case SelectionKind::field: {
                    const std::string_view key = selection.response_key();
                    auto& entries = collected.fields.fields[key].entries;
                    if (entries.empty()) collected.fields.keys.push_back(key);
                    entries.push_back(FieldEntry{parent, &selection, find_field(parent, selection),
                                                 shape_of(selection, parent)});
                    break;
                }
                case SelectionKind::inline_fragment:
                    collect_into(selection.selection_set, inline_type(selection, parent), collected, spread);
                    break;
                case SelectionKind::fragment_spread: {
                    const FragmentDefinition* fragment = context_.document().find_fragment(selection.name);
                    if (fragment && spread.insert(fragment).second) collected.spreads.push_back(fragment);
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
        const std::uint64_t shapes = shape_pair(a, b, parents_exclusive);
        const auto [verdict, fresh] = verdicts_.try_emplace(shapes, Verdict::open);
        // Clear, or being worked out further up: the way back to it is a
        // fragment cycle, which adds nothing.
        if (!fresh && verdict->second != Verdict::conflicts) return nullptr;
        if (++comparisons_ > comparison_budget) {
            aborted_ = true;
            context_.report("Validation aborted: too many fields share a response key to compare them all.",
                            {a.node->location});
            return nullptr;
        }
        ConflictPtr found = compare(parents_exclusive, key, a, b, depth);
        // A pair is worked out again where it is met again, as graphql-js
        // does: fragments compared the first time are not compared again, so
        // it may find less. The map may have grown below, so look it up again.
        verdicts_[shapes] = found ? Verdict::conflicts : Verdict::clear;
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
        // graphql-js's findConflictsBetweenSubSelectionSets.
        const Collected& set_a = collect(a.node->selection_set, type_of(a.definition));
        const Collected& set_b = collect(b.node->selection_set, type_of(b.definition));
        SubconflictMerge merged(a, b);
        [&] {
            if (!between(exclusive, set_a.fields, set_b.fields, merged, depth + 1)) return;
            for (const FragmentDefinition* fragment : set_b.spreads) {
                if (!fields_and_fragment(exclusive, set_a, fragment, merged, depth + 1)) return;
            }
            for (const FragmentDefinition* fragment : set_a.spreads) {
                if (!fields_and_fragment(exclusive, set_b, fragment, merged, depth + 1)) return;
            }
            for (const FragmentDefinition* fragment_a : set_a.spreads) {
                for (const FragmentDefinition* fragment_b : set_b.spreads) {
                    if (!between_fragments(exclusive, fragment_a, fragment_b, merged, depth + 1)) return;
                }
            }
        }();
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

    std::unordered_map<std::pair<const NodeList<Selection>*, TypeId>, Collected,
                       PairHash<const NodeList<Selection>*, TypeId>>
        collected_;
    std::unordered_map<std::pair<const Selection*, TypeId>, Shape, PairHash<const Selection*, TypeId>> shapes_;
    std::unordered_set<const NodeList<Selection>*> inline_sets_;
    // Pairs already compared, and whether as exclusive (which covers only
    // exclusive comparisons to come).
    std::unordered_map<std::pair<const Collected*, const FragmentDefinition*>, bool,
                       PairHash<const Collected*, const FragmentDefinition*>>
        fields_and_fragments_;
    std::unordered_map<std::pair<const FragmentDefinition*, const FragmentDefinition*>, bool,
                       PairHash<const FragmentDefinition*, const FragmentDefinition*>>
        fragment_pairs_;
    std::unordered_map<std::string, Shape> shape_ids_;
    std::unordered_map<std::uint64_t, Verdict> verdicts_;
    std::size_t comparisons_ = 0;
    bool aborted_ = false;
};

}  // namespace

Rule* overlapping_fields_can_be_merged(ValidationContext& context, RuleArena& arena) { return arena.make<OverlappingFieldsCanBeMerged>(context); }

}  // namespace quorvel::graphql::validation
