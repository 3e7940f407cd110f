#pragma once

#include <cstdio>

#include "archive/archive.h"

namespace qzb {

// Writes every entry below the working directory, in table order, with one progress line each.
// Throws RunError at the first failure; files finished before it stay.
void extractAllEntries(const Archive& archive, std::FILE* archiveFile, bool overwriteExisting);

} // namespace qzb
