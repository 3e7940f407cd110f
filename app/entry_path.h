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

// Which names a file system stores as given. Windows drops an element's trailing '.' and ' ',
// opens a device for CON, NUL, COM1 and the like (with any extension), takes ':' for a stream of
// another file and forbids <>"|?* and the bytes 1-31: written as they are, such names land
// elsewhere, or are skipped as if they existed.
enum class NameRules { Posix, Windows };

// Turns an entry name into a path below the target directory. Archives come from Windows, so
// both '/' and '\' separate. Nothing for a name that is empty, absolute ("/x", "\x", "C:x") or
// has a ".." element, which could write outside the target directory, nor for one that the file
// system would store under another name: one with a zero byte, or one that `rules` refuse.
std::optional<EntryPath> entryPath(std::string_view name, NameRules rules = NameRules::Posix);

} // namespace qzb
