// What validation rules share: the schema, the document, the errors found
// so far, facts gathered by the one walk of the document (the variables
// each definition uses, with the type expected where they are used), and
// the hooks through which the walk calls each rule.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "graphql/language/ast.hpp"
#include "graphql/type/schema.hpp"
#include "graphql/validation/limits.hpp"

namespace quorvel::graphql::validation {

// An input type known either from the schema or only as a document wrote
// it (a variable's declared type may wrap a named type in ways no schema
// field does).
struct InputType {
    TypeId id = no_type;
    const TypeRef* written = nullptr;

    bool known(const Schema& schema) const;
    bool is_non_null(const Schema& schema) const;
    bool is_list(const Schema& schema) const;
    InputType of_type(const Schema& schema) const;  // under one List or NonNull
    InputType nullable(const Schema& schema) const { return is_non_null(schema) ? of_type(schema) : *this; }
    TypeId named(const Schema& schema) const;       // no_type when the name is unknown
    std::string print(const Schema& schema) const;  // "[String!]!"
};

// The type a document's type reference names, printed as written.
std::string print_type_ref(const TypeRef& type);
// A value as graphql-js prints it in messages: `"text"`, `[1, 2]`,
// `{ a: B }`, `$name`.
std::string print_value(const Value& value);
// Whether two argument values print the same once object fields are sorted
// by name, as field merging compares them.
bool same_value(const Value& a, const Value& b);
// A text two values share exactly when same_value holds for them, so that
// values can be compared by hashing.
std::string value_key(const Value& value);

// The arguments a field or directive defines, in order. The schema keeps
// __type's argument apart from the pool, so it is asked for by name.
std::vector<const InputValue*> defined_arguments(const Schema& schema, const Field* field, const Directive* directive);

// A variable met in a value, with the type expected where it stands.
struct VariableUsage {
    std::string_view name;
    Location location;
    InputType expected;
    bool location_has_default = false;  // an argument or input field default covers a missing value
};

enum class DirectivePlace : std::uint32_t {
    query = location_query,
    mutation = location_mutation,
    subscription = location_subscription,
    field = location_field,
    fragment_definition = location_fragment_definition,
    fragment_spread = location_fragment_spread,
    inline_fragment = location_inline_fragment,
    variable_definition = location_variable_definition,
};
std::string_view place_name(DirectivePlace place);

class ValidationContext;

// A validation rule: it watches the walk through whichever hooks it needs
// and reports through the context. Hooks see the types the walk has worked
// out (no_type / nullptr when unknown, in which case other rules report).
class Rule {
public:
    explicit Rule(ValidationContext& context) : context_(context) {}
    virtual ~Rule() = default;

    virtual void enter_operation(const OperationDefinition&) {}
    virtual void leave_operation(const OperationDefinition&) {}
    virtual void enter_fragment_definition(const FragmentDefinition&) {}
    virtual void enter_foreign_definition(const ForeignDefinition&) {}
    virtual void enter_variable_definition(const VariableDefinition&) {}
    virtual void enter_named_type(std::string_view, Location) {}
    virtual void enter_selection_set(const NodeList<Selection>&, TypeId /*parent*/) {}
    virtual void enter_field(const Selection&, TypeId /*parent*/, const Field*) {}
    virtual void enter_fragment_spread(const Selection&, TypeId /*parent*/) {}
    virtual void enter_inline_fragment(const Selection&, TypeId /*parent*/) {}
    virtual void enter_directives(const NodeList<DirectiveNode>&, DirectivePlace) {}
    virtual void enter_directive(const DirectiveNode&, const Directive*, DirectivePlace) {}
    // Arguments of a field (`field` set) or of a directive (`directive` set).
    virtual void enter_arguments(const NodeList<Argument>&, TypeId /*parent*/, const Field*, const Directive*,
                                 Location /*owner*/) {}
    virtual void enter_value(const Value&, InputType /*expected*/, InputType /*parent*/) {}
    virtual void leave_document() {}

protected:
    ValidationContext& context_;
};

// A rule that looks at each operation once the whole document is walked:
// an operation's fragments may come after it, and what it checks reaches
// through them.
class OperationRule : public Rule {
public:
    using Rule::Rule;
    void leave_document() final;

private:
    virtual void check(const OperationDefinition& operation) = 0;
};

class ValidationContext {
public:
    ValidationContext(const Schema& schema, const Document& document, const RequestLimits& limits)
        : schema_(schema), document_(document), limits_(limits) {}

    const Schema& schema() const { return schema_; }
    const Document& document() const { return document_; }
    const RequestLimits& limits() const { return limits_; }

    void report(std::string message, std::vector<Location> locations,
                ErrorCode code = ErrorCode::validation_failed);
    bool full() const { return errors_.size() >= max_errors; }
    std::vector<GraphqlError> take_errors() { return std::move(errors_); }
    std::size_t error_count() const { return errors_.size(); }

    // The fragment spreads under a selection set, not entering fragments,
    // in graphql-js's order.
    std::vector<const Selection*> fragment_spreads(const NodeList<Selection>& selection_set) const;
    // Every fragment an operation reaches through spreads, each once. Kept
    // per operation, and each fragment's own spreads read once, so that many
    // operations spreading one large fragment do not each walk its text.
    const std::vector<const FragmentDefinition*>& referenced_fragments(const OperationDefinition& operation) const;
    // The variables an operation uses, its reached fragments' included.
    std::vector<VariableUsage> recursive_variable_usages(const OperationDefinition& operation) const;

    // Filled by the walk.
    void add_usage(const void* definition, VariableUsage usage) { usages_[definition].push_back(usage); }

    // The hard limit on reported errors, as graphql-js has it.
    static constexpr std::size_t max_errors = 100;

private:
    const Schema& schema_;
    const Document& document_;
    const RequestLimits& limits_;
    std::vector<GraphqlError> errors_;
    // Operation or fragment definition -> its variable usages in order.
    std::unordered_map<const void*, std::vector<VariableUsage>> usages_;
    mutable std::unordered_map<const OperationDefinition*, std::vector<const FragmentDefinition*>> referenced_;
    mutable std::unordered_map<const FragmentDefinition*, std::vector<const Selection*>> spreads_of_;
};

}  // namespace quorvel::graphql::validation
