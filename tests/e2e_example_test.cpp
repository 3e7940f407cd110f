// The bundled example archive unpacks to exactly the entries its maker put in.
#include <gtest/gtest.h>

#include "examples/sample_files.h"
#include "tests/support/unpack_fixture.h"

namespace qzb::test {
namespace {

using ExampleTest = UnpackTest;

TEST_F(ExampleTest, BundledArchiveUnpacksToItsEntries) {
    const ProcessResult result = unpack({QZB_SAMPLE_ARCHIVE, "out"});
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(result.err, "");
    std::map<std::string, std::string> expected = {
        {"data", "<dir>"}, {"docs", "<dir>"}, {"docs/guide", "<dir>"}};
    for (const FileSpec& file : example::sampleFiles()) {
        std::string path = file.name;
        for (char& c : path) {
            c = c == '\\' ? '/' : c;
        }
        expected[path] = file.content;
    }
    EXPECT_EQ(treeOf(target()), expected);
}

} // namespace
} // namespace qzb::test
