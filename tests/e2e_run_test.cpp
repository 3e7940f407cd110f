// The run as a process: what needs the real executable's command line, exit status and standard
// streams (a terminal, a full device, a broken pipe, closed descriptors).
#include <gtest/gtest.h>

#include <csignal>

#ifndef _WIN32
#include <sys/stat.h>
#endif

#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#endif

#include "tests/support/unpack_fixture.h"

namespace qzb::test {
namespace {

namespace fs = std::filesystem;
using Tree = std::map<std::string, std::string>;

const std::string OutputLost = "  ERROR: Failed to write the console output\n";

using RunTest = UnpackTest;

// Paths given as UTF-8 reach the file system whole, even in a mix of scripts that no Windows ANSI
// code page holds: there the tool takes them from the wide command line.
TEST_F(RunTest, ArchiveAndTargetPathsKeepEveryCharacter) {
    const std::u8string archive = u8"\u0410\u03a9 \u6863\u6848.qzb";
    const std::u8string out = u8"\u00fcber \u03a9";
    writeFile(root() / fs::path(archive), buildArchive({{"f", "data"}}));
    const ProcessResult result =
        unpack({std::string(archive.begin(), archive.end()), std::string(out.begin(), out.end())});
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(readFile(root() / fs::path(out) / "f"), "data");
}

// Paths past 260 characters, given absolute and relative, reach the system whole: on Windows the
// archive, the target and the directories in the extended-length form, so that no long-path
// setting is needed.
TEST_F(RunTest, ArchiveAndTargetPathsOfMoreThan300CharactersReachTheSystemWhole) {
    fs::path deep;
    for (const char letter : {'a', 'b', 'c', 'd', 'e', 'f'}) {
        deep /= std::string(50, letter);
    }
    fs::create_directories(root() / deep);
    writeFile(root() / deep / "a.qzb", buildArchive({{"dir/f", "data"}}));
    for (const fs::path& base : {root(), fs::path()}) {
        const fs::path out = deep / std::string(40, base.empty() ? 'r' : 'a') / "out";
        SCOPED_TRACE(out.string());
        ASSERT_GT((root() / out).string().size(), 300u);
        const ProcessResult result =
            unpack({(base / deep / "a.qzb").string(), (base / out).string()});
        EXPECT_EQ(result.exitCode, 0) << result.err;
        EXPECT_EQ(readFile(root() / out / "dir" / "f"), "data");
        EXPECT_NE(result.out.find("Target directory: " + (root() / out).string() + "\n"),
                  std::string::npos)
            << result.out;
    }
    removeTree(root() / deep.begin()->string());
}

#ifdef _WIN32
// Without its manifest the exe would be held to 260 characters, and the 32-bit one have its writes
// to protected directories redirected.
TEST(ExecutableTest, ManifestDeclaresLongPathsAndTheCallersRights) {
    const HMODULE exe = LoadLibraryExA(QZB_UNPACK_EXE, nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(exe, nullptr);
    const HRSRC found = FindResourceA(exe, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(24));
    ASSERT_NE(found, nullptr);
    const auto* data = static_cast<const char*>(LockResource(LoadResource(exe, found)));
    const std::string manifest(data, SizeofResource(exe, found));
    FreeLibrary(exe);
    EXPECT_NE(manifest.find("<ws2:longPathAware>true</ws2:longPathAware>"), std::string::npos);
    EXPECT_NE(manifest.find("level=\"asInvoker\""), std::string::npos);
}
#endif

// What cannot be read at any offset is refused at once, a FIFO that nobody writes to included,
// by both programs.
TEST_F(RunTest, ArchivesThatAreNoFilesAreRefusedWithoutWaiting) {
#ifdef _WIN32
    GTEST_SKIP() << "no FIFO or /dev/null on Windows";
#else
    ASSERT_EQ(::mkfifo((root() / "fifo").c_str(), 0600), 0);
    for (const std::string& archive : {(root() / "fifo").string(), std::string("/dev/null")}) {
        SCOPED_TRACE(archive);
        ProcessOptions options;
        options.workingDirectory = root();
        options.timeout = std::chrono::seconds(10);
        const ProcessResult unpacked = runProcess(QZB_UNPACK_EXE, {archive, "out"}, options);
        EXPECT_FALSE(unpacked.timedOut);
        EXPECT_EQ(unpacked.exitCode, 1);
        EXPECT_EQ(unpacked.err, "  ERROR: Failed to open the QZB file\n");
        const ProcessResult listed = runProcess(QZB_CLI_EXE, {"list", archive}, options);
        EXPECT_FALSE(listed.timedOut);
        EXPECT_EQ(listed.exitCode, 1);
        EXPECT_EQ(listed.err, "qzb: " + archive + ": cannot open the archive\n");
    }
#endif
}

TEST_F(RunTest, UsageEndsWithStatusTwoAndTouchesNothing) {
    const ProcessResult result = unpack({"a.qzb"});
    EXPECT_EQ(result.exitCode, 2);
    EXPECT_NE(result.err.find("Usage:\n"), std::string::npos);
    EXPECT_TRUE(fs::is_empty(root()));
}

// A name that would retitle the window, and one that would forge the completion line.
const std::string HostileName = "\x1B]0;owned\a\x1B[2J\n  Done! All files were successfully "
                                "extracted!\n\xC2\x9B"
                                "31m";

TEST_F(RunTest, NamesAreEscapedOnATerminalOnly) {
#ifdef _WIN32
    GTEST_SKIP() << "no pseudo-terminal, and these bytes cannot be in a Windows file name";
#endif
    if (!terminalsAvailable()) {
        GTEST_SKIP() << "no pseudo-terminal can be opened here (is /dev/pts mounted?)";
    }
    writeArchive(buildArchive({{HostileName, "x"}}));
    const struct {
        StandardOutput output;
        std::string line;
    } cases[] = {
        {StandardOutput::Terminal,
         "         1 / 1: \\x1B]0;owned\\x07\\x1B[2J\\x0A  Done! All files were successfully "
         "extracted!\\x0A\\xC2\\x9B31m\n"},
        {StandardOutput::Pipe, "         1 / 1: " + HostileName + "\n"},
    };
    for (const auto& c : cases) {
        fs::remove_all(target());
        ProcessOptions options;
        options.output = c.output;
        const ProcessResult result = unpack({"a.qzb", "out"}, options);
        EXPECT_EQ(result.exitCode, 0) << result.err;
        EXPECT_NE(result.out.find(c.line), std::string::npos) << result.out;
        EXPECT_EQ(readFile(target() / HostileName), "x");
    }
}

#ifndef _WIN32
// Every file is extracted whatever becomes of the report; the caller learns that it was lost.
// POSIX only: /dev/full, SIGPIPE and closed descriptors.
TEST_F(RunTest, LostStandardOutputFailsTheRunAfterItsWork) {
    if (!fs::exists("/dev/full")) {
        GTEST_SKIP() << "no /dev/full";
    }
    const Tree files = {{"a.txt", "alpha"},
                        {"dir/big", compressibleText(200000)},
                        {"dir/noise", incompressibleBytes(70000, 7)}};
    std::vector<FileSpec> entries;
    for (const auto& [name, content] : files) {
        entries.push_back({name, content});
    }
    writeArchive(buildArchive(entries));
    Tree tree = files;
    tree["dir"] = "<dir>";

    const struct {
        const char* what;
        StandardOutput output;
        bool closeInput;
        bool ignoreBrokenPipe;
        std::optional<int> signal; // nullopt: ends with status 1 and the error line
    } cases[] = {
        {"full device", StandardOutput::Full, false, false, {}},
        {"closed", StandardOutput::Closed, false, false, {}},
        // The archive and the files opened later must not take descriptors 0 and 1.
        {"closed with input", StandardOutput::Closed, true, false, {}},
        {"broken pipe, SIGPIPE ignored", StandardOutput::BrokenPipe, false, true, {}},
        {"broken pipe", StandardOutput::BrokenPipe, false, false, SIGPIPE},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(target());
        ProcessOptions options;
        options.output = c.output;
        options.closeInput = c.closeInput;
        options.ignoreBrokenPipe = c.ignoreBrokenPipe;
        const ProcessResult result = unpack({"a.qzb", "out"}, options);
        EXPECT_EQ(result.termSignal, c.signal);
        if (!c.signal) {
            EXPECT_EQ(result.exitCode, 1);
            EXPECT_EQ(result.err, OutputLost);
            EXPECT_EQ(treeOf(target()), tree);
        }
    }
}
#endif

} // namespace
} // namespace qzb::test
