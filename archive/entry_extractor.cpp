#include "archive/archive.h"
#include "archive/block_decoder.h"
#include "archive/file_io.h"

namespace qzb {

bool Archive::extractEntry(std::FILE* archiveFile, std::FILE* outputFile, std::size_t index) const {
    if (index >= entries_.size()) {
        return false;
    }
    const ArchiveEntry& entry = entries_[index];
    const std::uint64_t blocks = blockCount(entry.originalSize);
    if (blocks == 0) {
        return true;
    }
    if (entry.firstBlock > blockSizes_.size() || blocks > blockSizes_.size() - entry.firstBlock) {
        return false;
    }
    // Entries usually lie in table order, so the stream is often there already; a seek would
    // cost a system call and drop what the stream has read ahead.
    std::uint64_t position = 0;
    if ((!filePosition(archiveFile, position) || position != entry.dataOffset) &&
        !seekTo(archiveFile, entry.dataOffset)) {
        return false;
    }

    // Two buffers for the whole call; a stored block never exceeds BlockSize.
    unsigned char stored[BlockSize];
    unsigned char decoded[BlockSize];
    for (std::uint64_t k = 0; k < blocks; ++k) {
        const std::uint32_t expected = blockLength(entry.originalSize, k);
        const std::uint32_t storedLength = blockSizes_[entry.firstBlock + k];
        if (std::fread(stored, 1, storedLength, archiveFile) != storedLength) {
            return false;
        }
        const unsigned char* bytes = stored;
        if (storedLength != expected) {
            if (!inflateBlock(stored, storedLength, decoded, expected)) {
                return false;
            }
            bytes = decoded;
        }
        if (std::fwrite(bytes, 1, expected, outputFile) != expected) {
            return false;
        }
    }
    return true;
}

} // namespace qzb
