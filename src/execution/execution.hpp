// Running one GraphQL request against an engine.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "bridge/runtime.hpp"
#include "execution/engine.hpp"

namespace quorvel {

// Blocks the calling thread on the engine's runtime until the document is
// ready, or until `interrupt` (when given) asks to stop.
std::optional<std::string> execute_json(const EngineRecord& engine, std::string_view query,
                                        std::optional<std::string_view> variables_json,
                                        InterruptCheck* interrupt = nullptr);

}  // namespace quorvel
