// GraphQL response documents: {"data":...,"errors":[{"message":...}]},
// members in that order, written compactly, and the values their top-level
// fields hold.
#pragma once

#include <cstddef>
#include <memory_resource>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "catalogue/catalogue.hpp"
#include "json/json.hpp"

namespace quorvel {

// What one response key holds: text already written (a built-in view), a
// tool's placeholder, its reply, or its tool error result.
struct FieldValue {
    std::string_view alias;
    std::string_view text;
    const ToolMetadata* placeholder = nullptr;
    json::Document reply;
    std::optional<std::string> error;
    bool is_tool = false;
    std::size_t size_hint = 0;  // bytes the value is expected to take

    static FieldValue built_in(std::string_view alias, std::string_view text) {
        FieldValue value;
        value.alias = alias;
        value.text = text;
        return value;
    }
    static FieldValue tool_field(std::string_view alias) {
        FieldValue value;
        value.alias = alias;
        value.is_tool = true;
        return value;
    }
};

// The text a response document gives one field's value.
void write_field_value(const FieldValue& value, std::string& out);

// The value of a tool field while no bridge is attached: the tool error
// result naming the tool.
void placeholder_result(const ToolMetadata& tool, std::string& out);

// {"data":{...},"errors":[]}: one member per response key, sorted by key.
std::string graphql_success(const std::pmr::vector<FieldValue>& values);

// {"data":null,"errors":[{"message":message}]}
std::string graphql_error(std::string_view message);

}  // namespace quorvel
