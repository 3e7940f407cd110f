// The mount on libfuse 3's high-level interface, for the systems that have it.
#define FUSE_USE_VERSION 31

#include <fuse.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <system_error>

#include "app/run_error.h"
#include "archive/block_pipeline.h"
#include "archive/format.h"
#include "mount/block_cache.h"
#include "mount/mount.h"
#include "mount/mount_tree.h"
#include "platform/platform.h"

namespace qzb::mount {
namespace {

// The kernel may keep what it was told: the archive does not change under a mount.
constexpr double AttributeSeconds = 3600;
// Reads of a handle this many blocks from its last one count as sequential: the kernel sends
// its read-ahead as several requests at once, which may arrive out of order.
constexpr std::uint64_t SequentialSlack = 4;
constexpr std::uint64_t NoBlock = ~std::uint64_t{0};

// What the mount serves, shared by every request.
struct Served {
    const Archive& archive;
    const Settings& settings;
    const Tree& tree;
    std::unique_ptr<BlockCache> cache;
    uid_t owner;
    gid_t group;
    mode_t fileMode;
    mode_t directoryMode;
    struct timespec time;
    std::uint64_t storedBytes;
    std::mutex warnings;

    void warn(const std::string& line) {
        const std::lock_guard lock(warnings);
        settings.warn(line);
    }
};

// An open file: its node and the last block read through it.
struct OpenFile {
    Tree::NodeId node;
    std::atomic<std::uint64_t> lastBlock{NoBlock};
};

Served& served() {
    return *static_cast<Served*>(fuse_get_context()->private_data);
}

void describe(const Served& s, Tree::NodeId id, struct stat& st) {
    std::memset(&st, 0, sizeof st);
    st.st_ino = id + 1;
    st.st_uid = s.owner;
    st.st_gid = s.group;
    st.st_atim = st.st_mtim = st.st_ctim = s.time;
    st.st_blksize = BlockSize;
    if (s.tree.isDirectory(id)) {
        st.st_mode = S_IFDIR | s.directoryMode;
        // The number of subdirectories is not counted: 1 says so to tools that would use it.
        st.st_nlink = 1;
        return;
    }
    const std::uint64_t size = s.archive.entries()[s.tree.entry(id)].originalSize;
    st.st_mode = S_IFREG | s.fileMode;
    st.st_nlink = 1;
    st.st_size = static_cast<off_t>(std::min<std::uint64_t>(size, platform::MaxReadOffset));
    st.st_blocks = static_cast<blkcnt_t>(st.st_size / 512 + (st.st_size % 512 != 0));
}

void* initialize(struct fuse_conn_info*, struct fuse_config* config) {
    config->use_ino = 1;
    config->kernel_cache = 1;
    config->entry_timeout = config->attr_timeout = config->negative_timeout = AttributeSeconds;
    return fuse_get_context()->private_data;
}

int getAttributes(const char* path, struct stat* st, struct fuse_file_info*) {
    const Served& s = served();
    const std::optional<Tree::NodeId> id = s.tree.find(path);
    if (!id) {
        return -ENOENT;
    }
    describe(s, *id, *st);
    return 0;
}

// Offsets of a listing: 1 after ".", 2 after "..", then 3 past each child's id.
int readDirectory(const char* path, void* buffer, fuse_fill_dir_t fill, off_t offset,
                  struct fuse_file_info*, enum fuse_readdir_flags) {
    const Served& s = served();
    const std::optional<Tree::NodeId> id = s.tree.find(path);
    if (!id) {
        return -ENOENT;
    }
    if (!s.tree.isDirectory(*id)) {
        return -ENOTDIR;
    }
    struct stat st;
    if (offset < 1) {
        describe(s, *id, st);
        if (fill(buffer, ".", &st, 1, fuse_fill_dir_flags{}) != 0) {
            return 0;
        }
    }
    if (offset < 2) {
        std::memset(&st, 0, sizeof st);
        st.st_mode = S_IFDIR;
        if (fill(buffer, "..", &st, 2, fuse_fill_dir_flags{}) != 0) {
            return 0;
        }
    }
    std::optional<Tree::NodeId> child =
        offset < 3 ? s.tree.firstChild(*id)
                   : s.tree.nextSibling(static_cast<Tree::NodeId>(offset - 3));
    std::string name;
    for (; child; child = s.tree.nextSibling(*child)) {
        describe(s, *child, st);
        name.assign(s.tree.name(*child));
        if (fill(buffer, name.c_str(), &st, static_cast<off_t>(*child) + 3,
                 fuse_fill_dir_flags{}) != 0) {
            break;
        }
    }
    return 0;
}

int openFile(const char* path, struct fuse_file_info* info) {
    const Served& s = served();
    const std::optional<Tree::NodeId> id = s.tree.find(path);
    if (!id) {
        return -ENOENT;
    }
    if (s.tree.isDirectory(*id)) {
        return -EISDIR;
    }
    if ((info->flags & O_ACCMODE) != O_RDONLY) {
        return -EROFS;
    }
    // Owned by the handle from here; releaseFile takes it back.
    info->fh = reinterpret_cast<std::uintptr_t>(new OpenFile{*id});
    info->keep_cache = 1;
    return 0;
}

int readFile(const char*, char* buffer, std::size_t length, off_t offset,
             struct fuse_file_info* info) {
    Served& s = served();
    OpenFile& file = *reinterpret_cast<OpenFile*>(info->fh);
    if (offset < 0) {
        return -EINVAL;
    }
    const std::uint64_t at = static_cast<std::uint64_t>(offset);
    const std::uint64_t block = at / BlockSize;
    const std::uint64_t last = file.lastBlock.exchange(block);
    const bool sequential = at == 0 || (last != NoBlock && block + SequentialSlack >= last &&
                                        block <= last + SequentialSlack);
    const std::uint32_t entry = s.tree.entry(file.node);
    const ReadOutcome outcome =
        s.cache->read(entry, at, reinterpret_cast<unsigned char*>(buffer), length, sequential);
    if (outcome.firstFailure) {
        s.warn(s.settings.shownName(entry) + ": block " + std::to_string(outcome.block) +
               " cannot be read or decoded; reads of it fail\n");
    }
    // Never a short count for a failure: the kernel would take the rest of the request for the
    // end of the file.
    if (outcome.failed) {
        return -EIO;
    }
    return static_cast<int>(outcome.bytes);
}

int releaseFile(const char*, struct fuse_file_info* info) {
    delete reinterpret_cast<OpenFile*>(info->fh);
    return 0;
}

int fileSystemStatus(const char*, struct statvfs* st) {
    const Served& s = served();
    std::memset(st, 0, sizeof *st);
    st->f_bsize = st->f_frsize = BlockSize;
    st->f_blocks = s.storedBytes / BlockSize + (s.storedBytes % BlockSize != 0);
    st->f_files = s.tree.size();
    st->f_namemax = 255;
    st->f_flag = ST_RDONLY;
    return 0;
}

struct fuse_operations operations() {
    struct fuse_operations ops {};
    ops.init = initialize;
    ops.getattr = getAttributes;
    ops.readdir = readDirectory;
    ops.open = openFile;
    ops.read = readFile;
    ops.release = releaseFile;
    ops.statfs = fileSystemStatus;
    return ops;
}

// libfuse's own messages, as qzb's lines.
void logLine(enum fuse_log_level, const char* format, va_list arguments) {
    char line[1024];
    std::vsnprintf(line, sizeof line, format, arguments);
    std::fprintf(stderr, "qzb: %s", line);
}

// The command line libfuse parses, freed once.
class Arguments {
public:
    Arguments() { add("qzb"); }
    Arguments(const Arguments&) = delete;
    Arguments& operator=(const Arguments&) = delete;
    ~Arguments() { fuse_opt_free_args(&args_); }

    void add(const std::string& argument) {
        if (fuse_opt_add_arg(&args_, argument.c_str()) != 0) {
            throw std::bad_alloc();
        }
    }
    fuse_args* get() { return &args_; }

private:
    fuse_args args_ = FUSE_ARGS_INIT(0, nullptr);
};

// The option string of the mount's name, with libfuse's escapes; freed once.
std::string escapedOption(const std::string& option) {
    char* text = nullptr;
    if (fuse_opt_add_opt_escaped(&text, option.c_str()) != 0) {
        throw std::bad_alloc();
    }
    std::string result(text);
    std::free(text);
    return result;
}

// A file system made by fuse_new, unmounted (when it was mounted) and destroyed once.
class FileSystem {
public:
    explicit FileSystem(struct fuse* fuse) : fuse_(fuse) {}
    FileSystem(const FileSystem&) = delete;
    FileSystem& operator=(const FileSystem&) = delete;
    ~FileSystem() {
        if (signalsHandled_) {
            fuse_remove_signal_handlers(fuse_get_session(fuse_));
        }
        if (mounted_) {
            fuse_unmount(fuse_);
        }
        fuse_destroy(fuse_);
    }

    [[nodiscard]] bool mount(const std::string& mountPoint) {
        mounted_ = fuse_mount(fuse_, mountPoint.c_str()) == 0;
        return mounted_;
    }
    [[nodiscard]] bool handleSignals() {
        signalsHandled_ = fuse_set_signal_handlers(fuse_get_session(fuse_)) == 0;
        return signalsHandled_;
    }
    struct fuse* get() const {
        return fuse_;
    }

private:
    struct fuse* fuse_;
    bool mounted_ = false;
    bool signalsHandled_ = false;
};

void checkMountPoint(const std::string& mountPoint) {
    std::error_code error;
    const std::filesystem::path path = platform::argumentPath(mountPoint);
    const std::filesystem::file_status status = std::filesystem::status(path, error);
    if (error) {
        throw RunError(mountPoint + ": cannot use it as the mount point", error);
    }
    if (!std::filesystem::is_directory(status)) {
        throw RunError(mountPoint + ": the mount point is not a directory");
    }
    // Files below it would be hidden while mounted, and found again after.
    if (std::filesystem::directory_iterator(path, error) != std::filesystem::directory_iterator()) {
        throw RunError(mountPoint + ": the mount point is not empty");
    }
    if (error) {
        throw RunError(mountPoint + ": cannot list the mount point", error);
    }
}

mode_t currentUmask() {
    const mode_t mask = umask(0);
    umask(mask);
    return mask;
}

} // namespace

bool mountBuilt() {
    return true;
}

std::string absentReason() {
    return {};
}

int serve(const Archive& archive, const Settings& settings) {
    checkMountPoint(settings.mountPoint);
    struct stat archiveStatus;
    if (::stat(settings.archivePath.c_str(), &archiveStatus) != 0) {
        throw RunError(settings.archivePath + ": cannot read its time",
                       std::error_code(errno, std::generic_category()));
    }
    const Tree tree(archive.entryCount(), settings.fileName, platform::nameRules,
                    [&](std::size_t index, LeftOut why) {
                        settings.warn(settings.shownName(index) +
                                      (why == LeftOut::Refused
                                           ? ": left out: the name is refused (empty, absolute, "
                                             "with a \"..\" element, or not stored as given)\n"
                                           : ": left out: other entries need a directory at its "
                                             "path\n"));
                    });
    std::uint64_t storedBytes = 0;
    for (const std::uint32_t size : archive.blockSizes()) {
        storedBytes += size;
    }
    const mode_t mask = currentUmask();
    Served served{archive,
                  settings,
                  tree,
                  nullptr,
                  getuid(),
                  getgid(),
                  0444 & ~mask,
                  0555 & ~mask,
                  archiveStatus.st_mtim,
                  storedBytes,
                  {}};

    fuse_set_log_func(logLine);
    Arguments arguments;
    arguments.add("-o");
    arguments.add("ro,default_permissions,subtype=qzb," +
                  escapedOption("fsname=" + settings.archivePath));
    for (const std::string& option : settings.fuseOptions) {
        arguments.add("-o");
        arguments.add(option);
    }
    const struct fuse_operations ops = operations();
    struct fuse* fuse = fuse_new(arguments.get(), &ops, sizeof ops, &served);
    if (fuse == nullptr) {
        throw RunError(settings.mountPoint + ": FUSE refused to set up the mount");
    }
    FileSystem fileSystem(fuse);
    if (!fileSystem.mount(settings.mountPoint)) {
        throw RunError(settings.mountPoint + ": cannot mount there");
    }
    if (!fileSystem.handleSignals()) {
        throw RunError(settings.mountPoint + ": cannot handle the signals that unmount");
    }
    // Threads start only in the process that serves.
    if (fuse_daemonize(settings.foreground ? 1 : 0) != 0) {
        throw RunError(settings.mountPoint + ": cannot go to the background");
    }
    served.cache = std::make_unique<BlockCache>(
        archive, settings.cacheSize, std::min(platform::usableProcessors(), MaxInflateThreads));
    // A signal that unmounts is answered as its number: a clean end too.
    return fuse_loop_mt(fileSystem.get(), 0) >= 0 ? 0 : 1;
}

} // namespace qzb::mount
