#pragma once

#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "platform/name_rules.h"

// The services whose behaviour differs between systems, besides the file layer's primitives
// (platform/file_system.h) and the archive's reads (platform/archive_file.h): one source file per
// system implements them all.
namespace qzb::platform {

// Sets up the process before anything else runs: a write past a file-size limit fails with an
// error instead of ending the process unannounced.
void prepareProcess();

// Gives the calling thread a smaller share of the processors than the process's other threads,
// where the system sets it per thread: a helper that works ahead then never keeps the thread
// that all output waits for from a processor.
void lowerThreadPriority();

// The command-line arguments after the program name. On Windows they are taken from the wide
// command line and handed over in UTF-8, so that no character of a path is lost.
std::vector<std::string> arguments(int argc, char** argv);

// The file-system path that an argument from arguments() names.
std::filesystem::path argumentPath(const std::string& argument);

// A path as the console lines show it: in the byte encoding that entry names are printed in.
std::string displayPath(const std::filesystem::path& path);

// Creates the target directory with every missing parent (an existing one is taken as it is),
// whatever the length of its path.
[[nodiscard]] std::error_code makeTargetDirectory(const std::filesystem::path& target);

// The target's full path as the report shows it: what the working directory would read in it.
std::filesystem::path fullTargetPath(const std::filesystem::path& target);

// The character that file systems ignoring letter case take `c` for: Unicode's simple case
// folding, from the system's own case tables.
char32_t foldedLetterCase(char32_t c);

// The names this file system stores as given.
extern const NameRules nameRules;

} // namespace qzb::platform
