#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "app/file_layer.h"
#include "archive/archive.h"
#include "archive/planned_ring.h"

namespace qzb {

// The files of coming entries of at most one block, made without a name and written on worker
// threads ahead of the writer, which only names them in table order. The writer plans batches of
// consecutive entries into a bounded ring; a worker makes a batch's files, reads the batch's
// stored blocks with one positioned read where they follow each other, and writes each file in
// one write. A file that could not be made or written ahead is not handed over: the writer stops
// the workers, which closes every file made ahead, and does that entry itself, so that it meets
// what one thread meets. Nothing made ahead has a name, so what the run does not reach vanishes.
class FilesAhead {
public:
    // `archive` and `target` must outlive it. `selected` (when set) tells the entries the run
    // writes. No workers where `threads` is 0 or the target cannot take files made ahead.
    FilesAhead(const Archive& archive, const files::Directory& target, unsigned threads,
               std::function<bool(std::size_t index)> selected);
    FilesAhead(const FilesAhead&) = delete;
    FilesAhead& operator=(const FilesAhead&) = delete;
    ~FilesAhead();

    // Whether entry `index` is one that is made ahead while the workers run; the same answer for
    // the whole run.
    bool covers(std::size_t index) const;
    bool running() const { return !workers_.empty(); }
    const Archive& archive() const { return archive_; }

    // The complete file of covered entry `index`, unnamed, or null where it could not be made
    // ahead (or the workers were stopped). Indices rise from call to call; the files of entries
    // between two calls are discarded.
    std::unique_ptr<files::NewFile> take(std::size_t index);

    // Whether a file made ahead can serve covered entry `index`, as the writer finds on reaching
    // it: where one cannot (its directory was there before the run), no more are planned until
    // one can again, so a run into an existing tree does not make every file twice.
    void serves(std::size_t index, bool serves);

    // Stops the workers and discards every file made ahead. Answers whether they ran.
    bool stop();

private:
    struct Item {
        std::size_t entry;
        std::unique_ptr<files::NewFile> file; // complete, or null
    };
    // The covered entries among [first, end), in order.
    struct Batch {
        std::size_t first = 0;
        std::size_t end = 0;
        std::vector<Item> items;
    };

    void work();
    void planAhead();
    void plan(Batch& batch);
    // On a worker: every file of the batch made and written.
    void execute(Batch& batch, std::vector<unsigned char>& input,
                 std::vector<unsigned char>& output) const;
    void makeFile(Item& item, const unsigned char* stored, std::uint32_t storedLength,
                  unsigned char* output) const;

    const Archive& archive_;
    const files::Directory& target_;
    const std::function<bool(std::size_t)> selected_;
    PlannedRing<Batch> ring_;

    // The writer's own.
    std::size_t cursor_ = 0;
    bool paused_ = false;
    Batch* current_ = nullptr;
    std::size_t currentItem_ = 0;

    std::vector<std::jthread> workers_;
};

} // namespace qzb
