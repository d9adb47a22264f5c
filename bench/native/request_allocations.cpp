// Heap allocations per small request: the 3-field query with a variable and
// __typename of bench_data_path.py, run through the core with no bridge.
// Counts every malloc of the process (operator new included) while the
// requests run, by standing in front of glibc's allocator.
#include <atomic>
#include <cstddef>
#include <cstdio>
#include <string>

#include "execution/engine.hpp"
#include "execution/execution.hpp"

extern "C" {
void* __libc_malloc(std::size_t size);
void* __libc_calloc(std::size_t count, std::size_t size);
void* __libc_realloc(void* pointer, std::size_t size);

std::atomic<std::size_t> allocations{0};

void* malloc(std::size_t size) {
    allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_malloc(size);
}
void* calloc(std::size_t count, std::size_t size) {
    allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_calloc(count, size);
}
void* realloc(void* pointer, std::size_t size) {
    allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_realloc(pointer, size);
}
}

int main() {
    std::string catalogue = "[";
    for (int s = 0; s < 5; ++s) {
        for (int t = 0; t < 10; ++t) {
            if (catalogue.size() > 1) catalogue += ',';
            catalogue += "{\"server\":\"s" + std::to_string(s) + "\",\"name\":\"tool-" + std::to_string(t) + "\"}";
        }
    }
    catalogue += "]";
    auto engine = quorvel::from_catalogue_json(catalogue);
    if (!engine) return 1;
    const std::string query =
        "query Lookup($path: String) { __typename a: s0_tool_0(path: $path, limit: 10) "
        "b: s1_tool_3(flag: true, mode: \"fast\") c: s3_tool_7(ids: [1, 2, 3]) }";
    const std::string variables = "{\"path\": \"/tmp/x\"}";
    constexpr int requests = 10000;
    std::size_t length = quorvel::execute_json(engine.value(), query, variables)->size();  // warms up
    std::size_t before = allocations.load();
    for (int i = 0; i < requests; ++i) length += quorvel::execute_json(engine.value(), query, variables)->size();
    std::size_t counted = allocations.load() - before;
    std::printf("%.1f per request (%zu bytes of responses)\n", static_cast<double>(counted) / requests, length);
    return 0;
}
