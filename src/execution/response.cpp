#include "execution/response.hpp"

#include "bridge/bridge.hpp"
#include "common/sorting.hpp"

namespace quorvel {

void write_field_value(const FieldValue& value, std::string& out) {
    if (value.placeholder != nullptr) {
        placeholder_result(*value.placeholder, out);
    } else if (value.error) {
        write_tool_error_result({*value.error}, out);
    } else if (value.reply.root()) {
        json::write(value.reply.root(), out);
    } else {
        out += value.text;
    }
}

void placeholder_result(const ToolMetadata& tool, std::string& out) {
    write_tool_error_result(
        {"SchemaEngine stub resolved ", tool.server_id, ".", tool.tool_name, " but CallBridge is not wired yet"}, out);
}

// Of repeated keys the last value wins, where tool fields count as set after
// every built-in whatever their place in the query.
std::string graphql_success(const std::pmr::vector<FieldValue>& values) {
    std::pmr::vector<std::size_t> order(values.size(), values.get_allocator());
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
    sort_stably(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        if (values[a].alias != values[b].alias) return values[a].alias < values[b].alias;
        return values[a].is_tool < values[b].is_tool;
    });
    std::size_t estimate = 32;
    for (const FieldValue& value : values) estimate += value.alias.size() + value.text.size() + value.size_hint + 8;
    std::string text;
    text.reserve(estimate);
    text += "{\"data\":{";
    bool first = true;
    for (std::size_t i = 0; i < order.size(); ++i) {
        const FieldValue& value = values[order[i]];
        if (i + 1 < order.size() && values[order[i + 1]].alias == value.alias) continue;
        if (!first) text.push_back(',');
        first = false;
        json::write_string(value.alias, text);
        text.push_back(':');
        write_field_value(value, text);
    }
    text += "},\"errors\":[]}";
    return text;
}

std::string graphql_error(std::string_view message) {
    std::string text = "{\"data\":null,\"errors\":[{\"message\":";
    json::write_string(message, text);
    text += "}]}";
    return text;
}

}  // namespace quorvel
