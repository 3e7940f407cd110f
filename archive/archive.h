#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "archive/format.h"

namespace qzb {

// What became of one entry: decoded whole, refused because the archive's data cannot be decoded or
// read, or lost because the output file refused a write.
enum class ExtractResult { Done, Corrupt, WriteFailed };

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
