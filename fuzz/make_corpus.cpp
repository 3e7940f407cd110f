// Writes the seed corpus of the fuzz targets with the project's own archive writer:
// <out>/archives for the reader and extractor targets, <out>/names for the entry-name target,
// <out>/blocks for the block decoder. Valid archives of several shapes, and the hostile variants
// the reader must refuse.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "testkit/archive_writer.h"
#include "testkit/content.h"
#include "testkit/hostile_archives.h"
#include "testkit/scratch_files.h"

namespace {

namespace fs = std::filesystem;
using qzb::test::ArchiveImage;
using qzb::test::BlockMode;
using qzb::test::compressibleText;
using qzb::test::FileSpec;
using qzb::test::makeArchive;
using qzb::test::zlibStream;

std::vector<FileSpec> manyEntries() {
    std::vector<FileSpec> files;
    for (int i = 0; i < 24; ++i) {
        const std::string name = "dir" + std::to_string(i % 4) + "/file" + std::to_string(i);
        files.push_back({name, compressibleText(static_cast<std::size_t>(i * 37), name),
                         i % 3 == 0 ? BlockMode::Raw : BlockMode::Auto});
    }
    return files;
}

// The second entry's name is the tail of the first one's bytes.
ArchiveImage sharedNameBytes() {
    ArchiveImage image = makeArchive({{"docs/readme.txt", "read me"}, {"x", "shared"}});
    image.entries[1].nameOffset = 5;
    image.nameDigests[1] = qzb::md5Digest("readme.txt", 10);
    return image;
}

std::vector<std::pair<std::string, ArchiveImage>> archives() {
    const std::vector<FileSpec> one = {{"hello.txt", "Hello, world!\n", BlockMode::Raw}};
    std::vector<std::pair<std::string, ArchiveImage>> seeds = {
        {"empty", makeArchive({})},
        {"one-raw", makeArchive(one)},
        {"one-zlib", makeArchive({{"hello.txt", compressibleText(300, "hello"), BlockMode::Zlib}})},
        {"many", makeArchive(manyEntries())},
        {"multi-block-zlib",
         makeArchive({{"big.txt", compressibleText(3 * 65536 + 123, "big"), BlockMode::Zlib}})},
        {"multi-block-raw",
         makeArchive({{"raw.bin", compressibleText(65536 + 10, "raw"), BlockMode::Raw},
                      {"after.txt", "after", BlockMode::Raw}})},
        {"directories", makeArchive({{"a/b/c.txt", "c"},
                                     {"x\\y\\z.bin", compressibleText(100, "z")},
                                     {"deep/one/two/three/four.txt", ""},
                                     {"a/b/c.txt", "again"}})},
        {"shared-names", sharedNameBytes()},
    };

    // The damaged archives the tests use, and a few more the reader must refuse.
    for (qzb::test::HugeClaim& claim : qzb::test::hugeClaims()) {
        seeds.emplace_back("claim-" + claim.what, std::move(claim.image));
    }
    for (qzb::test::BadEntry& bad : qzb::test::badEntries()) {
        seeds.emplace_back("bad-entry-" + bad.what, std::move(bad.image));
    }
    ArchiveImage image = makeArchive(one);
    image.trailingDigest = qzb::Md5{};
    seeds.emplace_back("wrong-digest", image);
    image = makeArchive(manyEntries());
    image.truncateTo = image.tocSize + 100;
    seeds.emplace_back("truncated", image);
    return seeds;
}

// A block for the decoder target: mode 0, its uncompressed length as stored (0 for 65536), then
// a stream.
std::string block(std::size_t length, const std::string& stream) {
    return std::string{'\0', static_cast<char>(length & 0xFF),
                       static_cast<char>((length >> 8) & 0xFF)} +
           stream;
}

// Content for the decoder target to compress itself, with the given mode byte and one damage.
std::string compressMe(char mode, const std::string& content) {
    return std::string{mode, '\x06', '\x01', '\x10', '\x00', '\x04'} + content;
}

std::vector<std::string> blocks() {
    const std::string noise = qzb::test::incompressibleBytes(300, 7);
    const std::vector<std::string> contents = {"x", compressibleText(100, "short"), noise,
                                               std::string(65536, '\0'),
                                               compressibleText(65536, "full")};
    std::vector<std::string> result;
    for (const std::string& content : contents) {
        for (const int level : {0, 1, 6, 9}) {
            result.push_back(block(content.size(), zlibStream(content, level)));
        }
    }
    const std::string text = compressibleText(1000, "text");
    result.push_back(block(text.size(), zlibStream(text) + "trailing bytes"));
    result.push_back(block(text.size() - 1, zlibStream(text)));
    // A block may not need a preset dictionary.
    result.push_back(block(text.size(), zlibStream(text, 6, text.substr(0, 32))));
    result.push_back(compressMe('\x86', text));
    result.push_back(compressMe('\xC9', noise + text));
    return result;
}

const std::vector<std::string> names = {
    "file.txt",
    "dir/sub/file.txt",
    "dir\\sub\\file.txt",
    "mixed/sep\\file",
    "dir/",
    "./x",
    "...",
    "..a",
    "a..",
    "..",
    "a/../b",
    "a\\..",
    "/abs",
    "\\abs",
    "C:x",
    "c:\\x",
    "a/C:/b",
    "a//b",
};

// A seed's description as a file name that every file system takes.
std::string fileName(std::string name) {
    for (char& c : name) {
        const bool plain =
            (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        c = plain ? c : '-';
    }
    return name;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <output directory>\n", argv[0]);
        return 2;
    }
    const fs::path out = argv[1];
    try {
        fs::create_directories(out / "archives");
        fs::create_directories(out / "names");
        for (const auto& [name, image] : archives()) {
            qzb::test::writeFile(out / "archives" / (fileName(name) + ".qzb"), image.serialize());
        }
        fs::create_directories(out / "blocks");
        const std::vector<std::string> streams = blocks();
        for (std::size_t i = 0; i < streams.size(); ++i) {
            qzb::test::writeFile(out / "blocks" / ("block-" + std::to_string(i)), streams[i]);
        }
        for (std::size_t i = 0; i < names.size(); ++i) {
            qzb::test::writeFile(out / "names" / ("name-" + std::to_string(i)), names[i]);
        }
    } catch (const std::exception& error) {
        std::fprintf(stderr, "%s\n", error.what());
        return 1;
    }
    return 0;
}
