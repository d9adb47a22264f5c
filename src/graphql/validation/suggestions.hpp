// "Did you mean ...?" as graphql-js words it, from one edit-distance
// helper, so every rule suggests alike.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace quorvel::graphql::validation {

// The options within reach of `input` (an edit distance, transpositions
// counting one, of at most 40 % of its length plus one; a change of case
// alone counts one), nearest first, ties in natural order.
std::vector<std::string_view> suggestion_list(std::string_view input, const std::vector<std::string_view>& options);

// " Did you mean "a", "b", or "c"?" for up to five suggestions, "" for none.
std::string did_you_mean(const std::vector<std::string_view>& suggestions);
// " Did you mean <what> "a"?", as enum values are suggested.
std::string did_you_mean(std::string_view what, const std::vector<std::string_view>& suggestions);

}  // namespace quorvel::graphql::validation
