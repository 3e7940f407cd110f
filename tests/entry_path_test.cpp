// Entry names under both rule sets: where each lands, or that it is refused.
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "app/entry_path.h"

namespace {

using qzb::entryPath;
using qzb::NameRules;

// What a name becomes: its path below the target, or "refused".
std::string landing(const std::string& name, NameRules rules) {
    const std::optional<qzb::EntryPath> path = entryPath(name, rules);
    return path ? path->path : "refused";
}

TEST(EntryPath, NamesLandBelowTheTargetOrAreRefused) {
    const std::string refused = "refused";
    const struct {
        std::string name;
        std::string posix;
        std::string windows;
    } cases[] = {
        // Empty, absolute, on a drive, or climbing out: refused everywhere.
        {"", refused, refused},
        {"/abs", refused, refused},
        {"\\abs", refused, refused},
        {"/", refused, refused},
        {"C:x", refused, refused},
        {"c:\\x", refused, refused},
        {"z:", refused, refused},
        {"..", refused, refused},
        {"../up", refused, refused},
        {"a/../b", refused, refused},
        {"a\\..", refused, refused},
        {"..\\x", refused, refused},
        {"d/../../x", refused, refused},
        {"a/b/../../../x", refused, refused},
        // Both separators make directories; dots that stay inside are names.
        {"a\\b\\c.txt", "a/b/c.txt", "a/b/c.txt"},
        {"x/./y//z", "x/./y//z", "x/./y//z"},
        {"a/..b", "a/..b", "a/..b"},
        {".hidden", ".hidden", ".hidden"},
        {".a.b", ".a.b", ".a.b"},
        // Windows drops trailing dots and blanks, so these would land under another name.
        {"...", "...", refused},
        {"dot.", "dot.", refused},
        {"blank ", "blank ", refused},
        {"d./x", "d./x", refused},
        {"d /x", "d /x", refused},
        // Devices on Windows, with or without an extension, in any case.
        {"CON", "CON", refused},
        {"nul.txt", "nul.txt", refused},
        {"a\\aux", "a/aux", refused},
        {"com1 .log", "com1 .log", refused},
        {"Lpt9", "Lpt9", refused},
        {"console", "console", "console"},
        {"com10", "com10", "com10"},
        {"nul_x.txt", "nul_x.txt", "nul_x.txt"},
        // A ':' past the start would write a stream of another file; the rest Windows forbids.
        {"ab:c", "ab:c", refused},
        {"dir/x:y", "dir/x:y", refused},
        {"a<b", "a<b", refused},
        {"a>b", "a>b", refused},
        {"a\"b", "a\"b", refused},
        {"a|b", "a|b", refused},
        {"a?b", "a?b", refused},
        {"a*b", "a*b", refused},
        {"a\x01"
         "b",
         "a\x01"
         "b",
         refused},
        {"d\x1f/b", "d\x1f/b", refused},
        {"tab\there", "tab\there", refused},
        {"caf\xc3\xa9", "caf\xc3\xa9", "caf\xc3\xa9"},
        // The system would end the name at its zero byte.
        {std::string("a\0b", 3), refused, refused},
        {std::string("d\0/x", 4), refused, refused},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(landing(c.name, NameRules::Posix), c.posix) << c.name;
        EXPECT_EQ(landing(c.name, NameRules::Windows), c.windows) << c.name;
    }
}

TEST(EntryPath, SplitsDirectoryAndFileName) {
    const struct {
        std::string name;
        std::string directory;
        bool hasFileName;
    } cases[] = {
        {"plain", "", true},         {"a\\b/c", "a/b", true}, {"d/", "d", false},
        {"d/e\\", "d/e", false},     {"a/.", "a", false},     {".", "", false},
        {"./a//./b/x", "a/b", true},
    };
    for (const auto& c : cases) {
        const std::optional<qzb::EntryPath> path = entryPath(c.name, NameRules::Windows);
        ASSERT_TRUE(path) << c.name;
        EXPECT_EQ(path->directory, c.directory) << c.name;
        EXPECT_EQ(path->hasFileName, c.hasFileName) << c.name;
    }
}

} // namespace
