#include "archive/block_pipeline.h"

#include <algorithm>
#include <new>
#include <optional>
#include <utility>

#include "archive/block_decoder.h"
#include "archive/worker_threads.h"
#include "platform/archive_file.h"

namespace qzb {
namespace {

// A slot holds up to six blocks' worth of stored and of inflated bytes, so full blocks go six at a
// time and small ones many at a time: one read and one hand-over for all of them. Each hand-over
// that finds the other side asleep costs a wake-up on both; with two blocks a slot those were a
// tenth of the run's CPU time on the large profile (docs/performance.md).
constexpr std::uint32_t SlotBytes = 6 * BlockSize;
constexpr std::size_t MaxBlocksPerSlot = 1024;
// Slots per worker: enough that a worker finds a planned one while the writer is busy with a
// large write, few enough that memory stays at 1.5 MiB a worker.
constexpr std::size_t SlotsPerThread = 2;

} // namespace

unsigned defaultInflateThreads() {
    return std::min(platform::usableProcessors(), MaxInflateThreads);
}

BlockPipeline::BlockPipeline(const Archive& archive, unsigned threads,
                             std::function<bool(std::size_t)> inflates)
    : archive_(archive), inflates_(std::move(inflates)) {
    if (threads <= 1) {
        return;
    }
    // Where memory or threads run short (a limited address space), the run goes on with fewer
    // workers or none, since its outcome must not depend on them.
    try {
        ring_.resize(SlotsPerThread * threads);
        ring_.forEach([](Slot& slot) {
            slot.blocks.reserve(MaxBlocksPerSlot);
            slot.input = std::make_unique<unsigned char[]>(SlotBytes);
            slot.output = std::make_unique<unsigned char[]>(SlotBytes);
        });
    } catch (const std::bad_alloc&) {
        ring_.discard();
        return;
    }
    startEntry(0);
    planAhead();
    startWorkers(workers_, threads, [this] { ring_.work([this](Slot& slot) { execute(slot); }); });
    if (workers_.empty()) {
        ring_.discard();
    }
}

BlockPipeline::~BlockPipeline() {
    ring_.stop();
    workers_.clear();
}

// While the writer is at an entry, the workers put its blocks in place; leaving it, the writer
// waits for the lock a worker places under, so that the sink outlives their use of it.
class BlockPipeline::Placing {
public:
    Placing(BlockPipeline& pipeline, std::size_t entry, const PlacedSink& sink)
        : pipeline_(sink.place ? &pipeline : nullptr) {
        if (pipeline_ != nullptr) {
            const std::lock_guard writing(pipeline_->placement_);
            pipeline_->placing_ = &sink;
            pipeline_->placingEntry_ = entry;
            pipeline_->placingAny_.store(true, std::memory_order_relaxed);
        }
    }
    Placing(const Placing&) = delete;
    Placing& operator=(const Placing&) = delete;
    ~Placing() {
        if (pipeline_ != nullptr) {
            const std::lock_guard writing(pipeline_->placement_);
            pipeline_->placing_ = nullptr;
            pipeline_->placingAny_.store(false, std::memory_order_relaxed);
        }
    }

private:
    BlockPipeline* pipeline_;
};

DecodeOutcome BlockPipeline::readEntry(std::size_t index, const BlockSink& sink) {
    return readEntry(index,
                     PlacedSink{{},
                                [&sink](std::uint64_t, const unsigned char* bytes,
                                        std::size_t length, bool) { return sink(bytes, length); }});
}

DecodeOutcome BlockPipeline::readEntry(std::size_t index, const PlacedSink& sink) {
    if (workers_.empty() || index >= archive_.entryCount() || (started_ && index <= lastEntry_) ||
        (inflates_ && !inflates_(index))) {
        std::uint64_t at = 0;
        return archive_.readEntry(index, [&](const unsigned char* bytes, std::size_t length) {
            const bool taken = sink.take(at, bytes, length, false);
            at += length;
            return taken;
        });
    }
    started_ = true;
    lastEntry_ = index;
    // The same checks, in the same order, as Archive::readEntry.
    const std::optional<BlockRange> range = archive_.blockRange(index);
    if (!range) {
        return {EntryFault::BlocksOutsideTable, 0};
    }
    // Entries passed over get no more planning.
    if (cursor_.entry < index) {
        startEntry(index);
    }
    const Placing placing(*this, index, sink);
    for (std::size_t k = 0; k < range->count; ++k) {
        const Block& block = nextBlock(index);
        if (const EntryFault fault = settle(block); fault != EntryFault::None) {
            return {fault, k};
        }
        std::unique_lock writing(placement_, std::defer_lock);
        if (sink.place && !block.placed) {
            writing.lock();
        }
        if (!sink.take(block.at, bytesIn(*current_, block), block.length, block.placed)) {
            return {EntryFault::SinkRefused, k};
        }
    }
    return {};
}

void BlockPipeline::startEntry(std::size_t entry) {
    for (; entry < archive_.entryCount(); ++entry) {
        const std::optional<BlockRange> range = archive_.blockRange(entry);
        if (range && range->count > 0 && (!inflates_ || inflates_(entry))) {
            cursor_ = Cursor{entry, 0, archive_.entries()[entry].dataOffset, *range};
            return;
        }
    }
    cursor_ = Cursor{entry, 0, 0, BlockRange{0, 0}};
}

void BlockPipeline::planAhead() {
    ring_.planAhead([this] { return cursor_.entry < archive_.entryCount(); },
                    [this](Slot& slot) { plan(slot); });
}

void BlockPipeline::plan(Slot& slot) {
    const std::vector<ArchiveEntry>& entries = archive_.entries();
    const std::vector<std::uint32_t>& sizes = archive_.blockSizes();
    slot.blocks.clear();
    slot.offset = cursor_.offset;
    slot.stored = 0;
    std::uint32_t inflated = 0;
    while (cursor_.entry < entries.size() && slot.blocks.size() < MaxBlocksPerSlot) {
        const ArchiveEntry& entry = entries[cursor_.entry];
        const std::uint32_t stored = sizes[cursor_.range.first + cursor_.block];
        const std::uint32_t length = blockLength(entry.originalSize, cursor_.block);
        const bool raw = stored == length;
        if (entry.dataOffset > platform::MaxReadOffset) {
            // Nothing of the entry can be read: its first block fails it, alone in its slot.
            if (slot.blocks.empty()) {
                slot.blocks.push_back({cursor_.entry, 0, 0, 0, stored, length});
                slot.stored = stored;
                startEntry(cursor_.entry + 1);
            }
            return;
        }
        if (!slot.blocks.empty() &&
            (cursor_.offset != slot.offset + slot.stored || stored > SlotBytes - slot.stored ||
             (!raw && length > SlotBytes - inflated))) {
            return;
        }
        slot.blocks.push_back({cursor_.entry, std::uint64_t{cursor_.block} * BlockSize, slot.stored,
                               inflated, stored, length});
        slot.stored += stored;
        if (!raw) {
            inflated += length;
        }
        cursor_.offset += stored;
        if (++cursor_.block == cursor_.range.count) {
            startEntry(cursor_.entry + 1);
        }
    }
}

void BlockPipeline::execute(Slot& slot) {
    const std::size_t got = archive_.file().readAt(slot.offset, slot.input.get(), slot.stored);
    // Blocks inflated and not yet offered for placing start here. The file system lets one
    // thread write a file at a time and makes the others spin: a worker that finds another
    // writing inflates its next block meanwhile, and waits its turn only once the slot is done.
    std::size_t unplaced = 0;
    for (std::size_t k = 0; k < slot.blocks.size(); ++k) {
        Block& block = slot.blocks[k];
        if (std::unique_lock writing = tryPlacing(); writing) {
            place(slot, unplaced, k);
            unplaced = k;
        }
        if (block.inputAt + block.stored > got) {
            block.verdict = Verdict::ReadShort;
            continue;
        }
        bool ok = true;
        if (block.stored != block.length) {
            try {
                ok = inflateBlock(slot.input.get() + block.inputAt, block.stored,
                                  slot.output.get() + block.outputAt, block.length);
            } catch (...) {
                ok = false;
            }
        }
        block.verdict = ok ? Verdict::Ok : Verdict::InflateFailed;
    }
    if (placingAny_.load(std::memory_order_relaxed)) {
        const std::lock_guard writing(placement_);
        place(slot, unplaced, slot.blocks.size());
    }
}

std::unique_lock<std::mutex> BlockPipeline::tryPlacing() {
    if (!placingAny_.load(std::memory_order_relaxed)) {
        return {};
    }
    return std::unique_lock(placement_, std::try_to_lock);
}

void BlockPipeline::place(Slot& slot, std::size_t from, std::size_t to) {
    for (std::size_t k = from; k < to && placing_ != nullptr; ++k) {
        Block& block = slot.blocks[k];
        if (block.entry != placingEntry_ || block.verdict != Verdict::Ok) {
            continue;
        }
        try {
            block.placed = placing_->place(block.at, bytesIn(slot, block), block.length);
        } catch (...) {
            block.placed = false;
        }
    }
}

// What a worker could not do is done here as one thread does it, so that only a failure this
// thread meets too is reported, and a lack of memory ends the run as it would there.
EntryFault BlockPipeline::settle(const Block& block) {
    unsigned char* const input = current_->input.get() + block.inputAt;
    switch (block.verdict) {
    case Verdict::Ok:
        return EntryFault::None;
    case Verdict::ReadShort:
        if (archive_.file().readAt(current_->offset + block.inputAt, input, block.stored) !=
            block.stored) {
            return EntryFault::Truncated;
        }
        if (block.stored == block.length) {
            return EntryFault::None;
        }
        break;
    case Verdict::InflateFailed:
        break;
    }
    return inflateBlock(input, block.stored, current_->output.get() + block.outputAt, block.length)
               ? EntryFault::None
               : EntryFault::BadBlock;
}

const BlockPipeline::Block& BlockPipeline::nextBlock(std::size_t entry) {
    while (true) {
        while (current_ != nullptr && currentBlock_ < current_->blocks.size()) {
            const Block& block = current_->blocks[currentBlock_++];
            if (block.entry >= entry) {
                return block;
            }
        }
        if (current_ != nullptr) {
            current_ = nullptr;
            ring_.release();
        }
        planAhead();
        // The entry's blocks are planned by now: the cursor is at them or past them.
        current_ = ring_.takeReady();
        currentBlock_ = 0;
    }
}

const unsigned char* BlockPipeline::bytesIn(const Slot& slot, const Block& block) {
    return block.stored == block.length ? slot.input.get() + block.inputAt
                                        : slot.output.get() + block.outputAt;
}

} // namespace qzb
