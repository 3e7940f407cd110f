#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "archive/format.h"

namespace qzb {

// What became of one entry: decoded whole, refused because the archive's data cannot be decoded or
// read, or lost because the output file refused a write.
enum class ExtractResult { Done, Corrupt, WriteFailed };

// Why an entry's content could not be produced, for reports that name the cause.
enum class EntryFault {
    None,
    // Its blocks reach past the end of the block-size table.
    BlocksOutsideTable,
    // Its data cannot be reached or ends before its last block.
    Truncated,
    // A stored block does not decode to the block's length.
    BadBlock,
    // The sink refused a block.
    SinkRefused,
};

struct DecodeOutcome {
    EntryFault fault = EntryFault::None;
    // The entry's block where decoding stopped; meaningful for Truncated, BadBlock and SinkRefused.
    std::uint64_t block = 0;
};

// Receives an entry's content one decoded block at a time; false stops the decoding.
using BlockSink = std::function<bool(const unsigned char* bytes, std::size_t length)>;

// The table of contents of one archive, held in memory. It owns no file: callers pass the open
// archive file to each operation. Operations answer true or false and never print.
class Archive {
public:
    explicit Archive(std::uint32_t expectedMagic = ArchiveMagic) : expectedMagic_(expectedMagic) {}

    // Reads and checks the table of contents from an archive positioned anywhere. Every size in
    // the header is bounded by the file's real length before anything is reserved, so memory
    // follows the file, never a header value. The contents change only on success: a failed read
    // leaves the Archive empty.
    bool readTableOfContents(std::FILE* archiveFile, bool verifyChecksums);

    // Writes the content of entry `index` to `outputFile`. Closes and flushes neither file.
    ExtractResult extractEntry(std::FILE* archiveFile, std::FILE* outputFile,
                               std::size_t index) const;

    // Decodes entry `index` block by block into `sink`, in order; the bytes are valid during the
    // call only.
    DecodeOutcome readEntry(std::FILE* archiveFile, std::size_t index, const BlockSink& sink) const;

    std::size_t entryCount() const { return entries_.size(); }
    std::string entryName(std::size_t index) const { return std::string(name(index)); }
    // The name's bytes, valid as long as the table of contents is.
    std::string_view name(std::size_t index) const;

    const std::vector<ArchiveEntry>& entries() const { return entries_; }
    // Stored lengths, a stored 0 already widened to BlockSize.
    const std::vector<std::uint32_t>& blockSizes() const { return blockSizes_; }

private:
    std::uint32_t expectedMagic_;
    std::vector<ArchiveEntry> entries_;
    // The name-table body as stored; names are found through each entry's nameOffset, so entries
    // that share name bytes share them here too.
    std::string nameBody_;
    std::vector<std::uint32_t> blockSizes_;
};

} // namespace qzb
