#pragma once

#include <string_view>

namespace qzb::cli {

// Whether an entry name matches a pattern of `qzb extract`: '*' stands for any run of characters
// and '?' for one, both within one path element; '**' for any run across elements, and "**/" also
// for none. '/' and '\' are the same separator in both.
bool matchesPattern(std::string_view pattern, std::string_view name);

} // namespace qzb::cli
