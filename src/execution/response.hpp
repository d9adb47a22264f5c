// GraphQL response documents: {"data":...,"errors":[{"message":...}]},
// members in that order, written compactly.
#pragma once

#include <string>
#include <string_view>

namespace quorvel {

// {"data":null,"errors":[{"message":message}]}
std::string graphql_error(std::string_view message);

// {"isError":true,"json":null,"text":message}: the value of a tool field
// whose call failed.
void write_tool_error_result(std::string_view message, std::string& out);
std::string tool_error_result_text(std::string_view message);

}  // namespace quorvel
