#include <cstdint>
#include <cstdio>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "archive/archive.h"
#include "archive/format.h"
#include "digest/md5.h"
#include "testkit/archive_writer.h"
#include "testkit/content.h"
#include "testkit/extract_entry.h"
#include "testkit/hostile_archives.h"
#include "testkit/scratch_files.h"

namespace {

using qzb::Archive;
using qzb::BlockSize;
using qzb::TableFault;
using qzb::test::ArchiveImage;
using qzb::test::BlockMode;
using qzb::test::compressibleText;
using qzb::test::contentOf;
using qzb::test::ExtractResult;
using qzb::test::FileHandle;
using qzb::test::incompressibleBytes;
using qzb::test::zlibStream;

// Extracts entry `index` of an archive already read; nullopt when extraction fails.
std::optional<std::string> extract(const Archive& archive, std::size_t index) {
    const FileHandle output = qzb::test::temporaryFile();
    if (qzb::test::extractEntry(archive, index, output.get()) != ExtractResult::Done) {
        return std::nullopt;
    }
    return contentOf(output.get());
}

TEST(EntryExtractor, RestoresEntriesInAnyOrder) {
    const std::vector<qzb::test::FileSpec> files = {
        {"raw", "abc", BlockMode::Raw},
        {"zlib", compressibleText(3 * BlockSize + 100), BlockMode::Zlib},
        {"full raw blocks", incompressibleBytes(2 * BlockSize + 5, 1), BlockMode::Auto},
        {"empty", ""},
        {"one full block", compressibleText(BlockSize), BlockMode::Raw},
    };
    const ArchiveImage image = qzb::test::makeArchive(files);
    // The cases the extractor must tell apart are really there.
    ASSERT_EQ(image.blockSizes[0], 3u);
    for (std::uint32_t k = 1; k <= 4; ++k) {
        ASSERT_NE(image.blockSizes[k], 0u);
    }
    ASSERT_EQ(image.blockSizes[5], 0u);
    ASSERT_EQ(image.blockSizes[6], 0u);
    ASSERT_EQ(image.blockSizes[7], 5u);

    Archive archive(qzb::test::archiveFile(image.serialize()));
    ASSERT_EQ(archive.readTableOfContents(true), TableFault::None);
    for (const std::size_t index : {4u, 2u, 0u, 3u, 1u, 2u}) {
        EXPECT_EQ(extract(archive, index), files[index].content) << files[index].name;
    }
}

// A forced zlib block must never come out at its own length, or it would be read as raw.
TEST(EntryExtractor, ForcedZlibBlocksOfEverySmallLength) {
    std::vector<qzb::test::FileSpec> files;
    for (std::size_t length = 1; length <= 300; ++length) {
        files.push_back({std::to_string(length) + ".noise", incompressibleBytes(length, length),
                         BlockMode::Zlib});
        files.push_back(
            {std::to_string(length) + ".text", compressibleText(length), BlockMode::Zlib});
    }
    const ArchiveImage image = qzb::test::makeArchive(files);
    for (std::size_t i = 0; i < files.size(); ++i) {
        ASSERT_NE(image.blockSizes[i], files[i].content.size()) << files[i].name;
    }
    Archive archive(qzb::test::archiveFile(image.serialize()));
    ASSERT_EQ(archive.readTableOfContents(true), TableFault::None);
    for (std::size_t i = 0; i < files.size(); ++i) {
        EXPECT_EQ(extract(archive, i), files[i].content) << files[i].name;
    }
    EXPECT_THROW(
        qzb::test::makeArchive({{"x", incompressibleBytes(BlockSize, 7), BlockMode::Zlib}}),
        std::runtime_error);
}

TEST(EntryExtractor, EmptyEntryReadsNothing) {
    ArchiveImage image = qzb::test::makeArchive({{"a", "abc"}, {"empty", ""}});
    image.entries[1].firstBlock = UINT32_MAX;
    image.entries[1].dataOffset = UINT64_MAX;
    Archive archive(qzb::test::archiveFile(image.serialize()));
    ASSERT_EQ(archive.readTableOfContents(true), TableFault::None);
    EXPECT_EQ(extract(archive, 1), "");
}

// The table reads, digests aside; the intact entry extracts and the broken one is refused.
TEST(EntryExtractor, RefusesEntriesThatCannotBeDecoded) {
    std::vector<std::pair<std::string, ArchiveImage>> cases;
    for (qzb::test::BadEntry& c : qzb::test::badEntries()) {
        cases.emplace_back(c.what, std::move(c.image));
    }
    for (qzb::test::HugeClaim& c : qzb::test::hugeClaims()) {
        if (!c.readerRefuses) {
            cases.emplace_back(c.what, std::move(c.image));
        }
    }
    for (const auto& [what, image] : cases) {
        Archive archive(qzb::test::archiveFile(image.serialize()));
        ASSERT_EQ(archive.readTableOfContents(false), TableFault::None) << what;
        ASSERT_EQ(archive.entryCount(), 2u) << what;
        EXPECT_TRUE(extract(archive, 0).has_value()) << what;
        const FileHandle output = qzb::test::temporaryFile();
        EXPECT_EQ(qzb::test::extractEntry(archive, 1, output.get()), ExtractResult::Corrupt)
            << what;
    }
}

// An output file that refuses the bytes is not a corrupt archive; an empty entry writes nothing.
TEST(EntryExtractor, RefusedWriteIsToldApart) {
    const std::string path = ::testing::TempDir() + "qzb-read-only-output";
    qzb::test::writeFile(path, "");
    const FileHandle readOnly(std::fopen(path.c_str(), "rb"));
    ASSERT_TRUE(readOnly);
    Archive archive(qzb::test::archiveFile(
        qzb::test::buildArchive({{"raw", "abc", BlockMode::Raw},
                                 {"zlib", compressibleText(5000), BlockMode::Zlib},
                                 {"empty", ""}})));
    ASSERT_EQ(archive.readTableOfContents(true), TableFault::None);
    const ExtractResult expected[] = {ExtractResult::WriteFailed, ExtractResult::WriteFailed,
                                      ExtractResult::Done};
    for (std::size_t i = 0; i < std::size(expected); ++i) {
        EXPECT_EQ(qzb::test::extractEntry(archive, i, readOnly.get()), expected[i]) << i;
    }
}

// The data lies past 4 GiB in a sparse file; reaching it needs a 64-bit offset.
TEST(EntryExtractor, ReachesDataBeyondFourGiB) {
    const std::string content = "far away";
    ArchiveImage image = qzb::test::makeArchive({{"far", content, BlockMode::Raw}});
    const std::uint64_t offset = (1ull << 32) + 100;
    image.entries[0].dataOffset = offset;
    const std::string table = image.serialize().substr(0, image.tocSize);
    const qzb::Md5 digest = qzb::md5Digest(table.data(), table.size());

    const std::string tail = content + std::string(digest.begin(), digest.end());
    Archive archive(qzb::test::archiveFile({{0, table}, {offset, tail}}));
    ASSERT_EQ(archive.readTableOfContents(true), TableFault::None);
    EXPECT_EQ(extract(archive, 0), content);
}

} // namespace
