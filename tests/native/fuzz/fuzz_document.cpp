// Any text through the typed layer's parser and validation: each must end
// in a document or a syntax error with one location inside the text, and
// validation must answer with located errors, never crash or hang.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "checks.hpp"
#include "graphql/language/ast.hpp"
#include "graphql/type/schema.hpp"
#include "graphql/validation/validate.hpp"

using namespace quorvel;

namespace {

const graphql::Schema& schema() {
    static const graphql::Schema built = [] {
        auto result = graphql::Schema::from_catalogue_json(
            R"([{"server":"files","tools":[)"
            R"({"name":"read_file","readOnly":true,"inputSchema":{"type":"object","properties":)"
            R"({"path":{"type":"string"},"mode":{"enum":["TEXT","RAW"]},"filter":{"type":"object",)"
            R"("properties":{"glob":{"type":"string"}},"required":["glob"]}},"required":["path"]}},)"
            R"({"name":"write","readOnly":false}]}])");
        if (!result) fuzz::broken("example schema builds", result.message());
        return std::move(result).value();
    }();
    return built;
}

std::uint32_t line_count(std::string_view text) {
    std::uint32_t lines = 1;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\n' || (text[i] == '\r' && (i + 1 == text.size() || text[i + 1] != '\n'))) ++lines;
    }
    return lines;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    auto parsed = graphql::parse_document(text);
    if (!parsed) {
        const graphql::GraphqlError& error = parsed.error();
        fuzz::require(error.message.starts_with("Syntax Error: "), "a parse failure is a syntax error", error.message);
        fuzz::require(error.locations.size() == 1, "a syntax error has one location", error.message);
        const graphql::Location at = error.locations[0];
        fuzz::require(at.line >= 1 && at.line <= line_count(text) && at.column >= 1, "the location is in the text",
                      error.message);
        return 0;
    }
    // With the limits turned off too: the limits stop most documents early,
    // and every rule must stay cheap on its own.
    graphql::RequestLimits unlimited;
    unlimited.max_depth = unlimited.max_selected_fields = unlimited.max_tool_calls = (std::size_t{1} << 31) - 1;
    for (const graphql::RequestLimits& limits : {graphql::RequestLimits{}, unlimited}) {
        for (const graphql::GraphqlError& error : graphql::validate(schema(), parsed.value(), limits)) {
            fuzz::require(!error.message.empty(), "an error has a message");
            fuzz::require(!error.locations.empty() || error.message.starts_with("Too many validation errors"),
                          "a validation error has a location", error.message);
        }
    }
    return 0;
}
