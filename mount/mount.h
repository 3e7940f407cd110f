#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "archive/archive.h"

// An archive served as a read-only file system for as long as it is mounted.
namespace qzb::mount {

// Decoded blocks kept by default: 1024 blocks, enough for the read-ahead of a few sequential
// readers and for the blocks a random reader comes back to, small beside the table of a large
// archive.
inline constexpr std::uint64_t DefaultCacheSize = 64 * 1024 * 1024;

struct Settings {
    // The archive's path as given, for the mount's name and the time its files show.
    std::string archivePath;
    std::string mountPoint;
    std::uint64_t cacheSize = DefaultCacheSize;
    bool foreground = false;
    // Passed on, each after "-o".
    std::vector<std::string> fuseOptions;
    // Entry i's name as the file layer takes names; nothing for one it cannot take.
    std::function<std::optional<std::string>(std::size_t)> fileName;
    // Entry i's name as the user is shown it.
    std::function<std::string(std::size_t)> shownName;
    // Takes one line for standard error, ending in a line feed; called from any thread, one at a
    // time.
    std::function<void(const std::string&)> warn;
};

// Whether this build can mount at all; when it cannot, why not (one sentence).
bool mountBuilt();
std::string absentReason();

// Mounts `archive` read-only at the settings' mount point and serves it until it is unmounted;
// without `foreground`, in a process of its own once the mount answers. RunError, with nothing
// mounted, for what stops it before then. Answers the exit status.
int serve(const Archive& archive, const Settings& settings);

} // namespace qzb::mount
