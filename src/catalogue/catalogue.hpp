// Reading catalogue JSON into tool records, and the views that the engine
// answers from those records alone.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "json/json.hpp"

namespace quorvel {

struct ToolMetadata {
    std::string server_id;
    std::string tool_name;
    std::string description;
    std::string field_name;
    std::optional<std::string> server_description;
    bool read_only = true;
};

// Appends one record per tool found in `value`, depth first. Never fails:
// whatever it cannot use is skipped.
void collect_tool_metadata(const json::Value& value, const std::optional<std::string>& server_id,
                           const std::optional<std::string>& server_description,
                           std::vector<ToolMetadata>& out);

// The first of `keys` whose value is a non-blank string (or an object whose
// "value" member is one), trimmed.
std::optional<std::string> string_field(const json::Value& object, std::initializer_list<std::string_view> keys);

// Every character that may not stand in a GraphQL name becomes one '_'; a
// leading digit gets a '_' in front; an empty text becomes "_".
std::string sanitize_graphql_name(std::string_view text);

// Views (never fail).
json::Value server_summaries(const std::vector<ToolMetadata>& tools);
json::Value search_hits(const std::vector<ToolMetadata>& tools);
json::Value placeholder_result(const ToolMetadata& tool);
std::string describe(const std::vector<ToolMetadata>& tools);

}  // namespace quorvel
