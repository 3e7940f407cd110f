// The file layer in a scratch target directory. Every case runs in every form of new file the
// system can make, the refusals a system may answer included, so that each fallback is a tested
// path.
#include <algorithm>
#include <filesystem>
#include <set>
#include <string>
#include <system_error>
#include <vector>

#include <gtest/gtest.h>

#include "app/file_layer.h"
#include "archive/format.h"
#include "testkit/scratch_files.h"

#ifndef _WIN32
#include <csignal>
#include <fcntl.h>
#include <grp.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace {

namespace fs = std::filesystem;
using qzb::files::Directory;
using qzb::files::NamingCalls;
using qzb::files::NewFile;
using qzb::files::PathKind;
using qzb::platform::Abilities;
using qzb::platform::LinkVia;
using qzb::platform::Node;
using qzb::test::readFile;
using qzb::test::writeFile;
using Outcome = NewFile::Outcome;

// The refusals of a file system without locks, or of a process that may not link a descriptor
// or rename without replacing.
std::error_code lockRefused(const Node&) {
    return std::make_error_code(std::errc::no_lock_available);
}
#ifndef _WIN32
std::error_code nameRefused(const Node&, const Node&, const std::string&, LinkVia, bool) {
    return std::make_error_code(std::errc::operation_not_permitted);
}
#endif
std::error_code renameRefused(const Node&, const std::string&, const std::string&) {
    return std::make_error_code(std::errc::operation_not_permitted);
}

// A drive that tells names apart regardless of letter case: a name taken in any case is taken.
bool takenInAnyCase(const Node& directory, const std::string& name) {
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
    std::error_code error;
    for (const std::string& other : qzb::platform::listNames(directory, "", "", error)) {
        if (std::equal(other.begin(), other.end(), name.begin(), name.end(),
                       [&](char a, char b) { return lower(a) == lower(b); })) {
            return true;
        }
    }
    return false;
}
#ifndef _WIN32
std::error_code nameCaseless(const Node& file, const Node& directory, const std::string& name,
                             LinkVia via, bool replace) {
    return !replace && takenInAnyCase(directory, name)
               ? std::make_error_code(std::errc::file_exists)
               : qzb::platform::nameUnnamed(file, directory, name, via, replace);
}
#endif
std::error_code renameCaseless(const Node& directory, const std::string& from,
                               const std::string& to) {
    return takenInAnyCase(directory, to) ? std::make_error_code(std::errc::file_exists)
                                         : qzb::platform::renameNoReplace(directory, from, to);
}

// A way of making new files: what the system is taken to offer, and the calls that name them.
struct Form {
    const char* name;
    Abilities abilities;
    NamingCalls calls;
    bool caseless = false;
};

std::vector<Form> forms() {
    const Abilities usual = qzb::platform::systemAbilities();
    Abilities named = usual;
    named.unnamedFiles = false;
    named.locks = true;
    std::vector<Form> result = {
        {"usual", usual, {}},
        {"named", named, {}},
        {"named, locks refused", named, {.lock = lockRefused}},
        {"named, renames refused", named, {.renameNoReplace = renameRefused}},
        {"named, letter case ignored", named, {.renameNoReplace = renameCaseless}, true},
    };
#ifndef _WIN32
    // A file without a name is always named by its handle on Windows.
    Abilities descriptor = usual;
    descriptor.linkVia = LinkVia::Descriptor;
    Abilities procPath = usual;
    procPath.linkVia = LinkVia::ProcPath;
    result.push_back({"linked by descriptor", descriptor, {}});
    result.push_back({"linked by /proc path", procPath, {}});
    result.push_back({"every link refused", descriptor, {.name = nameRefused}});
    result.push_back({"letter case ignored",
                      usual,
                      {.name = nameCaseless, .renameNoReplace = renameCaseless},
                      true});
#endif
    return result;
}
const std::vector<Form> Forms = forms();

class FileLayerTest : public ::testing::Test {
protected:
    void SetUp() override {
        scratch_ = qzb::test::scratchDirectory(
            std::string("files-") +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(scratch_);
        fs::create_directories(target());
    }
    void TearDown() override { fs::remove_all(scratch_); }

    fs::path target() const { return scratch_ / "target"; }
    fs::path at(const std::string& name) const { return target() / name; }

    Directory open(const Form& form) const {
        return Directory::openTarget(target(), form.abilities, form.calls);
    }

    // The names in the target directory.
    std::set<std::string> names() const {
        std::set<std::string> result;
        for (const auto& item : fs::directory_iterator(target())) {
            result.insert(item.path().filename().string());
        }
        return result;
    }

    void clear() const {
        for (const std::string& name : names()) {
            fs::remove_all(at(name));
        }
    }

    static void put(NewFile& file, const std::string& content) {
        EXPECT_FALSE(
            file.write(reinterpret_cast<const unsigned char*>(content.data()), content.size()));
    }

    static Outcome write(const Directory& directory, const std::string& name,
                         const std::string& content, bool replace) {
        NewFile file(directory);
        EXPECT_TRUE(file) << file.error().message();
        put(file, content);
        return file.commit(name, replace).outcome;
    }

    fs::path scratch_;
};

TEST_F(FileLayerTest, NewFilesAreNamedWhenCompleteAndReplaceOnlyWhenAsked) {
    for (const Form& form : Forms) {
        SCOPED_TRACE(form.name);
        clear();
        const Directory target = open(form);
        ASSERT_TRUE(target);

        EXPECT_EQ(write(target, "new", "content", false), Outcome::Done);
        {
            // Discarded: nothing stays.
            NewFile dropped(target);
            put(dropped, "partial");
        }
        // Something stands at the name by the time the file is complete: it stays.
        writeFile(at("taken"), "mine");
        EXPECT_EQ(write(target, "taken", "theirs", false), Outcome::Exists);
        EXPECT_EQ(readFile(at("taken")), "mine");
        EXPECT_EQ(names(), (std::set<std::string>{"new", "taken"}));

#ifndef _WIN32
        // Run as root, the owner of the replaced file can be kept too; its set-user-ID bit is
        // not carried onto the archive's content.
        ASSERT_EQ(::chmod(at("taken").c_str(), 04600), 0);
        const uid_t owner = ::geteuid() == 0 ? 65534 : ::geteuid();
        ASSERT_EQ(::chown(at("taken").c_str(), owner, static_cast<gid_t>(-1)), 0);
        ASSERT_EQ(::chmod(at("taken").c_str(), 04600), 0);
#endif
        EXPECT_EQ(write(target, "taken", "replaced", true), Outcome::Done);
        EXPECT_EQ(readFile(at("taken")), "replaced");
        EXPECT_EQ(write(target, "fresh", "x", true), Outcome::Done);
        EXPECT_EQ(write(target, "after", "y", false), Outcome::Done);
        EXPECT_EQ(names(), (std::set<std::string>{"new", "taken", "fresh", "after"}));
        EXPECT_EQ(readFile(at("new")), "content");
#ifndef _WIN32
        struct stat info {};
        ASSERT_EQ(::stat(at("taken").c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 07777, 0600u);
        EXPECT_EQ(info.st_uid, owner);
#endif
    }
}

// Whatever stands at a name, a file or a directory, the file takes the next free number, before
// the last extension and after the dots a name begins with; where letter case is ignored, a name
// taken in another case counts as taken.
TEST_F(FileLayerTest, NumberedFilesTakeTheFirstFreeName) {
    const struct {
        std::vector<std::string> files;
        std::vector<std::string> directories;
        const char* name;
        const char* given;
        bool caseless = false;
    } cases[] = {
        {{}, {}, "a.txt", "a.txt"},
        {{"a.txt"}, {}, "a.txt", "a (1).txt"},
        {{"a.txt"}, {"a (1).txt"}, "a.txt", "a (2).txt"},
        {{}, {"README", "README (1)"}, "README", "README (2)"},
        {{".bashrc"}, {}, ".bashrc", ".bashrc (1)"},
        {{"..x"}, {}, "..x", "..x (1)"},
        {{".a.b"}, {}, ".a.b", ".a (1).b"},
        {{"x.tar.gz"}, {}, "x.tar.gz", "x.tar (1).gz"},
        {{"Readme.TXT", "README (1).txt"}, {}, "readme.txt", "readme (2).txt", true},
    };
    for (const Form& form : Forms) {
        for (const auto& c : cases) {
            if (c.caseless && !form.caseless) {
                continue;
            }
            SCOPED_TRACE(std::string(form.name) + ": " + c.given);
            clear();
            std::set<std::string> expected = {c.given};
            for (const std::string& name : c.files) {
                writeFile(at(name), "mine");
                expected.insert(name);
            }
            for (const std::string& name : c.directories) {
                fs::create_directory(at(name));
                expected.insert(name);
            }
            const Directory target = open(form);
            NewFile file(target);
            put(file, "theirs");
            EXPECT_EQ(file.commitNumbered(c.name).outcome, Outcome::Done);
            EXPECT_EQ(names(), expected);
            EXPECT_EQ(readFile(at(c.given)), "theirs");
        }
    }
}

// Hidden names are predictable: whatever another user put at them is passed over, never used
// or removed, whether the file is replacing or new.
TEST_F(FileLayerTest, TakenHiddenNamesArePassedOver) {
    const std::string hidden = ".qzb-unpack-" + std::to_string(qzb::platform::processId()) + "-";
    for (const Form& form : Forms) {
        SCOPED_TRACE(form.name);
        clear();
        std::set<std::string> planted;
        for (int n = 0; n < 12; ++n) {
            const std::string name = hidden + std::to_string(n) + ".part";
            if (n % 2 == 0) {
                fs::create_directory(at(name));
            } else {
                writeFile(at(name), "theirs");
            }
            planted.insert(name);
        }
        writeFile(at("taken"), "mine");
        const Directory target = open(form);
        EXPECT_EQ(write(target, "taken", "replaced", true), Outcome::Done);
        EXPECT_EQ(write(target, "new", "x", false), Outcome::Done);
        EXPECT_EQ(readFile(at("taken")), "replaced");
        std::set<std::string> expected = planted;
        expected.insert({"taken", "new"});
        EXPECT_EQ(names(), expected);
        EXPECT_EQ(readFile(at(hidden + "1.part")), "theirs");
    }
}

#ifndef _WIN32
// A process that dies while it writes, past its first write.
pid_t writerKilledMidway(const fs::path& target, const Form& form) {
    const pid_t child = ::fork();
    if (child == 0) {
        const Directory directory = Directory::openTarget(target, form.abilities, form.calls);
        NewFile file(directory);
        const std::vector<unsigned char> block(qzb::BlockSize, 'x');
        static_cast<void>(file.write(block.data(), block.size()));
        ::raise(SIGKILL);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return child;
}

// A run killed mid-entry leaves nothing, or a hidden file that the next run removes; a file of
// the user's that merely looks like one stays, as does a live writer's, whatever its form.
TEST_F(FileLayerTest, KilledWritersLeaveNothingTheNextRunKeeps) {
    for (const Form& form : Forms) {
        SCOPED_TRACE(form.name);
        clear();
        const std::string dead = std::to_string(writerKilledMidway(target(), form));
        const std::set<std::string> kept = {
            ".qzb-unpack-notes.part", ".qzb-unpack-1-0.part", ".qzb-unpack-0" + dead + "-0.part",
            ".qzb-unpack-" + dead + "-7.part.txt", ".qzb-unpack-" + dead + "-8.part"};
        for (const std::string& name : kept) {
            writeFile(at(name), "mine");
        }
        // Another's file at the form of a dead writer, behind a link, or not a file at all.
        const std::string hidden = ".qzb-unpack-" + dead + "-";
        writeFile(scratch_ / "elsewhere", "theirs");
        fs::create_symlink(scratch_ / "elsewhere", at(hidden + "9.part"));
        ASSERT_EQ(::mkfifo(at(hidden + "10.part").c_str(), 0600), 0);
        // Locked by a live holder.
        const int holder = ::open(at(hidden + "8.part").c_str(), O_RDONLY);
        ASSERT_EQ(::flock(holder, LOCK_EX), 0);
        // Read-only, as a dead run's file may be after a chmod.
        writeFile(at(hidden + "11.part"), "stale");
        ASSERT_EQ(::chmod(at(hidden + "11.part").c_str(), 0444), 0);

        const Directory target = open(form);
        NewFile live(target);
        target.removeLeftovers();
        ::close(holder);
        EXPECT_EQ(live.commit("done", false).outcome, Outcome::Done);

        std::set<std::string> expected = kept;
        expected.insert({hidden + "9.part", hidden + "10.part", "done"});
        EXPECT_EQ(names(), expected);
        EXPECT_EQ(readFile(scratch_ / "elsewhere"), "theirs");
    }
}

// Too few descriptors to list the directory: the leftover stays, and the caller hears of it.
TEST_F(FileLayerTest, LeftoversNotLookedAtForWantOfDescriptorsAreTold) {
    const Directory target = open(Forms[0]);
    writeFile(at(".qzb-unpack-4194305-0.part"), "stale");
    const int lowestFree = ::dup(0);
    ::close(lowestFree);
    rlimit previous{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &previous), 0);
    const rlimit none{static_cast<rlim_t>(lowestFree), previous.rlim_max};
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &none), 0);
    const bool lookedAtAll = target.removeLeftovers();
    ::setrlimit(RLIMIT_NOFILE, &previous);
    EXPECT_FALSE(lookedAtAll);
    EXPECT_TRUE(fs::exists(at(".qzb-unpack-4194305-0.part")));
    EXPECT_TRUE(target.removeLeftovers());
    EXPECT_EQ(names(), std::set<std::string>());
}

// A target that may be searched and written but not listed, as a drop box, by a user who may not
// link a file through its descriptor on every kernel.
TEST_F(FileLayerTest, DropBoxTargetWorksForAnOrdinaryUser) {
    ASSERT_EQ(::chmod(target().c_str(), 0333), 0);
    for (const Form& form : Forms) {
        SCOPED_TRACE(form.name);
        const pid_t child = ::fork();
        if (child == 0) {
            if (::geteuid() == 0 &&
                (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0)) {
                ::_exit(2);
            }
            bool made = false;
            const Directory target = open(form);
            const Directory sub = target ? target.reach("sub", made) : Directory();
            const bool ok = sub && write(sub, "f", "x", false) == Outcome::Done &&
                            write(target, "g", "y", false) == Outcome::Done;
            ::_exit(ok ? 0 : 1);
        }
        int status = 0;
        ::waitpid(child, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
        ::chmod(target().c_str(), 0777);
        EXPECT_EQ(readFile(at("sub/f")), "x");
        EXPECT_EQ(readFile(at("g")), "y");
        fs::remove_all(at("sub"));
        fs::remove(at("g"));
        ::chmod(target().c_str(), 0333);
    }
    ::chmod(target().c_str(), 0777);
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
    const Directory target = Directory::openTarget(this->target());
    std::string deep = "d";
    for (int level = 1; level < DeepLevels; ++level) {
        deep += "/d";
    }
    bool made = false;
    const Directory bottom = target.reach(deep, made);
    ASSERT_TRUE(bottom);
    EXPECT_TRUE(made);
    EXPECT_EQ(write(bottom, "f", "deep", false), Outcome::Done);
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
    fs::create_directories(at("real/sub"));
    fs::create_directories(scratch_ / "outside");
    fs::create_directory_symlink("real", at("inside"));
    fs::create_directory_symlink(scratch_ / "outside", at("out"));
    fs::create_directory_symlink("../real", at("real/up"));
    fs::create_symlink("nowhere", at("dangling"));
    writeFile(at("file"), "");
    const Directory target = Directory::openTarget(this->target());
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
