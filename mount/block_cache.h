#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <list>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

#include "archive/archive.h"

// Entries read at any offset for a mount: each block read at its place in the archive and
// inflated once into a bounded cache, the blocks after a sequential reader inflated ahead.
namespace qzb::mount {

// One block of one entry.
struct BlockKey {
    std::uint32_t entry;
    std::uint64_t block;
    bool operator==(const BlockKey&) const = default;
};

struct BlockKeyHash {
    std::size_t operator()(const BlockKey& key) const {
        return std::hash<std::uint64_t>()(key.block * 0x9E3779B97F4A7C15ull ^ key.entry);
    }
};

// What a read got: the bytes copied, or the block that could not be had.
struct ReadOutcome {
    std::size_t bytes = 0;
    bool failed = false;
    // The entry's block that failed, and whether this read was the first to find it so.
    std::uint64_t block = 0;
    bool firstFailure = false;
};

class BlockCache {
public:
    // `archive` must outlive the cache. `capacity` bounds the inflated bytes held (at least a few
    // blocks are kept whatever it says); `threads` inflate ahead of sequential readers (0: none).
    BlockCache(const Archive& archive, std::uint64_t capacity, unsigned threads);
    BlockCache(const BlockCache&) = delete;
    BlockCache& operator=(const BlockCache&) = delete;
    // Stops the read-ahead threads after the block they inflate.
    ~BlockCache();

    // Copies up to `length` bytes of entry `entry` from `offset` into `buffer`: fewer only at the
    // entry's end. A reader that says it reads on sequentially has the blocks after inflated
    // ahead. Any number of threads may read at once; a block asked for by several is inflated
    // once.
    ReadOutcome read(std::uint32_t entry, std::uint64_t offset, unsigned char* buffer,
                     std::size_t length, bool sequential);

    // How many blocks one read-ahead covers.
    std::size_t readAheadBlocks() const { return readAhead_; }

private:
    struct Block {
        // Empty until inflated; stays empty when it failed. A block's length follows from its
        // entry's size.
        std::shared_ptr<const unsigned char> bytes;
        bool loading = true;
        // Taken by a thread that inflates it; a planned block no thread took yet is taken by
        // the first reader that needs it, rather than waited for.
        bool started = false;
        std::list<BlockKey>::iterator age;
    };

    // The block's bytes, inflated here or waited for; null when it cannot be had.
    std::shared_ptr<const unsigned char> get(const BlockKey& key, bool& firstFailure);
    // The block read at its offset and inflated, outside the lock; null when it cannot be.
    std::shared_ptr<const unsigned char> load(const BlockKey& key);
    // With the lock held: the block's result stored, waiters woken, the oldest blocks dropped
    // while over capacity.
    void finishLocked(const BlockKey& key, std::shared_ptr<const unsigned char> bytes);
    void evictLocked();
    // A buffer of BlockSize bytes, handed back to the spares when its last holder lets go.
    std::shared_ptr<unsigned char> buffer();
    // Blocks `from` to `to` of the entry planned for the threads, those not had or planned yet;
    // answers how many.
    std::size_t planLocked(std::uint32_t entry, std::uint64_t from, std::uint64_t to);
    void work();

    const Archive& archive_;
    // Where each block of the table lies from the start of its entry's data: the stored lengths
    // of the table's blocks before it, summed.
    std::vector<std::uint64_t> storedBefore_;
    std::size_t capacityBlocks_;
    std::size_t readAhead_;
    // Buffers let go of, for the next blocks: threads that allocate and free in arenas of their
    // own would otherwise hold far more than the cache between them. Declared before the blocks,
    // which hand theirs back here when they go.
    std::mutex spareMutex_;
    std::vector<std::unique_ptr<unsigned char[]>> spare_;

    std::mutex mutex_;
    std::condition_variable blockDone_;
    std::condition_variable workPlanned_;
    std::unordered_map<BlockKey, Block, BlockKeyHash> blocks_;
    // Inflated blocks, most recently used first.
    std::list<BlockKey> ages_;
    // Blocks that could not be had, and whether a reader was told so yet: each is tried once.
    std::unordered_map<BlockKey, bool, BlockKeyHash> failed_;
    std::deque<BlockKey> planned_;
    bool stopping_ = false;
    std::vector<std::jthread> workers_;
};

} // namespace qzb::mount
