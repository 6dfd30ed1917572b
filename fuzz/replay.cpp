// Runs a fuzz target's entry point over every input in the folders given, so that any build
// (with the usual compiler and the build's sanitizers) replays the corpus as a test.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

int main(int argc, char** argv) {
    namespace fs = std::filesystem;
    std::vector<fs::path> inputs;
    for (int i = 1; i < argc; ++i)
        for (const auto& entry : fs::directory_iterator(argv[i]))
            inputs.push_back(entry.path());
    std::sort(inputs.begin(), inputs.end());
    for (const fs::path& path : inputs) {
        // Exactly the input's size, as libFuzzer gives it, so that ASan sees an overread.
        std::vector<char> bytes(fs::file_size(path));
        if (!std::ifstream(path, std::ios::binary).read(bytes.data(), std::ssize(bytes))) {
            std::fprintf(stderr, "%s: cannot read\n", path.c_str());
            return 2;
        }
        // Named first, so that a crash inside shows which input it was.
        std::fprintf(stderr, "%s\n", path.c_str());
        LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    }
    std::printf("%zu inputs replayed\n", inputs.size());
    return inputs.empty() ? 2 : 0;
}
