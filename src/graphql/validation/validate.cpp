// One walk of the document that works out, at every node, the types the
// schema gives it (graphql-js's TypeInfo), and calls every rule there.
#include "graphql/validation/validate.hpp"

#include <algorithm>
#include <vector>

#include "graphql/validation/context.hpp"
#include "graphql/validation/rules/rules.hpp"

namespace quorvel::graphql {

namespace validation {
namespace {

void make_specified_rules(ValidationContext& context, RuleArena& arena) {
    using Factory = Rule* (*)(ValidationContext&, RuleArena&);
    static constexpr Factory factories[] = {
        executable_definitions,
        unique_operation_names,
        lone_anonymous_operation,
        known_operation_types,
        known_type_names,
        fragments_on_composite_types,
        variables_are_input_types,
        scalar_leafs,
        fields_on_correct_type,
        unique_fragment_names,
        known_fragment_names,
        no_unused_fragments,
        possible_fragment_spreads,
        no_fragment_cycles,
        unique_variable_names,
        no_undefined_variables,
        no_unused_variables,
        known_directives,
        unique_directives_per_location,
        known_argument_names,
        unique_argument_names,
        values_of_correct_type,
        provided_required_arguments,
        variables_in_allowed_position,
        overlapping_fields_can_be_merged,
        unique_input_field_names,
    };
    static_assert(std::size(factories) <= RuleArena::capacity);
    for (const Factory factory : factories) factory(context, arena);
}

class Walker {
public:
    Walker(ValidationContext& context, const RuleArena& rules)
        : context_(context), schema_(context.schema()), rules_(rules) {}

    void walk_document();

private:
    template <class Hook>
    void each(Hook hook) {
        for (std::size_t i = 0; i < rules_.size(); ++i) hook(rules_[i]);
    }

    void walk_operation(const OperationDefinition& operation);
    void walk_fragment(const FragmentDefinition& fragment);
    void walk_variable_definition(const VariableDefinition& definition);
    void walk_selection_set(const NodeList<Selection>& selection_set, TypeId parent);
    void walk_field(const Selection& field, TypeId parent);
    void walk_inline_fragment(const Selection& fragment, TypeId parent);
    void walk_directives(const NodeList<DirectiveNode>& directives, DirectivePlace place);
    void walk_arguments(const NodeList<Argument>& arguments, TypeId parent, const Field* field,
                        const Directive* directive, Location owner);
    void walk_value(const Value& value, InputType expected, bool location_has_default);
    void walk_named_type(const TypeRef& type);
    // The composite type a type condition names, or no_type.
    TypeId composite(TypeId type) const {
        return type != no_type && schema_.is_composite(type) ? schema_.named_type(type) : no_type;
    }

    ValidationContext& context_;
    const Schema& schema_;
    const RuleArena& rules_;
    const void* definition_ = nullptr;  // the operation or fragment being walked
};

void Walker::walk_document() {
    const Document& document = context_.document();
    for (const ForeignDefinition& foreign : document.foreign_definitions) {
        each([&](Rule& rule) { rule.enter_foreign_definition(foreign); });
    }
    // Operations and fragments in document order, as errors are expected.
    std::size_t next_fragment = 0;
    auto before = [](Location a, Location b) { return a.line < b.line || (a.line == b.line && a.column < b.column); };
    for (const OperationDefinition& operation : document.operations) {
        while (next_fragment < document.fragments.size() &&
               before(document.fragments[next_fragment].location, operation.location)) {
            walk_fragment(document.fragments[next_fragment++]);
        }
        walk_operation(operation);
    }
    while (next_fragment < document.fragments.size()) walk_fragment(document.fragments[next_fragment++]);
    each([&](Rule& rule) { rule.leave_document(); });
}

void Walker::walk_operation(const OperationDefinition& operation) {
    definition_ = &operation;
    each([&](Rule& rule) { rule.enter_operation(operation); });
    for (const VariableDefinition& definition : operation.variables) walk_variable_definition(definition);
    TypeId root = no_type;
    DirectivePlace place = DirectivePlace::query;
    switch (operation.kind) {
        case OperationKind::query: root = schema_.query_type(); break;
        case OperationKind::mutation:
            root = schema_.mutation_type();
            place = DirectivePlace::mutation;
            break;
        case OperationKind::subscription:
            root = schema_.subscription_type();
            place = DirectivePlace::subscription;
            break;
    }
    walk_directives(operation.directives, place);
    walk_selection_set(operation.selection_set, root);
    each([&](Rule& rule) { rule.leave_operation(operation); });
}

void Walker::walk_fragment(const FragmentDefinition& fragment) {
    definition_ = &fragment;
    each([&](Rule& rule) { rule.enter_fragment_definition(fragment); });
    each([&](Rule& rule) { rule.enter_named_type(fragment.type_condition, fragment.type_condition_location); });
    walk_directives(fragment.directives, DirectivePlace::fragment_definition);
    walk_selection_set(fragment.selection_set, composite(schema_.find_type(fragment.type_condition)));
}

void Walker::walk_variable_definition(const VariableDefinition& definition) {
    each([&](Rule& rule) { rule.enter_variable_definition(definition); });
    walk_named_type(*definition.type);
    walk_directives(definition.directives, DirectivePlace::variable_definition);
}

void Walker::walk_named_type(const TypeRef& type) {
    const TypeRef* named = &type;
    while (named->kind != TypeRefKind::named) named = named->of_type;
    each([&](Rule& rule) { rule.enter_named_type(named->name, named->location); });
}

void Walker::walk_selection_set(const NodeList<Selection>& selection_set, TypeId parent) {
    each([&](Rule& rule) { rule.enter_selection_set(selection_set, parent); });
    for (const Selection& selection : selection_set) {
        switch (selection.kind) {
            case SelectionKind::field: walk_field(selection, parent); break;
            case SelectionKind::fragment_spread:
                each([&](Rule& rule) { rule.enter_fragment_spread(selection, parent); });
                walk_directives(selection.directives, DirectivePlace::fragment_spread);
                break;
            case SelectionKind::inline_fragment: walk_inline_fragment(selection, parent); break;
        }
    }
}

void Walker::walk_field(const Selection& field, TypeId parent) {
    const Field* definition = parent == no_type ? nullptr : schema_.find_field(parent, field.name);
    each([&](Rule& rule) { rule.enter_field(field, parent, definition); });
    walk_arguments(field.arguments, parent, definition, nullptr, field.location);
    walk_directives(field.directives, DirectivePlace::field);
    if (!field.selection_set.empty()) {
        walk_selection_set(field.selection_set, definition ? composite(definition->type) : no_type);
    }
}

void Walker::walk_inline_fragment(const Selection& fragment, TypeId parent) {
    TypeId type = parent;
    if (!fragment.type_condition.empty()) {
        each([&](Rule& rule) { rule.enter_named_type(fragment.type_condition, fragment.type_condition_location); });
        type = composite(schema_.find_type(fragment.type_condition));
    }
    each([&](Rule& rule) { rule.enter_inline_fragment(fragment, parent); });
    walk_directives(fragment.directives, DirectivePlace::inline_fragment);
    walk_selection_set(fragment.selection_set, type);
}

void Walker::walk_directives(const NodeList<DirectiveNode>& directives, DirectivePlace place) {
    if (directives.empty()) return;
    each([&](Rule& rule) { rule.enter_directives(directives, place); });
    for (const DirectiveNode& directive : directives) {
        const Directive* definition = schema_.find_directive(directive.name);
        each([&](Rule& rule) { rule.enter_directive(directive, definition, place); });
        walk_arguments(directive.arguments, no_type, nullptr, definition, directive.location);
    }
}

void Walker::walk_arguments(const NodeList<Argument>& arguments, TypeId parent, const Field* field,
                            const Directive* directive, Location owner) {
    each([&](Rule& rule) { rule.enter_arguments(arguments, parent, field, directive, owner); });
    for (const Argument& argument : arguments) {
        const InputValue* definition = field       ? schema_.find_argument(*field, argument.name)
                                       : directive ? schema_.find_argument(*directive, argument.name)
                                                   : nullptr;
        walk_value(argument.value, InputType{definition ? definition->type : no_type, nullptr},
                   definition && definition->default_literal.has_value());
    }
}

// Only variables matter below an argument: the rules that judge values
// read the whole value themselves.
void Walker::walk_value(const Value& value, InputType expected, bool location_has_default) {
    switch (value.kind) {
        case ValueKind::variable:
            context_.add_usage(definition_, VariableUsage{value.text, value.location, expected, location_has_default});
            return;
        case ValueKind::list: {
            const InputType list = expected.nullable(schema_);
            const InputType item = list.is_list(schema_) ? list.of_type(schema_) : list;
            for (const Value& element : value.list) walk_value(element, item, false);
            return;
        }
        case ValueKind::object: {
            const TypeId named = expected.named(schema_);
            const bool input_object = named != no_type && schema_.type(named).kind == TypeKind::input_object;
            for (const ObjectField& field : value.fields) {
                const InputValue* definition = input_object ? schema_.find_input_field(named, field.name) : nullptr;
                walk_value(field.value, InputType{definition ? definition->type : no_type, nullptr},
                           definition && definition->default_literal.has_value());
            }
            return;
        }
        default: return;
    }
}

}  // namespace
}  // namespace validation

std::vector<GraphqlError> validate(const Schema& schema, const Document& document, const RequestLimits& limits) {
    validation::ValidationContext context(schema, document, limits);
    if (validation::check_request_limits(context)) return context.take_errors();
    validation::RuleArena rules;
    validation::make_specified_rules(context, rules);
    validation::Walker(context, rules).walk_document();
    return context.take_errors();
}

std::vector<GraphqlError> validate_no_introspection(const Schema& schema, const Document& document) {
    const RequestLimits limits;
    validation::ValidationContext context(schema, document, limits);
    validation::RuleArena rules;
    validation::no_schema_introspection(context, rules);
    validation::Walker(context, rules).walk_document();
    return context.take_errors();
}

}  // namespace quorvel::graphql
