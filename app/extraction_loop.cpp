#include "app/extraction_loop.h"

#include <string>
#include <string_view>
#include <vector>

#include "app/entry_path.h"
#include "app/platform.h"
#include "app/run_error.h"
#include "archive/file_io.h"
#include "archive/format.h"

namespace qzb {
namespace {

// An entry's content is written under a temporary name beside its destination and moved there
// only when complete, so a failed or interrupted entry never leaves a partial file under the
// entry's name, and whatever stood there stays until the new file is whole.
class PendingFile {
public:
    // `buffer` holds BlockSize bytes and outlives the file: a whole block then goes out in one
    // write, a small file in one write at close, and no stream allocates a buffer of its own.
    PendingFile(const std::string& directory, char* buffer)
        : file_(platform::createTempFile(directory, path_)) {
        if (!file_) {
            throw RunError("Failed to create the destination file");
        }
        std::setvbuf(file_.get(), buffer, _IOFBF, BlockSize);
    }
    PendingFile(const PendingFile&) = delete;
    PendingFile& operator=(const PendingFile&) = delete;
    ~PendingFile() {
        file_.close();
        if (!path_.empty()) {
            platform::removeFile(path_);
        }
    }

    std::FILE* get() const { return file_.get(); }

    void commit(const std::string& destination) {
        if (!file_.close()) {
            throw RunError("Failed to write the destination file");
        }
        if (!platform::replaceFile(path_, destination)) {
            throw RunError("Failed to create the destination file");
        }
        path_.clear();
    }

private:
    std::string path_;
    FileHandle file_;
};

void writeProgressLine(Console& console, std::size_t position, std::size_t count,
                       std::string_view name) {
    char prefix[64];
    const int length = std::snprintf(prefix, sizeof prefix, "%10zu / %zu: ", position, count);
    console.print(std::string_view(prefix, static_cast<std::size_t>(length)));
    console.printName(name);
    console.print("\n");
}

} // namespace

void extractAllEntries(const Archive& archive, std::FILE* archiveFile, bool overwriteExisting,
                       Console& console) {
    console.print("Extracting the files... This might take a while. Press Ctrl+C to cancel.\n");

    const std::size_t count = archive.entryCount();
    // Entries of one directory usually follow each other: create it once, not per entry.
    std::string createdDirectory;
    std::vector<char> outputBuffer(BlockSize);
    for (std::size_t i = 0; i < count; ++i) {
        const std::string_view name = archive.name(i);
        writeProgressLine(console, i + 1, count, name);

        const std::optional<EntryPath> target = entryPath(name);
        if (!target || !platform::isStorableName(target->path)) {
            throw RunError("Invalid file path listed in the archive");
        }
        const platform::PathKind existing = platform::pathKind(target->path);
        if (existing != platform::PathKind::Missing && !overwriteExisting) {
            continue;
        }
        if (!target->directory.empty() && target->directory != createdDirectory) {
            if (!platform::createDirectories(target->directory)) {
                throw RunError("Failed to create destination directories");
            }
            createdDirectory = target->directory;
        }
        if (!target->hasFileName || existing == platform::PathKind::Directory) {
            throw RunError("Failed to create the destination file");
        }

        PendingFile output(target->directory, outputBuffer.data());
        switch (archive.extractEntry(archiveFile, output.get(), i)) {
        case ExtractResult::Done:
            break;
        case ExtractResult::Corrupt:
            throw RunError("The archive is invalid or corrupted");
        case ExtractResult::WriteFailed:
            throw RunError("Failed to write the destination file");
        }
        output.commit(target->path);
    }

    console.print("  Done! All files were successfully extracted!\n");
}

} // namespace qzb
