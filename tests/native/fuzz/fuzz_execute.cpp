// Query text (and, after the first NUL byte, variables text) through the
// whole request pipeline with no bridge attached: every input must give
// exactly one well-formed response document.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "catalogue/engine.hpp"
#include "checks.hpp"
#include "execution/execution.hpp"

using namespace quorvel;

namespace {

const EngineRecord& engine() {
    static const EngineRecord record = [] {
        auto built = from_catalogue_json(
            R"([{"server":"files","tools":[{"name":"read_file"},{"name":"write","readOnly":false}]},)"
            R"({"server":"notes","name":"list"}])");
        if (!built) fuzz::broken("example engine builds", built.message());
        return std::move(built).value();
    }();
    return record;
}

void require_response_document(std::string_view text) {
    fuzz::require(text.starts_with("{\"data\":"), "document starts with data", text);
    Result<json::Value> document = json::read(text);
    fuzz::require(document.ok(), "document is JSON", text);
    const json::Value& value = document.value();
    fuzz::require(value.is_object() && value.size() == 2 && value.contains("data") && value.contains("errors"),
                  "document has exactly data and errors", text);
    const json::Value& data = value["data"];
    const json::Value& errors = value["errors"];
    fuzz::require(errors.is_array(), "errors is a list", text);
    if (data.is_object()) {
        fuzz::require(errors.empty(), "a success has no errors", text);
    } else {
        fuzz::require(data.is_null() && errors.size() == 1 && errors[0].is_object() && errors[0].size() == 1 &&
                          errors[0].contains("message") && errors[0]["message"].is_string() &&
                          !errors[0]["message"].get_ref<const std::string&>().empty(),
                      "a failure has null data and one message", text);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view input(reinterpret_cast<const char*>(data), size);
    std::string_view query = input;
    std::optional<std::string_view> variables;
    if (auto split = input.find('\0'); split != std::string_view::npos) {
        query = input.substr(0, split);
        variables = input.substr(split + 1);
    }
    require_response_document(execute_json(engine(), query, variables));
    return 0;
}
