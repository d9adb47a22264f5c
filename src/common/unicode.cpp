#include "common/unicode.hpp"

namespace quorvel::unicode {
namespace {

// Whether the code point has the Unicode White_Space property.
bool is_white_space(char32_t c) {
    switch (c) {
        case 0x09: case 0x0A: case 0x0B: case 0x0C: case 0x0D: case 0x20:
        case 0x85: case 0xA0: case 0x1680: case 0x2028: case 0x2029:
        case 0x202F: case 0x205F: case 0x3000:
            return true;
        default:
            return c >= 0x2000 && c <= 0x200A;
    }
}

}  // namespace

char32_t decode_at(std::string_view text, std::size_t index, std::size_t& length) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    unsigned char lead = byte(index);
    length = 1;
    if (lead < 0x80) return lead;
    std::size_t extra = lead >= 0xF0 ? 3 : lead >= 0xE0 ? 2 : lead >= 0xC0 ? 1 : 0;
    if (extra == 0 || lead > 0xF4 || index + extra >= text.size()) return 0xFFFD;
    char32_t code_point = lead & (0x3F >> extra);
    for (std::size_t i = 1; i <= extra; ++i) {
        unsigned char next = byte(index + i);
        if ((next & 0xC0) != 0x80) return 0xFFFD;
        code_point = (code_point << 6) | (next & 0x3F);
    }
    // Overlong forms, surrogates and values past U+10FFFF are malformed too.
    constexpr char32_t smallest[] = {0, 0x80, 0x800, 0x10000};
    if (code_point < smallest[extra] || (code_point >= 0xD800 && code_point <= 0xDFFF) || code_point > 0x10FFFF) {
        return 0xFFFD;
    }
    length = extra + 1;
    return code_point;
}

void append_utf8(char32_t c, std::string& out) {
    if (c < 0x80) {
        out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (c >> 6)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (c >> 12)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (c >> 18)));
        out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
}

std::string to_valid_utf8(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        std::size_t length = 0;
        char32_t c = decode_at(text, i, length);
        if (c == 0xFFFD && length == 1 && static_cast<unsigned char>(text[i]) >= 0x80) {
            append_utf8(static_cast<unsigned char>(text[i]), out);
            ++i;
        } else {
            out.append(text.substr(i, length));
            i += length;
        }
    }
    return out;
}

std::string_view trim(std::string_view text) {
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t length = 0;
        if (!is_white_space(decode_at(text, start, length))) break;
        start += length;
    }
    std::size_t end = text.size();
    while (end > start) {
        // Step back to the lead byte of the last character.
        std::size_t lead = end - 1;
        while (lead > start && (static_cast<unsigned char>(text[lead]) & 0xC0) == 0x80 && end - lead < 4) --lead;
        std::size_t length = 0;
        char32_t c = decode_at(text, lead, length);
        if (lead + length != end || !is_white_space(c)) break;
        end = lead;
    }
    return text.substr(start, end - start);
}

}  // namespace quorvel::unicode
