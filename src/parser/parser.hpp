// A single-pass parser for the GraphQL subset that the engine accepts: one
// operation whose top-level fields are read in full (alias, name,
// arguments with variables substituted); everything nested is passed over
// by bracket counting.
#pragma once

#include <cstddef>
#include <memory_resource>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "common/result.hpp"
#include "json/json.hpp"
#include "parser/argument_value.hpp"

namespace quorvel {

// Memory for one request's parsed values, handed out in order and given
// back all at once when the request ends. Giving back single blocks does
// nothing (a monotonic resource), so storage that a pmr container obtained
// from it stays valid after the container itself is gone; keep() relies on
// that to turn a filled container into a plain view.
class Arena {
public:
    explicit Arena(std::span<std::byte> initial) : resource_(initial.data(), initial.size()) {}
    std::pmr::memory_resource* resource() { return &resource_; }

    template <class T>
    static std::span<const T> keep(const std::pmr::vector<T>& filled) {
        return {filled.data(), filled.size()};
    }
    std::string_view copy(std::string_view text);

private:
    std::pmr::monotonic_buffer_resource resource_;
};

struct SelectedField {
    std::string_view alias;
    std::string_view name;
    ArgumentValue arguments;  // always an object
};

// The request's variables: an object read from variables_json (empty when
// none was given), looked up by name with the last of repeated names
// winning.
class Variables {
public:
    Variables() = default;
    explicit Variables(json::Document document);

    json::Ref find(std::string_view name) const;

private:
    json::Document document_;
    // Built for larger objects, so each lookup is a binary search rather
    // than a scan of every member.
    std::vector<std::pair<std::string_view, json::Ref>> index_;
};

// The variables object: an empty object for an absent or blank text. The
// document lives in `arena`.
Result<Variables> parse_variables(std::optional<std::string_view> variables_json, Arena& arena);

// The top-level fields of the request's one operation, in query order.
// Names, aliases and plain strings are views of `query`; everything else
// lives in `arena` or in `variables`.
Result<std::pmr::vector<SelectedField>> parse_top_level_fields(std::string_view query, const Variables& variables,
                                                               Arena& arena);

}  // namespace quorvel
