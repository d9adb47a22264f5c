// The longer descriptions of the introspection meta-types, in graphql-js
// 16's words, apart from the builder that gives them to the schema.
#pragma once

#include <string_view>

#include "graphql/type/schema.hpp"

namespace quorvel::graphql {

inline constexpr std::string_view meta_type_description =
    "The fundamental unit of any GraphQL Schema is the type. There are many kinds of types in GraphQL as "
    "represented by the `__TypeKind` enum.\n\nDepending on the kind of a type, certain fields describe information "
    "about that type. Scalar types provide no information beyond a name, description and optional "
    "`specifiedByURL`, while Enum types provide their values. Object and Interface types provide the fields they "
    "describe. Abstract types, Union and Interface, provide the Object types possible at runtime. List and NonNull "
    "types compose other types.";

inline constexpr std::string_view meta_directive_description =
    "A Directive provides a way to describe alternate runtime execution and type validation behavior in a GraphQL "
    "document.\n\nIn some cases, you need to provide options to alter GraphQL's execution behavior in ways field "
    "arguments will not suffice, such as conditionally including or skipping a field. Directives provide this by "
    "describing additional information to the executor.";

// __TypeKind's values in TypeKind's order: name, description.
inline constexpr std::string_view type_kind_values[][2] = {
    {"SCALAR", "Indicates this type is a scalar."},
    {"OBJECT", "Indicates this type is an object. `fields` and `interfaces` are valid fields."},
    {"INTERFACE", "Indicates this type is an interface. `fields`, `interfaces`, and `possibleTypes` are valid fields."},
    {"UNION", "Indicates this type is a union. `possibleTypes` is a valid field."},
    {"ENUM", "Indicates this type is an enum. `enumValues` is a valid field."},
    {"INPUT_OBJECT", "Indicates this type is an input object. `inputFields` is a valid field."},
    {"LIST", "Indicates this type is a list. `ofType` is a valid field."},
    {"NON_NULL", "Indicates this type is a non-null. `ofType` is a valid field."},
};

// __DirectiveLocation's values by bit position (DirectiveLocation).
inline constexpr std::string_view directive_location_descriptions[] = {
    "Location adjacent to a query operation.",
    "Location adjacent to a mutation operation.",
    "Location adjacent to a subscription operation.",
    "Location adjacent to a field.",
    "Location adjacent to a fragment definition.",
    "Location adjacent to a fragment spread.",
    "Location adjacent to an inline fragment.",
    "Location adjacent to a variable definition.",
    "Location adjacent to a schema definition.",
    "Location adjacent to a scalar definition.",
    "Location adjacent to an object type definition.",
    "Location adjacent to a field definition.",
    "Location adjacent to an argument definition.",
    "Location adjacent to an interface definition.",
    "Location adjacent to a union definition.",
    "Location adjacent to an enum definition.",
    "Location adjacent to an enum value definition.",
    "Location adjacent to an input object type definition.",
    "Location adjacent to an input object field definition.",
};
static_assert(std::size(directive_location_descriptions) == directive_location_count);

}  // namespace quorvel::graphql
