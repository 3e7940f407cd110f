#include "app/files_ahead.h"

#include <algorithm>
#include <optional>
#include <utility>

#include "archive/block_decoder.h"
#include "archive/format.h"
#include "archive/worker_threads.h"
#include "platform/archive_file.h"
#include "platform/platform.h"

namespace qzb {
namespace {

// 8 batches of 32 entries: at most 256 files open ahead, whatever the archive holds, and each
// hand-over covers enough files that its lock and wake-up cost little per file.
constexpr std::size_t Batches = 8;
constexpr std::size_t EntriesPerBatch = 32;
// A batch looks at no more entries than this, so planning past long runs of large entries stays
// short.
constexpr std::size_t IndicesPerBatch = 4096;
// One read takes the stored blocks of consecutive entries up to this many bytes.
constexpr std::size_t ReadBytes = 4 * BlockSize;

} // namespace

FilesAhead::FilesAhead(const Archive& archive, const files::Directory& target, unsigned threads,
                       std::function<bool(std::size_t)> selected)
    : archive_(archive), target_(target), selected_(std::move(selected)) {
    if (threads == 0 || !target.makesFilesAhead()) {
        return;
    }
    // Where memory or threads run short, the writer makes every file itself.
    try {
        ring_.resize(Batches);
        ring_.forEach([](Batch& batch) { batch.items.reserve(EntriesPerBatch); });
    } catch (const std::bad_alloc&) {
        ring_.discard();
        return;
    }
    planAhead();
    startWorkers(workers_, threads, [this] { work(); });
    if (workers_.empty()) {
        ring_.discard();
    }
}

FilesAhead::~FilesAhead() {
    static_cast<void>(stop());
}

bool FilesAhead::covers(std::size_t index) const {
    if (ring_.size() == 0 || (selected_ && !selected_(index))) {
        return false;
    }
    const std::optional<BlockRange> range = archive_.blockRange(index);
    return range && range->count <= 1;
}

bool FilesAhead::stop() {
    if (workers_.empty()) {
        return false;
    }
    ring_.stop();
    workers_.clear();
    current_ = nullptr;
    ring_.forEach([](Batch& batch) { batch.items.clear(); });
    return true;
}

std::unique_ptr<files::NewFile> FilesAhead::take(std::size_t index) {
    while (running()) {
        if (current_ != nullptr) {
            while (currentItem_ < current_->items.size() &&
                   current_->items[currentItem_].entry <= index) {
                Item& item = current_->items[currentItem_++];
                if (item.entry == index) {
                    return std::move(item.file);
                }
                item.file.reset();
            }
            if (index < current_->end) {
                return nullptr;
            }
            current_->items.clear();
            current_ = nullptr;
            ring_.release();
        }
        planAhead();
        if (const Batch* next = ring_.oldest(); next == nullptr || next->first > index) {
            return nullptr;
        }
        current_ = ring_.takeReady();
        currentItem_ = 0;
    }
    return nullptr;
}

void FilesAhead::serves(std::size_t index, bool serves) {
    if (!serves) {
        paused_ = true;
    } else if (paused_) {
        paused_ = false;
        cursor_ = std::max(cursor_, index + 1);
    }
}

void FilesAhead::planAhead() {
    ring_.planAhead([this] { return !paused_ && cursor_ < archive_.entryCount(); },
                    [this](Batch& batch) { plan(batch); });
}

void FilesAhead::plan(Batch& batch) {
    batch.items.clear();
    batch.first = cursor_;
    const std::size_t last = std::min(archive_.entryCount(), cursor_ + IndicesPerBatch);
    for (; cursor_ < last && batch.items.size() < EntriesPerBatch; ++cursor_) {
        if (covers(cursor_)) {
            batch.items.push_back({cursor_, nullptr});
        }
    }
    batch.end = cursor_;
}

// The writer names every file these workers make, and waits for nothing else: it keeps the
// larger share of the processors when there are fewer than threads.
void FilesAhead::work() {
    platform::lowerThreadPriority();
    std::vector<unsigned char> input;
    std::vector<unsigned char> output;
    try {
        input.resize(ReadBytes);
        output.resize(BlockSize);
    } catch (const std::bad_alloc&) {
        // This worker hands over batches with no files: the writer makes them.
        input.clear();
    }
    ring_.work([&](Batch& batch) {
        if (!input.empty()) {
            execute(batch, input, output);
        }
    });
}

void FilesAhead::execute(Batch& batch, std::vector<unsigned char>& input,
                         std::vector<unsigned char>& output) const {
    const std::vector<ArchiveEntry>& entries = archive_.entries();
    const std::vector<std::uint32_t>& sizes = archive_.blockSizes();
    // Where an entry's one stored block lies; its length is unset for an empty entry.
    struct Stored {
        std::uint64_t offset = 0;
        std::optional<std::uint32_t> length;
    };
    const auto storedBlock = [&](const Item& item) {
        const BlockRange range = *archive_.blockRange(item.entry);
        return range.count == 0 ? Stored{}
                                : Stored{entries[item.entry].dataOffset, sizes[range.first]};
    };
    std::uint64_t windowAt = 0;
    std::size_t windowLength = 0;
    for (std::size_t k = 0; k < batch.items.size(); ++k) {
        Item& item = batch.items[k];
        const Stored here = storedBlock(item);
        if (!here.length) {
            makeFile(item, nullptr, 0, output.data());
            continue;
        }
        const std::uint64_t offset = here.offset;
        const std::uint32_t stored = *here.length;
        if (offset > platform::MaxReadOffset || stored > input.size()) {
            continue;
        }
        if (offset < windowAt || offset + stored > windowAt + windowLength) {
            // This block and those that follow it in the archive, in one read.
            std::uint64_t end = offset + stored;
            for (std::size_t j = k + 1; j < batch.items.size(); ++j) {
                const Stored next = storedBlock(batch.items[j]);
                if (!next.length) {
                    continue;
                }
                if (next.offset != end || end + *next.length - offset > input.size()) {
                    break;
                }
                end += *next.length;
            }
            windowAt = offset;
            windowLength = archive_.file().readAt(offset, input.data(),
                                                  static_cast<std::size_t>(end - offset));
        }
        // Cut short: the writer reads it itself, and reports what it finds.
        if (offset + stored <= windowAt + windowLength) {
            makeFile(item, input.data() + (offset - windowAt), stored, output.data());
        }
    }
}

// Leaves the item without a file where anything fails: the writer then meets the failure itself.
void FilesAhead::makeFile(Item& item, const unsigned char* stored, std::uint32_t storedLength,
                          unsigned char* output) const {
    try {
        auto file = std::make_unique<files::NewFile>(target_, files::NewFile::Ahead{});
        if (!*file) {
            return;
        }
        if (stored != nullptr) {
            const std::uint32_t length =
                blockLength(archive_.entries()[item.entry].originalSize, 0);
            const unsigned char* bytes = stored;
            if (storedLength != length) {
                if (!inflateBlock(stored, storedLength, output, length)) {
                    return;
                }
                bytes = output;
            }
            if (file->write(bytes, length)) {
                return;
            }
        }
        item.file = std::move(file);
    } catch (...) {
        // Left for the writer, as any failure here.
    }
}

} // namespace qzb
