// UTF-8 helpers shared by the catalogue, the parser and the pipeline.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace quorvel::unicode {

// `text` without leading and trailing White_Space characters. The text is
// valid UTF-8 wherever the system trims (it comes from a Python str or a
// JSON string); a malformed sequence counts as a non-space character.
std::string_view trim(std::string_view text);

// Decodes the UTF-8 sequence starting at text[index] and returns its code
// point, setting `length` to the bytes it spans (at least 1). A malformed
// sequence (overlong forms and surrogates included) decodes as U+FFFD over
// one byte.
char32_t decode_at(std::string_view text, std::size_t index, std::size_t& length);

// `text` with every byte that is not part of a well-formed UTF-8 sequence
// replaced by the character whose code point is the byte's value, so a
// message quoting raw input is always valid UTF-8.
std::string to_valid_utf8(std::string_view text);

// Appends the UTF-8 encoding of one code point.
void append_utf8(char32_t code_point, std::string& out);

}  // namespace quorvel::unicode
