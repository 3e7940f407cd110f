#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#endif

#include "platform/wide_text.h"
#include "testkit/archive_writer.h"
#include "testkit/content.h"
#include "testkit/scratch_files.h"
#include "tests/support/run_process.h"

// Tests of whole runs, in-process or of the built executable, each in a scratch directory of
// its own.
namespace qzb::test {

inline const std::string BannerTail = "\n\n  \n  \n  \n\n";
// The extraction loop's first and last lines.
inline const std::string Opening =
    "Extracting the files... This might take a while. Press Ctrl+C to cancel.\n";
inline const std::string Done = "  Done! All files were successfully extracted!\n";

class ScratchTest : public ::testing::Test {
protected:
    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        std::string name = std::string(info->test_suite_name()) + "." + info->name();
        for (char& c : name) {
            if (c == '/') {
                c = '_';
            }
        }
        root_ = scratchDirectory("e2e-" + name, scratchPlace());
        std::filesystem::remove_all(root_);
        std::filesystem::create_directories(root_);
    }
    void TearDown() override {
        if (!HasFailure()) {
            std::filesystem::remove_all(root_);
        }
    }

    // Where the scratch directories go; a suite may put them on another file system.
    virtual std::filesystem::path scratchPlace() const {
        return std::filesystem::temp_directory_path();
    }

    const std::filesystem::path& root() const { return root_; }
    std::filesystem::path target() const { return root_ / "out"; }

    std::filesystem::path writeArchive(const std::string& bytes,
                                       const std::string& name = "a.qzb") {
        writeFile(root_ / name, bytes);
        return root_ / name;
    }

    // What a run printed after its banner; checks the banner on the way.
    static std::string afterBanner(const std::string& out) {
        const std::string first = "qzb-unpack v" QZB_VERSION " (";
        const std::size_t end = out.find(")" + BannerTail);
        EXPECT_EQ(out.rfind(first, 0), 0u) << out;
        EXPECT_NE(end, std::string::npos) << out;
        return end == std::string::npos ? out : out.substr(end + 1 + BannerTail.size());
    }

    std::string reportHead() const {
        return "Target directory: " + std::filesystem::canonical(target()).string() +
               "\nReading the table of contents...\n";
    }

private:
    std::filesystem::path root_;
};

#ifdef QZB_UNPACK_EXE
// End-to-end tests run the built executable.
class UnpackTest : public ScratchTest {
protected:
    // Runs the tool from the scratch directory.
    ProcessResult unpack(const std::vector<std::string>& arguments,
                         ProcessOptions options = {}) const {
        options.workingDirectory = root();
        return runProcess(QZB_UNPACK_EXE, arguments, options);
    }
};
#endif

// A relative path spelled as the entry name that the tool's byte-string file interface turns into
// it, with '/' between directories: on Windows in the ANSI code page.
inline std::string entryBytes(const std::filesystem::path& path) {
#ifdef _WIN32
    return fromWide(path.generic_wstring(), CP_ACP);
#else
    return path.generic_string();
#endif
}

#ifdef _WIN32
// std::filesystem::remove_all under mingw-w64 stops at 260 characters.
inline void removeTree(const std::wstring& path) {
    WIN32_FIND_DATAW item{};
    const HANDLE search = FindFirstFileW((path + L"\\*").c_str(), &item);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring name = item.cFileName;
            if (name == L"." || name == L"..") {
                continue;
            }
            if ((item.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
                removeTree(path + L"\\" + name);
            } else {
                DeleteFileW((path + L"\\" + name).c_str());
            }
        } while (FindNextFileW(search, &item));
        FindClose(search);
    }
    RemoveDirectoryW(path.c_str());
}

inline void removeTree(const std::filesystem::path& path) {
    removeTree(L"\\\\?\\" + std::filesystem::absolute(path).wstring());
}
#else
inline void removeTree(const std::filesystem::path& path) {
    std::filesystem::remove_all(path);
}
#endif

// Everything below a directory: relative path -> file content, "<dir>" or "-> link target".
inline std::map<std::string, std::string> treeOf(const std::filesystem::path& directory) {
    std::map<std::string, std::string> tree;
    for (const auto& item : std::filesystem::recursive_directory_iterator(directory)) {
        const std::string path = entryBytes(std::filesystem::relative(item.path(), directory));
        if (item.is_symlink()) {
            tree[path] = "-> " + std::filesystem::read_symlink(item.path()).string();
        } else if (item.is_directory()) {
            tree[path] = "<dir>";
        } else {
            tree[path] = readFile(item.path());
        }
    }
    return tree;
}

} // namespace qzb::test
