#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "digest/md5.h"

// Builds archives for tests, fuzz corpora and benchmarks. makeArchive lays out a valid archive as
// an image whose every field a test may then change; serialize writes the fields exactly as they
// stand, consistent or not.
namespace qzb::test {

// Auto: zlib, but a block is stored raw when compressing does not shrink it.
// Zlib: every block compressed, whatever it costs.
enum class BlockMode { Auto, Raw, Zlib };

struct FileSpec {
    std::string name;
    std::string content;
    BlockMode mode = BlockMode::Auto;
};

struct EntryRecord {
    std::uint32_t firstBlock = 0, reserved = 0;
    std::uint64_t originalSize = 0, dataOffset = 0, nameOffset = 0;
};

struct ArchiveImage {
    std::uint32_t magic = 0, tocSize = 0, entryCount = 0, reserved = 0;
    std::vector<qzb::Md5> nameDigests;
    std::vector<EntryRecord> entries;
    std::uint32_t nameTableSize = 0;
    std::string nameBody;
    // As stored: 0 for a 65536-byte block.
    std::vector<std::uint16_t> blockSizes;
    // The data area, right after the block-size table.
    std::string data;
    // nullopt: the MD5 of the first tocSize bytes of the serialized file (or of all of them, when
    // tocSize exceeds what precedes the digest).
    std::optional<qzb::Md5> trailingDigest;
    // Cuts the serialized file to this length when it is longer.
    std::optional<std::size_t> truncateTo;

    // Regions follow each other by the sizes of the vectors, not by the header fields, so any
    // field can be made inconsistent without losing the bytes after it.
    std::string serialize() const;
};

ArchiveImage makeArchive(const std::vector<FileSpec>& files, int zlibLevel = 6);
std::string buildArchive(const std::vector<FileSpec>& files, int zlibLevel = 6);

// `content` as one zlib stream, with zlib's defaults unless told otherwise; a non-empty
// `dictionary` makes a stream that needs it. Empty when zlib refuses the settings.
std::string zlibStream(std::string_view content, int level = 6, std::string_view dictionary = {},
                       int strategy = 0, int windowBits = 15);

} // namespace qzb::test
