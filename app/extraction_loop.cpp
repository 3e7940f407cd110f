#include "app/extraction_loop.h"

#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "app/entry_path.h"
#include "app/run_error.h"
#include "archive/block_pipeline.h"
#include "archive/format.h"
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

// The directory that the latest entries went to. Entries of one directory usually follow each
// other, so it is reached once for all of them.
struct EntryDirectory {
    std::string path;
    platform::Directory handle;
    // Made by this run: nothing stood in it but what the run wrote, so its entries need no
    // existence test; the commit that refuses to replace catches anything else.
    bool madeByRun = false;
};

} // namespace

void extractAllEntries(const Archive& archive, std::FILE* archiveFile, bool overwriteExisting,
                       Console& console, unsigned inflateThreads) {
    console.print("Extracting the files... This might take a while. Press Ctrl+C to cancel.\n");

    // Every file and directory is made relative to the target directory, opened once: a link
    // that stands in the target, or appears there meanwhile, cannot redirect an entry.
    const platform::Directory target = platform::Directory::working();
    if (!target) {
        throw RunError("Failed to create destination directories");
    }
    target.removeLeftovers();
    EntryDirectory current;
    std::unordered_set<std::string> made;
    std::unordered_set<std::string> cleaned;

    BlockPipeline pipeline(archive, archiveFile, inflateThreads);
    const std::size_t count = archive.entryCount();
    // A whole block goes out in one write and a small file in one write at its commit.
    std::vector<char> outputBuffer(BlockSize);
    for (std::size_t i = 0; i < count; ++i) {
        const std::string_view name = archive.name(i);
        writeProgressLine(console, i + 1, count, name);

        const std::optional<EntryPath> entry = entryPath(name, platform::nameRules);
        if (!entry) {
            throw RunError("Invalid file path listed in the archive");
        }
        bool madeNow = false;
        if (!entry->directory.empty() && (!current.handle || entry->directory != current.path)) {
            current.handle = target.reach(entry->directory, madeNow);
            if (!current.handle) {
                throw RunError("Failed to create destination directories");
            }
            current.path = entry->directory;
            if (madeNow) {
                made.insert(current.path);
            }
            current.madeByRun = madeNow || made.contains(current.path);
            if (!current.madeByRun && cleaned.insert(current.path).second) {
                current.handle.removeLeftovers();
            }
        }
        const bool inTarget = entry->directory.empty();
        const platform::Directory& directory = inTarget ? target : current.handle;

        // A name ending in a separator names its directory, which exists unless just made.
        if (!entry->hasFileName) {
            if (overwriteExisting || madeNow) {
                throw RunError("Failed to create the destination file");
            }
            continue;
        }
        const std::string_view fileName =
            std::string_view(entry->path).substr(inTarget ? 0 : entry->directory.size() + 1);
        const bool mayExist = inTarget || !current.madeByRun || overwriteExisting;
        const platform::PathKind existing =
            mayExist ? directory.kind(fileName) : platform::PathKind::Missing;
        if (existing != platform::PathKind::Missing && !overwriteExisting) {
            continue;
        }
        if (existing == platform::PathKind::Directory) {
            throw RunError("Failed to create the destination file");
        }

        platform::NewFile output(directory, outputBuffer.data(), outputBuffer.size());
        if (output.stream() == nullptr) {
            throw RunError("Failed to create the destination file");
        }
        switch (pipeline.extractEntry(i, output.stream())) {
        case ExtractResult::Done:
            break;
        case ExtractResult::Corrupt:
            throw RunError("The archive is invalid or corrupted");
        case ExtractResult::WriteFailed:
            throw RunError("Failed to write the destination file");
        }
        // Exists: something appeared at the path meanwhile; it stays and the entry counts as
        // skipped.
        switch (output.commit(fileName, overwriteExisting)) {
        case platform::NewFile::Commit::Done:
        case platform::NewFile::Commit::Exists:
            break;
        case platform::NewFile::Commit::WriteFailed:
            throw RunError("Failed to write the destination file");
        case platform::NewFile::Commit::Failed:
            throw RunError("Failed to create the destination file");
        }
    }

    console.print("  Done! All files were successfully extracted!\n");
}

} // namespace qzb
