// The JSON layer as it was on nlohmann/json 3.12.0, kept verbatim (but for
// its namespace) only so the differential fuzz target can hold the new
// layer to the old one's verdicts.
//
// The engine's JSON value and the system's rules for reading and writing it.
//
// The value tree is nlohmann::json: objects are std::map (members sorted by
// the byte order of their UTF-8 keys), numbers are held as unsigned 64-bit,
// signed 64-bit or double. Callers build and inspect values through that
// type, but read and write text only through this header, so the reader or
// writer can be swapped without touching them.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "common/result.hpp"

namespace legacy {

using quorvel::Result;
using quorvel::Status;

using Value = nlohmann::json;

// Deepest nesting of arrays and objects that a read accepts.
inline constexpr std::size_t max_read_depth = 127;

// Reads one complete JSON text: JSON white space around one value and
// nothing else. A fault is described as "<what> at line L column C",
// counted within `text`.
Result<Value> read(std::string_view text);

// Appends the compact text of `value` to `out`. Fails only for a string
// that is not valid UTF-8.
Status write(const Value& value, std::string& out);

// Compact text of a string value, quotes included.
void write_string(std::string_view text, std::string& out);

}  // namespace legacy
