// The extended-length form of full Windows paths, a pure function tested on every system.
#include <string>

#include <gtest/gtest.h>

#include "platform/long_path.h"

namespace {

TEST(LongPathTest, FullPathsTakeTheExtendedFormAndOthersStayUnchanged) {
    const std::wstring deep = L"C:\\" + std::wstring(300, L'd') + L"\\" + std::wstring(20, L'e');
    const struct {
        std::wstring path;
        std::wstring expected;
    } cases[] = {
        {L"C:\\target", L"\\\\?\\C:\\target"},
        {L"z:/a/b", L"\\\\?\\z:\\a\\b"},
        {L"C:\\", L"\\\\?\\C:\\"},
        {deep, L"\\\\?\\" + deep},
        {L"\\\\server\\share\\dir", L"\\\\?\\UNC\\server\\share\\dir"},
        {L"//server/share/dir", L"\\\\?\\UNC\\server\\share\\dir"},
        // Already extended, or a device: as given.
        {L"\\\\?\\C:\\target", L"\\\\?\\C:\\target"},
        {L"\\\\?\\UNC\\server\\share", L"\\\\?\\UNC\\server\\share"},
        {L"\\\\.\\COM1", L"\\\\.\\COM1"},
        // Not full: the system resolves them against the working directory, so they stay.
        {L"target", L"target"},
        {L"dir\\file", L"dir\\file"},
        {L"C:target", L"C:target"},
        {L"\\target", L"\\target"},
        {L"C:", L"C:"},
        {L"", L""},
        // A question mark or dot that only starts a server name is a server.
        {L"\\\\?server\\share", L"\\\\?\\UNC\\?server\\share"},
        {L"\\\\.server\\share", L"\\\\?\\UNC\\.server\\share"},
    };
    for (const auto& [path, expected] : cases) {
        SCOPED_TRACE(std::string(path.begin(), path.end()));
        EXPECT_EQ(qzb::extendedLengthPath(path), expected);
    }
}

} // namespace
