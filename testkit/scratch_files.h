#pragma once

#include <cstdio>
#include <filesystem>
#include <string>
#include <string_view>

#include "archive/file_io.h"

// Files for tests, fuzz targets and tools: whole files written and read back, and anonymous
// scratch files.
namespace qzb::test {

// A directory of this process's own for `name` below `under`, so that builds testing at once
// never share one.
std::filesystem::path
scratchDirectory(std::string_view name,
                 const std::filesystem::path& under = std::filesystem::temp_directory_path());

void writeFile(const std::filesystem::path& path, std::string_view bytes);
std::string readFile(const std::filesystem::path& path);

using qzb::FileHandle;

// An anonymous file that vanishes when closed, holding `bytes` and positioned at its start.
FileHandle temporaryFile(std::string_view bytes = {});

// All of a stream's bytes, from its start.
std::string contentOf(std::FILE* file);

} // namespace qzb::test
