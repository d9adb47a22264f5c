#include "legacy_json.hpp"

#include <vector>

#include "common/unicode.hpp"

namespace legacy {
namespace {

using namespace quorvel;

using nlohmann::json;

// Builds the value tree from SAX events and refuses nesting beyond
// max_read_depth before the tree grows, so a hostile text cannot make the
// reader build (or anything later recurse over) a deep tree.
class TreeBuilder {
public:
    explicit TreeBuilder(Value& root) : root_(root) {}

    bool null() { return put(Value(nullptr)); }
    bool boolean(bool v) { return put(Value(v)); }
    bool number_integer(json::number_integer_t v) { return put(Value(v)); }
    bool number_unsigned(json::number_unsigned_t v) { return put(Value(v)); }
    bool number_float(json::number_float_t v, const json::string_t&) { return put(Value(v)); }
    bool string(json::string_t& v) { return put(Value(std::move(v))); }
    bool binary(json::binary_t&) { return false; }

    bool start_object(std::size_t) { return open(Value::object()); }
    bool start_array(std::size_t) { return open(Value::array()); }
    bool end_object() { return close(); }
    bool end_array() { return close(); }

    bool key(json::string_t& k) {
        // operator[] finds an existing member, so a repeated key keeps its
        // last value.
        member_slot_ = &(*open_containers_.back())[k];
        return true;
    }

    bool parse_error(std::size_t position, const std::string&, const nlohmann::detail::exception& ex) {
        error_position_ = position;
        error_text_ = ex.what();
        return false;
    }

    bool depth_exceeded() const { return depth_exceeded_; }
    std::size_t error_position() const { return error_position_; }
    const std::string& error_text() const { return error_text_; }

private:
    Value* place(Value&& v) {
        if (open_containers_.empty()) {
            root_ = std::move(v);
            return &root_;
        }
        Value& parent = *open_containers_.back();
        if (parent.is_array()) {
            parent.push_back(std::move(v));
            return &parent.back();
        }
        *member_slot_ = std::move(v);
        return member_slot_;
    }

    bool put(Value&& v) {
        place(std::move(v));
        return true;
    }

    bool open(Value&& container) {
        if (open_containers_.size() >= max_read_depth) {
            depth_exceeded_ = true;
            return false;
        }
        open_containers_.push_back(place(std::move(container)));
        return true;
    }

    bool close() {
        open_containers_.pop_back();
        return true;
    }

    Value& root_;
    std::vector<Value*> open_containers_;
    Value* member_slot_ = nullptr;
    bool depth_exceeded_ = false;
    std::size_t error_position_ = 0;
    std::string error_text_;
};

// " at line L column C" for the byte at `index` (0-based), both 1-based.
std::string position_suffix(std::string_view text, std::size_t index) {
    if (index > text.size()) index = text.size();
    std::size_t line = 1;
    std::size_t line_start = 0;
    for (std::size_t i = 0; i < index; ++i) {
        if (text[i] == '\n') {
            ++line;
            line_start = i + 1;
        }
    }
    return " at line " + std::to_string(line) + " column " + std::to_string(index - line_start + 1);
}

// The library's message without its "[json.exception...] " tag and its own
// "parse error at line L, column C: " lead-in; the position is added back in
// the system's own form.
std::string describe_library_error(const std::string& what) {
    std::string_view text = what;
    if (auto tag_end = text.find("] "); !text.empty() && text.front() == '[' && tag_end != std::string_view::npos) {
        text.remove_prefix(tag_end + 2);
    }
    if (text.starts_with("parse error")) {
        if (auto lead_in_end = text.find(": "); lead_in_end != std::string_view::npos) {
            text.remove_prefix(lead_in_end + 2);
        }
    }
    // The library quotes what it had read, which may end inside a
    // multi-byte character.
    return unicode::to_valid_utf8(text);
}

// Offset of the first bracket that opens nesting level max_read_depth + 1.
// Only consulted after the reader stopped there, so everything before it is
// well-formed JSON and string boundaries are found correctly.
std::size_t too_deep_offset(std::string_view text) {
    std::size_t depth = 0;
    bool in_string = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (in_string) {
            if (c == '\\') ++i;
            else if (c == '"') in_string = false;
        } else if (c == '"') {
            in_string = true;
        } else if (c == '[' || c == '{') {
            if (++depth > max_read_depth) return i;
        } else if (c == ']' || c == '}') {
            --depth;
        }
    }
    return text.size();
}

constexpr std::string_view byte_order_mark = "\xEF\xBB\xBF";

}  // namespace

Result<Value> read(std::string_view text) {
    // The library skips a leading byte-order mark; JSON does not allow one.
    if (text.starts_with(byte_order_mark)) {
        return fail("syntax error while parsing value - unexpected byte-order mark" + position_suffix(text, 0));
    }
    Value root;
    TreeBuilder builder(root);
    bool complete = false;
    try {
        complete = Value::sax_parse(text.begin(), text.end(), &builder, nlohmann::json::input_format_t::json,
                                    /*strict=*/true, /*ignore_comments=*/false);
    } catch (const std::exception& ex) {
        return fail(std::string("JSON reader failed: ") + ex.what() + position_suffix(text, 0));
    }
    if (complete) return root;
    if (builder.depth_exceeded()) {
        return fail("nesting deeper than " + std::to_string(max_read_depth) + " levels" +
                    position_suffix(text, too_deep_offset(text)));
    }
    // The library reports how many bytes it had read, the faulty one included.
    std::size_t position = builder.error_position();
    return fail(describe_library_error(builder.error_text()) + position_suffix(text, position == 0 ? 0 : position - 1));
}

Status write(const Value& value, std::string& out) {
    try {
        nlohmann::detail::serializer<Value> serializer(nlohmann::detail::output_adapter<char>(out), ' ',
                                                      nlohmann::json::error_handler_t::strict);
        serializer.dump(value, /*pretty_print=*/false, /*ensure_ascii=*/false, /*indent_step=*/0);
    } catch (const std::exception& ex) {
        return fail(describe_library_error(ex.what()));
    }
    return done();
}

void write_string(std::string_view text, std::string& out) {
    Value string_value(std::string{text});
    // A string from a Python str or from the reader is valid UTF-8; the
    // replace handler keeps this total for anything else.
    nlohmann::detail::serializer<Value> serializer(nlohmann::detail::output_adapter<char>(out), ' ',
                                                  nlohmann::json::error_handler_t::replace);
    serializer.dump(string_value, false, false, 0);
}

}  // namespace legacy
