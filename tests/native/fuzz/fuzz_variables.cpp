// The variables reader: an object, looked up by name with the last of
// repeated names winning, or one of its two failure forms. Its verdict is
// the JSON reader's, and what the lookup finds survives a write/read round
// trip.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "checks.hpp"
#include "common/unicode.hpp"
#include "parser/parser.hpp"

using namespace quorvel;

namespace {

void check_lookups(const Variables& variables, json::Ref object) {
    object.for_each_member([&](std::string_view name, json::Ref) {
        json::Ref expected = object.find(name);
        json::Ref found = variables.find(name);
        fuzz::require(static_cast<bool>(found), "every variable is found", name);
        fuzz::require(fuzz::written(found) == fuzz::written(expected), "the last of repeated names wins", name);
        // A name one byte longer than a present one is absent unless it is
        // itself present.
        std::string longer = std::string(name) + '\x7f';
        fuzz::require(static_cast<bool>(variables.find(longer)) == static_cast<bool>(object.find(longer)),
                      "only present names are found", longer);
    });
    fuzz::require(!variables.find("\x01 absent \x01") || object.find("\x01 absent \x01"), "absent names are absent");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    // A small first block, so that most inputs also take the arena's path
    // of asking for more memory.
    std::array<std::byte, 256> first_block;
    Arena arena(first_block);
    Result<Variables> variables = parse_variables(text, arena);
    if (unicode::trim(text).empty()) {
        fuzz::require(variables.ok(), "blank variables are an empty object", text);
        return 0;
    }
    Result<json::Document> document = json::read(text);
    if (!document) {
        fuzz::require(!variables.ok() && variables.message() == "invalid variables JSON: " + document.message(),
                      "variables that are not JSON fail with the reader's fault", text);
        fuzz::require(fuzz::has_position(variables.message()), "the fault has a position", variables.message());
        return 0;
    }
    json::Ref root = document.value().root();
    if (!root.is_object()) {
        fuzz::require(!variables.ok() && variables.message() == "variables_json must decode to a JSON object",
                      "variables that are not an object fail", text);
        return 0;
    }
    fuzz::require(variables.ok(), "an object is accepted as variables", text);
    fuzz::require_round_trip(root);
    check_lookups(variables.value(), root);
    return 0;
}
