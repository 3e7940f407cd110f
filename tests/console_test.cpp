// Names as a terminal is shown them: which bytes are escaped, and that every escaped form reads
// back as one name only.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "app/console.h"

namespace qzb {
namespace {

// The reading the escaped form promises: "\\" one backslash, "\xHH" one byte, any other
// backslash itself.
std::string unescape(const std::string& text) {
    std::string name;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 1 < text.size() && text[i + 1] == '\\') {
            name += '\\';
            ++i;
        } else if (text[i] == '\\' && i + 3 < text.size() && text[i + 1] == 'x') {
            name += static_cast<char>(std::stoi(text.substr(i + 2, 2), nullptr, 16));
            i += 3;
        } else {
            name += text[i];
        }
    }
    return name;
}

TEST(EscapeName, ControlsAreEscapedAndEveryFormReadsBackAsItsName) {
    using namespace std::string_literals;
    const struct {
        std::string name;
        std::string shown;
    } cases[] = {
        {"plain/name.txt", "plain/name.txt"},
        {"", ""},
        {"\x1B]0;title\a", "\\x1B]0;title\\x07"},
        {"\x1B[2Jclear", "\\x1B[2Jclear"},
        {"a\n  Done!\r", "a\\x0A  Done!\\x0D"},
        {"nul\0tab\tdel\x7F"s, "nul\\x00tab\\x09del\\x7F"},
        // C1 controls in UTF-8; the neighbouring characters and stray bytes pass.
        {"csi\xC2\x9B"
         "31m",
         "csi\\xC2\\x9B31m"},
        {"\xC2\x80\xC2\x9F\xC2\xA0\xC2\x7F\x9B\xC2",
         "\\xC2\\x80\\xC2\\x9F\xC2\xA0\xC2\\x7F\x9B\xC2"},
        {"\xC3\xA9t\xC3\xA9 \xE6\xA1\xA3", "\xC3\xA9t\xC3\xA9 \xE6\xA1\xA3"},
        // Backslashes stay single unless what follows would make them read as an escape.
        {"data\\noise.bin", "data\\noise.bin"},
        {"dir\\", "dir\\"},
        {"dir\\x41", "dir\\\\x41"},
        {"dir\\X41", "dir\\X41"},
        {"a\\\\b", "a\\\\\\b"},
        {"a\\\x1B", "a\\\\\\x1B"},
        {"\\x1B", "\\\\x1B"},
    };
    for (const auto& c : cases) {
        const std::string shown = escapeName(c.name);
        EXPECT_EQ(shown, c.shown) << ::testing::PrintToString(c.name);
        EXPECT_EQ(unescape(shown), c.name) << ::testing::PrintToString(c.name);
    }
}

#ifndef _WIN32
// Descriptors closed at start are taken by the null device, so that no file opened later gets
// one; a standard output found closed still counts as lost.
TEST(StandardConsole, ClosedDescriptorsGoToTheNullDevice) {
    std::fflush(stdout);
    const int savedIn = ::dup(STDIN_FILENO);
    const int savedOut = ::dup(STDOUT_FILENO);
    ASSERT_GE(savedIn, 0);
    ASSERT_GE(savedOut, 0);
    ::close(STDIN_FILENO);
    ::close(STDOUT_FILENO);
    Console console = standardConsole();
    struct stat in {
    }, out{}, null{};
    const bool inOpen = ::fstat(STDIN_FILENO, &in) == 0;
    const bool outOpen = ::fstat(STDOUT_FILENO, &out) == 0;
    const bool written = console.outputWritten();
    ::dup2(savedIn, STDIN_FILENO);
    ::dup2(savedOut, STDOUT_FILENO);
    ::close(savedIn);
    ::close(savedOut);

    ASSERT_EQ(::stat("/dev/null", &null), 0);
    EXPECT_TRUE(inOpen && in.st_rdev == null.st_rdev);
    EXPECT_TRUE(outOpen && out.st_rdev == null.st_rdev);
    EXPECT_FALSE(written);
}
#endif

} // namespace
} // namespace qzb
