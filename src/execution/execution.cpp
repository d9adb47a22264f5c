#include "execution/execution.hpp"

#include <algorithm>
#include <array>
#include <cstddef>

#include "common/unicode.hpp"
#include "execution/response.hpp"
#include "json/json.hpp"
#include "parser/parser.hpp"

namespace quorvel {
namespace {

std::string_view operation_label(const ToolMetadata& tool) { return tool.read_only ? "query" : "mutation"; }

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

// The whole request, run on the calling thread inside the engine's runtime,
// told to `reader`. False when interrupted.
bool execute_fields_async(const EngineRecord& engine, std::string_view query,
                          std::optional<std::string_view> variables_json, AnswerReader& reader, TaskContext& context) {
    auto refuse = [&](std::string_view message) {
        reader.refused(message);
        return true;
    };
    std::string_view trimmed = unicode::trim(query);
    if (trimmed.empty()) return refuse("GraphQL query must not be blank");
    // Small requests parse without touching the heap.
    alignas(std::max_align_t) std::array<std::byte, 4096> initial_arena;
    Arena arena(initial_arena);
    Result<Variables> variables = parse_variables(variables_json, arena);
    if (!variables) return refuse(variables.message());
    Result<std::pmr::vector<SelectedField>> fields = parse_top_level_fields(trimmed, variables.value(), arena);
    if (!fields) return refuse(fields.message());
    if (fields.value().empty()) return refuse("GraphQL query must select at least one top-level field");

    std::pmr::vector<FieldValue> values(arena.resource());
    std::pmr::vector<ToolFieldJob> jobs(arena.resource());
    values.reserve(fields.value().size());
    for (const SelectedField& field : fields.value()) {
        if (auto text = built_in_text(engine, field.name)) {
            values.push_back(FieldValue::built_in(field.alias, *text));
            continue;
        }
        const ToolMetadata* tool = engine.tools.find(field.name);
        if (tool == nullptr) return refuse("unknown GraphQL field: " + std::string(field.name));
        jobs.push_back({values.size(), tool, &field.arguments});
        values.push_back(FieldValue::tool_field(field.alias));
    }
    if (!resolve_tool_jobs(*engine.bridge, jobs, values, context)) return false;
    reader.answered(values);
    return true;
}

// The answer as the response document's text.
class DocumentWriter final : public AnswerReader {
public:
    void refused(std::string_view message) override { document = graphql_error(message); }
    void answered(std::pmr::vector<FieldValue>& values) override { document = graphql_success(values); }

    std::string document;
};

}  // namespace

bool execute_fields(const EngineRecord& engine, std::string_view query,
                    std::optional<std::string_view> variables_json, AnswerReader& reader,
                    InterruptCheck* interrupt) {
    return engine.runtime->block_on(
        [&](TaskContext& context) { return execute_fields_async(engine, query, variables_json, reader, context); },
        interrupt);
}

std::optional<std::string> execute_json(const EngineRecord& engine, std::string_view query,
                                        std::optional<std::string_view> variables_json, InterruptCheck* interrupt) {
    DocumentWriter writer;
    if (!execute_fields(engine, query, variables_json, writer, interrupt)) return std::nullopt;
    return std::move(writer.document);
}

}  // namespace quorvel
