#include "catalogue/catalogue.hpp"

#include <map>

#include "common/unicode.hpp"

namespace quorvel {
namespace {

const json::Value* member(const json::Value& object, std::string_view key) {
    auto found = object.find(key);
    return found == object.end() ? nullptr : &*found;
}

std::optional<std::string> non_blank(const json::Value* value) {
    if (value == nullptr || !value->is_string()) return std::nullopt;
    std::string_view trimmed = unicode::trim(value->get_ref<const std::string&>());
    if (trimmed.empty()) return std::nullopt;
    return std::string(trimmed);
}

// readOnly, read_only, readOnlyHint, then annotations.readOnlyHint: the
// first that is a JSON boolean decides; a tool is read-only by default.
bool read_only_flag(const json::Value& object) {
    for (std::string_view key : {"readOnly", "read_only", "readOnlyHint"}) {
        if (const json::Value* flag = member(object, key); flag && flag->is_boolean()) return flag->get<bool>();
    }
    if (const json::Value* annotations = member(object, "annotations"); annotations && annotations->is_object()) {
        if (const json::Value* hint = member(*annotations, "readOnlyHint"); hint && hint->is_boolean()) {
            return hint->get<bool>();
        }
    }
    return true;
}

}  // namespace

std::optional<std::string> string_field(const json::Value& object, std::initializer_list<std::string_view> keys) {
    for (std::string_view key : keys) {
        const json::Value* value = member(object, key);
        if (value == nullptr) continue;
        if (auto text = non_blank(value)) return text;
        if (value->is_object()) {
            if (auto text = non_blank(member(*value, "value"))) return text;
        }
    }
    return std::nullopt;
}

std::string sanitize_graphql_name(std::string_view text) {
    if (text.empty()) return "_";
    std::string name;
    name.reserve(text.size() + 1);
    for (std::size_t i = 0; i < text.size();) {
        std::size_t length = 0;
        char32_t c = unicode::decode_at(text, i, length);
        bool keep = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
        name.push_back(keep ? static_cast<char>(c) : '_');
        i += length;
    }
    if (name.front() >= '0' && name.front() <= '9') name.insert(name.begin(), '_');
    return name;
}

void collect_tool_metadata(const json::Value& value, const std::optional<std::string>& server_id,
                           const std::optional<std::string>& server_description,
                           std::vector<ToolMetadata>& out) {
    if (value.is_array()) {
        for (const json::Value& element : value) collect_tool_metadata(element, server_id, server_description, out);
        return;
    }
    if (!value.is_object()) return;

    auto own_server = string_field(value, {"server", "server_id", "serverId", "server_name"});
    const auto& server = own_server ? own_server : server_id;
    auto own_description = string_field(value, {"serverDescription", "server_description"});
    const auto& description_of_server = own_description ? own_description : server_description;

    if (const json::Value* tools = member(value, "tools"); tools && tools->is_array()) {
        for (const json::Value& tool : *tools) collect_tool_metadata(tool, server, description_of_server, out);
        return;
    }
    if (!server) return;
    auto tool_name = string_field(value, {"name", "tool", "tool_name", "toolName"});
    if (!tool_name) return;

    ToolMetadata tool;
    tool.server_id = *server;
    tool.field_name = sanitize_graphql_name(*server) + "_" + sanitize_graphql_name(*tool_name);
    tool.tool_name = std::move(*tool_name);
    tool.description = string_field(value, {"description"}).value_or("");
    tool.server_description = description_of_server;
    tool.read_only = read_only_flag(value);
    out.push_back(std::move(tool));
}

json::Value server_summaries(const std::vector<ToolMetadata>& tools) {
    struct ServerSummary {
        std::string_view server_id;
        const std::optional<std::string>* server_description = nullptr;
        std::uint64_t tool_count = 0;
        std::uint64_t read_only_count = 0;
    };
    std::map<std::string_view, ServerSummary> by_server;
    for (const ToolMetadata& tool : tools) {
        auto [entry, inserted] = by_server.try_emplace(tool.server_id);
        ServerSummary& summary = entry->second;
        if (inserted) summary.server_id = tool.server_id;
        ++summary.tool_count;
        if (tool.read_only) ++summary.read_only_count;
        if (summary.server_description == nullptr || !summary.server_description->has_value()) {
            summary.server_description = &tool.server_description;
        }
    }
    json::Value list = json::Value::array();
    for (const auto& [id, summary] : by_server) {
        json::Value object = json::Value::object();
        object["description"] = summary.server_description->value_or("");
        object["name"] = std::string(summary.server_id);
        object["readOnlyCount"] = summary.read_only_count;
        object["toolCount"] = summary.tool_count;
        list.push_back(std::move(object));
    }
    return list;
}

json::Value search_hits(const std::vector<ToolMetadata>& tools) {
    json::Value list = json::Value::array();
    for (const ToolMetadata& tool : tools) {
        json::Value hit = json::Value::object();
        hit["description"] = tool.description;
        hit["field"] = tool.field_name;
        hit["readOnly"] = tool.read_only;
        hit["server"] = tool.server_id;
        hit["tool"] = tool.tool_name;
        list.push_back(std::move(hit));
    }
    return list;
}

json::Value placeholder_result(const ToolMetadata& tool) {
    json::Value result = json::Value::object();
    result["isError"] = true;
    result["json"] = nullptr;
    result["text"] = "SchemaEngine stub resolved " + tool.server_id + "." + tool.tool_name +
                     " but CallBridge is not wired yet";
    return result;
}

std::string describe(const std::vector<ToolMetadata>& tools) {
    return "quorvel GraphQL schema engine stub (" + std::to_string(tools.size()) + " tool fields)";
}

}  // namespace quorvel
