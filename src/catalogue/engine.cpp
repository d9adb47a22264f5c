#include "catalogue/engine.hpp"

#include "common/unicode.hpp"

namespace quorvel {
namespace {

Result<EngineRecord> engine_with(ToolCatalogue tools) {
    Result<std::shared_ptr<Runtime>> runtime = Runtime::build();
    if (!runtime) return std::move(runtime).failure();
    EngineRecord record;
    record.tools = std::move(tools);
    record.runtime = std::move(runtime).value();
    record.bridge = std::make_shared<TokioCallBridge>();
    return record;
}

}  // namespace

const std::string& CatalogueViews::servers(const ToolCatalogue& catalogue) {
    std::call_once(servers_once_, [&] { servers_ = server_summaries(catalogue.tools()); });
    return servers_;
}

const std::string& CatalogueViews::search(const ToolCatalogue& catalogue) {
    std::call_once(search_once_, [&] { search_ = search_hits(catalogue.tools()); });
    return search_;
}

Result<EngineRecord> default_engine() { return engine_with({}); }

Result<ToolCatalogue> read_catalogue(std::string_view text) {
    Result<json::Document> catalogue = json::read(text);
    if (!catalogue) return fail("invalid catalogue JSON: " + catalogue.message());
    return ToolCatalogue::from_json(catalogue.value().root());
}

Result<EngineRecord> from_catalogue_json(std::optional<std::string_view> text) {
    if (!text || unicode::trim(*text).empty()) return default_engine();
    Result<ToolCatalogue> tools = read_catalogue(*text);
    if (!tools) return std::move(tools).failure();
    // The runtime starts only once the catalogue has been read.
    return engine_with(std::move(tools).value());
}

}  // namespace quorvel
