#include "cli/commands.h"

#include <algorithm>
#include <cstdio>
#include <functional>
#include <optional>
#include <string_view>
#include <unordered_map>

#include "app/entry_path.h"
#include "app/run_error.h"
#include "archive/format.h"
#include "cli/archive_access.h"
#include "cli/json_line.h"
#include "cli/letter_case.h"
#include "cli/name_encoding.h"
#include "platform/platform.h"

namespace qzb::cli {
namespace {

// A size right-aligned in 12 columns; "?" for one that is not known.
void appendColumn(std::string& out, std::optional<std::uint64_t> size) {
    constexpr std::size_t Width = 12;
    if (size) {
        appendDecimal(out, *size, Width);
    } else {
        out.append(Width - 1, ' ');
        out += '?';
    }
}

std::string counted(std::uint64_t count, const char* singular, const char* plural) {
    return std::to_string(count) + ' ' + (count == 1 ? singular : plural);
}

// A name with either separator as '/', for comparing names as paths.
std::string withSlashes(std::string_view name) {
    std::string path(name);
    std::replace(path.begin(), path.end(), '\\', '/');
    return path;
}

// Counts and prints the findings of `qzb test`: a line each, or with --json a line per entry
// with its verdict and the reasons, joined by "; ".
class TestReport {
public:
    TestReport(Console& console, bool json, Progress& progress)
        : console_(console), json_(json), progress_(progress) {}

    void failure(std::string_view name, std::string_view reason) {
        ++failures_;
        entryFailed_ = true;
        line("FAILED  ", name, reason);
    }
    void warning(std::string_view name, std::string_view reason) {
        ++warnings_;
        entryWarned_ = true;
        line("WARNING ", name, reason);
    }
    // The digests of the table disagree: a failure of the archive, not of an entry.
    void digestsDiffer(std::string_view archive, std::string_view reason) {
        if (json_) {
            ++failures_;
            digestsDiffer_ = true;
        } else {
            failure(archive, reason);
        }
    }
    // With --json, the line of the entry whose findings were reported since the last one.
    void entryDone(std::size_t index, std::string_view name, std::string_view storedName) {
        if (!json_) {
            return;
        }
        std::string out = "{\"index\":";
        appendDecimal(out, index);
        out += ',';
        appendNameJson(out, name, storedName);
        out += entryFailed_   ? ",\"verdict\":\"failed\",\"reason\":"
               : entryWarned_ ? ",\"verdict\":\"warning\",\"reason\":"
                              : ",\"verdict\":\"ok\",\"reason\":null";
        if (entryFailed_ || entryWarned_) {
            appendJsonString(out, reasons_);
        }
        out += "}\n";
        console_.print(out);
        entryFailed_ = entryWarned_ = false;
        reasons_.clear();
    }
    void summary(std::size_t entries, std::uint64_t bytes, bool digestsChecked) {
        progress_.erase();
        if (!json_) {
            console_.print(counted(entries, "entry", "entries") + " tested, " +
                           counted(bytes, "byte", "bytes") +
                           " decoded: " + std::to_string(failures_) + " failed, " +
                           counted(warnings_, "warning", "warnings") + "\n");
            return;
        }
        std::string out = "{\"entries\":";
        appendDecimal(out, entries);
        out += ",\"bytes\":";
        appendDecimal(out, bytes);
        out += ",\"failed\":";
        appendDecimal(out, failures_);
        out += ",\"warnings\":";
        appendDecimal(out, warnings_);
        out += digestsDiffer_   ? ",\"digests\":\"differ\"}\n"
               : digestsChecked ? ",\"digests\":\"match\"}\n"
                                : ",\"digests\":\"skipped\"}\n";
        console_.print(out);
    }
    std::size_t failures() const { return failures_; }
    // A name within a reason, escaped as printName() escapes.
    std::string shown(std::string_view name) const {
        return !json_ && console_.escapesNames() ? escapeName(name) : std::string(name);
    }

private:
    void line(std::string_view kind, std::string_view name, std::string_view reason) {
        if (json_) {
            reasons_ += reasons_.empty() ? "" : "; ";
            reasons_ += reason;
            return;
        }
        progress_.erase();
        console_.print(kind);
        console_.printName(name);
        console_.print(": ");
        console_.print(reason);
        console_.print("\n");
    }

    Console& console_;
    bool json_;
    Progress& progress_;
    std::size_t failures_ = 0;
    std::size_t warnings_ = 0;
    bool digestsDiffer_ = false;
    bool entryFailed_ = false;
    bool entryWarned_ = false;
    std::string reasons_;
};

// The paths that entries land at, to find two entries that would land at the same one, or at
// paths that a file system ignoring letter case takes for the same. Each path is kept as its hash
// and the first entry that lands there, whose path is made again from its name when a hash comes
// again: memory follows the entries, not the length of their names.
class PathClashes {
public:
    explicit PathClashes(const EntryNames& names) : names_(names) {}

    void check(std::size_t index, const EntryPath& path, TestReport& report) {
        const std::string_view name = names_.name(index);
        const std::string key = landingPath(path);
        const std::size_t hash = std::hash<std::string>()(key);
        if (const std::optional<std::size_t> same = earlier(exact_, hash, key, false)) {
            report.warning(name, "lands at the same path as \"" + report.shown(names_.name(*same)) +
                                     "\"; without --overwrite it is skipped");
            return;
        }
        exact_.emplace(hash, index);
        const std::string folded = foldedCase(key);
        const std::size_t foldedHash = std::hash<std::string>()(folded);
        if (const std::optional<std::size_t> same = earlier(folded_, foldedHash, folded, true)) {
            report.warning(name, "differs only in letter case from \"" +
                                     report.shown(names_.name(*same)) +
                                     "\"; on Windows and macOS it is skipped");
            return;
        }
        folded_.emplace(foldedHash, index);
    }

private:
    using Seen = std::unordered_multimap<std::size_t, std::size_t>;

    // The earlier entry whose path (folded or not) is `key`.
    std::optional<std::size_t> earlier(const Seen& seen, std::size_t hash, const std::string& key,
                                       bool fold) const {
        const auto [begin, end] = seen.equal_range(hash);
        for (auto it = begin; it != end; ++it) {
            const std::optional<EntryPath> path =
                entryPath(names_.name(it->second), platform::nameRules);
            const std::string other = landingPath(*path);
            if ((fold ? foldedCase(other) : other) == key) {
                return it->second;
            }
        }
        return std::nullopt;
    }

    const EntryNames& names_;
    Seen exact_;
    Seen folded_;
};

// Lines are gathered and printed in chunks: a million of them should cost little beside the
// reading of the table.
constexpr std::size_t ChunkSize = 64 * 1024;

void listJson(const Archive& archive, const EntryNames& names, Console& console) {
    if (names.decoded()) {
        console.print(encodingJson(names.encoding()));
    }
    // Sized once, so that no line pays for clearing its room.
    std::string chunk(ChunkSize, '\0');
    std::size_t used = 0;
    for (std::size_t i = 0; i < archive.entryCount(); ++i) {
        const std::string_view name = names.name(i);
        const std::string_view stored = names.decoded() ? archive.name(i) : std::string_view();
        const std::size_t bound = entryJsonBound(name.size(), stored.size());
        if (chunk.size() - used < bound) {
            console.print(std::string_view(chunk.data(), used));
            used = 0;
            chunk.resize(std::max(chunk.size(), bound));
        }
        const ArchiveEntry& entry = archive.entries()[i];
        const char* end = putEntryJson(chunk.data() + used,
                                       {i, name, entry.originalSize, storedSize(archive, i),
                                        blockCount(entry.originalSize), stored, entry.dataOffset,
                                        entry.firstBlock, storageMethod(archive, i)});
        used = static_cast<std::size_t>(end - chunk.data());
    }
    console.print(std::string_view(chunk.data(), used));
}

void listTable(const Archive& archive, const EntryNames& names, Console& console) {
    std::string out;
    out.reserve(2 * ChunkSize);
    std::uint64_t totalSize = 0;
    std::uint64_t totalStored = 0;
    for (std::size_t i = 0; i < archive.entryCount(); ++i) {
        const ArchiveEntry& entry = archive.entries()[i];
        const std::optional<std::uint64_t> stored = storedSize(archive, i);
        totalSize += entry.originalSize;
        totalStored += stored.value_or(0);
        appendColumn(out, entry.originalSize);
        out += ' ';
        appendColumn(out, stored);
        out += "  ";
        if (console.escapesNames()) {
            out += escapeName(names.name(i));
        } else {
            out += names.name(i);
        }
        out += '\n';
        if (out.size() >= ChunkSize) {
            console.print(out);
            out.clear();
        }
    }
    appendColumn(out, totalSize);
    out += ' ';
    appendColumn(out, totalStored);
    out += "  " + counted(archive.entryCount(), "entry", "entries") + "\n";
    console.print(out);
}

} // namespace

int listEntries(const ListOptions& options, Console& console) {
    const Archive archive = openArchive(options.archive, !options.skipChecksums);
    const EntryNames names(archive, options.encoding);
    if (!names.note().empty()) {
        console.printError({names.note()});
    }
    if (options.json) {
        listJson(archive, names, console);
    } else {
        listTable(archive, names, console);
    }
    return 0;
}

int testArchive(const TestOptions& options, Console& console, const Streams& streams) {
    bool digestsDiffer = false;
    // A digest mismatch does not hide the entries: they are tested as the table reads.
    const Archive archive = openArchive(options.archive, !options.skipChecksums, &digestsDiffer);
    std::uint64_t total = 0;
    for (const ArchiveEntry& entry : archive.entries()) {
        total += entry.originalSize;
    }
    Progress progress(streams.err, options.progress, streams.errIsTerminal, total,
                      archive.entryCount());
    TestReport report(console, options.json, progress);
    if (digestsDiffer) {
        report.digestsDiffer(options.archive,
                             "the MD5 digests of the names or of the table of contents do not "
                             "match");
    }
    const EntryNames names(archive, options.encoding);
    if (!names.note().empty()) {
        console.printError({names.note()});
    }
    if (options.json && names.decoded()) {
        console.print(encodingJson(names.encoding()));
    }
    PathClashes clashes(names);
    std::uint64_t bytes = 0;
    for (std::size_t i = 0; i < archive.entryCount(); ++i) {
        progress.entryStarted(i);
        const std::string_view name = names.name(i);
        // Paths are compared as the names are shown: the bytes as stored, or decoded.
        const std::optional<EntryPath> path =
            names.fileSystemName(i) ? entryPath(name, platform::nameRules) : std::nullopt;
        if (!path) {
            report.failure(name, "qzb-unpack refuses this name: empty, absolute, with a \"..\" "
                                 "element, or not stored as given on this system");
        } else if (!path->hasFileName) {
            report.warning(name, "names a directory, so it is not extracted");
        } else {
            clashes.check(i, *path, report);
        }
        const std::uint64_t size = archive.entries()[i].originalSize;
        const DecodeOutcome outcome =
            archive.readEntry(i, [&](const unsigned char*, std::size_t length) {
                progress.advance(length);
                return true;
            });
        if (outcome.fault != EntryFault::None) {
            report.failure(name, faultText(outcome, size));
        } else {
            bytes += size;
        }
        progress.entryDone();
        report.entryDone(i, name, names.decoded() ? archive.name(i) : std::string_view());
    }
    report.summary(archive.entryCount(), bytes, !options.skipChecksums);
    if (report.failures() > 0) {
        throw RunError(options.archive + ": the test found " +
                       counted(report.failures(), "failure", "failures"));
    }
    return 0;
}

int catEntries(const CatOptions& options, Console& console) {
    const Archive archive = openArchive(options.archive, true);
    const EntryNames names(archive, options.encoding);
    if (!names.note().empty()) {
        console.printError({names.note()});
    }
    // Every name is looked up before anything is written, in one pass that keeps only the names
    // asked for; the first entry of a name counts, as qzb-unpack keeps the first without /o.
    constexpr std::size_t NotFound = ~std::size_t{0};
    std::unordered_map<std::string, std::size_t> wanted;
    for (const std::string& name : options.names) {
        wanted.try_emplace(withSlashes(name), NotFound);
    }
    std::size_t missing = wanted.size();
    std::string path;
    for (std::size_t i = 0; i < archive.entryCount() && missing > 0; ++i) {
        path.assign(names.name(i));
        std::replace(path.begin(), path.end(), '\\', '/');
        const auto found = wanted.find(path);
        if (found != wanted.end() && found->second == NotFound) {
            found->second = i;
            --missing;
        }
    }
    std::vector<std::size_t> indexes;
    for (const std::string& name : options.names) {
        const std::size_t index = wanted.at(withSlashes(name));
        if (index == NotFound) {
            throw RunError(name + ": no such entry in " + options.archive);
        }
        indexes.push_back(index);
    }
    for (const std::size_t index : indexes) {
        const DecodeOutcome outcome =
            archive.readEntry(index, [&](const unsigned char* bytes, std::size_t length) {
                console.print(std::string_view(reinterpret_cast<const char*>(bytes), length));
                return true;
            });
        if (outcome.fault != EntryFault::None) {
            throw RunError(std::string(names.name(index)) + ": " +
                           faultText(outcome, archive.entries()[index].originalSize));
        }
    }
    return 0;
}

} // namespace qzb::cli
