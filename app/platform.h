#pragma once

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

// The few file-system services whose behaviour differs between platforms.
namespace qzb::platform {

// The command-line arguments after the program name.
std::vector<std::string> arguments(int argc, char** argv);

// Opens the archive for binary reading; nullptr for anything that cannot be read as a file,
// a directory included.
std::FILE* openArchive(const std::filesystem::path& path);

enum class PathKind { Missing, Directory, Other };

// What stands at a path relative to the working directory, without following a final link.
PathKind pathKind(const std::string& path);

// Creates a new, empty, hidden file for binary writing in `directory` ("" for the working
// directory), with the permissions a new file ordinarily gets. Sets `tempPath` to its path.
std::FILE* createTempFile(const std::string& directory, std::string& tempPath);

// Moves a finished file onto its destination, replacing a file or link that stands there.
bool replaceFile(const std::string& from, const std::string& to);

bool removeFile(const std::string& path);

} // namespace qzb::platform
