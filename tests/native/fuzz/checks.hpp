// Invariants shared by the fuzz targets. A broken invariant aborts, which
// libFuzzer reports as a crash with the input that caused it.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "json/json.hpp"

namespace quorvel::fuzz {

[[noreturn]] inline void broken(const char* what, std::string_view detail) {
    std::fprintf(stderr, "invariant broken: %s\n%.*s\n", what, static_cast<int>(detail.size()), detail.data());
    std::abort();
}

inline void require(bool condition, const char* what, std::string_view detail = {}) {
    if (!condition) broken(what, detail);
}

// Writing a value and reading the text back gives the same value, and
// writing that again gives the same text.
inline void require_round_trip(const json::Value& value) {
    std::string text;
    require(static_cast<bool>(json::write(value, text)), "a read value can be written");
    Result<json::Value> again = json::read(text);
    require(again.ok(), "written text reads back", text);
    require(again.value() == value, "round trip keeps the value", text);
    std::string rewritten;
    require(static_cast<bool>(json::write(again.value(), rewritten)) && rewritten == text,
            "writing is deterministic", text);
}

// "<message> at line L column C"
inline bool has_position(std::string_view message) {
    auto at = message.rfind(" at line ");
    if (at == std::string_view::npos) return false;
    auto column = message.find(" column ", at);
    return column != std::string_view::npos && column + 8 < message.size();
}

}  // namespace quorvel::fuzz
