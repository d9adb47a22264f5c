// The request limits: document size, selection depth, selected fields and
// tool calls, fragments expanded where they are spread. The walk stops at
// the first limit it passes, so its work is bounded by the limits
// themselves however the document's fragments fan out.
#include <string>
#include <unordered_set>
#include <vector>

#include "graphql/validation/rules/rules.hpp"

namespace quorvel::graphql::validation {

namespace {

// Spreads inside spreads nest at most this deep; it also bounds the
// recursion of the rules that follow fragments.
constexpr std::size_t max_spread_nesting = 64;

class LimitWalk {
public:
    explicit LimitWalk(ValidationContext& context) : context_(context), limits_(context.limits()) {}

    bool operation(const OperationDefinition& operation) {
        const Schema& schema = context_.schema();
        const TypeId root = operation.kind == OperationKind::query      ? schema.query_type()
                            : operation.kind == OperationKind::mutation ? schema.mutation_type()
                                                                        : no_type;
        std::unordered_set<std::string_view> tool_calls;
        return visit(operation.selection_set, root, 1, &tool_calls);
    }

    bool fragment(const FragmentDefinition& fragment) {
        path_.push_back(fragment.name);
        const bool ok = visit(fragment.selection_set, composite(fragment.type_condition), 1, nullptr);
        path_.pop_back();
        return ok;
    }

private:
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
        const Schema& schema = context_.schema();
        if (++fields_ > limits_.max_selected_fields) {
            return refuse("The operation selects more than " + std::to_string(limits_.max_selected_fields) +
                              " fields, the most a request may select.",
                          selection.location, ErrorCode::too_many_fields);
        }
        if (depth > limits_.max_depth) {
            return refuse("Selections nest deeper than " + std::to_string(limits_.max_depth) +
                              " levels, the most a request may nest.",
                          selection.location, ErrorCode::query_too_deep);
        }
        const Field* definition = parent == no_type ? nullptr : schema.find_field(parent, selection.name);
        if (tool_calls && definition && definition->source == FieldSource::tool) {
            tool_calls->insert(selection.response_key());
            if (tool_calls->size() > limits_.max_tool_calls) {
                return refuse("The operation calls more than " + std::to_string(limits_.max_tool_calls) +
                                  " tools, the most a request may call.",
                              selection.location, ErrorCode::too_many_tool_calls);
            }
        }
        if (selection.selection_set.empty()) return true;
        const TypeId type =
            definition && schema.is_composite(definition->type) ? schema.named_type(definition->type) : no_type;
        return visit(selection.selection_set, type, depth + 1, nullptr);
    }

    bool spread(const Selection& selection, std::size_t depth, std::unordered_set<std::string_view>* tool_calls) {
        for (const std::string_view name : path_) {
            if (name == selection.name) return true;  // a cycle, which its own rule reports
        }
        const FragmentDefinition* fragment = context_.document().find_fragment(selection.name);
        if (!fragment) return true;
        if (path_.size() >= max_spread_nesting) {
            return refuse("Fragment spreads nest deeper than " + std::to_string(max_spread_nesting) + " levels.",
                          selection.location, ErrorCode::query_too_deep);
        }
        path_.push_back(selection.name);
        const bool ok = visit(fragment->selection_set, composite(fragment->type_condition), depth, tool_calls);
        path_.pop_back();
        return ok;
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
    std::size_t fields_ = 0;
    std::vector<std::string_view> path_;
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
    // One error is enough to refuse the request. Fragments no operation
    // spreads are walked too, since the other rules walk them.
    for (const OperationDefinition& operation : document.operations) {
        if (!LimitWalk(context).operation(operation)) return true;
    }
    for (const FragmentDefinition& fragment : document.fragments) {
        if (!LimitWalk(context).fragment(fragment)) return true;
    }
    return false;
}

}  // namespace quorvel::graphql::validation
