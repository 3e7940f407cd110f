#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "testkit/archive_writer.h"

// Damaged archives, each list kept once: the reader's and the extractor's unit tests, the runs of
// the tool and the fuzz seeds all iterate these.
namespace qzb::test {

// A header or record that claims a size or a place far beyond the file. The reader refuses it, or,
// when only extracting meets the claim, the extractor refuses the last entry; memory never follows
// the claim. Where a claim does not need it, the first entry stays intact.
struct HugeClaim {
    std::string what;
    ArchiveImage image;
    bool readerRefuses;
};
std::vector<HugeClaim> hugeClaims();

inline constexpr const char* GoodEntryName = "good";
inline constexpr const char* GoodEntryContent = "fine";
inline constexpr const char* BadEntryName = "sub/bad";

// Two entries whose table reads when digests are not checked: "good" is intact, "sub/bad" cannot
// be decoded, after some of its blocks can.
struct BadEntry {
    std::string what;
    ArchiveImage image;
};
std::vector<BadEntry> badEntries();

// The archive that the sweeps cut and change: small enough to sweep every byte, with directories
// of both separators, an empty entry, raw blocks, and a zlib entry of three different blocks.
const std::vector<FileSpec>& sweepFiles();

// Where one stored block of an entry lies, its stored length and its uncompressed length.
struct StoredBlock {
    std::uint64_t offset;
    std::uint32_t stored;
    std::uint32_t length;
};

// The stored blocks of each entry of an archive the writer laid out.
std::vector<std::vector<StoredBlock>> storedBlocks(const ArchiveImage& image);

// Where an entry's stored data ends; 0 for an entry without blocks.
std::uint64_t dataEnd(const std::vector<StoredBlock>& blocks);

// Lengths to cut an archive to: every one shorter than the file, or a representative few for runs
// of the tool (the header, the table's end, inside and at the end of each entry's data, the
// trailing digest).
std::vector<std::size_t> cutLengths(const ArchiveImage& image, bool everyLength);

} // namespace qzb::test
