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
