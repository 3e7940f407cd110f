#include <memory>

#include "archive/archive.h"
#include "archive/block_decoder.h"
#include "archive/file_io.h"

namespace qzb {

ExtractResult Archive::extractEntry(std::FILE* archiveFile, std::FILE* outputFile,
                                    std::size_t index) const {
    const DecodeOutcome outcome =
        readEntry(archiveFile, index, [outputFile](const unsigned char* bytes, std::size_t length) {
            return std::fwrite(bytes, 1, length, outputFile) == length;
        });
    switch (outcome.fault) {
    case EntryFault::None:
        return ExtractResult::Done;
    case EntryFault::SinkRefused:
        return ExtractResult::WriteFailed;
    case EntryFault::BlocksOutsideTable:
    case EntryFault::Truncated:
    case EntryFault::BadBlock:
        break;
    }
    return ExtractResult::Corrupt;
}

DecodeOutcome Archive::readEntry(std::FILE* archiveFile, std::size_t index,
                                 const BlockSink& sink) const {
    if (index >= entries_.size()) {
        return {EntryFault::BlocksOutsideTable};
    }
    const ArchiveEntry& entry = entries_[index];
    const std::uint64_t blocks = blockCount(entry.originalSize);
    if (blocks == 0) {
        return {};
    }
    if (entry.firstBlock > blockSizes_.size() || blocks > blockSizes_.size() - entry.firstBlock) {
        return {EntryFault::BlocksOutsideTable};
    }
    // Entries usually lie in table order, so the stream is often there already; a seek would
    // cost a system call and drop what the stream has read ahead.
    std::uint64_t position = 0;
    if ((!filePosition(archiveFile, position) || position != entry.dataOffset) &&
        !seekTo(archiveFile, entry.dataOffset)) {
        return {EntryFault::Truncated};
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
            return {EntryFault::Truncated, k};
        }
        const unsigned char* bytes = stored;
        if (storedLength != expected) {
            if (!inflateBlock(stored, storedLength, decoded, expected)) {
                return {EntryFault::BadBlock, k};
            }
            bytes = decoded;
        }
        if (!sink(bytes, expected)) {
            return {EntryFault::SinkRefused, k};
        }
    }
    return {};
}

} // namespace qzb
