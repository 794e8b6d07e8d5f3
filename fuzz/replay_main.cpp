// Runs a harness over its seed corpus and regression cases without libFuzzer, so that every
// ordinary and sanitizer build replays them as a test.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv);
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace fs = std::filesystem;

int main(int argc, char** argv)
{
    std::vector<std::string> dirs(argv + 1, argv + argc);
    // Without arguments: the folders listed in VELTORA_REPLAY_DIRS, separated by ':'.
    const char* env = std::getenv("VELTORA_REPLAY_DIRS");
    if (dirs.empty() && env) {
        const std::string list = env;
        size_t from = 0;
        for (size_t at; (at = list.find(':', from)) != std::string::npos; from = at + 1)
            dirs.push_back(list.substr(from, at - from));
        dirs.push_back(list.substr(from));
    }
    LLVMFuzzerInitialize(&argc, &argv);

    std::vector<fs::path> inputs;
    for (const std::string& dir : dirs) {
        std::error_code ec;
        for (const fs::directory_entry& e : fs::directory_iterator(dir, ec)) {
            if (e.is_regular_file() && e.path().filename().string().rfind('.', 0) != 0)
                inputs.push_back(e.path());
        }
        if (ec) {
            std::fprintf(stderr, "cannot list %s: %s\n", dir.c_str(), ec.message().c_str());
            return 1;
        }
    }
    std::sort(inputs.begin(), inputs.end());
    for (const fs::path& input : inputs) {
        std::ifstream f(input, std::ios::binary);
        const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(f),
                                         std::istreambuf_iterator<char>()};
        std::fprintf(stderr, "replay %s\n", input.string().c_str());
        LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
    }
    std::printf("replayed %zu inputs\n", inputs.size());
    return inputs.empty() ? 1 : 0;
}
