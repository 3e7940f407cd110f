// Reads an archive's table of contents and nothing else: the yardstick of `qzb list`, which must
// take little more than this as a process of its own.
#include <cstdio>
#include <string_view>

#include "archive/archive.h"
#include "platform/archive_file.h"

int main(int argc, char** argv) {
    const bool verify = argc == 2;
    if (argc != 2 && (argc != 3 || std::string_view(argv[2]) != "--skip-checksums")) {
        std::fputs("usage: qzb-bench-toc <archive> [--skip-checksums]\n", stderr);
        return 2;
    }
    qzb::Archive archive(qzb::platform::ArchiveFile::open(argv[1]));
    if (!archive.file() || archive.readTableOfContents(verify) != qzb::TableFault::None) {
        std::fputs("qzb-bench-toc: cannot read the table of contents\n", stderr);
        return 1;
    }
    std::printf("%zu entries\n", archive.entryCount());
    return 0;
}
