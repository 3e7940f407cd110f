#include "cli/commands.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <fstream>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "app/entry_path.h"
#include "app/extraction_loop.h"
#include "app/file_layer.h"
#include "app/run_error.h"
#include "archive/block_pipeline.h"
#include "cli/archive_access.h"
#include "cli/name_encoding.h"
#include "cli/pattern.h"
#include "cli/progress.h"
#include "platform/console.h"
#include "platform/platform.h"

namespace qzb::cli {
namespace {

// The entries to extract: all when nothing selects, else those matching any pattern, less those
// matching an exclusion; RunError for a pattern that matches none.
std::vector<bool> selectEntries(const Archive& archive, const EntryNames& names,
                                const std::vector<std::string>& patterns, bool selecting,
                                const std::vector<std::string>& excludes) {
    std::vector<bool> selected(archive.entryCount(), !selecting);
    std::vector<bool> used(patterns.size(), false);
    for (std::size_t i = 0; i < archive.entryCount(); ++i) {
        for (std::size_t p = 0; p < patterns.size(); ++p) {
            if (matchesPattern(patterns[p], names.name(i))) {
                selected[i] = true;
                used[p] = true;
            }
        }
        for (std::size_t p = 0; p < excludes.size() && selected[i]; ++p) {
            selected[i] = !matchesPattern(excludes[p], names.name(i));
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

// The items of a list of names, each ended by a line feed (a carriage return before it is
// dropped) or by a NUL byte; empty ones are no names.
std::vector<std::string> listItems(const std::string& text, bool null) {
    std::vector<std::string> items;
    const char end = null ? '\0' : '\n';
    for (std::size_t start = 0; start < text.size();) {
        const std::size_t stop = std::min(text.find(end, start), text.size());
        std::string item = text.substr(start, stop - start);
        if (!null && item.ends_with('\r')) {
            item.pop_back();
        }
        if (!item.empty()) {
            items.push_back(std::move(item));
        }
        start = stop + 1;
    }
    return items;
}

std::vector<std::string> readList(const std::string& argument, bool null, std::FILE* in) {
    std::string text;
    errno = 0;
    if (argument == "-") {
        platform::useBinaryMode(in);
        char chunk[65536];
        std::size_t length = 0;
        while ((length = std::fread(chunk, 1, sizeof chunk, in)) > 0) {
            text.append(chunk, length);
        }
        if (std::ferror(in)) {
            throw RunError("standard input: cannot read the list of names" +
                           reason(std::error_code(errno, std::generic_category())));
        }
    } else {
        std::ifstream file(platform::argumentPath(argument), std::ios::binary);
        char chunk[65536];
        while (file.is_open() && (file.read(chunk, sizeof chunk) || file.gcount() > 0)) {
            text.append(chunk, static_cast<std::size_t>(file.gcount()));
        }
        if (!file.is_open() || file.bad()) {
            throw RunError(argument + ": cannot read the list of names" +
                           reason(std::error_code(errno, std::generic_category())));
        }
    }
    return listItems(text, null);
}

// Each selected entry's name below its first `count` path elements, as the file layer takes
// names; an entry with none left is no longer selected, and counted. A name that entryPath
// refuses stays whole, for the extraction loop to report as it does without stripping.
std::vector<std::optional<std::string>> stripNames(const EntryNames& names, unsigned count,
                                                   std::vector<bool>& selected,
                                                   std::size_t& leftOut) {
    std::vector<std::optional<std::string>> result(selected.size());
    for (std::size_t i = 0; i < selected.size(); ++i) {
        result[i] = selected[i] ? names.fileSystemName(i) : std::nullopt;
        const std::optional<EntryPath> entry =
            result[i] ? entryPath(*result[i], platform::nameRules) : std::nullopt;
        if (!entry) {
            continue;
        }
        std::string rest;
        unsigned dropped = 0;
        for (std::size_t start = 0; start <= entry->path.size();) {
            const std::size_t end = std::min(entry->path.find('/', start), entry->path.size());
            const std::string_view element =
                std::string_view(entry->path).substr(start, end - start);
            start = end + 1;
            if (element.empty() || element == ".") {
                continue;
            }
            if (dropped < count) {
                ++dropped;
            } else {
                rest.append(rest.empty() ? "" : "/").append(element);
            }
        }
        if (rest.empty()) {
            selected[i] = false;
            result[i].reset();
            ++leftOut;
        } else {
            result[i] = entry->hasFileName ? rest : rest + "/";
        }
    }
    return result;
}

files::Conflict conflictPolicy(const ExtractOptions& options) {
    if (options.overwrite || options.onConflict == "overwrite") {
        return files::Conflict::Overwrite;
    }
    if (options.onConflict == "rename") {
        return files::Conflict::Rename;
    }
    return options.onConflict == "error" ? files::Conflict::Error : files::Conflict::Skip;
}

} // namespace

int extractMatching(const ExtractOptions& options, Console& console, const Streams& streams) {
    const Archive archive = openArchive(options.archive, !options.skipChecksums);
    const EntryNames names(archive, options.encoding);
    if (!names.note().empty()) {
        console.printError({names.note()});
    }
    std::vector<std::string> patterns = options.patterns;
    if (options.filesFrom) {
        const std::vector<std::string> listed =
            readList(*options.filesFrom, options.null, streams.in);
        patterns.insert(patterns.end(), listed.begin(), listed.end());
    }
    std::vector<bool> selected =
        selectEntries(archive, names, patterns, !patterns.empty() || options.filesFrom.has_value(),
                      options.excludes);
    std::size_t leftOut = 0;
    const std::vector<std::optional<std::string>> stripped =
        options.stripComponents > 0 ? stripNames(names, options.stripComponents, selected, leftOut)
                                    : std::vector<std::optional<std::string>>();
    if (leftOut > 0) {
        console.printError({"qzb: --strip-components ", std::to_string(options.stripComponents),
                            " leaves nothing of ", std::to_string(leftOut),
                            leftOut == 1 ? " entry: it is" : " entries: they are", " left out\n"});
    }
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
    loop.conflict = conflictPolicy(options);
    loop.quiet = true;
    loop.inflateThreads = options.threads > 0 ? options.threads : defaultInflateThreads();
    loop.selected = [&](std::size_t index) { return selected[index]; };
    loop.fileName = [&](std::size_t index) {
        return stripped.empty() ? names.fileSystemName(index) : stripped[index];
    };
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
