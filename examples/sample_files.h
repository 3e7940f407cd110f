#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "testkit/archive_writer.h"
#include "testkit/content.h"

namespace qzb::example {

// The entries of examples/sample.qzb: nested directories, a name with backslashes, an empty file,
// entries of several blocks, raw and zlib blocks.
inline std::vector<test::FileSpec> sampleFiles() {
    std::string guide;
    for (int chapter = 1; guide.size() < 150000; ++chapter) {
        guide += "Chapter " + std::to_string(chapter) +
                 "\nEvery entry of an archive is cut into blocks of 64 KiB, each stored raw or as "
                 "a zlib stream.\n\n";
    }
    return {
        {"readme.txt", "This archive was made by the project's example maker.\n"},
        {"docs/guide/book.txt", guide},
        {"docs/guide/empty.txt", ""},
        {"data\\noise.bin", test::incompressibleBytes(70000, 2463534242u)},
        {"data\\tiny.bin", std::string("\x00\x01\x02", 3), test::BlockMode::Raw},
    };
}

} // namespace qzb::example
