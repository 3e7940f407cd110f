// Whole runs on the file system QZB_TEST_FILESYSTEM names (scripts/filesystems-check mounts each
// kind there), else in the usual scratch place. Only what holds on every file system, FAT and
// exFAT included: no links, no permission bits, no names that differ only in case.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <stdexcept>
#include <thread>

#ifndef _WIN32
#include <cerrno>
#include <csignal>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

#include "platform/unique_descriptor.h"
#endif

#include "testkit/hostile_archives.h"
#include "tests/support/unpack_fixture.h"

namespace qzb::test {
namespace {

namespace fs = std::filesystem;
using Tree = std::map<std::string, std::string>;

const std::string WriteFailed = "  ERROR: Failed to write the destination file\n";

// Several directories, a separator of each kind, an entry of several blocks of each storage and
// an empty one.
const std::vector<FileSpec> Entries = {
    {"readme.txt", "read me"},
    {"docs/guide/book.txt", compressibleText(150000), BlockMode::Zlib},
    {"docs/guide/empty.txt", ""},
    {"data\\noise.bin", incompressibleBytes(70000, 1), BlockMode::Raw},
    {"data/deep/er/tiny.bin", "abc"},
};

std::string progressLine(std::size_t position, std::size_t count, const std::string& name) {
    const std::string number = std::to_string(position);
    return std::string(10 - number.size(), ' ') + number + " / " + std::to_string(count) + ": " +
           name + "\n";
}

// The loop's lines of a run that reaches every entry.
std::string linesOf(const std::vector<FileSpec>& files) {
    std::string lines = Opening;
    for (std::size_t i = 0; i < files.size(); ++i) {
        lines += progressLine(i + 1, files.size(), files[i].name);
    }
    return lines;
}

std::string loopPart(const std::string& out) {
    const std::size_t start = out.find(Opening);
    return start == std::string::npos ? out : out.substr(start);
}

// What `files` make below the target: each file and every directory on its way.
Tree treeOfFiles(const std::vector<FileSpec>& files) {
    Tree tree;
    for (const FileSpec& file : files) {
        std::string path = file.name;
        std::replace(path.begin(), path.end(), '\\', '/');
        tree[path] = file.content;
        for (std::size_t slash = path.find('/'); slash != std::string::npos;
             slash = path.find('/', slash + 1)) {
            tree[path.substr(0, slash)] = "<dir>";
        }
    }
    return tree;
}

// Each path whose content differs, by size, so that megabytes of content stay out of the log;
// empty when the trees are equal.
std::string differences(const Tree& got, const Tree& want) {
    std::string text;
    const auto describe = [](const Tree& tree, const std::string& path) {
        const auto found = tree.find(path);
        return found == tree.end()        ? std::string("nothing")
               : found->second == "<dir>" ? found->second
                                          : std::to_string(found->second.size()) + " bytes";
    };
    Tree all = got;
    all.insert(want.begin(), want.end());
    for (const auto& item : all) {
        const std::string& path = item.first;
        const auto a = got.find(path);
        const auto b = want.find(path);
        if (a == got.end() || b == want.end() || a->second != b->second) {
            text +=
                path + ": " + describe(got, path) + " instead of " + describe(want, path) + "\n";
        }
    }
    return text;
}

class FileSystemRun : public UnpackTest {
protected:
    fs::path scratchPlace() const override {
        const char* place = std::getenv("QZB_TEST_FILESYSTEM");
        return place != nullptr ? fs::path(place) : UnpackTest::scratchPlace();
    }

    ProcessResult unpackArchive(std::vector<std::string> options = {},
                                ProcessOptions processOptions = {}) const {
        std::vector<std::string> arguments = {"a.qzb", "out"};
        arguments.insert(arguments.end(), options.begin(), options.end());
        return unpack(arguments, processOptions);
    }
};

TEST_F(FileSystemRun, FreshRunExtractsEveryEntry) {
    writeArchive(buildArchive(Entries));
    const ProcessResult result = unpackArchive();
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(result.err, "");
    const std::string report = afterBanner(result.out);
    EXPECT_EQ(report.rfind(reportHead(), 0), 0u) << report;
    EXPECT_EQ(loopPart(report), linesOf(Entries) + Done);
    EXPECT_EQ(differences(treeOf(target()), treeOfFiles(Entries)), "");
}

// A rerun reports what the first run did; without /o it keeps a file the user changed, with /o
// it puts the archive's content back.
TEST_F(FileSystemRun, RerunKeepsAChangedFileUnlessOverwriting) {
    writeArchive(buildArchive(Entries));
    const ProcessResult first = unpackArchive();
    ASSERT_EQ(first.exitCode, 0) << first.err;
    const struct {
        std::vector<std::string> options;
        bool replaces;
    } reruns[] = {{{}, false}, {{"/o"}, true}};
    const fs::path changed = target() / "docs" / "guide" / "book.txt";
    for (const auto& rerun : reruns) {
        // Removed and written anew: fusefat does not truncate a file that is opened to be.
        fs::remove(changed);
        writeFile(changed, "mine");
        const ProcessResult result = unpackArchive(rerun.options);
        EXPECT_EQ(result.exitCode, 0) << result.err;
        EXPECT_EQ(afterBanner(result.out), afterBanner(first.out));
        Tree expected = treeOfFiles(Entries);
        if (!rerun.replaces) {
            expected["docs/guide/book.txt"] = "mine";
        }
        EXPECT_EQ(differences(treeOf(target()), expected), "") << rerun.replaces;
    }
}

#ifndef _WIN32

bool isHidden(const std::string& path) {
    const std::string name = fs::path(path).filename().string();
    return name.starts_with(".qzb-unpack-") && name.ends_with(".part");
}

// A run killed while it writes a large entry leaves no name on a partial file; the next run
// removes the hidden file the killed one left and completes the tree.
TEST_F(FileSystemRun, KilledRunLeavesNoPartialFileAndRerunCompletes) {
    if (!terminalsAvailable()) {
        GTEST_SKIP() << "no pseudo-terminal, where each progress line arrives as written";
    }
    std::vector<FileSpec> files = {{"first", "1"}};
    for (const std::string name : {"big/a", "big/b", "big/c", "big/d"}) {
        files.push_back({name, compressibleText(std::size_t{6} << 20, name), BlockMode::Zlib});
    }
    writeArchive(buildArchive(files));
    ProcessOptions options;
    options.output = StandardOutput::Terminal;
    // Killed while big/b is written: once its line is out and a megabyte of it takes space, or
    // soon after its line where the file system counts space only when it writes back (big/c
    // and big/d take longer than that).
    options.killWhen = [&](const std::string& out) {
        if (out.find(progressLine(3, files.size(), "big/b")) == std::string::npos) {
            return false;
        }
        const std::uintmax_t before = fs::space(root()).available;
        for (int look = 0; look < 25 && fs::space(root()).available + (1 << 20) > before; ++look) {
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        return true;
    };
    const ProcessResult killed = unpackArchive({}, options);
    ASSERT_EQ(killed.termSignal, SIGKILL) << killed.out << killed.err;

    const Tree complete = treeOfFiles(files);
    Tree named;
    for (const auto& [path, content] : treeOf(target())) {
        if (!isHidden(path)) {
            named[path] = content;
        }
    }
    for (const auto& [path, content] : named) {
        EXPECT_TRUE(complete.contains(path) && complete.at(path) == content)
            << path << " holds " << content.size() << " bytes";
    }
    EXPECT_NE(named.size(), complete.size()) << "the run finished before it was killed";

    const ProcessResult rerun = unpackArchive();
    EXPECT_EQ(rerun.exitCode, 0) << rerun.err;
    EXPECT_EQ(differences(treeOf(target()), complete), "");
}

// Takes every block the file system has left while it lives, but for `spare` bytes.
class Filler {
public:
    Filler(const fs::path& path, std::size_t spare) : path_(path) {
        const fs::path sparePath = path.string() + ".spare";
        writeFile(sparePath, std::string(spare, 's'));
        syncFile(sparePath);
        UniqueDescriptor file(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
        if (file.get() < 0) {
            throw std::runtime_error("cannot create " + path.string());
        }
        // Most of it at once where the file system allocates without writing; the rest written
        // until the file system refuses, in ever smaller pieces.
        const std::uintmax_t available = fs::space(path.parent_path()).available;
        if (available > (std::uintmax_t{1} << 20)) {
            ::posix_fallocate(file.get(), 0, static_cast<off_t>(available - (1 << 20)));
        }
        ::lseek(file.get(), 0, SEEK_END);
        const std::string zeros(std::size_t{1} << 20, '\0');
        for (std::size_t piece = zeros.size(); piece > 0; piece /= 16) {
            while (::write(file.get(), zeros.data(), piece) > 0) {
            }
            // fusefat answers EPERM when it has no cluster left.
            const int error = errno;
            if (error != ENOSPC && fs::space(path.parent_path()).available != 0) {
                throw std::runtime_error("cannot fill " + path.string() + ": " +
                                         std::strerror(error));
            }
        }
        ::fsync(file.get());
        fs::remove(sparePath);
        ::sync();
    }
    Filler(const Filler&) = delete;
    Filler& operator=(const Filler&) = delete;
    ~Filler() {
        std::error_code ignored;
        fs::remove(path_, ignored);
        ::sync();
    }

private:
    static void syncFile(const fs::path& path) {
        UniqueDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
        ::fsync(file.get());
    }

    fs::path path_;
};

// On a full file system the entry that does not fit fails the run and leaves neither its name
// nor a hidden file; once there is room, a rerun completes the tree.
TEST_F(FileSystemRun, FullDiskFailsTheEntryThatDoesNotFitAndRerunCompletes) {
    if (std::getenv("QZB_TEST_FILESYSTEM") == nullptr) {
        GTEST_SKIP() << "fills the file system: only where QZB_TEST_FILESYSTEM names one";
    }
    const std::vector<FileSpec> files = {
        {"small", "fits"},
        {"large", compressibleText(std::size_t{4} << 20), BlockMode::Zlib},
        {"after", "x"},
    };
    writeArchive(buildArchive(files));
    // Made first: a full FAT has no cluster left for a directory.
    fs::create_directories(target());
    // Room for the small entry and to make a file, not for the large one's blocks: it is the
    // write that fails.
    // qzb says why.
    ProcessResult failed;
    ProcessResult qzb;
    {
        const Filler filler(root() / "filler", 256 << 10);
        failed = unpackArchive();
        ProcessOptions options;
        options.workingDirectory = root();
        qzb = runProcess(QZB_CLI_EXE, {"extract", "a.qzb", "out"}, options);
    }
    EXPECT_EQ(failed.exitCode, 1);
    EXPECT_EQ(failed.err, WriteFailed);
    EXPECT_EQ(loopPart(failed.out),
              Opening + progressLine(1, 3, "small") + progressLine(2, 3, "large"));
    // The reason is the file system's own: FAT through FUSE answers EPERM, not ENOSPC.
    const std::string failedWrite = "qzb: large: failed to write the destination file: ";
    EXPECT_EQ(qzb.exitCode, 1);
    EXPECT_TRUE(qzb.err.starts_with(failedWrite) && qzb.err.size() > failedWrite.size() + 1 &&
                qzb.err.ends_with("\n"))
        << qzb.err;
    EXPECT_EQ(differences(treeOf(target()), {{"small", "fits"}}), "");

    const ProcessResult rerun = unpackArchive();
    EXPECT_EQ(rerun.exitCode, 0) << rerun.err;
    EXPECT_EQ(differences(treeOf(target()), treeOfFiles(files)), "");
}

// Room for the blocks before a corrupt one, not for those the workers write past it: the entry
// fails for the corrupt block, as on one thread, not for a write.
TEST_F(FileSystemRun, FullDiskBehindACorruptBlockFailsForTheBlock) {
    if (std::getenv("QZB_TEST_FILESYSTEM") == nullptr) {
        GTEST_SKIP() << "fills the file system: only where QZB_TEST_FILESYSTEM names one";
    }
    ArchiveImage image =
        makeArchive({{"large", compressibleText(std::size_t{4} << 20), BlockMode::Zlib}});
    const StoredBlock corrupt = storedBlocks(image)[0][40];
    image.data[corrupt.offset + corrupt.stored / 2 - image.tocSize] ^= 0x55;
    writeArchive(image.serialize());
    fs::create_directories(target());
    ProcessResult failed;
    {
        const Filler filler(root() / "filler", (40 << 16) + (96 << 10));
        failed = unpackArchive();
    }
    EXPECT_EQ(failed.exitCode, 1);
    EXPECT_EQ(failed.err, "  ERROR: The archive is invalid or corrupted\n");
    EXPECT_EQ(differences(treeOf(target()), {}), "");
}
#endif

} // namespace
} // namespace qzb::test
