// How GraphQL text prints strings and descriptions, as graphql-js prints
// them, shared by the SDL printer and introspection's defaultValue.
#pragma once

#include <string>
#include <string_view>

namespace quorvel::graphql {

// A StringValue literal: quotes, and escapes for '"', '\\' and control
// characters.
std::string print_string_literal(std::string_view text);

// A description above a definition: a block string where the text allows
// one, else a string literal; each line after the first indented, and a
// blank line before it unless it is the first item of its block.
void print_description(std::string_view text, std::string_view indentation, bool first_in_block, std::string& out);

}  // namespace quorvel::graphql
