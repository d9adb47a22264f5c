// Parses and validates GraphQL documents against the typed schema of a
// catalogue, for the language tests when the extension is not at hand and
// for looking at one document by hand:
//   graphql_check catalogue.json < documents   (documents separated by NUL)
//   graphql_check catalogue.json --sdl
//   graphql_check catalogue.json --time N < document   (mean parse+validate time)
// Prints one JSON line per document: {"errors":[{"message":..,"locations":[[line,column],..]},..]}.
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>
#include <string>

#include "graphql/language/ast.hpp"
#include "graphql/type/schema.hpp"
#include "graphql/validation/validate.hpp"

namespace {

void write_string(const std::string& text, std::string& out) {
    out += '"';
    for (const char c : text) {
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            default:
                if (static_cast<unsigned char>(c) < 0x20) {
                    char buffer[8];
                    std::snprintf(buffer, sizeof buffer, "\\u%04x", c);
                    out += buffer;
                } else {
                    out += c;
                }
        }
    }
    out += '"';
}

std::string check(const quorvel::graphql::Schema& schema, const std::string& document_text) {
    using namespace quorvel::graphql;
    const RequestLimits limits;
    std::vector<GraphqlError> errors;
    GraphqlResult<Document> parsed = parse_document(document_text, parse_limits(limits));
    if (!parsed) {
        errors.push_back(std::move(parsed).error());
    } else {
        errors = validate(schema, parsed.value(), limits);
    }
    std::string out = "{\"errors\":[";
    for (std::size_t i = 0; i < errors.size(); ++i) {
        if (i) out += ',';
        out += "{\"message\":";
        write_string(errors[i].message, out);
        out += ",\"locations\":[";
        for (std::size_t j = 0; j < errors[i].locations.size(); ++j) {
            if (j) out += ',';
            out += "[" + std::to_string(errors[i].locations[j].line) + "," +
                   std::to_string(errors[i].locations[j].column) + "]";
        }
        out += "]}";
    }
    return out + "]}";
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::cerr << "usage: graphql_check catalogue.json [--sdl] < documents\n";
        return 2;
    }
    std::ifstream file(argv[1]);
    const std::string catalogue((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    auto schema = quorvel::graphql::Schema::from_catalogue_json(catalogue);
    if (!schema) {
        std::cerr << schema.message() << "\n";
        return 1;
    }
    if (argc > 2 && std::string(argv[2]) == "--sdl") {
        std::cout << schema.value().sdl();
        return 0;
    }
    std::string document;
    if (argc > 3 && std::string(argv[2]) == "--time") {
        const int rounds = std::stoi(argv[3]);
        std::getline(std::cin, document, '\0');
        std::size_t errors = 0;
        const auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < rounds; ++i) {
            auto parsed = quorvel::graphql::parse_document(document);
            if (parsed) errors += quorvel::graphql::validate(schema.value(), parsed.value()).size();
        }
        const std::chrono::duration<double, std::micro> spent = std::chrono::steady_clock::now() - start;
        std::cout << spent.count() / rounds << " us per document, " << errors / rounds << " errors\n";
        return 0;
    }
    while (std::getline(std::cin, document, '\0')) std::cout << check(schema.value(), document) << "\n";
    return 0;
}
