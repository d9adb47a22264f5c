// The engine's JSON values and the system's rules for reading and writing
// them.
//
// Text is read into a Document: one block of memory holding every value of
// the text as a small record, freed in one step (the records come from
// yyjson, which nothing outside this folder names). A Ref is a view of one
// value inside a Document and lives as long as the Document.
//
// Writing gives the system's compact form: object members sorted by the
// bytes of their UTF-8 keys, the last of repeated keys winning, integers in
// decimal, floats in their shortest round-trip digits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory_resource>
#include <string>
#include <string_view>

#include "common/result.hpp"

struct yyjson_doc;
struct yyjson_val;

namespace quorvel::json {

// Deepest nesting of arrays and objects that a read accepts.
inline constexpr std::size_t max_read_depth = 127;

enum class Kind : std::uint8_t { null, boolean, uint64, int64, real, string, array, object };

// A view of one value inside a Document.
class Ref {
public:
    Ref() = default;
    explicit Ref(yyjson_val* value) : value_(value) {}

    explicit operator bool() const { return value_ != nullptr; }
    Kind kind() const;
    bool is_array() const { return kind() == Kind::array; }
    bool is_object() const { return kind() == Kind::object; }
    bool is_string() const { return kind() == Kind::string; }
    bool is_boolean() const { return kind() == Kind::boolean; }

    bool boolean() const;
    std::uint64_t uint64() const;
    std::int64_t int64() const;
    double real() const;
    std::string_view string() const;
    // Elements of an array, members of an object.
    std::size_t size() const;

    // Calls f(element) for each element of an array.
    template <class F>
    void for_each_element(F&& f) const;
    // Calls f(key, value) for each member of an object in text order,
    // repeated keys included.
    template <class F>
    void for_each_member(F&& f) const;
    // The value of the last member named `key`, or an empty Ref.
    Ref find(std::string_view key) const;

    yyjson_val* raw() const { return value_; }

private:
    yyjson_val* value_ = nullptr;
};

// One read text. Move-only; freeing it frees every value at once.
class Document {
public:
    Document() = default;
    explicit Document(yyjson_doc* doc) : doc_(doc) {}
    Document(Document&& other) noexcept : doc_(other.doc_) { other.doc_ = nullptr; }
    Document& operator=(Document&& other) noexcept;
    Document(const Document&) = delete;
    Document& operator=(const Document&) = delete;
    ~Document();

    Ref root() const;

private:
    yyjson_doc* doc_ = nullptr;
};

// Reads one complete JSON text: JSON white space around one value and
// nothing else (a NUL character is a character like any other). A fault is
// described as "<what> at line L column C", counted within `text`. Throws
// std::bad_alloc when memory runs out, so that is never taken for a fault of
// the text.
Result<Document> read(std::string_view text);
// The same, with the document's memory taken from `arena`, a resource that
// frees nothing before it is destroyed itself (so it must outlive the
// document).
Result<Document> read(std::string_view text, std::pmr::memory_resource& arena);

// Appends the compact text of a read value.
void write(Ref value, std::string& out);

// Compact text of a string, quotes included. Bytes that are not valid UTF-8
// are written as U+FFFD, so the result is always valid JSON.
void write_string(std::string_view text, std::string& out);

// One string whose text is the concatenation of `parts`, each valid UTF-8,
// written without building the concatenation.
void write_string_of(std::initializer_list<std::string_view> parts, std::string& out);

// Integers in decimal, floats in their shortest round-trip digits, laid out
// as "1.0", "0.001", "1e+16", "1.5e-07".
void write_uint64(std::uint64_t value, std::string& out);
void write_int64(std::int64_t value, std::string& out);
void write_real(double value, std::string& out);

// Whether `text` needs no escaping inside a JSON string: valid UTF-8 with
// no control character, quote or backslash.
bool is_plain_string(std::string_view text);

}  // namespace quorvel::json

#include "json/json_inline.hpp"
