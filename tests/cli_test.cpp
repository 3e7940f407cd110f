// qzb in-process: each command line with its output, error line, status and the tree it leaves.
#include <gtest/gtest.h>

#include <optional>

#include <nlohmann/json.hpp>

#include "cli/cli.h"
#include "cli/pattern.h"
#include "cli/progress.h"
#include "digest/hex.h"
#include "digest/sha256.h"
#include "tests/support/run_process.h"
#include "tests/support/unpack_fixture.h"

namespace qzb::test {
namespace {

namespace fs = std::filesystem;

class CliTest : public ScratchTest {
protected:
    struct Report {
        int status;
        std::string out;
        std::string err;
    };

    // Runs from the scratch directory and returns to where the test was.
    Report qzb(const std::vector<std::string>& arguments, bool terminal = false,
               bool unwritable = false, bool errTerminal = false, std::string_view input = {}) {
        writeFile(root() / "read-only", "");
        const FileHandle out(unwritable ? std::fopen((root() / "read-only").string().c_str(), "rb")
                                        : temporaryFile().release());
        const FileHandle err = temporaryFile();
        const FileHandle in = temporaryFile(input);
        const fs::path start = fs::current_path();
        fs::current_path(root());
        const int status =
            cli::runQzb(arguments, {out.get(), err.get(), terminal, errTerminal, false, in.get()});
        fs::current_path(start);
        return {status, contentOf(out.get()), contentOf(err.get())};
    }
};

using Tree = std::map<std::string, std::string>;

std::string sha256Hex(const std::string& content) {
    Sha256 sha;
    sha.update(content.data(), content.size());
    return lowerHex(sha.finish());
}

std::string row(std::uint64_t size, std::uint64_t stored, const std::string& name) {
    char text[64];
    std::snprintf(text, sizeof text, "%12llu %12llu  ", static_cast<unsigned long long>(size),
                  static_cast<unsigned long long>(stored));
    return text + name + "\n";
}

TEST_F(CliTest, CommandLines) {
    const std::string text = compressibleText(70000);
    const ArchiveImage good = makeArchive({{"a.txt", "abc"}, {"d\\t.txt", text}, {"e", ""}});
    const std::uint64_t textStored = good.blockSizes[1] + good.blockSizes[2];
    const std::string goodList = row(3, 3, "a.txt") + row(70000, textStored, "d\\t.txt") +
                                 row(0, 0, "e") + row(70003, 3 + textStored, "3 entries");

    ArchiveImage badBlock = makeArchive({{"ok", "fine"}, {"z", text, BlockMode::Zlib}, {"x", "y"}});
    badBlock.data[4 + badBlock.blockSizes[1]] ^= 0x55; // second block of "z"
    ArchiveImage cut = makeArchive({{"ok", "fine"}, {"tail", "lost", BlockMode::Raw}});
    cut.truncateTo = cut.serialize().size() - 18;
    ArchiveImage digest = makeArchive({{"f", "content"}});
    digest.nameDigests[0][0] ^= 1;
    const std::string names = buildArchive({{"../up", "u"},
                                            {"", "empty"},
                                            {"dir/", ""},
                                            {"Same", "1"},
                                            {"same", "2"},
                                            {"a/b", "3"},
                                            {"a\\b", "4"},
                                            {"a/./b", "5"}});
    const std::string controls = "del\x7F"
                                 "csi\xC2\x9Bx";

    const auto usage = [](const std::string& what) {
        return "qzb: " + what + " (qzb --help shows the usage)\n";
    };
    const std::string g = good.serialize(), bad = badBlock.serialize(), dig = digest.serialize();
    const std::string digests =
        "the MD5 digests of the names or of the table of contents do not match";
    const std::string refused = ": qzb-unpack refuses this name: empty, absolute, with a \"..\" "
                                "element, or not stored as given on this system\n";
    const std::string oneFailure = "qzb: a.qzb: the test found 1 failure\n";
    // Where an entry's data lies and how its blocks are kept.
    const auto placed = [](const ArchiveImage& image, std::size_t i, const std::string& method) {
        return ",\"offset\":" + std::to_string(image.entries[i].dataOffset) +
               ",\"first_block\":" + std::to_string(image.entries[i].firstBlock) +
               ",\"method\":" + method + "}\n";
    };
    const std::string json =
        "{\"index\":0,\"name\":\"a.txt\",\"size\":3,\"stored\":3,\"blocks\":1" +
        placed(good, 0, "\"stored\"") +
        "{\"index\":1,\"name\":\"d\\\\t.txt\",\"size\":70000,\"stored\":" +
        std::to_string(textStored) + ",\"blocks\":2" + placed(good, 1, "\"zlib\"") +
        "{\"index\":2,\"name\":\"e\",\"size\":0,\"stored\":0,\"blocks\":0" +
        placed(good, 2, "\"stored\"");
    ArchiveImage mixed = makeArchive({{"m", compressibleText(65536) + "xyz"}, {"o", "out"}});
    mixed.entries[1].firstBlock = 7;
    const std::string mixedJson =
        "{\"index\":0,\"name\":\"m\",\"size\":65539,\"stored\":" +
        std::to_string(mixed.blockSizes[0] + 3) + ",\"blocks\":2" + placed(mixed, 0, "\"mixed\"") +
        "{\"index\":1,\"name\":\"o\",\"size\":3,\"stored\":null,\"blocks\":1" +
        placed(mixed, 1, "null");
    const std::string testJson =
        "{\"index\":0,\"name\":\"ok\",\"verdict\":\"ok\",\"reason\":null}\n"
        "{\"index\":1,\"name\":\"z\",\"verdict\":\"failed\",\"reason\":\"block 2 of 2 does not "
        "decode to its length of 4464 bytes\"}\n"
        "{\"index\":2,\"name\":\"x\",\"verdict\":\"ok\",\"reason\":null}\n"
        "{\"entries\":3,\"bytes\":5,\"failed\":1,\"warnings\":0,\"digests\":\"match\"}\n";
    const std::string sums =
        "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad  "
        "a.txt\n" +
        sha256Hex(text) +
        "  d/t.txt\n"
        "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855  e\n";
    const Tree all = {{"a.txt", "abc"}, {"d", "<dir>"}, {"d/t.txt", text}, {"e", ""}};

    const struct {
        const char* what;
        std::optional<std::string> archive; // written as a.qzb
        std::vector<std::string> arguments;
        int status;
        std::optional<std::string> out; // nullopt: not compared
        std::string err;
        bool terminal = false;
        Tree before = {};              // written below out/ first
        std::optional<Tree> tree = {}; // below out/, empty when it does not exist
        std::string input = {};        // standard input
    } cases[] = {
        // One case to a line or two, as a table.
        // clang-format off
        {"no command", {}, {}, 2, "", usage("A subcommand is required")},
        {"unknown command", {}, {"lst", "a.qzb"}, 2, "", usage("lst: no such command")},
        {"unknown option", {}, {"list", "-x", "a.qzb"}, 2, "",
         usage("The following argument was not expected: -x")},
        {"missing archive argument", {}, {"list"}, 2, "", usage("ARCHIVE is required")},
        {"--version", {}, {"--version"}, 0, "qzb " QZB_VERSION "\n", ""},
        {"--help", {}, {"--help"}, 0, {}, ""},
        {"command --help", {}, {"test", "--help"}, 0, {}, ""},
        {"a slash is no option, on Windows too", {}, {"list", "/nowhere.qzb"}, 1, "",
         "qzb: /nowhere.qzb: cannot open the archive\n"},
        {"missing archive", {}, {"list", "none.qzb"}, 1, "",
         "qzb: none.qzb: cannot open the archive\n"},
        {"not an archive", "PK\3\4", {"list", "a.qzb"}, 1, "",
         "qzb: a.qzb: the archive is invalid or corrupted\n"},
        {"list", g, {"list", "a.qzb"}, 0, goodList, ""},
        {"list after --", g, {"list", "--", "a.qzb"}, 0, goodList, ""},
        {"list --json", g, {"list", "--json", "a.qzb"}, 0, json, ""},
        {"list --json, mixed blocks and blocks outside the table", mixed.serialize(),
         {"list", "--json", "--skip-checksums", "a.qzb"}, 0, mixedJson, ""},
        {"list, name digest", dig, {"list", "a.qzb"}, 1, "",
         "qzb: a.qzb: " + digests + " (--skip-checksums reads it anyway)\n"},
        {"list --skip-checksums", dig, {"list", "--skip-checksums", "a.qzb"}, 0,
         row(7, 7, "f") + row(7, 7, "1 entry"), ""},
        {"list, controls into a file", buildArchive({{controls, "c"}}), {"list", "a.qzb"}, 0,
         row(1, 1, controls) + row(1, 1, "1 entry"), ""},
        {"list, controls on a terminal", buildArchive({{controls, "c"}}), {"list", "a.qzb"}, 0,
         row(1, 1, "del\\x7Fcsi\\xC2\\x9Bx") + row(1, 1, "1 entry"), "", true},
        {"test", g, {"test", "a.qzb"}, 0,
         "3 entries tested, 70003 bytes decoded: 0 failed, 0 warnings\n", ""},
        {"test, bad block", bad, {"test", "a.qzb"}, 1,
         "FAILED  z: block 2 of 2 does not decode to its length of 4464 bytes\n"
         "3 entries tested, 5 bytes decoded: 1 failed, 0 warnings\n", oneFailure},
        {"test --json", bad, {"test", "--json", "a.qzb"}, 1, testJson, oneFailure},
        {"test --json, a warning and a failure in one entry, digests",
         [&] { ArchiveImage i = makeArchive({{"a", "1"}, {"A", "2"}}); i.nameDigests[0][0] ^= 1;
               i.blockSizes[1] = 9; return i.serialize(); }(),
         {"test", "--json", "a.qzb"}, 1,
         "{\"index\":0,\"name\":\"a\",\"verdict\":\"ok\",\"reason\":null}\n"
         "{\"index\":1,\"name\":\"A\",\"verdict\":\"failed\",\"reason\":\"differs only in letter "
         "case from \\\"a\\\"; on Windows and macOS it is skipped; block 1 of 1 does not decode to "
         "its length of 1 bytes\"}\n"
         "{\"entries\":2,\"bytes\":1,\"failed\":2,\"warnings\":1,\"digests\":\"differ\"}\n",
         "qzb: a.qzb: the test found 2 failures\n"},
        {"test, cut short", cut.serialize(), {"test", "--skip-checksums", "a.qzb"}, 1,
         "FAILED  tail: block 1 of 1 lies outside the archive or is cut short by its end\n"
         "2 entries tested, 4 bytes decoded: 1 failed, 0 warnings\n", oneFailure},
        {"test, name digest", dig, {"test", "a.qzb"}, 1,
         "FAILED  a.qzb: " + digests + "\n1 entry tested, 7 bytes decoded: 1 failed, 0 warnings\n",
         oneFailure},
        {"test, names", names, {"test", "a.qzb"}, 1,
         "FAILED  ../up" + refused + "FAILED  " + refused +
         "WARNING dir/: names a directory, so it is not extracted\n"
         "WARNING same: differs only in letter case from \"Same\"; on Windows and macOS it is "
         "skipped\n"
         "WARNING a\\b: lands at the same path as \"a/b\"; without --overwrite it is skipped\n"
         "WARNING a/./b: lands at the same path as \"a/b\"; without --overwrite it is skipped\n"
         "8 entries tested, 11 bytes decoded: 2 failed, 4 warnings\n",
         "qzb: a.qzb: the test found 2 failures\n"},
        {"test, names on a terminal", buildArchive({{"a\x7F", "1"}, {"A\x7F", "2"}}),
         {"test", "a.qzb"}, 0,
         "WARNING A\\x7F: differs only in letter case from \"a\\x7F\"; on Windows and macOS it "
         "is skipped\n2 entries tested, 2 bytes decoded: 0 failed, 1 warning\n", "", true},
        {"test, letter case beyond A-Z, in UTF-8 only",
         buildArchive({{"\xC3\x84.txt", "1"}, {"\xC3\xA4.txt", "2"}, {"\xCE\xA9/x", "3"},
                       {"\xCF\x89/x", "4"}, {"\xC4", "7"}, {"\xE4", "8"}}),
         {"test", "--encoding", "raw", "a.qzb"}, 0,
         "WARNING \xC3\xA4.txt: differs only in letter case from \"\xC3\x84.txt\"; on Windows "
         "and macOS it is skipped\n"
         "WARNING \xCF\x89/x: differs only in letter case from \"\xCE\xA9/x\"; on Windows and "
         "macOS it is skipped\n"
         "6 entries tested, 6 bytes decoded: 0 failed, 2 warnings\n", ""},
        {"cat and extract take bracketed names whole",
         buildArchive({{"a", "-"}, {"b", "-"}, {"[a]", "A"}, {"[a,b]", "AB"}}),
         {"cat", "a.qzb", "[a]", "[a,b]"}, 0, "AAB", ""},
        {"cat in the order given", g, {"cat", "a.qzb", "e", "a.txt", "d/t.txt", "a.txt"}, 0,
         "abc" + text + "abc", ""},
        {"cat, name not in the archive", g, {"cat", "a.qzb", "a.txt", "b"}, 1, "",
         "qzb: b: no such entry in a.qzb\n"},
        {"cat, bad block", bad, {"cat", "a.qzb", "z"}, 1, text.substr(0, 65536),
         "qzb: z: block 2 of 2 does not decode to its length of 4464 bytes\n"},
        {"cat, a name like an option", buildArchive({{"-n", "dash"}}),
         {"cat", "a.qzb", "--", "-n"}, 0, "dash", ""},
        {"extract all", g, {"extract", "a.qzb", "out"}, 0, "", "", false, {}, all},
        {"extract by patterns", g, {"extract", "a.qzb", "out", "?", "d/*"}, 0, "", "", false, {},
         Tree{{"d", "<dir>"}, {"d/t.txt", text}, {"e", ""}}},
        {"extract, a pattern matching nothing", g,
         {"extract", "a.qzb", "out", "*.txt", "x*", "*/*/*"}, 1, "",
         "qzb: x*, */*/*: no entry matches these patterns\n", false, {}, Tree{}},
        {"extract into a file", g, {"extract", "a.qzb", "a.qzb"}, 1, "",
         "qzb: a.qzb: cannot set up the target directory: Not a directory\n"},
        {"extract keeps what exists", g, {"extract", "a.qzb", "out", "a.txt"}, 0, "", "", false,
         Tree{{"a.txt", "mine"}}, Tree{{"a.txt", "mine"}}},
        {"extract --overwrite", g, {"extract", "--overwrite", "a.qzb", "out", "a.txt"}, 0, "", "",
         false, Tree{{"a.txt", "mine"}}, Tree{{"a.txt", "abc"}}},
        {"extract, bad block", bad, {"extract", "a.qzb", "out"}, 1, "",
         "qzb: z: the archive is invalid or corrupted\n", false, {}, Tree{{"ok", "fine"}}},
        {"extract, a refused name", names, {"extract", "a.qzb", "out", "**up"}, 1, "",
         "qzb: ../up: invalid file path listed in the archive\n", false, {}, Tree{}},
        {"extract, name digest", dig, {"extract", "a.qzb", "out"}, 1, "",
         "qzb: a.qzb: " + digests + " (--skip-checksums reads it anyway)\n", false, {}, Tree{}},
        {"extract, bracketed patterns", buildArchive({{"a", "-"}, {"[a]", "A"}, {"[a,b]", "AB"}}),
         {"extract", "a.qzb", "out", "--", "[a]", "[a,b]"}, 0, "", "", false, {},
         Tree{{"[a]", "A"}, {"[a,b]", "AB"}}},
        {"--quiet is --progress never", g,
         {"extract", "--quiet", "--progress", "json", "a.qzb", "out"}, 2, "",
         usage("--quiet excludes --progress")},
        {"--progress, an unknown mode", g, {"test", "--progress", "some", "a.qzb"}, 2, "",
         usage("--progress: some not in {auto,always,never,json}")},
        {"hash", g, {"hash", "a.qzb"}, 0, sums, ""},
        {"hash by patterns, md5", g, {"hash", "--algorithm", "md5", "a.qzb", "*.txt"}, 0,
         "900150983cd24fb0d6963f7d28e17f72  a.txt\n", ""},
        {"hash, paths as extraction writes them", names, {"hash", "a.qzb", "a**", "?ame"}, 0,
         sha256Hex("1") + "  Same\n" + sha256Hex("2") + "  same\n" + sha256Hex("3") + "  a/b\n",
         ""},
        {"hash, a refused name", names, {"hash", "a.qzb"}, 1, "",
         "qzb: ../up: invalid file path listed in the archive\n"},
        {"hash, bad block", bad, {"hash", "a.qzb"}, 1, sha256Hex("fine") + "  ok\n",
         "qzb: z: block 2 of 2 does not decode to its length of 4464 bytes\n"},
        {"verify", g, {"verify", "sums", "a.qzb"}, 0,
         "3 lines verified: 0 differ, 0 missing, 0 not listed\n", "", false, {{"../sums", sums}}},
        {"verify, each kind of fault", g, {"verify", "sums", "a.qzb"}, 1,
         "EXTRA   a.txt: in the archive, not in sums\n"
         "FAILED  e: the content differs\n"
         "MISSING d/x: in sums, not in the archive\n"
         "3 lines verified: 1 differ, 1 missing, 1 not listed\n",
         "qzb: sums: the verification found 3 problems\n", false,
         {{"../sums", sums.substr(sums.find('\n') + 1, 64) + " *d/t.txt\n" + sha256Hex("x") +
                          "  ./e\n\\" + sha256Hex("") + "  d/x\n"}}},
        {"verify, a line of another kind", g, {"verify", "sums", "a.qzb"}, 1, "",
         "qzb: sums:2: not a line of sha256sum or md5sum\n", false,
         {{"../sums", "900150983cd24fb0d6963f7d28e17f72  a.txt\n" + sums}}},
        {"extract --skip-checksums", dig, {"extract", "--skip-checksums", "a.qzb", "out"}, 0, "",
         "", false, {}, Tree{{"f", "content"}}},
        {"extract --exclude", g, {"extract", "a.qzb", "out", "--exclude", "*.txt"}, 0, "", "",
         false, {}, Tree{{"d", "<dir>"}, {"d/t.txt", text}, {"e", ""}}},
        {"extract --exclude after the patterns", g,
         {"extract", "--exclude", "e", "--exclude", "nothing", "a.qzb", "out", "?", "a.txt"}, 0,
         "", "", false, {}, Tree{{"a.txt", "abc"}}},
        {"extract --files-from -, lines", g, {"extract", "--files-from", "-", "a.qzb", "out"}, 0,
         "", "", false, {}, Tree{{"a.txt", "abc"}, {"d", "<dir>"}, {"d/t.txt", text}}, "a.txt\r\n\nd/*"},
        {"extract --files-from - --null", g,
         {"extract", "--files-from", "-", "--null", "a.qzb", "out"}, 0, "", "", false, {},
         Tree{{"a.txt", "abc"}, {"e", ""}}, std::string("e\0a.txt\0", 8)},
        {"extract --files-from, an empty list selects nothing", g,
         {"extract", "--files-from", "-", "a.qzb", "out"}, 0, "", "", false, {}, Tree{}},
        {"extract --files-from a file, with patterns", g,
         {"extract", "--files-from", "out/list", "a.qzb", "out", "a.txt"}, 0, "", "", false,
         Tree{{"list", "e\n"}}, Tree{{"list", "e\n"}, {"a.txt", "abc"}, {"e", ""}}},
        {"extract --files-from, a name matching nothing", g,
         {"extract", "--files-from", "-", "a.qzb", "out"}, 1, "",
         "qzb: x.txt: no entry matches this pattern\n", false, {}, Tree{}, "e\nx.txt\n"},
        {"extract --files-from, no such file", g,
         {"extract", "--files-from", "none", "a.qzb", "out"}, 1, "",
         "qzb: none: cannot read the list of names: No such file or directory\n", false, {},
         Tree{}},
        {"extract --null needs a list", g, {"extract", "--null", "a.qzb", "out"}, 2, "",
         usage("--null requires --files-from")},
        {"extract --strip-components", g, {"extract", "--strip-components", "1", "a.qzb", "out"},
         0, "", "qzb: --strip-components 1 leaves nothing of 2 entries: they are left out\n",
         false, {}, Tree{{"t.txt", text}}},
        {"extract --strip-components, elements that name no directory",
         buildArchive({{"x/./y\\z", "1"}, {"x//w", "2"}, {"x/y/", ""}}),
         {"extract", "--strip-components", "2", "a.qzb", "out"}, 0, "",
         "qzb: --strip-components 2 leaves nothing of 2 entries: they are left out\n", false, {},
         Tree{{"z", "1"}}},
        {"extract --strip-components, a refused name", names,
         {"extract", "--strip-components", "1", "a.qzb", "out", "**up"}, 1, "",
         "qzb: ../up: invalid file path listed in the archive\n", false, {}, Tree{}},
        {"extract --on-conflict rename, by what stands", g,
         {"extract", "--on-conflict", "rename", "a.qzb", "out"}, 0, "", "", false,
         Tree{{"a.txt", "mine"}, {"a (1).txt", "mine"}, {"d/t.txt", "mine"}, {"e/x", "mine"}},
         Tree{{"a.txt", "mine"}, {"a (1).txt", "mine"}, {"a (2).txt", "abc"}, {"d", "<dir>"},
              {"d/t.txt", "mine"}, {"d/t (1).txt", text}, {"e", "<dir>"}, {"e/x", "mine"},
              {"e (1)", ""}}},
        {"extract --on-conflict rename, one name thrice in a new directory",
         buildArchive({{"d/x", "1"}, {"d\\x", "2"}, {"d/./x", "3"}}),
         {"extract", "--on-conflict", "rename", "a.qzb", "out"}, 0, "", "", false, {},
         Tree{{"d", "<dir>"}, {"d/x", "1"}, {"d/x (1)", "2"}, {"d/x (2)", "3"}}},
        {"extract --on-conflict error", g, {"extract", "--on-conflict", "error", "a.qzb", "out"},
         1, "", "qzb: d\\t.txt: the destination path exists\n", false, Tree{{"d/t.txt", "mine"}},
         Tree{{"a.txt", "abc"}, {"d", "<dir>"}, {"d/t.txt", "mine"}}},
        {"extract --on-conflict error, one name twice in a new directory",
         buildArchive({{"d/x", "1"}, {"d/x", "2"}}),
         {"extract", "--on-conflict", "error", "a.qzb", "out"}, 1, "",
         "qzb: d/x: the destination path exists\n", false, {}, Tree{{"d", "<dir>"}, {"d/x", "1"}}},
        {"extract --on-conflict overwrite", g,
         {"extract", "--on-conflict", "overwrite", "a.qzb", "out", "a.txt"}, 0, "", "", false,
         Tree{{"a.txt", "mine"}}, Tree{{"a.txt", "abc"}}},
        {"extract --on-conflict, unknown", g, {"extract", "--on-conflict", "keep", "a.qzb", "out"},
         2, "", usage("--on-conflict: keep not in {skip,overwrite,rename,error}")},
        {"extract --overwrite with --on-conflict", g,
         {"extract", "--overwrite", "--on-conflict", "rename", "a.qzb", "out"}, 2, "",
         usage("--on-conflict excludes --overwrite")},
        {"extract --threads 1", g, {"extract", "--threads", "1", "a.qzb", "out"}, 0, "", "",
         false, {}, all},
        {"extract --threads 0", g, {"extract", "--threads", "0", "a.qzb", "out"}, 2, "",
         usage("--threads: Value 0 not in range 1 to 8")},
        // clang-format on
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(root());
        fs::create_directories(root());
        if (c.archive) {
            writeArchive(*c.archive);
        }
        for (const auto& [path, content] : c.before) {
            fs::create_directories((target() / path).parent_path());
            writeFile(target() / path, content);
        }
        const Report report = qzb(c.arguments, c.terminal, false, false, c.input);
        if (c.tree) {
            EXPECT_EQ(fs::exists(target()) ? treeOf(target()) : Tree(), *c.tree);
        }
        EXPECT_EQ(report.status, c.status);
        EXPECT_EQ(report.err, c.err);
        if (c.out) {
            EXPECT_EQ(report.out, *c.out);
        }
    }
}

// The bar is drawn over itself on a terminal's standard error and erased at the end; never with
// --quiet.
TEST_F(CliTest, ProgressBarOnlyOnATerminal) {
    writeArchive(buildArchive({{"f", compressibleText(300000)}}));
    Report report = qzb({"extract", "a.qzb", "out"}, false, false, true);
    EXPECT_EQ(report.status, 0);
    EXPECT_EQ(report.err.rfind("\r[", 0), 0u) << report.err;
    EXPECT_EQ(report.err.back(), '\r');
    EXPECT_EQ(report.err.find('\n'), std::string::npos);
    report = qzb({"extract", "--quiet", "--overwrite", "a.qzb", "out"}, false, false, true);
    EXPECT_EQ(report.err, "");
    report = qzb({"extract", "--overwrite", "a.qzb", "out"});
    EXPECT_EQ(report.err, "");
}

// JSON progress, wherever standard error goes: each line whole, counts that only grow, one line
// at each entry's end that tells it, and a last line at the totals. Lines within an entry come
// with time, so they are only checked to be sound.
TEST_F(CliTest, ProgressJsonLines) {
    const std::vector<FileSpec> files = {{"f", compressibleText(300000)}, {"g", ""}, {"h", "abc"}};
    writeArchive(buildArchive(files));
    for (const std::vector<std::string>& command :
         {std::vector<std::string>{"extract", "--progress", "json", "a.qzb", "out"},
          {"test", "--progress", "json", "a.qzb"}}) {
        SCOPED_TRACE(command[0]);
        fs::remove_all(target());
        const Report report = qzb(command, false, false, true);
        ASSERT_EQ(report.status, 0) << report.err;
        std::istringstream lines(report.err);
        std::string line;
        std::uint64_t entries = 0, bytes = 0, ended = 0;
        double elapsed = 0;
        nlohmann::json last;
        while (std::getline(lines, line)) {
            last = nlohmann::json::parse(line);
            ASSERT_EQ(last.size(), 6u) << line;
            EXPECT_EQ(last["bytes_total"], 300003u);
            EXPECT_EQ(last["entries_total"], 3u);
            EXPECT_GE(last["bytes_done"], bytes) << line;
            EXPECT_GE(last["elapsed"], elapsed) << line;
            bytes = last["bytes_done"];
            elapsed = last["elapsed"];
            if (last["entries_done"] != entries) {
                ASSERT_EQ(last["entries_done"], entries + 1) << line;
                EXPECT_EQ(last["entry"], entries) << line;
                ended += files[entries].content.size();
                EXPECT_EQ(bytes, ended) << line;
                ++entries;
            }
        }
        EXPECT_EQ(entries, 3u);
        EXPECT_EQ(last["bytes_done"], 300003u);
    }
    EXPECT_EQ(qzb({"test", "--progress", "always", "a.qzb"}).err.rfind("\r[", 0), 0u);
}

// What qzb hash prints is what sha256sum and md5sum print for the files that qzb extract writes,
// names that they escape included, and they accept it in the extracted tree.
TEST_F(CliTest, HashIsWhatTheSystemToolsPrint) {
#ifdef _WIN32
    GTEST_SKIP() << "no sha256sum and md5sum, and a line feed cannot be in a Windows file name";
#endif
    if (!fs::exists("/usr/bin/sha256sum") || !fs::exists("/usr/bin/md5sum")) {
        GTEST_SKIP() << "no sha256sum and md5sum here";
    }
    const std::vector<std::string> paths = {
        "plain.txt", "d/sub/with spaces", "new\nline", "carriage\rreturn", "twice", "big", "noise"};
    writeArchive(buildArchive({{paths[0], "text\n"},
                               {paths[1], "x"},
                               {paths[2], "2"},
                               {paths[3], "3"},
                               {paths[4], "first"},
                               {"./twice", "second"},
                               {paths[5], compressibleText(200000)},
                               {paths[6], incompressibleBytes(70000, 7)}}));
    ASSERT_EQ(qzb({"extract", "a.qzb", "out"}).status, 0);
    for (const char* algorithm : {"sha256", "md5"}) {
        SCOPED_TRACE(algorithm);
        const Report hash = qzb({"hash", "--algorithm", algorithm, "a.qzb"});
        ASSERT_EQ(hash.status, 0) << hash.err;
        const std::string tool = std::string("/usr/bin/") + algorithm + "sum";
        std::vector<std::string> arguments = {"--"};
        arguments.insert(arguments.end(), paths.begin(), paths.end());
        ProcessOptions in;
        in.workingDirectory = target();
        EXPECT_EQ(runProcess(tool, arguments, in).out, hash.out);
        writeFile(root() / "sums", hash.out);
        const ProcessResult check = runProcess(tool, {"-c", (root() / "sums").string()}, in);
        EXPECT_EQ(check.exitCode, 0) << check.out << check.err;
        EXPECT_EQ(qzb({"verify", "sums", "a.qzb"}).status, 0);
    }
}

TEST_F(CliTest, LostOutputFailsTheRun) {
    writeArchive(buildArchive({{"f", "content"}}));
    const Report report = qzb({"cat", "a.qzb", "f"}, false, true);
    EXPECT_EQ(report.status, 1);
    EXPECT_EQ(report.err, "qzb: cannot write the standard output\n");
}

// The hand-written JSON against a parser: names with every byte value, alone and after each byte
// that can start a UTF-8 sequence, and the edges of the longer sequences. A name comes back
// exactly, and "name_hex" is there exactly when the parser's own writer refuses the name as
// invalid UTF-8.
TEST_F(CliTest, JsonNamesAreLossless) {
    std::vector<FileSpec> files;
    for (int first = 1; first < 256; ++first) {
        files.push_back({std::string(1, static_cast<char>(first)), ""});
        for (int second = first >= 0xC0 ? 1 : 256; second < 256; ++second) {
            files.push_back({std::string{static_cast<char>(first), static_cast<char>(second)}, ""});
        }
    }
    for (const char* edge :
         {"\xE0\x9F\xBF", "\xE0\xA0\x80", "\xED\x9F\xBF", "\xED\xA0\x80", "\xEF\xBF\xBF",
          "\xF0\x8F\xBF\xBF", "\xF0\x90\x80\x80", "\xF4\x8F\xBF\xBF", "\xF4\x90\x80\x80",
          "a\xE2\x82", "\xE2\x82\xACz"}) {
        files.push_back({edge, ""});
    }
    writeArchive(buildArchive(files));
    const Report report = qzb({"list", "--json", "a.qzb"});
    ASSERT_EQ(report.status, 0) << report.err;
    std::istringstream lines(report.out);
    std::string line;
    for (std::size_t i = 0; i < files.size(); ++i) {
        ASSERT_TRUE(std::getline(lines, line));
        const nlohmann::json entry = nlohmann::json::parse(line);
        std::string name = entry["name"];
        const bool hex = entry.contains("name_hex");
        if (hex) {
            const std::string digits = entry["name_hex"];
            name.clear();
            for (std::size_t k = 0; k + 1 < digits.size(); k += 2) {
                name += static_cast<char>(std::stoi(digits.substr(k, 2), nullptr, 16));
            }
        }
        ASSERT_EQ(name, files[i].name) << line;
        bool refused = false;
        try {
            static_cast<void>(nlohmann::json(files[i].name).dump());
        } catch (const nlohmann::json::type_error&) {
            refused = true;
        }
        ASSERT_EQ(hex, refused) << line;
        ASSERT_EQ(entry["index"], i);
    }
}

TEST(Pattern, Matches) {
    const std::string as(200, 'a');
    const struct {
        const char* pattern;
        const char* name;
        bool matches;
    } cases[] = {
        {"*.txt", "a.txt", true},
        {"*.txt", "d/a.txt", false},
        {"*/*.txt", "d\\a.txt", true},
        {"d\\a.txt", "d/a.txt", true},
        {"?.txt", "a.txt", true},
        {"?.txt", "ab.txt", false},
        {"d?a.txt", "d/a.txt", false},
        {"**.txt", "d/e/a.txt", true},
        {"**/a.txt", "a.txt", true},
        {"**/a.txt", "d/e/a.txt", true},
        {"d/**", "d/e/a.txt", true},
        {"d/**/a.txt", "d/a.txt", true},
        {"d/**/a.txt", "x/d/a.txt", false},
        {"readme", "readme", true},
        {"readme", "readme2", false},
        {"*", "", true},
        {"a*b*c*d*e*f*g*h*i*j*k", as.c_str(), false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(cli::matchesPattern(c.pattern, c.name), c.matches)
            << c.pattern << " against " << c.name;
    }
}

TEST(Progress, Line) {
    constexpr std::uint64_t MiB = 1 << 20;
    EXPECT_EQ(cli::progressLine(0, 100, 0), "[........................]   0%  0 B / 100 B");
    EXPECT_EQ(cli::progressLine(50 * MiB, 100 * MiB, 2.0),
              "[############............]  50%  50.0 MiB / 100.0 MiB  25.0 MiB/s  0:02 left");
    EXPECT_EQ(cli::progressLine(MiB, 121 * MiB, 1.0),
              "[........................]   0%  1.0 MiB / 121.0 MiB  1.0 MiB/s  2:00 left");
    EXPECT_EQ(cli::progressLine(0, 0, 1.0), "[########################] 100%  0 B / 0 B");
}

} // namespace
} // namespace qzb::test
