#include "execution/response.hpp"

#include "json/json.hpp"

namespace quorvel {

std::string graphql_error(std::string_view message) {
    std::string text = "{\"data\":null,\"errors\":[{\"message\":";
    json::write_string(message, text);
    text += "}]}";
    return text;
}

void write_tool_error_result(std::string_view message, std::string& out) {
    out += "{\"isError\":true,\"json\":null,\"text\":";
    json::write_string(message, out);
    out.push_back('}');
}

std::string tool_error_result_text(std::string_view message) {
    std::string text;
    write_tool_error_result(message, text);
    return text;
}

}  // namespace quorvel
