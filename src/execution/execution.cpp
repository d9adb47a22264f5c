#include "execution/execution.hpp"

#include "common/unicode.hpp"
#include "execution/response.hpp"
#include "parser/parser.hpp"

namespace quorvel {
namespace {

std::string_view operation_label(const ToolMetadata& tool) { return tool.read_only ? "query" : "mutation"; }

const ToolMetadata* find_tool(const std::vector<ToolMetadata>& tools, std::string_view field_name) {
    for (const ToolMetadata& tool : tools) {
        if (tool.field_name.size() == field_name.size() && tool.field_name == field_name) return &tool;
    }
    return nullptr;
}

std::optional<json::Value> built_in_value(const EngineRecord& engine, std::string_view name) {
    if (name == "servers") return server_summaries(engine.tools);
    if (name == "search") return search_hits(engine.tools);
    if (name == "__typename") return json::Value("Query");
    return std::nullopt;
}

json::Value tool_error_result(std::string_view message) {
    json::Value result = json::Value::object();
    result["isError"] = true;
    result["text"] = std::string(message);
    result["json"] = nullptr;
    return result;
}

json::Value value_of(Result<json::Value> outcome) {
    if (outcome) return std::move(outcome).value();
    return tool_error_result(outcome.message());
}

// A started job: either its value is already known (placeholder) or its
// call is waiting on the bridge.
struct StartedJob {
    std::string alias;
    std::optional<json::Value> value;
    std::optional<PendingCall> call;
};

StartedJob start_job(TokioCallBridge& bridge, ToolFieldJob&& job, TaskContext& context) {
    if (!bridge.attached()) return {std::move(job.alias), placeholder_result(job.metadata), std::nullopt};
    std::string arguments_json;
    if (Status written = json::write(job.arguments, arguments_json); !written) {
        return {std::move(job.alias), tool_error_result("CallBridge request was not serializable: " + written.message()),
                std::nullopt};
    }
    return {std::move(job.alias), std::nullopt,
            bridge.start_call(job.metadata.server_id, job.metadata.tool_name, operation_label(job.metadata),
                              std::move(arguments_json), context.parker)};
}

Result<json::Value> read_reply(Result<std::string> reply) {
    if (!reply) return std::move(reply).failure();
    Result<json::Value> value = json::read(reply.value());
    if (!value) return fail("CallBridge returned invalid JSON: " + value.message());
    return value;
}

std::optional<ToolFieldResult> finish_job(StartedJob&& started, TaskContext& context) {
    if (started.value) return ToolFieldResult{std::move(started.alias), std::move(*started.value)};
    Result<std::string> reply = started.call->wait(*context.parker, context.interrupt);
    if (!reply && reply.interrupted()) return std::nullopt;
    return ToolFieldResult{std::move(started.alias), value_of(read_reply(std::move(reply)))};
}

}  // namespace

std::optional<ToolFieldResult> resolve_tool_field(TokioCallBridge& bridge, ToolFieldJob job, TaskContext& context) {
    return finish_job(start_job(bridge, std::move(job), context), context);
}

std::optional<std::vector<ToolFieldResult>> resolve_tool_jobs(TokioCallBridge& bridge, std::vector<ToolFieldJob> jobs,
                                                              TaskContext& context) {
    std::vector<ToolFieldResult> results;
    if (jobs.size() == 1) {
        std::optional<ToolFieldResult> result = resolve_tool_field(bridge, std::move(jobs.front()), context);
        if (!result) return std::nullopt;
        results.push_back(std::move(*result));
        return results;
    }
    // Every call is issued before any reply is awaited, so all of them are
    // outstanding together and the host may answer in any order.
    std::vector<StartedJob> started;
    started.reserve(jobs.size());
    for (ToolFieldJob& job : jobs) started.push_back(start_job(bridge, std::move(job), context));
    results.reserve(started.size());
    for (StartedJob& job : started) {
        std::optional<ToolFieldResult> result = finish_job(std::move(job), context);
        if (!result) return std::nullopt;  // the calls not yet finished are withdrawn with `started`
        results.push_back(std::move(*result));
    }
    return results;
}

std::optional<std::string> execute_json_async(const EngineRecord& engine, std::string_view query,
                                              std::optional<std::string_view> variables_json, TaskContext& context) {
    std::string_view trimmed = unicode::trim(query);
    if (trimmed.empty()) return graphql_error("GraphQL query must not be blank");
    Result<json::Value> variables = parse_variables(variables_json);
    if (!variables) return graphql_error(variables.message());
    Result<std::vector<SelectedField>> fields = parse_top_level_fields(trimmed, variables.value());
    if (!fields) return graphql_error(fields.message());
    if (fields.value().empty()) return graphql_error("GraphQL query must select at least one top-level field");

    json::Value data = json::Value::object();
    std::vector<ToolFieldJob> jobs;
    for (SelectedField& field : fields.value()) {
        if (auto value = built_in_value(engine, field.name)) {
            data[field.alias] = std::move(*value);
            continue;
        }
        const ToolMetadata* tool = find_tool(engine.tools, field.name);
        if (tool == nullptr) return graphql_error("unknown GraphQL field: " + field.name);
        jobs.push_back({std::move(field.alias), *tool, std::move(field.arguments)});
    }
    std::optional<std::vector<ToolFieldResult>> results = resolve_tool_jobs(*engine.bridge, std::move(jobs), context);
    if (!results) return std::nullopt;
    for (auto& [alias, value] : *results) data[alias] = std::move(value);
    return graphql_success(std::move(data));
}

std::optional<std::string> execute_json(const EngineRecord& engine, std::string_view query,
                                        std::optional<std::string_view> variables_json, InterruptCheck* interrupt) {
    return engine.runtime->block_on(
        [&](TaskContext& context) { return execute_json_async(engine, query, variables_json, context); }, interrupt);
}

}  // namespace quorvel
