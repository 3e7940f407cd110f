#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "archive/archive.h"
#include "archive/planned_ring.h"

namespace qzb {

// Most threads that pay off: past this the one writer, not inflating, bounds the run
// (docs/performance.md).
inline constexpr unsigned MaxInflateThreads = 8;

// Threads for inflating when the caller does not choose: the processors this process may use,
// up to MaxInflateThreads.
[[nodiscard]] unsigned defaultInflateThreads();

// An entry's destination that takes each block at its offset in the entry, so that a worker may
// put a block it inflated in place itself while the caller is at the entry.
struct PlacedSink {
    // On any thread, on several at once: puts the block at `offset`; false when it could not,
    // and `take` then gets it unplaced.
    std::function<bool(std::uint64_t offset, const unsigned char* bytes, std::size_t length)> place;
    // On the calling thread, each block once, in order: `placed` when a worker put it in place,
    // else it is to be put at `offset`; false stops the decoding.
    std::function<bool(std::uint64_t offset, const unsigned char* bytes, std::size_t length,
                       bool placed)>
        take;
};

// Reads entries in table order, the way Archive::readEntry does one at a time, with the same
// result for every entry. With more than one thread, the caller (the writer) plans batches of
// blocks into a bounded ring, worker threads read each batch at its offset and inflate it, and
// the writer takes each entry's blocks from the ring in order and writes them. A block that cannot
// be read or inflated is reported only when the writer reaches it; entries passed over are never
// reported, and what was inflated for them is dropped. With one thread the caller does all the work
// itself, as Archive::readEntry does.
class BlockPipeline {
public:
    // `archive` must outlive the pipeline. Only the entries `inflates` answers true for (when
    // set) are inflated ahead; the others readEntry reads directly, on the calling thread.
    BlockPipeline(const Archive& archive, unsigned threads,
                  std::function<bool(std::size_t index)> inflates = {});
    BlockPipeline(const BlockPipeline&) = delete;
    BlockPipeline& operator=(const BlockPipeline&) = delete;
    // Stops the workers after their current batch and waits for them.
    ~BlockPipeline();

    // Hands the content of entry `index` to `sink` block by block, as Archive::readEntry does,
    // with the same outcome. Indices should rise from call to call: entries between two calls
    // are passed over. A repeated or earlier index is read directly from the archive file.
    [[nodiscard]] DecodeOutcome readEntry(std::size_t index, const BlockSink& sink);
    // The same, with the blocks inflated after the call began put in place by the workers.
    // Before it returns no worker is putting one in place any more.
    [[nodiscard]] DecodeOutcome readEntry(std::size_t index, const PlacedSink& sink);

    unsigned threads() const { return static_cast<unsigned>(workers_.size()); }

private:
    // What became of a block on a worker. The writer tries a failure again itself before it
    // reports it, so that the outcome is the one thread's.
    enum class Verdict : std::uint8_t { Ok, ReadShort, InflateFailed };
    struct Block {
        std::size_t entry;
        std::uint64_t at;       // its offset in the entry
        std::uint32_t inputAt;  // its stored bytes in the slot's input
        std::uint32_t outputAt; // its inflated bytes in the slot's output, if compressed
        std::uint32_t stored;
        std::uint32_t length;
        Verdict verdict = Verdict::Ok;
        bool placed = false; // put in place by its worker
    };
    // A batch of consecutive blocks that lie one after another in the archive, read at once. The
    // writer plans it while it is free; a worker reads and inflates it, then marks it ready.
    struct Slot {
        std::vector<Block> blocks;
        std::uint64_t offset = 0; // in the archive, of the first block
        std::uint32_t stored = 0; // bytes to read from there
        std::unique_ptr<unsigned char[]> input;
        std::unique_ptr<unsigned char[]> output;
    };
    // The next block to plan: entry, block within it and its offset in the archive, and where
    // the entry's blocks lie in the block-size table.
    struct Cursor {
        std::size_t entry = 0;
        std::size_t block = 0;
        std::uint64_t offset = 0;
        BlockRange range{0, 0};
    };

    // Workers put in place the blocks of the entry the writer is at, for as long as it is there.
    class Placing;

    // The writer's planning, which no worker touches: plans every free slot from the cursor and
    // hands them to the workers.
    void planAhead();
    // Points the cursor at the first block of `entry`, or of the first entry after it that has
    // blocks in the table.
    void startEntry(std::size_t entry);
    // Fills `slot` with the blocks at the cursor, and moves the cursor past them.
    void plan(Slot& slot);
    // On a worker: one read for the slot, then its blocks inflated, each put in place where its
    // entry's sink takes it.
    void execute(Slot& slot);
    // On a worker: placement_, held, if an entry's blocks are being placed and nobody is writing
    // its file; else nothing, without waiting.
    std::unique_lock<std::mutex> tryPlacing();
    // On a worker holding placement_: puts in place those of the slot's blocks [from, to) that
    // were inflated and are of the entry the writer is at.
    void place(Slot& slot, std::size_t from, std::size_t to);
    // On the writer: a block that failed on a worker read or inflated again; its fault, if any.
    EntryFault settle(const Block& block);
    // The writer's next block; passes over blocks of entries before `entry`.
    const Block& nextBlock(std::size_t entry);
    static const unsigned char* bytesIn(const Slot& slot, const Block& block);

    const Archive& archive_;
    const std::function<bool(std::size_t)> inflates_;
    PlannedRing<Slot> ring_;
    // Held by whoever writes the file of the entry being placed, a worker or the writer, and to
    // start or end placing.
    std::mutex placement_;
    // The entry whose blocks workers put in place, and through what; guarded by placement_.
    const PlacedSink* placing_ = nullptr;
    std::size_t placingEntry_ = 0;
    // Whether placing_ is set, read without the lock: a worker that reads it late only leaves a
    // block to the writer, or takes the lock to find nothing to place.
    std::atomic<bool> placingAny_ = false;

    // The writer's own state, touched by no worker.
    Cursor cursor_;
    Slot* current_ = nullptr;
    std::size_t currentBlock_ = 0;
    std::size_t lastEntry_ = 0;
    bool started_ = false;

    std::vector<std::jthread> workers_;
};

} // namespace qzb
