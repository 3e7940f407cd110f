#include <libdeflate.h>

#include <memory>
#include <new>

#include "archive/block_decoder.h"

namespace qzb {
namespace {

struct DecompressorDeleter {
    void operator()(libdeflate_decompressor* decompressor) const {
        libdeflate_free_decompressor(decompressor);
    }
};

// One decompressor per thread, allocated on first use rather than once per block.
libdeflate_decompressor& decompressor() {
    thread_local const std::unique_ptr<libdeflate_decompressor, DecompressorDeleter> instance(
        libdeflate_alloc_decompressor());
    if (!instance) {
        throw std::bad_alloc();
    }
    return *instance;
}

} // namespace

bool inflateBlock(const unsigned char* input, std::size_t inputLength, unsigned char* output,
                  std::size_t expected) {
    // Without a place for the produced length, libdeflate answers success only for a stream that
    // fills the output exactly; it checks the Adler-32 trailer, refuses a preset dictionary and
    // ignores whatever follows the stream, all as zlib's uncompress does. One difference: it
    // is more lenient with malformed Huffman data that zlib refuses (reserved symbols, a
    // code-length repeat past the table). No encoder emits such data, and such a block still has to
    // pass both checks above.
    return libdeflate_zlib_decompress(&decompressor(), input, inputLength, output, expected,
                                      nullptr) == LIBDEFLATE_SUCCESS;
}

} // namespace qzb
