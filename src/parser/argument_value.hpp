// Argument values as the parser builds them. Literals, lists and input
// objects are small records in the request's arena; a variable is a view of
// its value in the variables document, shared by every use instead of
// copied. The arena and the document outlive the request's values, and both
// are freed in one step when the request ends.
#pragma once

#include <cstdint>
#include <memory_resource>
#include <span>
#include <string>
#include <string_view>

#include "json/json.hpp"

namespace quorvel {

struct ArgumentMember;

struct ArgumentValue {
    enum class Kind : std::uint8_t { null, boolean, uint64, int64, real, string, list, object, json };

    Kind kind = Kind::null;
    union {
        bool boolean;
        std::uint64_t uint64;
        std::int64_t int64;
        double real;
    } scalar{};
    std::string_view text;                    // string
    std::span<const ArgumentValue> items;     // list
    std::span<const ArgumentMember> members;  // object: sorted by name, names unique
    json::Ref json;                           // a variable's value

    static ArgumentValue from_json(json::Ref value);
    static ArgumentValue string(std::string_view text);
    static ArgumentValue object(std::span<const ArgumentMember> members);
};

struct ArgumentMember {
    std::string_view name;
    ArgumentValue value;
};

// Compact JSON text of a value: the same form as json::write, members sorted
// by name.
void write_argument_value(const ArgumentValue& value, std::string& out);

// Gives the members in name order, keeping the last of repeated names (the
// way a later argument overrides an earlier one of the same name).
std::span<const ArgumentMember> sorted_unique_members(std::pmr::vector<ArgumentMember>& members);

}  // namespace quorvel
