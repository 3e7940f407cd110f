// Writes the seed corpus of the fuzz targets with the project's own archive writer:
// <out>/archives for the reader and extractor targets, <out>/names for the entry-name target.
// Valid archives of several shapes, and the hostile variants the reader must refuse.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/archive_writer.h"

namespace {

namespace fs = std::filesystem;
using qzb::test::ArchiveImage;
using qzb::test::BlockMode;
using qzb::test::FileSpec;
using qzb::test::makeArchive;

// Compresses well, but every 4 KiB differ, so a block taken from the wrong place shows.
std::string lines(std::size_t length, const std::string& tag) {
    std::string text;
    while (text.size() < length) {
        text += tag + " at " + std::to_string(text.size() / 4096) + "\n";
    }
    text.resize(length);
    return text;
}

std::vector<FileSpec> manyEntries() {
    std::vector<FileSpec> files;
    for (int i = 0; i < 24; ++i) {
        const std::string name = "dir" + std::to_string(i % 4) + "/file" + std::to_string(i);
        files.push_back({name, lines(static_cast<std::size_t>(i * 37), name),
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
        {"one-zlib", makeArchive({{"hello.txt", lines(300, "hello"), BlockMode::Zlib}})},
        {"many", makeArchive(manyEntries())},
        {"multi-block-zlib",
         makeArchive({{"big.txt", lines(3 * 65536 + 123, "big"), BlockMode::Zlib}})},
        {"multi-block-raw", makeArchive({{"raw.bin", lines(65536 + 10, "raw"), BlockMode::Raw},
                                         {"after.txt", "after", BlockMode::Raw}})},
        {"directories", makeArchive({{"a/b/c.txt", "c"},
                                     {"x\\y\\z.bin", lines(100, "z")},
                                     {"deep/one/two/three/four.txt", ""},
                                     {"a/b/c.txt", "again"}})},
        {"shared-names", sharedNameBytes()},
    };

    // Hostile variants of small valid archives.
    const auto variant = [&](const std::string& name, ArchiveImage image) {
        seeds.emplace_back(name, std::move(image));
    };
    ArchiveImage image = makeArchive({});
    image.entryCount = 0xFFFFFFFF;
    variant("entry-count-huge", image);
    for (const std::uint32_t size : {0u, 1u, 2u, 3u, 0xFFFFFFFFu}) {
        image = makeArchive(one);
        image.nameTableSize = size;
        variant("name-table-size-" + std::to_string(size), image);
    }
    image = makeArchive(one);
    image.tocSize = 0xFFFFFFFF;
    variant("toc-size-huge", image);
    image = makeArchive(one);
    image.entries[0].originalSize = ~std::uint64_t{0};
    variant("original-size-huge", image);
    image = makeArchive(one);
    image.entries[0].dataOffset = std::uint64_t{1} << 63;
    variant("data-offset-past-end", image);
    image = makeArchive(one);
    image.entries[0].firstBlock = 1;
    variant("first-block-past-table", image);
    image = makeArchive({{"short.txt", lines(100, "short"), BlockMode::Zlib}});
    image.entries[0].originalSize = 101;
    variant("inflates-short", image);
    image = makeArchive(one);
    image.trailingDigest = qzb::Md5{};
    variant("wrong-digest", image);
    image = makeArchive(manyEntries());
    image.truncateTo = image.tocSize + 100;
    variant("truncated", image);
    return seeds;
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
            qzb::test::writeFile(out / "archives" / (name + ".qzb"), image.serialize());
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
