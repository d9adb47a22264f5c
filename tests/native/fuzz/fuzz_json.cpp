// The JSON reader and writer alone. An accepted text gives a value whose
// written form reads back to the same value; white space around it changes
// nothing; anything after it, a NUL character included, is refused at the
// byte where it starts; the nesting limit holds exactly. A refused text gets
// a message with a position inside the text. The string and float writers
// give text that reads back to what they were given, and a string written
// in parts is the string written whole.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory_resource>
#include <string>
#include <string_view>

#include "checks.hpp"

using namespace quorvel;

namespace {

// " at line L column C" for the byte at `offset`.
std::string position_of(std::string_view text, std::size_t offset) {
    std::size_t line = 1;
    std::size_t line_start = 0;
    for (std::size_t i = 0; i < offset; ++i) {
        if (text[i] == '\n') {
            ++line;
            line_start = i + 1;
        }
    }
    return " at line " + std::to_string(line) + " column " + std::to_string(offset - line_start + 1);
}

// Whether the message's position names a byte of the text or the place
// just past its end.
bool position_within(std::string_view message, std::string_view text) {
    auto at = message.rfind(" at line ");
    std::string_view position = message.substr(at);
    for (std::size_t offset = 0; offset <= text.size(); ++offset) {
        if (position == position_of(text, offset)) return true;
    }
    return false;
}

std::size_t depth_of(json::Ref value) {
    std::size_t deepest = 0;
    if (value.is_array()) {
        value.for_each_element([&](json::Ref element) { deepest = std::max(deepest, depth_of(element)); });
        return deepest + 1;
    }
    if (value.is_object()) {
        value.for_each_member([&](std::string_view, json::Ref member) { deepest = std::max(deepest, depth_of(member)); });
        return deepest + 1;
    }
    return 0;
}

std::string inside_arrays(std::string_view text, std::size_t levels) {
    return std::string(levels, '[') + std::string(text) + std::string(levels, ']');
}

void check_nesting_limit(std::string_view text, std::size_t depth) {
    if (depth > json::max_read_depth) return;
    std::size_t room = json::max_read_depth - depth;
    std::string deepest = inside_arrays(text, room);
    fuzz::require(json::read(deepest).ok(), "nesting up to the limit is read", deepest);
    std::string too_deep = inside_arrays(text, room + 1);
    Result<json::Document> refused = json::read(too_deep);
    fuzz::require(!refused.ok() && refused.message().starts_with("nesting deeper than 127 levels at line "),
                  "nesting past the limit is refused", too_deep);
}

void check_trailing_content(std::string_view text) {
    for (std::string_view tail : {std::string_view("\0", 1), std::string_view("\0 ", 2), std::string_view(" \0", 2)}) {
        std::string longer = std::string(text) + std::string(tail);
        std::size_t nul = longer.find('\0', text.size());
        Result<json::Document> refused = json::read(longer);
        fuzz::require(!refused.ok(), "a NUL after the value is refused", longer);
        fuzz::require(refused.message().ends_with(position_of(longer, nul)), "the refusal points at the NUL",
                      refused.message());
    }
    std::string doubled = std::string(text) + " " + std::string(text);
    fuzz::require(!json::read(doubled).ok(), "a second value is refused", doubled);
}

void check_accepted(std::string_view text, const json::Document& document) {
    std::string canonical = fuzz::require_round_trip(document.root());
    std::string spaced = " \t\r\n" + std::string(text) + "\n\r\t ";
    Result<json::Document> again = json::read(spaced);
    fuzz::require(again.ok() && fuzz::written(again.value().root()) == canonical, "white space changes nothing",
                  spaced);
    check_trailing_content(text);
    check_nesting_limit(text, depth_of(document.root()));
}

void check_refused(std::string_view text, const std::string& message) {
    fuzz::require(fuzz::has_position(message), "a fault has a position", message);
    fuzz::require(position_within(message, text), "the position lies within the text", message);
    // A fault message quotes nothing of the text that could be malformed.
    fuzz::require(fuzz::is_valid_utf8(message), "a fault message is valid UTF-8", message);
}

void check_string_writer(std::string_view bytes) {
    std::string text;
    json::write_string(bytes, text);
    Result<json::Document> read = json::read(text);
    fuzz::require(read.ok() && read.value().root().is_string(), "a written string reads back", text);
    bool valid = fuzz::is_valid_utf8(bytes);
    if (valid) fuzz::require(read.value().root().string() == bytes, "a valid string keeps its bytes", text);
    if (valid) {
        // Written in two parts split at a character boundary, the string is
        // the same.
        std::size_t split = bytes.size() / 2;
        while (split < bytes.size() && (static_cast<unsigned char>(bytes[split]) & 0xC0) == 0x80) ++split;
        std::string in_parts;
        json::write_string_of({bytes.substr(0, split), bytes.substr(split)}, in_parts);
        fuzz::require(in_parts == text, "a string written in parts is the same string", in_parts);
    }
    if (json::is_plain_string(bytes)) {
        fuzz::require(text == "\"" + std::string(bytes) + "\"", "a plain string is written as it is", text);
    }
}

void check_real_writer(std::string_view bytes) {
    for (std::size_t at = 0; at + sizeof(double) <= bytes.size() && at < 64; at += sizeof(double)) {
        double value;
        std::memcpy(&value, bytes.data() + at, sizeof value);
        if (!std::isfinite(value)) continue;
        std::string text;
        json::write_real(value, text);
        Result<json::Document> read = json::read(text);
        fuzz::require(read.ok() && read.value().root().kind() == json::Kind::real, "a written float reads back",
                      text);
        double again = read.value().root().real();
        fuzz::require(again == value && std::signbit(again) == std::signbit(value), "a float keeps its value",
                      text);
    }
}

}  // namespace

// Reading into an arena gives what reading on the heap gives.
void check_arena_read(std::string_view text, const Result<json::Document>& on_heap) {
    std::pmr::monotonic_buffer_resource arena;
    Result<json::Document> in_arena = json::read(text, arena);
    fuzz::require(in_arena.ok() == on_heap.ok(), "an arena read has the same verdict", text);
    if (!in_arena) {
        fuzz::require(in_arena.message() == on_heap.message(), "an arena read has the same fault", in_arena.message());
        return;
    }
    fuzz::require(fuzz::written(in_arena.value().root()) == fuzz::written(on_heap.value().root()),
                  "an arena read has the same value", text);
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    Result<json::Document> document = json::read(text);
    if (document) {
        check_accepted(text, document.value());
    } else {
        check_refused(text, document.message());
    }
    check_arena_read(text, document);
    check_string_writer(text);
    check_real_writer(text);
    return 0;
}
