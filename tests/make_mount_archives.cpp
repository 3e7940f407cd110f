// Writes the archives the mount's tests serve into the directory given: tree.qzb (nested
// directories, empty, small, multi-block and large entries, raw and inflated blocks), names.qzb
// (names refused, repeated, and a file where a directory is needed) and bad.qzb (one block that
// does not inflate, between two that do).
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "testkit/archive_writer.h"
#include "testkit/content.h"

namespace {

using qzb::test::BlockMode;
using qzb::test::FileSpec;

std::vector<FileSpec> treeFiles() {
    std::vector<FileSpec> files;
    for (int d = 0; d < 6; ++d) {
        for (int f = 0; f < 40; ++f) {
            const std::string name = "dir" + std::to_string(d) + "/sub" + std::to_string(f % 3) +
                                     "/file" + std::to_string(f) + ".txt";
            const std::size_t length = static_cast<std::size_t>(f * f * 97 + d * 13);
            files.push_back({name, f % 5 == 4 ? qzb::test::incompressibleBytes(length, f)
                                              : qzb::test::compressibleText(length, name)});
        }
    }
    // Several MiB, text and noise in turn, one byte past a whole block.
    std::string large;
    for (std::uint32_t part = 0; large.size() < 6 * 1024 * 1024; ++part) {
        large += part % 2 == 0 ? qzb::test::compressibleText(300000, "large")
                               : qzb::test::incompressibleBytes(200000, part);
    }
    large.resize(96 * 65536 + 1);
    files.push_back({"big/large.bin", large});
    files.push_back({"big/raw.bin", qzb::test::compressibleText(3 * 65536, "raw"), BlockMode::Raw});
    files.push_back({"empty.txt", ""});
    files.push_back({"top.txt", "at the top\n"});
    return files;
}

std::vector<FileSpec> nameFiles() {
    return {
        {"kept/first.txt", "first\n"},
        {"kept/first.txt", "second\n"},
        {"kept\\back.txt", "back\n"},
        {"../outside.txt", "outside\n"},
        {"/absolute.txt", "absolute\n"},
        {"", "empty name\n"},
        {"clash", "a file, later a directory\n"},
        {"clash/inner.txt", "inner\n"},
        {"only/dir/", ""},
        {"./dot/./x.txt", "x\n"},
    };
}

bool write(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out.flush());
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fputs("usage: make_mount_archives DIRECTORY\n", stderr);
        return 2;
    }
    const std::string directory = argv[1];
    qzb::test::ArchiveImage bad = qzb::test::makeArchive(
        {{"good.bin", qzb::test::compressibleText(200000, "good")},
         {"bad.bin", qzb::test::compressibleText(3 * 65536, "bad"), BlockMode::Zlib}});
    // The second block of bad.bin: its zlib header made one no inflater takes.
    const std::uint16_t firstStored = bad.blockSizes[bad.entries[1].firstBlock];
    const std::size_t at = bad.entries[1].dataOffset - bad.tocSize + firstStored;
    bad.data[at] = '\xff';
    bad.data[at + 1] = '\xff';
    const bool written = write(directory + "/tree.qzb", qzb::test::buildArchive(treeFiles())) &&
                         write(directory + "/names.qzb", qzb::test::buildArchive(nameFiles())) &&
                         write(directory + "/bad.qzb", bad.serialize());
    return written ? 0 : 1;
}
