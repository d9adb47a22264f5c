#include "graphql/execution/scalars.hpp"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string_view>

namespace quorvel::graphql {

namespace {

// ---- JavaScript's numbers ------------------------------------------------------

// The code point a UTF-8 sequence starts with at `at`, and its length; an
// invalid byte reads as itself, which is never white space.
char32_t code_point(std::string_view text, std::size_t at, std::size_t& length) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[at + i]); };
    const unsigned char lead = byte(0);
    length = lead < 0x80 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
    if (at + length > text.size()) length = 1;
    if (length == 1) return lead;
    char32_t point = lead & (0x3F >> (length - 1));
    for (std::size_t i = 1; i < length; ++i) point = (point << 6) | (byte(i) & 0x3F);
    return point;
}

// StrWhiteSpaceChar: ECMAScript's WhiteSpace and LineTerminator, which
// Number() trims from both ends.
bool js_white_space(char32_t point) {
    switch (point) {
        case 0x09: case 0x0A: case 0x0B: case 0x0C: case 0x0D: case 0x20: case 0xA0: case 0x1680: case 0x2028:
        case 0x2029: case 0x202F: case 0x205F: case 0x3000: case 0xFEFF: return true;
        default: return point >= 0x2000 && point <= 0x200A;
    }
}

std::string_view js_trim(std::string_view text) {
    std::size_t length = 0;
    while (!text.empty() && js_white_space(code_point(text, 0, length))) text.remove_prefix(length);
    // Back to the start of the last code point: continuation bytes are 10xxxxxx.
    while (!text.empty()) {
        std::size_t start = text.size() - 1;
        while (start > 0 && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80) --start;
        if (!js_white_space(code_point(text, start, length)) || start + length != text.size()) break;
        text.remove_suffix(length);
    }
    return text;
}

bool all_digits(std::string_view text, int base) {
    if (text.empty()) return false;
    for (const char c : text) {
        const int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10
                          : c >= 'A' && c <= 'F' ? c - 'A' + 10 : 99;
        if (digit >= base) return false;
    }
    return true;
}

// StrDecimalLiteral without its sign: digits with an optional fraction, or
// a fraction alone, then an optional exponent; or Infinity.
bool decimal_literal(std::string_view text) {
    if (text == "Infinity") return true;
    std::size_t at = 0;
    std::size_t digits = 0;
    auto skip_digits = [&] {
        const std::size_t start = at;
        while (at < text.size() && text[at] >= '0' && text[at] <= '9') ++at;
        return at - start;
    };
    digits += skip_digits();
    if (at < text.size() && text[at] == '.') {
        ++at;
        digits += skip_digits();
    }
    if (digits == 0) return false;
    if (at < text.size() && (text[at] == 'e' || text[at] == 'E')) {
        ++at;
        if (at < text.size() && (text[at] == '+' || text[at] == '-')) ++at;
        if (skip_digits() == 0) return false;
    }
    return at == text.size();
}

// JavaScript's Number(text): NaN (nullopt) unless the trimmed text is a
// decimal literal, 0x/0o/0b digits or nothing at all (which is 0).
std::optional<double> js_number(std::string_view text) {
    text = js_trim(text);
    if (text.empty()) return 0.0;
    if (text.size() > 2 && text[0] == '0') {
        const char prefix = static_cast<char>(text[1] | 0x20);
        const int base = prefix == 'x' ? 16 : prefix == 'o' ? 8 : prefix == 'b' ? 2 : 0;
        if (base != 0) {
            if (!all_digits(text.substr(2), base)) return std::nullopt;
            double value = 0;
            for (const char c : text.substr(2)) {
                value = value * base + (c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10);
            }
            return value;
        }
    }
    const bool negative = text[0] == '-';
    std::string_view unsigned_part = text[0] == '-' || text[0] == '+' ? text.substr(1) : text;
    if (!decimal_literal(unsigned_part)) return std::nullopt;
    if (unsigned_part == "Infinity") return negative ? -HUGE_VAL : HUGE_VAL;
    // strtod reads the validated literal, saturating to infinity or zero as
    // JavaScript does; Python leaves LC_NUMERIC at "C", so '.' is the point.
    const std::string copy(unsigned_part);
    const double value = std::strtod(copy.c_str(), nullptr);
    return negative ? -value : value;
}

// Number.prototype.toString() of a finite number: the shortest digits that
// read back, in plain notation from 1e-6 up to 1e21, else as d.ddde+n.
void write_js_number(double value, std::string& out) {
    if (value == 0) {
        out.push_back('0');
        return;
    }
    if (value < 0) {
        out.push_back('-');
        value = -value;
    }
    char buffer[32];
    const auto written = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
    const std::string_view text(buffer, static_cast<std::size_t>(written.ptr - buffer));
    const std::size_t e = text.find('e');
    std::string digits(1, text[0]);
    if (e > 2) digits.append(text.substr(2, e - 2));
    int exponent = 0;
    std::string_view exponent_text = text.substr(e + 1);
    if (exponent_text[0] == '+') exponent_text.remove_prefix(1);
    std::from_chars(exponent_text.data(), exponent_text.data() + exponent_text.size(), exponent);
    const int k = static_cast<int>(digits.size());
    const int n = exponent + 1;
    if (k <= n && n <= 21) {
        out += digits;
        out.append(static_cast<std::size_t>(n - k), '0');
    } else if (0 < n && n <= 21) {
        out.append(digits, 0, static_cast<std::size_t>(n));
        out.push_back('.');
        out.append(digits, static_cast<std::size_t>(n));
    } else if (-6 < n && n <= 0) {
        out += "0.";
        out.append(static_cast<std::size_t>(-n), '0');
        out += digits;
    } else {
        out.push_back(digits[0]);
        if (k > 1) {
            out.push_back('.');
            out.append(digits, 1);
        }
        out += n - 1 < 0 ? "e-" : "e+";
        out += std::to_string(std::abs(n - 1));
    }
}

bool is_number(json::Kind kind) {
    return kind == json::Kind::uint64 || kind == json::Kind::int64 || kind == json::Kind::real;
}

// A JSON number as JavaScript holds it. Integers beyond 2^53 round here
// only where graphql-js computes with them, never where digits are copied.
double as_double(json::Ref value) {
    switch (value.kind()) {
        case json::Kind::uint64: return static_cast<double>(value.uint64());
        case json::Kind::int64: return static_cast<double>(value.int64());
        default: return value.real();
    }
}

// Number.isInteger within Int's 32 bits; `fits` tells which test failed.
bool integral(double number) { return std::isfinite(number) && std::floor(number) == number; }
bool fits_int32(double number) { return number >= -2147483648.0 && number <= 2147483647.0; }

// ---- inspect() -----------------------------------------------------------------

constexpr std::size_t max_inspected_items = 10;
constexpr std::size_t max_inspected_depth = 2;

void write_inspected(json::Ref value, std::size_t depth, std::string& out) {
    switch (value.kind()) {
        case json::Kind::string: json::write_string(value.string(), out); return;
        case json::Kind::real: write_js_number(value.real(), out); return;
        case json::Kind::array: {
            if (value.size() == 0) {
                out += "[]";
                return;
            }
            if (depth > max_inspected_depth) {
                out += "[Array]";
                return;
            }
            out.push_back('[');
            std::size_t index = 0;
            value.for_each_element([&](json::Ref element) {
                if (index < max_inspected_items) {
                    if (index > 0) out += ", ";
                    write_inspected(element, depth + 1, out);
                }
                ++index;
            });
            if (index > max_inspected_items) {
                const std::size_t more = index - max_inspected_items;
                out += ", ... " + std::to_string(more) + (more == 1 ? " more item" : " more items");
            }
            out.push_back(']');
            return;
        }
        case json::Kind::object: {
            if (value.size() == 0) {
                out += "{}";
                return;
            }
            if (depth > max_inspected_depth) {
                out += "[Object]";
                return;
            }
            out += "{ ";
            bool first = true;
            value.for_each_member([&](std::string_view key, json::Ref member) {
                if (!first) out += ", ";
                first = false;
                out += key;
                out += ": ";
                write_inspected(member, depth + 1, out);
            });
            out += " }";
            return;
        }
        default: json::write(value, out); return;  // null, booleans, integers: as JSON writes them
    }
}

Failure cannot(std::string_view what, json::Ref value) {
    std::string message(what);
    message += inspect(value);
    return fail(std::move(message));
}

// ---- the serializers -----------------------------------------------------------

Status serialize_int(json::Ref value, std::string& out) {
    const json::Kind kind = value.kind();
    if (kind == json::Kind::boolean) {
        out.push_back(value.boolean() ? '1' : '0');
        return done();
    }
    std::optional<double> number;
    if (is_number(kind)) {
        number = as_double(value);
    } else if (kind == json::Kind::string && !value.string().empty()) {
        number = js_number(value.string());
    }
    if (!number || !integral(*number)) return cannot("Int cannot represent non-integer value: ", value);
    if (!fits_int32(*number)) return cannot("Int cannot represent non 32-bit signed integer value: ", value);
    json::write_int64(static_cast<std::int64_t>(*number), out);
    return done();
}

Status serialize_float(json::Ref value, std::string& out) {
    const json::Kind kind = value.kind();
    if (kind == json::Kind::boolean) {
        out.push_back(value.boolean() ? '1' : '0');
        return done();
    }
    if (is_number(kind)) {
        json::write(value, out);
        return done();
    }
    std::optional<double> number;
    if (kind == json::Kind::string && !value.string().empty()) number = js_number(value.string());
    if (!number || !std::isfinite(*number)) return cannot("Float cannot represent non numeric value: ", value);
    write_js_number(*number, out);
    return done();
}

// Integers keep their digits (graphql-js would have rounded those beyond
// 2^53 when it read the answer); reals print as JavaScript prints them.
void write_number_text(json::Ref value, std::string& out) {
    out.push_back('"');
    if (value.kind() == json::Kind::real) {
        write_js_number(value.real(), out);
    } else {
        json::write(value, out);
    }
    out.push_back('"');
}

Status serialize_string(json::Ref value, std::string& out) {
    switch (value.kind()) {
        case json::Kind::string: json::write(value, out); return done();
        case json::Kind::boolean: out += value.boolean() ? "\"true\"" : "\"false\""; return done();
        case json::Kind::uint64:
        case json::Kind::int64:
        case json::Kind::real: write_number_text(value, out); return done();
        default: return cannot("String cannot represent value: ", value);
    }
}

Status serialize_boolean(json::Ref value, std::string& out) {
    const json::Kind kind = value.kind();
    if (kind == json::Kind::boolean) {
        out += value.boolean() ? "true" : "false";
        return done();
    }
    if (!is_number(kind)) return cannot("Boolean cannot represent a non boolean value: ", value);
    out += as_double(value) != 0 ? "true" : "false";
    return done();
}

Status serialize_id(json::Ref value, std::string& out) {
    const json::Kind kind = value.kind();
    if (kind == json::Kind::string) {
        json::write(value, out);
        return done();
    }
    if (!is_number(kind) || !integral(as_double(value))) return cannot("ID cannot represent value: ", value);
    write_number_text(value, out);
    return done();
}

Status serialize_enum(const Schema& schema, TypeId type, json::Ref value, std::string& out) {
    const Type& record = schema.type(type);
    for (std::uint32_t i = record.enum_values.first; value.is_string() && i < record.enum_values.end(); ++i) {
        const EnumValue& candidate = schema.enum_values()[i];
        if (candidate.json_value == value.string()) {
            json::write_string(candidate.name, out);
            return done();
        }
    }
    return cannot("Enum \"" + std::string(record.name) + "\" cannot represent value: ", value);
}

}  // namespace

std::string inspect(json::Ref value) {
    std::string out;
    if (value) write_inspected(value, 1, out);
    return out;
}

Status serialize_leaf(const Schema& schema, TypeId type, json::Ref value, std::string& out) {
    if (type == schema.json_type()) {
        json::write(value, out);
        return done();
    }
    if (schema.type(type).kind == TypeKind::enum_type) return serialize_enum(schema, type, value, out);
    if (type == schema.string_type()) return serialize_string(value, out);
    if (type == schema.int_type()) return serialize_int(value, out);
    if (type == schema.float_type()) return serialize_float(value, out);
    if (type == schema.boolean_type()) return serialize_boolean(value, out);
    if (type == schema.id_type()) return serialize_id(value, out);
    return fail("Unknown scalar " + std::string(schema.type(type).name));
}

}  // namespace quorvel::graphql
