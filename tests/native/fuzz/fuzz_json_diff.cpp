// The new JSON layer against the nlohmann-based one it replaced, on the
// same texts. The verdicts must agree, except that the old reader took a
// NUL character outside a string for the end of the text and so accepted
// whatever followed it, and took numbers beyond the float range as
// infinities: the new reader refuses both. A verdict difference aborts.
//
// Everything else is counted rather than aborted on, so one run surveys all
// of it: where both refuse, whether the two fault positions agree (per
// kind of fault); where both accept, whether the written texts agree, and
// when they do not, whether the difference is only float digits (the old
// text then reads with the new reader to the same canonical text).
// A summary goes to stderr, and to $QUORVEL_DIFF_SUMMARY when set, every
// 50000 inputs and at exit.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "checks.hpp"
#include "common/unicode.hpp"
#include "legacy_json.hpp"

using namespace quorvel;

namespace {

struct Tally {
    std::size_t count = 0;
    std::string shortest;  // the shortest input seen in this class
    std::string detail;    // what was seen for it
};

class Survey {
public:
    ~Survey() { report(); }

    void note(const std::string& what, std::string_view input, std::string_view detail = {}) {
        Tally& tally = tallies_[what];
        if (tally.count++ == 0 || input.size() < tally.shortest.size()) {
            tally.shortest = input;
            tally.detail = detail;
        }
    }

    void next_input() {
        if (++inputs_ % 50000 == 0) report();
    }

    void report() const {
        std::string text = "== json differential survey: " + std::to_string(inputs_) + " inputs\n";
        for (const auto& [what, tally] : tallies_) {
            text += std::to_string(tally.count) + "\t" + what + "\n\te.g. " + escaped(tally.shortest) + "\n";
            if (!tally.detail.empty()) text += "\t" + escaped(tally.detail) + "\n";
        }
        std::fputs(text.c_str(), stderr);
        if (const char* path = std::getenv("QUORVEL_DIFF_SUMMARY")) {
            if (std::FILE* file = std::fopen(path, "w")) {
                std::fputs(text.c_str(), file);
                std::fclose(file);
            }
        }
    }

private:
    static std::string escaped(std::string_view input) {
        std::string out;
        for (unsigned char c : input.substr(0, 300)) {
            if (c >= 0x20 && c < 0x7f && c != '\\') {
                out.push_back(static_cast<char>(c));
            } else {
                char hex[5];
                std::snprintf(hex, sizeof hex, "\\x%02x", c);
                out += hex;
            }
        }
        if (input.size() > 300) out += "...(" + std::to_string(input.size()) + " bytes)";
        return out;
    }

    std::size_t inputs_ = 0;
    std::map<std::string, Tally> tallies_;
};

Survey& survey() {
    static Survey instance;
    return instance;
}

// "<what> at line L column C" -> what, without the parts of the old
// reader's messages that quote the text (what it had read, the number, the
// control character), which would split one kind of fault into many.
std::string_view fault_kind(std::string_view message) {
    std::string_view what = message.substr(0, message.rfind(" at line "));
    for (std::string_view quoting : {"; last read", " parsing '", " U+00"}) {
        what = what.substr(0, what.find(quoting));
    }
    return what;
}

std::string_view fault_position(std::string_view message) { return message.substr(message.rfind(" at line ")); }

bool holds_infinity(const legacy::Value& value) {
    if (value.is_number_float()) return std::isinf(value.get<double>());
    for (const legacy::Value& element : value) {
        if (element.is_structured() && holds_infinity(element)) return true;
        if (element.is_number_float() && std::isinf(element.get<double>())) return true;
    }
    return false;
}

bool beyond_float_range(const legacy::Value& old_value, std::string_view new_message) {
    return fault_kind(new_message) == "number is infinity when parsed as double" && holds_infinity(old_value);
}

void compare_refusals(std::string_view text, const std::string& old_message, const std::string& new_message) {
    fuzz::require(fuzz::has_position(new_message), "a fault has a position", new_message);
    std::string kinds = "[" + std::string(fault_kind(new_message)) + "] vs old [" +
                        std::string(fault_kind(old_message)) + "]";
    bool same = fault_position(old_message) == fault_position(new_message);
    survey().note((same ? "both refuse, same position: " : "both refuse, positions differ: ") + kinds, text,
                  same ? std::string() : "old: " + old_message + " | new: " + new_message);
}

// The number tokens of a compact text, in order.
std::vector<std::string_view> number_tokens(std::string_view text) {
    std::vector<std::string_view> numbers;
    for (std::size_t i = 0; i < text.size();) {
        char c = text[i];
        if (c == '"') {
            for (++i; i < text.size() && text[i] != '"'; ++i) i += text[i] == '\\';
            ++i;
        } else if (c == '-' || (c >= '0' && c <= '9')) {
            std::size_t end = text.find_first_of(",]}", i);
            if (end == std::string_view::npos) end = text.size();
            numbers.push_back(text.substr(i, end - i));
            i = end;
        } else {
            ++i;
        }
    }
    return numbers;
}

// The significant digits of a number token, without sign, point, exponent
// or leading and trailing zeros.
std::string significant_digits(std::string_view number) {
    std::string digits;
    for (char c : number.substr(0, number.find_first_of("eE"))) {
        if (c >= '0' && c <= '9' && !(digits.empty() && c == '0')) digits.push_back(c);
    }
    while (!digits.empty() && digits.back() == '0') digits.pop_back();
    return digits;
}

// How the written texts of one value differ, float token by float token:
// the new writer's digits must be no longer than the old writer's, and the
// same digits must be laid out the same way.
std::string float_difference(std::string_view old_text, std::string_view new_text) {
    std::vector<std::string_view> old_numbers = number_tokens(old_text);
    std::vector<std::string_view> new_numbers = number_tokens(new_text);
    if (old_numbers.size() != new_numbers.size()) return "FLOAT TOKENS DO NOT PAIR UP";
    std::string worst = "float digits differ: new shorter";
    for (std::size_t i = 0; i < old_numbers.size(); ++i) {
        if (old_numbers[i] == new_numbers[i]) continue;
        std::string old_digits = significant_digits(old_numbers[i]);
        std::string new_digits = significant_digits(new_numbers[i]);
        if (new_digits.size() > old_digits.size()) return "float digits differ: NEW LONGER";
        if (new_digits == old_digits) return "float digits same, LAYOUT DIFFERS";
        if (new_digits.size() == old_digits.size()) worst = "float digits differ: same length";
    }
    return worst;
}

void compare_acceptances(std::string_view text, const legacy::Value& old_value, const json::Document& new_value) {
    std::string old_text;
    fuzz::require(static_cast<bool>(legacy::write(old_value, old_text)), "the old layer writes what it read");
    std::string new_text = fuzz::require_round_trip(new_value.root());
    if (old_text == new_text) {
        survey().note("both accept, same text", text);
        return;
    }
    // Float digits may differ; the values they stand for may not.
    Result<json::Document> old_read_anew = json::read(old_text);
    fuzz::require(old_read_anew.ok(), "the old written text reads with the new reader", old_text);
    if (fuzz::written(old_read_anew.value().root()) == new_text) {
        survey().note("both accept, " + float_difference(old_text, new_text), text,
                      "old " + old_text + " new " + new_text);
        return;
    }
    survey().note("both accept, DIFFERENT VALUES", text, "old " + old_text + " new " + new_text);
}

// The string writers on the raw input: the same text for valid UTF-8; for
// bytes that are not, both must give valid JSON, and how often they differ
// in what they replace is counted.
void compare_string_writers(std::string_view bytes) {
    std::string old_text;
    std::string new_text;
    legacy::write_string(bytes, old_text);
    json::write_string(bytes, new_text);
    if (old_text == new_text) return;
    bool valid = unicode::to_valid_utf8(bytes) == bytes;
    fuzz::require(!valid, "valid UTF-8 strings are written alike", "old " + old_text + "\nnew " + new_text);
    fuzz::require(json::read(new_text).ok(), "a string with malformed UTF-8 is written as valid JSON", new_text);
    survey().note("write_string of malformed UTF-8 differs", bytes, "old " + old_text + " new " + new_text);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    survey().next_input();
    Result<legacy::Value> old_read = legacy::read(text);
    Result<json::Document> new_read = json::read(text);
    const bool has_nul = text.find('\0') != std::string_view::npos;
    compare_string_writers(text);

    if (!old_read && !new_read) {
        compare_refusals(text, old_read.message(), new_read.message());
    } else if (old_read && new_read) {
        fuzz::require(!has_nul, "the new reader refuses a text with a NUL outside a string", text);
        compare_acceptances(text, old_read.value(), new_read.value());
    } else if (old_read) {
        if (has_nul) {
            survey().note("old accepts text after a NUL, new refuses: [" + std::string(fault_kind(new_read.message())) + "]",
                          text);
        } else if (beyond_float_range(old_read.value(), new_read.message())) {
            survey().note("old accepts a number beyond the float range, new refuses", text);
        } else {
            fuzz::broken("the old layer accepts, the new refuses", new_read.message() + "\n" + std::string(text));
        }
    } else {
        fuzz::broken("the old layer refuses, the new accepts", old_read.message() + "\n" + std::string(text));
    }
    return 0;
}
