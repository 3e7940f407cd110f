#pragma once

#include <string>
#include <string_view>

namespace qzb::cli {

// `path` as a file system that ignores letter case compares it: a name that is valid UTF-8 with
// each character's case folded, any other name with A-Z alone, byte by byte.
std::string foldedCase(std::string_view path);

} // namespace qzb::cli
