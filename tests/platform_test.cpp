// The platform layer's directory handles and new files, in a scratch directory that is the
// working directory for the time of each test.
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/platform.h"
#include "testkit/scratch_files.h"

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

namespace fs = std::filesystem;
using qzb::platform::Directory;
using qzb::platform::NewFile;
using qzb::platform::NewFileForm;
using qzb::platform::PathKind;
using qzb::test::readFile;
using qzb::test::writeFile;
using Commit = NewFile::Commit;

class PlatformTest : public ::testing::Test {
protected:
    void SetUp() override {
        previous_ = fs::current_path();
        scratch_ = fs::temp_directory_path() /
                   ("qzb-platform-" +
                    std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
        fs::remove_all(scratch_);
        fs::create_directories(scratch_ / "target");
        fs::current_path(scratch_ / "target");
    }
    void TearDown() override {
        qzb::platform::forceNewFileForm(NewFileForm::Usual);
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

// Each case in every form of new file: without a name (named through the descriptor or through
// its path), and the hidden named one.
TEST_F(PlatformTest, NewFilesAreNamedWhenCompleteAndReplaceOnlyWhenAsked) {
    for (const NewFileForm form : {NewFileForm::Usual, NewFileForm::ProcPath, NewFileForm::Named}) {
        SCOPED_TRACE(static_cast<int>(form));
        for (const std::string& name : names()) {
            fs::remove_all(name);
        }
        qzb::platform::forceNewFileForm(form);
        const Directory target = Directory::working();
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

        fs::permissions("taken", fs::perms::owner_read | fs::perms::owner_write);
#ifndef _WIN32
        // Run as root, the owner of the replaced file can be kept too.
        const uid_t owner = ::geteuid() == 0 ? 65534 : ::geteuid();
        ASSERT_EQ(::chown("taken", owner, static_cast<gid_t>(-1)), 0);
#endif
        EXPECT_EQ(write(target, "taken", "replaced", true), Commit::Done);
        EXPECT_EQ(readFile("taken"), "replaced");
        EXPECT_EQ(write(target, "fresh", "x", true), Commit::Done);
        EXPECT_EQ(names(), (std::set<std::string>{"new", "taken", "fresh"}));
        EXPECT_EQ(readFile("new"), "content");
#ifndef _WIN32
        EXPECT_EQ(fs::status("taken").permissions(),
                  fs::perms::owner_read | fs::perms::owner_write);
        struct stat info {};
        ASSERT_EQ(::stat("taken", &info), 0);
        EXPECT_EQ(info.st_uid, owner);
#endif
    }
}

// A leftover whose writer is gone is removed; the hidden file of a live writer is not.
TEST_F(PlatformTest, LeftoversOfDeadRunsAreRemoved) {
    qzb::platform::forceNewFileForm(NewFileForm::Named);
    const Directory target = Directory::working();
    writeFile(".qzb-unpack-1-0.part", "left by a killed run");
    writeFile("keep.part", "mine");
    NewFile live(target, buffer_.data(), buffer_.size());
    ASSERT_NE(live.stream(), nullptr);
    ASSERT_EQ(names().size(), 3u);

    target.removeLeftovers();
    const std::set<std::string> remaining = names();
    EXPECT_EQ(remaining.count(".qzb-unpack-1-0.part"), 0u);
    EXPECT_EQ(remaining.count("keep.part"), 1u);
    EXPECT_EQ(remaining.size(), 2u);
    EXPECT_EQ(live.commit("done", false), Commit::Done);
    EXPECT_EQ(names(), (std::set<std::string>{"keep.part", "done"}));
}

// Past any cap of a library call. On Windows the test's own clean-up cannot remove a path longer
// than 260 characters.
#ifdef _WIN32
constexpr int DeepLevels = 40;
#else
constexpr int DeepLevels = 1500;
#endif

TEST_F(PlatformTest, DirectoriesAreMadeAsDeepAsTheFileSystemAllows) {
    const Directory target = Directory::working();
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
}

// A link in a directory element is never followed, whether it points inside the target or out.
TEST_F(PlatformTest, LinksAndFilesInDirectoryElementsAreRefused) {
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
    const Directory target = Directory::working();
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
