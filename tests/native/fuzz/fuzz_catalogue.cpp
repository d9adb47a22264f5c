// The catalogue reader: tool records that satisfy the record rules, or the
// "invalid catalogue JSON: " failure with a position. The field index finds
// the first tool of each field name, and the views are JSON that
// round-trips.
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <unordered_map>

#include "catalogue/catalogue.hpp"
#include "checks.hpp"
#include "common/unicode.hpp"
#include "execution/response.hpp"

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

bool is_trimmed_text(std::string_view text) { return !text.empty() && unicode::trim(text) == text; }

void check_record(const ToolMetadata& tool) {
    fuzz::require(is_trimmed_text(tool.server_id) && is_trimmed_text(tool.tool_name),
                  "identifiers are trimmed and not empty", tool.server_id);
    fuzz::require(tool.description.empty() || is_trimmed_text(tool.description), "description is trimmed",
                  tool.description);
    fuzz::require(is_graphql_name(tool.field_name), "field name is a GraphQL name", tool.field_name);
    fuzz::require(tool.field_name ==
                      fuzz::graphql_name(tool.server_id) + "_" + fuzz::graphql_name(tool.tool_name),
                  "field name joins the server and tool names", tool.field_name);
    fuzz::require(!tool.server_description || is_trimmed_text(*tool.server_description),
                  "server description is trimmed and not blank");
}

void check_index(const ToolCatalogue& catalogue) {
    std::unordered_map<std::string_view, const ToolMetadata*> first;
    for (const ToolMetadata& tool : catalogue.tools()) first.try_emplace(tool.field_name, &tool);
    for (const auto& [name, tool] : first) {
        fuzz::require(catalogue.find(name) == tool, "the index finds the first tool of a field name", name);
        std::string other = std::string(name) + "_x";
        fuzz::require((catalogue.find(other) != nullptr) == first.contains(other), "the index finds only fields",
                      other);
    }
}

void check_view(const std::string& text) {
    Result<json::Document> view = json::read(text);
    fuzz::require(view.ok(), "a view is JSON", text);
    fuzz::require(fuzz::require_round_trip(view.value().root()) == text, "a view is written in canonical form",
                  text);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    Result<ToolCatalogue> catalogue = read_catalogue(text);
    if (!catalogue) {
        fuzz::require(catalogue.message().starts_with("invalid catalogue JSON: ") &&
                          fuzz::has_position(catalogue.message()),
                      "catalogue failure form", catalogue.message());
        return 0;
    }
    for (const ToolMetadata& tool : catalogue.value().tools()) check_record(tool);
    check_index(catalogue.value());
    check_view(server_summaries(catalogue.value().tools()));
    check_view(search_hits(catalogue.value().tools()));
    for (const ToolMetadata& tool : catalogue.value().tools()) {
        std::string placeholder;
        placeholder_result(tool, placeholder);
        check_view(placeholder);
    }
    return 0;
}
