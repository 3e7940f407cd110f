// The block decoder against zlib's uncompress, which defines what a compressed block is: both
// must accept and refuse the same streams and agree on every byte they produce. The decoders are
// system libraries without coverage feedback, so besides streams taken as they come the target
// also builds real ones, with every compression level, strategy and window size, and damages them
// in a few places: that reaches deep into both decoders where random bytes would not.
//
// Built with QZB_FUZZ_LENIENT_INFLATER (by default with libdeflate and ISA-L), one difference is
// allowed: both are more lenient with malformed Huffman data that zlib refuses as a data error
// (libdeflate: the reserved symbols 286, 287 and 30, 31, a code-length repeat running past the
// table; ISA-L: an incomplete or oversubscribed set of codes, ...). Such a result still passes the
// stream's Adler-32 and has the expected length, so no wrong byte is written. Everything else must
// match: a stream zlib accepts, a wrong length, a bad checksum or header, a preset dictionary, a
// truncation.
//
// Input: a mode byte. Mode bit 7 clear: two bytes of uncompressed length (little-endian, 0 meaning
// 65536), then the stream. Set: a window byte, a damage count byte, that many (offset low, offset
// high, xor) triples, then the content to compress with level (bits 0-3) and strategy (bits 4-6).
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include <zlib.h>

#include "archive/block_decoder.h"
#include "fuzz/fuzz_support.h"
#include "testkit/archive_writer.h"

namespace {

constexpr std::size_t MaxBlock = 65536;

#ifdef QZB_FUZZ_LENIENT_INFLATER
constexpr bool LenientInflater = true;
#else
constexpr bool LenientInflater = false;
#endif

bool referenceInflate(const std::vector<unsigned char>& stream, unsigned char* output,
                      std::size_t expected) {
    uLongf produced = static_cast<uLongf>(expected);
    return uncompress(output, &produced, stream.data(), static_cast<uLong>(stream.size())) ==
               Z_OK &&
           produced == expected;
}

// Whether zlib refuses the stream only for malformed Huffman data, not for its length, header,
// dictionary or checksum.
bool refusedAsMalformedCodes(const std::vector<unsigned char>& stream, std::size_t expected) {
    static unsigned char scratch[MaxBlock];
    z_stream inflater{};
    if (inflateInit(&inflater) != Z_OK) {
        return false;
    }
    inflater.next_in = const_cast<Bytef*>(stream.data());
    inflater.avail_in = static_cast<uInt>(stream.size());
    inflater.next_out = scratch;
    inflater.avail_out = static_cast<uInt>(expected);
    const int result = inflate(&inflater, Z_FINISH);
    const std::string_view message = inflater.msg != nullptr ? inflater.msg : "";
    inflateEnd(&inflater);
    return result == Z_DATA_ERROR && message != "incorrect data check" &&
           message != "incorrect header check" && message != "unknown compression method" &&
           message != "invalid window size" && message != "invalid stored block lengths" &&
           message != "invalid block type";
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 3 || size > qzb::fuzz::MaxInputSize) {
        return 0;
    }
    const std::uint8_t mode = data[0];
    std::vector<unsigned char> stream;
    std::size_t expected = 0;
    if ((mode & 0x80) == 0) {
        expected = data[1] | data[2] << 8;
        expected = expected == 0 ? MaxBlock : expected;
        stream.assign(data + 3, data + size);
    } else {
        const int windowBits = 9 + data[1] % 7;
        const std::size_t damages = data[2] % 8;
        const std::size_t header = 3 + 3 * damages;
        if (size < header || size - header > MaxBlock) {
            return 0;
        }
        constexpr int strategies[] = {Z_DEFAULT_STRATEGY, Z_FILTERED, Z_HUFFMAN_ONLY, Z_RLE,
                                      Z_FIXED};
        expected = size - header;
        const std::string built = qzb::test::zlibStream(
            std::string_view(reinterpret_cast<const char*>(data + header), expected),
            (mode & 0x0F) % 10, {}, strategies[(mode >> 4) % 5], windowBits);
        stream.assign(built.begin(), built.end());
        if (stream.empty() || expected == 0) {
            return 0;
        }
        for (std::size_t i = 0; i < damages; ++i) {
            const std::uint8_t* damage = data + 3 + 3 * i;
            stream[(damage[0] | damage[1] << 8) % stream.size()] ^= damage[2];
        }
    }
    if (stream.size() > MaxBlock) {
        return 0;
    }

    static unsigned char decoded[MaxBlock];
    static unsigned char reference[MaxBlock];
    const bool ok = qzb::inflateBlock(stream.data(), stream.size(), decoded, expected);
    const bool referenceOk = referenceInflate(stream, reference, expected);
    QZB_FUZZ_CHECK(ok == referenceOk ||
                   (LenientInflater && ok && refusedAsMalformedCodes(stream, expected)));
    if (ok && referenceOk) {
        QZB_FUZZ_CHECK(std::memcmp(decoded, reference, expected) == 0);
    }
    return 0;
}
