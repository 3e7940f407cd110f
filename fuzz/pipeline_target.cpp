// Reads arbitrary bytes as an archive and extracts its entries in table order, passing over some
// as a run passes over existing files: once on one thread and once through block pipelines of two
// and three workers. Every entry must get the same result and the same bytes, and the runs must
// stop at the same entry.
#include <cstdint>
#include <string_view>
#include <vector>

#include "archive/block_pipeline.h"
#include "digest/md5.h"
#include "fuzz/fuzz_support.h"

namespace {

// As in the extract target: entries may share blocks, so decoded bytes are bounded per input.
constexpr std::uint64_t OutputBudget = 16ull << 20;

struct Extraction {
    qzb::EntryFault fault;
    std::uint64_t block;
    std::uint64_t length;
    qzb::Md5 digest;

    bool operator==(const Extraction&) const = default;
};

std::vector<Extraction> extractAll(const qzb::Archive& archive, unsigned threads,
                                   const std::vector<std::size_t>& indices) {
    qzb::BlockPipeline pipeline(archive, threads);
    std::vector<Extraction> extractions;
    for (const std::size_t index : indices) {
        qzb::Md5Context context;
        qzb::md5Init(context);
        std::uint64_t length = 0;
        const qzb::DecodeOutcome outcome =
            pipeline.readEntry(index, [&](const unsigned char* bytes, std::size_t count) {
                qzb::md5Update(context, bytes, count);
                length += count;
                return true;
            });
        qzb::Md5 digest;
        qzb::md5Final(context, digest);
        extractions.push_back({outcome.fault, outcome.block, length, digest});
        if (outcome.fault != qzb::EntryFault::None) {
            break;
        }
    }
    return extractions;
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

    // Which entries are passed over follows the input's digest, so every input picks its own.
    const qzb::Md5 pick = qzb::md5Digest(data, size);
    std::vector<std::size_t> indices;
    std::uint64_t budget = OutputBudget;
    for (std::size_t i = 0; i < archive.entryCount(); ++i) {
        const std::uint64_t length = archive.entries()[i].originalSize;
        if (pick[i / 8 % pick.size()] >> (i % 8) & 1 || length > budget) {
            continue;
        }
        budget -= length;
        indices.push_back(i);
    }

    const std::vector<Extraction> sequential = extractAll(archive, 1, indices);
    for (const unsigned threads : {2u, 3u}) {
        QZB_FUZZ_CHECK(extractAll(archive, threads, indices) == sequential);
    }
    return 0;
}
