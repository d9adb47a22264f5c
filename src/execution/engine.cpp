#include "execution/engine.hpp"

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

Result<EngineRecord> from_catalogue_json(std::optional<std::string_view> text) {
    if (!text || unicode::trim(*text).empty()) return engine_with({});
    Result<ToolCatalogue> tools = read_catalogue(*text);
    if (!tools) return std::move(tools).failure();
    // The runtime starts only once the catalogue has been read.
    return engine_with(std::move(tools).value());
}

}  // namespace quorvel
