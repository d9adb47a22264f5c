#include "graphql/validation/suggestions.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <optional>

namespace quorvel::graphql::validation {

namespace {

std::string lower(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return out;
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Digit runs compare by their numbers, so "field10" sorts after "field9".
bool natural_less(std::string_view a, std::string_view b) {
    std::size_t i = 0;
    std::size_t j = 0;
    while (i < a.size() && j < b.size()) {
        if (is_digit(a[i]) && is_digit(b[j])) {
            unsigned long long number_a = 0;
            do {
                number_a = number_a * 10 + static_cast<unsigned>(a[i++] - '0');
            } while (i < a.size() && is_digit(a[i]) && number_a > 0);
            unsigned long long number_b = 0;
            do {
                number_b = number_b * 10 + static_cast<unsigned>(b[j++] - '0');
            } while (j < b.size() && is_digit(b[j]) && number_b > 0);
            if (number_a != number_b) return number_a < number_b;
        } else {
            if (a[i] != b[j]) return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[j]);
            ++i;
            ++j;
        }
    }
    return a.size() - i < b.size() - j;
}

// Damerau-Levenshtein (optimal string alignment) distance, given up as
// soon as it must exceed `threshold`.
std::optional<std::size_t> distance_within(const std::string& input_lower, std::string_view option,
                                           std::size_t threshold, std::array<std::vector<std::size_t>, 3>& rows) {
    const std::string option_lower = lower(option);
    if (input_lower == option_lower) return 1;
    const std::string* a = &option_lower;
    const std::string* b = &input_lower;
    if (a->size() < b->size()) std::swap(a, b);
    const std::size_t a_length = a->size();
    const std::size_t b_length = b->size();
    if (a_length - b_length > threshold) return std::nullopt;
    for (auto& row : rows) row.assign(b_length + 1, 0);
    for (std::size_t j = 0; j <= b_length; ++j) rows[0][j] = j;
    for (std::size_t i = 1; i <= a_length; ++i) {
        const auto& up = rows[(i - 1) % 3];
        auto& current = rows[i % 3];
        std::size_t smallest = current[0] = i;
        for (std::size_t j = 1; j <= b_length; ++j) {
            const std::size_t cost = (*a)[i - 1] == (*b)[j - 1] ? 0 : 1;
            std::size_t cell = std::min({up[j] + 1, current[j - 1] + 1, up[j - 1] + cost});
            if (i > 1 && j > 1 && (*a)[i - 1] == (*b)[j - 2] && (*a)[i - 2] == (*b)[j - 1]) {
                cell = std::min(cell, rows[(i - 2) % 3][j - 2] + 1);
            }
            smallest = std::min(smallest, cell);
            current[j] = cell;
        }
        if (smallest > threshold) return std::nullopt;
    }
    const std::size_t distance = rows[a_length % 3][b_length];
    if (distance > threshold) return std::nullopt;
    return distance;
}

}  // namespace

std::vector<std::string_view> suggestion_list(std::string_view input, const std::vector<std::string_view>& options) {
    const std::string input_lower = lower(input);
    const std::size_t threshold = input.size() * 4 / 10 + 1;
    std::array<std::vector<std::size_t>, 3> rows;
    std::vector<std::pair<std::size_t, std::string_view>> near;
    for (const std::string_view option : options) {
        if (option == input) {
            near.emplace_back(0, option);
            continue;
        }
        if (const auto distance = distance_within(input_lower, option, threshold, rows)) {
            near.emplace_back(*distance, option);
        }
    }
    std::stable_sort(near.begin(), near.end(), [](const auto& x, const auto& y) {
        if (x.first != y.first) return x.first < y.first;
        return natural_less(x.second, y.second);
    });
    std::vector<std::string_view> out;
    out.reserve(near.size());
    for (const auto& [distance, option] : near) {
        if (std::find(out.begin(), out.end(), option) == out.end()) out.push_back(option);
    }
    return out;
}

std::string did_you_mean(const std::vector<std::string_view>& suggestions) { return did_you_mean({}, suggestions); }

std::string did_you_mean(std::string_view what, const std::vector<std::string_view>& suggestions) {
    if (suggestions.empty()) return {};
    auto quoted = [](std::string_view text) { return "\"" + std::string(text) + "\""; };
    std::string message = " Did you mean ";
    if (!what.empty()) {
        message += what;
        message += ' ';
    }
    if (suggestions.size() == 1) return message + quoted(suggestions[0]) + "?";
    if (suggestions.size() == 2) return message + quoted(suggestions[0]) + " or " + quoted(suggestions[1]) + "?";
    const std::size_t shown = std::min<std::size_t>(suggestions.size(), 5);
    for (std::size_t i = 0; i + 1 < shown; ++i) message += quoted(suggestions[i]) + ", ";
    return message + "or " + quoted(suggestions[shown - 1]) + "?";
}

}  // namespace quorvel::graphql::validation
