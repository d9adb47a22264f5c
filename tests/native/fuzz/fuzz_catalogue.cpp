// The catalogue reader: tool records that satisfy the record rules, or the
// "invalid catalogue JSON: " failure with a position.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "catalogue/engine.hpp"
#include "checks.hpp"

using namespace quorvel;

namespace {

bool is_graphql_name(std::string_view name) {
    if (name.empty() || (name[0] >= '0' && name[0] <= '9')) return false;
    for (char c : name) {
        bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
        if (!ok) return false;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    Result<std::vector<ToolMetadata>> tools = read_catalogue(text);
    if (!tools) {
        fuzz::require(tools.message().starts_with("invalid catalogue JSON: ") && fuzz::has_position(tools.message()),
                      "catalogue failure form", tools.message());
        return 0;
    }
    for (const ToolMetadata& tool : tools.value()) {
        fuzz::require(!tool.server_id.empty() && !tool.tool_name.empty(), "identifiers are not empty");
        fuzz::require(is_graphql_name(tool.field_name) && tool.field_name.find('_') != std::string::npos,
                      "field name is a GraphQL name", tool.field_name);
        fuzz::require(!tool.server_description || !tool.server_description->empty(), "description is not blank");
    }
    // The views never fail and always write.
    std::string text_out;
    fuzz::require(static_cast<bool>(json::write(server_summaries(tools.value()), text_out)), "servers write");
    fuzz::require(static_cast<bool>(json::write(search_hits(tools.value()), text_out)), "hits write");
    return 0;
}
