// POSIX.1-2008 alone, as on the BSDs and macOS: every new file is a hidden named one, locked
// while written, and renamed without replacing by linking it to its name.

#include <fcntl.h>
#include <unistd.h>

#include "platform/archive_file.h"
#include "platform/platform.h"
#include "platform/posix_node.h"

namespace qzb {
namespace platform {

// A nice value is the whole process's there.
void lowerThreadPriority() {}

unsigned usableProcessors() {
    const long online = ::sysconf(_SC_NPROCESSORS_ONLN);
    return online > 0 ? static_cast<unsigned>(online) : 1;
}

Abilities systemAbilities() {
    return {.openBeneath = false,
            .unnamedFiles = false,
            .linkVia = LinkVia::Descriptor,
            .replaceUnnamed = false,
            .locks = true};
}

std::error_code openBeneath(const Node&, const std::string&, Node&) {
    return std::make_error_code(std::errc::not_supported);
}

std::error_code createUnnamed(const Node&, const std::string&, Node&) {
    return std::make_error_code(std::errc::not_supported);
}

std::error_code nameUnnamed(const Node&, const Node&, const std::string&, LinkVia, bool) {
    return std::make_error_code(std::errc::not_supported);
}

std::error_code copyContent(const Node&, const Node&) {
    return std::make_error_code(std::errc::not_supported);
}

// A link fails when anything stands at the name.
std::error_code renameNoReplace(const Node& directory, const std::string& from,
                                const std::string& to) {
    const int fd = descriptor(directory);
    if (::linkat(fd, from.c_str(), fd, to.c_str(), 0) != 0) {
        return lastError();
    }
    // Named already: a hidden name that stays is a leftover the next run removes.
    static_cast<void>(::unlinkat(fd, from.c_str(), 0));
    return {};
}

} // namespace platform
} // namespace qzb
