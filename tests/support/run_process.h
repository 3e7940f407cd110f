#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

// Runs a program to completion for end-to-end tests: no standard input, both output streams
// captured whole unless the options send standard output elsewhere.
namespace qzb::test {

// Where the program's standard output goes. All but Pipe need a POSIX system; `out` then stays
// empty, except for Terminal, whose output it holds.
enum class StandardOutput {
    Pipe,
    // A pseudo-terminal in raw mode, so that the program's bytes arrive as written.
    Terminal,
    // /dev/full: every write fails with ENOSPC.
    Full,
    // A pipe whose reading end is closed before the program starts.
    BrokenPipe,
    // Descriptor 1 closed.
    Closed,
};

struct ProcessOptions {
    // Empty: the caller's working directory.
    std::filesystem::path workingDirectory;
    // Largest file, in bytes, the program may write. SIGXFSZ keeps its default action, which
    // ends the program unless it ignores the signal itself.
    std::optional<std::uint64_t> fileSizeLimit;
    // The program is killed when it runs longer. nullopt: no limit.
    std::optional<std::chrono::milliseconds> timeout = std::chrono::seconds(60);
    StandardOutput output = StandardOutput::Pipe;
    // Descriptor 0 closed rather than on the null device (POSIX only).
    bool closeInput = false;
    // Started with SIGPIPE ignored, as some services start their children; otherwise with its
    // default action (POSIX only).
    bool ignoreBrokenPipe = false;
    // Called with the standard output so far each time more of it arrives; once it answers true,
    // the program's group is killed with SIGKILL (POSIX only).
    std::function<bool(const std::string& out)> killWhen;
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

// False where no pseudo-terminal can be opened (Windows, or /dev/pts missing in a bare root).
bool terminalsAvailable();

// Throws std::runtime_error when the program cannot be started.
ProcessResult runProcess(const std::filesystem::path& executable,
                         const std::vector<std::string>& arguments,
                         const ProcessOptions& options = {});

} // namespace qzb::test
