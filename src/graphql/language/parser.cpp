// A recursive-descent parser with one function per production of the
// executable grammar. Children are gathered on per-kind scratch stacks and
// copied into the document's pool once their list is complete, so a node
// costs no heap allocation of its own.
#include <cstring>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include "graphql/language/ast.hpp"
#include "graphql/language/lexer.hpp"

namespace quorvel::graphql {

namespace {

// Children of lists still being parsed. A nested list always completes
// (and pops its items) before its parent's next item is pushed, so one
// stack per kind serves every depth.
template <class T>
class Scratch {
public:
    std::size_t mark() const { return items_.size(); }
    void push(const T& item) { items_.push_back(item); }
    NodeList<T> take(std::size_t mark, std::pmr::memory_resource& pool) {
        static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>);
        const std::size_t count = items_.size() - mark;
        NodeList<T> list;
        if (count != 0) {
            T* copy = static_cast<T*>(pool.allocate(count * sizeof(T), alignof(T)));
            std::memcpy(static_cast<void*>(copy), items_.data() + mark, count * sizeof(T));
            list.items = copy;
            list.count = static_cast<std::uint32_t>(count);
        }
        items_.resize(mark);
        return list;
    }

private:
    std::vector<T> items_;
};

bool is_type_system_keyword(std::string_view name) {
    return name == "schema" || name == "scalar" || name == "type" || name == "interface" || name == "union" ||
           name == "enum" || name == "input" || name == "directive";
}

bool starts_definition(std::string_view name) {
    return is_type_system_keyword(name) || name == "query" || name == "mutation" || name == "subscription" ||
           name == "fragment" || name == "extend";
}

}  // namespace

class Parser {
public:
    Parser(std::string_view source, std::pmr::memory_resource& pool, const ParseLimits& limits)
        : lexer_(source, &pool), pool_(pool), limits_(limits) {}

    std::optional<GraphqlError> parse_document(Document& document);

private:
    // Every parse_ function returns false after recording the first error.
    bool fail(GraphqlError error) {
        if (!error_) error_ = std::move(error);
        return false;
    }
    bool fail_at(const Token& token, std::string message, ErrorCode code = ErrorCode::parse_failed) {
        return fail(GraphqlError{"Syntax Error: " + std::move(message), {token.location}, code});
    }
    bool unexpected(const Token& token) { return fail_at(token, "Unexpected " + token_description(token) + "."); }
    bool unexpected() { return unexpected(token()); }

    const Token& token() const { return lexer_.token(); }
    bool peek(TokenKind kind) const { return token().kind == kind; }
    bool peek_keyword(std::string_view keyword) const { return peek(TokenKind::name) && token().value == keyword; }
    bool advance();
    bool expect(TokenKind kind);
    bool expect_optional(TokenKind kind, bool& found);
    bool expect_keyword(std::string_view keyword);
    bool enter(const Token& at);
    void leave() { --depth_; }

    bool parse_definition();
    bool parse_operation_definition();
    bool parse_fragment_definition();
    bool parse_foreign_definition();
    bool parse_name(std::string_view& name, Location& location);
    bool parse_variable_definitions(NodeList<VariableDefinition>& out);
    bool parse_variable_definition();
    bool parse_selection_set(NodeList<Selection>& out, Location& location);
    bool parse_selection();
    bool parse_field();
    bool parse_fragment();
    bool parse_arguments(bool is_const, NodeList<Argument>& out);
    bool parse_argument(bool is_const);
    bool parse_value(bool is_const, Value& out);
    bool parse_list(bool is_const, Value& out);
    bool parse_object(bool is_const, Value& out);
    bool parse_object_field(bool is_const);
    bool parse_directives(bool is_const, NodeList<DirectiveNode>& out);
    bool parse_directive(bool is_const);
    bool parse_type_reference(const TypeRef*& out);

    template <class T>
    T* make(const T& node) {
        T* copy = static_cast<T*>(pool_.allocate(sizeof(T), alignof(T)));
        std::memcpy(static_cast<void*>(copy), &node, sizeof(T));
        return copy;
    }

    Lexer lexer_;
    std::pmr::memory_resource& pool_;
    const ParseLimits& limits_;
    std::optional<GraphqlError> error_;
    std::size_t depth_ = 0;

    Scratch<OperationDefinition> operations_;
    Scratch<FragmentDefinition> fragments_;
    Scratch<ForeignDefinition> foreign_;
    Scratch<VariableDefinition> variables_;
    Scratch<Selection> selections_;
    Scratch<Argument> arguments_;
    Scratch<DirectiveNode> directives_;
    Scratch<Value> values_;
    Scratch<ObjectField> object_fields_;
};

bool Parser::advance() {
    if (auto failure = lexer_.advance()) return fail(std::move(*failure));
    if (lexer_.tokens_read() > limits_.max_tokens) {
        return fail_at(token(), "Document contains more than " + std::to_string(limits_.max_tokens) +
                                    " tokens. Parsing aborted.",
                       ErrorCode::query_too_large);
    }
    return true;
}

bool Parser::expect(TokenKind kind) {
    if (peek(kind)) return advance();
    return fail_at(token(), "Expected " + std::string(token_kind_description(kind)) + ", found " +
                                token_description(token()) + ".");
}

bool Parser::expect_optional(TokenKind kind, bool& found) {
    found = peek(kind);
    return !found || advance();
}

bool Parser::expect_keyword(std::string_view keyword) {
    if (peek_keyword(keyword)) return advance();
    return fail_at(token(), "Expected \"" + std::string(keyword) + "\", found " + token_description(token()) + ".");
}

// Recursion is bounded wherever input nests, so a hostile document meets a
// clear error instead of the end of the stack.
bool Parser::enter(const Token& at) {
    if (++depth_ > limits_.max_nesting) {
        return fail_at(at, "Document nests deeper than " + std::to_string(limits_.max_nesting) + " levels.",
                       ErrorCode::query_too_deep);
    }
    return true;
}

// Document: Definition+
std::optional<GraphqlError> Parser::parse_document(Document& document) {
    if (!advance()) return error_;
    do {
        if (!parse_definition()) return error_;
    } while (!peek(TokenKind::end_of_file));
    document.operations = operations_.take(0, pool_);
    document.fragments = fragments_.take(0, pool_);
    document.foreign_definitions = foreign_.take(0, pool_);
    return std::nullopt;
}

// Definition: ExecutableDefinition | TypeSystemDefinitionOrExtension
bool Parser::parse_definition() {
    if (peek(TokenKind::brace_l)) return parse_operation_definition();
    const bool has_description = peek(TokenKind::string) || peek(TokenKind::block_string);
    Token keyword = token();
    if (has_description) {
        Lexer ahead = lexer_;
        if (auto failure = ahead.advance()) return fail(std::move(*failure));
        keyword = ahead.token();
    }
    if (has_description && keyword.kind == TokenKind::brace_l) {
        return fail_at(token(), "Unexpected description, descriptions are not supported on shorthand queries.");
    }
    if (has_description && keyword.kind == TokenKind::name &&
        (!starts_definition(keyword.value) || keyword.value == "extend")) {
        return fail_at(token(), "Unexpected description, only GraphQL definitions support descriptions.");
    }
    if (keyword.kind == TokenKind::name) {
        if (is_type_system_keyword(keyword.value)) return parse_foreign_definition();
        // Operations and fragments may carry a description, as graphql-js
        // 17 and graphql-core 3.3 read them; it documents and is dropped.
        if (has_description && !is_type_system_keyword(keyword.value) && !advance()) return false;
        if (keyword.value == "query" || keyword.value == "mutation" || keyword.value == "subscription") {
            return parse_operation_definition();
        }
        if (keyword.value == "fragment") return parse_fragment_definition();
        if (keyword.value == "extend") return parse_foreign_definition();
    }
    return unexpected(keyword);
}

// OperationDefinition: SelectionSet
//                    | OperationType Name? VariableDefinitions? Directives? SelectionSet
bool Parser::parse_operation_definition() {
    OperationDefinition operation;
    operation.location = token().location;
    if (!peek(TokenKind::brace_l)) {
        // OperationType: one of query mutation subscription
        const Token operation_type = token();
        if (!expect(TokenKind::name)) return false;
        if (operation_type.value == "query") {
            operation.kind = OperationKind::query;
        } else if (operation_type.value == "mutation") {
            operation.kind = OperationKind::mutation;
        } else if (operation_type.value == "subscription") {
            operation.kind = OperationKind::subscription;
        } else {
            return unexpected(operation_type);
        }
        if (peek(TokenKind::name) && !parse_name(operation.name, operation.name_location)) return false;
        if (!parse_variable_definitions(operation.variables)) return false;
        if (!parse_directives(false, operation.directives)) return false;
    }
    Location selection_set_location;
    if (!parse_selection_set(operation.selection_set, selection_set_location)) return false;
    operations_.push(operation);
    return true;
}

// FragmentDefinition: fragment FragmentName TypeCondition Directives? SelectionSet
// FragmentName: Name but not `on`
// TypeCondition: on NamedType
bool Parser::parse_fragment_definition() {
    FragmentDefinition fragment;
    fragment.location = token().location;
    if (!expect_keyword("fragment")) return false;
    if (peek_keyword("on")) return unexpected();
    if (!parse_name(fragment.name, fragment.name_location)) return false;
    if (!expect_keyword("on")) return false;
    if (!parse_name(fragment.type_condition, fragment.type_condition_location)) return false;
    if (!parse_directives(false, fragment.directives)) return false;
    Location selection_set_location;
    if (!parse_selection_set(fragment.selection_set, selection_set_location)) return false;
    fragments_.push(fragment);
    return true;
}

// TypeSystemDefinitionOrExtension: passed over token by token up to the
// end of its body (or the next definition keyword when it has none), and
// recorded so that validation can refuse it as not executable.
bool Parser::parse_foreign_definition() {
    ForeignDefinition foreign;
    foreign.location = token().location;
    if (peek(TokenKind::string) || peek(TokenKind::block_string)) {
        if (!advance()) return false;
    }
    if (peek_keyword("extend")) {
        if (!advance()) return false;
        // Only a type system kind can follow; anything else is no definition
        // at all. (`extend directive` is passed over with the rest, as
        // graphql-core reads it as far as its name.)
        if (!peek(TokenKind::name) || !is_type_system_keyword(token().value)) {
            return unexpected();
        }
    }
    const bool schema = peek_keyword("schema");
    const bool directive = peek_keyword("directive");
    if (!advance()) return false;  // the keyword
    if (!schema) {
        if (directive && peek(TokenKind::at) && !advance()) return false;  // directive @name
        if (!peek(TokenKind::name)) return expect(TokenKind::name);
        foreign.name = token().value;
        if (!advance()) return false;
    }
    std::size_t nesting = 0;
    bool had_body = false;
    while (!peek(TokenKind::end_of_file)) {
        const TokenKind kind = token().kind;
        if (nesting == 0) {
            if (had_body) break;
            if (kind == TokenKind::name && starts_definition(token().value)) break;
            if ((kind == TokenKind::string || kind == TokenKind::block_string)) {
                Lexer ahead = lexer_;
                if (!ahead.advance() && ahead.token().kind == TokenKind::name &&
                    starts_definition(ahead.token().value)) {
                    break;
                }
            }
        }
        if (kind == TokenKind::brace_l || kind == TokenKind::paren_l || kind == TokenKind::bracket_l) {
            if (++nesting > limits_.max_nesting) return enter(token());
        } else if (kind == TokenKind::brace_r || kind == TokenKind::paren_r || kind == TokenKind::bracket_r) {
            if (nesting == 0) return unexpected();
            if (--nesting == 0 && kind == TokenKind::brace_r) had_body = true;
        }
        if (!advance()) return false;
    }
    if (nesting != 0) return unexpected();
    foreign_.push(foreign);
    return true;
}

// Name: /[_A-Za-z][_0-9A-Za-z]*/
bool Parser::parse_name(std::string_view& name, Location& location) {
    name = token().value;
    location = token().location;
    return expect(TokenKind::name);
}

// VariableDefinitions: ( VariableDefinition+ )
bool Parser::parse_variable_definitions(NodeList<VariableDefinition>& out) {
    if (!peek(TokenKind::paren_l)) return true;
    const std::size_t mark = variables_.mark();
    if (!advance()) return false;
    bool closed = false;
    do {
        if (!parse_variable_definition()) return false;
        if (!expect_optional(TokenKind::paren_r, closed)) return false;
    } while (!closed);
    out = variables_.take(mark, pool_);
    return true;
}

// VariableDefinition: Description? Variable : Type DefaultValue? Directives[Const]?
// Variable: $ Name
// DefaultValue: = Value[Const]
// The description is read as graphql-js 17 reads it (as for operations and
// fragments), and the definition starts at it; nothing here shows it.
bool Parser::parse_variable_definition() {
    VariableDefinition definition;
    definition.location = token().location;
    if ((peek(TokenKind::string) || peek(TokenKind::block_string)) && !advance()) return false;
    if (!expect(TokenKind::dollar)) return false;
    if (!parse_name(definition.name, definition.name_location)) return false;
    if (!expect(TokenKind::colon)) return false;
    if (!parse_type_reference(definition.type)) return false;
    bool has_default = false;
    if (!expect_optional(TokenKind::equals, has_default)) return false;
    if (has_default) {
        Value value;
        if (!parse_value(true, value)) return false;
        definition.default_value = make(value);
    }
    if (!parse_directives(true, definition.directives)) return false;
    variables_.push(definition);
    return true;
}

// SelectionSet: { Selection+ }
bool Parser::parse_selection_set(NodeList<Selection>& out, Location& location) {
    location = token().location;
    if (!enter(token())) return false;
    const std::size_t mark = selections_.mark();
    if (!expect(TokenKind::brace_l)) return false;
    bool closed = false;
    do {
        if (!parse_selection()) return false;
        if (!expect_optional(TokenKind::brace_r, closed)) return false;
    } while (!closed);
    out = selections_.take(mark, pool_);
    leave();
    return true;
}

// Selection: Field | FragmentSpread | InlineFragment
bool Parser::parse_selection() { return peek(TokenKind::spread) ? parse_fragment() : parse_field(); }

// Field: Alias? Name Arguments? Directives? SelectionSet?
// Alias: Name :
bool Parser::parse_field() {
    Selection field;
    field.kind = SelectionKind::field;
    if (!parse_name(field.name, field.location)) return false;
    field.name_location = field.location;
    bool aliased = false;
    if (!expect_optional(TokenKind::colon, aliased)) return false;
    if (aliased) {
        field.alias = field.name;
        if (!parse_name(field.name, field.name_location)) return false;
    }
    if (!parse_arguments(false, field.arguments)) return false;
    if (!parse_directives(false, field.directives)) return false;
    if (peek(TokenKind::brace_l) && !parse_selection_set(field.selection_set, field.selection_set_location)) {
        return false;
    }
    selections_.push(field);
    return true;
}

// FragmentSpread: ... FragmentName Directives?
// InlineFragment: ... TypeCondition? Directives? SelectionSet
bool Parser::parse_fragment() {
    Selection selection;
    selection.location = token().location;
    if (!expect(TokenKind::spread)) return false;
    const bool has_type_condition = peek_keyword("on");
    if (has_type_condition && !advance()) return false;
    if (!has_type_condition && peek(TokenKind::name)) {
        selection.kind = SelectionKind::fragment_spread;
        if (!parse_name(selection.name, selection.name_location)) return false;
        if (!parse_directives(false, selection.directives)) return false;
        selections_.push(selection);
        return true;
    }
    selection.kind = SelectionKind::inline_fragment;
    if (has_type_condition && !parse_name(selection.type_condition, selection.type_condition_location)) return false;
    if (!parse_directives(false, selection.directives)) return false;
    if (!parse_selection_set(selection.selection_set, selection.selection_set_location)) return false;
    selections_.push(selection);
    return true;
}

// Arguments[Const]: ( Argument[?Const]+ )
bool Parser::parse_arguments(bool is_const, NodeList<Argument>& out) {
    if (!peek(TokenKind::paren_l)) return true;
    const std::size_t mark = arguments_.mark();
    if (!advance()) return false;
    bool closed = false;
    do {
        if (!parse_argument(is_const)) return false;
        if (!expect_optional(TokenKind::paren_r, closed)) return false;
    } while (!closed);
    out = arguments_.take(mark, pool_);
    return true;
}

// Argument[Const]: Name : Value[?Const]
bool Parser::parse_argument(bool is_const) {
    Argument argument;
    if (!parse_name(argument.name, argument.location)) return false;
    if (!expect(TokenKind::colon)) return false;
    if (!parse_value(is_const, argument.value)) return false;
    arguments_.push(argument);
    return true;
}

// Value[Const]: [~Const] Variable | IntValue | FloatValue | StringValue
//             | BooleanValue | NullValue | EnumValue | ListValue[?Const]
//             | ObjectValue[?Const]
bool Parser::parse_value(bool is_const, Value& out) {
    const Token start = token();
    out.location = start.location;
    switch (start.kind) {
        case TokenKind::bracket_l: return parse_list(is_const, out);
        case TokenKind::brace_l: return parse_object(is_const, out);
        case TokenKind::int_value:
            out.kind = ValueKind::int_value;
            out.text = start.value;
            return advance();
        case TokenKind::float_value:
            out.kind = ValueKind::float_value;
            out.text = start.value;
            return advance();
        case TokenKind::string:
        case TokenKind::block_string:
            out.kind = ValueKind::string;
            out.block = start.kind == TokenKind::block_string;
            out.text = start.value;
            return advance();
        case TokenKind::name:
            if (start.value == "true" || start.value == "false") {
                out.kind = ValueKind::boolean;
                out.boolean = start.value == "true";
            } else if (start.value == "null") {
                out.kind = ValueKind::null;
            } else {
                out.kind = ValueKind::enum_value;
                out.text = start.value;
            }
            return advance();
        case TokenKind::dollar: {
            if (!advance()) return false;
            if (is_const) {
                if (peek(TokenKind::name)) {
                    return fail_at(start, "Unexpected variable \"$" + std::string(token().value) +
                                              "\" in constant value.");
                }
                return unexpected(start);
            }
            Location name_location;
            out.kind = ValueKind::variable;
            return parse_name(out.text, name_location);
        }
        default: return unexpected();
    }
}

// ListValue[Const]: [ ] | [ Value[?Const]+ ]
bool Parser::parse_list(bool is_const, Value& out) {
    out.kind = ValueKind::list;
    if (!enter(token()) || !advance()) return false;
    const std::size_t mark = values_.mark();
    while (!peek(TokenKind::bracket_r)) {
        Value item;
        if (!parse_value(is_const, item)) return false;
        values_.push(item);
    }
    out.list = values_.take(mark, pool_);
    leave();
    return advance();
}

// ObjectValue[Const]: { } | { ObjectField[?Const]+ }
bool Parser::parse_object(bool is_const, Value& out) {
    out.kind = ValueKind::object;
    if (!enter(token()) || !advance()) return false;
    const std::size_t mark = object_fields_.mark();
    while (!peek(TokenKind::brace_r)) {
        if (!parse_object_field(is_const)) return false;
    }
    out.fields = object_fields_.take(mark, pool_);
    leave();
    return advance();
}

// ObjectField[Const]: Name : Value[?Const]
bool Parser::parse_object_field(bool is_const) {
    ObjectField field;
    if (!parse_name(field.name, field.location)) return false;
    if (!expect(TokenKind::colon)) return false;
    if (!parse_value(is_const, field.value)) return false;
    object_fields_.push(field);
    return true;
}

// Directives[Const]: Directive[?Const]+
bool Parser::parse_directives(bool is_const, NodeList<DirectiveNode>& out) {
    if (!peek(TokenKind::at)) return true;
    const std::size_t mark = directives_.mark();
    while (peek(TokenKind::at)) {
        if (!parse_directive(is_const)) return false;
    }
    out = directives_.take(mark, pool_);
    return true;
}

// Directive[Const]: @ Name Arguments[?Const]?
bool Parser::parse_directive(bool is_const) {
    DirectiveNode directive;
    directive.location = token().location;
    if (!expect(TokenKind::at)) return false;
    Location name_location;
    if (!parse_name(directive.name, name_location)) return false;
    if (!parse_arguments(is_const, directive.arguments)) return false;
    directives_.push(directive);
    return true;
}

// Type: NamedType | ListType | NonNullType
// ListType: [ Type ]
// NonNullType: NamedType ! | ListType !
bool Parser::parse_type_reference(const TypeRef*& out) {
    const Token start = token();
    TypeRef type;
    type.location = start.location;
    if (peek(TokenKind::bracket_l)) {
        if (!enter(start) || !advance()) return false;
        type.kind = TypeRefKind::list;
        if (!parse_type_reference(type.of_type)) return false;
        if (!expect(TokenKind::bracket_r)) return false;
        leave();
    } else {
        type.kind = TypeRefKind::named;
        Location name_location;
        if (!parse_name(type.name, name_location)) return false;
    }
    bool non_null = false;
    if (!expect_optional(TokenKind::bang, non_null)) return false;
    if (!non_null) {
        out = make(type);
        return true;
    }
    TypeRef wrapper;
    wrapper.kind = TypeRefKind::non_null;
    wrapper.location = start.location;
    wrapper.of_type = make(type);
    out = make(wrapper);
    return true;
}

const FragmentDefinition* Document::find_fragment(std::string_view name) const {
    const auto found = fragment_index_.find(name);
    return found == fragment_index_.end() ? nullptr : found->second;
}

const OperationDefinition* Document::find_operation(std::string_view operation_name) const {
    if (operation_name.empty()) return operations.size() == 1 ? &operations[0] : nullptr;
    for (const OperationDefinition& operation : operations) {
        if (operation.name == operation_name) return &operation;
    }
    return nullptr;
}

GraphqlResult<Document> parse_document(std::string_view source, const ParseLimits& limits) {
    if (source.size() > limits.max_document_bytes) {
        return GraphqlError{"Document is larger than " + std::to_string(limits.max_document_bytes) + " bytes.",
                            {Location{1, 1}}, ErrorCode::query_too_large};
    }
    Document document;
    document.pool_ = std::make_unique<std::pmr::monotonic_buffer_resource>(source.size() * 2 + 1024);
    char* text = static_cast<char*>(document.pool_->allocate(source.size() + 1, 1));
    std::memcpy(text, source.data(), source.size());
    text[source.size()] = '\0';
    document.source_ = std::string_view(text, source.size());
    Parser parser(document.source_, *document.pool_, limits);
    if (auto failure = parser.parse_document(document)) return std::move(*failure);
    document.fragment_index_.reserve(document.fragments.size());
    for (const FragmentDefinition& fragment : document.fragments) {
        document.fragment_index_.emplace(fragment.name, &fragment);
    }
    return document;
}

}  // namespace quorvel::graphql
