#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <new>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "archive/archive.h"
#include "archive/format.h"
#include "digest/md5.h"
#include "testkit/archive_writer.h"
#include "testkit/hostile_archives.h"
#include "testkit/scratch_files.h"

// The largest single allocation made through operator new while a test watches, so that tests
// can tell a reader that trusts header sizes from one that bounds them by the file's length.
namespace {
std::atomic<std::size_t> largestAllocation{0};
}

void* operator new(std::size_t size) {
    std::size_t seen = largestAllocation.load(std::memory_order_relaxed);
    while (size > seen && !largestAllocation.compare_exchange_weak(seen, size)) {
    }
    if (void* block = std::malloc(size == 0 ? 1 : size)) {
        return block;
    }
    throw std::bad_alloc();
}

// GCC pairs these frees with the library's operator new, not with the replacement above, and
// warns of a mismatch that cannot happen.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
void operator delete(void* block) noexcept {
    std::free(block);
}
void operator delete(void* block, std::size_t) noexcept {
    std::free(block);
}

namespace {

using qzb::Archive;
using qzb::BlockSize;
using qzb::test::ArchiveImage;
using qzb::test::BlockMode;
using qzb::test::FileSpec;

constexpr std::size_t AllocationBound = 1 << 20;

// Reads the table of contents of `archive`'s file, which it was made with, as an answer of
// whether it was accepted.
bool readToc(Archive& archive, bool verifyChecksums) {
    return archive.readTableOfContents(verifyChecksums) == qzb::TableFault::None;
}

Archive archiveOf(const std::string& bytes) {
    return Archive(qzb::test::archiveFile(bytes));
}

// Reads a broken table; answers whether it was accepted and records the largest allocation made
// meanwhile. A refused read leaves the Archive empty, and a digest mismatch is told as one only
// of a table that reads whole without its digests.
bool readWatched(const std::string& bytes, bool verifyChecksums, std::size_t& largest) {
    Archive archive = archiveOf(bytes);
    largestAllocation = 0;
    const qzb::TableFault fault = archive.readTableOfContents(verifyChecksums);
    largest = largestAllocation;
    if (fault == qzb::TableFault::Malformed) {
        EXPECT_EQ(archive.entryCount(), 0u);
        EXPECT_TRUE(archive.entries().empty() && archive.blockSizes().empty());
    }
    if (fault == qzb::TableFault::DigestMismatch) {
        EXPECT_TRUE(verifyChecksums);
        EXPECT_TRUE(readToc(archive, false));
    }
    return fault == qzb::TableFault::None;
}

qzb::Md5 digestOf(const std::string& text) {
    return qzb::md5Digest(text.data(), text.size());
}

std::string fromHex(const std::string& text) {
    std::string bytes;
    for (std::size_t i = 0; i + 1 < text.size(); i += 2) {
        bytes.push_back(static_cast<char>(std::stoi(text.substr(i, 2), nullptr, 16)));
    }
    return bytes;
}

std::vector<std::string> namesOf(const Archive& archive) {
    std::vector<std::string> names;
    for (std::size_t i = 0; i < archive.entryCount(); ++i) {
        names.push_back(archive.entryName(i));
    }
    return names;
}

TEST(ArchiveWriter, OneEntryLayoutIsByteExact) {
    const std::string expected =
        fromHex("5352594b4c00000001000000000000005d41402abc4b2a76b9719d911017c592"
                "000000000000000003000000000000004c000000000000000000000000000000"
                "0a00000068656c6c6f00030061626377e6b69b8d17491c9f654f2bba9bdc63");
    const std::string bytes = qzb::test::buildArchive({{"hello", "abc"}});
    ASSERT_EQ(bytes.size(), 95u);
    EXPECT_EQ(bytes, expected);

    // The reader does not depend on where the caller left the file.
    Archive archive = archiveOf(bytes);
    ASSERT_TRUE(readToc(archive, true));
    ASSERT_EQ(archive.entryCount(), 1u);
    EXPECT_EQ(archive.entryName(0), "hello");
    const qzb::ArchiveEntry& entry = archive.entries()[0];
    EXPECT_EQ(entry.firstBlock, 0u);
    EXPECT_EQ(entry.originalSize, 3u);
    EXPECT_EQ(entry.dataOffset, 76u);
    EXPECT_EQ(entry.nameOffset, 0u);
    EXPECT_EQ(archive.blockSizes(), std::vector<std::uint32_t>{3});
}

TEST(ArchiveReader, EmptyArchive) {
    const ArchiveImage image = qzb::test::makeArchive({});
    EXPECT_EQ(image.tocSize, 20u);
    const std::string bytes = image.serialize();
    ASSERT_EQ(bytes.size(), 36u);
    const qzb::Md5 digest = digestOf(bytes.substr(0, 20));
    EXPECT_EQ(bytes.substr(20), std::string(digest.begin(), digest.end()));
    for (const bool verify : {true, false}) {
        Archive archive = archiveOf(bytes);
        EXPECT_TRUE(readToc(archive, verify));
        EXPECT_EQ(archive.entryCount(), 0u);
        EXPECT_TRUE(archive.blockSizes().empty());
    }
}

TEST(ArchiveReader, EntriesShareNameBytes) {
    ArchiveImage image = qzb::test::makeArchive({{"dir/file", "one"}, {"xxxx", "two"}, {"y", "3"}});
    // Entry 1 takes the tail of entry 0's name, entry 2 all of it; their own bytes stay unused.
    image.entries[1].nameOffset = 4;
    image.nameDigests[1] = digestOf("file");
    image.entries[2].nameOffset = 0;
    image.nameDigests[2] = digestOf("dir/file");
    for (const bool verify : {true, false}) {
        Archive archive = archiveOf(image.serialize());
        ASSERT_TRUE(readToc(archive, verify));
        EXPECT_EQ(namesOf(archive), (std::vector<std::string>{"dir/file", "file", "dir/file"}));
    }
}

TEST(ArchiveReader, NameOffsetAtZeroByteGivesEmptyName) {
    ArchiveImage image = qzb::test::makeArchive({{"hello", "abc"}, {"x", ""}});
    image.entries[1].nameOffset = 5;
    image.nameDigests[1] = digestOf("");
    Archive archive = archiveOf(image.serialize());
    ASSERT_TRUE(readToc(archive, true));
    EXPECT_EQ(namesOf(archive), (std::vector<std::string>{"hello", ""}));
}

TEST(ArchiveReader, BlockCountsAtBlockMultiples) {
    const std::uint64_t sizes[] = {65536, 65537, 2 * 65536,      2 * 65536 + 1,
                                   0,     1,     257ull * 65536, 257ull * 65536 + 1};
    std::vector<FileSpec> files;
    for (const std::uint64_t size : sizes) {
        files.push_back({std::to_string(size) + ".bin", std::string(size, 'z'), BlockMode::Raw});
    }
    const std::string bytes = qzb::test::buildArchive(files);
    Archive archive = archiveOf(bytes);
    ASSERT_TRUE(readToc(archive, true));
    ASSERT_EQ(archive.entryCount(), std::size(sizes));

    const std::uint64_t expectedCounts[] = {1, 2, 2, 3, 0, 1, 257, 258};
    std::uint64_t next = 0;
    for (std::size_t i = 0; i < std::size(sizes); ++i) {
        const qzb::ArchiveEntry& entry = archive.entries()[i];
        EXPECT_EQ(entry.originalSize, sizes[i]);
        EXPECT_EQ(qzb::blockCount(entry.originalSize), expectedCounts[i]);
        if (expectedCounts[i] == 0) {
            continue;
        }
        EXPECT_EQ(entry.firstBlock, next);
        next += expectedCounts[i];
        // Stored raw, so the widened stored size is the uncompressed length.
        EXPECT_EQ(archive.blockSizes()[next - 1], sizes[i] % BlockSize == 0 ? BlockSize : 1u)
            << sizes[i];
    }
    EXPECT_EQ(archive.blockSizes().size(), next);
}

TEST(ArchiveReader, ReadingAgainReplacesTheContents) {
    const std::string first =
        qzb::test::buildArchive({{"a", std::string(70000, 'a')}, {"b/c", "c"}, {"d", ""}});
    Archive archive = archiveOf(first);
    ASSERT_TRUE(readToc(archive, true));
    const std::vector<std::string> names = namesOf(archive);
    const std::vector<std::uint32_t> blocks = archive.blockSizes();
    const std::vector<qzb::ArchiveEntry> entries = archive.entries();

    ASSERT_TRUE(readToc(archive, false));
    EXPECT_EQ(namesOf(archive), names);
    EXPECT_EQ(archive.blockSizes(), blocks);
    ASSERT_EQ(archive.entries().size(), entries.size());
    for (std::size_t i = 0; i < entries.size(); ++i) {
        EXPECT_EQ(archive.entries()[i].dataOffset, entries[i].dataOffset);
        EXPECT_EQ(archive.entries()[i].originalSize, entries[i].originalSize);
    }
}

TEST(ArchiveFormat, BlockArithmeticAtBoundaries) {
    struct Case {
        std::uint64_t size;
        std::uint64_t blocks;
        std::uint32_t lastLength;
    };
    const Case cases[] = {
        {1, 1, 1},
        {65535, 1, 65535},
        {65536, 1, 65536},
        {65537, 2, 1},
        {16ull << 20, 256, 65536},
        {(16ull << 20) + 1, 257, 1},
        {1ull << 32, 65536, 65536},
        {(1ull << 32) + 1, 65537, 1},
        {UINT64_MAX, 1ull << 48, 65535},
    };
    EXPECT_EQ(qzb::blockCount(0), 0u);
    for (const Case& c : cases) {
        EXPECT_EQ(qzb::blockCount(c.size), c.blocks) << c.size;
        EXPECT_EQ(qzb::blockLength(c.size, c.blocks - 1), c.lastLength) << c.size;
        if (c.blocks > 1) {
            EXPECT_EQ(qzb::blockLength(c.size, c.blocks - 2), BlockSize) << c.size;
        }
    }
}

// Each broken table is refused, with checks or (unless only a digest is wrong) without,
// and allocates nothing near what its header claims.
struct BrokenCase {
    const char* what;
    std::function<void(ArchiveImage&)> breakIt;
    bool acceptedWithoutChecks = false;
};

ArchiveImage brokenBase() {
    return qzb::test::makeArchive({{"dir/a.txt", std::string(100, 'a')},
                                   {"b", std::string(70000, 'b'), BlockMode::Raw},
                                   {"empty", ""}});
}

void expectRefused(const std::string& what, const std::string& bytes, bool acceptedWithoutChecks) {
    Archive archive = archiveOf(bytes);
    EXPECT_EQ(archive.readTableOfContents(true),
              acceptedWithoutChecks ? qzb::TableFault::DigestMismatch : qzb::TableFault::Malformed)
        << what;
    for (const bool verify : {true, false}) {
        std::size_t largest = 0;
        EXPECT_EQ(readWatched(bytes, verify, largest), !verify && acceptedWithoutChecks)
            << what << (verify ? "" : ", without checks");
        EXPECT_LT(largest, AllocationBound) << what;
    }
}

TEST(ArchiveReader, RefusesBrokenTables) {
    const BrokenCase cases[] = {
        {"bad magic", [](ArchiveImage& a) { a.magic = 0x6B595253; }},
        {"nameOffset at body end",
         [](ArchiveImage& a) { a.entries[0].nameOffset = a.nameBody.size(); }},
        {"nameOffset after body end",
         [](ArchiveImage& a) { a.entries[1].nameOffset = a.nameBody.size() + 1; }},
        {"nameOffset huge", [](ArchiveImage& a) { a.entries[2].nameOffset = UINT64_MAX; }},
        {"last name without zero", [](ArchiveImage& a) { a.nameBody.back() = 'x'; }},
        {"tocSize one short", [](ArchiveImage& a) { --a.tocSize; }},
        {"tocSize one long", [](ArchiveImage& a) { ++a.tocSize; }},
        {"entry claims a block the table lacks",
         [](ArchiveImage& a) { a.entries[2].originalSize = 1; }},
        {"name digest mismatch", [](ArchiveImage& a) { a.nameDigests[1][15] ^= 1; }, true},
        {"trailing digest mismatch", [](ArchiveImage& a) { a.trailingDigest = qzb::Md5{}; }, true},
        {"entryCount one more", [](ArchiveImage& a) { ++a.entryCount; }},
    };
    for (const BrokenCase& c : cases) {
        ArchiveImage image = brokenBase();
        c.breakIt(image);
        expectRefused(c.what, image.serialize(), c.acceptedWithoutChecks);
    }
}

// The reader refuses every claim it can see, and reads the others (the extractor's test has
// them), without reserving memory for any.
TEST(ArchiveReader, HugeClaimsCostLittleMemory) {
    for (const qzb::test::HugeClaim& c : qzb::test::hugeClaims()) {
        const std::string bytes = c.image.serialize();
        for (const bool verify : {true, false}) {
            std::size_t largest = 0;
            EXPECT_EQ(readWatched(bytes, verify, largest), !c.readerRefuses) << c.what;
            EXPECT_LT(largest, AllocationBound) << c.what;
        }
    }
}

TEST(ArchiveReader, RefusesFilesShorterThanAHeaderWord) {
    for (const std::string bytes : {"", "S", "SR", "SRY"}) {
        for (const bool verify : {true, false}) {
            std::size_t largest = 0;
            EXPECT_FALSE(readWatched(bytes, verify, largest)) << '"' << bytes << '"';
        }
    }
}

// Every cut: inside the table both reads refuse it, after it only the trailing digest betrays the
// loss.
TEST(ArchiveReader, RefusesEveryTruncation) {
    const ArchiveImage image = qzb::test::makeArchive(qzb::test::sweepFiles());
    const std::string bytes = image.serialize();
    for (const std::size_t length : qzb::test::cutLengths(image, true)) {
        const std::string cut = bytes.substr(0, length);
        std::size_t largest = 0;
        EXPECT_FALSE(readWatched(cut, true, largest)) << length;
        if (length < image.tocSize) {
            EXPECT_FALSE(readWatched(cut, false, largest)) << length << ", without checks";
        }
        EXPECT_LT(largest, AllocationBound) << length;
    }
}

// A table cut short whose tocSize claims just the bytes present, alone and followed by a
// digest that matches them: only the reads running out betray it.
TEST(ArchiveReader, RefusesTruncationWithConsistentTocSize) {
    const ArchiveImage image = brokenBase();
    const std::string bytes = image.serialize();
    for (std::size_t length = 8; length < image.tocSize; ++length) {
        std::string cut = bytes.substr(0, length);
        qzb::storeLe32(reinterpret_cast<unsigned char*>(cut.data()) + 4,
                       static_cast<std::uint32_t>(length));
        const qzb::Md5 digest = digestOf(cut);
        const std::string withDigest = cut + std::string(digest.begin(), digest.end());
        for (const bool verify : {true, false}) {
            std::size_t largest = 0;
            EXPECT_FALSE(readWatched(cut, verify, largest)) << length;
            EXPECT_FALSE(readWatched(withDigest, verify, largest)) << length << " with digest";
            EXPECT_LT(largest, AllocationBound) << length;
        }
    }
}

} // namespace
