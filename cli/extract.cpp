#include "cli/commands.h"

#include <cctype>
#include <filesystem>
#include <optional>
#include <system_error>
#include <vector>

#include "app/extraction_loop.h"
#include "app/run_error.h"
#include "archive/block_pipeline.h"
#include "cli/archive_access.h"
#include "cli/name_encoding.h"
#include "cli/pattern.h"
#include "cli/progress.h"
#include "platform/platform.h"

namespace qzb::cli {
namespace {

// The entries to extract: all without patterns, else those matching any; RunError for a pattern
// that matches none.
std::vector<bool> selectEntries(const Archive& archive, const EntryNames& names,
                                const std::vector<std::string>& patterns) {
    std::vector<bool> selected(archive.entryCount(), patterns.empty());
    std::vector<bool> used(patterns.size(), false);
    for (std::size_t i = 0; i < archive.entryCount() && !patterns.empty(); ++i) {
        for (std::size_t p = 0; p < patterns.size(); ++p) {
            if (matchesPattern(patterns[p], names.name(i))) {
                selected[i] = true;
                used[p] = true;
            }
        }
    }
    std::string unused;
    std::size_t count = 0;
    for (std::size_t p = 0; p < patterns.size(); ++p) {
        if (!used[p]) {
            unused += (count++ == 0 ? "" : ", ") + patterns[p];
        }
    }
    if (count > 0) {
        throw RunError(unused + (count == 1 ? ": no entry matches this pattern"
                                            : ": no entry matches these patterns"));
    }
    return selected;
}

void enterTargetDirectory(const std::string& argument) {
    std::error_code error;
    const std::filesystem::path target = platform::argumentPath(argument);
    std::filesystem::create_directories(target, error);
    if (!error) {
        std::filesystem::current_path(target, error);
    }
    if (error) {
        throw RunError(argument + ": cannot set up the target directory");
    }
}

} // namespace

int extractMatching(const ExtractOptions& options, Console& console, const Streams& streams) {
    const OpenedArchive opened = openArchive(options.archive, !options.skipChecksums);
    const Archive& archive = opened.archive;
    const EntryNames names(archive, options.encoding);
    if (!names.note().empty()) {
        console.printError({names.note()});
    }
    const std::vector<bool> selected = selectEntries(archive, names, options.patterns);
    std::uint64_t total = 0;
    for (std::size_t i = 0; i < archive.entryCount(); ++i) {
        total += selected[i] ? archive.entries()[i].originalSize : 0;
    }
    enterTargetDirectory(options.directory);

    ProgressBar progress(streams.err, streams.errIsTerminal && !options.quiet, total);
    std::optional<std::size_t> current;
    ExtractionOptions loop;
    loop.overwriteExisting = options.overwrite;
    loop.quiet = true;
    loop.inflateThreads = defaultInflateThreads();
    loop.selected = [&](std::size_t index) { return selected[index]; };
    loop.entryStarted = [&](std::size_t index) { current = index; };
    loop.fileName = [&](std::size_t index) { return names.fileSystemName(index); };
    loop.bytesDone = [&](std::uint64_t bytes) { progress.advance(bytes); };
    try {
        extractEntries(archive, opened.file.get(), loop, console);
    } catch (const RunError& error) {
        progress.erase();
        std::string message = error.what();
        message[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(message[0])));
        if (!current) {
            throw RunError(options.directory + ": " + message);
        }
        const std::string_view name = names.name(*current);
        throw RunError((streams.errIsTerminal ? escapeName(name) : std::string(name)) + ": " +
                       message);
    }
    return 0;
}

} // namespace qzb::cli
