// What every POSIX.1-2008 system does alike; platform_linux.cpp or platform_posix.cpp adds the
// rest.
#include <algorithm>
#include <cerrno>
#include <climits>
#include <clocale>
#include <csignal>
#include <cstdint>
#include <cwctype>
#include <limits>
#include <memory>

#include <dirent.h>
#include <fcntl.h>
#include <locale.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/archive_file.h"
#include "platform/console.h"
#include "platform/platform.h"
#include "platform/posix_node.h"

namespace qzb {
namespace platform {

const NameRules nameRules = NameRules::Posix;

namespace {

// Directories are opened to search them and make files in them, which a drop box (0733) allows,
// not to list them.
#if defined(O_SEARCH)
constexpr int SearchOnly = O_SEARCH;
#elif defined(O_PATH)
constexpr int SearchOnly = O_PATH;
#else
constexpr int SearchOnly = O_RDONLY;
#endif
constexpr int DirectoryFlags = SearchOnly | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

struct DirectoryListing {
    DIR* listing;
    ~DirectoryListing() {
        if (listing != nullptr) {
            ::closedir(listing);
        }
    }
};

} // namespace

void prepareProcess() {
    std::signal(SIGXFSZ, SIG_IGN);
}

std::vector<std::string> arguments(int argc, char** argv) {
    return std::vector<std::string>(argv + 1, argv + argc);
}

std::filesystem::path argumentPath(const std::string& argument) {
    return argument;
}

std::string displayPath(const std::filesystem::path& path) {
    return path.string();
}

static_assert(sizeof(off_t) == 8, "file offsets of 64 bits");

struct ArchiveFile::State {
    UniqueDescriptor fd;
};

ArchiveFile::ArchiveFile() = default;
ArchiveFile::ArchiveFile(std::unique_ptr<State> state, std::uint64_t size)
    : state_(std::move(state)), size_(size) {}
ArchiveFile::ArchiveFile(ArchiveFile&& other) noexcept = default;
ArchiveFile& ArchiveFile::operator=(ArchiveFile&& other) noexcept = default;
ArchiveFile::~ArchiveFile() = default;

// Without waiting, as a FIFO nobody writes to would have the open wait forever. The length comes
// from the end's offset, which a block device answers where its st_size is 0.
ArchiveFile ArchiveFile::open(const std::filesystem::path& path) {
    UniqueDescriptor fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    struct stat info {};
    if (!fd || ::fstat(fd.get(), &info) != 0 || !(S_ISREG(info.st_mode) || S_ISBLK(info.st_mode))) {
        return {};
    }
    const int flags = ::fcntl(fd.get(), F_GETFL);
    if (flags < 0 || ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) {
        return {};
    }
    const off_t end = ::lseek(fd.get(), 0, SEEK_END);
    if (end < 0) {
        return {};
    }
    return ArchiveFile(std::make_unique<State>(State{std::move(fd)}),
                       static_cast<std::uint64_t>(end));
}

std::size_t ArchiveFile::readAt(std::uint64_t offset, void* buffer, std::size_t length) const {
    std::size_t done = 0;
    while (done < length && offset <= MaxReadOffset && done <= MaxReadOffset - offset) {
        const ssize_t got = ::pread(state_->fd.get(), static_cast<unsigned char*>(buffer) + done,
                                    length - done, static_cast<off_t>(offset + done));
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            break;
        }
        done += static_cast<std::size_t>(got);
    }
    return done;
}

// Upper case, then lower, as the simple folding gives: final sigma and long s meet their
// letters. The tables of C.UTF-8, read once and never changed; ASCII where a system lacks it.
char32_t foldedLetterCase(char32_t c) {
    static const locale_t utf8 = ::newlocale(LC_CTYPE_MASK, "C.UTF-8", nullptr);
    if (utf8 == nullptr || c > static_cast<char32_t>(std::numeric_limits<wint_t>::max())) {
        return c >= U'A' && c <= U'Z' ? c - U'A' + U'a' : c;
    }
    const wint_t upper = ::towupper_l(static_cast<wint_t>(c), utf8);
    return static_cast<char32_t>(::towlower_l(upper, utf8));
}

std::error_code makeTargetDirectory(const std::filesystem::path& target) {
    std::error_code error;
    std::filesystem::create_directories(target, error);
    return error;
}

// Links resolved, as getcwd reads a working directory.
std::filesystem::path fullTargetPath(const std::filesystem::path& target) {
    std::error_code error;
    std::filesystem::path full = std::filesystem::weakly_canonical(target, error);
    return error ? std::filesystem::absolute(target, error).lexically_normal() : full;
}

Node::Node() = default;
Node::Node(std::unique_ptr<State> state) : state_(std::move(state)) {}
Node::Node(Node&& other) noexcept = default;
Node& Node::operator=(Node&& other) noexcept = default;
Node::~Node() = default;

std::uint64_t processId() {
    return static_cast<std::uint64_t>(::getpid());
}

bool processAlive(std::uint64_t id) {
    if (id > static_cast<std::uint64_t>(std::numeric_limits<pid_t>::max())) {
        return false;
    }
    return ::kill(static_cast<pid_t>(id), 0) == 0 || errno == EPERM;
}

// Through its ".", which only a directory that may be searched yields, as chdir requires.
std::error_code openTarget(const std::filesystem::path& target, Node& directory) {
    return adopt(::open((target / ".").c_str(), SearchOnly | O_DIRECTORY | O_CLOEXEC), directory);
}

std::error_code openChild(const Node& parent, const std::string& name, Node& directory) {
    return adopt(::openat(descriptor(parent), name.c_str(), DirectoryFlags), directory);
}

std::error_code makeDirectory(const Node& parent, const std::string& name) {
    return result(::mkdirat(descriptor(parent), name.c_str(), 0777));
}

std::error_code kindAt(const Node& directory, const std::string& name, PathKind& kind) {
    struct stat info {};
    if (::fstatat(descriptor(directory), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
        kind = PathKind::Missing;
        return errno == ENOENT ? std::error_code() : lastError();
    }
    kind = S_ISDIR(info.st_mode) ? PathKind::Directory : PathKind::Other;
    return {};
}

std::error_code identify(const Node& node, NodeIdentity& identity) {
    struct stat info {};
    if (::fstat(descriptor(node), &info) != 0) {
        return lastError();
    }
    identity = {static_cast<std::uint64_t>(info.st_dev), static_cast<std::uint64_t>(info.st_ino)};
    return {};
}

std::error_code createNamed(const Node& directory, const std::string& name, Node& file) {
    return adopt(::openat(descriptor(directory), name.c_str(),
                          O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, 0666),
                 file);
}

std::error_code lockFile(const Node& file) {
    return result(::flock(descriptor(file), LOCK_EX | LOCK_NB));
}

std::error_code renameAfterLook(const Node& directory, const std::string& from,
                                const std::string& to) {
    struct stat info {};
    if (::fstatat(descriptor(directory), to.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0) {
        return std::make_error_code(std::errc::file_exists);
    }
    if (errno != ENOENT) {
        return lastError();
    }
    return renameReplace(directory, from, to);
}

std::error_code renameReplace(const Node& directory, const std::string& from,
                              const std::string& to) {
    return result(
        ::renameat(descriptor(directory), from.c_str(), descriptor(directory), to.c_str()));
}

std::error_code removeFile(const Node& directory, const std::string& name) {
    return result(::unlinkat(descriptor(directory), name.c_str(), 0));
}

// Owner and group first, since changing them clears set-user-ID bits; those are never carried
// over, as the system clears them when someone without privileges writes the file.
std::error_code keepAttributes(const Node& directory, const std::string& name, const Node& file) {
    struct stat old {};
    if (::fstatat(descriptor(directory), name.c_str(), &old, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISREG(old.st_mode)) {
        return {};
    }
    if (::fchown(descriptor(file), old.st_uid, old.st_gid) != 0) {
        // Another owner needs privileges; the group may still be one of ours.
        [[maybe_unused]] const int ignored =
            ::fchown(descriptor(file), static_cast<uid_t>(-1), old.st_gid);
    }
    return result(::fchmod(descriptor(file), old.st_mode & 0777));
}

std::error_code writeAllAt(const Node& file, std::uint64_t offset, const unsigned char* bytes,
                           std::size_t length) {
    std::size_t done = 0;
    while (done < length) {
        if (offset + done > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) {
            return std::make_error_code(std::errc::file_too_large);
        }
        const ssize_t count = ::pwrite(descriptor(file), bytes + done, length - done,
                                       static_cast<off_t>(offset + done));
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count < 0) {
            return lastError();
        }
        if (count == 0) {
            return std::make_error_code(std::errc::io_error);
        }
        done += static_cast<std::size_t>(count);
    }
    return {};
}

std::error_code closeFile(Node& file) {
    return file.state().fd.reset() ? std::error_code() : lastError();
}

std::vector<std::string> listNames(const Node& directory, std::string_view prefix,
                                   std::string_view suffix, std::error_code& error) {
    std::vector<std::string> names;
    const int fd = ::openat(descriptor(directory), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const DirectoryListing listing{fd < 0 ? nullptr : ::fdopendir(fd)};
    if (listing.listing == nullptr) {
        error = lastError();
        if (fd >= 0) {
            ::close(fd);
        }
        return names;
    }
    while (const dirent* item = ::readdir(listing.listing)) {
        const std::string_view name = item->d_name;
        if (name.starts_with(prefix) && name.ends_with(suffix)) {
            names.emplace_back(name);
        }
    }
    return names;
}

bool unlocked(const Node& directory, const std::string& name, std::error_code& error) {
    UniqueDescriptor fd(::openat(descriptor(directory), name.c_str(),
                                 O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!fd) {
        error = lastError();
        return false;
    }
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
        return false;
    }
    // A file system without locks cannot tell; the writer's process is gone by then.
    return ::flock(fd.get(), LOCK_EX | LOCK_NB) == 0 || errno == ENOLCK || errno == EOPNOTSUPP ||
           errno == EINVAL;
}

} // namespace platform
} // namespace qzb

namespace qzb::platform {

bool reopenClosedStandardStreams() {
    bool outputClosed = false;
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (::fcntl(fd, F_GETFD) >= 0 || errno != EBADF) {
            continue;
        }
        // The lower descriptors are open by now, so this one gets the number that is missing.
        const int opened = ::open("/dev/null", O_RDWR);
        if (opened >= 0 && opened != fd) {
            ::dup2(opened, fd);
            ::close(opened);
        }
        outputClosed = outputClosed || fd == STDOUT_FILENO;
    }
    return outputClosed;
}

bool isTerminal(std::FILE* stream) {
    return ::isatty(::fileno(stream)) != 0;
}

void useBinaryMode(std::FILE*) {}

} // namespace qzb::platform
