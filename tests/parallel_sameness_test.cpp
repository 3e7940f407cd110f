// The differential harness: every hostile archive, every cut and every one-byte change of the
// sweep archive, and sampled changes of an archive of many small entries, each unpacked in-process
// on one thread and on several; the report, the error line, the status and the tree left behind
// must be the same.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/resource.h>
#endif

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "app/console.h"
#include "app/run.h"
#include "testkit/archive_writer.h"
#include "testkit/content.h"
#include "testkit/hostile_archives.h"
#include "testkit/scratch_files.h"

namespace qzb::test {
namespace {

namespace fs = std::filesystem;

#ifdef _WIN32
// Under Wine a run costs many times what it does natively: a sample of the sweeps keeps each test
// within the suite's time limit there.
constexpr std::size_t SweepStride = 16;
constexpr int ChangeSamples = 2;
constexpr bool FileSizeLimits = false;
struct FileSizeLimit {
    FileSizeLimit(std::uint64_t, std::uint64_t) {}
};
#else
constexpr std::size_t SweepStride = 1;
constexpr int ChangeSamples = 16;
constexpr bool FileSizeLimits = true;
// While it lives, a write past `bytes` (0: no limit) fails instead of killing the process, as a
// write to a full disk fails, and so does opening more than `descriptors` (0: no limit).
class FileSizeLimit {
public:
    FileSizeLimit(std::uint64_t bytes, std::uint64_t descriptors)
        : active_(bytes != 0), descriptors_(descriptors != 0) {
        if (active_) {
            getrlimit(RLIMIT_FSIZE, &previous_);
            handler_ = std::signal(SIGXFSZ, SIG_IGN);
            const rlimit limit{static_cast<rlim_t>(bytes), previous_.rlim_max};
            setrlimit(RLIMIT_FSIZE, &limit);
        }
        if (descriptors_) {
            getrlimit(RLIMIT_NOFILE, &previousFiles_);
            const rlimit limit{static_cast<rlim_t>(descriptors), previousFiles_.rlim_max};
            setrlimit(RLIMIT_NOFILE, &limit);
        }
    }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;
    ~FileSizeLimit() {
        if (descriptors_) {
            setrlimit(RLIMIT_NOFILE, &previousFiles_);
        }
        if (active_) {
            setrlimit(RLIMIT_FSIZE, &previous_);
            std::signal(SIGXFSZ, handler_);
        }
    }

private:
    bool active_;
    bool descriptors_;
    rlimit previous_{};
    rlimit previousFiles_{};
    void (*handler_)(int) = SIG_DFL;
};
#endif

// Two workers, and more workers than the sweep archive has blocks.
constexpr unsigned ThreadCounts[] = {2, 5};

struct Result {
    int status;
    std::string out;
    std::string err;
    // Relative path: "dir" for a directory, else the file's content.
    std::map<std::string, std::string> tree;

    bool operator==(const Result&) const = default;
};

// Entries of 0 to 40 bytes, one in seven several blocks long, in a few directories: slots of many
// blocks and a ring that wraps many times.
std::vector<FileSpec> manySmallFiles() {
    std::vector<FileSpec> files;
    for (int i = 0; i < 600; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "d%d/f%d", i % 7, i);
        const std::size_t length =
            i % 7 == 3 ? 65536 * 2 + static_cast<std::size_t>(i) : static_cast<std::size_t>(i % 41);
        files.push_back(
            {name, compressibleText(length, name), i % 5 == 0 ? BlockMode::Raw : BlockMode::Auto});
    }
    return files;
}

class ParallelSameness : public ::testing::Test {
protected:
    // On a tmpfs where the system has one: each case makes and deletes its tree three times.
    void SetUp() override {
        const fs::path shm = "/dev/shm";
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        root_ = scratchDirectory(std::string("sameness-") + info->name(),
                                 fs::is_directory(shm) ? shm : fs::temp_directory_path());
        fs::remove_all(root_);
        fs::create_directories(root_);
    }

    const fs::path& root() const { return root_; }
    fs::path target() const { return root_ / "out"; }

    // Unpacks `bytes` into "out", made afresh with `existing` in it, and answers what was seen.
    Result unpack(const std::string& bytes, const std::vector<std::string>& options,
                  const std::vector<std::string>& existing, unsigned threads) {
        fs::remove_all(target());
        fs::create_directories(target());
        for (const std::string& path : existing) {
            fs::create_directories((target() / path).parent_path());
            writeFile(target() / path, "was here");
        }
        writeFile(root_ / "a.qzb", bytes);
        const FileHandle out = temporaryFile();
        const FileHandle err = temporaryFile();
        Console console(out.get(), err.get(), false);
        std::vector<std::string> arguments = {"a.qzb", "out"};
        arguments.insert(arguments.end(), options.begin(), options.end());
        const fs::path start = fs::current_path();
        fs::current_path(root());
        int status = 0;
        {
            const FileSizeLimit limit(fileSizeLimit_, descriptorLimit_);
            status = run(arguments, console, threads);
        }
        fs::current_path(start);
        Result result{status, contentOf(out.get()), contentOf(err.get()), {}};
        for (const fs::directory_entry& entry : fs::recursive_directory_iterator(target())) {
            const std::string path = fs::relative(entry.path(), target()).generic_string();
            result.tree[path] = entry.is_directory() ? "dir" : readFile(entry.path());
        }
        return result;
    }

    // One case: the sequential run against each parallel one. Answers the sequential run's.
    Result same(const std::string& what, const std::string& bytes,
                const std::vector<std::string>& options = {"/s"},
                const std::vector<std::string>& existing = {}) {
        ++cases_;
        const Result sequential = unpack(bytes, options, existing, 1);
        for (const unsigned threads : ThreadCounts) {
            const Result parallel = unpack(bytes, options, existing, threads);
            EXPECT_TRUE(parallel == sequential)
                << what << ", " << threads << " threads: status " << parallel.status << " vs "
                << sequential.status << "\n"
                << parallel.out << parallel.err << "--- sequential:\n"
                << sequential.out << sequential.err;
        }
        return sequential;
    }

    void TearDown() override {
        RecordProperty("cases", std::to_string(cases_));
        std::cout << cases_ << " cases\n";
        if (!HasFailure()) {
            fs::remove_all(root_);
        }
    }

    fs::path root_;
    std::uint64_t fileSizeLimit_ = 0;
    std::uint64_t descriptorLimit_ = 0;
    int cases_ = 0;
};

TEST_F(ParallelSameness, HostileArchives) {
    for (const HugeClaim& claim : hugeClaims()) {
        same(claim.what, claim.image.serialize());
        same(claim.what + ", digests checked", claim.image.serialize(), {});
    }
    for (const BadEntry& bad : badEntries()) {
        const std::string bytes = bad.image.serialize();
        same(bad.what, bytes);
        // Skipped, the bad entry costs nothing; with /o it is decoded and fails the run.
        same(bad.what + ", bad entry's path taken", bytes, {"/s"}, {BadEntryName});
        same(bad.what + ", /o", bytes, {"/s", "/o"}, {GoodEntryName, BadEntryName});
    }
}

TEST_F(ParallelSameness, EveryCutAndByteChangeOfTheSweepArchive) {
    const ArchiveImage image = makeArchive(sweepFiles());
    const std::string bytes = image.serialize();
    for (const std::size_t length : cutLengths(image, SweepStride == 1)) {
        same("cut to " + std::to_string(length), bytes.substr(0, length));
    }
    for (std::size_t offset = 0; offset < bytes.size(); offset += SweepStride) {
        for (const unsigned char change : {0x01, 0x80, 0xFF}) {
            std::string changed = bytes;
            changed[offset] = static_cast<char>(changed[offset] ^ change);
            same("offset " + std::to_string(offset) + " xor " + std::to_string(change), changed);
        }
    }
}

TEST_F(ParallelSameness, ManySmallEntriesChangedCutAndPartlyPresent) {
    const std::vector<FileSpec> files = manySmallFiles();
    const ArchiveImage image = makeArchive(files);
    const std::string bytes = image.serialize();
    same("intact", bytes);
    same("four entries present", bytes, {"/s"}, {"d0/f0", "d3/f3", "d6/f6", "d1/f596"});
    if (FileSizeLimits) {
        // Files made ahead that cannot be made or written: too few descriptors for them, or a
        // limit that the later, longer small entries cross.
        descriptorLimit_ = 40;
        same("40 descriptors", bytes);
        descriptorLimit_ = 0;
        fileSizeLimit_ = 30;
        EXPECT_EQ(same("a file size limit of 30 bytes", bytes).status, 1);
        fileSizeLimit_ = 0;
    }
    std::mt19937 random(17);
    std::uniform_int_distribution<std::size_t> data(image.tocSize, bytes.size() - 17);
    for (int sample = 0; sample < ChangeSamples; ++sample) {
        const std::size_t offset = data(random);
        std::string changed = bytes;
        changed[offset] = static_cast<char>(changed[offset] ^ 0x55);
        same("offset " + std::to_string(offset), changed);
        same("cut to " + std::to_string(offset), bytes.substr(0, offset));
    }
}

// A disk that fills up fails the entry whose write crosses the limit, also when a later block of
// that entry cannot be inflated and the workers reached that block first.
TEST_F(ParallelSameness, AWriteFailureFailsTheSameEntry) {
    if (!FileSizeLimits) {
        GTEST_SKIP() << "no file size limit on Windows to provoke a failing write";
    }
    const ArchiveImage image = makeArchive(
        {{"small", "fits"}, {"dir/large", compressibleText(6 * 65536, "large")}, {"after", "x"}});
    ArchiveImage corrupt = image;
    const StoredBlock last = storedBlocks(image)[1].back();
    corrupt.data[last.offset + last.stored / 2 - image.tocSize] ^= 0x55;
    for (const std::uint64_t limit : {100000, 300000}) {
        fileSizeLimit_ = limit;
        for (const ArchiveImage& archive : {image, corrupt}) {
            const Result sequential = same("limit " + std::to_string(limit), archive.serialize());
            EXPECT_EQ(sequential.err, "  ERROR: Failed to write the destination file\n");
        }
    }
    fileSizeLimit_ = 0;
    EXPECT_EQ(same("no limit, a block corrupt", corrupt.serialize()).err,
              "  ERROR: The archive is invalid or corrupted\n");
}

} // namespace
} // namespace qzb::test
