#pragma once

#include <cstddef>
#include <cstdio>

#include "archive/archive.h"

// An entry written whole to a stream, for tests, fuzz targets and benchmarks that compare or time
// what Archive::readEntry hands over.
namespace qzb::test {

// Decoded whole; refused because the archive's data cannot be read or decoded; or lost because
// the stream refused a write.
enum class ExtractResult { Done, Corrupt, WriteFailed };

// Writes the content of entry `index` to `output`, which it neither flushes nor closes.
ExtractResult extractEntry(const Archive& archive, std::size_t index, std::FILE* output);

} // namespace qzb::test
