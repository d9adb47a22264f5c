#include "execution/execution.hpp"

#include <algorithm>
#include <array>
#include <cstddef>

#include "common/sorting.hpp"
#include "common/unicode.hpp"
#include "execution/response.hpp"
#include "json/json.hpp"
#include "parser/parser.hpp"

namespace quorvel {
namespace {

std::string_view operation_label(const ToolMetadata& tool) { return tool.read_only ? "query" : "mutation"; }

// What one response key holds: text already written (a built-in view), a
// tool's placeholder, its reply, or its tool error result.
struct FieldValue {
    std::string_view alias;
    std::string_view text;
    const ToolMetadata* placeholder = nullptr;
    json::Document reply;
    std::optional<std::string> error;
    bool is_tool = false;
    std::size_t size_hint = 0;  // bytes the value is expected to take

    static FieldValue built_in(std::string_view alias, std::string_view text) {
        FieldValue value;
        value.alias = alias;
        value.text = text;
        return value;
    }
    static FieldValue tool_field(std::string_view alias) {
        FieldValue value;
        value.alias = alias;
        value.is_tool = true;
        return value;
    }
};

std::optional<std::string_view> built_in_text(const EngineRecord& engine, std::string_view name) {
    if (name == "servers") return engine.views->servers(engine.tools);
    if (name == "search") return engine.views->search(engine.tools);
    if (name == "__typename") return "\"Query\"";
    return std::nullopt;
}

struct ToolFieldJob {
    std::size_t value;  // position of its FieldValue
    const ToolMetadata* tool;
    const ArgumentValue* arguments;
};

// The reply of a call as the field's value: read once here, written once
// into the response.
void take_reply(Result<std::string> reply, FieldValue& value) {
    if (!reply) {
        value.error = reply.message();
        return;
    }
    value.size_hint = reply.value().size();
    Result<json::Document> document = json::read(reply.value());
    if (!document) {
        value.error = "CallBridge returned invalid JSON: " + document.message();
        return;
    }
    value.reply = std::move(document).value();
}

// Every call is issued before any reply is awaited, so all of them are
// outstanding together and the host may answer in any order. False when the
// context's interrupt hook stopped a wait: the calls still outstanding are
// withdrawn as `calls` goes.
bool resolve_tool_jobs(TokioCallBridge& bridge, const std::pmr::vector<ToolFieldJob>& jobs,
                       std::pmr::vector<FieldValue>& values, TaskContext& context) {
    std::pmr::vector<std::optional<PendingCall>> calls(jobs.get_allocator());
    calls.reserve(jobs.size());
    std::string arguments;
    for (const ToolFieldJob& job : jobs) {
        if (!bridge.attached()) {
            values[job.value].placeholder = job.tool;
            values[job.value].size_hint = 128;
            calls.emplace_back();
            continue;
        }
        arguments.clear();
        write_argument_value(*job.arguments, arguments);
        calls.emplace_back(bridge.start_call(job.tool->server_id, job.tool->tool_name, operation_label(*job.tool),
                                             arguments, context.parker));
    }
    for (std::size_t i = 0; i < jobs.size(); ++i) {
        if (!calls[i]) continue;
        Result<std::string> reply = calls[i]->wait(*context.parker, context.interrupt);
        if (!reply && reply.interrupted()) return false;
        take_reply(std::move(reply), values[jobs[i].value]);
    }
    return true;
}

void write_field_value(const FieldValue& value, std::string& out) {
    if (value.placeholder != nullptr) {
        placeholder_result(*value.placeholder, out);
    } else if (value.error) {
        out += tool_error_result(*value.error);
    } else if (value.reply.root()) {
        json::write(value.reply.root(), out);
    } else {
        out += value.text;
    }
}

// The data object's members sorted by response key. Of repeated keys the
// last value wins, where tool fields count as set after every built-in
// whatever their place in the query.
std::string graphql_success(const std::pmr::vector<FieldValue>& values) {
    std::pmr::vector<std::size_t> order(values.size(), values.get_allocator());
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
    sort_stably(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        if (values[a].alias != values[b].alias) return values[a].alias < values[b].alias;
        return values[a].is_tool < values[b].is_tool;
    });
    std::size_t estimate = 32;
    for (const FieldValue& value : values) estimate += value.alias.size() + value.text.size() + value.size_hint + 8;
    std::string text;
    text.reserve(estimate);
    text += "{\"data\":{";
    bool first = true;
    for (std::size_t i = 0; i < order.size(); ++i) {
        const FieldValue& value = values[order[i]];
        if (i + 1 < order.size() && values[order[i + 1]].alias == value.alias) continue;
        if (!first) text.push_back(',');
        first = false;
        json::write_string(value.alias, text);
        text.push_back(':');
        write_field_value(value, text);
    }
    text += "},\"errors\":[]}";
    return text;
}

}  // namespace

std::optional<std::string> execute_json_async(const EngineRecord& engine, std::string_view query,
                                              std::optional<std::string_view> variables_json, TaskContext& context) {
    std::string_view trimmed = unicode::trim(query);
    if (trimmed.empty()) return graphql_error("GraphQL query must not be blank");
    // Small requests parse without touching the heap.
    alignas(std::max_align_t) std::array<std::byte, 4096> initial_arena;
    Arena arena(initial_arena);
    Result<Variables> variables = parse_variables(variables_json, arena);
    if (!variables) return graphql_error(variables.message());
    Result<std::pmr::vector<SelectedField>> fields = parse_top_level_fields(trimmed, variables.value(), arena);
    if (!fields) return graphql_error(fields.message());
    if (fields.value().empty()) return graphql_error("GraphQL query must select at least one top-level field");

    std::pmr::vector<FieldValue> values(arena.resource());
    std::pmr::vector<ToolFieldJob> jobs(arena.resource());
    values.reserve(fields.value().size());
    for (const SelectedField& field : fields.value()) {
        if (auto text = built_in_text(engine, field.name)) {
            values.push_back(FieldValue::built_in(field.alias, *text));
            continue;
        }
        const ToolMetadata* tool = engine.tools.find(field.name);
        if (tool == nullptr) return graphql_error("unknown GraphQL field: " + std::string(field.name));
        jobs.push_back({values.size(), tool, &field.arguments});
        values.push_back(FieldValue::tool_field(field.alias));
    }
    if (!resolve_tool_jobs(*engine.bridge, jobs, values, context)) return std::nullopt;
    return graphql_success(values);
}

std::optional<std::string> execute_json(const EngineRecord& engine, std::string_view query,
                                        std::optional<std::string_view> variables_json, InterruptCheck* interrupt) {
    return engine.runtime->block_on(
        [&](TaskContext& context) { return execute_json_async(engine, query, variables_json, context); }, interrupt);
}

}  // namespace quorvel
