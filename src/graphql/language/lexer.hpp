// The lexical tokens of GraphQL (October 2021), read one at a time from a
// source held in memory. Ignored tokens (the byte order mark, white space,
// line terminators, commas and comments) never reach the parser.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory_resource>
#include <optional>
#include <string>
#include <string_view>

#include "graphql/language/ast.hpp"

namespace quorvel::graphql {

enum class TokenKind : std::uint8_t {
    start_of_file,
    end_of_file,
    bang,
    dollar,
    amp,
    paren_l,
    paren_r,
    spread,
    colon,
    equals,
    at,
    bracket_l,
    bracket_r,
    brace_l,
    pipe,
    brace_r,
    name,
    int_value,
    float_value,
    string,
    block_string,
};

struct Token {
    TokenKind kind = TokenKind::start_of_file;
    std::size_t start = 0;  // byte offsets into the source
    std::size_t end = 0;
    Location location;
    // name and numbers: the text as written; strings: the decoded value.
    std::string_view value;
};

// How graphql-js names a token kind in "Expected ..." messages.
std::string_view token_kind_description(TokenKind kind);
// How graphql-js names a token in "found ..." messages: `Name "x"`, `"}"`,
// `<EOF>`.
std::string token_description(const Token& token);

// A lexer is a small value: copying it is how the parser looks ahead.
class Lexer {
public:
    // Decoded strings that differ from their source text are written to
    // `pool`, which must outlive every token's value.
    Lexer(std::string_view source, std::pmr::memory_resource* pool) : source_(source), pool_(pool) {}

    // Reads the token after the current one. A lexical error is returned
    // instead, already worded ("Syntax Error: Unterminated string.").
    std::optional<GraphqlError> advance();
    const Token& token() const { return token_; }
    std::size_t tokens_read() const { return tokens_read_; }

    // The location of a byte offset at or after the current token's start.
    Location location_at(std::size_t offset) const;

private:
    void skip_ignored();
    std::optional<GraphqlError> read_token();
    std::optional<GraphqlError> read_number(std::size_t start);
    std::optional<GraphqlError> read_string(std::size_t start);
    std::optional<GraphqlError> read_block_string(std::size_t start);
    std::optional<GraphqlError> read_escape(std::size_t at, std::string& out, std::size_t& length);
    std::optional<GraphqlError> step_over_string_character(std::size_t& at) const;
    void new_line(std::size_t next_line_start);
    // Columns count characters, not bytes: the extra bytes of
    // multi-byte characters on the current line are counted up to
    // `offset` (never past a line end) once, as tokens move on.
    void count_wide_to(std::size_t offset);
    GraphqlError error_at(std::size_t offset, std::string message) const;
    std::string describe_code_point_at(std::size_t offset) const;
    std::string_view keep(const std::string& text);

    std::string_view source_;
    std::pmr::memory_resource* pool_;
    Token token_;
    std::size_t position_ = 0;
    std::uint32_t line_ = 1;
    std::size_t line_start_ = 0;
    std::size_t wide_bytes_ = 0;  // bytes beyond code units between line_start_ and wide_counted_
    std::size_t wide_counted_ = 0;
    std::size_t tokens_read_ = 0;
};

}  // namespace quorvel::graphql
