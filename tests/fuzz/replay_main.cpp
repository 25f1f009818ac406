// Replays a fuzz target's corpus once, without libFuzzer: every file named on
// the command line, or found in a folder named there, goes through
// LLVMFuzzerTestOneInput. Built with the native build's sanitizers, it makes
// every known input a regression test. Exits non-zero when a folder is empty
// or missing (a corpus that vanished must not pass quietly).
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace fs = std::filesystem;

int main(int argc, char **argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s CORPUS_DIR_OR_FILE...\n", argv[0]);
        return 2;
    }
    size_t replayed = 0;
    for (int i = 1; i < argc; ++i) {
        std::vector<fs::path> files;
        std::error_code error;
        if (fs::is_directory(argv[i], error)) {
            for (const fs::directory_entry &entry : fs::directory_iterator(argv[i], error))
                if (entry.is_regular_file())
                    files.push_back(entry.path());
        } else if (fs::is_regular_file(argv[i], error)) {
            files.push_back(argv[i]);
        }
        if (files.empty()) {
            std::fprintf(stderr, "%s: no inputs in %s\n", argv[0], argv[i]);
            return 1;
        }
        std::sort(files.begin(), files.end());
        for (const fs::path &file : files) {
            std::ifstream stream(file, std::ios::binary);
            const std::vector<char> bytes((std::istreambuf_iterator<char>(stream)), std::istreambuf_iterator<char>());
            // A copy of exactly the file's size, so that a read past the input shows.
            std::vector<uint8_t> input(bytes.begin(), bytes.end());
            LLVMFuzzerTestOneInput(input.empty() ? nullptr : input.data(), input.size());
            ++replayed;
        }
    }
    std::printf("%zu inputs replayed without a finding\n", replayed);
    return 0;
}
