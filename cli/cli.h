#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace qzb::cli {

// Where `qzb` writes, and what it can tell of it.
struct Streams {
    std::FILE* out;
    std::FILE* err;
    bool outIsTerminal = false;
    // A progress bar is drawn only on a terminal.
    bool errIsTerminal = false;
    // Standard output was unusable before the run began (closed at start).
    bool outputLost = false;
    // Where `extract --files-from -` reads.
    std::FILE* in = stdin;
};

// One run of `qzb` for the arguments after the program name; answers the exit status: 0 done,
// 1 failed (one line on standard error beginning "qzb: "), 2 usage. `extract` leaves the working
// directory at its target directory.
int runQzb(const std::vector<std::string>& arguments, const Streams& streams);

} // namespace qzb::cli
