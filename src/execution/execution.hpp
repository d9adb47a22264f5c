// Running one GraphQL request against an engine.
#pragma once

#include <memory_resource>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "bridge/runtime.hpp"
#include "execution/engine.hpp"
#include "execution/response.hpp"

namespace quorvel {

// Hears the engine's answer to one request before any response document is
// written, so a reader that wants only part of a large reply never pays
// for writing and reading all of it again. Exactly one of the two is
// called, once, unless the request was interrupted.
class AnswerReader {
public:
    // The request was refused as a whole; `message` is the one error its
    // response document would carry.
    virtual void refused(std::string_view message) = 0;
    // The value of every top-level field, in the order the query selects
    // them. The values, and the query text their aliases view, live only for
    // this call; a reader may move a reply's document out to keep it.
    virtual void answered(std::pmr::vector<FieldValue>& values) = 0;

protected:
    ~AnswerReader() = default;
};

// execute_json's request, answered to `reader` instead of written. False
// when `interrupt` stopped the wait; the reader then heard nothing.
bool execute_fields(const EngineRecord& engine, std::string_view query,
                    std::optional<std::string_view> variables_json, AnswerReader& reader,
                    InterruptCheck* interrupt = nullptr);

// Blocks the calling thread on the engine's runtime until the document is
// ready, or until `interrupt` (when given) asks to stop.
std::optional<std::string> execute_json(const EngineRecord& engine, std::string_view query,
                                        std::optional<std::string_view> variables_json,
                                        InterruptCheck* interrupt = nullptr);

}  // namespace quorvel
