#pragma once

#include <optional>
#include <string>
#include <vector>

#include "app/console.h"
#include "cli/cli.h"
#include "cli/progress.h"

// The commands of `qzb`, called with their parsed options. Each throws RunError with the text of
// its error line (after "qzb: ") and answers 0 or, for `test` with failed entries, 1.
namespace qzb::cli {

struct ListOptions {
    std::string archive;
    // How names are decoded: auto, raw, utf-8 or a code page (cli/name_encoding.h).
    std::string encoding = "auto";
    bool json = false;
    bool skipChecksums = false;
};
int listEntries(const ListOptions& options, Console& console);

struct TestOptions {
    std::string archive;
    // How names are decoded: auto, raw, utf-8 or a code page (cli/name_encoding.h).
    std::string encoding = "auto";
    bool skipChecksums = false;
    bool json = false;
    ProgressMode progress = ProgressMode::Auto;
};
int testArchive(const TestOptions& options, Console& console, const Streams& streams);

struct CatOptions {
    std::string archive;
    // How names are decoded: auto, raw, utf-8 or a code page (cli/name_encoding.h).
    std::string encoding = "auto";
    std::vector<std::string> names;
};
int catEntries(const CatOptions& options, Console& console);

struct ExtractOptions {
    std::string archive;
    // How names are decoded: auto, raw, utf-8 or a code page (cli/name_encoding.h).
    std::string encoding = "auto";
    std::string directory;
    std::vector<std::string> patterns;
    // Left out of what the patterns select.
    std::vector<std::string> excludes;
    // A file of more names or patterns, one a line (NUL-separated with `null`); "-" standard input.
    std::optional<std::string> filesFrom;
    bool null = false;
    // Leading path elements dropped from every name.
    unsigned stripComponents = 0;
    // skip, overwrite, rename or error; `overwrite` is the same as overwrite.
    std::string onConflict = "skip";
    bool overwrite = false;
    // Inflating threads; 0 for as many as pay off.
    unsigned threads = 0;
    bool skipChecksums = false;
    bool quiet = false;
    ProgressMode progress = ProgressMode::Auto;
};
int extractMatching(const ExtractOptions& options, Console& console, const Streams& streams);

struct MountOptions {
    std::string archive;
    // How names are decoded: auto, raw, utf-8 or a code page (cli/name_encoding.h).
    std::string encoding = "auto";
    std::string mountPoint;
    // The bound of the decoded blocks kept, as given: a number of bytes, or of KiB, MiB or GiB
    // with K, M or G after it.
    std::string cacheSize = "64M";
    std::vector<std::string> fuseOptions;
    bool skipChecksums = false;
    bool foreground = false;
};
// Serves the archive until it is unmounted (mount/mount.h).
int mountArchive(const MountOptions& options, Console& console);
struct HashOptions {
    std::string archive;
    // How names are decoded: auto, raw, utf-8 or a code page (cli/name_encoding.h).
    std::string encoding = "auto";
    // sha256 or md5.
    std::string algorithm = "sha256";
    std::vector<std::string> patterns;
};
int hashEntries(const HashOptions& options, Console& console);

struct VerifyOptions {
    std::string sums;
    std::string archive;
    // How names are decoded: auto, raw, utf-8 or a code page (cli/name_encoding.h).
    std::string encoding = "auto";
};
int verifyEntries(const VerifyOptions& options, Console& console);

} // namespace qzb::cli
