// Entry names in the code pages archives are made in: what each decodes to, where it lands, what
// it is listed under and what --encoding auto takes the archive's names for.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "cli/charset_detector.h"
#include "cli/cli.h"
#include "cli/name_encoding.h"
#include "tests/support/unpack_fixture.h"

namespace qzb::test {
namespace {

namespace fs = std::filesystem;
using Tree = std::map<std::string, std::string>;

// Below `directory`, each path in UTF-8 (as the file system has it on every system).
Tree utf8Tree(const fs::path& directory) {
    Tree tree;
    for (const auto& item : fs::recursive_directory_iterator(directory)) {
        const std::u8string path = fs::relative(item.path(), directory).generic_u8string();
        tree[std::string(path.begin(), path.end())] =
            item.is_directory() ? "<dir>" : readFile(item.path());
    }
    return tree;
}

// The tree names land in: '/' and '\' both separate, each file holds its index.
Tree landing(const std::vector<std::string>& names) {
    Tree tree;
    for (std::size_t i = 0; i < names.size(); ++i) {
        std::string path = names[i];
        std::replace(path.begin(), path.end(), '\\', '/');
        for (std::size_t slash = path.find('/'); slash != std::string::npos;
             slash = path.find('/', slash + 1)) {
            tree[path.substr(0, slash)] = "<dir>";
        }
        tree[path] = std::to_string(i);
    }
    return tree;
}

std::string hex(std::string_view bytes) {
    std::string digits;
    for (const char c : bytes) {
        char pair[3];
        std::snprintf(pair, sizeof pair, "%02x", static_cast<unsigned char>(c));
        digits += pair;
    }
    return digits;
}

class NameEncodingTest : public ScratchTest {
protected:
    struct Report {
        int status;
        std::string out;
        std::string err;
    };
    Report qzb(const std::vector<std::string>& arguments) {
        const FileHandle out = temporaryFile();
        const FileHandle err = temporaryFile();
        const fs::path start = fs::current_path();
        fs::current_path(root());
        const int status = cli::runQzb(arguments, {out.get(), err.get(), false, false, false});
        fs::current_path(start);
        return {status, contentOf(out.get()), contentOf(err.get())};
    }
};

TEST_F(NameEncodingTest, NamesInEveryCodePage) {
    const struct {
        const char* what;
        // The code page the names are in; empty for an archive no code page decodes as a whole.
        std::string codePage;
        std::vector<std::string> stored;
        std::vector<std::string> decoded;
        // What auto takes the names for, with libuchardet and by exact decoding alone.
        std::string detected;
        std::string exact;
    } cases[] = {
        // clang-format off
        {"Japanese, with 5C and 7C second bytes", "CP932",
         {"\x83}\x83j\x83\x85\x83" "A\x83\x8B\x90\xB3\x8C\xEB\x95\\.txt",
          "\x83\\\x83t\x83g\\\x95\\\x8E\xA6\x90\xDD\x92\xE8.ini",
          "\x83|\x83X\x83^\x81[/\x97\\\x92\xE8\x95\\.xls"},
         {"マニュアル正誤表.txt", "ソフト\\表示設定.ini", "ポスター/予定表.xls"}, "CP932", "raw"},
        {"Chinese, simplified, with a 5C second byte", "GBK",
         {"\xCB\xB5\xC3\xF7\xCA\xE9.txt", "\xCD\xBC\xC6\xAC\\\xB7\xE7\xBE\xB0\xD5\xD5\xC6\xAC.jpg",
          "\xD5\\\xD2\xE2.doc"},
         {"说明书.txt", "图片\\风景照片.jpg", "誠意.doc"}, "GBK", "GBK"},
        {"Chinese, traditional, with 5C second bytes", "CP950",
         {"\xB3\\\xA5\\\xBB\\.txt", "\xA4\xE5\xA5\xF3\\\xBB\xA1\xA9\xFA\xAE\xD1.doc"},
         {"許功蓋.txt", "文件\\說明書.doc"}, "CP950", "CP950"},
        {"Korean", "CP949",
         {"\xC7\xD1\xB1\xDB \xB9\xAE\xBC\xAD.hwp",
          "\xBB\xE7\xC1\xF8\\\xBF\xA9\xB8\xA7 \xC8\xDE\xB0\xA1.jpg"},
         {"한글 문서.hwp", "사진\\여름 휴가.jpg"}, "CP949", "raw"},
        {"Russian", "CP1251",
         {"\xCE\xF2\xF7\xB8\xF2 \xE7\xE0 \xE3\xEE\xE4.doc",
          "\xD4\xEE\xF2\xEE\xE3\xF0\xE0\xF4\xE8\xE8\\\xCC\xEE\xF1\xEA\xE2\xE0.jpg"},
         {"Отчёт за год.doc", "Фотографии\\Москва.jpg"}, "CP1251", "raw"},
        {"Greek", "CP1253",
         {"\xB8\xE3\xE3\xF1\xE1\xF6\xE1\\\xC1\xED\xE1\xF6\xEF\xF1\xDC.doc", "\xC1\xE8\xDE\xED\xE1.jpg"},
         {"Έγγραφα\\Αναφορά.doc", "Αθήνα.jpg"}, "CP1253", "raw"},
        {"German and French", "CP1252",
         {"Gr\xF6\xDF" "e\\\xDC" "bersicht.txt", "D\xE9j\xE0 vu\\caf\xE9 cr\xE8me.doc",
          "Stra\xDF" "e.txt"},
         {"Größe\\Übersicht.txt", "Déjà vu\\café crème.doc", "Straße.txt"}, "CP1252", "raw"},
        {"DOS box characters", "CP437",
         {"\xDA\xC4\xC4\xBF\\\xB3" "box\xB3.txt", "\xC9\xCD\xCD\xBB.txt", "\xB0\xB1\xB2.bin"},
         {"┌──┐\\│box│.txt", "╔══╗.txt", "░▒▓.bin"}, "raw", "raw"},
        {"valid in two code pages: in CP932", "CP932", {"\x97\\\x92\xE8\x95\\.xls"},
         {"予定表.xls"}, "raw", "raw"},
        {"valid in two code pages: in GBK", "GBK", {"\x97\\\x92\xE8\x95\\.xls"},
         {"梊掕昞.xls"}, "raw", "raw"},
        {"Japanese and Russian in one archive", "",
         {"\x83}\x83j\x83\x85\x83" "A\x83\x8B\x90\xB3\x8C\xEB\x95\\.txt",
          "\xCE\xF2\xF7\xB8\xF2 \xE7\xE0 \xE3\xEE\xE4.doc"}, {}, "raw", "raw"},
        {"no code page decodes every name", "", {"\x81\x98\x90.bin", "\xEF\xBB.txt"}, {}, "raw",
         "raw"},
        // clang-format on
    };
    const bool detector = !cli::charsetDetectorName().empty();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<FileSpec> files;
        for (std::size_t i = 0; i < c.stored.size(); ++i) {
            files.push_back({c.stored[i], std::to_string(i)});
        }
        fs::remove_all(root());
        fs::create_directories(root());
        writeArchive(buildArchive(files));

        const cli::EncodingChoice choice = cli::chooseEncoding(
            c.stored.size(), [&](std::size_t i) -> std::string_view { return c.stored[i]; });
        EXPECT_EQ(choice.encoding, detector ? c.detected : c.exact) << choice.note;
        if (c.codePage.empty()) {
            continue;
        }
        const Report list = qzb({"list", "--encoding", c.codePage, "a.qzb"});
        EXPECT_EQ(list.status, 0) << list.err;
        for (std::size_t i = 0; i < c.decoded.size(); ++i) {
            EXPECT_NE(list.out.find("  " + c.decoded[i] + "\n"), std::string::npos) << list.out;
        }
        if (choice.encoding == c.codePage) {
            EXPECT_EQ(qzb({"list", "a.qzb"}).out, list.out) << "auto lists other names";
        }
        const Report json = qzb({"list", "--json", "--encoding", c.codePage, "a.qzb"});
        std::istringstream lines(json.out);
        std::string line;
        ASSERT_TRUE(std::getline(lines, line));
        EXPECT_EQ(nlohmann::json::parse(line)["encoding"], c.codePage);
        for (std::size_t i = 0; i < c.decoded.size() && std::getline(lines, line); ++i) {
            const nlohmann::json entry = nlohmann::json::parse(line);
            EXPECT_EQ(entry["name"], c.decoded[i]);
            EXPECT_EQ(entry["name_hex"], hex(c.stored[i]));
        }
        const Report extract = qzb({"extract", "--encoding", c.codePage, "a.qzb", "out"});
        EXPECT_EQ(extract.status, 0) << extract.err;
        EXPECT_EQ(utf8Tree(target()), landing(c.decoded));
    }
}

} // namespace
} // namespace qzb::test
