// Without libFuzzer each target is a program that runs its input function once per file named on the
// command line (folders are walked), so seeds and crash reproducers run as ordinary tests.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <system_error>
#include <vector>

namespace fs = std::filesystem;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int *argc, char ***argv);

int main(int argc, char **argv) {
    if (LLVMFuzzerInitialize) LLVMFuzzerInitialize(&argc, &argv);
    std::vector<fs::path> inputs;
    for (int i = 1; i < argc; ++i) {
        const fs::path arg(argv[i]);
        std::error_code ec;
        if (fs::is_directory(arg, ec)) {
            std::vector<fs::path> found;
            for (const auto &entry : fs::recursive_directory_iterator(arg))
                if (entry.is_regular_file()) found.push_back(entry.path());
            std::sort(found.begin(), found.end()); // the same order on every run
            inputs.insert(inputs.end(), found.begin(), found.end());
        } else if (fs::is_regular_file(arg, ec)) {
            inputs.push_back(arg);
        } else {
            std::fprintf(stderr, "no such input: %s\n", argv[i]);
            return 2;
        }
    }
    // a replay that ran nothing proves nothing
    if (inputs.empty()) {
        std::fprintf(stderr, "usage: %s FILE_OR_FOLDER...\n", argv[0]);
        return 2;
    }
    for (const fs::path &p : inputs) {
        // a heap block of exactly the input's size, so a sanitizer sees any read past its end
        std::error_code ec;
        const auto size = static_cast<size_t>(fs::file_size(p, ec));
        auto data = std::make_unique<uint8_t[]>(size);
        std::ifstream in(p, std::ios::binary);
        if (ec || !in.read(reinterpret_cast<char *>(data.get()), static_cast<std::streamsize>(size))) {
            std::fprintf(stderr, "cannot read %s\n", p.c_str());
            return 2;
        }
        LLVMFuzzerTestOneInput(data.get(), size);
    }
    std::printf("replayed %zu inputs\n", inputs.size());
    return 0;
}
