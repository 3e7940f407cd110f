// Micro-benchmarks of the parts whose speed the tool's throughput rests on: MD5 against
// OpenSSL's, the table-of-contents reader on the 10^6-entry profile, and block decoding.
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <zlib.h>

#include "archive/archive.h"
#include "archive/block_decoder.h"
#include "bench/corpus.h"
#include "digest/md5.h"
#include "platform/archive_file.h"
#include "testkit/extract_entry.h"
#include "testkit/scratch_files.h"

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

// An archive in a scratch file that the page cache holds once written, so the reader's own work is
// what is timed; the file goes when the benchmark ends.
class ScratchArchive {
public:
    ScratchArchive(const std::string& name, const std::string& bytes)
        : path_(qzb::test::scratchDirectory("bench-" + name)) {
        qzb::test::writeFile(path_, bytes);
    }
    ScratchArchive(const ScratchArchive&) = delete;
    ScratchArchive& operator=(const ScratchArchive&) = delete;
    ~ScratchArchive() {
        std::error_code ignored;
        std::filesystem::remove(path_, ignored);
    }
    qzb::Archive open() const { return qzb::Archive(qzb::platform::ArchiveFile::open(path_)); }

private:
    std::filesystem::path path_;
};

const ScratchArchive& tinyArchive() {
    static const ScratchArchive archive(
        "tiny", qzb::test::buildArchive(qzb::bench::corpusFiles(qzb::bench::Profile::Tiny)));
    return archive;
}

void BM_ReadTableOfContents(benchmark::State& state) {
    const bool verify = state.range(0) != 0;
    const ScratchArchive& archive = tinyArchive();
    for (auto _ : state) {
        qzb::Archive toc = archive.open();
        if (toc.readTableOfContents(verify) != qzb::TableFault::None) {
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

const ScratchArchive& largeEntryArchive() {
    static const ScratchArchive archive(
        "large", qzb::test::buildArchive({{"large.txt", qzb::bench::textContent(LargeEntry, 9)}}));
    return archive;
}

void BM_ExtractLargeEntryToMemory(benchmark::State& state) {
    qzb::Archive toc = largeEntryArchive().open();
    if (toc.readTableOfContents(false) != qzb::TableFault::None) {
        state.SkipWithError("the archive does not read");
        return;
    }
    std::vector<char> output(LargeEntry);
    for (auto _ : state) {
        const File sink(fmemopen(output.data(), output.size(), "wb"));
        if (qzb::test::extractEntry(toc, 0, sink.get()) != qzb::test::ExtractResult::Done) {
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
