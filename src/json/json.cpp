#include "json/json.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstring>
#include <new>
#include <utility>
#include <vector>

#include "common/unicode.hpp"

namespace quorvel::json {
namespace {

// " at line L column C" for the byte at `index` (0-based), both 1-based.
std::string position_suffix(std::string_view text, std::size_t index) {
    index = std::min(index, text.size());
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

// Offset of the first bracket that opens nesting level max_read_depth + 1
// within `text`, or npos. Only used on text the reader has accepted up to
// its end, so string boundaries are found correctly.
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
        } else if ((c == ']' || c == '}') && depth > 0) {
            --depth;
        }
    }
    return std::string_view::npos;
}

// Fewer opening brackets than the limit cannot nest past it; counting them
// is far cheaper than walking the values.
bool may_nest_too_deep(std::string_view text) {
    std::size_t opening = 0;
    for (char c : text) opening += static_cast<std::size_t>(c == '[') + static_cast<std::size_t>(c == '{');
    return opening > max_read_depth;
}

// Values of a read document lie in one array in text order, each container
// followed by its contents, so nesting is measured in one pass with a stack
// of where each open container ends.
bool nests_too_deep(yyjson_val* root) {
    std::array<yyjson_val*, max_read_depth> open_ends;
    std::size_t depth = 0;
    yyjson_val* end = unsafe_yyjson_get_next(root);
    for (yyjson_val* value = root; value < end; ++value) {
        while (depth > 0 && value >= open_ends[depth - 1]) --depth;
        if (unsafe_yyjson_is_ctn(value)) {
            if (depth == max_read_depth) return true;
            open_ends[depth++] = unsafe_yyjson_get_next(value);
        }
    }
    return false;
}

std::string depth_failure(std::string_view text, std::size_t offset) {
    return "nesting deeper than " + std::to_string(max_read_depth) + " levels" + position_suffix(text, offset);
}

// ---- writing ---------------------------------------------------------------

constexpr std::array<std::uint8_t, 256> escape_table = [] {
    std::array<std::uint8_t, 256> table{};
    for (int c = 0; c < 0x20; ++c) table[c] = 1;
    table['"'] = 1;
    table['\\'] = 1;
    return table;
}();

// Whether any of the 8 bytes needs escaping: a control byte, '"' or '\\'.
inline bool word_needs_escape(std::uint64_t word) {
    constexpr std::uint64_t ones = 0x0101010101010101ULL;
    constexpr std::uint64_t highs = 0x8080808080808080ULL;
    auto has_zero = [](std::uint64_t v) { return (v - ones) & ~v & highs; };
    std::uint64_t below_space = (word - ones * 0x20) & ~word & highs;
    return (below_space | has_zero(word ^ (ones * '"')) | has_zero(word ^ (ones * '\\'))) != 0;
}

void append_escape(unsigned char c, std::string& out) {
    switch (c) {
        case '"': out += "\\\""; return;
        case '\\': out += "\\\\"; return;
        case '\b': out += "\\b"; return;
        case '\f': out += "\\f"; return;
        case '\n': out += "\\n"; return;
        case '\r': out += "\\r"; return;
        case '\t': out += "\\t"; return;
        default: {
            static constexpr char hex[] = "0123456789abcdef";
            char text[6] = {'\\', 'u', '0', '0', hex[c >> 4], hex[c & 0xF]};
            out.append(text, 6);
        }
    }
}

// Writes valid UTF-8 text as a JSON string.
void write_valid_string(std::string_view text, std::string& out) {
    out.push_back('"');
    const char* p = text.data();
    const char* const end = p + text.size();
    const char* run = p;
    while (p < end) {
        if (end - p >= 8) {
            std::uint64_t word;
            std::memcpy(&word, p, 8);
            if (!word_needs_escape(word)) {
                p += 8;
                continue;
            }
        }
        auto c = static_cast<unsigned char>(*p);
        if (escape_table[c]) {
            out.append(run, static_cast<std::size_t>(p - run));
            append_escape(c, out);
            run = p + 1;
        }
        ++p;
    }
    out.append(run, static_cast<std::size_t>(end - run));
    out.push_back('"');
}

bool is_valid_utf8(std::string_view text) {
    for (std::size_t i = 0; i < text.size();) {
        if (static_cast<unsigned char>(text[i]) < 0x80) {
            ++i;
            continue;
        }
        std::size_t length = 0;
        if (unicode::decode_at(text, i, length) == 0xFFFD && length == 1) return false;
        i += length;
    }
    return true;
}

std::string replace_invalid_utf8(std::string_view text) {
    std::string valid;
    valid.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        std::size_t length = 0;
        char32_t c = unicode::decode_at(text, i, length);
        if (c == 0xFFFD && length == 1) unicode::append_utf8(0xFFFD, valid);
        else valid.append(text.substr(i, length));
        i += length;
    }
    return valid;
}

// Writes the exponent as a sign and at least two digits.
char* append_exponent(char* at, int exponent) {
    *at++ = exponent < 0 ? '-' : '+';
    unsigned magnitude = static_cast<unsigned>(exponent < 0 ? -exponent : exponent);
    if (magnitude >= 100) {
        *at++ = static_cast<char>('0' + magnitude / 100);
        magnitude %= 100;
    }
    *at++ = static_cast<char>('0' + magnitude / 10);
    *at++ = static_cast<char>('0' + magnitude % 10);
    return at;
}

// Lays out `count` significant digits standing for digits * 10^exponent:
// plain when the value lies in [1e-4, 1e15), else as d.ddde+XX.
char* lay_out_digits(char* at, const char* digits, int count, int exponent) {
    constexpr int min_exponent = -4;
    constexpr int max_exponent = 15;
    const int point = count + exponent;  // digits before the decimal point
    if (count <= point && point <= max_exponent) {
        std::memcpy(at, digits, static_cast<std::size_t>(count));
        std::memset(at + count, '0', static_cast<std::size_t>(point - count));
        at += point;
        *at++ = '.';
        *at++ = '0';
        return at;
    }
    if (0 < point && point <= max_exponent) {
        std::memcpy(at, digits, static_cast<std::size_t>(point));
        at[point] = '.';
        std::memcpy(at + point + 1, digits + point, static_cast<std::size_t>(count - point));
        return at + count + 1;
    }
    if (min_exponent < point && point <= 0) {
        *at++ = '0';
        *at++ = '.';
        std::memset(at, '0', static_cast<std::size_t>(-point));
        at += -point;
        std::memcpy(at, digits, static_cast<std::size_t>(count));
        return at + count;
    }
    *at++ = digits[0];
    if (count > 1) {
        *at++ = '.';
        std::memcpy(at, digits + 1, static_cast<std::size_t>(count - 1));
        at += count - 1;
    }
    *at++ = 'e';
    return append_exponent(at, point - 1);
}

class Writer {
public:
    explicit Writer(std::string& out) : out_(out) {}

    void value(yyjson_val* value) {
        switch (unsafe_yyjson_get_type(value)) {
            case YYJSON_TYPE_NULL:
                out_ += "null";
                return;
            case YYJSON_TYPE_BOOL:
                out_ += unsafe_yyjson_get_bool(value) ? "true" : "false";
                return;
            case YYJSON_TYPE_NUM:
                number(value);
                return;
            case YYJSON_TYPE_STR:
                write_valid_string(Ref(value).string(), out_);
                return;
            case YYJSON_TYPE_ARR:
                array(value);
                return;
            case YYJSON_TYPE_OBJ:
                object(value);
                return;
            default:
                out_ += "null";
        }
    }

private:
    void number(yyjson_val* value) {
        switch (unsafe_yyjson_get_subtype(value)) {
            case YYJSON_SUBTYPE_UINT:
                write_uint64(unsafe_yyjson_get_uint(value), out_);
                return;
            case YYJSON_SUBTYPE_SINT:
                write_int64(unsafe_yyjson_get_sint(value), out_);
                return;
            default:
                write_real(unsafe_yyjson_get_real(value), out_);
        }
    }

    void array(yyjson_val* value) {
        out_.push_back('[');
        bool first = true;
        Ref(value).for_each_element([&](Ref element) {
            if (!first) out_.push_back(',');
            first = false;
            this->value(element.raw());
        });
        out_.push_back(']');
    }

    void member(std::string_view key, yyjson_val* value, bool first) {
        if (!first) out_.push_back(',');
        write_valid_string(key, out_);
        out_.push_back(':');
        this->value(value);
    }

    static bool keys_strictly_ascending(Ref object) {
        bool ascending = true;
        std::string_view previous;
        bool first = true;
        object.for_each_member([&](std::string_view key, Ref) {
            if (!first && !(previous < key)) ascending = false;
            previous = key;
            first = false;
        });
        return ascending;
    }

    void object(yyjson_val* value) {
        Ref object(value);
        out_.push_back('{');
        if (keys_strictly_ascending(object)) {
            bool first = true;
            object.for_each_member([&](std::string_view key, Ref member_value) {
                member(key, member_value.raw(), first);
                first = false;
            });
        } else {
            write_sorted_members(object);
        }
        out_.push_back('}');
    }

    // Members sorted by key; of repeated keys the last in the text wins.
    void write_sorted_members(Ref object) {
        std::vector<std::pair<std::string_view, yyjson_val*>> members;
        members.reserve(object.size());
        object.for_each_member([&](std::string_view key, Ref member_value) { members.emplace_back(key, member_value.raw()); });
        std::stable_sort(members.begin(), members.end(),
                         [](const auto& a, const auto& b) { return a.first < b.first; });
        bool first = true;
        for (std::size_t i = 0; i < members.size(); ++i) {
            if (i + 1 < members.size() && members[i + 1].first == members[i].first) continue;
            member(members[i].first, members[i].second, first);
            first = false;
        }
    }

    std::string& out_;
};

}  // namespace

Document& Document::operator=(Document&& other) noexcept {
    if (this != &other) {
        yyjson_doc* old = std::exchange(doc_, std::exchange(other.doc_, nullptr));
        if (old != nullptr) yyjson_doc_free(old);
    }
    return *this;
}

Document::~Document() {
    if (doc_ != nullptr) yyjson_doc_free(doc_);
}

Ref Document::root() const { return Ref(yyjson_doc_get_root(doc_)); }

Result<Document> read(std::string_view text) {
    yyjson_read_err error{};
    // Without the in-situ flag the reader copies the text and never writes
    // to it.
    yyjson_doc* doc = yyjson_read_opts(const_cast<char*>(text.data()), text.size(), YYJSON_READ_NOFLAG, nullptr, &error);
    if (doc == nullptr) {
        if (error.code == YYJSON_READ_ERROR_MEMORY_ALLOCATION) throw std::bad_alloc();
        // Nesting past the limit ahead of the fault is what a reader that
        // stops at the limit would have reported first.
        std::size_t deep = too_deep_offset(text.substr(0, std::min(error.pos, text.size())));
        if (deep != std::string_view::npos) return fail(depth_failure(text, deep));
        return fail(std::string(error.msg) + position_suffix(text, error.pos));
    }
    Document document(doc);
    if (may_nest_too_deep(text) && nests_too_deep(document.root().raw())) {
        return fail(depth_failure(text, too_deep_offset(text)));
    }
    return document;
}

void write(Ref value, std::string& out) { Writer(out).value(value.raw()); }

void write_string(std::string_view text, std::string& out) {
    if (is_valid_utf8(text)) {
        write_valid_string(text, out);
    } else {
        write_valid_string(replace_invalid_utf8(text), out);
    }
}

void write_uint64(std::uint64_t value, std::string& out) {
    char buffer[24];
    auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value);
    out.append(buffer, static_cast<std::size_t>(end - buffer));
}

void write_int64(std::int64_t value, std::string& out) {
    char buffer[24];
    auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value);
    out.append(buffer, static_cast<std::size_t>(end - buffer));
}

void write_real(double value, std::string& out) {
    char buffer[64];
    char* at = buffer;
    if (std::signbit(value)) {
        *at++ = '-';
        value = -value;
    }
    if (value == 0) {
        out.append(buffer, static_cast<std::size_t>(at - buffer));
        out += "0.0";
        return;
    }
    // Shortest round-trip digits in the form d.ddde±x.
    char scientific[40];
    auto [end, ec] = std::to_chars(scientific, scientific + sizeof scientific, value, std::chars_format::scientific);
    char digits[24];
    int count = 0;
    const char* p = scientific;
    for (; p < end && *p != 'e'; ++p) {
        if (*p != '.') digits[count++] = *p;
    }
    int exponent = 0;
    std::from_chars(p + 1 + (p[1] == '+' ? 1 : 0), end, exponent);
    at = lay_out_digits(at, digits, count, exponent - (count - 1));
    out.append(buffer, static_cast<std::size_t>(at - buffer));
}

bool is_plain_string(std::string_view text) {
    for (char c : text) {
        if (escape_table[static_cast<unsigned char>(c)]) return false;
    }
    return is_valid_utf8(text);
}

}  // namespace quorvel::json
