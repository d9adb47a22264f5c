// Running a standard GraphQL request: parse, validate, pick the operation,
// coerce variables, lower the selected tool fields to the engine's
// language, run the engine, and complete the answers by the selection sets.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "bridge/runtime.hpp"
#include "execution/engine.hpp"
#include "graphql/language/ast.hpp"
#include "graphql/type/schema.hpp"
#include "graphql/validation/limits.hpp"

namespace quorvel::graphql {

struct Request {
    std::string_view query;
    std::optional<std::string_view> variables_json;
    std::optional<std::string_view> operation_name;
    // False refuses mutation operations (GraphQL over HTTP's GET).
    bool allow_mutations = true;
    // False refuses `__schema` and `__type` anywhere in the document, as a
    // validation error (a server that keeps its schema to itself).
    bool allow_introspection = true;
};

// Documents that parsed and validated, by query text, so a request that
// repeats a query skips both (as servers in front of graphql-js cache
// validated documents). Valid for one schema and one set of limits.
// Bounded: small texts only, and emptied when full.
class DocumentCache {
public:
    static constexpr std::size_t capacity = 512;
    static constexpr std::size_t max_query_bytes = 16 << 10;

    std::shared_ptr<const Document> find(std::string_view query);
    void keep(std::string_view query, std::shared_ptr<const Document> document);

private:
    // Looked up by the request's own text, so a hit copies nothing.
    struct QueryHash {
        using is_transparent = void;
        std::size_t operator()(std::string_view query) const { return std::hash<std::string_view>{}(query); }
    };
    std::mutex mutex_;  // guards entries_; held only to look up or insert
    std::unordered_map<std::string, std::shared_ptr<const Document>, QueryHash, std::equal_to<>> entries_;
};

// The response document as JSON text: {"data":...} with "errors" only when
// there are any; a request refused before execution has no "data". Blocks
// on the engine's runtime while tools run; nothing when `interrupt` stopped
// the wait. A query operation calls all its tools in one engine request, a
// mutation calls its top-level fields one after another in document order.
std::optional<std::string> execute_request(const Schema& schema, const EngineRecord& engine, const Request& request,
                                           const RequestLimits& limits, InterruptCheck* interrupt = nullptr,
                                           DocumentCache* cache = nullptr);

// The tool calls the request would make (aliases and fragments counted, the
// fields @skip/@include drop left out), without calling any: 0 for a request
// refused as a whole. Lets a server reserve room for them before running it.
std::size_t count_tool_calls(const Schema& schema, const Request& request, const RequestLimits& limits,
                             DocumentCache* cache = nullptr);

}  // namespace quorvel::graphql
