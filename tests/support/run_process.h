#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

// Runs a program to completion for end-to-end tests: no standard input, both output streams
// captured whole.
namespace qzb::test {

struct ProcessOptions {
    // Empty: the caller's working directory.
    std::filesystem::path workingDirectory;
    // Largest file, in bytes, the program may write; a write past it fails instead of killing
    // the program, so its error handling can be tested.
    std::optional<std::uint64_t> fileSizeLimit;
    // The program is killed when it runs longer. nullopt: no limit.
    std::optional<std::chrono::milliseconds> timeout = std::chrono::seconds(60);
};

struct ProcessResult {
    // Valid when the program exited on its own (no termSignal).
    int exitCode = -1;
    // The signal that ended the program, if one did.
    std::optional<int> termSignal;
    bool timedOut = false;
    std::string out;
    std::string err;

    bool exited() const { return !termSignal.has_value(); }
};

// Throws std::runtime_error when the program cannot be started.
ProcessResult runProcess(const std::filesystem::path& executable,
                         const std::vector<std::string>& arguments,
                         const ProcessOptions& options = {});

} // namespace qzb::test
