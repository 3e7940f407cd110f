#include "cli/archive_access.h"

#include "app/run_error.h"
#include "archive/format.h"
#include "platform/archive_file.h"
#include "platform/platform.h"

namespace qzb::cli {

Archive openArchive(const std::string& argument, bool verifyChecksums, bool* digestsDiffer) {
    Archive archive(platform::ArchiveFile::open(platform::argumentPath(argument)));
    if (!archive.file()) {
        throw RunError(argument + ": cannot open the archive");
    }
    switch (archive.readTableOfContents(verifyChecksums)) {
    case TableFault::None:
        break;
    case TableFault::DigestMismatch:
        if (digestsDiffer != nullptr) {
            *digestsDiffer = true;
            break;
        }
        throw RunError(argument + ": the MD5 digests of the names or of the table of contents "
                                  "do not match (--skip-checksums reads it anyway)");
    case TableFault::Malformed:
        throw RunError(argument + ": the archive is invalid or corrupted");
    }
    return archive;
}

std::string landingPath(const EntryPath& path) {
    const std::string_view file = std::string_view(path.path).substr(path.path.rfind('/') + 1);
    return path.directory.empty() ? std::string(file) : path.directory + '/' + std::string(file);
}

std::string faultText(const DecodeOutcome& outcome, std::uint64_t originalSize) {
    const std::string block = "block " + std::to_string(outcome.block + 1) + " of " +
                              std::to_string(blockCount(originalSize));
    switch (outcome.fault) {
    case EntryFault::None:
        break;
    case EntryFault::BlocksOutsideTable:
        return "its blocks lie outside the block-size table";
    case EntryFault::Truncated:
        return block + " lies outside the archive or is cut short by its end";
    case EntryFault::BadBlock:
        return block + " does not decode to its length of " +
               std::to_string(blockLength(originalSize, outcome.block)) + " bytes";
    case EntryFault::SinkRefused:
        return "the output refused " + block;
    }
    return "no fault";
}

std::optional<std::uint64_t> storedSize(const Archive& archive, std::size_t index) {
    const std::optional<BlockRange> range = archive.blockRange(index);
    if (!range) {
        return std::nullopt;
    }
    const std::vector<std::uint32_t>& sizes = archive.blockSizes();
    std::uint64_t stored = 0;
    for (std::size_t k = 0; k < range->count; ++k) {
        stored += sizes[range->first + k];
    }
    return stored;
}

std::optional<std::string_view> storageMethod(const Archive& archive, std::size_t index) {
    const std::optional<BlockRange> range = archive.blockRange(index);
    if (!range) {
        return std::nullopt;
    }
    const std::uint64_t size = archive.entries()[index].originalSize;
    const std::vector<std::uint32_t>& sizes = archive.blockSizes();
    std::size_t raw = 0;
    for (std::size_t k = 0; k < range->count; ++k) {
        raw += sizes[range->first + k] == blockLength(size, k) ? 1 : 0;
    }
    if (raw == range->count) {
        return "stored";
    }
    return raw == 0 ? "zlib" : "mixed";
}

} // namespace qzb::cli
