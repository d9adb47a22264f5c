// Query text (and, after the first NUL byte, variables text) through the
// whole request pipeline with no bridge attached: every input must give
// exactly one well-formed response document, in canonical form.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "execution/engine.hpp"
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
    Result<json::Document> document = json::read(text);
    fuzz::require(document.ok(), "document is JSON", document.ok() ? std::string(text) : document.message());
    json::Ref root = document.value().root();
    fuzz::require(fuzz::require_round_trip(root) == text, "document is in canonical form", text);
    json::Ref data = root.find("data");
    json::Ref errors = root.find("errors");
    fuzz::require(root.is_object() && root.size() == 2 && data && errors, "document has exactly data and errors",
                  text);
    fuzz::require(errors.is_array(), "errors is a list", text);
    if (data.is_object()) {
        fuzz::require(errors.size() == 0, "a success has no errors", text);
        return;
    }
    json::Ref error;
    errors.for_each_element([&](json::Ref element) { error = element; });
    json::Ref message = error && error.is_object() ? error.find("message") : json::Ref();
    fuzz::require(data.kind() == json::Kind::null && errors.size() == 1 && error.is_object() && error.size() == 1 &&
                      message && message.is_string() && !message.string().empty(),
                  "a failure has null data and one message", text);
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
    // Without an interrupt hook a request always ends in a document.
    std::optional<std::string> document = execute_json(engine(), query, variables);
    fuzz::require(document.has_value(), "a request without an interrupt hook gives a document");
    require_response_document(*document);
    return 0;
}
