// Writes one benchmark profile twice: as a tree of files (what every extractor must reproduce,
// and what the ZIP is made from) and as an archive, zlib level 6 with incompressible blocks raw.
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>

#include "bench/corpus.h"
#include "testkit/scratch_files.h"

namespace fs = std::filesystem;

int main(int argc, char** argv) {
    const auto profile = argc == 3 ? qzb::bench::parseProfile(argv[1]) : std::nullopt;
    if (!profile) {
        std::fputs("usage: qzb-bench-corpus large|small|tiny <directory>\n"
                   "  writes <directory>/tree/ and <directory>/archive.qzb\n",
                   stderr);
        return 2;
    }
    const auto start = std::chrono::steady_clock::now();
    const fs::path directory = argv[2];
    const fs::path tree = directory / "tree";
    fs::remove_all(tree);
    fs::create_directories(tree);

    const std::vector<qzb::test::FileSpec> files = qzb::bench::corpusFiles(*profile);
    fs::path lastParent;
    for (const qzb::test::FileSpec& file : files) {
        const fs::path path = tree / file.name;
        if (path.parent_path() != lastParent) {
            lastParent = path.parent_path();
            fs::create_directories(lastParent);
        }
        qzb::test::writeFile(path, file.content);
    }
    qzb::test::writeFile(directory / "archive.qzb", qzb::test::buildArchive(files, 6));

    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    std::printf("%zu entries written to %s in %.1f s\n", files.size(), directory.c_str(),
                elapsed.count());
    return 0;
}
