// Linux: directories resolved in one call (openat2), files without a name (O_TMPFILE) named by
// linking their descriptor, and renames that refuse to replace (renameat2).
#include <algorithm>
#include <cstdio>
#include <memory>

#include <cerrno>

#include <fcntl.h>
#include <linux/openat2.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "platform/archive_file.h"
#include "platform/platform.h"
#include "platform/posix_node.h"

namespace qzb {
namespace platform {

// A thread's nice value is its own on Linux. Five steps give it about a third of the share.
void lowerThreadPriority() {
    const auto thread = static_cast<id_t>(::gettid());
    errno = 0;
    const int nice = ::getpriority(PRIO_PROCESS, thread);
    if (errno == 0) {
        static_cast<void>(::setpriority(PRIO_PROCESS, thread, std::min(nice + 5, 19)));
    }
}

// The processors of the process's affinity mask, which a container or taskset may narrow.
unsigned usableProcessors() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) != 0) {
        return 1;
    }
    return static_cast<unsigned>(std::max(1, CPU_COUNT(&set)));
}

Abilities systemAbilities() {
    return {.openBeneath = true,
            .unnamedFiles = true,
            .unnamedAnywhere = true,
            .linkVia = LinkVia::Descriptor,
            .replaceUnnamed = false,
            .locks = true};
}

std::error_code openBeneath(const Node& base, const std::string& path, Node& directory) {
    open_how how{};
    how.flags = O_PATH | O_DIRECTORY | O_CLOEXEC;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
    const long fd = ::syscall(SYS_openat2, descriptor(base), path.c_str(), &how, sizeof how);
    if (fd < 0 && errno == ENOSYS) {
        return std::make_error_code(std::errc::not_supported);
    }
    return adopt(static_cast<int>(fd), directory);
}

std::error_code createUnnamed(const Node& directory, const std::string&, Node& file) {
    // Readable too: should naming it be refused, its content moves to a named file.
    return adopt(::openat(descriptor(directory), ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0666), file);
}

std::error_code nameUnnamed(const Node& file, const Node& directory, const std::string& name,
                            LinkVia via, bool replace) {
    if (replace) {
        return std::make_error_code(std::errc::not_supported);
    }
    if (via == LinkVia::Descriptor) {
        return result(
            ::linkat(descriptor(file), "", descriptor(directory), name.c_str(), AT_EMPTY_PATH));
    }
    char procPath[64];
    std::snprintf(procPath, sizeof procPath, "/proc/self/fd/%d", descriptor(file));
    return result(
        ::linkat(AT_FDCWD, procPath, descriptor(directory), name.c_str(), AT_SYMLINK_FOLLOW));
}

std::error_code copyContent(const Node& from, const Node& to) {
    const auto buffer = std::make_unique_for_overwrite<unsigned char[]>(1 << 16);
    for (off_t offset = 0;;) {
        const ssize_t count = ::pread(descriptor(from), buffer.get(), 1 << 16, offset);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count < 0) {
            return lastError();
        }
        if (count == 0) {
            return {};
        }
        if (const std::error_code error =
                writeAllAt(to, static_cast<std::uint64_t>(offset), buffer.get(),
                           static_cast<std::size_t>(count))) {
            return error;
        }
        offset += count;
    }
}

// File systems that cannot rename without replacing can still link without replacing.
std::error_code renameNoReplace(const Node& directory, const std::string& from,
                                const std::string& to) {
    const int fd = descriptor(directory);
    if (::renameat2(fd, from.c_str(), fd, to.c_str(), RENAME_NOREPLACE) == 0) {
        return {};
    }
    if (errno != EINVAL && errno != ENOSYS) {
        return lastError();
    }
    if (::linkat(fd, from.c_str(), fd, to.c_str(), 0) != 0) {
        return lastError();
    }
    // Named already: a hidden name that stays is a leftover the next run removes.
    static_cast<void>(::unlinkat(fd, from.c_str(), 0));
    return {};
}

} // namespace platform
} // namespace qzb
