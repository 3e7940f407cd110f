// qzb hash and qzb verify: digests of the files an extraction writes, in the lines of sha256sum
// and md5sum, made and checked without writing anything.
#include <algorithm>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "app/run_error.h"
#include "archive/block_pipeline.h"
#include "cli/archive_access.h"
#include "cli/commands.h"
#include "cli/name_encoding.h"
#include "cli/pattern.h"
#include "digest/hex.h"
#include "digest/md5.h"
#include "digest/sha256.h"
#include "platform/platform.h"

namespace qzb::cli {
namespace {

enum class Algorithm { Sha256, Md5 };

// One entry's digest, taken block by block.
class ContentDigest {
public:
    explicit ContentDigest(Algorithm algorithm) {
        if (algorithm == Algorithm::Sha256) {
            sha256_.emplace();
        } else {
            md5Init(md5_);
        }
    }

    void update(const unsigned char* bytes, std::size_t length) {
        if (sha256_) {
            sha256_->update(bytes, length);
        } else {
            md5Update(md5_, bytes, length);
        }
    }

    // The digest in lower-case hex; starts again.
    std::string finish() {
        if (sha256_) {
            return lowerHex(sha256_->finish());
        }
        Md5 digest;
        md5Final(md5_, digest);
        md5Init(md5_);
        return lowerHex(digest);
    }

private:
    std::optional<Sha256> sha256_;
    Md5Context md5_{};
};

// A file name in a line of sha256sum and md5sum: a name with a backslash, a line feed or a
// carriage return has them as \\, \n and \r, and its line starts with a backslash.
bool needsEscape(std::string_view path) {
    return path.find_first_of("\\\n\r") != path.npos;
}

std::string escaped(std::string_view path) {
    std::string text;
    for (const char c : path) {
        text += c == '\\' ? "\\\\" : c == '\n' ? "\\n" : c == '\r' ? "\\r" : std::string(1, c);
    }
    return text;
}

// An escaped name read back; nothing for an escape the tools do not write.
std::optional<std::string> unescaped(std::string_view text) {
    std::string path;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            path += text[i];
            continue;
        }
        const char next = ++i < text.size() ? text[i] : '\0';
        if (next != '\\' && next != 'n' && next != 'r') {
            return std::nullopt;
        }
        path += next == 'n' ? '\n' : next == 'r' ? '\r' : '\\';
    }
    return path;
}

// Where an extraction writes each entry's file: nothing for one that names a directory and so has
// none. RunError for a name that extraction refuses.
class Landings {
public:
    explicit Landings(const EntryNames& names) : names_(names) {}

    std::optional<std::string> path(std::size_t index) const {
        const std::optional<std::string> fileName = names_.fileSystemName(index);
        const std::optional<EntryPath> path =
            fileName ? entryPath(*fileName, platform::nameRules) : std::nullopt;
        if (!path) {
            throw RunError(std::string(names_.name(index)) +
                           ": invalid file path listed in the archive");
        }
        return path->hasFileName ? std::optional<std::string>(landingPath(*path)) : std::nullopt;
    }

    // The entries among `selected` whose files an extraction into an empty directory writes: one
    // whose path an earlier one took is left out, as extraction keeps the first. Each path is
    // kept as its hash and the entry, made again from the name when a hash comes again, so that
    // memory follows the entries, not the length of their names.
    std::vector<bool> firsts(const std::vector<bool>& selected) const {
        std::vector<bool> first(selected.size(), false);
        std::unordered_multimap<std::size_t, std::size_t> seen;
        for (std::size_t i = 0; i < selected.size(); ++i) {
            const std::optional<std::string> landing = selected[i] ? path(i) : std::nullopt;
            if (!landing) {
                continue;
            }
            const std::size_t hash = std::hash<std::string>()(*landing);
            const auto [begin, end] = seen.equal_range(hash);
            first[i] = std::none_of(
                begin, end, [&](const auto& other) { return path(other.second) == landing; });
            if (first[i]) {
                seen.emplace(hash, i);
            }
        }
        return first;
    }

private:
    const EntryNames& names_;
};

// Decodes the entries of `chosen` through the block pipeline, in table order, with each digest
// taken on this thread; `found` gets each index, its outcome and, when it decoded, its digest.
template <typename Found>
void digestEach(const Archive& archive, const std::vector<bool>& chosen, Algorithm algorithm,
                const Found& found) {
    BlockPipeline pipeline(archive, defaultInflateThreads());
    ContentDigest digest(algorithm);
    for (std::size_t i = 0; i < chosen.size(); ++i) {
        if (!chosen[i]) {
            continue;
        }
        const DecodeOutcome outcome =
            pipeline.readEntry(i, [&](const unsigned char* bytes, std::size_t length) {
                digest.update(bytes, length);
                return true;
            });
        found(i, outcome, digest.finish());
    }
}

std::string counted(std::size_t count, const char* singular, const char* plural) {
    return std::to_string(count) + ' ' + (count == 1 ? singular : plural);
}

// One line of a list of digests: the path as written, and where it lands as an entry's path
// would ("./a" and "a" are the same file).
struct Listed {
    std::string digest;
    std::string path;
    std::string landing;
    bool matched = false;
};

// The lines of sha256sum or md5sum, in text or binary mode ('*'), all of one algorithm; RunError
// naming the line that is none.
std::vector<Listed> readList(const std::string& argument, Algorithm& algorithm) {
    std::ifstream file(platform::argumentPath(argument), std::ios::binary);
    if (!file) {
        throw RunError(argument + ": cannot open the list of digests");
    }
    std::vector<Listed> lines;
    std::string line;
    std::size_t digestLength = 0;
    for (std::size_t number = 1; std::getline(file, line); ++number) {
        const bool escape = line.starts_with('\\');
        const std::size_t start = escape ? 1 : 0;
        const std::size_t space = line.find(' ', start);
        const std::string_view digest =
            std::string_view(line).substr(start, space == line.npos ? 0 : space - start);
        const bool hex =
            !digest.empty() && digest.find_first_not_of("0123456789abcdefABCDEF") == digest.npos;
        const bool mode = space != line.npos && space + 1 < line.size() &&
                          (line[space + 1] == ' ' || line[space + 1] == '*');
        std::optional<std::string> path;
        if (hex && mode && (digest.size() == 64 || digest.size() == 32) &&
            (digestLength == 0 || digest.size() == digestLength)) {
            const std::string_view rest = std::string_view(line).substr(space + 2);
            path = escape ? unescaped(rest) : std::string(rest);
        }
        if (!path || path->empty()) {
            throw RunError(argument + ":" + std::to_string(number) +
                           ": not a line of sha256sum or md5sum");
        }
        digestLength = digest.size();
        const std::optional<EntryPath> landing = entryPath(*path, platform::nameRules);
        Listed listed{std::string(digest), *path, landing ? landingPath(*landing) : *path};
        for (char& c : listed.digest) {
            c = static_cast<char>(c >= 'A' && c <= 'F' ? c - 'A' + 'a' : c);
        }
        lines.push_back(std::move(listed));
    }
    if (file.bad()) {
        throw RunError(argument + ": cannot read the list of digests");
    }
    algorithm = digestLength == 32 ? Algorithm::Md5 : Algorithm::Sha256;
    return lines;
}

} // namespace

int hashEntries(const HashOptions& options, Console& console) {
    const Algorithm algorithm = options.algorithm == "md5" ? Algorithm::Md5 : Algorithm::Sha256;
    const Archive archive = openArchive(options.archive, true);
    const EntryNames names(archive, options.encoding);
    if (!names.note().empty()) {
        console.printError({names.note()});
    }
    std::vector<bool> selected(archive.entryCount(), options.patterns.empty());
    for (const std::string& pattern : options.patterns) {
        bool used = false;
        for (std::size_t i = 0; i < archive.entryCount(); ++i) {
            if (matchesPattern(pattern, names.name(i))) {
                selected[i] = used = true;
            }
        }
        if (!used) {
            throw RunError(pattern + ": no entry matches this pattern");
        }
    }
    const Landings landings(names);
    std::string out;
    digestEach(archive, landings.firsts(selected), algorithm,
               [&](std::size_t index, const DecodeOutcome& outcome, const std::string& digest) {
                   if (outcome.fault != EntryFault::None) {
                       console.print(out);
                       throw RunError(std::string(names.name(index)) + ": " +
                                      faultText(outcome, archive.entries()[index].originalSize));
                   }
                   const std::string path = *landings.path(index);
                   const bool escape = needsEscape(path);
                   out += escape ? "\\" : "";
                   out += digest;
                   out += "  ";
                   out += escape ? escaped(path) : path;
                   out += '\n';
                   if (out.size() >= 64 * 1024) {
                       console.print(out);
                       out.clear();
                   }
               });
    console.print(out);
    return 0;
}

int verifyEntries(const VerifyOptions& options, Console& console) {
    Algorithm algorithm = Algorithm::Sha256;
    std::vector<Listed> list = readList(options.sums, algorithm);
    const Archive archive = openArchive(options.archive, true);
    const EntryNames names(archive, options.encoding);
    if (!names.note().empty()) {
        console.printError({names.note()});
    }
    // Each path's lines; a path may be listed more than once.
    std::unordered_map<std::string_view, std::vector<std::size_t>> byPath;
    for (std::size_t k = 0; k < list.size(); ++k) {
        byPath[list[k].landing].push_back(k);
    }
    const auto report = [&](std::string_view kind, std::string_view path, std::string_view why) {
        console.print(kind);
        console.printName(path);
        console.print(": ");
        console.print(why);
        console.print("\n");
    };
    std::size_t differ = 0;
    std::size_t extra = 0;
    const Landings landings(names);
    std::vector<bool> listed = landings.firsts(std::vector<bool>(archive.entryCount(), true));
    for (std::size_t i = 0; i < listed.size(); ++i) {
        if (listed[i] && !byPath.contains(*landings.path(i))) {
            listed[i] = false;
            ++extra;
            report("EXTRA   ", *landings.path(i), "in the archive, not in " + options.sums);
        }
    }
    digestEach(archive, listed, algorithm,
               [&](std::size_t index, const DecodeOutcome& outcome, const std::string& digest) {
                   const std::string path = *landings.path(index);
                   const std::string why =
                       outcome.fault == EntryFault::None
                           ? "the content differs"
                           : faultText(outcome, archive.entries()[index].originalSize);
                   for (const std::size_t k : byPath.at(path)) {
                       list[k].matched = true;
                       if (outcome.fault != EntryFault::None || list[k].digest != digest) {
                           ++differ;
                           report("FAILED  ", path, why);
                       }
                   }
               });
    std::size_t missing = 0;
    for (const Listed& line : list) {
        if (!line.matched) {
            ++missing;
            report("MISSING ", line.path, "in " + options.sums + ", not in the archive");
        }
    }
    console.print(counted(list.size(), "line", "lines") + " verified: " + std::to_string(differ) +
                  " differ, " + std::to_string(missing) + " missing, " + std::to_string(extra) +
                  " not listed\n");
    const std::size_t problems = differ + missing + extra;
    if (problems > 0) {
        throw RunError(options.sums + ": the verification found " +
                       counted(problems, "problem", "problems"));
    }
    return 0;
}

} // namespace qzb::cli
