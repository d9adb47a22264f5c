// GraphQL response documents: {"data":...,"errors":[{"message":...}]},
// members in that order, written compactly.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "json/json.hpp"

namespace quorvel {

struct GraphqlError {
    std::string message;
};

struct GraphqlResponse {
    json::Value data;
    std::vector<GraphqlError> errors;
};

std::string write_response(const GraphqlResponse& response);
std::string graphql_success(json::Value data);
std::string graphql_error(std::string message);

}  // namespace quorvel
