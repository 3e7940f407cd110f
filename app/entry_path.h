#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace qzb {

// Where an entry lands, relative to the target directory, with '/' between directories.
struct EntryPath {
    std::string path;
    // The directories in front of the file name; empty when there are none.
    std::string directory;
    // False for a name that ends in a separator.
    bool hasFileName;
};

// Turns an entry name into a path below the target directory. Archives come from Windows, so
// both '/' and '\' separate. Nothing for a name that is empty, absolute ("/x", "\x", "C:x") or
// has a ".." element: such a name could write outside the target directory.
std::optional<EntryPath> entryPath(std::string_view name);

} // namespace qzb
