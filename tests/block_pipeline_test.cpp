// What the differential harness (parallel_sameness_test.cpp) cannot see from outside: how many
// workers a pipeline runs, and the answer to an index that does not rise.
#include <string>

#include <gtest/gtest.h>

#include "archive/block_pipeline.h"
#include "testkit/archive_writer.h"
#include "testkit/content.h"
#include "testkit/scratch_files.h"

namespace qzb::test {
namespace {

TEST(BlockPipeline, WorkersAndIndicesThatDoNotRise) {
    Archive archive(archiveFile(
        buildArchive({{"a", compressibleText(70000, "a")}, {"b", compressibleText(9, "b")}})));
    ASSERT_EQ(archive.readTableOfContents(true), TableFault::None);
    EXPECT_GE(defaultInflateThreads(), 1u);
    EXPECT_LE(defaultInflateThreads(), MaxInflateThreads);
    EXPECT_EQ(BlockPipeline(archive, 1).threads(), 0u);

    BlockPipeline pipeline(archive, 3);
    EXPECT_EQ(pipeline.threads(), 3u);
    std::string read;
    const BlockSink sink = [&](const unsigned char* bytes, std::size_t length) {
        read.append(reinterpret_cast<const char*>(bytes), length);
        return true;
    };
    EXPECT_EQ(pipeline.readEntry(1, sink).fault, EntryFault::None);
    EXPECT_EQ(read, compressibleText(9, "b"));
    // Entry 0 was passed over and its blocks dropped: it and 1 again are read from the file.
    read.clear();
    EXPECT_EQ(pipeline.readEntry(0, sink).fault, EntryFault::None);
    EXPECT_EQ(pipeline.readEntry(1, sink).fault, EntryFault::None);
    EXPECT_EQ(read, compressibleText(70000, "a") + compressibleText(9, "b"));
}

} // namespace
} // namespace qzb::test
