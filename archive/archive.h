#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "archive/format.h"
#include "platform/archive_file.h"

namespace qzb {

// Why the table of contents was not taken.
enum class TableFault {
    None,
    // It cannot be read, or its structure is damaged: what it claims does not fit the file.
    Malformed,
    // It is whole, but the digests of its names or of the table disagree with those stored.
    DigestMismatch,
};

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

// An entry's blocks in the block-size table: `count` of them from `first`.
struct BlockRange {
    std::size_t first;
    std::size_t count;
};

// Receives an entry's content one decoded block at a time; false stops the decoding.
using BlockSink = std::function<bool(const unsigned char* bytes, std::size_t length)>;

// One archive: the file it is read from, which it owns, and its table of contents, held in
// memory. Operations answer and never print. Reads share no file position, so entries may be
// read from several threads at once.
class Archive {
public:
    explicit Archive(platform::ArchiveFile file, std::uint32_t expectedMagic = ArchiveMagic)
        : file_(std::move(file)), expectedMagic_(expectedMagic) {}

    // Reads and checks the table of contents. Every size in the header is bounded by the file's
    // real length before anything is reserved, so memory follows the file, never a header value.
    // The contents are replaced only by a whole table: on Malformed the Archive is empty; on
    // DigestMismatch it holds the table read, for a caller that reads on regardless.
    [[nodiscard]] TableFault readTableOfContents(bool verifyChecksums);

    // Decodes entry `index` block by block into `sink`, in order; the bytes are valid during the
    // call only.
    [[nodiscard]] DecodeOutcome readEntry(std::size_t index, const BlockSink& sink) const;

    // Where entry `index`'s blocks lie in the block-size table; nothing when they reach past its
    // end. An empty entry has none, wherever it claims they start.
    [[nodiscard]] std::optional<BlockRange> blockRange(std::size_t index) const;

    const platform::ArchiveFile& file() const { return file_; }

    std::size_t entryCount() const { return entries_.size(); }
    std::string entryName(std::size_t index) const { return std::string(name(index)); }
    // The name's bytes, valid as long as the table of contents is.
    std::string_view name(std::size_t index) const;

    const std::vector<ArchiveEntry>& entries() const { return entries_; }
    // Stored lengths, a stored 0 already widened to BlockSize.
    const std::vector<std::uint32_t>& blockSizes() const { return blockSizes_; }

private:
    platform::ArchiveFile file_;
    std::uint32_t expectedMagic_;
    std::vector<ArchiveEntry> entries_;
    // The name-table body as stored; names are found through each entry's nameOffset, so entries
    // that share name bytes share them here too.
    std::string nameBody_;
    std::vector<std::uint32_t> blockSizes_;
};

} // namespace qzb
