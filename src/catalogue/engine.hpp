// The engine record: the catalogue's tool records, and the runtime and call
// bridge that the engine owns. Immutable once built; all mutable state lives
// inside the bridge.
#pragma once

#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "bridge/bridge.hpp"
#include "bridge/runtime.hpp"
#include "catalogue/catalogue.hpp"
#include "common/result.hpp"

namespace quorvel {

struct EngineRecord {
    std::vector<ToolMetadata> tools;
    std::shared_ptr<Runtime> runtime;
    std::shared_ptr<TokioCallBridge> bridge;
};

// The tool records of a catalogue text, or "invalid catalogue JSON: ..."
// when it is not JSON. Starts nothing.
Result<std::vector<ToolMetadata>> read_catalogue(std::string_view text);

// No tools, a new runtime, a new bridge.
Result<EngineRecord> default_engine();

// A failure is "invalid catalogue JSON: ..." for text that is not JSON, or
// an internal failure when the runtime cannot start.
Result<EngineRecord> from_catalogue_json(std::optional<std::string_view> text);

}  // namespace quorvel
