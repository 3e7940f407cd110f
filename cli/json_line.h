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

// Appends one line of JSON (RFC 8259) for an entry, ending in a line feed. A name that is not
// valid UTF-8 is given in "name" with U+FFFD for each byte that is not part of a valid sequence
// and, byte for byte, as lower-case hex digits in "name_hex". Written by hand, a million lines
// take a small part of the time the table of contents takes to read; the tests parse its lines
// for names of every byte value.
void appendEntryJson(std::string& out, const EntryListing& entry);

// Appends a number in decimal.
void appendDecimal(std::string& out, std::uint64_t value);

} // namespace qzb::cli
