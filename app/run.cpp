#include "app/run.h"

#include <cstdio>
#include <exception>
#include <filesystem>
#include <new>
#include <string>
#include <system_error>

#include "app/extraction_loop.h"
#include "app/platform.h"
#include "app/run_error.h"
#include "archive/archive.h"
#include "archive/file_io.h"

namespace qzb {
namespace {

namespace fs = std::filesystem;

struct RunOptions {
    bool verifyChecksums = true;
    bool overwriteExisting = false;
};

void writeBanner() {
    std::fputs("qzb-unpack v1.1 (" __DATE__ " " __TIME__ ")\n"
               "\n"
               "  \n"
               "  \n"
               "  \n"
               "\n",
               stdout);
}

void writeUsage() {
    std::fputs("Usage:\n"
               "  qzb-unpack <QZB filename> <target directory> [/s] [/o]\n"
               "    Unpacks the contents of a QZB into the target directory.\n"
               "    /s -- Skips checksum validation for faster performance.\n"
               "    /o -- Causes the unpacker to _overwrite_ files that are\n"
               "          already present in the destination directory.\n",
               stderr);
}

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

void enterTargetDirectory(const fs::path& target) {
    std::error_code error;
    fs::create_directories(target, error);
    if (!error) {
        fs::current_path(target, error);
    }
    if (error) {
        throw RunError("Cannot set up the target directory");
    }
}

// An archive with no blocks has a ratio of 0/0; it is shown as 0.00.
void writeSummary(const Archive& archive) {
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
    std::printf("  Found %zu files.\n"
                "  Original size: %llu bytes\n"
                "  Compressed size: %llu bytes\n"
                "  Compression ratio: %.2f%% \n",
                archive.entryCount(), static_cast<unsigned long long>(originalSize),
                static_cast<unsigned long long>(compressedSize), static_cast<double>(ratio));
}

void unpack(const std::vector<std::string>& arguments, FileHandle& archiveFile) {
    const RunOptions options = readOptions(arguments);
    const fs::path archivePath =
        fs::weakly_canonical(fs::absolute(platform::argumentPath(arguments[0])));
    enterTargetDirectory(platform::argumentPath(arguments[1]));

    archiveFile = FileHandle(platform::openArchive(archivePath));
    if (!archiveFile) {
        throw RunError("Failed to open the QZB file");
    }
    std::printf("Target directory: %s\n", platform::displayPath(fs::current_path()).c_str());
    std::fputs("Reading the table of contents...\n", stdout);

    Archive archive;
    if (!archive.readTableOfContents(archiveFile.get(), options.verifyChecksums)) {
        throw RunError("The archive is invalid or corrupted");
    }
    writeSummary(archive);
    extractAllEntries(archive, archiveFile.get(), options.overwriteExisting);
    archiveFile.close();
}

void writeError(const char* message) {
    std::fflush(stdout);
    std::fprintf(stderr, "  ERROR: %s\n", *message != '\0' ? message : "Unknown exception");
}

} // namespace

int run(const std::vector<std::string>& arguments) {
    writeBanner();
    if (arguments.size() < 2) {
        std::fflush(stdout);
        writeUsage();
        return 2;
    }

    FileHandle archiveFile;
    try {
        unpack(arguments, archiveFile);
    } catch (const std::bad_alloc&) {
        archiveFile.close();
        writeError("bad allocation");
        return 1;
    } catch (const std::exception& error) {
        archiveFile.close();
        writeError(error.what());
        return 1;
    } catch (...) {
        archiveFile.close();
        writeError("");
        return 1;
    }
    return 0;
}

} // namespace qzb
