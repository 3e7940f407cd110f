#include <isa-l/igzip_lib.h>

#include <cstdint>
#include <limits>
#include <memory>

#include "archive/block_decoder.h"

namespace qzb {
namespace {

// The state holds two windows of history (about 70 KiB): one per thread, allocated on first use
// rather than once per block.
inflate_state& inflater() {
    thread_local const std::unique_ptr<inflate_state> instance(new inflate_state);
    return *instance;
}

} // namespace

bool inflateBlock(const unsigned char* input, std::size_t inputLength, unsigned char* output,
                  std::size_t expected) {
    constexpr std::size_t Largest = std::numeric_limits<std::uint32_t>::max();
    if (inputLength > Largest || expected > Largest) {
        return false;
    }
    // ISA-L takes any window size the header names; zlib refuses one above 32 KiB.
    constexpr unsigned LargestWindowField = 7;
    if (inputLength < 1 || input[0] >> 4 > LargestWindowField) {
        return false;
    }
    // With the zlib wrapper the one-call inflate checks the header and the Adler-32 trailer and
    // refuses a preset dictionary, as zlib's uncompress does; it stops at the end of the stream,
    // ignoring what follows, and reports a stream that would overrun the output. One difference:
    // it is more lenient with malformed Huffman data that zlib refuses (an incomplete or
    // oversubscribed set of codes). No encoder emits such data, and such a block still has to
    // decode to exactly the expected length and match its Adler-32.
    inflate_state& state = inflater();
    isal_inflate_init(&state);
    state.next_in = const_cast<unsigned char*>(input);
    state.avail_in = static_cast<std::uint32_t>(inputLength);
    state.next_out = output;
    state.avail_out = static_cast<std::uint32_t>(expected);
    state.crc_flag = ISAL_ZLIB;
    return isal_inflate_stateless(&state) == ISAL_DECOMP_OK && state.total_out == expected;
}

} // namespace qzb
