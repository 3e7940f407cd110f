#include "testkit/hostile_archives.h"

#include <algorithm>
#include <cstdint>
#include <functional>

#include "archive/format.h"
#include "testkit/content.h"

namespace qzb::test {
namespace {

std::uint32_t storedLength(std::uint16_t tableValue) {
    return tableValue == 0 ? BlockSize : tableValue;
}

// Replaces the stored form of the archive's last block, which ends the data area.
void replaceLastBlock(ArchiveImage& image, const std::string& stored) {
    const std::size_t start = image.data.size() - storedLength(image.blockSizes.back());
    image.data = image.data.substr(0, start) + stored;
    image.blockSizes.back() =
        static_cast<std::uint16_t>(stored.size() == BlockSize ? 0 : stored.size());
}

template <typename Change> ArchiveImage changed(const std::vector<FileSpec>& files, Change change) {
    ArchiveImage image = makeArchive(files);
    change(image);
    return image;
}

} // namespace

std::vector<HugeClaim> hugeClaims() {
    const std::vector<FileSpec> two = {
        {"first.txt", "first"}, {"second.bin", compressibleText(70000, "second"), BlockMode::Zlib}};
    const std::uint64_t top = ~std::uint64_t{0};
    using Image = ArchiveImage&;
    const auto claim = [&](const char* what, bool readerRefuses, auto change) {
        return HugeClaim{what, changed(two, change), readerRefuses};
    };
    const auto claimEmpty = [](const char* what, auto change) {
        return HugeClaim{what, changed({}, change), true};
    };
    return {
        claim("entryCount 0xFFFFFFFF", true, [](Image a) { a.entryCount = 0xFFFFFFFF; }),
        claim("tocSize 0xFFFFFFFF", true, [](Image a) { a.tocSize = 0xFFFFFFFF; }),
        claim("nameTableSize 0", true, [](Image a) { a.nameTableSize = 0; }),
        claim("nameTableSize 1", true, [](Image a) { a.nameTableSize = 1; }),
        claim("nameTableSize 2", true, [](Image a) { a.nameTableSize = 2; }),
        claim("nameTableSize 3", true, [](Image a) { a.nameTableSize = 3; }),
        claim("nameTableSize 0x7FFFFFFF", true, [](Image a) { a.nameTableSize = 0x7FFFFFFF; }),
        claim("nameTableSize 0xFFFFFFFF", true, [](Image a) { a.nameTableSize = 0xFFFFFFFF; }),
        claimEmpty("empty: nameTableSize 0", [](Image a) { a.nameTableSize = 0; }),
        claimEmpty("empty: nameTableSize 0xFFFFFFFF",
                   [](Image a) { a.nameTableSize = 0xFFFFFFFF; }),
        claimEmpty("empty: entryCount 0xFFFFFFFF", [](Image a) { a.entryCount = 0xFFFFFFFF; }),
        claimEmpty("empty: tocSize 0xFFFFFFFF", [](Image a) { a.tocSize = 0xFFFFFFFF; }),
        claimEmpty("empty: entryCount and tocSize 0xFFFFFFFF",
                   [](Image a) { a.entryCount = a.tocSize = 0xFFFFFFFF; }),
        claim("originalSize 2^64-1", true, [&](Image a) { a.entries[1].originalSize = top; }),
        claim("originalSize 2^64-6", true, [&](Image a) { a.entries[1].originalSize = top - 5; }),
        claim("originalSize 2^64-65536", true,
              [&](Image a) { a.entries[1].originalSize = top - 65535; }),
        claim("originalSize 2^63", true, [](Image a) { a.entries[1].originalSize = 1ull << 63; }),
        // 2^32 blocks more than the table holds: a 32-bit sum sees the table's own length.
        claim("block count sum wraps 32 bits", true,
              [](Image a) { a.entries[1].originalSize += 1ull << 48; }),
        claim("block count sums of two entries wrap 32 bits", true,
              [](Image a) {
                  a.entries[0].originalSize += 1ull << 47;
                  a.entries[1].originalSize += 1ull << 47;
              }),
        claim("dataOffset past the end", false,
              [](Image a) { a.entries[1].dataOffset += 1 << 20; }),
        claim("dataOffset 2^63", false, [](Image a) { a.entries[1].dataOffset = 1ull << 63; }),
        claim("dataOffset 2^64-1", false, [&](Image a) { a.entries[1].dataOffset = top; }),
        claim("firstBlock past the table", false,
              [](Image a) {
                  a.entries[1].firstBlock = static_cast<std::uint32_t>(a.blockSizes.size());
              }),
        claim("firstBlock 0xFFFFFFFF", false,
              [](Image a) { a.entries[1].firstBlock = 0xFFFFFFFF; }),
    };
}

std::vector<BadEntry> badEntries() {
    const std::vector<FileSpec> raw = {
        {GoodEntryName, GoodEntryContent},
        {BadEntryName, incompressibleBytes(BlockSize + 10, 3), BlockMode::Raw}};
    // Three zlib blocks, the last of 1000 bytes.
    const std::string content = compressibleText(2 * BlockSize + 1000, "bad");
    const std::string last = content.substr(2 * BlockSize);
    const std::vector<FileSpec> zlib = {{GoodEntryName, GoodEntryContent},
                                        {BadEntryName, content, BlockMode::Zlib}};
    using Image = ArchiveImage&;
    return {
        {"firstBlock past the table",
         changed(raw,
                 [](Image a) {
                     a.entries[1].firstBlock = static_cast<std::uint32_t>(a.blockSizes.size());
                 })},
        {"last block past the table",
         changed(raw,
                 [](Image a) {
                     a.entries[1].firstBlock = static_cast<std::uint32_t>(a.blockSizes.size()) - 1;
                 })},
        {"firstBlock wrapping 32 bits",
         changed(raw, [](Image a) { a.entries[1].firstBlock = 0xFFFFFFFF; })},
        {"dataOffset past the file",
         changed(raw, [](Image a) { a.entries[1].dataOffset += 1u << 20; })},
        {"dataOffset 2^40",
         changed(zlib, [](Image a) { a.entries[1].dataOffset = std::uint64_t{1} << 40; })},
        {"dataOffset 2^64-1",
         changed(raw, [](Image a) { a.entries[1].dataOffset = ~std::uint64_t{0}; })},
        {"data cut inside a raw block",
         changed(raw, [](Image a) { a.truncateTo = a.tocSize + a.data.size() - 1; })},
        {"zlib data cut in the first block",
         changed(zlib, [](Image a) { a.truncateTo = a.entries[1].dataOffset + 10; })},
        {"zlib data cut in the last block",
         changed(zlib, [](Image a) { a.data.resize(a.data.size() - 30); })},
        {"corrupt deflate data", changed(zlib, [](Image a) { a.data[a.data.size() - 5] ^= 0x55; })},
        {"last block inflating one byte long",
         changed(zlib, [&](Image a) { replaceLastBlock(a, zlibStream(last + "a")); })},
        {"last block inflating one byte short",
         changed(zlib, [&](Image a) { replaceLastBlock(a, zlibStream(last.substr(1))); })},
        {"originalSize one more: the stream inflates short",
         changed(zlib, [](Image a) { a.entries[1].originalSize += 1; })},
        {"originalSize one less: the stream inflates long",
         changed(zlib, [](Image a) { a.entries[1].originalSize -= 1; })},
        {"zlib stream with a bad checksum", changed(zlib,
                                                    [&](Image a) {
                                                        std::string stream = zlibStream(last);
                                                        stream.back() ^= 1;
                                                        replaceLastBlock(a, stream);
                                                    })},
        {"zlib stream that is not zlib",
         changed(zlib, [](Image a) { replaceLastBlock(a, std::string(20, '\xFF')); })},
    };
}

const std::vector<FileSpec>& sweepFiles() {
    static const std::vector<FileSpec> files = {
        {"docs/readme.txt", "Unpack me, then read me.\n", BlockMode::Raw},
        {"data/blocks.bin", compressibleText(2 * 65536 + 300, "blocks"), BlockMode::Zlib},
        {"empty.txt", "", BlockMode::Auto},
        {"a\\b\\notes.txt", compressibleText(900, "notes"), BlockMode::Zlib},
        {"data/tail.bin", "0123456789", BlockMode::Raw},
    };
    return files;
}

std::vector<std::vector<StoredBlock>> storedBlocks(const ArchiveImage& image) {
    std::vector<std::vector<StoredBlock>> result;
    for (const EntryRecord& entry : image.entries) {
        std::vector<StoredBlock> blocks;
        // Block lengths are worked out here, not with the library's helpers, so a fault there
        // cannot hide itself.
        std::uint64_t offset = entry.dataOffset;
        for (std::uint64_t done = 0, k = 0; done < entry.originalSize; done += BlockSize, ++k) {
            const std::uint32_t stored = storedLength(image.blockSizes[entry.firstBlock + k]);
            const auto length = static_cast<std::uint32_t>(
                std::min<std::uint64_t>(BlockSize, entry.originalSize - done));
            blocks.push_back({offset, stored, length});
            offset += stored;
        }
        result.push_back(blocks);
    }
    return result;
}

std::uint64_t dataEnd(const std::vector<StoredBlock>& blocks) {
    return blocks.empty() ? 0 : blocks.back().offset + blocks.back().stored;
}

std::vector<std::size_t> cutLengths(const ArchiveImage& image, bool everyLength) {
    const std::size_t size = image.serialize().size();
    std::vector<std::size_t> lengths;
    if (everyLength) {
        for (std::size_t length = 0; length < size; ++length) {
            lengths.push_back(length);
        }
        return lengths;
    }
    lengths = {0, 3, 16, image.tocSize - 1u, image.tocSize, size - 16, size - 1};
    for (const std::vector<StoredBlock>& entry : storedBlocks(image)) {
        if (!entry.empty()) {
            lengths.push_back(entry.front().offset + entry.front().stored / 2);
            lengths.push_back(dataEnd(entry));
        }
    }
    return lengths;
}

} // namespace qzb::test
