// Running one GraphQL request against an engine.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "bridge/bridge.hpp"
#include "bridge/runtime.hpp"
#include "catalogue/catalogue.hpp"
#include "catalogue/engine.hpp"
#include "json/json.hpp"

namespace quorvel {

struct ToolFieldJob {
    std::string alias;
    ToolMetadata metadata;
    json::Value arguments;
};

using ToolFieldResult = std::pair<std::string, json::Value>;

// One (response key, value) pair per job, in job order, whatever order the
// replies arrive in. Every failure is a tool error result; nothing when the
// context's interrupt hook stopped a wait (the outstanding calls are then
// withdrawn).
std::optional<std::vector<ToolFieldResult>> resolve_tool_jobs(TokioCallBridge& bridge, std::vector<ToolFieldJob> jobs,
                                                              TaskContext& context);
std::optional<ToolFieldResult> resolve_tool_field(TokioCallBridge& bridge, ToolFieldJob job, TaskContext& context);

// The whole request, run on the calling thread inside the engine's runtime;
// yields the response document text. Every failure is inside the document;
// nothing when interrupted.
std::optional<std::string> execute_json_async(const EngineRecord& engine, std::string_view query,
                                              std::optional<std::string_view> variables_json, TaskContext& context);

// Blocks the calling thread on the engine's runtime until the document is
// ready, or until `interrupt` (when given) asks to stop.
std::optional<std::string> execute_json(const EngineRecord& engine, std::string_view query,
                                        std::optional<std::string_view> variables_json,
                                        InterruptCheck* interrupt = nullptr);

}  // namespace quorvel
