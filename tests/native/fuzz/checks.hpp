// Invariants shared by the fuzz targets. A broken invariant aborts, which
// libFuzzer reports as a crash with the input that caused it.
#pragma once

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "json/json.hpp"

namespace quorvel::fuzz {

[[noreturn]] inline void broken(const char* what, std::string_view detail) {
    std::fprintf(stderr, "invariant broken: %s\n%.*s\n", what, static_cast<int>(detail.size()), detail.data());
    std::abort();
}

inline void require(bool condition, const char* what, std::string_view detail = {}) {
    if (!condition) broken(what, detail);
}

inline std::string written(json::Ref value) {
    std::string text;
    json::write(value, text);
    return text;
}

// Value equality as a reader of the text sees it: objects compare by their
// distinct keys, each holding its last value; floats compare by bits, so
// -0.0 differs from 0.0. Integers compare by value whichever of the two
// integer kinds holds them ("-0" reads as a signed zero, "0" as unsigned).
inline bool same_value(json::Ref a, json::Ref b) {
    auto is_integer = [](json::Ref v) { return v.kind() == json::Kind::uint64 || v.kind() == json::Kind::int64; };
    auto is_negative = [](json::Ref v) { return v.kind() == json::Kind::int64 && v.int64() < 0; };
    if (is_integer(a) && is_integer(b)) {
        if (is_negative(a) || is_negative(b)) return is_negative(a) && is_negative(b) && a.int64() == b.int64();
        auto magnitude = [](json::Ref v) {
            return v.kind() == json::Kind::uint64 ? v.uint64() : static_cast<std::uint64_t>(v.int64());
        };
        return magnitude(a) == magnitude(b);
    }
    if (a.kind() != b.kind()) return false;
    switch (a.kind()) {
        case json::Kind::null:
            return true;
        case json::Kind::boolean:
            return a.boolean() == b.boolean();
        case json::Kind::uint64:
            return a.uint64() == b.uint64();
        case json::Kind::int64:
            return a.int64() == b.int64();
        case json::Kind::real:
            return a.real() == b.real() && std::signbit(a.real()) == std::signbit(b.real());
        case json::Kind::string:
            return a.string() == b.string();
        case json::Kind::array: {
            if (a.size() != b.size()) return false;
            std::vector<json::Ref> elements;
            b.for_each_element([&](json::Ref element) { elements.push_back(element); });
            std::size_t i = 0;
            bool same = true;
            a.for_each_element([&](json::Ref element) { same = same && same_value(element, elements[i++]); });
            return same;
        }
        case json::Kind::object: {
            std::size_t distinct_a = 0;
            std::size_t distinct_b = 0;
            bool same = true;
            auto count_distinct = [](json::Ref object, std::size_t& count) {
                object.for_each_member([&](std::string_view key, json::Ref value) {
                    if (object.find(key).raw() == value.raw()) ++count;
                });
            };
            count_distinct(a, distinct_a);
            count_distinct(b, distinct_b);
            if (distinct_a != distinct_b) return false;
            a.for_each_member([&](std::string_view key, json::Ref) {
                json::Ref other = b.find(key);
                same = same && other && same_value(a.find(key), other);
            });
            return same;
        }
    }
    return false;
}

// The written form is canonical (sorted keys, one of each key, shortest
// float digits), so two values are the same exactly when their written
// texts are. Writing a value and reading that text back must give the same
// text again, and writing must not depend on anything but the value.
// Returns the canonical text.
inline std::string require_round_trip(json::Ref value) {
    std::string text = written(value);
    require(written(value) == text, "writing is deterministic", text);
    Result<json::Document> again = json::read(text);
    require(again.ok(), "written text reads back", again.ok() ? text : again.message() + "\n" + text);
    require(same_value(value, again.value().root()), "round trip keeps the value", text);
    require(written(again.value().root()) == text, "written text is a fixpoint", text);
    return text;
}

// Well-formed UTF-8 as RFC 3629 has it: no overlong form, no surrogate,
// nothing past U+10FFFF. Written apart from the engine's own decoder, so that
// a fault there cannot hide itself behind the check.
inline bool is_valid_utf8(std::string_view text) {
    const auto byte = [&](std::size_t at) { return static_cast<unsigned char>(text[at]); };
    for (std::size_t i = 0; i < text.size();) {
        const unsigned char lead = byte(i);
        if (lead < 0x80) {
            ++i;
            continue;
        }
        std::size_t length = 0;
        unsigned char second_low = 0x80, second_high = 0xBF;
        if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            if (lead == 0xE0) second_low = 0xA0;   // overlong
            if (lead == 0xED) second_high = 0x9F;  // surrogates
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            if (lead == 0xF0) second_low = 0x90;   // overlong
            if (lead == 0xF4) second_high = 0x8F;  // past U+10FFFF
        } else {
            return false;
        }
        if (text.size() - i < length || byte(i + 1) < second_low || byte(i + 1) > second_high) return false;
        for (std::size_t k = 2; k < length; ++k) {
            if ((byte(i + k) & 0xC0) != 0x80) return false;
        }
        i += length;
    }
    return true;
}

// The GraphQL name that a catalogue text stands for in a field name: every
// character that may not stand in a name becomes one '_', a leading digit
// gets a '_' in front, an empty text becomes "_". `text` is valid UTF-8, as
// every string read from JSON is.
inline std::string graphql_name(std::string_view text) {
    std::string name = text.empty() || (text[0] >= '0' && text[0] <= '9') ? "_" : "";
    for (char c : text) {
        if ((static_cast<unsigned char>(c) & 0xC0) == 0x80) continue;  // the rest of a character already named
        const bool keep = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
        name.push_back(keep ? c : '_');
    }
    return name;
}

// "<message> at line L column C", L and C positive decimal numbers.
inline bool has_position(std::string_view message) {
    auto at = message.rfind(" at line ");
    if (at == std::string_view::npos) return false;
    auto column = message.find(" column ", at);
    if (column == std::string_view::npos) return false;
    auto is_number = [](std::string_view digits) {
        if (digits.empty() || digits.front() == '0') return false;
        for (char c : digits) {
            if (c < '0' || c > '9') return false;
        }
        return true;
    };
    std::string_view line = message.substr(at + 9, column - (at + 9));
    return is_number(line) && is_number(message.substr(column + 8));
}

}  // namespace quorvel::fuzz
