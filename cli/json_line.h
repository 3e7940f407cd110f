#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace qzb::cli {

// What `qzb list --json` tells of one entry.
struct EntryListing {
    std::size_t index;
    std::string_view name;
    std::uint64_t size;
    // Nothing when the entry's blocks lie outside the block-size table.
    std::optional<std::uint64_t> stored;
    std::uint64_t blocks;
};

// One line of JSON (RFC 8259) for an entry, ending in a line feed. A name that is not valid UTF-8
// is given in "name" with U+FFFD for each bad sequence and, byte for byte, as hex digits in
// "name_hex".
std::string entryJsonLine(const EntryListing& entry);

} // namespace qzb::cli
