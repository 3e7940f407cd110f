#include "archive/block_pipeline.h"

#include <algorithm>
#include <limits>
#include <new>
#include <system_error>

#include "archive/block_decoder.h"
#include "archive/file_io.h"

namespace qzb {
namespace {

// A slot holds up to two blocks' worth of stored and of inflated bytes, so full blocks go two at a
// time and small ones many at a time: one read and one hand-over for all of them.
constexpr std::uint32_t SlotBytes = 2 * BlockSize;
constexpr std::size_t MaxBlocksPerSlot = 1024;
// Slots per worker: enough that a worker finds a free one while the writer is busy with a large
// write, few enough that memory stays a few MiB.
constexpr std::size_t SlotsPerThread = 4;

// Offsets the 64-bit seeks take; an entry whose data starts beyond them cannot be read.
constexpr std::uint64_t MaxOffset =
    static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());

} // namespace

unsigned defaultInflateThreads() {
    return std::min(usableProcessors(), MaxInflateThreads);
}

BlockPipeline::BlockPipeline(const Archive& archive, std::FILE* archiveFile, unsigned threads)
    : archive_(archive), archiveFile_(archiveFile) {
    if (threads <= 1) {
        return;
    }
    // Where memory or threads run short (a limited address space), the run goes on with fewer
    // workers or none, since its outcome must not depend on them.
    try {
        slots_.resize(SlotsPerThread * threads);
        for (Slot& slot : slots_) {
            slot.blocks.reserve(MaxBlocksPerSlot);
            slot.input = std::make_unique<unsigned char[]>(SlotBytes);
            slot.output = std::make_unique<unsigned char[]>(SlotBytes);
        }
    } catch (const std::bad_alloc&) {
        std::vector<Slot>().swap(slots_);
        return;
    }
    startEntry(0);
    workers_.reserve(threads);
    for (unsigned i = 0; i < threads; ++i) {
        try {
            workers_.emplace_back([this] { work(); });
        } catch (const std::system_error&) {
            break;
        }
    }
    if (workers_.empty()) {
        std::vector<Slot>().swap(slots_);
    }
}

BlockPipeline::~BlockPipeline() {
    {
        const std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    spaceChanged_.notify_all();
    workers_.clear();
}

DecodeOutcome BlockPipeline::readEntry(std::size_t index, const BlockSink& sink) {
    if (workers_.empty() || index >= archive_.entryCount() || (started_ && index <= lastEntry_)) {
        return archive_.readEntry(archiveFile_, index, sink);
    }
    const bool passedOver = started_ ? index > lastEntry_ + 1 : index > 0;
    started_ = true;
    lastEntry_ = index;
    // The same checks, in the same order, as Archive::readEntry.
    const ArchiveEntry& entry = archive_.entries()[index];
    const std::uint64_t blocks = blockCount(entry.originalSize);
    if (blocks == 0) {
        return {};
    }
    const std::size_t tableSize = archive_.blockSizes().size();
    if (entry.firstBlock > tableSize || blocks > tableSize - entry.firstBlock) {
        return {EntryFault::BlocksOutsideTable, 0};
    }
    if (passedOver) {
        // Entries passed over get no more work.
        const std::lock_guard lock(mutex_);
        if (cursor_.entry < index) {
            startEntry(index);
        }
    }
    for (std::uint64_t k = 0; k < blocks; ++k) {
        const Block& block = nextBlock(index);
        // An inflater that could not get memory on a worker gets another chance here, where its
        // failure ends the run as it would on one thread.
        if (block.deferred &&
            !inflateBlock(current_->input.get() + block.inputAt, block.stored,
                          current_->output.get() + block.outputAt, block.length)) {
            return {EntryFault::BadBlock, k};
        }
        if (!block.ok) {
            return {block.truncated ? EntryFault::Truncated : EntryFault::BadBlock, k};
        }
        if (!sink(bytesOf(block), block.length)) {
            return {EntryFault::SinkRefused, k};
        }
    }
    return {};
}

void BlockPipeline::startEntry(std::size_t entry) {
    cursor_ = Cursor{entry, 0, 0, true};
    if (entry < archive_.entryCount()) {
        cursor_.offset = archive_.entries()[entry].dataOffset;
        cursor_.readable = cursor_.offset <= MaxOffset;
    }
}

void BlockPipeline::settleCursor() {
    const std::vector<ArchiveEntry>& entries = archive_.entries();
    const std::size_t tableSize = archive_.blockSizes().size();
    while (cursor_.entry < entries.size()) {
        const ArchiveEntry& entry = entries[cursor_.entry];
        const std::uint64_t blocks = blockCount(entry.originalSize);
        if (blocks != 0 && entry.firstBlock <= tableSize &&
            blocks <= tableSize - entry.firstBlock && cursor_.block < blocks) {
            return;
        }
        startEntry(cursor_.entry + 1);
    }
}

void BlockPipeline::claim(Slot& slot) {
    const std::vector<ArchiveEntry>& entries = archive_.entries();
    const std::vector<std::uint32_t>& sizes = archive_.blockSizes();
    slot.blocks.clear();
    slot.offset = cursor_.offset;
    slot.stored = 0;
    std::uint32_t inflated = 0;
    settleCursor();
    while (cursor_.entry < entries.size() && slot.blocks.size() < MaxBlocksPerSlot) {
        const ArchiveEntry& entry = entries[cursor_.entry];
        const std::uint32_t stored = sizes[entry.firstBlock + cursor_.block];
        const std::uint32_t length = blockLength(entry.originalSize, cursor_.block);
        const bool raw = stored == length;
        if (!cursor_.readable) {
            // Nothing of the entry can be read: its first block fails it, alone in its slot.
            if (slot.blocks.empty()) {
                slot.blocks.push_back({cursor_.entry, 0, 0, stored, length, false, false, true});
                startEntry(cursor_.entry + 1);
                settleCursor();
            }
            return;
        }
        if (slot.blocks.empty()) {
            slot.offset = cursor_.offset;
        } else if (cursor_.offset != slot.offset + slot.stored ||
                   stored > SlotBytes - slot.stored || (!raw && length > SlotBytes - inflated)) {
            return;
        }
        slot.blocks.push_back({cursor_.entry, slot.stored, inflated, stored, length, true, false});
        slot.stored += stored;
        if (!raw) {
            inflated += length;
        }
        cursor_.offset += stored;
        ++cursor_.block;
        settleCursor();
    }
}

void BlockPipeline::decode(Slot& slot) const {
    const std::size_t got =
        slot.stored == 0 ? 0 : readAt(archiveFile_, slot.offset, slot.input.get(), slot.stored);
    for (Block& block : slot.blocks) {
        block.truncated = block.truncated || block.inputAt + block.stored > got;
        block.ok = block.ok && !block.truncated;
        if (block.ok && block.stored != block.length) {
            try {
                block.ok = inflateBlock(slot.input.get() + block.inputAt, block.stored,
                                        slot.output.get() + block.outputAt, block.length);
            } catch (const std::bad_alloc&) {
                block.deferred = true;
            }
        }
    }
}

void BlockPipeline::work() {
    std::unique_lock lock(mutex_);
    while (true) {
        spaceChanged_.wait(lock, [this] {
            if (stopping_) {
                return true;
            }
            settleCursor();
            return nextSequence_ < consumed_ + slots_.size() &&
                   cursor_.entry < archive_.entryCount();
        });
        if (stopping_) {
            return;
        }
        Slot& slot = slots_[nextSequence_ % slots_.size()];
        slot.sequence = nextSequence_++;
        slot.ready = false;
        claim(slot);
        lock.unlock();
        decode(slot);
        lock.lock();
        slot.ready = true;
        readyChanged_.notify_one();
    }
}

const BlockPipeline::Block& BlockPipeline::nextBlock(std::size_t entry) {
    while (true) {
        while (current_ != nullptr && currentBlock_ < current_->blocks.size()) {
            const Block& block = current_->blocks[currentBlock_++];
            if (block.entry >= entry) {
                return block;
            }
        }
        std::unique_lock lock(mutex_);
        if (current_ != nullptr) {
            current_ = nullptr;
            ++consumed_;
            spaceChanged_.notify_one();
        }
        Slot& slot = slots_[consumed_ % slots_.size()];
        readyChanged_.wait(lock, [&] { return slot.ready && slot.sequence == consumed_; });
        current_ = &slot;
        currentBlock_ = 0;
    }
}

const unsigned char* BlockPipeline::bytesOf(const Block& block) const {
    return block.stored == block.length ? current_->input.get() + block.inputAt
                                        : current_->output.get() + block.outputAt;
}

} // namespace qzb
