// Micro-benchmarks of the parts whose speed the tool's throughput rests on: MD5 against
// OpenSSL's, the table-of-contents reader on the 10^6-entry profile, and block decoding.
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <zlib.h>

#include "archive/archive.h"
#include "archive/block_decoder.h"
#include "bench/corpus.h"
#include "digest/md5.h"

namespace {

constexpr std::size_t DigestInput = 64u << 20;

const std::string& digestInput() {
    static const std::string input = qzb::bench::textContent(DigestInput, 7);
    return input;
}

void BM_Md5Ours(benchmark::State& state) {
    const std::string& input = digestInput();
    for (auto _ : state) {
        benchmark::DoNotOptimize(qzb::md5Digest(input.data(), input.size()));
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * input.size()));
}
BENCHMARK(BM_Md5Ours)->Unit(benchmark::kMillisecond);

void BM_Md5OpenSsl(benchmark::State& state) {
    const std::string& input = digestInput();
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    for (auto _ : state) {
        EVP_Digest(input.data(), input.size(), digest, &length, EVP_md5(), nullptr);
        benchmark::DoNotOptimize(digest);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * input.size()));
}
BENCHMARK(BM_Md5OpenSsl)->Unit(benchmark::kMillisecond);

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

// An archive held in memory and opened as a stream, so the reader's own work is what is timed.
class MemoryArchive {
public:
    explicit MemoryArchive(std::string bytes) : bytes_(std::move(bytes)) {}
    File open() { return File(fmemopen(bytes_.data(), bytes_.size(), "rb")); }
    std::size_t size() const { return bytes_.size(); }

private:
    std::string bytes_;
};

MemoryArchive& tinyArchive() {
    static MemoryArchive archive(
        qzb::test::buildArchive(qzb::bench::corpusFiles(qzb::bench::Profile::Tiny)));
    return archive;
}

void BM_ReadTableOfContents(benchmark::State& state) {
    const bool verify = state.range(0) != 0;
    MemoryArchive& archive = tinyArchive();
    for (auto _ : state) {
        const File file = archive.open();
        qzb::Archive toc;
        if (!toc.readTableOfContents(file.get(), verify)) {
            state.SkipWithError("the archive does not read");
            break;
        }
        benchmark::DoNotOptimize(toc.entryCount());
    }
}
BENCHMARK(BM_ReadTableOfContents)
    ->ArgName("verify")
    ->Arg(1)
    ->Arg(0)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// One text-like entry of 64 MiB: 1024 compressed blocks.
constexpr std::size_t LargeEntry = 64u << 20;

MemoryArchive& largeEntryArchive() {
    static MemoryArchive archive(
        qzb::test::buildArchive({{"large.txt", qzb::bench::textContent(LargeEntry, 9)}}));
    return archive;
}

void BM_ExtractLargeEntryToMemory(benchmark::State& state) {
    MemoryArchive& archive = largeEntryArchive();
    const File file = archive.open();
    qzb::Archive toc;
    if (!toc.readTableOfContents(file.get(), false)) {
        state.SkipWithError("the archive does not read");
        return;
    }
    std::vector<char> output(LargeEntry);
    for (auto _ : state) {
        const File sink(fmemopen(output.data(), output.size(), "wb"));
        if (toc.extractEntry(file.get(), sink.get(), 0) != qzb::ExtractResult::Done) {
            state.SkipWithError("the entry does not extract");
            break;
        }
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * LargeEntry));
}
BENCHMARK(BM_ExtractLargeEntryToMemory)->Unit(benchmark::kMillisecond)->UseRealTime();

// The stored blocks of the large entry, each with its expected length.
struct Blocks {
    std::vector<std::string> stored;
    std::vector<std::size_t> expected;
};

const Blocks& largeEntryBlocks() {
    static const Blocks blocks = [] {
        const qzb::test::ArchiveImage image =
            qzb::test::makeArchive({{"large.txt", qzb::bench::textContent(LargeEntry, 9)}});
        Blocks result;
        std::size_t offset = 0;
        for (std::size_t k = 0; k < image.blockSizes.size(); ++k) {
            const std::size_t stored =
                image.blockSizes[k] == 0 ? qzb::BlockSize : image.blockSizes[k];
            result.stored.push_back(image.data.substr(offset, stored));
            result.expected.push_back(qzb::blockLength(LargeEntry, k));
            offset += stored;
        }
        return result;
    }();
    return blocks;
}

template <typename Inflate> void inflateAll(benchmark::State& state, Inflate inflate) {
    const Blocks& blocks = largeEntryBlocks();
    std::vector<unsigned char> output(qzb::BlockSize);
    for (auto _ : state) {
        for (std::size_t k = 0; k < blocks.stored.size(); ++k) {
            const std::string& stored = blocks.stored[k];
            if (!inflate(reinterpret_cast<const unsigned char*>(stored.data()), stored.size(),
                         output.data(), blocks.expected[k])) {
                state.SkipWithError("a block does not inflate");
                return;
            }
        }
        benchmark::DoNotOptimize(output.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * LargeEntry));
}

// inflateBlock as built (libdeflate when found), against zlib's uncompress called directly.
void BM_InflateBlocks(benchmark::State& state) {
    inflateAll(state, qzb::inflateBlock);
}
BENCHMARK(BM_InflateBlocks)->Unit(benchmark::kMillisecond);

void BM_InflateBlocksZlib(benchmark::State& state) {
    inflateAll(state, [](const unsigned char* in, std::size_t inLength, unsigned char* out,
                         std::size_t expected) {
        uLongf produced = static_cast<uLongf>(expected);
        return uncompress(out, &produced, in, static_cast<uLong>(inLength)) == Z_OK &&
               produced == expected;
    });
}
BENCHMARK(BM_InflateBlocksZlib)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
