// The variables reader: an object (that survives a write/read round trip)
// or one of its two failure forms.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "checks.hpp"
#include "parser/parser.hpp"

using namespace quorvel;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    Result<json::Value> variables = parse_variables(text);
    if (variables) {
        fuzz::require(variables.value().is_object(), "variables are an object", text);
        fuzz::require_round_trip(variables.value());
    } else {
        const std::string& message = variables.message();
        bool not_json = message.starts_with("invalid variables JSON: ") && fuzz::has_position(message);
        fuzz::require(not_json || message == "variables_json must decode to a JSON object", "known failure", message);
    }
    return 0;
}
