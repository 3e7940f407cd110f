// The extraction loop end to end: its lines, skip and overwrite, directories, safe names, and
// what a failing entry leaves behind.
#include <gtest/gtest.h>

#include <cstring>
#include <iostream>
#include <random>
#include <utility>

#include <sys/stat.h>
#include <unistd.h>

#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#include <winioctl.h>
#endif

#include "testkit/hostile_archives.h"
#include "tests/support/unpack_fixture.h"

namespace qzb::test {
namespace {

namespace fs = std::filesystem;
using Tree = std::map<std::string, std::string>;

const std::string Invalid = "  ERROR: The archive is invalid or corrupted\n";
const std::string BadPath = "  ERROR: Invalid file path listed in the archive\n";
const std::string CannotCreateFile = "  ERROR: Failed to create the destination file\n";

class ExtractionTest : public UnpackTest {
protected:
    ProcessResult unpackImage(const ArchiveImage& image, std::vector<std::string> options = {},
                              ProcessOptions processOptions = {}) {
        writeArchive(image.serialize());
        std::vector<std::string> arguments = {"a.qzb", "out"};
        arguments.insert(arguments.end(), options.begin(), options.end());
        return unpack(arguments, processOptions);
    }

    // The loop's part of standard output.
    static std::string loopLines(const std::string& out) {
        const std::size_t start = out.find(Opening);
        return start == std::string::npos ? std::string() : out.substr(start);
    }
};

TEST_F(ExtractionTest, WritesEveryEntryWithItsProgressLine) {
    std::vector<FileSpec> files = {{"first.txt", "hello"}, {"empty", ""}};
    for (int i = 0; i < 10; ++i) {
        files.push_back({"many/" + std::to_string(i), std::to_string(i)});
    }
    const ProcessResult result = unpackImage(makeArchive(files));
    EXPECT_EQ(result.exitCode, 0) << result.err;
    std::string expected = Opening + "         1 / 12: first.txt\n         2 / 12: empty\n";
    for (int i = 0; i < 10; ++i) {
        const std::string position = std::to_string(i + 3);
        expected += std::string(10 - position.size(), ' ') + position + " / 12: many/" +
                    std::to_string(i) + "\n";
    }
    EXPECT_EQ(loopLines(result.out), expected + Done);

    Tree tree = {{"first.txt", "hello"}, {"empty", ""}, {"many", "<dir>"}};
    for (int i = 0; i < 10; ++i) {
        tree["many/" + std::to_string(i)] = std::to_string(i);
    }
    EXPECT_EQ(treeOf(target()), tree);
}

// Blocks at the 64 KiB boundaries, raw and zlib, including a non-final raw block stored as 0.
TEST_F(ExtractionTest, MultiBlockEntriesDecodeExactly) {
    const std::vector<FileSpec> files = {
        {"raw/exact", incompressibleBytes(65536, 1), BlockMode::Raw},
        {"raw/three", incompressibleBytes(3 * 65536 + 1, 2), BlockMode::Raw},
        {"zlib/exact", compressibleText(2 * 65536), BlockMode::Zlib},
        {"zlib/odd", compressibleText(2 * 65536 + 7), BlockMode::Zlib},
        {"zlib/noise", incompressibleBytes(30000, 3), BlockMode::Zlib},
        {"mixed", compressibleText(65536) + incompressibleBytes(65536, 4) + compressibleText(10)},
    };
    const ArchiveImage image = makeArchive(files);
    ASSERT_EQ(image.blockSizes[1], 0); // "raw/three" begins with a full stored block
    const ProcessResult result = unpackImage(image);
    EXPECT_EQ(result.exitCode, 0) << result.err;
    for (const FileSpec& file : files) {
        EXPECT_EQ(readFile(target() / file.name), file.content) << file.name;
    }
}

TEST_F(ExtractionTest, BackslashesAndSlashesBothMakeDirectories) {
    const ProcessResult result =
        unpackImage(makeArchive({{"a\\b\\c.txt", "1"}, {"a/b/d.txt", "2"}, {"x/./y//z", "3"}}));
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_NE(result.out.find("         1 / 3: a\\b\\c.txt\n"), std::string::npos);
    EXPECT_EQ(treeOf(target()), (Tree{{"a", "<dir>"},
                                      {"a/b", "<dir>"},
                                      {"a/b/c.txt", "1"},
                                      {"a/b/d.txt", "2"},
                                      {"x", "<dir>"},
                                      {"x/y", "<dir>"},
                                      {"x/y/z", "3"}}));
}

TEST_F(ExtractionTest, DuplicateNamesAreSkippedOrOverwritten) {
    const ArchiveImage image = makeArchive({{"same", "first"}, {"same", "second"}});
    ProcessResult result = unpackImage(image);
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(loopLines(result.out),
              Opening + "         1 / 2: same\n         2 / 2: same\n" + Done);
    EXPECT_EQ(treeOf(target()), (Tree{{"same", "first"}}));

    fs::remove_all(target());
    result = unpackImage(image, {"/o"});
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(treeOf(target()), (Tree{{"same", "second"}}));
}

TEST_F(ExtractionTest, ExistingPathsAreKeptWithoutOverwrite) {
#ifdef _WIN32
    GTEST_SKIP() << "symbolic links need a privilege on Windows";
#endif
    fs::create_directories(target() / "dir");
    writeFile(target() / "file", "mine");
    fs::create_symlink("nowhere", target() / "dangling");
    const ProcessResult result = unpackImage(
        makeArchive({{"file", "theirs"}, {"dir", "theirs"}, {"dangling", "theirs"}, {"new", "n"}}));
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(treeOf(target()),
              (Tree{{"dir", "<dir>"}, {"file", "mine"}, {"dangling", "-> nowhere"}, {"new", "n"}}));
}

// With /o a link at the path is replaced, never written through; a replaced file keeps its
// permissions.
TEST_F(ExtractionTest, OverwriteReplacesFilesAndLinks) {
#ifdef _WIN32
    GTEST_SKIP() << "symbolic links need a privilege on Windows";
#endif
    fs::create_directories(target());
    writeFile(target() / "file", "a much longer old content");
    fs::permissions(target() / "file", fs::perms::owner_read | fs::perms::owner_write);
    writeFile(root() / "outside", "precious");
    fs::create_symlink(root() / "outside", target() / "link");
    const ProcessResult result =
        unpackImage(makeArchive({{"file", "new"}, {"link", "new link"}}), {"/o"});
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(treeOf(target()), (Tree{{"file", "new"}, {"link", "new link"}}));
    EXPECT_EQ(readFile(root() / "outside"), "precious");
    EXPECT_EQ(fs::status(target() / "file").permissions(),
              fs::perms::owner_read | fs::perms::owner_write);
}

TEST_F(ExtractionTest, DirectoryAtEntryPathCannotBeOverwritten) {
    fs::create_directories(target() / "taken");
    const ProcessResult result = unpackImage(makeArchive({{"ok", "1"}, {"taken", "2"}}), {"/o"});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.err, CannotCreateFile);
    EXPECT_EQ(treeOf(target()), (Tree{{"ok", "1"}, {"taken", "<dir>"}}));
}

TEST_F(ExtractionTest, NameOfADirectoryMakesItThenFails) {
    for (const std::string name : {"d/", "d/."}) {
        fs::remove_all(target());
        const ProcessResult result = unpackImage(makeArchive({{name, "x"}}));
        EXPECT_EQ(result.exitCode, 1) << name;
        EXPECT_EQ(result.err, CannotCreateFile) << name;
        EXPECT_EQ(treeOf(target()), (Tree{{"d", "<dir>"}})) << name;
    }
}

TEST_F(ExtractionTest, EntryBelowAFileCannotGetItsDirectory) {
    const ProcessResult result = unpackImage(makeArchive({{"a", "1"}, {"a/b", "2"}}));
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.err, "  ERROR: Failed to create destination directories\n");
    EXPECT_EQ(treeOf(target()), (Tree{{"a", "1"}}));
}

// A name that could write outside the target is refused after its progress line, before the
// skip test and before any directory is made; earlier entries stay. Every rule of the names is in
// the in-process table of entry_path_test.cpp.
TEST_F(ExtractionTest, UnsafeNameIsRefused) {
    const ProcessResult result = unpackImage(makeArchive({{"ok", "1"}, {"a/b/../../../up", "x"}}));
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.err, BadPath);
    EXPECT_EQ(loopLines(result.out),
              Opening + "         1 / 2: ok\n         2 / 2: a/b/../../../up\n");
    EXPECT_EQ(treeOf(target()), (Tree{{"ok", "1"}}));
    EXPECT_EQ(treeOf(root()).count("up"), 0u);
}

// The ways of making a link to a directory here: each answers an empty string when it made one,
// else what the system answered.
using LinkMaker = std::string (*)(const fs::path& link, const fs::path& to);

#ifdef _WIN32
bool linkStands(const fs::path& link) {
    const DWORD attributes = GetFileAttributesW(link.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES &&
           (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

std::string reparsePointAnswer(const fs::path& link, const std::string& call) {
    return linkStands(link) ? std::string()
                            : call + " answered success, but no reparse point stands there";
}

std::string makeSymbolicLink(const fs::path& link, const fs::path& to) {
    // 2: SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE, which Developer Mode honours.
    if (!CreateSymbolicLinkW(link.c_str(), to.c_str(), SYMBOLIC_LINK_FLAG_DIRECTORY | 2)) {
        return "CreateSymbolicLinkW failed with error " + std::to_string(GetLastError());
    }
    return reparsePointAnswer(link, "CreateSymbolicLinkW");
}

// A mount point reparse buffer: tag, data length, reserved, then offset and length of the
// substitute name and of the print name, and the names, each ending in a null.
std::string makeJunction(const fs::path& link, const fs::path& to) {
    const std::wstring name = L"\\??\\" + fs::absolute(to).wstring();
    const std::size_t nameBytes = name.size() * sizeof(wchar_t);
    std::vector<unsigned char> buffer(16 + nameBytes + 2 * sizeof(wchar_t));
    const auto put16 = [&](std::size_t at, std::size_t value) {
        buffer[at] = static_cast<unsigned char>(value);
        buffer[at + 1] = static_cast<unsigned char>(value >> 8);
    };
    put16(0, IO_REPARSE_TAG_MOUNT_POINT);
    put16(2, IO_REPARSE_TAG_MOUNT_POINT >> 16);
    put16(4, buffer.size() - 8);
    put16(10, nameBytes);
    put16(12, nameBytes + sizeof(wchar_t));
    std::memcpy(buffer.data() + 16, name.data(), nameBytes);
    fs::create_directory(link);
    const HANDLE handle =
        CreateFileW(link.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    DWORD returned = 0;
    const bool made =
        handle != INVALID_HANDLE_VALUE &&
        DeviceIoControl(handle, FSCTL_SET_REPARSE_POINT, buffer.data(),
                        static_cast<DWORD>(buffer.size()), nullptr, 0, &returned, nullptr);
    const DWORD error = GetLastError();
    if (handle != INVALID_HANDLE_VALUE) {
        CloseHandle(handle);
    }
    if (!made) {
        fs::remove(link);
        return "FSCTL_SET_REPARSE_POINT failed with error " + std::to_string(error);
    }
    return reparsePointAnswer(link, "FSCTL_SET_REPARSE_POINT");
}

const std::pair<const char*, LinkMaker> LinkMakers[] = {{"symbolic link", makeSymbolicLink},
                                                        {"junction", makeJunction}};
#else
bool linkStands(const fs::path& link) {
    return fs::is_symlink(link);
}

std::string makeSymbolicLink(const fs::path& link, const fs::path& to) {
    fs::create_directory_symlink(to, link);
    return {};
}

const std::pair<const char*, LinkMaker> LinkMakers[] = {{"symbolic link", makeSymbolicLink}};
#endif

// A link standing in the target (on Windows a symbolic link or a junction) is not followed to
// another place, whether it leads out or in. Wine 8 makes neither: its CreateSymbolicLinkW answers
// success and makes nothing, FSCTL_SET_REPARSE_POINT fails with ERROR_NOT_SUPPORTED (50); such a
// kind is skipped with that answer, and tests/wine_links_test.cmake runs the refusal there.
TEST_F(ExtractionTest, LinkInADirectoryElementIsRefused) {
    std::string unmade;
    int made = 0;
    for (const auto& [kind, make] : LinkMakers) {
        fs::remove_all(root() / "elsewhere");
        fs::remove_all(target());
        fs::create_directories(root() / "elsewhere");
        fs::create_directories(target() / "real");
        const std::string answer = make(target() / "docs", root() / "elsewhere");
        if (!answer.empty()) {
            unmade += std::string(kind) + ": " + answer + "; ";
            continue;
        }
        ASSERT_EQ(make(target() / "inner", target() / "real"), "") << kind;
        ++made;
        for (const std::string name : {"docs/x", "inner/x"}) {
            const ProcessResult result = unpackImage(makeArchive({{"ok", "1"}, {name, "x"}}));
            EXPECT_EQ(result.exitCode, 1) << kind << " " << name;
            EXPECT_EQ(result.err, "  ERROR: Failed to create destination directories\n")
                << kind << " " << name;
        }
        EXPECT_TRUE(fs::is_empty(root() / "elsewhere")) << kind;
        EXPECT_TRUE(fs::is_empty(target() / "real")) << kind;
        EXPECT_TRUE(linkStands(target() / "docs") && linkStands(target() / "inner")) << kind;
    }
    if (made == 0) {
        GTEST_SKIP() << "no link could be made here: " << unmade;
    }
    if (!unmade.empty()) {
        std::cout << "not tested, no link could be made: " << unmade << "\n";
    }
}

// Each way an entry's data can be bad: the run fails after the entry's progress line, earlier
// entries stay, nothing is left at the failing entry's path, and no temporary file remains.
TEST_F(ExtractionTest, BadEntryDataFailsAndLeavesNothingAtItsPath) {
    for (const BadEntry& c : badEntries()) {
        fs::remove_all(target());
        const ProcessResult result = unpackImage(c.image, {"/s"});
        EXPECT_EQ(result.exitCode, 1) << c.what;
        EXPECT_EQ(result.err, Invalid) << c.what;
        EXPECT_EQ(loopLines(result.out),
                  Opening + "         1 / 2: good\n         2 / 2: sub/bad\n")
            << c.what;
        EXPECT_EQ(treeOf(target()), (Tree{{"good", "fine"}, {"sub", "<dir>"}})) << c.what;
    }
}

TEST_F(ExtractionTest, FailedEntryKeepsTheFileItWouldHaveOverwritten) {
    ArchiveImage image =
        makeArchive({{"a", "new a"}, {"b", compressibleText(70000), BlockMode::Zlib}, {"c", "c"}});
    image.data[image.data.size() - 3] ^= 0x01;
    fs::create_directories(target());
    writeFile(target() / "b", "old b");
    const ProcessResult result = unpackImage(image, {"/o", "/s"});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.err, Invalid);
    EXPECT_EQ(treeOf(target()), (Tree{{"a", "new a"}, {"b", "old b"}}));
}

// Sizes and offsets of an empty entry are never used.
TEST_F(ExtractionTest, EmptyEntryReadsNothing) {
    ArchiveImage image = makeArchive({{"empty", ""}});
    image.entries[0].firstBlock = 0xFFFFFFFF;
    image.entries[0].dataOffset = ~std::uint64_t{0};
    const ProcessResult result = unpackImage(image, {"/s"});
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(treeOf(target()), (Tree{{"empty", ""}}));
}

// Both programs: the limit's signal must not end the process unannounced.
TEST_F(ExtractionTest, WriteFailureFailsTheRunAndLeavesNoFile) {
#ifdef _WIN32
    GTEST_SKIP() << "no file size limit on Windows to provoke a failing write";
#endif
    ProcessOptions limited;
    limited.fileSizeLimit = 100000;
    limited.workingDirectory = root();
    writeArchive(
        buildArchive({{"small", "fits"}, {"dir/large", compressibleText(300000)}, {"after", "x"}}));
    const struct {
        const char* program;
        std::vector<std::string> arguments;
        std::string err;
    } cases[] = {
        {QZB_UNPACK_EXE, {"a.qzb", "out"}, "  ERROR: Failed to write the destination file\n"},
        {QZB_CLI_EXE,
         {"extract", "--quiet", "a.qzb", "out"},
         "qzb: dir/large: failed to write the destination file: File too large\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.program);
        fs::remove_all(target());
        const ProcessResult result = runProcess(c.program, c.arguments, limited);
        EXPECT_EQ(result.exitCode, 1);
        EXPECT_EQ(result.err, c.err);
        EXPECT_EQ(treeOf(target()), (Tree{{"small", "fits"}, {"dir", "<dir>"}}));
    }
}

TEST_F(ExtractionTest, NewFilesGetTheOrdinaryPermissions) {
#ifdef _WIN32
    GTEST_SKIP() << "no umask or permission bits on Windows";
#else
    const mode_t previous = umask(027);
    const ProcessResult result = unpackImage(makeArchive({{"f", "x"}}));
    umask(previous);
    EXPECT_EQ(result.exitCode, 0) << result.err;
    struct stat info {};
    ASSERT_EQ(stat((target() / "f").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0640u);
#endif
}

// A second run without /o after a failed one finishes the remaining entries and keeps the
// finished ones; the temporary file a killed run left is removed.
TEST_F(ExtractionTest, RerunCompletesWhatAFailedRunLeft) {
    ArchiveImage broken = makeArchive({{"a", "1"}, {"b", "2"}, {"c", "3"}});
    broken.entries[1].firstBlock = 99;
    unpackImage(broken, {"/s"});
    // No process can have that number, on any system.
    writeFile(target() / ".qzb-unpack-4294967295-0.part", "stale");
    const ProcessResult result = unpackImage(makeArchive({{"a", "other"}, {"b", "2"}, {"c", "3"}}));
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(treeOf(target()), (Tree{{"a", "1"}, {"b", "2"}, {"c", "3"}}));
}

} // namespace
} // namespace qzb::test
