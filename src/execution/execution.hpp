// Running one GraphQL request against an engine.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "bridge/runtime.hpp"
#include "catalogue/engine.hpp"

namespace quorvel {

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
