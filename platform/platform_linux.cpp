#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <limits>
#include <utility>

#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "platform/platform.h"
#include "archive/file_io.h"

namespace qzb {

bool seekTo(std::FILE* file, std::uint64_t offset) {
    if (offset > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) {
        return false;
    }
    return fseeko(file, static_cast<off_t>(offset), SEEK_SET) == 0;
}

bool filePosition(std::FILE* file, std::uint64_t& position) {
    const off_t at = ftello(file);
    if (at < 0) {
        return false;
    }
    position = static_cast<std::uint64_t>(at);
    return true;
}

bool fileLength(std::FILE* file, std::uint64_t& length) {
    if (fseeko(file, 0, SEEK_END) != 0) {
        return false;
    }
    const off_t end = ftello(file);
    if (end < 0) {
        return false;
    }
    length = static_cast<std::uint64_t>(end);
    return true;
}

namespace platform {

const NameRules nameRules = NameRules::Posix;

namespace {

constexpr std::string_view TempPrefix = ".qzb-unpack-";
constexpr std::string_view TempSuffix = ".part";
constexpr int DirectoryFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

bool forceNamed = false;
unsigned long nextTemporary = 0;

// How an anonymous file gets its name: through its descriptor where the process may (it needs
// CAP_DAC_READ_SEARCH), else through its /proc path; Unusable when neither works here.
enum class LinkMethod { EmptyPath, ProcPath, Unusable };
LinkMethod linkMethod = LinkMethod::EmptyPath;

void closeDescriptor(int& fd) {
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
}

std::string temporaryName(unsigned long number) {
    static const std::string process = std::to_string(static_cast<unsigned long>(::getpid()));
    return std::string(TempPrefix) + process + "-" + std::to_string(number) +
           std::string(TempSuffix);
}

// The directory below `base` without resolving any link, in one call where the kernel can.
// -1 with errno ENOENT when an element is missing; other failures refuse the path for good.
bool openat2Missing = false;
int openBeneath(int base, const std::string& path) {
    if (!openat2Missing) {
        open_how how{};
        how.flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
        how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
        const long fd = ::syscall(SYS_openat2, base, path.c_str(), &how, sizeof how);
        if (fd >= 0) {
            return static_cast<int>(fd);
        }
        if (errno == ELOOP || errno == EXDEV || errno == ENOTDIR) {
            return -1;
        }
        openat2Missing = errno == ENOSYS;
        errno = ENOENT;
        return -1;
    }
    errno = ENOENT;
    return -1;
}

// Takes over what a replaced regular file allowed: owner and group first, since changing them
// clears set-user-ID bits.
void keepAttributesOf(int directory, const std::string& name, int fd) {
    struct stat old {};
    if (::fstatat(directory, name.c_str(), &old, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISREG(old.st_mode)) {
        return;
    }
    if (::fchown(fd, old.st_uid, old.st_gid) != 0) {
        // Another owner needs privileges; the group may still be one of ours.
        [[maybe_unused]] const int ignored = ::fchown(fd, static_cast<uid_t>(-1), old.st_gid);
    }
    ::fchmod(fd, old.st_mode & 07777);
}

// A stream over a descriptor that costs no system call of its own: fdopen would ask fcntl for
// the descriptor's mode.
ssize_t writeCookie(void* cookie, const char* data, std::size_t size) {
    const int fd = *static_cast<int*>(cookie);
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

} // namespace

std::vector<std::string> arguments(int argc, char** argv) {
    return std::vector<std::string>(argv + 1, argv + argc);
}

std::filesystem::path argumentPath(const std::string& argument) {
    return argument;
}

std::string displayPath(const std::filesystem::path& path) {
    return path.string();
}

std::FILE* openArchive(const std::filesystem::path& path) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        return nullptr;
    }
    struct stat info {};
    if (fstat(fileno(file), &info) != 0 || S_ISDIR(info.st_mode)) {
        std::fclose(file);
        return nullptr;
    }
    return file;
}

std::filesystem::path workingDirectory() {
    return std::filesystem::current_path();
}

bool enterTargetDirectory(const std::filesystem::path& target) {
    std::error_code error;
    std::filesystem::create_directories(target, error);
    if (!error) {
        std::filesystem::current_path(target, error);
    }
    return !error;
}

void forceNewFileForm(NewFileForm form) {
    forceNamed = form == NewFileForm::Named;
    linkMethod = form == NewFileForm::ProcPath ? LinkMethod::ProcPath : LinkMethod::EmptyPath;
}

struct Directory::State {
    int fd = -1;
    // Set once this directory's file system refused a file without a name.
    mutable bool namedOnly = false;
    ~State() { closeDescriptor(fd); }
};

Directory::Directory() = default;
Directory::Directory(std::unique_ptr<State> state) : state_(std::move(state)) {}
Directory::Directory(Directory&& other) noexcept = default;
Directory& Directory::operator=(Directory&& other) noexcept = default;
Directory::~Directory() = default;

Directory Directory::working() {
    auto state = std::make_unique<State>();
    state->fd = ::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    return state->fd < 0 ? Directory() : Directory(std::move(state));
}

Directory Directory::reach(std::string_view path, bool& created) const {
    created = false;
    auto state = std::make_unique<State>();
    state->fd = openBeneath(state_->fd, std::string(path));
    if (state->fd >= 0) {
        return Directory(std::move(state));
    }
    if (errno != ENOENT) {
        return Directory();
    }
    // One element at a time, made where missing; no element may be a link.
    int current = -1;
    std::size_t start = 0;
    while (start <= path.size()) {
        const std::size_t end = std::min(path.find('/', start), path.size());
        const std::string element(path.substr(start, end - start));
        start = end + 1;
        if (element.empty() || element == ".") {
            continue;
        }
        const int parent = current >= 0 ? current : state_->fd;
        int next = ::openat(parent, element.c_str(), DirectoryFlags);
        created = false;
        if (next < 0 && errno == ENOENT) {
            created = ::mkdirat(parent, element.c_str(), 0777) == 0;
            if (!created && errno != EEXIST) {
                closeDescriptor(current);
                return Directory();
            }
            next = ::openat(parent, element.c_str(), DirectoryFlags);
        }
        closeDescriptor(current);
        if (next < 0) {
            return Directory();
        }
        current = next;
    }
    if (current < 0) {
        current = ::openat(state_->fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    }
    state->fd = current;
    return current < 0 ? Directory() : Directory(std::move(state));
}

PathKind Directory::kind(std::string_view name) const {
    struct stat info {};
    // A path that cannot be examined counts as missing: creating it then fails with its own
    // message.
    if (::fstatat(state_->fd, std::string(name).c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
        return PathKind::Missing;
    }
    return S_ISDIR(info.st_mode) ? PathKind::Directory : PathKind::Other;
}

// A writer holds an exclusive lock on its hidden file until the file has its name; a lock that
// can be taken means the writer is gone.
void Directory::removeLeftovers() const {
    const int fd = ::openat(state_->fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* listing = fd < 0 ? nullptr : ::fdopendir(fd);
    if (listing == nullptr) {
        if (fd >= 0) {
            ::close(fd);
        }
        return;
    }
    while (const dirent* item = ::readdir(listing)) {
        const std::string_view name = item->d_name;
        if (!name.starts_with(TempPrefix) || !name.ends_with(TempSuffix)) {
            continue;
        }
        int file = ::openat(state_->fd, item->d_name, O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        struct stat info {};
        if (file >= 0 && ::fstat(file, &info) == 0 && S_ISREG(info.st_mode) &&
            ::flock(file, LOCK_EX | LOCK_NB) == 0) {
            ::unlinkat(state_->fd, item->d_name, 0);
        }
        closeDescriptor(file);
    }
    ::closedir(listing);
}

struct NewFile::State {
    const Directory::State* directory = nullptr;
    int fd = -1;
    // The hidden name, or empty for a file without one.
    std::string name;
    std::FILE* stream = nullptr;

    ~State() {
        if (stream != nullptr) {
            std::fclose(stream);
        }
        if (!name.empty()) {
            ::unlinkat(directory->fd, name.c_str(), 0);
        }
        closeDescriptor(fd);
    }

    bool openAnonymous() {
        if (forceNamed || directory->namedOnly || linkMethod == LinkMethod::Unusable) {
            return false;
        }
        fd = ::openat(directory->fd, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
        directory->namedOnly = fd < 0 && errno != EMFILE && errno != ENFILE && errno != ENOSPC;
        return fd >= 0;
    }

    // Created and locked under a fresh name; a cleaner that took the file between the two is
    // seen by the name no longer leading to it, and another name is tried.
    bool openNamed() {
        for (;;) {
            name = temporaryName(nextTemporary++);
            fd = ::openat(directory->fd, name.c_str(),
                          O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
            if (fd < 0) {
                const bool taken = errno == EEXIST;
                name.clear();
                if (!taken) {
                    return false;
                }
                continue;
            }
            struct stat held {};
            struct stat named {};
            if (::flock(fd, LOCK_EX | LOCK_NB) == 0 && ::fstat(fd, &held) == 0 &&
                ::fstatat(directory->fd, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
                held.st_ino == named.st_ino && held.st_dev == named.st_dev) {
                return true;
            }
            name.clear();
            closeDescriptor(fd);
        }
    }

    bool linkAnonymous(const std::string& to) {
        if (linkMethod == LinkMethod::EmptyPath) {
            if (::linkat(fd, "", directory->fd, to.c_str(), AT_EMPTY_PATH) == 0) {
                return true;
            }
            if (errno != ENOENT && errno != EPERM) {
                return false;
            }
            linkMethod = LinkMethod::ProcPath;
        }
        char procPath[64];
        std::snprintf(procPath, sizeof procPath, "/proc/self/fd/%d", fd);
        if (::linkat(AT_FDCWD, procPath, directory->fd, to.c_str(), AT_SYMLINK_FOLLOW) == 0) {
            return true;
        }
        if (errno != EEXIST) {
            linkMethod = LinkMethod::Unusable;
        }
        return false;
    }

    // The hidden name's file takes `to` only when nothing stands there.
    bool renameNoReplace(const std::string& to) {
        if (::renameat2(directory->fd, name.c_str(), directory->fd, to.c_str(), RENAME_NOREPLACE) ==
            0) {
            return true;
        }
        if (errno != EINVAL && errno != ENOSYS) {
            return false;
        }
        if (::linkat(directory->fd, name.c_str(), directory->fd, to.c_str(), 0) == 0) {
            ::unlinkat(directory->fd, name.c_str(), 0);
            return true;
        }
        return false;
    }

    Commit replace(const std::string& to) {
        keepAttributesOf(directory->fd, to, fd);
        if (name.empty()) {
            if (linkAnonymous(to)) {
                return Commit::Done;
            }
            if (errno != EEXIST) {
                return Commit::Failed;
            }
            // Renamed over the old file under a hidden name, locked like a named new file
            // while it has that name.
            if (::flock(fd, LOCK_EX) != 0) {
                return Commit::Failed;
            }
            for (;;) {
                name = temporaryName(nextTemporary++);
                if (linkAnonymous(name)) {
                    break;
                }
                if (errno != EEXIST) {
                    name.clear();
                    return Commit::Failed;
                }
            }
        }
        if (::renameat(directory->fd, name.c_str(), directory->fd, to.c_str()) != 0) {
            return Commit::Failed;
        }
        name.clear();
        return Commit::Done;
    }
};

NewFile::NewFile(const Directory& directory, char* buffer, std::size_t size)
    : state_(std::make_unique<State>()) {
    state_->directory = directory.state_.get();
    if (!state_->openAnonymous() && !state_->openNamed()) {
        return;
    }
    const cookie_io_functions_t functions{nullptr, writeCookie, nullptr, nullptr};
    state_->stream = ::fopencookie(&state_->fd, "w", functions);
    if (state_->stream != nullptr) {
        std::setvbuf(state_->stream, buffer, _IOFBF, size);
    }
}

NewFile::~NewFile() = default;

std::FILE* NewFile::stream() const {
    return state_->stream;
}

NewFile::Commit NewFile::commit(std::string_view name, bool replace) {
    std::FILE* stream = std::exchange(state_->stream, nullptr);
    if (std::fclose(stream) != 0) {
        return Commit::WriteFailed;
    }
    const std::string to(name);
    if (replace) {
        return state_->replace(to);
    }
    const bool linked =
        state_->name.empty() ? state_->linkAnonymous(to) : state_->renameNoReplace(to);
    if (!linked) {
        return errno == EEXIST ? Commit::Exists : Commit::Failed;
    }
    state_->name.clear();
    return Commit::Done;
}

} // namespace platform
} // namespace qzb
