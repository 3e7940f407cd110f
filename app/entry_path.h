#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/name_rules.h"

namespace qzb {

// Where an entry lands, relative to the target directory, with '/' between directories.
struct EntryPath {
    std::string path;
    // The directories in front of the file name, without "" and "." elements; empty when there
    // are none.
    std::string directory;
    // False for a name that ends in a separator or in a "." element.
    bool hasFileName;
};

// Turns an entry name into a path below the target directory. Archives come from Windows, so
// both '/' and '\' separate. Nothing for a name that is empty, absolute ("/x", "\x", "C:x") or
// has a ".." element, which could write outside the target directory, nor for one that the file
// system would store under another name: one with a zero byte, or one that `rules` refuse.
std::optional<EntryPath> entryPath(std::string_view name, NameRules rules = NameRules::Posix);

} // namespace qzb
