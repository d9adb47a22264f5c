#include "graphql/language/lexer.hpp"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "common/graphql_name.hpp"
#include "common/unicode.hpp"

namespace quorvel::graphql {

namespace {

bool is_digit(unsigned char c) { return c >= '0' && c <= '9'; }
// Columns count characters (code points), as graphql-core reports them:
// a continuation byte adds a byte but no character.
std::size_t wide_weight(char byte) { return (static_cast<unsigned char>(byte) & 0xC0) == 0x80 ? 1 : 0; }

int hex_digit(unsigned char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool is_scalar_value(std::int64_t code) { return (code >= 0 && code <= 0xD7FF) || (code >= 0xE000 && code <= 0x10FFFF); }

// Four hex digits at `text[at]`, or -1.
std::int64_t read_hex4(std::string_view text, std::size_t at) {
    if (at + 4 > text.size()) return -1;
    std::int64_t value = 0;
    for (std::size_t i = 0; i < 4; ++i) {
        const int digit = hex_digit(static_cast<unsigned char>(text[at + i]));
        if (digit < 0) return -1;
        value = (value << 4) | digit;
    }
    return value;
}

std::size_t leading_white_space(std::string_view line) {
    std::size_t i = 0;
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    return i;
}

// The block string's value from its raw lines: common indentation removed
// from every line but the first, blank leading and trailing lines dropped.
std::string dedent_block_string(const std::vector<std::string_view>& lines) {
    std::size_t common_indent = SIZE_MAX;
    std::size_t first_non_blank = SIZE_MAX;
    std::size_t last_non_blank = 0;
    bool any_non_blank = false;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const std::size_t indent = leading_white_space(lines[i]);
        if (indent == lines[i].size()) continue;
        if (!any_non_blank) first_non_blank = i;
        any_non_blank = true;
        last_non_blank = i;
        if (i != 0 && indent < common_indent) common_indent = indent;
    }
    std::string out;
    if (!any_non_blank) return out;
    for (std::size_t i = first_non_blank; i <= last_non_blank; ++i) {
        if (i != first_non_blank) out.push_back('\n');
        std::string_view line = lines[i];
        if (i != 0) line.remove_prefix(std::min(common_indent, line.size()));
        out.append(line);
    }
    return out;
}

// The first `count` characters from `at`, as graphql-core quotes a bad
// escape: characters, so a multi-byte one after it is never cut in half.
std::string_view characters(std::string_view source, std::size_t at, std::size_t count) {
    std::size_t end = at;
    for (std::size_t n = 0; n < count && end < source.size(); ++n) {
        std::size_t length = 0;
        unicode::decode_at(source, end, length);
        end += std::max<std::size_t>(length, 1);
    }
    return source.substr(at, end - at);
}

}  // namespace

std::string_view token_kind_description(TokenKind kind) {
    switch (kind) {
        case TokenKind::start_of_file: return "<SOF>";
        case TokenKind::end_of_file: return "<EOF>";
        case TokenKind::bang: return "\"!\"";
        case TokenKind::dollar: return "\"$\"";
        case TokenKind::amp: return "\"&\"";
        case TokenKind::paren_l: return "\"(\"";
        case TokenKind::paren_r: return "\")\"";
        case TokenKind::spread: return "\"...\"";
        case TokenKind::colon: return "\":\"";
        case TokenKind::equals: return "\"=\"";
        case TokenKind::at: return "\"@\"";
        case TokenKind::bracket_l: return "\"[\"";
        case TokenKind::bracket_r: return "\"]\"";
        case TokenKind::brace_l: return "\"{\"";
        case TokenKind::pipe: return "\"|\"";
        case TokenKind::brace_r: return "\"}\"";
        case TokenKind::name: return "Name";
        case TokenKind::int_value: return "Int";
        case TokenKind::float_value: return "Float";
        case TokenKind::string: return "String";
        case TokenKind::block_string: return "BlockString";
    }
    return "<unknown>";
}

std::string token_description(const Token& token) {
    std::string out(token_kind_description(token.kind));
    switch (token.kind) {
        case TokenKind::name:
        case TokenKind::int_value:
        case TokenKind::float_value:
        case TokenKind::string:
        case TokenKind::block_string:
            out += " \"";
            out += unicode::to_valid_utf8(token.value);
            out += '"';
            break;
        default: break;
    }
    return out;
}

Location Lexer::location_at(std::size_t offset) const {
    std::size_t wide = wide_bytes_;
    for (std::size_t i = wide_counted_; i < offset && i < source_.size(); ++i) wide += wide_weight(source_[i]);
    return Location{line_, static_cast<std::uint32_t>(offset - line_start_ - wide + 1)};
}

void Lexer::count_wide_to(std::size_t offset) {
    for (std::size_t i = wide_counted_; i < offset; ++i) wide_bytes_ += wide_weight(source_[i]);
    if (offset > wide_counted_) wide_counted_ = offset;
}

void Lexer::new_line(std::size_t next_line_start) {
    ++line_;
    line_start_ = next_line_start;
    wide_bytes_ = 0;
    wide_counted_ = next_line_start;
}

GraphqlError Lexer::error_at(std::size_t offset, std::string message) const {
    return GraphqlError{"Syntax Error: " + std::move(message), {location_at(offset)}};
}

// graphql-js's printCodePointAt: printable ASCII quoted, anything else as
// U+XXXX, the end of the source as <EOF>.
std::string Lexer::describe_code_point_at(std::size_t offset) const {
    if (offset >= source_.size()) return "<EOF>";
    const unsigned char c = static_cast<unsigned char>(source_[offset]);
    if (c >= 0x20 && c <= 0x7E) {
        return c == '"' ? std::string("'\"'") : std::string("\"") + static_cast<char>(c) + "\"";
    }
    std::size_t length = 0;
    const char32_t code = unicode::decode_at(source_, offset, length);
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "U+%04X", static_cast<unsigned>(code));
    return buffer;
}

std::string_view Lexer::keep(const std::string& text) {
    if (text.empty()) return {};
    char* copy = static_cast<char*>(pool_->allocate(text.size(), 1));
    std::memcpy(copy, text.data(), text.size());
    return {copy, text.size()};
}

void Lexer::skip_ignored() {
    const std::size_t size = source_.size();
    while (position_ < size) {
        const unsigned char c = static_cast<unsigned char>(source_[position_]);
        if (c == ' ' || c == '\t' || c == ',') {
            ++position_;
        } else if (c == '\n') {
            new_line(++position_);
        } else if (c == '\r') {
            position_ += (position_ + 1 < size && source_[position_ + 1] == '\n') ? 2 : 1;
            new_line(position_);
        } else if (c == 0xEF && position_ + 2 < size && static_cast<unsigned char>(source_[position_ + 1]) == 0xBB &&
                   static_cast<unsigned char>(source_[position_ + 2]) == 0xBF) {
            position_ += 3;  // the byte order mark
        } else if (c == '#') {
            while (position_ < size && source_[position_] != '\n' && source_[position_] != '\r') ++position_;
        } else {
            return;
        }
    }
}

std::optional<GraphqlError> Lexer::advance() {
    if (token_.kind == TokenKind::end_of_file) return std::nullopt;
    skip_ignored();
    count_wide_to(position_);
    ++tokens_read_;
    return read_token();
}

std::optional<GraphqlError> Lexer::read_token() {
    const std::size_t start = position_;
    token_.start = start;
    token_.location = location_at(start);
    token_.value = {};
    if (start >= source_.size()) {
        token_.kind = TokenKind::end_of_file;
        token_.end = start;
        return std::nullopt;
    }
    auto punctuator = [&](TokenKind kind, std::size_t length) {
        token_.kind = kind;
        position_ = start + length;
        token_.end = position_;
        return std::nullopt;
    };
    const unsigned char c = static_cast<unsigned char>(source_[start]);
    switch (c) {
        case '!': return punctuator(TokenKind::bang, 1);
        case '$': return punctuator(TokenKind::dollar, 1);
        case '&': return punctuator(TokenKind::amp, 1);
        case '(': return punctuator(TokenKind::paren_l, 1);
        case ')': return punctuator(TokenKind::paren_r, 1);
        case ':': return punctuator(TokenKind::colon, 1);
        case '=': return punctuator(TokenKind::equals, 1);
        case '@': return punctuator(TokenKind::at, 1);
        case '[': return punctuator(TokenKind::bracket_l, 1);
        case ']': return punctuator(TokenKind::bracket_r, 1);
        case '{': return punctuator(TokenKind::brace_l, 1);
        case '|': return punctuator(TokenKind::pipe, 1);
        case '}': return punctuator(TokenKind::brace_r, 1);
        case '.':
            if (source_.substr(start, 3) == "...") return punctuator(TokenKind::spread, 3);
            if (start + 1 < source_.size() && is_digit(static_cast<unsigned char>(source_[start + 1]))) {
                std::size_t end = start + 1;
                while (end < source_.size() && is_digit(static_cast<unsigned char>(source_[end]))) ++end;
                return error_at(start, "Invalid number, expected digit before \".\", did you mean \"0" +
                                           std::string(source_.substr(start, end - start)) + "\"?");
            }
            break;
        case '"':
            if (source_.substr(start, 3) == "\"\"\"") return read_block_string(start);
            return read_string(start);
        default: break;
    }
    if (is_digit(c) || c == '-') return read_number(start);
    if (is_name_start(c)) {
        std::size_t end = start + 1;
        while (end < source_.size() && is_name_continue(static_cast<unsigned char>(source_[end]))) ++end;
        token_.kind = TokenKind::name;
        token_.value = source_.substr(start, end - start);
        token_.end = position_ = end;
        return std::nullopt;
    }
    if (c == '\'') {
        return error_at(start, "Unexpected single quote character ('), did you mean to use a double quote (\")?");
    }
    std::size_t length = 0;
    const char32_t code = unicode::decode_at(source_, start, length);
    const bool malformed = code == 0xFFFD && source_.substr(start, 3) != "\xEF\xBF\xBD";
    return error_at(start, std::string(malformed ? "Invalid" : "Unexpected") + " character: " +
                               describe_code_point_at(start) + ".");
}

// IntValue :: IntegerPart
// FloatValue :: IntegerPart FractionalPart | IntegerPart ExponentPart
//             | IntegerPart FractionalPart ExponentPart
std::optional<GraphqlError> Lexer::read_number(std::size_t start) {
    const std::size_t size = source_.size();
    std::size_t at = start;
    auto peek = [&]() -> unsigned char { return at < size ? static_cast<unsigned char>(source_[at]) : 0; };
    auto read_digits = [&]() -> std::optional<GraphqlError> {
        if (!is_digit(peek())) {
            return error_at(at, "Invalid number, expected digit but got: " + describe_code_point_at(at) + ".");
        }
        while (is_digit(peek())) ++at;
        return std::nullopt;
    };
    bool is_float = false;
    if (peek() == '-') ++at;
    if (peek() == '0') {
        ++at;
        if (is_digit(peek())) {
            return error_at(at, "Invalid number, unexpected digit after 0: " + describe_code_point_at(at) + ".");
        }
    } else if (auto failure = read_digits()) {
        return failure;
    }
    if (peek() == '.') {
        is_float = true;
        ++at;
        if (auto failure = read_digits()) return failure;
    }
    if (peek() == 'e' || peek() == 'E') {
        is_float = true;
        ++at;
        if (peek() == '+' || peek() == '-') ++at;
        if (auto failure = read_digits()) return failure;
    }
    if (peek() == '.' || is_name_start(peek())) {
        return error_at(at, "Invalid number, expected digit but got: " + describe_code_point_at(at) + ".");
    }
    token_.kind = is_float ? TokenKind::float_value : TokenKind::int_value;
    token_.value = source_.substr(start, at - start);
    token_.end = position_ = at;
    return std::nullopt;
}

// EscapedUnicode :: {HexDigit+} | HexDigit HexDigit HexDigit HexDigit
// EscapedCharacter :: one of " \ / b f n r t
std::optional<GraphqlError> Lexer::read_escape(std::size_t at, std::string& out, std::size_t& length) {
    const char kind = at + 1 < source_.size() ? source_[at + 1] : '\0';
    switch (kind) {
        case '"': out.push_back('"'); length = 2; return std::nullopt;
        case '\\': out.push_back('\\'); length = 2; return std::nullopt;
        case '/': out.push_back('/'); length = 2; return std::nullopt;
        case 'b': out.push_back('\b'); length = 2; return std::nullopt;
        case 'f': out.push_back('\f'); length = 2; return std::nullopt;
        case 'n': out.push_back('\n'); length = 2; return std::nullopt;
        case 'r': out.push_back('\r'); length = 2; return std::nullopt;
        case 't': out.push_back('\t'); length = 2; return std::nullopt;
        case 'u': break;
        default: {
            std::size_t escape_end = at + 1;
            if (escape_end < source_.size()) {
                std::size_t char_length = 0;
                unicode::decode_at(source_, escape_end, char_length);
                escape_end += char_length;
            }
            return error_at(at, "Invalid character escape sequence: \"" +
                                    unicode::to_valid_utf8(source_.substr(at, escape_end - at)) + "\".");
        }
    }
    if (at + 2 < source_.size() && source_[at + 2] == '{') {
        // Digits up to the brace (eight at most, so the number cannot
        // overflow), then the range: a point past Unicode's range is quoted
        // with its brace, as graphql-core quotes it.
        std::int64_t point = 0;
        std::size_t size = 3;
        while (size < 12) {
            const unsigned char c = at + size < source_.size() ? static_cast<unsigned char>(source_[at + size]) : 0;
            ++size;
            if (c == '}') {
                if (size < 5 || !is_scalar_value(point)) break;
                unicode::append_utf8(static_cast<char32_t>(point), out);
                length = size;
                return std::nullopt;
            }
            const int digit = hex_digit(c);
            if (digit < 0) break;
            point = (point << 4) | digit;
        }
        // Everything before the offending character is ASCII, so `size`
        // bytes scanned are `size` characters, the last one quoted whole.
        const std::string quoted = unicode::to_valid_utf8(characters(source_, at, size));
        return error_at(at, "Invalid Unicode escape sequence: \"" + quoted + "\".");
    }
    const std::int64_t code = read_hex4(source_, at + 2);
    if (is_scalar_value(code)) {
        unicode::append_utf8(static_cast<char32_t>(code), out);
        length = 6;
        return std::nullopt;
    }
    // A JSON-style surrogate pair stands for one character; a lone
    // surrogate stands for none.
    if (code >= 0xD800 && code <= 0xDBFF && source_.substr(at + 6, 2) == "\\u") {
        const std::int64_t trailing = read_hex4(source_, at + 8);
        if (trailing >= 0xDC00 && trailing <= 0xDFFF) {
            unicode::append_utf8(static_cast<char32_t>(0x10000 + ((code - 0xD800) << 10) + (trailing - 0xDC00)), out);
            length = 12;
            return std::nullopt;
        }
    }
    return error_at(at, "Invalid Unicode escape sequence: \"" + unicode::to_valid_utf8(characters(source_, at, 6)) + "\".");
}

// StringValue :: " StringCharacter* "
std::optional<GraphqlError> Lexer::read_string(std::size_t start) {
    const std::size_t size = source_.size();
    std::size_t at = start + 1;
    std::size_t chunk_start = at;
    std::string decoded;
    bool escaped = false;
    while (at < size) {
        const unsigned char c = static_cast<unsigned char>(source_[at]);
        if (c == '"') {
            token_.kind = TokenKind::string;
            if (escaped) {
                decoded.append(source_.substr(chunk_start, at - chunk_start));
                token_.value = keep(decoded);
            } else {
                token_.value = source_.substr(start + 1, at - start - 1);
            }
            token_.end = position_ = at + 1;
            return std::nullopt;
        }
        if (c == '\n' || c == '\r') break;
        if (c == '\\') {
            decoded.append(source_.substr(chunk_start, at - chunk_start));
            escaped = true;
            std::size_t length = 0;
            if (auto failure = read_escape(at, decoded, length)) return failure;
            at += length;
            chunk_start = at;
            continue;
        }
        if (auto failure = step_over_string_character(at)) return failure;
    }
    return error_at(at, "Unterminated string.");
}

// One source character inside a string, which must be valid UTF-8 (an
// encoded U+FFFD is a character like any other).
std::optional<GraphqlError> Lexer::step_over_string_character(std::size_t& at) const {
    if (static_cast<unsigned char>(source_[at]) < 0x80) {
        ++at;
        return std::nullopt;
    }
    std::size_t length = 0;
    const char32_t code = unicode::decode_at(source_, at, length);
    if (code == 0xFFFD && source_.substr(at, 3) != "\xEF\xBF\xBD") {
        return error_at(at, "Invalid character within String: " + describe_code_point_at(at) + ".");
    }
    at += length;
    return std::nullopt;
}

// BlockString :: """ BlockStringCharacter* """
std::optional<GraphqlError> Lexer::read_block_string(std::size_t start) {
    const std::size_t size = source_.size();
    const Location start_location = token_.location;
    std::size_t at = start + 3;
    std::vector<std::string_view> lines;
    std::string current;  // the line being read, `\"""` already unescaped
    std::string all;      // every finished line, back to back; `lines` views it after the last line
    std::vector<std::size_t> line_ends;
    std::size_t chunk_start = at;
    auto finish_line = [&]() {
        current.append(source_.substr(chunk_start, at - chunk_start));
        all.append(current);
        line_ends.push_back(all.size());
        current.clear();
    };
    while (at < size) {
        const unsigned char c = static_cast<unsigned char>(source_[at]);
        if (c == '"' && source_.substr(at, 3) == "\"\"\"") {
            finish_line();
            std::size_t previous = 0;
            for (const std::size_t end : line_ends) {
                lines.push_back(std::string_view(all).substr(previous, end - previous));
                previous = end;
            }
            token_.kind = TokenKind::block_string;
            token_.value = keep(dedent_block_string(lines));
            token_.end = position_ = at + 3;
            // The token starts on its first line, wherever it ends.
            token_.location = start_location;
            return std::nullopt;
        }
        if (c == '\n' || c == '\r') {
            finish_line();
            at += (c == '\r' && at + 1 < size && source_[at + 1] == '\n') ? 2 : 1;
            new_line(at);
            chunk_start = at;
            continue;
        }
        if (c == '\\' && source_.substr(at, 4) == "\\\"\"\"") {
            current.append(source_.substr(chunk_start, at - chunk_start));
            current.append("\"\"\"");
            at += 4;
            chunk_start = at;
            continue;
        }
        if (auto failure = step_over_string_character(at)) return failure;
    }
    return error_at(at, "Unterminated string.");
}

}  // namespace quorvel::graphql
