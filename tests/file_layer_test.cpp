// The file layer in a scratch directory that is the working directory for the time of each test.
// Every case runs in every form of new file the system can make, the refusals a system may answer
// included, so that each fallback is a tested path.
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/file_layer.h"
#include "testkit/scratch_files.h"

#ifndef _WIN32
#include <csignal>
#include <fcntl.h>
#include <grp.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace {

namespace fs = std::filesystem;
using qzb::files::Directory;
using qzb::files::NewFile;
using qzb::files::NewFileForm;
using qzb::files::PathKind;
using qzb::test::readFile;
using qzb::test::writeFile;
using Commit = NewFile::Commit;

#ifdef _WIN32
// A file without a name is always named by its handle on Windows.
const std::vector<NewFileForm> Forms = {NewFileForm::Usual, NewFileForm::Named,
                                        NewFileForm::NamedLocksRefused,
                                        NewFileForm::NamedRenameRefused};
#else
const std::vector<NewFileForm> Forms = {NewFileForm::Usual,
                                        NewFileForm::LinkDescriptor,
                                        NewFileForm::LinkProcPath,
                                        NewFileForm::LinkRefused,
                                        NewFileForm::Named,
                                        NewFileForm::NamedLocksRefused,
                                        NewFileForm::NamedRenameRefused};
#endif

class FileLayerTest : public ::testing::Test {
protected:
    void SetUp() override {
        previous_ = fs::current_path();
        scratch_ = qzb::test::scratchDirectory(
            std::string("files-") +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(scratch_);
        fs::create_directories(scratch_ / "target");
        fs::current_path(scratch_ / "target");
    }
    void TearDown() override {
        fs::current_path(previous_);
        fs::remove_all(scratch_);
    }

    // The names in the target directory.
    std::set<std::string> names() const {
        std::set<std::string> result;
        for (const auto& item : fs::directory_iterator(scratch_ / "target")) {
            result.insert(item.path().filename().string());
        }
        return result;
    }

    void clear() const {
        for (const std::string& name : names()) {
            fs::remove_all(name);
        }
    }

    static Commit write(const Directory& directory, const std::string& name,
                        const std::string& content, bool replace) {
        NewFile file(directory, buffer_.data(), buffer_.size());
        EXPECT_NE(file.stream(), nullptr);
        std::fwrite(content.data(), 1, content.size(), file.stream());
        return file.commit(name, replace);
    }

    fs::path scratch_;
    fs::path previous_;
    static inline std::vector<char> buffer_ = std::vector<char>(4096);
};

TEST_F(FileLayerTest, NewFilesAreNamedWhenCompleteAndReplaceOnlyWhenAsked) {
    for (const NewFileForm form : Forms) {
        SCOPED_TRACE(static_cast<int>(form));
        clear();
        const Directory target = Directory::openTarget(form);
        ASSERT_TRUE(target);

        EXPECT_EQ(write(target, "new", "content", false), Commit::Done);
        {
            // Discarded: nothing stays.
            NewFile dropped(target, buffer_.data(), buffer_.size());
            std::fputs("partial", dropped.stream());
        }
        // Something stands at the name by the time the file is complete: it stays.
        writeFile("taken", "mine");
        EXPECT_EQ(write(target, "taken", "theirs", false), Commit::Exists);
        EXPECT_EQ(readFile("taken"), "mine");
        EXPECT_EQ(names(), (std::set<std::string>{"new", "taken"}));

#ifndef _WIN32
        // Run as root, the owner of the replaced file can be kept too; its set-user-ID bit is
        // not carried onto the archive's content.
        ASSERT_EQ(::chmod("taken", 04600), 0);
        const uid_t owner = ::geteuid() == 0 ? 65534 : ::geteuid();
        ASSERT_EQ(::chown("taken", owner, static_cast<gid_t>(-1)), 0);
        ASSERT_EQ(::chmod("taken", 04600), 0);
#endif
        EXPECT_EQ(write(target, "taken", "replaced", true), Commit::Done);
        EXPECT_EQ(readFile("taken"), "replaced");
        EXPECT_EQ(write(target, "fresh", "x", true), Commit::Done);
        EXPECT_EQ(write(target, "after", "y", false), Commit::Done);
        EXPECT_EQ(names(), (std::set<std::string>{"new", "taken", "fresh", "after"}));
        EXPECT_EQ(readFile("new"), "content");
#ifndef _WIN32
        struct stat info {};
        ASSERT_EQ(::stat("taken", &info), 0);
        EXPECT_EQ(info.st_mode & 07777, 0600u);
        EXPECT_EQ(info.st_uid, owner);
#endif
    }
}

// Hidden names are predictable: whatever another user put at them is passed over, never used
// or removed, whether the file is replacing or new.
TEST_F(FileLayerTest, TakenHiddenNamesArePassedOver) {
    const std::string hidden = ".qzb-unpack-" + std::to_string(qzb::platform::processId()) + "-";
    for (const NewFileForm form : Forms) {
        SCOPED_TRACE(static_cast<int>(form));
        clear();
        std::set<std::string> planted;
        for (int n = 0; n < 12; ++n) {
            const std::string name = hidden + std::to_string(n) + ".part";
            if (n % 2 == 0) {
                fs::create_directory(name);
            } else {
                writeFile(name, "theirs");
            }
            planted.insert(name);
        }
        writeFile("taken", "mine");
        const Directory target = Directory::openTarget(form);
        EXPECT_EQ(write(target, "taken", "replaced", true), Commit::Done);
        EXPECT_EQ(write(target, "new", "x", false), Commit::Done);
        EXPECT_EQ(readFile("taken"), "replaced");
        std::set<std::string> expected = planted;
        expected.insert({"taken", "new"});
        EXPECT_EQ(names(), expected);
        EXPECT_EQ(readFile(hidden + "1.part"), "theirs");
    }
}

#ifndef _WIN32
// A process that dies while it writes: before its first write is done, or past it.
pid_t writerKilledMidway(NewFileForm form) {
    const pid_t child = ::fork();
    if (child == 0) {
        const Directory target = Directory::openTarget(form);
        std::vector<char> buffer(16);
        NewFile file(target, buffer.data(), buffer.size());
        std::fputs("more than the buffer holds", file.stream());
        std::fflush(file.stream());
        ::raise(SIGKILL);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return child;
}

// A run killed mid-entry leaves nothing, or a hidden file that the next run removes; a file of
// the user's that merely looks like one stays, as does a live writer's, whatever its form.
TEST_F(FileLayerTest, KilledWritersLeaveNothingTheNextRunKeeps) {
    for (const NewFileForm form : Forms) {
        SCOPED_TRACE(static_cast<int>(form));
        clear();
        const std::string dead = std::to_string(writerKilledMidway(form));
        const std::set<std::string> kept = {
            ".qzb-unpack-notes.part", ".qzb-unpack-1-0.part", ".qzb-unpack-0" + dead + "-0.part",
            ".qzb-unpack-" + dead + "-7.part.txt", ".qzb-unpack-" + dead + "-8.part"};
        for (const std::string& name : kept) {
            writeFile(name, "mine");
        }
        // Another's file at the form of a dead writer, behind a link, or not a file at all.
        writeFile(scratch_ / "elsewhere", "theirs");
        fs::create_symlink(scratch_ / "elsewhere", ".qzb-unpack-" + dead + "-9.part");
        ASSERT_EQ(::mkfifo((".qzb-unpack-" + dead + "-10.part").c_str(), 0600), 0);
        // Locked by a live holder.
        const int holder = ::open((".qzb-unpack-" + dead + "-8.part").c_str(), O_RDONLY);
        ASSERT_EQ(::flock(holder, LOCK_EX), 0);
        // Read-only, as a dead run's file may be after a chmod.
        writeFile(".qzb-unpack-" + dead + "-11.part", "stale");
        ASSERT_EQ(::chmod((".qzb-unpack-" + dead + "-11.part").c_str(), 0444), 0);

        const Directory target = Directory::openTarget(form);
        NewFile live(target, buffer_.data(), buffer_.size());
        target.removeLeftovers();
        ::close(holder);
        EXPECT_EQ(live.commit("done", false), Commit::Done);

        std::set<std::string> expected = kept;
        expected.insert(
            {".qzb-unpack-" + dead + "-9.part", ".qzb-unpack-" + dead + "-10.part", "done"});
        EXPECT_EQ(names(), expected);
        EXPECT_EQ(readFile(scratch_ / "elsewhere"), "theirs");
    }
}

// A target that may be searched and written but not listed, as a drop box, by a user who may not
// link a file through its descriptor on every kernel.
TEST_F(FileLayerTest, DropBoxTargetWorksForAnOrdinaryUser) {
    fs::current_path(scratch_);
    ASSERT_EQ(::chmod("target", 0333), 0);
    for (const NewFileForm form : Forms) {
        SCOPED_TRACE(static_cast<int>(form));
        const pid_t child = ::fork();
        if (child == 0) {
            if (::geteuid() == 0 &&
                (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0)) {
                ::_exit(2);
            }
            bool made = false;
            const bool ok = ::chdir("target") == 0 && [&] {
                const Directory target = Directory::openTarget(form);
                const Directory sub = target ? target.reach("sub", made) : Directory();
                return sub && write(sub, "f", "x", false) == Commit::Done &&
                       write(target, "g", "y", false) == Commit::Done;
            }();
            ::_exit(ok ? 0 : 1);
        }
        int status = 0;
        ::waitpid(child, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
        ::chmod("target", 0777);
        EXPECT_EQ(readFile("target/sub/f"), "x");
        EXPECT_EQ(readFile("target/g"), "y");
        fs::remove_all("target/sub");
        fs::remove("target/g");
        ::chmod("target", 0333);
    }
    ::chmod("target", 0777);
}
#endif

// Past any cap of a library call. On Windows the test's own clean-up cannot remove a path longer
// than 260 characters.
#ifdef _WIN32
constexpr int DeepLevels = 40;
#else
constexpr int DeepLevels = 1500;
#endif

TEST_F(FileLayerTest, DirectoriesAreMadeAsDeepAsTheFileSystemAllows) {
    const Directory target = Directory::openTarget();
    std::string deep = "d";
    for (int level = 1; level < DeepLevels; ++level) {
        deep += "/d";
    }
    bool made = false;
    const Directory bottom = target.reach(deep, made);
    ASSERT_TRUE(bottom);
    EXPECT_TRUE(made);
    EXPECT_EQ(write(bottom, "f", "deep", false), Commit::Done);
    EXPECT_EQ(bottom.kind("f"), PathKind::Other);
    EXPECT_TRUE(target.reach(deep, made));
    EXPECT_FALSE(made);
    EXPECT_EQ(target.kind("d"), PathKind::Directory);
    EXPECT_EQ(target.kind("missing"), PathKind::Missing);
    EXPECT_EQ(target.reach(".", made).identity(), target.identity());
    EXPECT_FALSE(Directory().identity());
}

// A link in a directory element is never followed, whether it points inside the target or out.
TEST_F(FileLayerTest, LinksAndFilesInDirectoryElementsAreRefused) {
#ifdef _WIN32
    GTEST_SKIP() << "symbolic links need a privilege on Windows";
#endif
    fs::create_directories("real/sub");
    fs::create_directories(scratch_ / "outside");
    fs::create_directory_symlink("real", "inside");
    fs::create_directory_symlink(scratch_ / "outside", "out");
    fs::create_directory_symlink("../real", "real/up");
    fs::create_symlink("nowhere", "dangling");
    writeFile("file", "");
    const Directory target = Directory::openTarget();
    for (const std::string path :
         {"inside", "inside/new", "out", "out/new", "real/up/sub", "dangling/x", "file/x"}) {
        bool made = true;
        EXPECT_FALSE(target.reach(path, made)) << path;
        EXPECT_FALSE(made) << path;
    }
    EXPECT_TRUE(fs::is_empty(scratch_ / "outside"));
    EXPECT_EQ(target.kind("dangling"), PathKind::Other);
    bool made = true;
    EXPECT_TRUE(target.reach("real/sub", made));
    EXPECT_FALSE(made);
}

} // namespace
