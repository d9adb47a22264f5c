// Validation of an executable document against the typed schema: the
// rules of the GraphQL specification that apply to a schema without
// interfaces, unions or subscriptions, and the request limits. A document
// with any error must not run.
#pragma once

#include <vector>

#include "graphql/language/ast.hpp"
#include "graphql/type/schema.hpp"
#include "graphql/validation/limits.hpp"

namespace quorvel::graphql {

// Every error found, in document order within each rule, worded as
// graphql-js words them, each with at least one location. Empty when the
// document is valid.
std::vector<GraphqlError> validate(const Schema& schema, const Document& document, const RequestLimits& limits = {});

// The `__schema` and `__type` fields of a valid document, as errors: for a
// request to a server with introspection turned off. Apart from validate()
// because a document cached as valid is valid for every request, while this
// depends on the request.
std::vector<GraphqlError> validate_no_introspection(const Schema& schema, const Document& document);

}  // namespace quorvel::graphql
