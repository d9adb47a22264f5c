// The main of a fuzz target built without libFuzzer (any compiler): runs the
// target once over each input given, a file or every file of a folder, so
// that ctest can check the invariants over the seed corpus where clang's
// fuzzer runtime is missing.
//
//   fuzz_<target> PATH...
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

namespace fs = std::filesystem;

// Folders in name order, so that a failure repeats in the same order.
std::vector<fs::path> inputs_of(const fs::path& path, std::error_code& error) {
    if (!fs::is_directory(path, error)) return {path};
    std::vector<fs::path> files;
    for (const fs::directory_entry& entry : fs::directory_iterator(path, error)) {
        if (entry.is_regular_file()) files.push_back(entry.path());
    }
    std::sort(files.begin(), files.end());
    return files;
}

bool run_one(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) return false;
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // A copy of exactly the input's size, as libFuzzer gives it, so that a
    // read past the end is caught by a sanitizer.
    std::vector<std::uint8_t> data(bytes.begin(), bytes.end());
    LLVMFuzzerTestOneInput(data.data(), data.size());
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    std::size_t ran = 0;
    for (int i = 1; i < argc; ++i) {
        std::error_code error;
        for (const fs::path& file : inputs_of(argv[i], error)) {
            if (!run_one(file)) {
                std::fprintf(stderr, "cannot read %s\n", file.c_str());
                return 1;
            }
            ++ran;
        }
        if (error) {
            std::fprintf(stderr, "cannot list %s: %s\n", argv[i], error.message().c_str());
            return 1;
        }
    }
    std::printf("%zu inputs, every invariant held\n", ran);
    // No input is no check at all: a missing corpus must not pass.
    return ran > 0 ? 0 : 1;
}
