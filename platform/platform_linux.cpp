// Linux: directories resolved in one call (openat2), files without a name (O_TMPFILE) named by
// linking their descriptor, and renames that refuse to replace (renameat2).
#include <algorithm>
#include <cstdio>
#include <memory>

#include <fcntl.h>
#include <linux/openat2.h>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "platform/archive_file.h"
#include "platform/posix_node.h"

namespace qzb {
namespace platform {

// The processors of the process's affinity mask, which a container or taskset may narrow.
unsigned usableProcessors() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) != 0) {
        return 1;
    }
    return static_cast<unsigned>(std::max(1, CPU_COUNT(&set)));
}

namespace {

// A stream over a descriptor that costs no system call of its own: fdopen would ask fcntl for
// the descriptor's mode.
ssize_t writeTo(int fd, const char* data, std::size_t size) {
    std::size_t done = 0;
    while (done < size) {
        const ssize_t count = ::write(fd, data + done, size - done);
        if (count < 0) {
            if (errno == EINTR) {
                continue;
            }
            return done > 0 ? static_cast<ssize_t>(done) : -1;
        }
        done += static_cast<std::size_t>(count);
    }
    return static_cast<ssize_t>(done);
}

ssize_t writeCookie(void* cookie, const char* data, std::size_t size) {
    return writeTo(static_cast<Node::State*>(cookie)->fd.get(), data, size);
}

bool writeAll(int fd, const unsigned char* data, std::size_t size) {
    return writeTo(fd, reinterpret_cast<const char*>(data), size) == static_cast<ssize_t>(size);
}

} // namespace

Abilities systemAbilities() {
    return {.openBeneath = true,
            .unnamedFiles = true,
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
        if (!writeAll(descriptor(to), buffer.get(), static_cast<std::size_t>(count))) {
            return lastError();
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
    ::unlinkat(fd, from.c_str(), 0);
    return {};
}

std::FILE* openStream(Node& file, char* buffer, std::size_t size) {
    const cookie_io_functions_t functions{nullptr, writeCookie, nullptr, nullptr};
    // The node's state stays where it is until closeFile.
    std::FILE* stream = ::fopencookie(&file.state(), "w", functions);
    if (stream != nullptr) {
        std::setvbuf(stream, buffer, _IOFBF, size);
    }
    return stream;
}

std::error_code closeFile(Node& file, std::FILE* stream) {
    const bool flushed = stream == nullptr || std::fclose(stream) == 0;
    const std::error_code closed = file.state().fd.reset() ? std::error_code() : lastError();
    return flushed ? closed : std::make_error_code(std::errc::io_error);
}

} // namespace platform
} // namespace qzb
