// Input values on their way to a tool: request variables coerced to their
// declared types, and argument literals written as the JSON a tool
// receives (input object fields under their JSON Schema names, enum values
// as the tool's strings, defaults filled in).
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "graphql/language/ast.hpp"
#include "graphql/type/schema.hpp"
#include "json/json.hpp"

namespace quorvel::graphql {

// Coerced variables by name, each as JSON text. A variable that was neither
// given nor defaulted is absent, which is not the same as null.
using VariableValues = std::unordered_map<std::string_view, std::string>;

// The operation's variables from the request's variables JSON (absent or
// null: none given). Errors are worded as graphql-js words them.
std::vector<GraphqlError> coerce_variable_values(const Schema& schema, const OperationDefinition& operation,
                                                 std::optional<std::string_view> variables_json,
                                                 VariableValues& values);

// Writes a validated literal as the JSON value of `type`.
void write_literal(const Schema& schema, const Value& value, TypeId type, const VariableValues& variables,
                   std::string& out);

// A field's arguments as the request's variables fill them: the error
// (BAD_USER_INPUT, at the variable) when one is null or absent where its
// type needs a value, which resolving the field must not go past.
std::optional<GraphqlError> argument_error(const Schema& schema, const Field& field, const Selection& node,
                                           const VariableValues& variables);

// Whether an argument's literal counts as given: a variable that is absent
// does not, so the argument's default (if any) applies instead.
bool literal_given(const Value& value, const VariableValues& variables);

// @skip and @include on a selection, with their `if` read from literals or
// variables.
bool should_include(const NodeList<DirectiveNode>& directives, const VariableValues& variables);

}  // namespace quorvel::graphql
