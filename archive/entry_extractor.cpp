#include <memory>

#include "archive/archive.h"
#include "archive/block_decoder.h"
#include "archive/file_io.h"

namespace qzb {

ExtractResult Archive::extractEntry(std::FILE* archiveFile, std::FILE* outputFile,
                                    std::size_t index) const {
    if (index >= entries_.size()) {
        return ExtractResult::Corrupt;
    }
    const ArchiveEntry& entry = entries_[index];
    const std::uint64_t blocks = blockCount(entry.originalSize);
    if (blocks == 0) {
        return ExtractResult::Done;
    }
    if (entry.firstBlock > blockSizes_.size() || blocks > blockSizes_.size() - entry.firstBlock) {
        return ExtractResult::Corrupt;
    }
    // Entries usually lie in table order, so the stream is often there already; a seek would
    // cost a system call and drop what the stream has read ahead.
    std::uint64_t position = 0;
    if ((!filePosition(archiveFile, position) || position != entry.dataOffset) &&
        !seekTo(archiveFile, entry.dataOffset)) {
        return ExtractResult::Corrupt;
    }

    // Two buffers for the whole call, on the heap since the process's stack may be small; a
    // stored block never exceeds BlockSize.
    const auto buffers = std::make_unique_for_overwrite<unsigned char[]>(2 * BlockSize);
    unsigned char* const stored = buffers.get();
    unsigned char* const decoded = stored + BlockSize;
    for (std::uint64_t k = 0; k < blocks; ++k) {
        const std::uint32_t expected = blockLength(entry.originalSize, k);
        const std::uint32_t storedLength = blockSizes_[entry.firstBlock + k];
        if (std::fread(stored, 1, storedLength, archiveFile) != storedLength) {
            return ExtractResult::Corrupt;
        }
        const unsigned char* bytes = stored;
        if (storedLength != expected) {
            if (!inflateBlock(stored, storedLength, decoded, expected)) {
                return ExtractResult::Corrupt;
            }
            bytes = decoded;
        }
        if (std::fwrite(bytes, 1, expected, outputFile) != expected) {
            return ExtractResult::WriteFailed;
        }
    }
    return ExtractResult::Done;
}

} // namespace qzb
