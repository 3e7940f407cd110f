// What the differential harness (parallel_sameness_test.cpp) cannot see from outside: how many
// workers a pipeline runs, and the answer to an index that does not rise.
#include <gtest/gtest.h>

#include "archive/block_pipeline.h"
#include "testkit/archive_writer.h"
#include "testkit/content.h"
#include "testkit/scratch_files.h"

namespace qzb::test {
namespace {

TEST(BlockPipeline, WorkersAndIndicesThatDoNotRise) {
    const FileHandle file = temporaryFile(
        buildArchive({{"a", compressibleText(70000, "a")}, {"b", compressibleText(9, "b")}}));
    Archive archive;
    ASSERT_TRUE(archive.readTableOfContents(file.get(), true));
    EXPECT_GE(defaultInflateThreads(), 1u);
    EXPECT_LE(defaultInflateThreads(), MaxInflateThreads);
    EXPECT_EQ(BlockPipeline(archive, file.get(), 1).threads(), 0u);

    BlockPipeline pipeline(archive, file.get(), 3);
    EXPECT_EQ(pipeline.threads(), 3u);
    const FileHandle output = temporaryFile();
    EXPECT_EQ(pipeline.extractEntry(1, output.get()), ExtractResult::Done);
    EXPECT_EQ(contentOf(output.get()), compressibleText(9, "b"));
    // Entry 0 was passed over and its blocks dropped; 1 again would need them back.
    EXPECT_EQ(pipeline.extractEntry(0, output.get()), ExtractResult::Corrupt);
    EXPECT_EQ(pipeline.extractEntry(1, output.get()), ExtractResult::Corrupt);
}

} // namespace
} // namespace qzb::test
