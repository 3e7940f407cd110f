// The run in-process, from banner to exit status: usage, options, the report lines, the error
// lines, and a standard output that cannot be written.
#include <gtest/gtest.h>

#include <optional>

#include "app/console.h"
#include "app/run.h"
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
const std::string CannotOpen = "  ERROR: Failed to open the QZB file\n";
const std::string CannotSetUp = "  ERROR: Cannot set up the target directory\n";
const std::string OutputLost = "  ERROR: Failed to write the console output\n";

// How the run's standard output behaves.
enum class Output { File, Terminal, Unwritable, ClosedAtStart };

// The summary lines, with the ratio computed in single precision.
std::string summary(std::size_t files, std::uint64_t original, std::uint64_t stored) {
    char ratio[64];
    std::snprintf(
        ratio, sizeof ratio, "%.2f",
        static_cast<double>(static_cast<float>(original) * 100.0f / static_cast<float>(stored)));
    return "  Found " + std::to_string(files) +
           " files.\n  Original size: " + std::to_string(original) +
           " bytes\n  Compressed size: " + std::to_string(stored) +
           " bytes\n  Compression ratio: " + ratio + "% \n";
}

std::string progress(std::size_t position, std::size_t count, const std::string& name) {
    const std::string number = std::to_string(position);
    return std::string(10 - number.size(), ' ') + number + " / " + std::to_string(count) + ": " +
           name + "\n";
}

class RunTest : public ScratchTest {
protected:
    struct Report {
        int status;
        std::string out;
        std::string err;
    };

    // Runs from the scratch directory and returns to where the test was.
    Report runHere(const std::vector<std::string>& arguments, Output output = Output::File) {
        writeFile(root() / "read-only", "");
        FileHandle out(output == Output::Unwritable
                           ? std::fopen((root() / "read-only").string().c_str(), "rb")
                           : temporaryFile().release());
        const FileHandle err = temporaryFile();
        Console console(out.get(), err.get(), output == Output::Terminal,
                        output == Output::ClosedAtStart);
        const fs::path start = fs::current_path();
        fs::current_path(root());
        const int status = run(arguments, console);
        // The target is reached from its handle, never as the working directory, which Windows
        // holds to 260 characters without the long-path setting.
        EXPECT_EQ(fs::current_path(), root());
        fs::current_path(start);
        return {status, contentOf(out.get()), contentOf(err.get())};
    }

    // The report's first lines, before the table of contents is read.
    std::string head() const {
        return "Target directory: " + fs::weakly_canonical(target()).string() +
               "\nReading the table of contents...\n";
    }
};

TEST_F(RunTest, ReportAndErrorLines) {
    // "abc" stays raw (3 of 3 bytes); 300 'x' compress.
    const ArchiveImage twoFiles =
        makeArchive({{"abc.txt", "abc"}, {"x.txt", std::string(300, 'x')}});
    const std::string twoFilesOut = head() + summary(2, 303, 3 + twoFiles.blockSizes[1]) + Opening +
                                    progress(1, 2, "abc.txt") + progress(2, 2, "x.txt") + Done;
    ArchiveImage nameDigest = makeArchive({{"f", "content"}});
    nameDigest.nameDigests[0][0] ^= 1;
    ArchiveImage tocDigest = makeArchive({{"f", "content"}});
    tocDigest.trailingDigest = Md5{};
    const std::string fOut = head() + summary(1, 7, 7) + Opening + progress(1, 1, "f") + Done;
    // Sums beyond 32 bits: one entry of 4 GiB + 5 bytes in 65537 full stored blocks. Its data is
    // missing, so extraction fails, but the summary comes first.
    ArchiveImage huge = makeArchive({{"huge", "x"}});
    huge.entries[0].originalSize = (std::uint64_t{1} << 32) + 5;
    huge.blockSizes.assign(65537, 0);
    huge.tocSize = static_cast<std::uint32_t>(16 + 48 + 4 + huge.nameBody.size() + 2 * 65537);
    huge.entries[0].dataOffset = huge.tocSize;
    // A name whose controls Windows accepts in a file name too.
    const std::string controls = "del\x7F"
                                 "csi\xC2\x9Bx";
    const std::string zeroRatio = "  Original size: 0 bytes\n  Compressed size: 0 bytes\n"
                                  "  Compression ratio: 0.00% \n";
    const std::string two = twoFiles.serialize(), name = nameDigest.serialize();
    const std::vector<std::string> plain = {"a.qzb", "out"}, skip = {"a.qzb", "out", "/s"};

    const struct {
        const char* what;
        std::optional<std::string> archive; // written as a.qzb
        std::vector<std::string> arguments;
        int status;
        std::optional<std::string> out; // after the banner; nullopt: not compared
        std::string err;
        Output output = Output::File;
    } cases[] = {
        {"no arguments", {}, {}, 2, "", Usage},
        {"one argument", {}, {"a.qzb"}, 2, "", Usage},
        {"two files", two, plain, 0, twoFilesOut, ""},
        {"raw blocks only", buildArchive({{"r", "xyz", BlockMode::Raw}}), plain, 0,
         head() + summary(1, 3, 3) + Opening + progress(1, 1, "r") + Done, ""},
        {"no entries: 0/0", buildArchive({}), plain, 0,
         head() + "  Found 0 files.\n" + zeroRatio + Opening + Done, ""},
        {"only an empty entry: 0/0", buildArchive({{"empty", ""}}), plain, 0,
         head() + "  Found 1 files.\n" + zeroRatio + Opening + progress(1, 1, "empty") + Done, ""},
        {"sums in 64 bits", huge.serialize(), skip, 1,
         head() + summary(1, (std::uint64_t{1} << 32) + 5, 65537ull * 65536) + Opening +
             progress(1, 1, "huge"),
         Invalid},
        {"missing archive", {}, {"missing.qzb", "out"}, 1, "", CannotOpen},
        {"option in first place is the path", {}, {"/s", "out", "/s"}, 1, "", CannotOpen},
        {"archive is a directory", {}, {".", "out"}, 1, "", CannotOpen},
        {"target names a file", "", {"a.qzb", "a.qzb"}, 1, "", CannotSetUp},
        {"target below a file", "", {"a.qzb", "a.qzb/below"}, 1, "", CannotSetUp},
        {"empty file", "", plain, 1, head(), Invalid},
        {"short magic", "SRY", plain, 1, head(), Invalid},
        {"another format", "PK\3\4 not an archive at all", plain, 1, head(), Invalid},
        {"zeros", std::string(4096, '\0'), plain, 1, head(), Invalid},
        {"name digest", name, plain, 1, head(), Invalid},
        {"name digest, /s", name, skip, 0, fOut, ""},
        {"table digest", tocDigest.serialize(), plain, 1, head(), Invalid},
        {"table digest, /s", tocDigest.serialize(), skip, 0, fOut, ""},
        // Options count from the third argument on, exactly as written.
        {"/S", name, {"a.qzb", "out", "/S"}, 1, {}, Invalid},
        {"-s", name, {"a.qzb", "out", "-s"}, 1, {}, Invalid},
        {"'/s '", name, {"a.qzb", "out", "/s "}, 1, {}, Invalid},
        {"/s twice", name, {"a.qzb", "out", "/s", "/s"}, 0, {}, ""},
        {"/o /s", name, {"a.qzb", "out", "/o", "/s"}, 0, {}, ""},
        {"x /s", name, {"a.qzb", "out", "x", "/s"}, 0, {}, ""},
        // Names as stored, except where standard output is a terminal.
        {"controls into a file", buildArchive({{controls, "c"}}), plain, 0,
         head() + summary(1, 1, 1) + Opening + progress(1, 1, controls) + Done, ""},
        {"controls on a terminal", buildArchive({{controls, "c"}}), plain, 0,
         head() + summary(1, 1, 1) + Opening + progress(1, 1, "del\\x7Fcsi\\xC2\\x9Bx") + Done, "",
         Output::Terminal},
        // A lost report fails a run that did its work; a run failing anyway keeps its message.
        {"unwritable output", two, plain, 1, "", OutputLost, Output::Unwritable},
        {"output closed at start", two, plain, 1, twoFilesOut, OutputLost, Output::ClosedAtStart},
        {"unwritable output, invalid archive", "SRY", plain, 1, "", Invalid, Output::Unwritable},
        {"unwritable output, usage", {}, {}, 2, "", Usage, Output::Unwritable},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(root());
        fs::create_directories(root());
        if (c.archive) {
            writeArchive(*c.archive);
        }
        const Report report = runHere(c.arguments, c.output);
        EXPECT_EQ(report.status, c.status);
        EXPECT_EQ(report.err, c.err);
        if (c.output == Output::Unwritable) {
            EXPECT_EQ(report.out, "");
        } else if (c.out) {
            EXPECT_EQ(afterBanner(report.out), *c.out);
        }
    }
}

// What a run leaves in the file system whether it succeeds or fails.
TEST_F(RunTest, TargetAndArchivePaths) {
    Report report = runHere({"missing.qzb", "deep/er/out"});
    EXPECT_EQ(report.err, CannotOpen);
    EXPECT_TRUE(fs::is_directory(root() / "deep/er/out"));

    // A relative archive path is taken from the start directory, not the target.
    fs::create_directories(root() / "in");
    writeArchive(buildArchive({{"f", "data"}}), "in/a.qzb");
    report = runHere({"in/../in/./a.qzb", "out"});
    EXPECT_EQ(report.status, 0) << report.err;
    EXPECT_EQ(readFile(target() / "f"), "data");

    // An existing target is used unchanged; a file named as the target stays as it was.
    writeFile(target() / "keep", "mine");
    fs::remove(target() / "f");
    report = runHere({"in/a.qzb", "out"});
    EXPECT_EQ(report.status, 0) << report.err;
    EXPECT_EQ(treeOf(target()),
              (std::map<std::string, std::string>{{"f", "data"}, {"keep", "mine"}}));
    report = runHere({"in/a.qzb", "out/keep"});
    EXPECT_EQ(report.err, CannotSetUp);
    EXPECT_EQ(readFile(target() / "keep"), "mine");

    // A target of 300 characters, which no working directory could be on Windows without the
    // long-path setting.
    const fs::path deep = fs::path(std::string(150, 'd')) / std::string(150, 'e');
    ASSERT_GT((root() / deep).string().size(), 300u);
    report = runHere({"in/a.qzb", deep.string()});
    EXPECT_EQ(report.status, 0) << report.err;
    EXPECT_EQ(readFile(root() / deep / "f"), "data");
    removeTree(root() / std::string(150, 'd'));
}

} // namespace
} // namespace qzb::test
