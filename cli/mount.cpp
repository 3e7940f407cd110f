#include <charconv>
#include <limits>

#include "app/run_error.h"
#include "cli/archive_access.h"
#include "cli/commands.h"
#include "cli/name_encoding.h"
#include "mount/mount.h"

namespace qzb::cli {
namespace {

// "64M", "512K", "1G" or a number of bytes; RunError for anything else, or for less than a block.
std::uint64_t cacheBytes(const std::string& text) {
    std::uint64_t value = 0;
    const char* end = text.data() + text.size();
    const auto [rest, error] = std::from_chars(text.data(), end, value);
    const std::string_view unit(rest, static_cast<std::size_t>(end - rest));
    const int shift = unit.empty()  ? 0
                      : unit == "K" ? 10
                      : unit == "M" ? 20
                      : unit == "G" ? 30
                                    : -1;
    if (error != std::errc() || rest == text.data() || shift < 0 ||
        value > (std::numeric_limits<std::uint64_t>::max() >> shift) ||
        (value << shift) < BlockSize) {
        throw RunError("--cache-size " + text +
                       ": not a size of at least 64K (a number of bytes, or with K, M or G)");
    }
    return value << shift;
}

} // namespace

int mountArchive(const MountOptions& options, Console& console) {
    if (!mount::mountBuilt()) {
        throw RunError("mount: " + mount::absentReason());
    }
    mount::Settings settings;
    settings.cacheSize = cacheBytes(options.cacheSize);
    const Archive archive = openArchive(options.archive, !options.skipChecksums);
    const EntryNames names(archive, options.encoding);
    if (!names.note().empty()) {
        console.printError({names.note()});
    }
    settings.archivePath = options.archive;
    settings.mountPoint = options.mountPoint;
    settings.foreground = options.foreground;
    settings.fuseOptions = options.fuseOptions;
    settings.fileName = [&](std::size_t index) { return names.fileSystemName(index); };
    settings.shownName = [&](std::size_t index) {
        const std::string_view name = names.name(index);
        return console.escapesNames() ? escapeName(name) : std::string(name);
    };
    settings.warn = [&](const std::string& line) { console.printError({"qzb: ", line}); };
    return mount::serve(archive, settings);
}

} // namespace qzb::cli
