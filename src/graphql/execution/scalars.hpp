// Leaf values of a tool's answer as the response writes them. Tools often
// answer numbers as strings and flags as numbers, so each built-in scalar
// serializes as graphql-js 16 serializes it: Int and Float read numeric
// strings as JavaScript's Number() reads them and take booleans as 1 and 0,
// String writes numbers and booleans as JavaScript prints them, Boolean
// takes any finite number, ID integers. Enum values go out by their GraphQL
// names and JSON as it stands.
#pragma once

#include <string>

#include "common/result.hpp"
#include "graphql/type/schema.hpp"
#include "json/json.hpp"

namespace quorvel::graphql {

// Writes `value` (never null: the caller completes null itself) as the leaf
// type `type`; on failure writes nothing and answers graphql-js's message
// ("Int cannot represent non-integer value: \"1.5\"").
Status serialize_leaf(const Schema& schema, TypeId type, json::Ref value, std::string& out);

// A JSON value as graphql-js's inspect() shows it in messages: strings
// quoted, numbers as JavaScript prints them, `{ a: 1 }`, `[1, 2]`, nesting
// beyond two levels as [Object] and [Array], lists cut after ten items.
std::string inspect(json::Ref value);

}  // namespace quorvel::graphql
