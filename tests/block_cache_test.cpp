#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "archive/archive.h"
#include "mount/block_cache.h"
#include "testkit/archive_writer.h"
#include "testkit/content.h"
#include "testkit/scratch_files.h"

namespace {

using qzb::mount::BlockCache;
using qzb::test::BlockMode;

constexpr std::size_t Block = 65536;

// Entry 0: noise, stored raw, one byte past five blocks; entry 1: three inflated blocks, the
// second of which does not inflate.
struct CacheArchive {
    std::string noise = qzb::test::incompressibleBytes(5 * Block + 1, 7);
    std::string text = qzb::test::compressibleText(3 * Block, "bad");
    qzb::Archive archive;

    CacheArchive() : archive(open(noise, text)) {
        EXPECT_EQ(archive.readTableOfContents(true), qzb::TableFault::None);
    }

    static qzb::platform::ArchiveFile open(const std::string& noise, const std::string& text) {
        qzb::test::ArchiveImage image =
            qzb::test::makeArchive({{"noise", noise}, {"text", text, BlockMode::Zlib}});
        const std::uint16_t first = image.blockSizes[image.entries[1].firstBlock];
        image.data[image.entries[1].dataOffset - image.tocSize + first] = '\xff';
        return qzb::test::archiveFile(image.serialize());
    }
};

TEST(BlockCache, ReadsAnyRangeAndFailsOnlyWhereABlockIsBad) {
    CacheArchive a;
    BlockCache cache(a.archive, 4 * Block, 2);
    struct Read {
        std::uint32_t entry;
        std::uint64_t offset;
        std::size_t length;
        bool failed;
    };
    const std::vector<Read> reads = {
        {0, 0, 100, false},
        {0, Block - 10, 20, false},           // across two blocks
        {0, 3 * Block + 5, 3 * Block, false}, // to the end, shorter than asked
        {0, 5 * Block, 10, false},            // the last block's one byte
        {0, 5 * Block + 1, 10, false},        // at the end: nothing
        {1, 10, 100, false},
        {1, 2 * Block, Block, false},
        {1, Block + 7, 10, true},
        {1, Block - 1, 2, true}, // a good block, then the bad one
    };
    for (const Read& read : reads) {
        const std::string& content = read.entry == 0 ? a.noise : a.text;
        std::vector<unsigned char> buffer(read.length);
        const qzb::mount::ReadOutcome outcome =
            cache.read(read.entry, read.offset, buffer.data(), read.length, true);
        EXPECT_EQ(outcome.failed, read.failed) << read.entry << " at " << read.offset;
        if (read.failed) {
            EXPECT_EQ(outcome.block, 1u);
            continue;
        }
        const std::string expected =
            read.offset < content.size() ? content.substr(read.offset, read.length) : "";
        EXPECT_EQ(std::string(buffer.begin(), buffer.begin() + outcome.bytes), expected)
            << read.entry << " at " << read.offset;
    }
}

TEST(BlockCache, TellsOfABadBlockOnce) {
    CacheArchive a;
    BlockCache cache(a.archive, 4 * Block, 0);
    unsigned char byte = 0;
    EXPECT_TRUE(cache.read(1, Block, &byte, 1, false).firstFailure);
    EXPECT_FALSE(cache.read(1, Block, &byte, 1, false).firstFailure);
    EXPECT_TRUE(cache.read(1, Block, &byte, 1, false).failed);
}

TEST(BlockCache, ConcurrentReadersGetTheSameBytesAsOne) {
    CacheArchive a;
    // Smaller than what they read together, so that blocks are dropped and inflated again.
    BlockCache cache(a.archive, 4 * Block, 2);
    std::vector<std::string> got(6, std::string(a.noise.size(), '\0'));
    {
        std::vector<std::jthread> readers;
        for (std::size_t r = 0; r < got.size(); ++r) {
            readers.emplace_back([&, r] {
                const std::size_t length = 5000 + r * 999;
                const std::size_t pieces = (a.noise.size() + length - 1) / length;
                // Every other reader goes backwards.
                for (std::size_t i = 0; i < pieces; ++i) {
                    const std::size_t at = (r % 2 == 0 ? i : pieces - 1 - i) * length;
                    const auto outcome =
                        cache.read(0, at, reinterpret_cast<unsigned char*>(got[r].data() + at),
                                   std::min(length, a.noise.size() - at), r % 2 == 0);
                    EXPECT_FALSE(outcome.failed);
                }
            });
        }
    }
    for (std::size_t r = 0; r < got.size(); ++r) {
        EXPECT_EQ(got[r], a.noise) << r;
    }
}

} // namespace
