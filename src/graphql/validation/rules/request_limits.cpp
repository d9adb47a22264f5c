// The request limits: document size, selection depth, selected fields and
// tool calls, fragments expanded where they are spread.
//
// Expanding every spread where it stands costs as much as the expansion,
// which doubles with each level of a chain of fragments that spread the next
// one twice. So what a fragment adds wherever it is spread (its fields, how
// deep they nest, the tool calls at its top) is worked out once per
// fragment, bottom-up; a spread whose addition keeps within every limit is
// counted without being entered, and one that would pass a limit is entered
// to find the field where it does, as a full expansion would. The work is
// then one pass over the document plus one path down to the first breach.
//
// A spread that expands to nothing (an unknown fragment, or one that closes
// a cycle) still counts as one selected field: otherwise a chain of them
// doubles the work of the other rules while no limit is ever reached.
#include <algorithm>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "graphql/validation/rules/rules.hpp"

namespace quorvel::graphql::validation {

namespace {

// Spreads inside spreads nest at most this deep; it also bounds the
// recursion of the rules that follow fragments.
constexpr std::size_t max_spread_nesting = 64;

// What a fragment's expansion adds wherever it is spread.
struct Expansion {
    // Fields selected, each spread inside expanded; held at most one past
    // the limit, which is all a comparison with the limit needs.
    std::size_t fields = 0;
    // Selection-set levels its fields occupy: 1 when they are all at its
    // top, 0 when it selects none.
    std::size_t levels = 0;
    // Fragments on the longest chain of spreads it starts, itself included.
    std::size_t nesting = 1;
    // Distinct response keys of tool fields at its top (through spreads and
    // inline fragments there), at most one past the limit.
    std::vector<std::string_view> tool_keys;
};

class LimitCheck {
public:
    explicit LimitCheck(ValidationContext& context) : context_(context), limits_(context.limits()) {}

    bool operation(const OperationDefinition& operation) {
        const Schema& schema = context_.schema();
        const TypeId root = operation.kind == OperationKind::query      ? schema.query_type()
                            : operation.kind == OperationKind::mutation ? schema.mutation_type()
                                                                        : no_type;
        fields_ = 0;
        entered_ = 0;
        std::unordered_set<std::string_view> tool_calls;
        return visit(operation.selection_set, root, 1, &tool_calls);
    }

    // A fragment no operation spreads is held to the limits as if an
    // operation spread it at its top, since the other rules walk it too.
    bool fragment(const FragmentDefinition& fragment) {
        fields_ = 0;
        entered_ = 0;
        const Expansion* expansion = expand(fragment);
        if (!expansion) return false;
        if (fits(*expansion, 1, nullptr)) return true;
        entered_ = 1;
        return visit(fragment.selection_set, composite(fragment.type_condition), 1, nullptr);
    }

private:
    enum class State { open, done };
    struct Entry {
        State state = State::open;
        Expansion expansion;
    };

    // `tool_calls` collects the response keys of tool fields at the top
    // level of an operation (nullptr below it): one call per key, since
    // fields that share a key are merged into one.
    bool visit(const NodeList<Selection>& selection_set, TypeId parent, std::size_t depth,
               std::unordered_set<std::string_view>* tool_calls) {
        for (const Selection& selection : selection_set) {
            switch (selection.kind) {
                case SelectionKind::field:
                    if (!field(selection, parent, depth, tool_calls)) return false;
                    break;
                case SelectionKind::inline_fragment: {
                    const TypeId type = selection.type_condition.empty() ? parent : composite(selection.type_condition);
                    if (!visit(selection.selection_set, type, depth, tool_calls)) return false;
                    break;
                }
                case SelectionKind::fragment_spread:
                    if (!spread(selection, depth, tool_calls)) return false;
                    break;
            }
        }
        return true;
    }

    bool field(const Selection& selection, TypeId parent, std::size_t depth,
               std::unordered_set<std::string_view>* tool_calls) {
        if (!count_field(selection)) return false;
        if (depth > limits_.max_depth) return refuse_depth(selection.location);
        const Field* definition = find_field(parent, selection);
        if (tool_calls && is_tool(definition)) {
            tool_calls->insert(selection.response_key());
            if (tool_calls->size() > limits_.max_tool_calls) return refuse_tool_calls(selection.location);
        }
        if (selection.selection_set.empty()) return true;
        return visit(selection.selection_set, type_of(definition), depth + 1, nullptr);
    }

    bool spread(const Selection& selection, std::size_t depth, std::unordered_set<std::string_view>* tool_calls) {
        const FragmentDefinition* fragment = context_.document().find_fragment(selection.name);
        if (!fragment || closes_cycle_.count(&selection)) return count_field(selection);
        if (entered_ >= max_spread_nesting) return refuse_nesting(selection.location);
        const Expansion* expansion = expand(*fragment, &selection);
        if (!expansion) return false;
        if (fits(*expansion, depth, tool_calls)) {
            fields_ += expansion->fields;
            if (tool_calls) tool_calls->insert(expansion->tool_keys.begin(), expansion->tool_keys.end());
            return true;
        }
        ++entered_;
        const bool ok = visit(fragment->selection_set, composite(fragment->type_condition), depth, tool_calls);
        --entered_;
        return ok;
    }

    bool fits(const Expansion& expansion, std::size_t depth, const std::unordered_set<std::string_view>* tool_calls) {
        if (fields_ + expansion.fields > limits_.max_selected_fields) return false;
        if (entered_ + expansion.nesting > max_spread_nesting) return false;
        if (expansion.levels > 0 && depth + expansion.levels - 1 > limits_.max_depth) return false;
        if (!tool_calls) return true;
        std::size_t calls = tool_calls->size();
        for (const std::string_view key : expansion.tool_keys) calls += tool_calls->count(key) ? 0 : 1;
        return calls <= limits_.max_tool_calls;
    }

    // The expansion of `fragment`, worked out on first use (nullptr once a
    // limit is refused). `spread` is where it was met, for the error when
    // spreads nest too deep.
    const Expansion* expand(const FragmentDefinition& fragment, const Selection* spread = nullptr) {
        auto [entry, fresh] = entries_.try_emplace(&fragment);
        if (!fresh) return &entry->second.expansion;
        if (open_ >= max_spread_nesting) {
            entries_.erase(entry);
            refuse_nesting(spread ? spread->location : fragment.location);
            return nullptr;
        }
        ++open_;
        Expansion expansion;
        const bool ok = add(fragment.selection_set, composite(fragment.type_condition), 0, true, expansion);
        --open_;
        // Iterators into entries_ may have moved while the fragments below
        // were expanded.
        Entry& done = entries_.at(&fragment);
        done.state = State::done;
        done.expansion = std::move(expansion);
        return ok ? &done.expansion : nullptr;
    }

    // Adds what `selection_set`, `level` levels below the fragment's top,
    // selects to `out`.
    bool add(const NodeList<Selection>& selection_set, TypeId parent, std::size_t level, bool top, Expansion& out) {
        for (const Selection& selection : selection_set) {
            switch (selection.kind) {
                case SelectionKind::field: {
                    out.fields = capped_sum(out.fields, 1, limits_.max_selected_fields);
                    out.levels = std::max(out.levels, level + 1);
                    const Field* definition = find_field(parent, selection);
                    if (top && is_tool(definition)) add_tool_key(out, selection.response_key());
                    if (!selection.selection_set.empty() &&
                        !add(selection.selection_set, type_of(definition), level + 1, false, out)) {
                        return false;
                    }
                    break;
                }
                case SelectionKind::inline_fragment: {
                    const TypeId type = selection.type_condition.empty() ? parent : composite(selection.type_condition);
                    if (!add(selection.selection_set, type, level, top, out)) return false;
                    break;
                }
                case SelectionKind::fragment_spread: {
                    const FragmentDefinition* fragment = context_.document().find_fragment(selection.name);
                    const auto entry = fragment ? entries_.find(fragment) : entries_.end();
                    if (fragment && entry != entries_.end() && entry->second.state == State::open) {
                        closes_cycle_.insert(&selection);
                    }
                    if (!fragment || closes_cycle_.count(&selection)) {
                        out.fields = capped_sum(out.fields, 1, limits_.max_selected_fields);
                        break;
                    }
                    const Expansion* inner = expand(*fragment, &selection);
                    if (!inner) return false;
                    out.fields = capped_sum(out.fields, inner->fields, limits_.max_selected_fields);
                    out.nesting = std::max(out.nesting, inner->nesting + 1);
                    if (inner->levels > 0) out.levels = std::max(out.levels, level + inner->levels);
                    if (top) {
                        for (const std::string_view key : inner->tool_keys) add_tool_key(out, key);
                    }
                    break;
                }
            }
        }
        return true;
    }

    void add_tool_key(Expansion& out, std::string_view key) const {
        if (out.tool_keys.size() > limits_.max_tool_calls) return;
        if (std::find(out.tool_keys.begin(), out.tool_keys.end(), key) == out.tool_keys.end()) {
            out.tool_keys.push_back(key);
        }
    }

    static std::size_t capped_sum(std::size_t a, std::size_t b, std::size_t limit) {
        const std::size_t cap = limit + 1;
        return a >= cap || b >= cap - a ? cap : a + b;
    }

    bool count_field(const Selection& selection) {
        if (++fields_ <= limits_.max_selected_fields) return true;
        return refuse("The operation selects more than " + std::to_string(limits_.max_selected_fields) +
                          " fields, the most a request may select.",
                      selection.location, ErrorCode::too_many_fields);
    }

    bool refuse_nesting(Location location) {
        return refuse("Fragment spreads nest deeper than " + std::to_string(max_spread_nesting) + " levels.",
                      location, ErrorCode::query_too_deep);
    }

    bool refuse_depth(Location location) {
        return refuse("Selections nest deeper than " + std::to_string(limits_.max_depth) +
                          " levels, the most a request may nest.",
                      location, ErrorCode::query_too_deep);
    }

    bool refuse_tool_calls(Location location) {
        return refuse("The operation calls more than " + std::to_string(limits_.max_tool_calls) +
                          " tools, the most a request may call.",
                      location, ErrorCode::too_many_tool_calls);
    }

    const Field* find_field(TypeId parent, const Selection& selection) const {
        return parent == no_type ? nullptr : context_.schema().find_field(parent, selection.name);
    }

    static bool is_tool(const Field* definition) { return definition && definition->source == FieldSource::tool; }

    TypeId type_of(const Field* definition) const {
        const Schema& schema = context_.schema();
        return definition && schema.is_composite(definition->type) ? schema.named_type(definition->type) : no_type;
    }

    TypeId composite(std::string_view name) const {
        const TypeId type = context_.schema().find_type(name);
        return type != no_type && context_.schema().is_composite(type) ? context_.schema().named_type(type) : no_type;
    }

    bool refuse(std::string message, Location location, ErrorCode code) {
        context_.report(std::move(message), {location}, code);
        return false;
    }

    ValidationContext& context_;
    const RequestLimits& limits_;
    std::size_t fields_ = 0;  // selected so far by the operation or fragment being checked
    std::size_t open_ = 0;     // fragments being expanded, one inside the next
    std::size_t entered_ = 0;  // fragments the walk is inside, one inside the next
    std::unordered_map<const FragmentDefinition*, Entry> entries_;
    // Spreads of a fragment met while that fragment was being expanded: they
    // expand to nothing, wherever the walk meets them, so that every
    // expansion worked out above holds wherever it is used.
    std::unordered_set<const Selection*> closes_cycle_;
};

}  // namespace

bool check_request_limits(ValidationContext& context) {
    const Document& document = context.document();
    const std::size_t bytes = document.source().size();
    if (bytes > context.limits().max_document_bytes) {
        context.report("Document is larger than " + std::to_string(context.limits().max_document_bytes) + " bytes.",
                       {Location{1, 1}}, ErrorCode::query_too_large);
        return true;
    }
    // One error is enough to refuse the request.
    LimitCheck check(context);
    for (const OperationDefinition& operation : document.operations) {
        if (!check.operation(operation)) return true;
    }
    for (const FragmentDefinition& fragment : document.fragments) {
        if (!check.fragment(fragment)) return true;
    }
    return false;
}

}  // namespace quorvel::graphql::validation
