#include "parser/parser.hpp"

#include "common/unicode.hpp"

namespace quorvel {
namespace {

bool is_name_start(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_'; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_name_continue(char c) { return is_name_start(c) || is_digit(c); }

// A source byte as the character whose code point is the byte's value,
// written in UTF-8 (0xC3 is shown as "Ã").
std::string shown(char byte) {
    std::string text;
    unicode::append_utf8(static_cast<unsigned char>(byte), text);
    return text;
}

}  // namespace

// Ignored: TAB LF FF CR SPACE COMMA, and comments from '#' to the line end.
void GraphqlFieldParser::skip_ignored() {
    while (!at_end()) {
        char c = peek();
        if (c == '\t' || c == '\n' || c == '\f' || c == '\r' || c == ' ' || c == ',') {
            ++cursor_;
        } else if (c == '#') {
            while (!at_end() && peek() != '\n' && peek() != '\r') ++cursor_;
            if (!at_end()) ++cursor_;
        } else {
            return;
        }
    }
}

// Name: /[_A-Za-z][_0-9A-Za-z]*/
Result<std::string> GraphqlFieldParser::parse_name() {
    skip_ignored();
    if (at_end()) return fail("expected GraphQL name, found end of input");
    if (!is_name_start(peek())) return fail("expected GraphQL name, found " + shown(peek()));
    std::size_t start = cursor_;
    while (!at_end() && is_name_continue(peek())) ++cursor_;
    return std::string(source_.substr(start, cursor_ - start));
}

Status GraphqlFieldParser::expect_byte(char expected) {
    skip_ignored();
    if (at_end()) return fail("expected " + shown(expected) + ", found end of input");
    if (peek() != expected) return fail("expected " + shown(expected) + ", found " + shown(peek()));
    ++cursor_;
    return done();
}

// With the cursor on an opening quote: passes over the quoted string.
// False when the text ends inside it.
bool GraphqlFieldParser::skip_quoted_string() {
    ++cursor_;
    while (!at_end()) {
        char c = source_[cursor_++];
        if (c == '"') return true;
        if (c == '\\') {
            if (at_end()) return false;
            ++cursor_;
        }
    }
    return false;
}

// Counts only the given pair, so the depth needs no stack and is unbounded.
Status GraphqlFieldParser::skip_balanced(char open, char close) {
    if (Status opened = expect_byte(open); !opened) return opened;
    std::uint64_t depth = 1;
    while (!at_end()) {
        char c = peek();
        if (c == '"') {
            if (!skip_quoted_string()) return fail("unterminated GraphQL string literal");
        } else if (c == '#') {
            while (!at_end() && peek() != '\n' && peek() != '\r') ++cursor_;
            if (!at_end()) ++cursor_;
        } else if (c == open) {
            ++depth;
            ++cursor_;
        } else if (c == close) {
            ++cursor_;
            if (--depth == 0) return done();
        } else {
            ++cursor_;
        }
    }
    return fail("unterminated GraphQL balanced block: " + shown(open));
}

// Directives: ('@' Name Arguments?)*, passed over unread.
Status GraphqlFieldParser::skip_directives() {
    for (;;) {
        skip_ignored();
        if (at_end() || peek() != '@') return done();
        ++cursor_;
        if (auto name = parse_name(); !name) return std::move(name).failure();
        skip_ignored();
        if (!at_end() && peek() == '(') {
            if (Status skipped = skip_balanced('(', ')'); !skipped) return skipped;
        }
    }
}

Result<json::Value> GraphqlFieldParser::parse_value() { return parse_value_at_depth(0); }

// Value: Variable | StringValue | NumberValue | ListValue | ObjectValue
//      | true | false | null | EnumValue
Result<json::Value> GraphqlFieldParser::parse_value_at_depth(std::size_t depth) {
    skip_ignored();
    if (at_end()) return fail("unexpected end of GraphQL argument value");
    char c = peek();
    if (c == '"') return parse_string_literal();
    if (c == '$') return parse_variable();
    if (c == '-' || is_digit(c)) return parse_number_literal();
    if (c == '[' || c == '{') {
        if (depth >= max_argument_depth) {
            return fail("GraphQL argument value nested deeper than " + std::to_string(max_argument_depth) +
                        " levels");
        }
        return c == '[' ? parse_list(depth + 1) : parse_input_object(depth + 1);
    }
    if (is_name_start(c)) return parse_word();
    return fail("unexpected character in GraphQL argument value: " + shown(c));
}

// StringValue: '"' JSON string characters '"', decoded by the JSON reader.
Result<json::Value> GraphqlFieldParser::parse_string_literal() {
    std::size_t start = cursor_;
    if (!skip_quoted_string()) return fail("unterminated GraphQL string literal");
    Result<json::Value> value = json::read(source_.substr(start, cursor_ - start));
    if (!value) return fail("invalid GraphQL string literal: " + value.message());
    return value;
}

// NumberValue: '-'? Digit* ('.' Digit*)? ([eE] [+-]? Digit*)?, then the
// JSON number grammar decides.
Result<json::Value> GraphqlFieldParser::parse_number_literal() {
    std::size_t start = cursor_;
    auto skip_digits = [&] {
        while (!at_end() && is_digit(peek())) ++cursor_;
    };
    if (peek() == '-') ++cursor_;
    skip_digits();
    if (!at_end() && peek() == '.') {
        ++cursor_;
        skip_digits();
    }
    if (!at_end() && (peek() == 'e' || peek() == 'E')) {
        ++cursor_;
        if (!at_end() && (peek() == '+' || peek() == '-')) ++cursor_;
        skip_digits();
    }
    Result<json::Value> value = json::read(source_.substr(start, cursor_ - start));
    if (!value) return fail("invalid GraphQL number literal: " + value.message());
    return value;
}

// Variable: '$' Name, replaced by a copy of the variable's value.
Result<json::Value> GraphqlFieldParser::parse_variable() {
    ++cursor_;
    Result<std::string> name = parse_name();
    if (!name) return std::move(name).failure();
    auto found = variables_.find(name.value());
    if (found == variables_.end()) return fail("missing GraphQL variable: $" + name.value());
    return *found;
}

// ListValue: '[' Value* ']'
Result<json::Value> GraphqlFieldParser::parse_list(std::size_t depth) {
    ++cursor_;
    json::Value list = json::Value::array();
    for (;;) {
        skip_ignored();
        if (!at_end() && peek() == ']') {
            ++cursor_;
            return list;
        }
        Result<json::Value> element = parse_value_at_depth(depth);
        if (!element) return element;
        list.push_back(std::move(element).value());
    }
}

// ObjectValue: '{' (Name ':' Value)* '}'
Result<json::Value> GraphqlFieldParser::parse_input_object(std::size_t depth) {
    ++cursor_;
    json::Value object = json::Value::object();
    for (;;) {
        skip_ignored();
        if (!at_end() && peek() == '}') {
            ++cursor_;
            return object;
        }
        Result<std::string> name = parse_name();
        if (!name) return std::move(name).failure();
        if (Status colon = expect_byte(':'); !colon) return std::move(colon).failure();
        Result<json::Value> member = parse_value_at_depth(depth);
        if (!member) return member;
        object[std::move(name).value()] = std::move(member).value();
    }
}

// true | false | null | EnumValue
Result<json::Value> GraphqlFieldParser::parse_word() {
    Result<std::string> word = parse_name();
    if (!word) return std::move(word).failure();
    const std::string& text = word.value();
    if (text == "true") return json::Value(true);
    if (text == "false") return json::Value(false);
    if (text == "null") return json::Value(nullptr);
    return json::Value(std::move(word).value());
}

// Arguments: '(' (Name ':' Value)* ')', with the cursor on '('.
Result<json::Value> GraphqlFieldParser::parse_arguments() {
    ++cursor_;
    json::Value arguments = json::Value::object();
    for (;;) {
        skip_ignored();
        if (!at_end() && peek() == ')') {
            ++cursor_;
            return arguments;
        }
        Result<std::string> name = parse_name();
        if (!name) return std::move(name).failure();
        if (Status colon = expect_byte(':'); !colon) return std::move(colon).failure();
        Result<json::Value> value = parse_value();
        if (!value) return value;
        arguments[std::move(name).value()] = std::move(value).value();
    }
}

// Field: Alias? Name Arguments? Directives? SelectionSet?
Result<SelectedField> GraphqlFieldParser::parse_field() {
    Result<std::string> first = parse_name();
    if (!first) return std::move(first).failure();
    SelectedField field;
    skip_ignored();
    if (!at_end() && peek() == ':') {
        ++cursor_;
        skip_ignored();
        Result<std::string> name = parse_name();
        if (!name) return std::move(name).failure();
        field.alias = std::move(first).value();
        field.name = std::move(name).value();
    } else {
        field.name = std::move(first).value();
        field.alias = field.name;
    }
    skip_ignored();
    if (!at_end() && peek() == '(') {
        Result<json::Value> arguments = parse_arguments();
        if (!arguments) return std::move(arguments).failure();
        field.arguments = std::move(arguments).value();
    } else {
        field.arguments = json::Value::object();
    }
    if (Status directives = skip_directives(); !directives) return std::move(directives).failure();
    skip_ignored();
    if (!at_end() && peek() == '{') {
        if (Status nested = skip_balanced('{', '}'); !nested) return std::move(nested).failure();
    }
    return field;
}

// SelectionSet: '{' Field* '}'
Result<std::vector<SelectedField>> GraphqlFieldParser::parse_selection_set() {
    if (Status opened = expect_byte('{'); !opened) return std::move(opened).failure();
    std::vector<SelectedField> fields;
    for (;;) {
        skip_ignored();
        if (at_end()) return fail("unterminated GraphQL selection set");
        if (peek() == '}') {
            ++cursor_;
            return fields;
        }
        if (source_.substr(cursor_).starts_with("...")) {
            return fail("GraphQL fragments are not supported by quorvel yet");
        }
        Result<SelectedField> field = parse_field();
        if (!field) return std::move(field).failure();
        fields.push_back(std::move(field).value());
    }
}

// Document: SelectionSet
//         | OperationType Name? VariableDefinitions? Directives? SelectionSet
Result<std::vector<SelectedField>> GraphqlFieldParser::parse_document() {
    skip_ignored();
    if (!at_end() && peek() == '{') return parse_selection_set();
    Result<std::string> keyword = parse_name();
    if (!keyword) return std::move(keyword).failure();
    const std::string& operation = keyword.value();
    if (operation != "query" && operation != "mutation" && operation != "subscription") {
        return fail("unsupported GraphQL operation: " + operation);
    }
    skip_ignored();
    if (!at_end() && is_name_start(peek())) {
        if (auto name = parse_name(); !name) return std::move(name).failure();
        skip_ignored();
    }
    if (!at_end() && peek() == '(') {
        if (Status skipped = skip_balanced('(', ')'); !skipped) return std::move(skipped).failure();
        skip_ignored();
    }
    if (Status directives = skip_directives(); !directives) return std::move(directives).failure();
    return parse_selection_set();
}

Result<std::vector<SelectedField>> parse_top_level_fields(std::string_view query, const json::Value& variables) {
    GraphqlFieldParser parser(query, variables);
    return parser.parse_document();
}

Result<json::Value> parse_variables(std::optional<std::string_view> variables_json) {
    if (!variables_json || unicode::trim(*variables_json).empty()) return json::Value::object();
    Result<json::Value> value = json::read(*variables_json);
    if (!value) return fail("invalid variables JSON: " + value.message());
    if (!value.value().is_object()) return fail("variables_json must decode to a JSON object");
    return value;
}

}  // namespace quorvel
