#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "archive/archive.h"

namespace qzb {

// Most threads that pay off: past this the one writer, not inflating, bounds the run
// (docs/performance.md).
inline constexpr unsigned MaxInflateThreads = 8;

// Threads for inflating when the caller does not choose: the processors this process may use,
// up to MaxInflateThreads.
unsigned defaultInflateThreads();

// Reads entries in table order, the way Archive::readEntry does one at a time, with the same
// result for every entry. With more than one thread, worker threads read blocks at their offsets
// and inflate them ahead of the caller, into a bounded ring; the caller (the writer) takes each
// entry's blocks from it in order and writes them. A block that cannot be read or inflated is
// reported only when the writer reaches it; entries passed over are never reported, and what was
// inflated for them is dropped. With one thread the caller does all the work itself, as
// Archive::readEntry does.
class BlockPipeline {
public:
    // `archive` and `archiveFile` must outlive the pipeline.
    BlockPipeline(const Archive& archive, std::FILE* archiveFile, unsigned threads);
    BlockPipeline(const BlockPipeline&) = delete;
    BlockPipeline& operator=(const BlockPipeline&) = delete;
    // Stops the workers after their current batch and waits for them.
    ~BlockPipeline();

    // Hands the content of entry `index` to `sink` block by block, as Archive::readEntry does,
    // with the same outcome. Indices should rise from call to call: entries between two calls
    // are passed over. A repeated or earlier index is read directly from the archive file.
    DecodeOutcome readEntry(std::size_t index, const BlockSink& sink);

    unsigned threads() const { return static_cast<unsigned>(workers_.size()); }

private:
    struct Block {
        std::size_t entry;
        std::uint32_t inputAt;  // its stored bytes in the slot's input
        std::uint32_t outputAt; // its inflated bytes in the slot's output, if compressed
        std::uint32_t stored;
        std::uint32_t length;
        bool ok;
        bool deferred;          // the inflater lacked memory on the worker: the writer inflates it
        bool truncated = false; // its stored bytes could not all be read
    };
    // A batch of consecutive blocks that lie one after another in the archive, read at once.
    struct Slot {
        std::uint64_t sequence = 0;
        bool ready = false;
        std::vector<Block> blocks;
        std::uint64_t offset = 0; // in the archive, of the first block
        std::uint32_t stored = 0; // bytes to read from there
        std::unique_ptr<unsigned char[]> input;
        std::unique_ptr<unsigned char[]> output;
    };
    // The next block to hand out: entry, block within it and its offset in the archive.
    struct Cursor {
        std::size_t entry = 0;
        std::uint64_t block = 0;
        std::uint64_t offset = 0;
        bool readable = true; // false when the entry's data lies beyond any file offset
    };

    void work();
    // Under the lock: moves the cursor to the next entry that has blocks in the table.
    void settleCursor();
    // Under the lock: points the cursor at the first block of `entry`.
    void startEntry(std::size_t entry);
    // Under the lock: fills `slot` with the blocks at the cursor, and moves the cursor past them.
    void claim(Slot& slot);
    void decode(Slot& slot) const;
    // The writer's next block; passes over blocks of entries before `entry`.
    const Block& nextBlock(std::size_t entry);
    const unsigned char* bytesOf(const Block& block) const;

    const Archive& archive_;
    std::FILE* archiveFile_;
    std::vector<Slot> slots_;

    std::mutex mutex_;
    std::condition_variable readyChanged_; // the writer waits for its slot
    std::condition_variable spaceChanged_; // workers wait for a free slot
    Cursor cursor_;
    std::uint64_t nextSequence_ = 0; // of the next slot to fill
    std::uint64_t consumed_ = 0;     // slots the writer has released
    bool stopping_ = false;

    // The writer's own state, touched by no worker.
    Slot* current_ = nullptr;
    std::size_t currentBlock_ = 0;
    std::size_t lastEntry_ = 0;
    bool started_ = false;

    std::vector<std::jthread> workers_;
};

} // namespace qzb
