#include "cli/commands.h"

#include <cctype>
#include <string>
#include <system_error>
#include <vector>

#include "app/extraction_loop.h"
#include "app/file_layer.h"
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

// ": " and the system's reason, where it gave one.
std::string reason(const std::error_code& cause) {
    return cause ? ": " + cause.message() : std::string();
}

files::Directory openTarget(const std::string& argument) {
    files::Directory target = files::Directory::openTarget(platform::argumentPath(argument));
    if (!target) {
        throw RunError(argument + ": cannot set up the target directory" + reason(target.error()));
    }
    return target;
}

} // namespace

int extractMatching(const ExtractOptions& options, Console& console, const Streams& streams) {
    const Archive archive = openArchive(options.archive, !options.skipChecksums);
    const EntryNames names(archive, options.encoding);
    if (!names.note().empty()) {
        console.printError({names.note()});
    }
    const std::vector<bool> selected = selectEntries(archive, names, options.patterns);
    std::uint64_t total = 0;
    std::uint64_t entries = 0;
    for (std::size_t i = 0; i < archive.entryCount(); ++i) {
        total += selected[i] ? archive.entries()[i].originalSize : 0;
        entries += selected[i] ? 1 : 0;
    }
    files::Directory target = openTarget(options.directory);

    Progress progress(streams.err, options.quiet ? ProgressMode::Never : options.progress,
                      streams.errIsTerminal, total, entries);
    ExtractionOptions loop;
    loop.overwriteExisting = options.overwrite;
    loop.quiet = true;
    loop.inflateThreads = defaultInflateThreads();
    loop.selected = [&](std::size_t index) { return selected[index]; };
    loop.fileName = [&](std::size_t index) { return names.fileSystemName(index); };
    loop.bytesDone = [&](std::uint64_t bytes) { progress.advance(bytes); };
    loop.entryStarted = [&](std::size_t index) { progress.entryStarted(index); };
    loop.entryDone = [&](std::size_t) { progress.entryDone(); };
    try {
        extractEntries(archive, std::move(target), loop, console);
    } catch (const RunError& error) {
        progress.erase();
        std::string message = error.what();
        message[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(message[0])));
        message += reason(error.cause());
        if (!error.entry()) {
            throw RunError(options.directory + ": " + message);
        }
        const std::string_view name = names.name(*error.entry());
        throw RunError((streams.errIsTerminal ? escapeName(name) : std::string(name)) + ": " +
                       message);
    }
    return 0;
}

} // namespace qzb::cli
