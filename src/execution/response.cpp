#include "execution/response.hpp"

namespace quorvel {

std::string write_response(const GraphqlResponse& response) {
    std::string text = "{\"data\":";
    if (Status written = json::write(response.data, text); !written) {
        // Values reach here only from the reader, the parser and Python
        // strings, all valid UTF-8; anything else is a fault of the engine.
        return graphql_error("internal error writing the response: " + written.message());
    }
    text += ",\"errors\":[";
    for (std::size_t i = 0; i < response.errors.size(); ++i) {
        if (i > 0) text += ',';
        text += "{\"message\":";
        json::write_string(response.errors[i].message, text);
        text += '}';
    }
    text += "]}";
    return text;
}

std::string graphql_success(json::Value data) { return write_response({std::move(data), {}}); }

std::string graphql_error(std::string message) {
    return write_response({json::Value(nullptr), {GraphqlError{std::move(message)}}});
}

}  // namespace quorvel
