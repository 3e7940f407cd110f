// Writes the archive of the Wine code-page test: Japanese names in CP932, with 5C and 7C second
// bytes, each entry holding its index.
#include <cstdio>

#include "testkit/archive_writer.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_japanese_archive OUTPUT\n");
        return 2;
    }
    const std::string archive = qzb::test::buildArchive({
        {"\x83}\x83j\x83\x85\x83"
         "A\x83\x8B\x90\xB3\x8C\xEB\x95\\.txt",
         "0"}, // マニュアル正誤表.txt
        {"\x83\\\x83t\x83g\\\x95\\\x8E\xA6\x90\xDD\x92\xE8.ini", "1"}, // ソフト\表示設定.ini
        {"\x83|\x83X\x83^\x81[/\x97\\\x92\xE8\x95\\.xls", "2"},        // ポスター/予定表.xls
    });
    std::FILE* const out = std::fopen(argv[1], "wb");
    const bool written =
        out != nullptr && std::fwrite(archive.data(), 1, archive.size(), out) == archive.size();
    return out != nullptr && std::fclose(out) == 0 && written ? 0 : 1;
}
