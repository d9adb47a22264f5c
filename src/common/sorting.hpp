// Stable sorting for the short runs the engine sorts most: object members
// and response keys.
#pragma once

#include <algorithm>
#include <iterator>
#include <utility>

namespace quorvel {

// Sorts [first, last) keeping equal elements in their order. Short ranges
// use insertion sort, which needs no buffer; std::stable_sort takes one
// from the heap on every call.
template <class Iterator, class Less>
void sort_stably(Iterator first, Iterator last, Less less) {
    if (last - first > 24) {
        std::stable_sort(first, last, less);
        return;
    }
    for (Iterator i = first; i != last; ++i) {
        auto moving = std::move(*i);
        Iterator j = i;
        for (; j != first && less(moving, *std::prev(j)); --j) *j = std::move(*std::prev(j));
        *j = std::move(moving);
    }
}

}  // namespace quorvel
