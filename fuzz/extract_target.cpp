// Reads arbitrary bytes as an archive and extracts every entry into a sink: the extractor, zlib
// decoding and the bounds of the block table on any input. An entry that extracts has exactly its
// originalSize bytes, came from bytes inside the input, and extracts the same way twice.
#include <cstdint>
#include <string_view>
#include <vector>

#include "archive/archive.h"
#include "digest/md5.h"
#include "fuzz/fuzz_support.h"
#include "testkit/extract_entry.h"

namespace {

// Entries may share blocks, so a small input can describe far more output than it holds; past
// this many decoded bytes per input the remaining entries are left alone to keep executions fast.
constexpr std::uint64_t OutputBudget = 16ull << 20;

struct Extraction {
    bool ok;
    std::uint64_t length;
    qzb::Md5 digest;
};

Extraction extract(const qzb::Archive& archive, std::size_t index) {
    using qzb::test::ExtractResult;
    qzb::fuzz::DigestSink sink;
    const ExtractResult result = qzb::test::extractEntry(archive, index, sink.get());
    // The sink takes every byte, so an entry either extracts or is corrupt.
    QZB_FUZZ_CHECK(result != ExtractResult::WriteFailed);
    const bool ok = result == ExtractResult::Done;
    return {ok, sink.length(), sink.digest()};
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > qzb::fuzz::MaxInputSize) {
        return 0;
    }
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    qzb::Archive archive(qzb::fuzz::openInput(input));
    if (archive.readTableOfContents(false) != qzb::TableFault::None) {
        return 0;
    }

    const std::vector<std::uint32_t>& blockSizes = archive.blockSizes();
    std::uint64_t budget = OutputBudget;
    for (std::size_t i = 0; i < archive.entryCount(); ++i) {
        const qzb::ArchiveEntry& entry = archive.entries()[i];
        if (entry.originalSize > budget / 2) {
            continue;
        }
        budget -= 2 * entry.originalSize;

        const Extraction first = extract(archive, i);
        const Extraction again = extract(archive, i);
        QZB_FUZZ_CHECK(first.ok == again.ok);

        const std::uint64_t blocks = entry.originalSize / 65536 + (entry.originalSize % 65536 != 0);
        const bool inTable =
            entry.firstBlock <= blockSizes.size() && blocks <= blockSizes.size() - entry.firstBlock;
        if (blocks == 0) {
            QZB_FUZZ_CHECK(first.ok && first.length == 0);
            continue;
        }
        if (!inTable) {
            QZB_FUZZ_CHECK(!first.ok);
            continue;
        }

        bool raw = true;
        std::uint64_t stored = 0;
        for (std::uint64_t k = 0; k < blocks; ++k) {
            const std::uint32_t length = blockSizes[entry.firstBlock + k];
            const std::uint64_t expected = k + 1 < blocks ? 65536 : entry.originalSize - 65536 * k;
            raw = raw && length == expected;
            stored += length;
        }
        const bool inFile = entry.dataOffset <= size && stored <= size - entry.dataOffset;
        if (first.ok) {
            QZB_FUZZ_CHECK(inFile);
            QZB_FUZZ_CHECK(first.length == entry.originalSize);
            QZB_FUZZ_CHECK(first.digest == again.digest);
        }
        // Raw blocks are the content itself: nothing but their position decides the outcome.
        if (raw) {
            QZB_FUZZ_CHECK(first.ok == inFile);
            if (inFile) {
                QZB_FUZZ_CHECK(first.digest ==
                               qzb::md5Digest(data + entry.dataOffset, entry.originalSize));
            }
        }
    }
    return 0;
}
