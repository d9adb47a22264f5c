// The engine record: the catalogue's tools, and the runtime and call bridge
// that the engine owns. Immutable once built, apart from the built-in views,
// which are written once on first use; all other mutable state lives inside
// the bridge.
#pragma once

#include <memory>
#include <optional>
#include <string_view>

#include "bridge/bridge.hpp"
#include "bridge/runtime.hpp"
#include "catalogue/catalogue.hpp"
#include "common/result.hpp"

namespace quorvel {

struct EngineRecord {
    ToolCatalogue tools;
    std::shared_ptr<Runtime> runtime;
    std::shared_ptr<TokioCallBridge> bridge;
    std::unique_ptr<CatalogueViews> views = std::make_unique<CatalogueViews>();
};

// No text or a blank one gives an engine without tools. A failure is
// "invalid catalogue JSON: ..." for text that is not JSON, or an internal
// failure when the runtime cannot start.
Result<EngineRecord> from_catalogue_json(std::optional<std::string_view> text);

}  // namespace quorvel
