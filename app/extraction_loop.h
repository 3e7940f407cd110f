#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>

#include "app/console.h"
#include "app/file_layer.h"
#include "archive/archive.h"

namespace qzb {

// What a caller may ask of the extraction loop beyond qzb-unpack's run.
struct ExtractionOptions {
    // What becomes of an entry whose path something stands at.
    files::Conflict conflict = files::Conflict::Skip;
    // No console lines: neither the opening line, nor one per entry, nor the completion line.
    bool quiet = false;
    // The entries to write, by index; when unset, all. The others are passed over silently.
    std::function<bool(std::size_t index)> selected;
    // Told of the length of each block written, and of the whole size of an entry skipped.
    std::function<void(std::uint64_t bytes)> bytesDone;
    // Told when the loop reaches a selected entry, and when it is done with it (written or kept).
    std::function<void(std::size_t index)> entryStarted;
    std::function<void(std::size_t index)> entryDone;
    // The name each entry's path is made from, as the file layer takes names; nothing refuses it.
    // When unset, the stored name as the system takes bytes (platform/code_page.h).
    std::function<std::optional<std::string>(std::size_t index)> fileName;
    // Threads that inflate blocks ahead of the writer (1: the writer inflates them itself).
    unsigned inflateThreads = 1;
};

// Writes the entries below `target`, in table order, with one progress line each on `console`
// unless quiet. Throws RunError at the first failure, with the entry's index once one is read;
// files finished before it stay.
void extractEntries(const Archive& archive, files::Directory target,
                    const ExtractionOptions& options, Console& console);

// qzb-unpack's extraction: every entry, every line.
void extractAllEntries(const Archive& archive, files::Directory target, bool overwriteExisting,
                       Console& console, unsigned inflateThreads);

} // namespace qzb
