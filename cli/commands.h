#pragma once

#include <string>
#include <vector>

#include "app/console.h"
#include "cli/cli.h"

// The commands of `qzb`, called with their parsed options. Each throws RunError with the text of
// its error line (after "qzb: ") and answers 0 or, for `test` with failed entries, 1.
namespace qzb::cli {

struct ListOptions {
    std::string archive;
    bool json = false;
    bool skipChecksums = false;
};
int listEntries(const ListOptions& options, Console& console);

struct TestOptions {
    std::string archive;
    bool skipChecksums = false;
};
int testArchive(const TestOptions& options, Console& console);

struct CatOptions {
    std::string archive;
    std::vector<std::string> names;
};
int catEntries(const CatOptions& options, Console& console);

struct ExtractOptions {
    std::string archive;
    std::string directory;
    std::vector<std::string> patterns;
    bool overwrite = false;
    bool skipChecksums = false;
    bool quiet = false;
};
int extractMatching(const ExtractOptions& options, Console& console, const Streams& streams);

} // namespace qzb::cli
