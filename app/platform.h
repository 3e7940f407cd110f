#pragma once

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

// The few file-system services whose behaviour differs between platforms.
namespace qzb::platform {

// The command-line arguments after the program name. On Windows they are taken from the wide
// command line and handed over in UTF-8, so that no character of a path is lost.
std::vector<std::string> arguments(int argc, char** argv);

// The file-system path that an argument from arguments() names.
std::filesystem::path argumentPath(const std::string& argument);

// A path as the console lines show it: in the byte encoding that entry names are printed in.
std::string displayPath(const std::filesystem::path& path);

// Opens the archive for binary reading; nullptr for anything that cannot be read as a file,
// a directory included.
std::FILE* openArchive(const std::filesystem::path& path);

// Entry names are byte strings and reach the file system through its byte-string interface:
// these take them relative to the working directory, with '/' between directories.

// False for a name that the file system would store under another name or as a device: on
// Windows an element ending in '.' or ' ' (the system drops those) or a device name such as CON,
// NUL or COM1, with or without an extension. Unpacking such an entry would write elsewhere, or be
// skipped as if it existed.
bool isStorableName(const std::string& path);

enum class PathKind { Missing, Directory, Other };

// What stands at a path relative to the working directory, without following a final link.
PathKind pathKind(const std::string& path);

// Creates a directory with every missing parent; an existing one is accepted.
bool createDirectories(const std::string& directory);

// Creates a new, empty, hidden file for binary writing in `directory` ("" for the working
// directory), with the permissions a new file ordinarily gets. Sets `tempPath` to its path.
std::FILE* createTempFile(const std::string& directory, std::string& tempPath);

// Moves a finished file onto its destination, replacing a file or link that stands there.
bool replaceFile(const std::string& from, const std::string& to);

bool removeFile(const std::string& path);

} // namespace qzb::platform
