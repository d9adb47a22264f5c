#include "parser/parser.hpp"

#include <algorithm>
#include <cstring>

#include "common/graphql_name.hpp"
#include "common/unicode.hpp"

namespace quorvel {
namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// A source byte as the character whose code point is the byte's value,
// written in UTF-8 (0xC3 is shown as "Ã").
std::string shown(char byte) {
    std::string text;
    unicode::append_utf8(static_cast<unsigned char>(byte), text);
    return text;
}

// A JSON number as an argument value.
ArgumentValue number_value(json::Ref number) {
    ArgumentValue value;
    switch (number.kind()) {
        case json::Kind::uint64:
            value.kind = ArgumentValue::Kind::uint64;
            value.scalar.uint64 = number.uint64();
            break;
        case json::Kind::int64:
            value.kind = ArgumentValue::Kind::int64;
            value.scalar.int64 = number.int64();
            break;
        default:
            value.kind = ArgumentValue::Kind::real;
            value.scalar.real = number.real();
    }
    return value;
}

// An integer literal of at most 18 digits with no leading zero, which no
// JSON reader is needed for; nullopt for anything else.
std::optional<ArgumentValue> small_integer(std::string_view text) {
    bool negative = !text.empty() && text.front() == '-';
    std::string_view digits = text.substr(negative ? 1 : 0);
    if (digits.empty() || digits.size() > 18 || (digits.front() == '0' && digits.size() > 1)) return std::nullopt;
    std::uint64_t magnitude = 0;
    for (char c : digits) {
        if (!is_digit(c)) return std::nullopt;
        magnitude = magnitude * 10 + static_cast<std::uint64_t>(c - '0');
    }
    ArgumentValue value;
    if (negative) {
        value.kind = ArgumentValue::Kind::int64;
        value.scalar.int64 = -static_cast<std::int64_t>(magnitude);
    } else {
        value.kind = ArgumentValue::Kind::uint64;
        value.scalar.uint64 = magnitude;
    }
    return value;
}

}  // namespace

std::string_view Arena::copy(std::string_view text) {
    if (text.empty()) return {};
    auto* storage = static_cast<char*>(resource_.allocate(text.size(), 1));
    std::memcpy(storage, text.data(), text.size());
    return {storage, text.size()};
}

namespace {

// Lists and input objects in argument values nest at most this deep; the
// reader recurses once per level.
constexpr std::size_t max_argument_depth = 256;

class GraphqlFieldParser {
public:
    GraphqlFieldParser(std::string_view source, const Variables& variables, Arena& arena)
        : source_(source), variables_(variables), arena_(arena) {}

    Result<std::pmr::vector<SelectedField>> parse_document();

private:
    bool at_end() const { return cursor_ >= source_.size(); }
    char peek() const { return source_[cursor_]; }
    bool at(char c) const { return !at_end() && peek() == c; }

    void skip_comment();
    void skip_ignored();
    bool skip_quoted_string();
    Result<std::string_view> parse_name();
    Status expect_byte(char expected);
    Status skip_balanced(char open, char close);
    Status skip_directives();
    template <class Item>
    Status parse_items_until(char close, Item&& parse_item);
    Result<ArgumentValue> parse_value(std::size_t depth);
    Result<ArgumentValue> parse_string_literal();
    Result<ArgumentValue> parse_number_literal();
    Result<ArgumentValue> parse_variable();
    Result<ArgumentValue> parse_list(std::size_t depth);
    Result<ArgumentValue> parse_members(char close, std::size_t depth);
    Result<ArgumentValue> parse_word();
    Result<SelectedField> parse_field();
    Result<std::pmr::vector<SelectedField>> parse_selection_set();

    std::string_view source_;
    const Variables& variables_;
    Arena& arena_;
    std::size_t cursor_ = 0;
};

// Comment: '#' to the end of the line, the line break included.
void GraphqlFieldParser::skip_comment() {
    while (!at_end() && peek() != '\n' && peek() != '\r') ++cursor_;
    if (!at_end()) ++cursor_;
}

// Ignored: TAB LF FF CR SPACE COMMA, and comments.
void GraphqlFieldParser::skip_ignored() {
    while (!at_end()) {
        char c = peek();
        if (c == '\t' || c == '\n' || c == '\f' || c == '\r' || c == ' ' || c == ',') {
            ++cursor_;
        } else if (c == '#') {
            skip_comment();
        } else {
            return;
        }
    }
}

// Name: /[_A-Za-z][_0-9A-Za-z]*/
Result<std::string_view> GraphqlFieldParser::parse_name() {
    skip_ignored();
    if (at_end()) return fail("expected GraphQL name, found end of input");
    if (!is_name_start(peek())) return fail("expected GraphQL name, found " + shown(peek()));
    std::size_t start = cursor_;
    while (!at_end() && is_name_continue(peek())) ++cursor_;
    return source_.substr(start, cursor_ - start);
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
            skip_comment();
        } else {
            ++cursor_;
            if (c == open) ++depth;
            else if (c == close && --depth == 0) return done();
        }
    }
    return fail("unterminated GraphQL balanced block: " + shown(open));
}

// Directives: ('@' Name Arguments?)*, passed over unread.
Status GraphqlFieldParser::skip_directives() {
    for (;;) {
        skip_ignored();
        if (!at('@')) return done();
        ++cursor_;
        if (auto name = parse_name(); !name) return std::move(name).failure();
        skip_ignored();
        if (at('(')) {
            if (Status skipped = skip_balanced('(', ')'); !skipped) return skipped;
        }
    }
}

// With the cursor on an opening bracket: items until `close`. Commas are
// ignored tokens, so they need no handling of their own.
template <class Item>
Status GraphqlFieldParser::parse_items_until(char close, Item&& parse_item) {
    ++cursor_;
    for (;;) {
        skip_ignored();
        if (at(close)) {
            ++cursor_;
            return done();
        }
        if (Status item = parse_item(); !item) return item;
    }
}

// Value: Variable | StringValue | NumberValue | ListValue | ObjectValue
//      | true | false | null | EnumValue
Result<ArgumentValue> GraphqlFieldParser::parse_value(std::size_t depth) {
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
        return c == '[' ? parse_list(depth + 1) : parse_members('}', depth + 1);
    }
    if (is_name_start(c)) return parse_word();
    return fail("unexpected character in GraphQL argument value: " + shown(c));
}

// StringValue: '"' JSON string characters '"'. Text with nothing to decode
// is used in place; anything else is decoded by the JSON reader.
Result<ArgumentValue> GraphqlFieldParser::parse_string_literal() {
    std::size_t start = cursor_;
    if (!skip_quoted_string()) return fail("unterminated GraphQL string literal");
    std::string_view literal = source_.substr(start, cursor_ - start);
    std::string_view content = literal.substr(1, literal.size() - 2);
    if (json::is_plain_string(content)) return ArgumentValue::string(content);
    Result<json::Document> decoded = json::read(literal);
    if (!decoded) return fail("invalid GraphQL string literal: " + decoded.message());
    return ArgumentValue::string(arena_.copy(decoded.value().root().string()));
}

// NumberValue: '-'? Digit* ('.' Digit*)? ([eE] [+-]? Digit*)?, then the
// JSON number grammar decides.
Result<ArgumentValue> GraphqlFieldParser::parse_number_literal() {
    std::size_t start = cursor_;
    auto skip_digits = [&] {
        while (!at_end() && is_digit(peek())) ++cursor_;
    };
    if (peek() == '-') ++cursor_;
    skip_digits();
    if (at('.')) {
        ++cursor_;
        skip_digits();
    }
    if (at('e') || at('E')) {
        ++cursor_;
        if (at('+') || at('-')) ++cursor_;
        skip_digits();
    }
    std::string_view literal = source_.substr(start, cursor_ - start);
    if (auto integer = small_integer(literal)) return *integer;
    Result<json::Document> number = json::read(literal);
    if (!number) return fail("invalid GraphQL number literal: " + number.message());
    return number_value(number.value().root());
}

// Variable: '$' Name, standing for the variable's value.
Result<ArgumentValue> GraphqlFieldParser::parse_variable() {
    ++cursor_;
    Result<std::string_view> name = parse_name();
    if (!name) return std::move(name).failure();
    json::Ref value = variables_.find(name.value());
    if (!value) return fail("missing GraphQL variable: $" + std::string(name.value()));
    return ArgumentValue::from_json(value);
}

// ListValue: '[' Value* ']'
Result<ArgumentValue> GraphqlFieldParser::parse_list(std::size_t depth) {
    std::pmr::vector<ArgumentValue> items(arena_.resource());
    Status listed = parse_items_until(']', [&]() -> Status {
        Result<ArgumentValue> item = parse_value(depth);
        if (!item) return std::move(item).failure();
        items.push_back(std::move(item).value());
        return done();
    });
    if (!listed) return std::move(listed).failure();
    ArgumentValue list;
    list.kind = ArgumentValue::Kind::list;
    list.items = Arena::keep(items);
    return list;
}

// ObjectValue: '{' (Name ':' Value)* '}'
// Arguments:   '(' (Name ':' Value)* ')'
Result<ArgumentValue> GraphqlFieldParser::parse_members(char close, std::size_t depth) {
    std::pmr::vector<ArgumentMember> members(arena_.resource());
    Status listed = parse_items_until(close, [&]() -> Status {
        Result<std::string_view> name = parse_name();
        if (!name) return std::move(name).failure();
        if (Status colon = expect_byte(':'); !colon) return colon;
        Result<ArgumentValue> value = parse_value(depth);
        if (!value) return std::move(value).failure();
        members.push_back({name.value(), std::move(value).value()});
        return done();
    });
    if (!listed) return std::move(listed).failure();
    return ArgumentValue::object(sorted_unique_members(members));
}

// true | false | null | EnumValue
Result<ArgumentValue> GraphqlFieldParser::parse_word() {
    Result<std::string_view> word = parse_name();
    if (!word) return std::move(word).failure();
    std::string_view text = word.value();
    ArgumentValue value;
    if (text == "true" || text == "false") {
        value.kind = ArgumentValue::Kind::boolean;
        value.scalar.boolean = text == "true";
        return value;
    }
    if (text == "null") return value;
    return ArgumentValue::string(text);
}

// Field: Alias? Name Arguments? Directives? SelectionSet?
Result<SelectedField> GraphqlFieldParser::parse_field() {
    Result<std::string_view> first = parse_name();
    if (!first) return std::move(first).failure();
    SelectedField field;
    field.alias = field.name = first.value();
    skip_ignored();
    if (at(':')) {
        ++cursor_;
        skip_ignored();
        Result<std::string_view> name = parse_name();
        if (!name) return std::move(name).failure();
        field.name = name.value();
    }
    skip_ignored();
    if (at('(')) {
        // Argument values nest from depth 0, as top-level values do.
        Result<ArgumentValue> arguments = parse_members(')', 0);
        if (!arguments) return std::move(arguments).failure();
        field.arguments = std::move(arguments).value();
    } else {
        field.arguments = ArgumentValue::object({});
    }
    if (Status directives = skip_directives(); !directives) return std::move(directives).failure();
    skip_ignored();
    if (at('{')) {
        if (Status nested = skip_balanced('{', '}'); !nested) return std::move(nested).failure();
    }
    return field;
}

// SelectionSet: '{' Field* '}'
Result<std::pmr::vector<SelectedField>> GraphqlFieldParser::parse_selection_set() {
    if (Status opened = expect_byte('{'); !opened) return std::move(opened).failure();
    std::pmr::vector<SelectedField> fields(arena_.resource());
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
Result<std::pmr::vector<SelectedField>> GraphqlFieldParser::parse_document() {
    skip_ignored();
    if (at('{')) return parse_selection_set();
    Result<std::string_view> keyword = parse_name();
    if (!keyword) return std::move(keyword).failure();
    std::string_view operation = keyword.value();
    if (operation != "query" && operation != "mutation" && operation != "subscription") {
        return fail("unsupported GraphQL operation: " + std::string(operation));
    }
    skip_ignored();
    if (!at_end() && is_name_start(peek())) {
        if (auto name = parse_name(); !name) return std::move(name).failure();
        skip_ignored();
    }
    if (at('(')) {
        if (Status skipped = skip_balanced('(', ')'); !skipped) return std::move(skipped).failure();
        skip_ignored();
    }
    if (Status directives = skip_directives(); !directives) return std::move(directives).failure();
    return parse_selection_set();
}

}  // namespace

Result<std::pmr::vector<SelectedField>> parse_top_level_fields(std::string_view query, const Variables& variables,
                                                               Arena& arena) {
    return GraphqlFieldParser(query, variables, arena).parse_document();
}

// ---- variables -------------------------------------------------------------

namespace {
constexpr std::size_t indexed_variable_count = 8;
}

Variables::Variables(json::Document document) : document_(std::move(document)) {
    json::Ref object = document_.root();
    if (object.size() <= indexed_variable_count) return;
    index_.reserve(object.size());
    object.for_each_member([&](std::string_view name, json::Ref value) { index_.emplace_back(name, value); });
    std::stable_sort(index_.begin(), index_.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
}

json::Ref Variables::find(std::string_view name) const {
    if (!document_.root()) return {};
    if (index_.empty()) return document_.root().find(name);
    // Equal names keep their text order, so the last of a run is the last
    // in the text.
    auto after = std::upper_bound(index_.begin(), index_.end(), name,
                                  [](std::string_view key, const auto& entry) { return key < entry.first; });
    if (after == index_.begin() || std::prev(after)->first != name) return {};
    return std::prev(after)->second;
}

Result<Variables> parse_variables(std::optional<std::string_view> variables_json, Arena& arena) {
    if (!variables_json || unicode::trim(*variables_json).empty()) return Variables();
    Result<json::Document> value = json::read(*variables_json, *arena.resource());
    if (!value) return fail("invalid variables JSON: " + value.message());
    if (!value.value().root().is_object()) return fail("variables_json must decode to a JSON object");
    return Variables(std::move(value).value());
}

}  // namespace quorvel
