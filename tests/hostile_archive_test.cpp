// Hostile archives: every truncation and every one-byte change of a valid archive's table of
// contents, changes at sampled offsets of its data, and headers that claim huge sizes. The
// library runs in process for the full sweeps; the executable runs a representative subset and
// must end with status 0 or 1, leaving each entry's exact content or nothing, and no other file.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "archive/archive.h"
#include "digest/md5.h"
#include "testkit/archive_writer.h"
#include "testkit/content.h"
#include "testkit/extract_entry.h"
#include "testkit/hostile_archives.h"
#include "testkit/scratch_files.h"
#include "tests/support/run_process.h"
#include "tests/support/unpack_fixture.h"

#if defined(__SANITIZE_ADDRESS__)
#define QZB_UNDER_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QZB_UNDER_ASAN 1
#endif
#endif

namespace qzb::test {
namespace {

namespace fs = std::filesystem;

const std::string Invalid = "  ERROR: The archive is invalid or corrupted\n";

const std::vector<FileSpec>& SmallFiles = sweepFiles();

// A raw entry with a full non-final block, for sampled changes in a larger data area.
const std::vector<FileSpec> LargeFiles = {
    {"big/raw.bin", compressibleText(2 * 65536 + 500, "raw"), BlockMode::Raw},
    {"big/zlib.bin", compressibleText(3 * 65536 + 7, "zlib"), BlockMode::Zlib},
    {"small.txt", "small", BlockMode::Raw},
};

// Counted here, not with the library's helper, so a fault there cannot hide itself.
std::uint64_t blocksOf(std::uint64_t size) {
    return (size + 65535) / 65536;
}

// What the library makes of an archive: its entries as read, each extracted on its own.
struct EntryOutcome {
    std::string name;
    std::optional<std::string> content;
};

struct Outcome {
    bool read = false;
    std::vector<EntryOutcome> entries;
};

// Entries go one after another into a single scratch file: a file per entry would cost more than
// the extraction itself.
Outcome unpackInProcess(std::string_view bytes, bool verifyChecksums) {
    Archive archive(archiveFile(bytes));
    Outcome outcome;
    outcome.read = archive.readTableOfContents(verifyChecksums) == TableFault::None;
    if (!outcome.read) {
        return outcome;
    }
    const FileHandle output = temporaryFile();
    std::vector<std::optional<std::pair<long, long>>> spans;
    for (std::size_t i = 0; i < archive.entryCount(); ++i) {
        const long start = std::ftell(output.get());
        const bool extracted = extractEntry(archive, i, output.get()) == ExtractResult::Done;
        spans.push_back(extracted ? std::optional(std::pair(start, std::ftell(output.get())))
                                  : std::nullopt);
    }
    const std::string written = contentOf(output.get());
    for (std::size_t i = 0; i < archive.entryCount(); ++i) {
        EntryOutcome entry{archive.entryName(i), std::nullopt};
        if (spans[i]) {
            entry.content =
                written.substr(static_cast<std::size_t>(spans[i]->first),
                               static_cast<std::size_t>(spans[i]->second - spans[i]->first));
        }
        outcome.entries.push_back(std::move(entry));
    }
    return outcome;
}

// What a damaged archive may still yield for one entry.
enum class Must {
    Exact,        // extracts, under its own name, with the expected content
    ExactOrFail,  // under its own name; the expected content if it extracts at all
    ExactContent, // extracts with the expected content; its name may have changed
    Anything,     // its own record changed: whatever that record now says
};

struct EntryRule {
    Must must;
    std::string content;
};

enum class Read { Refused, Accepted, Either };

struct Expectation {
    Read read;
    std::vector<EntryRule> entries;
};

Expectation allExact(const std::vector<FileSpec>& files, Read read = Read::Accepted) {
    Expectation expectation{read, {}};
    for (const FileSpec& file : files) {
        expectation.entries.push_back({Must::Exact, file.content});
    }
    return expectation;
}

void expectOutcome(const Outcome& outcome, const Expectation& expectation,
                   const std::vector<FileSpec>& files) {
    if (expectation.read != Read::Either) {
        ASSERT_EQ(outcome.read, expectation.read == Read::Accepted);
    }
    if (!outcome.read) {
        return;
    }
    ASSERT_EQ(outcome.entries.size(), files.size());
    for (std::size_t i = 0; i < files.size(); ++i) {
        const EntryRule& rule = expectation.entries[i];
        const EntryOutcome& entry = outcome.entries[i];
        if (rule.must == Must::Exact || rule.must == Must::ExactOrFail) {
            EXPECT_EQ(entry.name, files[i].name) << "entry " << i;
        }
        if (rule.must == Must::Exact || rule.must == Must::ExactContent) {
            EXPECT_TRUE(entry.content.has_value()) << "entry " << i;
        }
        if (rule.must != Must::Anything && entry.content) {
            EXPECT_TRUE(*entry.content == rule.content) << "entry " << i;
        }
    }
}

// The table-of-contents field a byte belongs to, and the entry it describes.
enum class Field {
    Magic,
    TocSize,
    EntryCount,
    HeaderReserved,
    NameDigest,
    FirstBlock,
    EntryReserved,
    OriginalSize,
    DataOffset,
    NameOffset,
    NameTableSize,
    NameByte,
    BlockSize,
};

struct TocByte {
    Field field;
    std::size_t entry = 0;
};

TocByte classify(const ArchiveImage& image, std::uint64_t offset) {
    const std::uint64_t count = image.entries.size();
    const std::uint64_t entryTable = 16 + 16 * count;
    const std::uint64_t nameTable = entryTable + 32 * count;
    const std::uint64_t body = nameTable + 4;
    const std::uint64_t blockTable = body + image.nameBody.size();
    if (offset < 16) {
        constexpr Field header[] = {Field::Magic, Field::TocSize, Field::EntryCount,
                                    Field::HeaderReserved};
        return {header[offset / 4]};
    }
    if (offset < entryTable) {
        return {Field::NameDigest, static_cast<std::size_t>((offset - 16) / 16)};
    }
    if (offset < nameTable) {
        const std::uint64_t within = (offset - entryTable) % 32;
        const auto entry = static_cast<std::size_t>((offset - entryTable) / 32);
        const Field field = within < 4    ? Field::FirstBlock
                            : within < 8  ? Field::EntryReserved
                            : within < 16 ? Field::OriginalSize
                            : within < 24 ? Field::DataOffset
                                          : Field::NameOffset;
        return {field, entry};
    }
    if (offset < body) {
        return {Field::NameTableSize};
    }
    if (offset < blockTable) {
        std::size_t entry = 0;
        for (std::size_t i = 0; i < count; ++i) {
            if (image.entries[i].nameOffset <= offset - body) {
                entry = i;
            }
        }
        return {Field::NameByte, entry};
    }
    const std::uint64_t block = (offset - blockTable) / 2;
    std::size_t entry = 0;
    for (std::size_t i = 0; i < count; ++i) {
        if (image.entries[i].firstBlock <= block && blocksOf(image.entries[i].originalSize) > 0) {
            entry = i;
        }
    }
    return {Field::BlockSize, entry};
}

// What a one-byte change in the table may do when digests are not checked.
Expectation afterTocChange(const TocByte& byte, const std::vector<FileSpec>& files) {
    Expectation expectation = allExact(files);
    EntryRule& changed = expectation.entries[byte.entry];
    switch (byte.field) {
    case Field::Magic:
    case Field::TocSize:
    case Field::EntryCount:
    case Field::NameTableSize:
        expectation.read = Read::Refused;
        break;
    case Field::HeaderReserved:
    case Field::NameDigest:
    case Field::EntryReserved:
        break;
    case Field::NameByte:
        // A changed last terminator leaves the last name without one.
        expectation.read = Read::Either;
        changed.must = Must::ExactContent;
        break;
    case Field::BlockSize:
        changed.must = Must::ExactOrFail;
        break;
    case Field::FirstBlock:
    case Field::OriginalSize:
    case Field::DataOffset:
    case Field::NameOffset:
        expectation.read = Read::Either;
        changed.must = Must::Anything;
        break;
    }
    return expectation;
}

// What a one-byte change in the data area must do: a raw block is the content itself, a zlib
// block either still decodes to its content or fails.
Expectation afterDataChange(const ArchiveImage& image, std::uint64_t offset, char changedTo,
                            const std::vector<FileSpec>& files) {
    Expectation expectation = allExact(files);
    const std::vector<std::vector<StoredBlock>> blocks = storedBlocks(image);
    for (std::size_t i = 0; i < blocks.size(); ++i) {
        for (std::size_t k = 0; k < blocks[i].size(); ++k) {
            const StoredBlock& block = blocks[i][k];
            if (offset < block.offset || offset >= block.offset + block.stored) {
                continue;
            }
            if (block.stored == block.length) {
                expectation.entries[i].content[65536 * k + (offset - block.offset)] = changedTo;
            } else {
                expectation.entries[i].must = Must::ExactOrFail;
            }
        }
    }
    return expectation;
}

constexpr unsigned char Changes[] = {0x01, 0x80, 0xFF};

TEST(HostileArchive, EveryTruncationFailsCleanlyOrKeepsWholeEntries) {
    const ArchiveImage image = makeArchive(SmallFiles);
    const std::string bytes = image.serialize();
    const std::vector<std::vector<StoredBlock>> blocks = storedBlocks(image);
    for (const std::size_t length : cutLengths(image, true)) {
        SCOPED_TRACE("cut to " + std::to_string(length) + " bytes");
        const std::string cut = bytes.substr(0, length);
        // The last 16 bytes of a cut file are not the table's digest.
        EXPECT_FALSE(unpackInProcess(cut, true).read);

        Expectation expectation =
            allExact(SmallFiles, length >= image.tocSize ? Read::Accepted : Read::Refused);
        for (std::size_t i = 0; i < blocks.size(); ++i) {
            if (dataEnd(blocks[i]) > length) {
                expectation.entries[i].must = Must::ExactOrFail;
            }
        }
        const Outcome outcome = unpackInProcess(cut, false);
        expectOutcome(outcome, expectation, SmallFiles);
        for (std::size_t i = 0; i < outcome.entries.size(); ++i) {
            EXPECT_EQ(outcome.entries[i].content.has_value(), dataEnd(blocks[i]) <= length) << i;
        }
    }
}

TEST(HostileArchive, EveryTableByteChangeIsCaughtOrHarmless) {
    const ArchiveImage image = makeArchive(SmallFiles);
    const std::string bytes = image.serialize();
    for (std::uint64_t offset = 0; offset < image.tocSize; ++offset) {
        const TocByte byte = classify(image, offset);
        for (const unsigned char change : Changes) {
            SCOPED_TRACE("offset " + std::to_string(offset) + " xor " + std::to_string(change));
            std::string changed = bytes;
            changed[offset] = static_cast<char>(changed[offset] ^ change);
            // The trailing digest covers every byte of the table.
            EXPECT_FALSE(unpackInProcess(changed, true).read);
            expectOutcome(unpackInProcess(changed, false), afterTocChange(byte, SmallFiles),
                          SmallFiles);
        }
    }
}

TEST(HostileArchive, EveryDataByteChangeIsCaughtOrExact) {
    const ArchiveImage image = makeArchive(SmallFiles);
    const std::string bytes = image.serialize();
    for (std::uint64_t offset = image.tocSize; offset < bytes.size(); ++offset) {
        for (const unsigned char change : Changes) {
            SCOPED_TRACE("offset " + std::to_string(offset) + " xor " + std::to_string(change));
            std::string changed = bytes;
            changed[offset] = static_cast<char>(changed[offset] ^ change);
            const bool inDigest = offset >= bytes.size() - 16;
            const Expectation expectation =
                afterDataChange(image, offset, changed[offset], SmallFiles);
            expectOutcome(unpackInProcess(changed, false), expectation, SmallFiles);
            if (inDigest) {
                EXPECT_FALSE(unpackInProcess(changed, true).read);
            } else {
                expectOutcome(unpackInProcess(changed, true), expectation, SmallFiles);
            }
        }
    }
}

// The seed of the sampled sweeps is printed; QZB_SWEEP_SEED repeats a run.
std::uint32_t sweepSeed() {
    const char* fixed = std::getenv("QZB_SWEEP_SEED");
    const std::uint32_t seed =
        fixed != nullptr ? static_cast<std::uint32_t>(std::stoul(fixed)) : std::random_device{}();
    std::cout << "sweep seed " << seed << " (set QZB_SWEEP_SEED=" << seed << " to repeat)\n";
    ::testing::Test::RecordProperty("sweep_seed", std::to_string(seed));
    return seed;
}

TEST(HostileArchive, SampledChangesAndCutsOfALargerDataArea) {
    const ArchiveImage image = makeArchive(LargeFiles);
    const std::string bytes = image.serialize();
    const std::vector<std::vector<StoredBlock>> blocks = storedBlocks(image);
    std::mt19937 random(sweepSeed());
    std::uniform_int_distribution<std::uint64_t> anywhere(image.tocSize, bytes.size() - 17);
    for (int sample = 0; sample < 120; ++sample) {
        const std::uint64_t offset = anywhere(random);
        const unsigned char change = Changes[sample % 3];
        SCOPED_TRACE("offset " + std::to_string(offset) + " xor " + std::to_string(change));
        std::string changed = bytes;
        changed[offset] = static_cast<char>(changed[offset] ^ change);
        const Expectation expectation = afterDataChange(image, offset, changed[offset], LargeFiles);
        expectOutcome(unpackInProcess(changed, true), expectation, LargeFiles);

        const std::uint64_t length = anywhere(random);
        SCOPED_TRACE("cut to " + std::to_string(length) + " bytes");
        Expectation cutExpectation = allExact(LargeFiles);
        for (std::size_t i = 0; i < blocks.size(); ++i) {
            if (dataEnd(blocks[i]) > length) {
                cutExpectation.entries[i].must = Must::ExactOrFail;
            }
        }
        const Outcome cut = unpackInProcess(std::string_view(bytes).substr(0, length), false);
        expectOutcome(cut, cutExpectation, LargeFiles);
        for (std::size_t i = 0; i < blocks.size(); ++i) {
            EXPECT_EQ(cut.entries.at(i).content.has_value(), dataEnd(blocks[i]) <= length);
        }
    }
}

class HostileRun : public UnpackTest {
protected:
    // The tool's command line under a limit of 64 MiB of address space.
    static std::vector<std::string> limitedArguments(const std::vector<std::string>& arguments) {
        std::vector<std::string> limited = {"--as=" + std::to_string(64 << 20), QZB_UNPACK_EXE};
        limited.insert(limited.end(), arguments.begin(), arguments.end());
        return limited;
    }

    // Runs the tool on `bytes` in a directory of its own and checks what every run must leave:
    // status 0 or 1, one error line on failure, nothing beside the target directory, and in it
    // only files at entry paths holding what the library extracts for that name. Answers the
    // exit status.
    int runChecked(const std::string& bytes, bool skipChecks) {
        const fs::path directory = root() / ("case-" + std::to_string(runs_++));
        fs::create_directories(directory);
        writeFile(directory / "a.qzb", bytes);
        std::vector<std::string> arguments = {"a.qzb", "out"};
        if (skipChecks) {
            arguments.push_back("/s");
        }
        ProcessOptions options;
        options.workingDirectory = directory;
        options.timeout = std::chrono::seconds(20);
        const ProcessResult result = runProcess(QZB_UNPACK_EXE, arguments, options);
        EXPECT_FALSE(result.timedOut);
        EXPECT_TRUE(result.exited()) << "signal " << result.termSignal.value_or(0);
        EXPECT_TRUE(result.exitCode == 0 || result.exitCode == 1) << result.exitCode;
        if (result.exitCode == 0) {
            EXPECT_EQ(result.err, "");
        } else {
            EXPECT_EQ(result.err.rfind("  ERROR: ", 0), 0u) << result.err;
            EXPECT_EQ(result.err.find('\n'), result.err.size() - 1) << result.err;
        }

        std::map<std::string, std::vector<std::string>> possible;
        const Outcome outcome = unpackInProcess(bytes, !skipChecks);
        for (const EntryOutcome& entry : outcome.entries) {
            std::string path = entry.name;
            std::replace(path.begin(), path.end(), '\\', '/');
            if (entry.content) {
                possible[path].push_back(*entry.content);
            }
        }
        if (!outcome.read) {
            EXPECT_EQ(result.err, Invalid);
        }

        const std::map<std::string, std::string> beside = treeOf(directory);
        for (const auto& [path, content] : beside) {
            EXPECT_TRUE(path == "a.qzb" || path == "out" || path.rfind("out/", 0) == 0) << path;
        }
        for (const auto& [path, content] : treeOf(directory / "out")) {
            if (content == "<dir>") {
                continue;
            }
            const std::vector<std::string>& allowed = possible[path];
            EXPECT_NE(std::find(allowed.begin(), allowed.end(), content), allowed.end())
                << "unexpected file or content at " << path;
        }
        return result.exitCode;
    }

    // The run of an undamaged archive: every entry, exactly.
    void expectComplete(const std::vector<FileSpec>& files, const fs::path& out) {
        for (const FileSpec& file : files) {
            std::string path = file.name;
            std::replace(path.begin(), path.end(), '\\', '/');
            EXPECT_TRUE(fs::exists(out / path) && readFile(out / path) == file.content) << path;
        }
    }

    int runs_ = 0;
};

TEST_F(HostileRun, RepresentativeCutsAndChangesThroughTheTool) {
    const ArchiveImage image = makeArchive(SmallFiles);
    const std::string bytes = image.serialize();
    const std::vector<std::vector<StoredBlock>> blocks = storedBlocks(image);

    for (const std::size_t length : cutLengths(image, false)) {
        SCOPED_TRACE("cut to " + std::to_string(length) + " bytes");
        EXPECT_EQ(runChecked(bytes.substr(0, length), false), 1);
        runChecked(bytes.substr(0, length), true);
    }

    // One byte of every kind of field in the table, the first and last of each data block, and
    // the trailing digest.
    std::map<std::pair<Field, std::size_t>, std::uint64_t> oneOfEach;
    for (std::uint64_t offset = 0; offset < image.tocSize; ++offset) {
        const TocByte byte = classify(image, offset);
        oneOfEach.emplace(std::pair{byte.field, byte.entry}, offset);
    }
    std::vector<std::uint64_t> offsets;
    for (const auto& [field, offset] : oneOfEach) {
        offsets.push_back(offset);
    }
    for (const std::vector<StoredBlock>& entry : blocks) {
        for (const StoredBlock& block : entry) {
            offsets.push_back(block.offset);
            offsets.push_back(block.offset + block.stored - 1);
        }
    }
    offsets.push_back(bytes.size() - 1);
    for (const std::uint64_t offset : offsets) {
        SCOPED_TRACE("offset " + std::to_string(offset));
        std::string changed = bytes;
        changed[offset] = static_cast<char>(changed[offset] ^ 0x80);
        if (offset < image.tocSize) {
            EXPECT_EQ(runChecked(changed, false), 1);
        }
        runChecked(changed, true);
    }

    EXPECT_EQ(runChecked(bytes, false), 0);
    expectComplete(SmallFiles, root() / ("case-" + std::to_string(runs_ - 1)) / "out");
}

// Where the tool can run under an address-space limit far below what any claim asks for. A
// sanitizer's shadow memory cannot live under such a limit, and Windows has no such tool.
#if defined(QZB_UNDER_ASAN) || defined(_WIN32)
const char* const Prlimit = nullptr;
#else
const char* const Prlimit = "/usr/bin/prlimit";
#endif

// Every claim ends the run on its own, well within the runner's kill timeout, in 64 MiB of address
// space: refused before memory follows it, by the reader or the extractor.
TEST_F(HostileRun, HugeClaimsAreRefusedInLittleMemory) {
    const bool limited = Prlimit != nullptr && fs::exists(Prlimit);
    for (const HugeClaim& c : hugeClaims()) {
        const fs::path directory = root() / ("case-" + std::to_string(runs_++));
        fs::create_directories(directory);
        writeFile(directory / "a.qzb", c.image.serialize());
        for (const bool skipChecks : {false, true}) {
            SCOPED_TRACE(c.what + (skipChecks ? " /s" : ""));
            std::vector<std::string> arguments = {"a.qzb", "out"};
            if (skipChecks) {
                arguments.push_back("/s");
            }
            ProcessOptions options;
            options.workingDirectory = directory;
            options.timeout = std::chrono::seconds(10);
            const ProcessResult result =
                limited ? runProcess(Prlimit, limitedArguments(arguments), options)
                        : runProcess(QZB_UNPACK_EXE, arguments, options);
            EXPECT_FALSE(result.timedOut);
            EXPECT_EQ(result.exitCode, 1);
            EXPECT_EQ(result.err, Invalid);
            // The record of the second entry is what breaks: the first one stays or never starts.
            const std::map<std::string, std::string> tree = treeOf(directory / "out");
            EXPECT_TRUE(tree.empty() ||
                        tree == (std::map<std::string, std::string>{{"first.txt", "first"}}));
        }
    }
#if !defined(QZB_UNDER_ASAN) && !defined(_WIN32)
    // The outcomes above still count; only the memory limit is missing.
    if (!limited) {
        GTEST_SKIP() << Prlimit << " is missing: the claims ran without the memory limit";
    }
#endif
}

// `count` entries whose names all point into one name of `length` bytes, `element` repeated
// and then "x": with "./" each a different spelling of "x", with "d/" each at another depth. The
// last one is "x" itself.
ArchiveImage sharedLongName(std::size_t count, std::size_t length, const std::string& element) {
    std::vector<FileSpec> files(count, FileSpec{"x", "shared"});
    ArchiveImage image = makeArchive(files);
    std::string body;
    for (std::size_t i = 0; i < length / 2; ++i) {
        body += element;
    }
    body += std::string("x", 2);
    const std::uint64_t growth = body.size() - image.nameBody.size();
    image.nameBody = body;
    image.nameTableSize += static_cast<std::uint32_t>(growth);
    image.tocSize += static_cast<std::uint32_t>(growth);
    for (std::size_t i = 0; i < count; ++i) {
        EntryRecord& entry = image.entries[i];
        entry.dataOffset += growth;
        entry.nameOffset = i + 1 == count ? body.size() - 2 : 2 * (i * (length / 2) / count);
        const char* name = body.data() + entry.nameOffset;
        image.nameDigests[i] = md5Digest(name, std::strlen(name));
    }
    return image;
}

// Neither many spellings of one long name, nor many paths within it, nor a small stack need what
// the process lacks: memory follows the distinct paths, not the entries times their length.
TEST_F(HostileRun, SharedLongNamesAndASmallStackNeedLittle) {
    if (Prlimit == nullptr || !fs::exists(Prlimit)) {
        GTEST_SKIP() << "no prlimit here, or under a sanitizer";
    }
    const std::string memory = "--as=" + std::to_string(64 << 20);
    const ArchiveImage depths = sharedLongName(600, 1 << 20, "d/");
    const struct {
        std::string what;
        ArchiveImage image;
        std::vector<std::string> command;
        std::string out;
        std::map<std::string, std::string> tree;
    } cases[] = {
        {"200 entries in one 1 MB name",
         sharedLongName(200, 1 << 20, "./"),
         {memory, QZB_UNPACK_EXE, "a.qzb", "out"},
         "",
         {{"x", "shared"}}},
        {"a stack of 128 KiB",
         makeArchive({{"dir/file", compressibleText(200000)}}),
         {"--stack=131072", QZB_UNPACK_EXE, "a.qzb", "out"},
         "",
         {{"dir", "<dir>"}, {"dir/file", compressibleText(200000)}}},
        {"qzb test, 600 paths in one 1 MB name",
         depths,
         {memory, QZB_CLI_EXE, "test", "a.qzb"},
         "600 entries tested, 3600 bytes decoded: 0 failed, 0 warnings\n",
         {}},
        {"qzb cat, 600 paths in one 1 MB name",
         depths,
         {memory, QZB_CLI_EXE, "cat", "a.qzb", "x"},
         "shared",
         {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const fs::path directory = root() / ("case-" + std::to_string(runs_++));
        fs::create_directories(directory);
        writeFile(directory / "a.qzb", c.image.serialize());
        ProcessOptions options;
        options.workingDirectory = directory;
        const ProcessResult result = runProcess(Prlimit, c.command, options);
        EXPECT_EQ(result.exitCode, 0) << result.err;
        EXPECT_EQ(fs::exists(directory / "out") ? treeOf(directory / "out") : decltype(c.tree)(),
                  c.tree);
        if (c.tree.empty()) {
            EXPECT_EQ(result.out, c.out);
        }
    }
}

} // namespace
} // namespace qzb::test
