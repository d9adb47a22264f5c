#include "parser/argument_value.hpp"

#include <algorithm>

#include "common/sorting.hpp"

namespace quorvel {

ArgumentValue ArgumentValue::from_json(json::Ref value) {
    ArgumentValue argument;
    argument.kind = Kind::json;
    argument.json = value;
    return argument;
}

ArgumentValue ArgumentValue::string(std::string_view text) {
    ArgumentValue argument;
    argument.kind = Kind::string;
    argument.text = text;
    return argument;
}

ArgumentValue ArgumentValue::object(std::span<const ArgumentMember> members) {
    ArgumentValue argument;
    argument.kind = Kind::object;
    argument.members = members;
    return argument;
}

void write_argument_value(const ArgumentValue& value, std::string& out) {
    using Kind = ArgumentValue::Kind;
    switch (value.kind) {
        case Kind::null:
            out += "null";
            return;
        case Kind::boolean:
            out += value.scalar.boolean ? "true" : "false";
            return;
        case Kind::uint64:
            json::write_uint64(value.scalar.uint64, out);
            return;
        case Kind::int64:
            json::write_int64(value.scalar.int64, out);
            return;
        case Kind::real:
            json::write_real(value.scalar.real, out);
            return;
        case Kind::string:
            json::write_string(value.text, out);
            return;
        case Kind::json:
            json::write(value.json, out);
            return;
        case Kind::list: {
            out.push_back('[');
            for (std::size_t i = 0; i < value.items.size(); ++i) {
                if (i > 0) out.push_back(',');
                write_argument_value(value.items[i], out);
            }
            out.push_back(']');
            return;
        }
        case Kind::object: {
            out.push_back('{');
            for (std::size_t i = 0; i < value.members.size(); ++i) {
                if (i > 0) out.push_back(',');
                json::write_string(value.members[i].name, out);
                out.push_back(':');
                write_argument_value(value.members[i].value, out);
            }
            out.push_back('}');
            return;
        }
    }
}

std::span<const ArgumentMember> sorted_unique_members(std::pmr::vector<ArgumentMember>& members) {
    auto by_name = [](const ArgumentMember& a, const ArgumentMember& b) { return a.name < b.name; };
    if (!std::is_sorted(members.begin(), members.end(), by_name)) sort_stably(members.begin(), members.end(), by_name);
    // Of each run of equal names keep the last, moved to the run's front.
    std::size_t kept = 0;
    for (std::size_t i = 0; i < members.size(); ++i) {
        if (i + 1 < members.size() && members[i + 1].name == members[i].name) continue;
        members[kept++] = members[i];
    }
    members.resize(kept);
    return {members.data(), members.size()};
}

}  // namespace quorvel
