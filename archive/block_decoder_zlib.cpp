#include <zlib.h>

#include "archive/block_decoder.h"

namespace qzb {

bool inflateBlock(const unsigned char* input, std::size_t inputLength, unsigned char* output,
                  std::size_t expected) {
    uLongf produced = static_cast<uLongf>(expected);
    const int result = uncompress(output, &produced, input, static_cast<uLong>(inputLength));
    return result == Z_OK && produced == expected;
}

} // namespace qzb
