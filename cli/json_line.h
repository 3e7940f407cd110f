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
    // The name's bytes in the archive, when `name` was decoded from them.
    std::string_view storedName = {};
    // Where its data starts in the archive, and its first block in the block-size table.
    std::uint64_t offset = 0;
    std::uint64_t firstBlock = 0;
    // "stored", "zlib" or "mixed"; nothing when its blocks lie outside the block-size table.
    std::optional<std::string_view> method = {};
};

// One line of JSON (RFC 8259) for an entry, ending in a line feed, written at `p`, which has room
// for entryJsonBound(entry.name.size(), entry.storedName.size()) bytes; answers where it ends. A
// name that is not valid UTF-8 is given in "name" with U+FFFD for each byte that is not part of a
// valid sequence and, byte for byte, as lower-case hex digits in "name_hex"; a decoded name that
// differs from its stored bytes carries them in "name_hex" too. Written by hand into a buffer, a
// million lines take a small part of the time the table of contents takes to read; the tests parse
// its lines for names of every byte value.
char* putEntryJson(char* p, const EntryListing& entry);
std::size_t entryJsonBound(std::size_t nameLength, std::size_t storedLength = 0);

// `"name":...` and, when putEntryJson would give it, `,"name_hex":...`, for other lines that name
// an entry.
void appendNameJson(std::string& out, std::string_view name, std::string_view storedName = {});

// `text` as a JSON string, invalid UTF-8 replaced by U+FFFD.
void appendJsonString(std::string& out, std::string_view text);

// The line said before the entries when their names were decoded: {"encoding":"CP932"}.
std::string encodingJson(std::string_view encoding);

// Appends a number in decimal, right-aligned in `width` columns.
void appendDecimal(std::string& out, std::uint64_t value, std::size_t width = 0);

} // namespace qzb::cli
