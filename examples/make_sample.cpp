// Writes the bundled example archive.
#include <cstdio>
#include <exception>

#include "examples/sample_files.h"
#include "testkit/scratch_files.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fputs("usage: make-sample <output.qzb>\n", stderr);
        return 2;
    }
    try {
        qzb::test::writeFile(argv[1], qzb::test::buildArchive(qzb::example::sampleFiles()));
    } catch (const std::exception& error) {
        std::fprintf(stderr, "make-sample: %s\n", error.what());
        return 1;
    }
    return 0;
}
