#include "catalogue/engine.hpp"

#include "common/unicode.hpp"

namespace quorvel {
namespace {

Result<EngineRecord> engine_with(std::vector<ToolMetadata> tools) {
    Result<std::shared_ptr<Runtime>> runtime = Runtime::build();
    if (!runtime) return std::move(runtime).failure();
    return EngineRecord{std::move(tools), std::move(runtime).value(), std::make_shared<TokioCallBridge>()};
}

}  // namespace

Result<EngineRecord> default_engine() { return engine_with({}); }

Result<std::vector<ToolMetadata>> read_catalogue(std::string_view text) {
    Result<json::Value> catalogue = json::read(text);
    if (!catalogue) return fail("invalid catalogue JSON: " + catalogue.message());
    std::vector<ToolMetadata> tools;
    collect_tool_metadata(catalogue.value(), std::nullopt, std::nullopt, tools);
    return tools;
}

Result<EngineRecord> from_catalogue_json(std::optional<std::string_view> text) {
    if (!text || unicode::trim(*text).empty()) return default_engine();
    Result<std::vector<ToolMetadata>> tools = read_catalogue(*text);
    if (!tools) return std::move(tools).failure();
    // The runtime starts only once the catalogue has been read.
    return engine_with(std::move(tools).value());
}

}  // namespace quorvel
