// The run from banner to exit status: usage, options, the report, and the failures before
// extraction.
#include <gtest/gtest.h>

#include "tests/support/unpack_fixture.h"

namespace qzb::test {
namespace {

namespace fs = std::filesystem;

const std::string Usage = "Usage:\n"
                          "  qzb-unpack <QZB filename> <target directory> [/s] [/o]\n"
                          "    Unpacks the contents of a QZB into the target directory.\n"
                          "    /s -- Skips checksum validation for faster performance.\n"
                          "    /o -- Causes the unpacker to _overwrite_ files that are\n"
                          "          already present in the destination directory.\n";

const std::string Invalid = "  ERROR: The archive is invalid or corrupted\n";

using RunTest = UnpackTest;

TEST_F(RunTest, FewerThanTwoArgumentsPrintUsageAndTouchNothing) {
    for (const std::vector<std::string>& arguments :
         {std::vector<std::string>{}, std::vector<std::string>{"a.qzb"}}) {
        const ProcessResult result = unpack(arguments);
        EXPECT_EQ(result.exitCode, 2);
        EXPECT_EQ(afterBanner(result.out), "");
        EXPECT_EQ(result.err, Usage);
        EXPECT_TRUE(fs::is_empty(root()));
    }
}

TEST_F(RunTest, ReportsTheSummaryOfAValidArchive) {
    // "abc" stays raw (3 of 3 bytes); 300 'x' compress.
    const ArchiveImage image = makeArchive({{"abc.txt", "abc"}, {"x.txt", std::string(300, 'x')}});
    const std::uint64_t stored = 3 + image.blockSizes[1];
    const float ratio = 303.0f * 100.0f / static_cast<float>(stored);
    char ratioText[32];
    std::snprintf(ratioText, sizeof ratioText, "%.2f", static_cast<double>(ratio));
    writeArchive(image.serialize());

    const ProcessResult result = unpack({"a.qzb", "out"});
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(afterBanner(result.out),
              reportHead() + "  Found 2 files.\n  Original size: 303 bytes\n  Compressed size: " +
                  std::to_string(stored) + " bytes\n  Compression ratio: " + ratioText +
                  "% \nExtracting the files... This might take a while. Press Ctrl+C to cancel.\n"
                  "         1 / 2: abc.txt\n         2 / 2: x.txt\n"
                  "  Done! All files were successfully extracted!\n");
}

TEST_F(RunTest, RatioOfRawOnlyAndOfEmptyArchives) {
    const struct {
        std::vector<FileSpec> files;
        std::string ratioLine;
    } cases[] = {
        {{{"r", "xyz", BlockMode::Raw}}, "  Compression ratio: 100.00% \n"},
        {{}, "  Compression ratio: 0.00% \n"},
        {{{"empty", ""}}, "  Compression ratio: 0.00% \n"},
    };
    for (const auto& c : cases) {
        fs::remove_all(target());
        writeArchive(buildArchive(c.files));
        const ProcessResult result = unpack({"a.qzb", "out"});
        EXPECT_EQ(result.exitCode, 0) << result.err;
        EXPECT_NE(result.out.find(c.ratioLine), std::string::npos) << result.out;
    }
}

// Sums beyond 32 bits: one entry of 4 GiB + 5 bytes in 65537 full stored blocks. Its data is
// missing, so extraction then fails, but the summary comes first.
TEST_F(RunTest, SizesAreSummedIn64Bits) {
    ArchiveImage image = makeArchive({{"huge", "x"}});
    image.entries[0].originalSize = (std::uint64_t{1} << 32) + 5;
    image.blockSizes.assign(65537, 0);
    image.tocSize = static_cast<std::uint32_t>(16 + 48 + 4 + image.nameBody.size() + 2 * 65537);
    image.entries[0].dataOffset = image.tocSize;
    writeArchive(image.serialize());

    const ProcessResult result = unpack({"a.qzb", "out", "/s"});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_NE(result.out.find("  Original size: 4294967301 bytes\n"
                              "  Compressed size: 4295032832 bytes\n"),
              std::string::npos)
        << result.out;
    EXPECT_EQ(result.err, Invalid);
}

// Options are read from the third argument on, exactly as written.
TEST_F(RunTest, OnlyExactOptionsFromTheThirdArgumentCount) {
    ArchiveImage image = makeArchive({{"f", "content"}});
    image.nameDigests[0][0] ^= 1;
    writeArchive(image.serialize());
    const struct {
        std::vector<std::string> options;
        int status;
    } cases[] = {
        {{}, 1},           {{"/s"}, 0},       {{"/S"}, 1},      {{"-s"}, 1},
        {{"/s", "/s"}, 0}, {{"/o", "/s"}, 0}, {{"x", "/s"}, 0}, {{"/s "}, 1},
    };
    for (const auto& c : cases) {
        fs::remove_all(target());
        std::vector<std::string> arguments = {"a.qzb", "out"};
        arguments.insert(arguments.end(), c.options.begin(), c.options.end());
        const ProcessResult result = unpack(arguments);
        EXPECT_EQ(result.exitCode, c.status) << ::testing::PrintToString(c.options);
        EXPECT_EQ(result.err, c.status == 0 ? "" : Invalid);
    }
}

// "/s" in first place is the archive's path, not an option.
TEST_F(RunTest, OptionInFirstPlaceIsThePath) {
    writeArchive(buildArchive({{"f", "content"}}), "a.qzb");
    const ProcessResult result = unpack({"/s", "out", "/s"});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.err, "  ERROR: Failed to open the QZB file\n");
    EXPECT_TRUE(fs::is_directory(target()));
}

TEST_F(RunTest, DigestMismatchesFailOnlyWithoutSkipOption) {
    const std::vector<FileSpec> files = {{"dir/one", "1"}, {"two", std::string(70000, 'z')}};
    ArchiveImage nameDigest = makeArchive(files);
    nameDigest.nameDigests[1][15] ^= 0x80;
    ArchiveImage tocDigest = makeArchive(files);
    tocDigest.trailingDigest = Md5{};

    for (const ArchiveImage* image : {&nameDigest, &tocDigest}) {
        writeArchive(image->serialize());
        fs::remove_all(target());
        ProcessResult result = unpack({"a.qzb", "out"});
        EXPECT_EQ(result.exitCode, 1);
        EXPECT_EQ(result.err, Invalid);
        EXPECT_EQ(afterBanner(result.out), reportHead());

        result = unpack({"a.qzb", "out", "/s"});
        EXPECT_EQ(result.exitCode, 0) << result.err;
        EXPECT_EQ(readFile(target() / "two"), std::string(70000, 'z'));
    }
}

TEST_F(RunTest, MissingArchiveFailsAfterTheTargetIsCreated) {
    const ProcessResult result = unpack({"missing.qzb", "deep/er/out"});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(afterBanner(result.out), "");
    EXPECT_EQ(result.err, "  ERROR: Failed to open the QZB file\n");
    EXPECT_TRUE(fs::is_directory(root() / "deep/er/out"));
}

TEST_F(RunTest, RelativeArchivePathIsTakenFromTheStartDirectory) {
    fs::create_directories(root() / "in");
    writeArchive(buildArchive({{"f", "data"}}), "in/a.qzb");
    const ProcessResult result = unpack({"in/../in/./a.qzb", "out"});
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(readFile(target() / "f"), "data");
}

// Paths given as UTF-8 reach the file system whole, even in a mix of scripts that no Windows ANSI
// code page holds: there the tool takes them from the wide command line.
TEST_F(RunTest, ArchiveAndTargetPathsKeepEveryCharacter) {
    const std::u8string archive = u8"\u0410\u03a9 \u6863\u6848.qzb";
    const std::u8string out = u8"\u00fcber \u03a9";
    writeFile(root() / fs::path(archive), buildArchive({{"f", "data"}}));
    const ProcessResult result =
        unpack({std::string(archive.begin(), archive.end()), std::string(out.begin(), out.end())});
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(readFile(root() / fs::path(out) / "f"), "data");
}

TEST_F(RunTest, ArchivePathThatIsADirectoryFailsToOpen) {
    fs::create_directories(root() / "dir.qzb");
    const ProcessResult result = unpack({"dir.qzb", "out"});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.err, "  ERROR: Failed to open the QZB file\n");
}

TEST_F(RunTest, TargetThatNamesAFileCannotBeSetUp) {
    writeArchive(buildArchive({{"f", "data"}}));
    writeFile(root() / "plain", "x");
    for (const char* targetPath : {"plain", "plain/below"}) {
        const ProcessResult result = unpack({"a.qzb", targetPath});
        EXPECT_EQ(result.exitCode, 1);
        EXPECT_EQ(afterBanner(result.out), "");
        EXPECT_EQ(result.err, "  ERROR: Cannot set up the target directory\n");
    }
    EXPECT_EQ(readFile(root() / "plain"), "x");
}

TEST_F(RunTest, ExistingTargetIsUsedUnchanged) {
    fs::create_directories(target());
    writeFile(target() / "keep", "mine");
    writeArchive(buildArchive({{"f", "data"}}));
    const ProcessResult result = unpack({"a.qzb", "out"});
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(treeOf(target()),
              (std::map<std::string, std::string>{{"f", "data"}, {"keep", "mine"}}));
}

TEST_F(RunTest, NonArchivesFailAfterTheFirstReportLines) {
    const std::string cases[] = {"", "SRY", "PK\3\4 not an archive at all",
                                 std::string(4096, '\0')};
    for (const std::string& bytes : cases) {
        writeArchive(bytes);
        const ProcessResult result = unpack({"a.qzb", "out"});
        EXPECT_EQ(result.exitCode, 1);
        EXPECT_EQ(afterBanner(result.out), reportHead());
        EXPECT_EQ(result.err, Invalid);
    }
}

} // namespace
} // namespace qzb::test
