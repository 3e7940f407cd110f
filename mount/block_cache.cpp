#include "mount/block_cache.h"

#include <algorithm>

#include "archive/block_decoder.h"
#include "archive/format.h"

namespace qzb::mount {
namespace {

// Blocks inflated ahead of a sequential reader: 1 MiB, several of the kernel's read requests,
// so that the threads stay ahead of a reader that copies as fast as they inflate.
constexpr std::size_t MaxReadAhead = 16;
// Blocks kept whatever the capacity says: those a few readers are in at once.
constexpr std::size_t MinBlocks = 4;

} // namespace

BlockCache::BlockCache(const Archive& archive, std::uint64_t capacity, unsigned threads)
    : archive_(archive), capacityBlocks_(static_cast<std::size_t>(
                             std::max<std::uint64_t>(capacity / BlockSize, MinBlocks))),
      readAhead_(threads == 0 ? 0 : std::min(MaxReadAhead, capacityBlocks_ / 4)) {
    const std::vector<std::uint32_t>& sizes = archive.blockSizes();
    storedBefore_.reserve(sizes.size() + 1);
    std::uint64_t sum = 0;
    storedBefore_.push_back(0);
    for (const std::uint32_t size : sizes) {
        sum += size;
        storedBefore_.push_back(sum);
    }
    for (unsigned i = 0; i < threads && readAhead_ > 0; ++i) {
        workers_.emplace_back([this] { work(); });
    }
}

BlockCache::~BlockCache() {
    {
        const std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    workPlanned_.notify_all();
}

ReadOutcome BlockCache::read(std::uint32_t entry, std::uint64_t offset, unsigned char* buffer,
                             std::size_t length, bool sequential) {
    const std::uint64_t size = archive_.entries()[entry].originalSize;
    ReadOutcome outcome;
    if (offset >= size) {
        return outcome;
    }
    const std::uint64_t end = offset + std::min<std::uint64_t>(length, size - offset);
    std::uint64_t block = offset / BlockSize;
    const std::uint64_t last = (end - 1) / BlockSize;
    // The request's other blocks, and for a sequential reader those after it, go to the threads
    // while this one inflates the first.
    if (readAhead_ > 0 && (sequential || last > block)) {
        std::size_t planned = 0;
        {
            const std::lock_guard lock(mutex_);
            planned = planLocked(entry, block + 1,
                                 sequential ? std::max(last, block + readAhead_) : last);
        }
        // Threads are woken only for work: most small files have none to plan.
        if (planned == 1) {
            workPlanned_.notify_one();
        } else if (planned > 1) {
            workPlanned_.notify_all();
        }
    }
    for (std::uint64_t at = offset; at < end; ++block) {
        const std::shared_ptr<const unsigned char> bytes =
            get({entry, block}, outcome.firstFailure);
        if (!bytes) {
            outcome.failed = true;
            outcome.block = block;
            return outcome;
        }
        const std::uint64_t within = at - block * BlockSize;
        const std::size_t count = static_cast<std::size_t>(
            std::min<std::uint64_t>(blockLength(size, block) - within, end - at));
        std::copy_n(bytes.get() + within, count, buffer + outcome.bytes);
        outcome.bytes += count;
        at += count;
    }
    return outcome;
}

std::shared_ptr<const unsigned char> BlockCache::get(const BlockKey& key, bool& firstFailure) {
    std::unique_lock lock(mutex_);
    for (;;) {
        if (const auto failed = failed_.find(key); failed != failed_.end()) {
            firstFailure = !failed->second;
            failed->second = true;
            return nullptr;
        }
        const auto found = blocks_.find(key);
        if (found == blocks_.end() || (found->second.loading && !found->second.started)) {
            break;
        }
        Block& block = found->second;
        if (!block.loading) {
            ages_.splice(ages_.begin(), ages_, block.age);
            return block.bytes;
        }
        blockDone_.wait(lock);
    }
    blocks_[key].started = true;
    lock.unlock();
    std::shared_ptr<const unsigned char> bytes = load(key);
    lock.lock();
    finishLocked(key, bytes);
    if (!bytes) {
        bool& told = failed_[key];
        firstFailure = !told;
        told = true;
    }
    return bytes;
}

std::shared_ptr<unsigned char> BlockCache::buffer() {
    std::unique_ptr<unsigned char[]> spare;
    {
        const std::lock_guard lock(spareMutex_);
        if (!spare_.empty()) {
            spare = std::move(spare_.back());
            spare_.pop_back();
        }
    }
    if (!spare) {
        spare = std::make_unique_for_overwrite<unsigned char[]>(BlockSize);
    }
    return std::shared_ptr<unsigned char>(spare.release(), [this](unsigned char* released) {
        std::unique_ptr<unsigned char[]> owned(released);
        const std::lock_guard lock(spareMutex_);
        try {
            spare_.push_back(std::move(owned));
        } catch (const std::bad_alloc&) {
            // Not kept, then: `owned` still holds it and frees it.
        }
    });
}

std::shared_ptr<const unsigned char> BlockCache::load(const BlockKey& key) {
    const std::optional<BlockRange> range = archive_.blockRange(key.entry);
    if (!range || key.block >= range->count) {
        return nullptr;
    }
    const ArchiveEntry& entry = archive_.entries()[key.entry];
    const std::size_t index = range->first + static_cast<std::size_t>(key.block);
    const std::uint64_t after = storedBefore_[index] - storedBefore_[range->first];
    if (entry.dataOffset > platform::MaxReadOffset - after) {
        return nullptr;
    }
    const std::uint32_t expected = blockLength(entry.originalSize, key.block);
    const std::uint32_t stored = archive_.blockSizes()[index];
    std::shared_ptr<unsigned char> bytes = buffer();
    if (stored == expected) {
        if (archive_.file().readAt(entry.dataOffset + after, bytes.get(), stored) != stored) {
            return nullptr;
        }
        return bytes;
    }
    const std::shared_ptr<unsigned char> input = buffer();
    if (archive_.file().readAt(entry.dataOffset + after, input.get(), stored) != stored ||
        !inflateBlock(input.get(), stored, bytes.get(), expected)) {
        return nullptr;
    }
    return bytes;
}

void BlockCache::finishLocked(const BlockKey& key, std::shared_ptr<const unsigned char> bytes) {
    if (!bytes) {
        blocks_.erase(key);
        failed_.try_emplace(key, false);
    } else {
        Block& block = blocks_[key];
        block.bytes = std::move(bytes);
        block.loading = false;
        ages_.push_front(key);
        block.age = ages_.begin();
        evictLocked();
    }
    blockDone_.notify_all();
}

void BlockCache::evictLocked() {
    while (ages_.size() > capacityBlocks_) {
        blocks_.erase(ages_.back());
        ages_.pop_back();
    }
}

std::size_t BlockCache::planLocked(std::uint32_t entry, std::uint64_t from, std::uint64_t to) {
    const std::uint64_t count = blockCount(archive_.entries()[entry].originalSize);
    std::size_t planned = 0;
    // However many readers read on, no more is planned than the threads can be ahead by.
    for (std::uint64_t next = from; next < count && next <= to && planned_.size() < 2 * readAhead_;
         ++next) {
        const BlockKey key{entry, next};
        if (!blocks_.contains(key) && !failed_.contains(key)) {
            blocks_[key];
            planned_.push_back(key);
            ++planned;
        }
    }
    return planned;
}

void BlockCache::work() {
    std::unique_lock lock(mutex_);
    for (;;) {
        workPlanned_.wait(lock, [this] { return stopping_ || !planned_.empty(); });
        if (stopping_) {
            return;
        }
        const BlockKey key = planned_.front();
        planned_.pop_front();
        const auto found = blocks_.find(key);
        if (found == blocks_.end() || found->second.started) {
            continue;
        }
        found->second.started = true;
        lock.unlock();
        std::shared_ptr<const unsigned char> bytes = load(key);
        lock.lock();
        finishLocked(key, std::move(bytes));
    }
}

} // namespace qzb::mount
