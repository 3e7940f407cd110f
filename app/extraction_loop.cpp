#include "app/extraction_loop.h"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "app/entry_path.h"
#include "app/file_layer.h"
#include "app/files_ahead.h"
#include "app/run_error.h"
#include "archive/block_pipeline.h"
#include "archive/format.h"
#include "platform/code_page.h"
#include "platform/platform.h"

namespace qzb {
namespace {

void writeProgressLine(Console& console, std::size_t position, std::size_t count,
                       std::string_view name) {
    char prefix[64];
    const int length = std::snprintf(prefix, sizeof prefix, "%10zu / %zu: ", position, count);
    console.print(std::string_view(prefix, static_cast<std::size_t>(length)));
    console.printName(name);
    console.print("\n");
}

struct IdentityHash {
    std::size_t operator()(const files::NodeIdentity& identity) const {
        return std::hash<std::uint64_t>()(identity.index * 31 + identity.device);
    }
};

// The directories entries go to, reached from the target directory opened once: a link that
// stands in the target, or appears there meanwhile, cannot redirect an entry. What it remembers
// of earlier directories is their identity, whatever the length of the names that led there.
class EntryDirectories {
public:
    explicit EntryDirectories(files::Directory target) : target_(std::move(target)) {
        if (!target_) {
            throw RunError("Failed to create destination directories", target_.error());
        }
        target_.removeLeftovers();
        targetIdentity_ = target_.identity();
    }

    const files::Directory& target() const { return target_; }

    // The directory of `entry`, made where missing. Entries of one directory usually follow each
    // other, so it is reached once for all of them. `madeBefore`: a failed try of this entry made
    // the directory and could not open it, and this try finds it standing.
    const files::Directory& reach(const EntryPath& entry, std::size_t index,
                                  bool madeBefore = false) {
        madeNow_ = false;
        leftoversStayed_ = false;
        if (entry.directory.empty()) {
            inTarget_ = true;
            return target_;
        }
        inTarget_ = false;
        if (current_ && entry.directory == currentPath_) {
            return current_;
        }
        current_ = target_.reach(entry.directory, madeNow_);
        madeNow_ = madeNow_ || madeBefore;
        if (!current_) {
            throw RunError("Failed to create destination directories", index, current_.error());
        }
        // A directory that cannot be told apart from others would share their bookkeeping.
        const std::optional<files::NodeIdentity> identity = current_.identity();
        if (!identity) {
            throw RunError("Failed to create destination directories", index);
        }
        currentPath_ = entry.directory;
        if (madeNow_) {
            made_.insert(*identity);
        }
        currentMadeByRun_ = made_.contains(*identity);
        currentOnTargetDevice_ = targetIdentity_ && identity->device == targetIdentity_->device;
        leftoversStayed_ =
            !currentMadeByRun_ && cleaned_.insert(*identity).second && !current_.removeLeftovers();
        return current_;
    }

    // Whether reach() could not look at every leftover in the directory for too few descriptors.
    bool leftoversStayed() const { return leftoversStayed_; }
    void removeLeftoversAgain() { leftoversStayed_ = !current_.removeLeftovers(); }

    // Whether reach() made the entry's own directory just now.
    bool madeNow() const { return madeNow_; }
    // Nothing stands in a directory this run made but what the run wrote, so its entries need no
    // existence test; the commit that refuses to replace catches anything else.
    bool mayHoldOthers(const EntryPath& entry) const {
        return entry.directory.empty() || !currentMadeByRun_;
    }

    // Whether a file made ahead in the target may be named in the entry's directory: the target
    // itself, or one this run made on the target's file system, which took the target's group
    // and default permissions, as the file did.
    bool takesFilesAhead() const {
        return inTarget_ || (currentMadeByRun_ && currentOnTargetDevice_);
    }

private:
    files::Directory target_;
    std::optional<files::NodeIdentity> targetIdentity_;
    bool inTarget_ = false;
    bool currentOnTargetDevice_ = false;
    files::Directory current_;
    std::string currentPath_;
    bool currentMadeByRun_ = false;
    bool madeNow_ = false;
    bool leftoversStayed_ = false;
    std::unordered_set<files::NodeIdentity, IdentityHash> made_;
    std::unordered_set<files::NodeIdentity, IdentityHash> cleaned_;
};

// Whether the entry is skipped because something stands at its path. A name that ends in a
// separator or in "." names its directory: it stands there unless just made, and no file can
// be made in its place, whatever the policy. Under Rename the naming step finds the free name.
bool skipEntry(std::size_t index, const EntryPath& entry, std::string_view fileName,
               const EntryDirectories& places, const files::Directory& directory,
               files::Conflict conflict) {
    const bool overwriteExisting = conflict == files::Conflict::Overwrite;
    if (!entry.hasFileName) {
        if (overwriteExisting || places.madeNow()) {
            throw RunError("Failed to create the destination file", index);
        }
        return true;
    }
    const bool mayExist = places.mayHoldOthers(entry) || overwriteExisting;
    const files::PathKind existing = mayExist ? directory.kind(fileName) : files::PathKind::Missing;
    if (existing == files::PathKind::Missing || conflict == files::Conflict::Rename) {
        return false;
    }
    if (conflict == files::Conflict::Error) {
        throw RunError("The destination path exists", index);
    }
    if (!overwriteExisting) {
        return true;
    }
    if (existing == files::PathKind::Directory) {
        throw RunError("Failed to create the destination file", index);
    }
    return false;
}

// The bytes of the entry being written, told once each however often it is tried.
class EntryBytes {
public:
    explicit EntryBytes(const ExtractionOptions& options) : options_(options) {}
    void done(std::uint64_t length) {
        told_ += length;
        if (options_.bytesDone && told_ > before_) {
            options_.bytesDone(std::min(length, told_ - before_));
        }
    }
    void again() {
        before_ = std::max(before_, told_);
        told_ = 0;
    }

private:
    const ExtractionOptions& options_;
    std::uint64_t told_ = 0;
    std::uint64_t before_ = 0;
};

// The entry's file: the one made ahead where there is one and it may go where the entry goes,
// else one made here, filled from the pipeline, whose workers put in place what they inflate
// while the entry is written. `placed` tells whether they did.
void writeEntry(BlockPipeline& pipeline, FilesAhead& ahead, std::size_t index,
                const EntryDirectories& places, const files::Directory& directory,
                std::string_view fileName, const ExtractionOptions& options, EntryBytes& bytes,
                bool& placed) {
    std::unique_ptr<files::NewFile> output;
    if (ahead.covers(index)) {
        ahead.serves(index, places.takesFilesAhead());
        output = ahead.take(index);
    }
    if (output && places.takesFilesAhead()) {
        output->moveTo(directory);
        bytes.done(ahead.archive().entries()[index].originalSize);
    } else {
        output = std::make_unique<files::NewFile>(directory);
        if (!*output) {
            throw RunError("Failed to create the destination file", index, output->error());
        }
        const files::NewFile& file = *output;
        std::error_code failure;
        PlacedSink sink{
            {},
            [&](std::uint64_t at, const unsigned char* block, std::size_t length, bool inPlace) {
                placed = placed || inPlace;
                if (!inPlace) {
                    failure = file.writeAt(at, block, length);
                }
                if (failure) {
                    return false;
                }
                bytes.done(length);
                return true;
            }};
        if (file.takesWritesOutOfOrder()) {
            sink.place = [&file](std::uint64_t at, const unsigned char* block, std::size_t length) {
                return !file.writeAt(at, block, length);
            };
        }
        const DecodeOutcome outcome = pipeline.readEntry(index, sink);
        switch (outcome.fault) {
        case EntryFault::None:
            break;
        case EntryFault::SinkRefused:
            throw RunError("Failed to write the destination file", index, failure);
        case EntryFault::BlocksOutsideTable:
        case EntryFault::Truncated:
        case EntryFault::BadBlock:
            throw RunError("The archive is invalid or corrupted", index);
        }
    }
    // Exists: something appeared at the path meanwhile, or stands in a directory this run made
    // (a name twice, or in two letter cases on a drive that ignores case); it stays and the
    // entry counts as skipped, or ends the run under Error.
    const files::NewFile::Commit commit =
        options.conflict == files::Conflict::Rename
            ? output->commitNumbered(fileName)
            : output->commit(fileName, options.conflict == files::Conflict::Overwrite);
    switch (commit.outcome) {
    case files::NewFile::Outcome::Done:
        break;
    case files::NewFile::Outcome::Exists:
        if (options.conflict == files::Conflict::Error) {
            throw RunError("The destination path exists", index);
        }
        break;
    case files::NewFile::Outcome::WriteFailed:
        throw RunError("Failed to write the destination file", index, commit.error);
    case files::NewFile::Outcome::Failed:
        throw RunError("Failed to create the destination file", index, commit.error);
    }
}

// A failure while files are held ahead, or after workers put blocks in place that one thread
// would not have written yet, may be theirs (a full disk, the descriptors taken): the files are
// discarded and the entry tried again as one thread tries it, so the run ends where one thread's
// would.
void writeEntryAsOneThreadWould(BlockPipeline& pipeline, FilesAhead& ahead, std::size_t index,
                                const EntryDirectories& places, const files::Directory& directory,
                                std::string_view fileName, const ExtractionOptions& options) {
    EntryBytes bytes(options);
    bool placed = false;
    try {
        writeEntry(pipeline, ahead, index, places, directory, fileName, options, bytes, placed);
    } catch (const RunError&) {
        if (!ahead.stop() && !placed) {
            throw;
        }
        bytes.again();
        writeEntry(pipeline, ahead, index, places, directory, fileName, options, bytes, placed);
    }
}

// The directories too: a directory that cannot be opened, or its leftovers looked at, while
// files are held ahead may lack the descriptors they hold.
const files::Directory& reachAsOneThreadWould(EntryDirectories& places, FilesAhead& ahead,
                                              const EntryPath& entry, std::size_t index) {
    try {
        const files::Directory& directory = places.reach(entry, index);
        if (places.leftoversStayed() && ahead.stop()) {
            places.removeLeftoversAgain();
        }
        return directory;
    } catch (const RunError&) {
        if (!ahead.stop()) {
            throw;
        }
        return places.reach(entry, index, places.madeNow());
    }
}

} // namespace

void extractEntries(const Archive& archive, files::Directory target,
                    const ExtractionOptions& options, Console& console) {
    if (!options.quiet) {
        console.print("Extracting the files... This might take a while. Press Ctrl+C to cancel.\n");
    }
    EntryDirectories places(std::move(target));
    // Entries of one block get their files made ahead by as many threads as inflate; the
    // pipeline inflates the others' blocks.
    FilesAhead ahead(archive, places.target(),
                     options.inflateThreads > 1 ? options.inflateThreads : 0, options.selected);
    BlockPipeline pipeline(archive, options.inflateThreads,
                           [&ahead](std::size_t index) { return !ahead.covers(index); });

    const std::size_t count = archive.entryCount();
    for (std::size_t i = 0; i < count; ++i) {
        if (options.selected && !options.selected(i)) {
            continue;
        }
        if (options.entryStarted) {
            options.entryStarted(i);
        }
        const std::string_view name = archive.name(i);
        if (!options.quiet) {
            writeProgressLine(console, i + 1, count, name);
        }

        // Decoded before it is split: in a code page of two-byte characters, a '\\' byte may be
        // the second half of a character.
        const std::optional<std::string> fileName =
            options.fileName ? options.fileName(i) : platform::fileSystemName(name);
        const std::optional<EntryPath> entry =
            fileName ? entryPath(*fileName, platform::nameRules) : std::nullopt;
        if (!entry) {
            throw RunError("Invalid file path listed in the archive", i);
        }
        const files::Directory& directory = reachAsOneThreadWould(places, ahead, *entry, i);
        const std::string_view last =
            std::string_view(entry->path).substr(entry->path.rfind('/') + 1);
        if (!skipEntry(i, *entry, last, places, directory, options.conflict)) {
            writeEntryAsOneThreadWould(pipeline, ahead, i, places, directory, last, options);
        } else if (options.bytesDone) {
            options.bytesDone(archive.entries()[i].originalSize);
        }
        if (options.entryDone) {
            options.entryDone(i);
        }
    }

    if (!options.quiet) {
        console.print("  Done! All files were successfully extracted!\n");
    }
}

void extractAllEntries(const Archive& archive, files::Directory target, bool overwriteExisting,
                       Console& console, unsigned inflateThreads) {
    ExtractionOptions options;
    options.conflict = overwriteExisting ? files::Conflict::Overwrite : files::Conflict::Skip;
    options.inflateThreads = inflateThreads;
    extractEntries(archive, std::move(target), options, console);
}

} // namespace qzb
