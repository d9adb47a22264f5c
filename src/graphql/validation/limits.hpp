// The bounds a request must keep to before any tool runs. They are checked
// by validation (document size also before parsing) and each breach is a
// validation error with the document location where it was found.
#pragma once

#include <cstddef>

#include "graphql/language/ast.hpp"

namespace quorvel::graphql {

struct RequestLimits {
    // Nested selection sets below an operation's own (fragments expanded):
    // `{ a { b } }` has depth 2.
    std::size_t max_depth = 32;
    // Fields the operation selects, every fragment spread expanded where it
    // is used, `__typename` included.
    std::size_t max_selected_fields = 1000;
    // Top-level fields of the operation that call a tool, counting each
    // alias and each fragment expansion that selects one.
    std::size_t max_tool_calls = 100;
    std::size_t max_document_bytes = 1 << 20;
};

// The parser's limits for a request under these limits: the same document
// size, and room to nest a little beyond max_depth so that a too-deep
// selection is refused by validation with its clearer message.
inline ParseLimits parse_limits(const RequestLimits& limits) {
    ParseLimits parse;
    parse.max_document_bytes = limits.max_document_bytes;
    if (limits.max_depth + 8 > parse.max_nesting) {
        parse.max_nesting = limits.max_depth + 8;
    }
    return parse;
}

}  // namespace quorvel::graphql
