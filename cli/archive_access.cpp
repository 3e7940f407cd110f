#include "cli/archive_access.h"

#include "app/run_error.h"
#include "archive/format.h"
#include "platform/platform.h"

namespace qzb::cli {

OpenedArchive openArchive(const std::string& argument, bool verifyChecksums, bool* digestsDiffer) {
    OpenedArchive opened{FileHandle(platform::openArchive(platform::argumentPath(argument))),
                         Archive()};
    if (!opened.file) {
        throw RunError(argument + ": cannot open the archive");
    }
    if (!opened.archive.readTableOfContents(opened.file.get(), verifyChecksums)) {
        // Read again unchecked, to tell a digest mismatch from a damaged structure.
        if (verifyChecksums && opened.archive.readTableOfContents(opened.file.get(), false)) {
            if (digestsDiffer != nullptr) {
                *digestsDiffer = true;
                return opened;
            }
            throw RunError(argument + ": the MD5 digests of the names or of the table of contents "
                                      "do not match (--skip-checksums reads it anyway)");
        }
        throw RunError(argument + ": the archive is invalid or corrupted");
    }
    return opened;
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
    const ArchiveEntry& entry = archive.entries()[index];
    const std::vector<std::uint32_t>& sizes = archive.blockSizes();
    const std::uint64_t blocks = blockCount(entry.originalSize);
    if (blocks == 0) {
        return 0;
    }
    if (entry.firstBlock > sizes.size() || blocks > sizes.size() - entry.firstBlock) {
        return std::nullopt;
    }
    std::uint64_t stored = 0;
    for (std::uint64_t k = 0; k < blocks; ++k) {
        stored += sizes[entry.firstBlock + k];
    }
    return stored;
}

} // namespace qzb::cli
