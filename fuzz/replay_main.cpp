// Runs every file of the given folders (or the given files) through the fuzz target once.
// Built without libFuzzer so CTest can replay the corpus and the crash reproducers. A missing
// or empty corpus fails: a replay of nothing proves nothing.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

static void RunOne(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
}

int main(int argc, char** argv) {
    namespace fs = std::filesystem;
    size_t count = 0;
    for (int i = 1; i < argc; ++i) {
        fs::path p = argv[i];
        if (!fs::exists(p)) {
            std::fprintf(stderr, "replay: %s does not exist\n", p.c_str());
            return 1;
        }
        if (fs::is_directory(p)) {
            for (const auto& entry : fs::recursive_directory_iterator(p))
                if (entry.is_regular_file()) { RunOne(entry.path()); ++count; }
        } else if (fs::is_regular_file(p)) {
            RunOne(p);
            ++count;
        }
    }
    std::printf("replayed %zu inputs\n", count);
    if (count == 0) {
        std::fprintf(stderr, "replay: no inputs to replay\n");
        return 1;
    }
    return 0;
}
