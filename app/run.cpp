#include "app/run.h"

#include <cstdio>
#include <exception>
#include <filesystem>
#include <new>
#include <string>
#include <string_view>
#include <system_error>

#include "app/extraction_loop.h"
#include "app/file_layer.h"
#include "app/run_error.h"
#include "app/version.h"
#include "archive/archive.h"
#include "archive/block_pipeline.h"
#include "platform/archive_file.h"
#include "platform/platform.h"

namespace qzb {
namespace {

namespace fs = std::filesystem;

struct RunOptions {
    bool verifyChecksums = true;
    bool overwriteExisting = false;
};

constexpr std::string_view Banner = "qzb-unpack v" QZB_VERSION " (" QZB_BUILD_TIME ")\n"
                                    "\n"
                                    "  \n"
                                    "  \n"
                                    "  \n"
                                    "\n";

constexpr std::string_view Usage = "Usage:\n"
                                   "  qzb-unpack <QZB filename> <target directory> [/s] [/o]\n"
                                   "    Unpacks the contents of a QZB into the target directory.\n"
                                   "    /s -- Skips checksum validation for faster performance.\n"
                                   "    /o -- Causes the unpacker to _overwrite_ files that are\n"
                                   "          already present in the destination directory.\n";

RunOptions readOptions(const std::vector<std::string>& arguments) {
    RunOptions options;
    for (std::size_t i = 2; i < arguments.size(); ++i) {
        if (arguments[i] == "/s") {
            options.verifyChecksums = false;
        } else if (arguments[i] == "/o") {
            options.overwriteExisting = true;
        }
    }
    return options;
}

// An archive with no blocks has a ratio of 0/0; it is shown as 0.00.
void writeSummary(const Archive& archive, Console& console) {
    std::uint64_t originalSize = 0;
    for (const ArchiveEntry& entry : archive.entries()) {
        originalSize += entry.originalSize;
    }
    std::uint64_t compressedSize = 0;
    for (const std::uint32_t size : archive.blockSizes()) {
        compressedSize += size;
    }
    const float ratio = compressedSize == 0 ? 0.0f
                                            : static_cast<float>(originalSize) * 100.0f /
                                                  static_cast<float>(compressedSize);
    char ratioText[64];
    std::snprintf(ratioText, sizeof ratioText, "%.2f", static_cast<double>(ratio));
    console.print("  Found " + std::to_string(archive.entryCount()) +
                  " files.\n  Original size: " + std::to_string(originalSize) +
                  " bytes\n  Compressed size: " + std::to_string(compressedSize) +
                  " bytes\n  Compression ratio: " + ratioText + "% \n");
}

void unpack(const std::vector<std::string>& arguments, Console& console, unsigned inflateThreads) {
    const RunOptions options = readOptions(arguments);
    const fs::path archivePath =
        fs::weakly_canonical(fs::absolute(platform::argumentPath(arguments[0])));
    const fs::path targetPath = platform::argumentPath(arguments[1]);
    files::Directory target = files::Directory::openTarget(targetPath);
    if (!target) {
        throw RunError("Cannot set up the target directory", target.error());
    }

    Archive archive(platform::ArchiveFile::open(archivePath));
    if (!archive.file()) {
        throw RunError("Failed to open the QZB file");
    }
    console.print(
        "Target directory: " + platform::displayPath(platform::fullTargetPath(targetPath)) +
        "\nReading the table of contents...\n");

    if (archive.readTableOfContents(options.verifyChecksums) != TableFault::None) {
        throw RunError("The archive is invalid or corrupted");
    }
    writeSummary(archive, console);
    extractAllEntries(archive, std::move(target), options.overwriteExisting, console,
                      inflateThreads);
}

void writeError(Console& console, const char* message) {
    console.printError({"  ERROR: ", *message != '\0' ? message : "Unknown exception", "\n"});
}

} // namespace

int run(const std::vector<std::string>& arguments, Console& console) {
    return run(arguments, console, defaultInflateThreads());
}

int run(const std::vector<std::string>& arguments, Console& console, unsigned inflateThreads) {
    console.print(Banner);
    if (arguments.size() < 2) {
        console.printError({Usage});
        return 2;
    }

    // The archive is closed, by unwinding, before any error is printed.
    try {
        unpack(arguments, console, inflateThreads);
    } catch (const std::bad_alloc&) {
        writeError(console, "bad allocation");
        return 1;
    } catch (const std::exception& error) {
        writeError(console, error.what());
        return 1;
    } catch (...) {
        writeError(console, "");
        return 1;
    }
    // Extracted files are worth keeping even when the report of them was lost; the caller is
    // still told that it was.
    if (!console.outputWritten()) {
        writeError(console, "Failed to write the console output");
        return 1;
    }
    return 0;
}

} // namespace qzb
