// What the differential harness (parallel_sameness_test.cpp) cannot see from outside: how many
// workers a pipeline runs, the answer to an index that does not rise, and which blocks the
// workers put in place.
#include <atomic>
#include <cstring>
#include <string>
#include <vector>

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

// Every block reaches its offset once, placed by a worker or else handed to `take`, which sees
// every block in order, also where the sink refuses some.
TEST(BlockPipeline, BlocksPutInPlaceOrTakenReachTheirOffsetsOnce) {
    std::vector<FileSpec> files;
    for (const char* name : {"a", "b", "c"}) {
        files.push_back({name, compressibleText(64 * 65536 + 100, name)});
    }
    Archive archive(archiveFile(buildArchive(files)));
    ASSERT_EQ(archive.readTableOfContents(true), TableFault::None);
    for (const unsigned threads : {2u, 5u}) {
        for (const std::uint64_t refused : {0, 3}) {
            BlockPipeline pipeline(archive, threads);
            std::atomic<int> placed = 0;
            for (std::size_t i = 0; i < files.size(); ++i) {
                std::string out(files[i].content.size(), '\0');
                std::uint64_t next = 0;
                const PlacedSink sink{
                    [&](std::uint64_t at, const unsigned char* bytes, std::size_t length) {
                        if (refused != 0 && at / 65536 % refused == 0) {
                            return false;
                        }
                        std::memcpy(out.data() + at, bytes, length);
                        ++placed;
                        return true;
                    },
                    [&](std::uint64_t at, const unsigned char* bytes, std::size_t length,
                        bool inPlace) {
                        EXPECT_EQ(at, next);
                        EXPECT_FALSE(inPlace && refused != 0 && at / 65536 % refused == 0);
                        if (!inPlace) {
                            std::memcpy(out.data() + at, bytes, length);
                        }
                        next += length;
                        return true;
                    }};
                EXPECT_EQ(pipeline.readEntry(i, sink).fault, EntryFault::None);
                EXPECT_TRUE(out == files[i].content) << files[i].name << ", " << threads;
            }
            EXPECT_GT(placed, 0) << threads << " threads";
        }
    }
}

} // namespace
} // namespace qzb::test
