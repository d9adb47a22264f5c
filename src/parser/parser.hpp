// A single-pass parser for the GraphQL subset that the engine accepts: one
// operation whose top-level fields are read in full (alias, name,
// arguments as JSON with variables substituted); everything nested is
// passed over by bracket counting.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/result.hpp"
#include "json/json.hpp"

namespace quorvel {

struct SelectedField {
    std::string alias;
    std::string name;
    json::Value arguments;  // always an object
};

// Lists and input objects in argument values nest at most this deep; the
// reader recurses once per level.
inline constexpr std::size_t max_argument_depth = 256;

class GraphqlFieldParser {
public:
    GraphqlFieldParser(std::string_view source, const json::Value& variables)
        : source_(source), variables_(variables) {}

    void skip_ignored();
    Result<std::string> parse_name();
    Status expect_byte(char expected);
    Status skip_balanced(char open, char close);
    Status skip_directives();
    Result<json::Value> parse_value();
    Result<std::vector<SelectedField>> parse_selection_set();
    Result<std::vector<SelectedField>> parse_document();

    std::size_t cursor() const { return cursor_; }

private:
    bool at_end() const { return cursor_ >= source_.size(); }
    char peek() const { return source_[cursor_]; }
    bool skip_quoted_string();
    Result<json::Value> parse_value_at_depth(std::size_t depth);
    Result<json::Value> parse_string_literal();
    Result<json::Value> parse_number_literal();
    Result<json::Value> parse_variable();
    Result<json::Value> parse_list(std::size_t depth);
    Result<json::Value> parse_input_object(std::size_t depth);
    Result<json::Value> parse_word();
    Result<json::Value> parse_arguments();
    Result<SelectedField> parse_field();

    std::string_view source_;
    const json::Value& variables_;  // borrowed JSON object
    std::size_t cursor_ = 0;
};

// The variables object: an empty object for an absent or blank text.
Result<json::Value> parse_variables(std::optional<std::string_view> variables_json);

Result<std::vector<SelectedField>> parse_top_level_fields(std::string_view query, const json::Value& variables);

}  // namespace quorvel
