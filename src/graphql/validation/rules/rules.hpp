// The validation rules, one per file, in the order graphql-js runs them.
#pragma once

#include <array>
#include <cstddef>
#include <memory_resource>

#include "graphql/validation/context.hpp"

namespace quorvel::graphql::validation {

// Where one validation's rules live: a block on the stack holds them all,
// so a request does not pay an allocation and a free for every rule.
class RuleArena {
public:
    static constexpr std::size_t capacity = 32;

    RuleArena() = default;
    RuleArena(const RuleArena&) = delete;
    RuleArena& operator=(const RuleArena&) = delete;
    ~RuleArena() {
        for (std::size_t i = count_; i > 0; --i) rules_[i - 1]->~Rule();
    }

    template <class R>
    Rule* make(ValidationContext& context) {
        Rule* rule = std::pmr::polymorphic_allocator<>(&memory_).new_object<R>(context);
        rules_[count_++] = rule;
        return rule;
    }
    std::size_t size() const { return count_; }
    Rule& operator[](std::size_t i) const { return *rules_[i]; }

private:
    alignas(std::max_align_t) std::byte block_[4096];
    std::pmr::monotonic_buffer_resource memory_{block_, sizeof block_};
    std::array<Rule*, capacity> rules_{};
    std::size_t count_ = 0;
};

Rule* executable_definitions(ValidationContext&, RuleArena&);
Rule* unique_operation_names(ValidationContext&, RuleArena&);
Rule* lone_anonymous_operation(ValidationContext&, RuleArena&);
Rule* known_operation_types(ValidationContext&, RuleArena&);
Rule* known_type_names(ValidationContext&, RuleArena&);
Rule* fragments_on_composite_types(ValidationContext&, RuleArena&);
Rule* variables_are_input_types(ValidationContext&, RuleArena&);
Rule* scalar_leafs(ValidationContext&, RuleArena&);
Rule* fields_on_correct_type(ValidationContext&, RuleArena&);
Rule* unique_fragment_names(ValidationContext&, RuleArena&);
Rule* known_fragment_names(ValidationContext&, RuleArena&);
Rule* no_unused_fragments(ValidationContext&, RuleArena&);
Rule* possible_fragment_spreads(ValidationContext&, RuleArena&);
Rule* no_fragment_cycles(ValidationContext&, RuleArena&);
Rule* unique_variable_names(ValidationContext&, RuleArena&);
Rule* no_undefined_variables(ValidationContext&, RuleArena&);
Rule* no_unused_variables(ValidationContext&, RuleArena&);
Rule* known_directives(ValidationContext&, RuleArena&);
Rule* unique_directives_per_location(ValidationContext&, RuleArena&);
Rule* known_argument_names(ValidationContext&, RuleArena&);
Rule* unique_argument_names(ValidationContext&, RuleArena&);
Rule* values_of_correct_type(ValidationContext&, RuleArena&);
Rule* provided_required_arguments(ValidationContext&, RuleArena&);
Rule* variables_in_allowed_position(ValidationContext&, RuleArena&);
Rule* overlapping_fields_can_be_merged(ValidationContext&, RuleArena&);
Rule* unique_input_field_names(ValidationContext&, RuleArena&);

// Run only when asked for (see validate_no_introspection).
Rule* no_schema_introspection(ValidationContext&, RuleArena&);

// The request limits, checked before every other rule: a document beyond
// them is refused with these errors alone, so no other rule expands its
// fragments. Returns whether any limit was exceeded.
bool check_request_limits(ValidationContext&);

}  // namespace quorvel::graphql::validation
