// GraphQL response documents: {"data":...,"errors":[{"message":...}]},
// members in that order, written compactly.
#pragma once

#include <string>
#include <string_view>

namespace quorvel {

// {"data":null,"errors":[{"message":message}]}
std::string graphql_error(std::string_view message);

}  // namespace quorvel
