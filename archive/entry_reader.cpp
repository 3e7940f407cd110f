#include <memory>

#include "archive/archive.h"
#include "archive/block_decoder.h"

namespace qzb {

std::optional<BlockRange> Archive::blockRange(std::size_t index) const {
    const ArchiveEntry& entry = entries_[index];
    const std::uint64_t blocks = blockCount(entry.originalSize);
    if (blocks == 0) {
        return BlockRange{0, 0};
    }
    if (entry.firstBlock > blockSizes_.size() || blocks > blockSizes_.size() - entry.firstBlock) {
        return std::nullopt;
    }
    return BlockRange{entry.firstBlock, static_cast<std::size_t>(blocks)};
}

DecodeOutcome Archive::readEntry(std::size_t index, const BlockSink& sink) const {
    if (index >= entries_.size()) {
        return {EntryFault::BlocksOutsideTable};
    }
    const std::optional<BlockRange> range = blockRange(index);
    if (!range) {
        return {EntryFault::BlocksOutsideTable};
    }
    if (range->count == 0) {
        return {};
    }
    const ArchiveEntry& entry = entries_[index];
    // Two buffers for the whole call, on the heap since the process's stack may be small; a
    // stored block never exceeds BlockSize.
    const auto buffers = std::make_unique_for_overwrite<unsigned char[]>(2 * BlockSize);
    unsigned char* const stored = buffers.get();
    unsigned char* const decoded = stored + BlockSize;
    // Past MaxReadOffset every read fails, so the offset never wraps before the entry fails.
    std::uint64_t offset = entry.dataOffset;
    for (std::size_t k = 0; k < range->count; ++k) {
        const std::uint32_t expected = blockLength(entry.originalSize, k);
        const std::uint32_t storedLength = blockSizes_[range->first + k];
        if (file_.readAt(offset, stored, storedLength) != storedLength) {
            return {EntryFault::Truncated, k};
        }
        offset += storedLength;
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
