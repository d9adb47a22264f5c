#include "execution/response.hpp"

#include "json/json.hpp"

namespace quorvel {

std::string graphql_error(std::string_view message) {
    std::string text = "{\"data\":null,\"errors\":[{\"message\":";
    json::write_string(message, text);
    text += "}]}";
    return text;
}

}  // namespace quorvel
