// The validation rules, one per file, in the order graphql-js runs them.
#pragma once

#include <memory>

#include "graphql/validation/context.hpp"

namespace quorvel::graphql::validation {

std::unique_ptr<Rule> executable_definitions(ValidationContext&);
std::unique_ptr<Rule> unique_operation_names(ValidationContext&);
std::unique_ptr<Rule> lone_anonymous_operation(ValidationContext&);
std::unique_ptr<Rule> known_operation_types(ValidationContext&);
std::unique_ptr<Rule> known_type_names(ValidationContext&);
std::unique_ptr<Rule> fragments_on_composite_types(ValidationContext&);
std::unique_ptr<Rule> variables_are_input_types(ValidationContext&);
std::unique_ptr<Rule> scalar_leafs(ValidationContext&);
std::unique_ptr<Rule> fields_on_correct_type(ValidationContext&);
std::unique_ptr<Rule> unique_fragment_names(ValidationContext&);
std::unique_ptr<Rule> known_fragment_names(ValidationContext&);
std::unique_ptr<Rule> no_unused_fragments(ValidationContext&);
std::unique_ptr<Rule> possible_fragment_spreads(ValidationContext&);
std::unique_ptr<Rule> no_fragment_cycles(ValidationContext&);
std::unique_ptr<Rule> unique_variable_names(ValidationContext&);
std::unique_ptr<Rule> no_undefined_variables(ValidationContext&);
std::unique_ptr<Rule> no_unused_variables(ValidationContext&);
std::unique_ptr<Rule> known_directives(ValidationContext&);
std::unique_ptr<Rule> unique_directives_per_location(ValidationContext&);
std::unique_ptr<Rule> known_argument_names(ValidationContext&);
std::unique_ptr<Rule> unique_argument_names(ValidationContext&);
std::unique_ptr<Rule> values_of_correct_type(ValidationContext&);
std::unique_ptr<Rule> provided_required_arguments(ValidationContext&);
std::unique_ptr<Rule> variables_in_allowed_position(ValidationContext&);
std::unique_ptr<Rule> overlapping_fields_can_be_merged(ValidationContext&);
std::unique_ptr<Rule> unique_input_field_names(ValidationContext&);

// The request limits, checked before every other rule: a document beyond
// them is refused with these errors alone, so no other rule expands its
// fragments. Returns whether any limit was exceeded.
bool check_request_limits(ValidationContext&);

}  // namespace quorvel::graphql::validation
