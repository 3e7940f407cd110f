#pragma once

#include <cstdio>

#include "app/console.h"
#include "archive/archive.h"

namespace qzb {

// Writes every entry below the working directory, in table order, with one progress line each
// on `console`, blocks inflated on `inflateThreads` threads (1: by the writer itself). Throws
// RunError at the first failure; files finished before it stay.
void extractAllEntries(const Archive& archive, std::FILE* archiveFile, bool overwriteExisting,
                       Console& console, unsigned inflateThreads);

} // namespace qzb
