#pragma once

#include <cstddef>

namespace qzb {

// Decodes one compressed block, a zlib stream, into exactly `expected` bytes at `output`.
// False for a stream that is damaged, truncated, needs a preset dictionary, or decodes to more or
// fewer bytes than expected. Bytes after the end of the stream are ignored.
[[nodiscard]] bool inflateBlock(const unsigned char* input, std::size_t inputLength,
                                unsigned char* output, std::size_t expected);

} // namespace qzb
