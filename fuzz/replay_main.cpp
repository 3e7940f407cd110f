// Runs a fuzz target over files and directories of inputs without libFuzzer, so that the seed
// corpus and every input a fuzzing run has found stay a test in ordinary builds. A target reports
// a broken property by aborting; the input's path is printed before it runs.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

namespace fs = std::filesystem;

// A directory that does not exist yet holds no inputs: a target may have no regressions.
std::vector<fs::path> inputsIn(const fs::path& argument) {
    std::vector<fs::path> inputs;
    if (fs::is_directory(argument)) {
        for (const fs::directory_entry& entry : fs::recursive_directory_iterator(argument)) {
            if (entry.is_regular_file()) {
                inputs.push_back(entry.path());
            }
        }
    } else if (fs::exists(argument)) {
        inputs.push_back(argument);
    }
    std::sort(inputs.begin(), inputs.end());
    return inputs;
}

} // namespace

int main(int argc, char** argv) {
    std::vector<fs::path> inputs;
    for (int i = 1; i < argc; ++i) {
        const std::vector<fs::path> found = inputsIn(argv[i]);
        inputs.insert(inputs.end(), found.begin(), found.end());
    }
    if (inputs.empty()) {
        std::fprintf(stderr, "no inputs found; usage: %s <file or directory>...\n", argv[0]);
        return 1;
    }
    for (const fs::path& path : inputs) {
        std::fprintf(stderr, "%s\n", path.string().c_str());
        std::ifstream in(path, std::ios::binary);
        if (!in) {
            std::fprintf(stderr, "cannot read %s\n", path.string().c_str());
            return 1;
        }
        const std::vector<char> bytes{std::istreambuf_iterator<char>(in),
                                      std::istreambuf_iterator<char>()};
        LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
    }
    std::printf("%zu inputs passed\n", inputs.size());
    return 0;
}
