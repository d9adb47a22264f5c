#include "json/json.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <new>
#include <utility>
#include <vector>

#include <sys/mman.h>

#include "common/sorting.hpp"
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

// ---- fault positions -------------------------------------------------------
//
// A fault is reported at the last byte a token-at-a-time reader had read when
// it gave up, as the engine's reader did before it used yyjson: users and
// logs rely on those positions. yyjson points at the start of the bad token
// (or of the bad escape or UTF-8 sequence) instead, so on the error path the
// text is lexed again, one token at a time, to find where that reader
// stopped.

// How far the lexer got on one token. `last` is the last byte read, or
// text.size() where it read past the end.
struct TokenStop {
    std::size_t last = 0;
    bool malformed = false;    // the token itself is refused
    bool end_of_text = false;  // the end of the text, or a NUL, which that reader took for it
};

class TokenLexer {
public:
    explicit TokenLexer(std::string_view text) : text_(text) {}

    TokenStop next() {
        if (next_ == 0 && byte(0) == 0xEF) {
            // A leading 0xEF was taken for the start of a byte order mark and
            // read on as far as it matched; a whole mark is refused at once.
            if (byte(1) != 0xBB) return malformed_at(1);
            return malformed_at(byte(2) != 0xBF ? 2 : 0);
        }
        std::size_t at = next_;
        while (byte(at) == ' ' || byte(at) == '\t' || byte(at) == '\n' || byte(at) == '\r') ++at;
        int c = byte(at);
        switch (c) {
            case '[': case ']': case '{': case '}': case ':': case ',':
                return ends_at(at);
            case 't': return literal(at, "true");
            case 'f': return literal(at, "false");
            case 'n': return literal(at, "null");
            case '"': return string(at);
            case 0: case end:
                return {at, false, true};
            default:
                if (c == '-' || is_digit(c)) return number(at);
                return malformed_at(at);
        }
    }

private:
    static constexpr int end = -1;

    int byte(std::size_t i) const { return i < text_.size() ? static_cast<unsigned char>(text_[i]) : end; }
    static bool is_digit(int c) { return c >= '0' && c <= '9'; }
    static bool is_hex(int c) { return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }
    static bool is_simple_escape(int c) {
        return c == '"' || c == '\\' || c == '/' || c == 'b' || c == 'f' || c == 'n' || c == 'r' || c == 't';
    }

    TokenStop ends_at(std::size_t last) {
        next_ = last + 1;
        return {last, false, false};
    }
    static TokenStop malformed_at(std::size_t i) { return {i, true, false}; }

    // Read byte by byte up to the first that differs.
    TokenStop literal(std::size_t at, std::string_view word) {
        for (std::size_t k = 1; k < word.size(); ++k) {
            if (byte(at + k) != word[k]) return malformed_at(at + k);
        }
        return ends_at(at + word.size() - 1);
    }

    // The byte after a number is looked at and given back, so a number ends
    // at its last digit; a missing digit is reported where it was expected.
    TokenStop number(std::size_t at) {
        std::size_t i = at + (byte(at) == '-');
        if (!is_digit(byte(i))) return malformed_at(i);
        if (byte(i++) != '0') {
            while (is_digit(byte(i))) ++i;
        }
        if (byte(i) == '.') {
            if (!is_digit(byte(++i))) return malformed_at(i);
            while (is_digit(byte(i))) ++i;
        }
        if (byte(i) == 'e' || byte(i) == 'E') {
            if (byte(i + 1) == '+' || byte(i + 1) == '-') ++i;
            if (!is_digit(byte(++i))) return malformed_at(i);
            while (is_digit(byte(i))) ++i;
        }
        return ends_at(i - 1);
    }

    // Offset of the first of four bytes after `at` that is not a hex digit,
    // or npos with the code unit they spell.
    std::size_t hex4(std::size_t at, unsigned& unit) const {
        unit = 0;
        for (std::size_t i = at; i < at + 4; ++i) {
            int c = byte(i);
            if (!is_hex(c)) return i;
            unit = unit * 16 + static_cast<unsigned>(is_digit(c) ? c - '0' : (c | 0x20) - 'a' + 10);
        }
        return std::string_view::npos;
    }

    // A \u escape starting at `at` (the backslash). A high surrogate must be
    // followed at once by "\u" and a low one; each byte was read only as far
    // as it still could be.
    TokenStop unicode_escape(std::size_t at, std::size_t& after) const {
        unsigned unit = 0;
        if (std::size_t bad = hex4(at + 2, unit); bad != std::string_view::npos) return malformed_at(bad);
        if (unit >= 0xDC00 && unit <= 0xDFFF) return malformed_at(at + 5);
        after = at + 6;
        if (unit < 0xD800 || unit > 0xDBFF) return {};
        if (byte(after) != '\\') return malformed_at(after);
        if (byte(after + 1) != 'u') return malformed_at(after + 1);
        if (std::size_t bad = hex4(after + 2, unit); bad != std::string_view::npos) return malformed_at(bad);
        if (unit < 0xDC00 || unit > 0xDFFF) return malformed_at(after + 5);
        after += 6;
        return {};
    }

    // Well-formed UTF-8 is checked byte by byte against the ranges its
    // first byte allows, so a bad sequence is reported at its first byte out
    // of range.
    TokenStop utf8_sequence(std::size_t at, std::size_t& after) const {
        struct Range {
            int low, high;
        };
        constexpr Range tail{0x80, 0xBF};
        std::array<Range, 3> ranges{tail, tail, tail};
        std::size_t length = 0;
        int lead = byte(at);
        if (lead >= 0xC2 && lead <= 0xDF) length = 1;
        else if (lead >= 0xE0 && lead <= 0xEF) length = 2;
        else if (lead >= 0xF0 && lead <= 0xF4) length = 3;
        else return malformed_at(at);
        if (lead == 0xE0) ranges[0] = {0xA0, 0xBF};
        if (lead == 0xED) ranges[0] = {0x80, 0x9F};
        if (lead == 0xF0) ranges[0] = {0x90, 0xBF};
        if (lead == 0xF4) ranges[0] = {0x80, 0x8F};
        for (std::size_t k = 0; k < length; ++k) {
            int c = byte(at + 1 + k);
            if (c < ranges[k].low || c > ranges[k].high) return malformed_at(at + 1 + k);
        }
        after = at + 1 + length;
        return {};
    }

    TokenStop string(std::size_t at) {
        std::size_t i = at + 1;
        while (true) {
            int c = byte(i);
            if (c == '"') return ends_at(i);
            if (c == end || c < 0x20) return malformed_at(i);
            if (c == '\\') {
                int escaped = byte(i + 1);
                if (escaped == 'u') {
                    if (TokenStop stop = unicode_escape(i, i); stop.malformed) return stop;
                } else if (is_simple_escape(escaped)) {
                    i += 2;
                } else {
                    return malformed_at(i + 1);
                }
            } else if (c < 0x80) {
                ++i;
            } else if (TokenStop stop = utf8_sequence(i, i); stop.malformed) {
                return stop;
            }
        }
    }

    std::string_view text_;
    std::size_t next_ = 0;
};

// Where the reader this engine used to have would report the fault yyjson
// found at `error.pos`: the grammar is the same, so it failed on the token
// yyjson stopped in, at the last byte it had read of it (or earlier, on a
// malformed token). A leading zero was not a fault of its own to it: it
// read the zero as a number and failed on the token after it.
std::size_t fault_offset(std::string_view text, const yyjson_read_err& error) {
    std::string_view what = error.msg;
    bool trailing_comma = what == "trailing comma is not allowed";
    bool leading_zero = what == "number with leading zero is not allowed";
    TokenLexer lexer(text);
    bool after_comma = false;
    while (true) {
        TokenStop stop = lexer.next();
        if (stop.malformed) return stop.last;
        // It took a NUL for the end of the text; text after one is refused
        // at the NUL.
        if (stop.end_of_text) return std::max(stop.last, error.pos);
        char last = text[stop.last];
        if (trailing_comma) {
            // The fault is the bracket after the first comma followed by
            // one. yyjson's offset is no guide: it searches back from the
            // bracket for the comma and can land on one after it.
            if (after_comma && (last == ']' || last == '}')) return stop.last;
            after_comma = last == ',';
        } else if (stop.last >= error.pos) {
            if (!leading_zero) return stop.last;
            leading_zero = false;
        }
    }
}

// ---- writing ---------------------------------------------------------------

// Appends to a std::string through a raw cursor: the string is grown ahead
// in large steps and trimmed to what was written at the end, so writing a
// token costs a bounds check and a copy rather than a call into
// std::string.
class TextOut {
public:
    // `step` is the least the string grows by at a time: large for whole
    // documents, none for a single string.
    TextOut(std::string& text, std::size_t step) : text_(text), used_(text.size()), step_(step) {}
    ~TextOut() { text_.resize(used_); }
    TextOut(const TextOut&) = delete;
    TextOut& operator=(const TextOut&) = delete;

    // Room for `bytes` more; the pointer stays valid until the next reserve.
    char* reserve(std::size_t bytes) {
        if (text_.size() - used_ < bytes) grow(bytes);
        return text_.data() + used_;
    }
    void advance_to(const char* end) { used_ = static_cast<std::size_t>(end - text_.data()); }
    void put(char c) { *reserve(1) = c, ++used_; }
    void put(std::string_view text) {
        std::memcpy(reserve(text.size()), text.data(), text.size());
        used_ += text.size();
    }

private:
    void grow(std::size_t bytes) { text_.resize(used_ + std::max(bytes, step_)); }

    std::string& text_;
    std::size_t used_;
    std::size_t step_;
};

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

char* put_escape(unsigned char c, char* at) {
    static constexpr char hex[] = "0123456789abcdef";
    *at++ = '\\';
    switch (c) {
        case '"': *at++ = '"'; break;
        case '\\': *at++ = '\\'; break;
        case '\b': *at++ = 'b'; break;
        case '\f': *at++ = 'f'; break;
        case '\n': *at++ = 'n'; break;
        case '\r': *at++ = 'r'; break;
        case '\t': *at++ = 't'; break;
        default:
            *at++ = 'u';
            *at++ = '0';
            *at++ = '0';
            *at++ = hex[c >> 4];
            *at++ = hex[c & 0xF];
    }
    return at;
}

// Writes valid UTF-8 text as the inside of a JSON string. Runs without
// anything to escape are found 8 bytes at a time and copied whole; room is
// taken run by run, as much as the run and one escape need.
void write_valid_content(std::string_view text, TextOut& out) {
    const char* p = text.data();
    const char* const end = p + text.size();
    while (p < end) {
        const char* run = p;
        while (end - p >= 8) {
            std::uint64_t word;
            std::memcpy(&word, p, 8);
            if (word_needs_escape(word)) break;
            p += 8;
        }
        while (p < end && !escape_table[static_cast<unsigned char>(*p)]) ++p;
        // Short runs (most keys and values) are copied inline rather than
        // through a call into memcpy.
        std::size_t length = static_cast<std::size_t>(p - run);
        char* at = out.reserve(length + 6);
        if (length <= 16) {
            for (std::size_t i = 0; i < length; ++i) at[i] = run[i];
        } else {
            std::memcpy(at, run, length);
        }
        at += length;
        if (p < end) at = put_escape(static_cast<unsigned char>(*p++), at);
        out.advance_to(at);
    }
}

void write_valid_string(std::string_view text, TextOut& out) {
    out.put('"');
    write_valid_content(text, out);
    out.put('"');
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
char* put_exponent(char* at, int exponent) {
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
    return put_exponent(at, point - 1);
}

constexpr std::size_t longest_number = 32;

char* put_real(double value, char* at) {
    if (std::signbit(value)) {
        *at++ = '-';
        value = -value;
    }
    if (value == 0) {
        std::memcpy(at, "0.0", 3);
        return at + 3;
    }
    // Shortest round-trip digits in the form d[.ddd]e±x.
    char scientific[longest_number];
    char* end = std::to_chars(scientific, scientific + sizeof scientific, value, std::chars_format::scientific).ptr;
    char digits[24];
    digits[0] = scientific[0];
    int count = 1;
    const char* p = scientific + 1;
    if (*p == '.') {
        for (++p; *p != 'e'; ++p) digits[count++] = *p;
    }
    bool negative_exponent = p[1] == '-';
    int exponent = 0;
    for (p += 2; p < end; ++p) exponent = exponent * 10 + (*p - '0');
    if (negative_exponent) exponent = -exponent;
    return lay_out_digits(at, digits, count, exponent - (count - 1));
}

template <class Integer>
void put_integer(Integer value, TextOut& out) {
    char* at = out.reserve(longest_number);
    out.advance_to(std::to_chars(at, at + longest_number, value).ptr);
}

class Writer {
public:
    explicit Writer(TextOut& out) : out_(out) {}

    void value(yyjson_val* value) {
        switch (unsafe_yyjson_get_type(value)) {
            case YYJSON_TYPE_BOOL:
                out_.put(unsafe_yyjson_get_bool(value) ? std::string_view("true") : std::string_view("false"));
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
                out_.put("null");
        }
    }

private:
    void number(yyjson_val* value) {
        switch (unsafe_yyjson_get_subtype(value)) {
            case YYJSON_SUBTYPE_UINT:
                put_integer(unsafe_yyjson_get_uint(value), out_);
                return;
            case YYJSON_SUBTYPE_SINT:
                put_integer(unsafe_yyjson_get_sint(value), out_);
                return;
            default: {
                char* at = out_.reserve(longest_number);
                out_.advance_to(put_real(unsafe_yyjson_get_real(value), at));
            }
        }
    }

    void array(yyjson_val* value) {
        out_.put('[');
        bool first = true;
        Ref(value).for_each_element([&](Ref element) {
            if (!first) out_.put(',');
            first = false;
            this->value(element.raw());
        });
        out_.put(']');
    }

    // Members in key order. Keys that already ascend strictly (the common
    // case) are written as they stand; otherwise they are sorted, and of
    // repeated keys the last in the text wins. Each nesting level sorts in
    // a buffer of its own that is kept for the next object at that level,
    // so a document of many small objects allocates nothing per object.
    void object(yyjson_val* value) {
        Ref object(value);
        out_.put('{');
        ++depth_;
        if (keys_ascend(object)) {
            bool first = true;
            object.for_each_member([&](std::string_view key, Ref member_value) {
                write_member(key, member_value.raw(), first);
                first = false;
            });
        } else {
            write_sorted_members(object);
        }
        --depth_;
        out_.put('}');
    }

    static bool keys_ascend(Ref object) {
        bool ascending = true;
        std::string_view previous;
        bool first = true;
        object.for_each_member([&](std::string_view key, Ref) {
            if (!first && !key_less(previous, key)) ascending = false;
            previous = key;
            first = false;
        });
        return ascending;
    }

    void write_member(std::string_view key, yyjson_val* value, bool first) {
        if (!first) out_.put(',');
        write_valid_string(key, out_);
        out_.put(':');
        this->value(value);
    }

    void write_sorted_members(Ref object) {
        if (scratch_.size() < depth_) scratch_.resize(depth_);
        Members& members = scratch_[depth_ - 1];
        members.clear();
        object.for_each_member([&](std::string_view key, Ref member_value) {
            members.push_back({head_bytes(key), key, member_value.raw()});
        });
        sort_stably_by_key(members);
        bool first = true;
        for (std::size_t i = 0; i < members.size(); ++i) {
            if (i + 1 < members.size() && members[i + 1].key == members[i].key) continue;
            write_member(members[i].key, members[i].value, first);
            first = false;
        }
    }

    // Byte order of keys, deciding most pairs on their first eight bytes
    // without a call into memcmp.
    static bool key_less(std::string_view a, std::string_view b) {
        return key_less(head_bytes(a), a, head_bytes(b), b);
    }
    static bool key_less(std::uint64_t head_a, std::string_view a, std::uint64_t head_b, std::string_view b) {
        if (head_a != head_b) return head_a < head_b;
        return a < b;
    }
    static std::uint64_t head_bytes(std::string_view text) {
        if (text.size() >= 8) {
            std::uint64_t head;
            std::memcpy(&head, text.data(), 8);
            return __builtin_bswap64(head);
        }
        std::uint64_t head = 0;
        for (std::size_t i = 0; i < text.size(); ++i) {
            head |= std::uint64_t{static_cast<unsigned char>(text[i])} << (56 - 8 * i);
        }
        return head;
    }

    // The key's first eight bytes are kept beside it, so most comparisons
    // while sorting are one integer comparison.
    struct SortedMember {
        std::uint64_t head;
        std::string_view key;
        yyjson_val* value;
    };
    using Members = std::vector<SortedMember>;

    static void sort_stably_by_key(Members& members) {
        sort_stably(members.begin(), members.end(), [](const SortedMember& a, const SortedMember& b) {
            return key_less(a.head, a.key, b.head, b.key);
        });
    }

    TextOut& out_;
    std::deque<Members> scratch_;  // a deque, so growing it keeps outer levels in place
    std::size_t depth_ = 0;
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

namespace {

Result<Document> read_with(std::string_view text, const yyjson_alc* allocator) {
    yyjson_read_err error{};
    // Without the in-situ flag the reader copies the text and never writes
    // to it.
    yyjson_doc* doc =
        yyjson_read_opts(const_cast<char*>(text.data()), text.size(), YYJSON_READ_NOFLAG, allocator, &error);
    if (doc == nullptr) {
        if (error.code == YYJSON_READ_ERROR_MEMORY_ALLOCATION) throw std::bad_alloc();
        // Nesting past the limit ahead of the fault is what a reader that
        // stops at the limit would have reported first.
        std::size_t deep = too_deep_offset(text.substr(0, std::min(error.pos, text.size())));
        if (deep != std::string_view::npos) return fail(depth_failure(text, deep));
        return fail(std::string(error.msg) + position_suffix(text, fault_offset(text, error)));
    }
    Document document(doc);
    if (nests_too_deep(document.root().raw())) return fail(depth_failure(text, too_deep_offset(text)));
    return document;
}

// yyjson's allocator interface over an arena. The reader is C code, so an
// exhausted arena is reported as a null pointer, never as an exception.
void* arena_allocate(void* arena, std::size_t size) noexcept {
    try {
        return static_cast<std::pmr::memory_resource*>(arena)->allocate(size, alignof(std::max_align_t));
    } catch (...) {
        return nullptr;
    }
}

void* arena_reallocate(void* arena, void* block, std::size_t old_size, std::size_t size) noexcept {
    void* moved = arena_allocate(arena, size);
    if (moved != nullptr && block != nullptr) std::memcpy(moved, block, std::min(old_size, size));
    return moved;
}

void arena_free(void*, void*) noexcept {}

// The reader's own blocks. A large text's document is a few large blocks
// written once and read once; taken from malloc they are fresh mappings
// faulted in 4 KiB at a time on every read, which was about a third of the
// time of reading and writing a large reply. Blocks of at least a huge page
// are mapped here instead, aligned to and advised for transparent huge
// pages. Every block starts with a header that says how it was obtained.
struct BlockHeader {
    std::size_t mapped_length;  // 0: from malloc
    std::size_t unused[7];      // keeps the block 64-byte aligned
};
constexpr std::size_t huge_page = std::size_t{2} << 20;

void* block_allocate(void*, std::size_t size) noexcept {
    if (size + sizeof(BlockHeader) < huge_page) {
        auto* header = static_cast<BlockHeader*>(std::malloc(sizeof(BlockHeader) + size));
        if (header == nullptr) return nullptr;
        header->mapped_length = 0;
        return header + 1;
    }
    std::size_t length = (size + sizeof(BlockHeader) + huge_page - 1) / huge_page * huge_page;
    // Mapped one huge page longer, then trimmed to an aligned start.
    void* mapped = mmap(nullptr, length + huge_page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapped == MAP_FAILED) return nullptr;
    auto start = reinterpret_cast<std::uintptr_t>(mapped);
    std::uintptr_t aligned = (start + huge_page - 1) / huge_page * huge_page;
    if (aligned > start) munmap(mapped, aligned - start);
    if (std::size_t tail = start + huge_page - aligned; tail > 0) {
        munmap(reinterpret_cast<void*>(aligned + length), tail);
    }
    madvise(reinterpret_cast<void*>(aligned), length, MADV_HUGEPAGE);
    auto* header = reinterpret_cast<BlockHeader*>(aligned);
    header->mapped_length = length;
    return header + 1;
}

void block_free(void*, void* block) noexcept {
    if (block == nullptr) return;
    BlockHeader* header = static_cast<BlockHeader*>(block) - 1;
    if (header->mapped_length == 0) {
        std::free(header);
    } else {
        munmap(header, header->mapped_length);
    }
}

void* block_reallocate(void* context, void* block, std::size_t old_size, std::size_t size) noexcept {
    void* moved = block_allocate(context, size);
    if (moved != nullptr && block != nullptr) {
        std::memcpy(moved, block, std::min(old_size, size));
        block_free(context, block);
    }
    return moved;
}

constexpr yyjson_alc block_allocator{block_allocate, block_reallocate, block_free, nullptr};

}  // namespace

Result<Document> read(std::string_view text) { return read_with(text, &block_allocator); }

Result<Document> read(std::string_view text, std::pmr::memory_resource& arena) {
    const yyjson_alc allocator{arena_allocate, arena_reallocate, arena_free, &arena};
    return read_with(text, &allocator);
}

void write(Ref value, std::string& out) {
    // A lone scalar takes room run by run: a whole step would zero-fill
    // 64 KiB to write a number or a short string.
    const bool container = value.is_array() || value.is_object();
    TextOut text(out, container ? 1 << 16 : 0);
    Writer(text).value(value.raw());
}

void write_string(std::string_view text, std::string& out) {
    if (is_plain_string(text)) {
        out.reserve(out.size() + text.size() + 2);
        out.push_back('"');
        out.append(text);
        out.push_back('"');
        return;
    }
    write_string_of({text}, out);
}

void write_string_of(std::initializer_list<std::string_view> parts, std::string& out) {
    TextOut written(out, 0);
    written.put('"');
    for (std::string_view part : parts) {
        if (is_valid_utf8(part)) write_valid_content(part, written);
        else write_valid_content(replace_invalid_utf8(part), written);
    }
    written.put('"');
}

void write_uint64(std::uint64_t value, std::string& out) {
    TextOut written(out, 0);
    put_integer(value, written);
}

void write_int64(std::int64_t value, std::string& out) {
    TextOut written(out, 0);
    put_integer(value, written);
}

void write_real(double value, std::string& out) {
    char buffer[longest_number];
    out.append(buffer, static_cast<std::size_t>(put_real(value, buffer) - buffer));
}

bool is_plain_string(std::string_view text) {
    // Eight bytes at a time; only text with a byte past ASCII needs the
    // UTF-8 decoder at all.
    constexpr std::uint64_t highs = 0x8080808080808080ULL;
    std::uint64_t high_bits = 0;
    std::size_t i = 0;
    for (; text.size() - i >= 8; i += 8) {
        std::uint64_t word;
        std::memcpy(&word, text.data() + i, 8);
        if (word_needs_escape(word)) return false;
        high_bits |= word & highs;
    }
    for (; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (escape_table[c]) return false;
        high_bits |= c & 0x80;
    }
    return high_bits == 0 || is_valid_utf8(text);
}

}  // namespace quorvel::json
