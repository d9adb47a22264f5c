// The engine record: the catalogue's tools, and the runtime and call bridge
// that the engine owns. Immutable once built, apart from the built-in views,
// which are written once on first use; all other mutable state lives inside
// the bridge.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "bridge/bridge.hpp"
#include "bridge/runtime.hpp"
#include "catalogue/catalogue.hpp"
#include "common/result.hpp"

namespace quorvel {

// The text of the `servers` and `search` views, written on first use and
// then shared by every request (and every alias within one).
class CatalogueViews {
public:
    const std::string& servers(const ToolCatalogue& catalogue);
    const std::string& search(const ToolCatalogue& catalogue);

private:
    std::once_flag servers_once_;
    std::once_flag search_once_;
    std::string servers_;
    std::string search_;
};

struct EngineRecord {
    ToolCatalogue tools;
    std::shared_ptr<Runtime> runtime;
    std::shared_ptr<TokioCallBridge> bridge;
    std::unique_ptr<CatalogueViews> views = std::make_unique<CatalogueViews>();
};

// The tools of a catalogue text, or "invalid catalogue JSON: ..." when it is
// not JSON. Starts nothing.
Result<ToolCatalogue> read_catalogue(std::string_view text);

// No tools, a new runtime, a new bridge.
Result<EngineRecord> default_engine();

// A failure is "invalid catalogue JSON: ..." for text that is not JSON, or
// an internal failure when the runtime cannot start.
Result<EngineRecord> from_catalogue_json(std::optional<std::string_view> text);

}  // namespace quorvel
