// The GraphQL Name rule, /[_A-Za-z][_0-9A-Za-z]*/, in one place: both
// lexers read names by it, the typed schema tests texts against it, and
// the catalogue and the typed schema map any text onto it.
#pragma once

#include <string>
#include <string_view>

#include "common/unicode.hpp"

namespace quorvel {

constexpr bool is_name_start(unsigned char c) { return c == '_' || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
constexpr bool is_name_continue(unsigned char c) { return is_name_start(c) || (c >= '0' && c <= '9'); }

constexpr bool is_graphql_name(std::string_view text) {
    if (text.empty() || !is_name_start(static_cast<unsigned char>(text.front()))) return false;
    for (char c : text) {
        if (!is_name_continue(static_cast<unsigned char>(c))) return false;
    }
    return true;
}

// Appends `text` made a Name: every character outside the rule becomes one
// '_' (a multi-byte character too, so names stay short and ASCII), a
// leading digit gets a '_' in front, and empty text is "_".
inline void append_graphql_name(std::string_view text, std::string& out) {
    if (text.empty()) {
        out.push_back('_');
        return;
    }
    if (text.front() >= '0' && text.front() <= '9') out.push_back('_');
    for (std::size_t i = 0; i < text.size();) {
        std::size_t length = 0;
        const char32_t c = unicode::decode_at(text, i, length);
        out.push_back(c < 0x80 && is_name_continue(static_cast<unsigned char>(c)) ? static_cast<char>(c) : '_');
        i += length;
    }
}

}  // namespace quorvel
